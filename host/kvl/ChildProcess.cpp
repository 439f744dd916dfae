// One child process of a program run: starting it in a group of its own with its output and its
// standard error on pipes, reading both, watching its exit and killing and reaping it. A child and its
// descriptors belong to the one thread that runs the program.

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

#include "ProgramRun.h"

extern char** environ;

namespace KVLX {
namespace Detail {

namespace {

// Opens an output pipe, both ends close-on-exec, the write end off 0..2 so that dup2 onto 1 or 2
// really makes a fresh, inheritable copy. False with the reason in `error` when it cannot.
bool OpenPipe(int fds[2], int& error) {
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error = errno;
    return false;
  }
  if (fds[1] <= 2) {
    const int moved = fcntl(fds[1], F_DUPFD_CLOEXEC, 3);
    close(fds[1]);
    if (moved < 0) {
      error = errno;
      close(fds[0]);
      return false;
    }
    fds[1] = moved;
  }
  return true;
}

// The pipe that takes the standard error of every program this thread runs, kept for the
// thread's life: a pipe made and torn down per run costs more than the rest of the run's
// bookkeeping. The read end does not block; the write end (what the program gets) does, as a
// fresh pipe's would. Nothing is left in it between runs: each run reads it to empty at its end
// and drops whatever is there at its start. A forked copy of the process makes its own at its
// first run, closing the ends it inherited then rather than in the fork handler: where vfork is
// a fork (below) the handler also runs in the child, which still needs them.
struct ErrorPipe {
  int read = -1;
  int write = -1;
  bool inherited = false;  // set in a forked copy
  ~ErrorPipe() { Close(); }
  void Close() {
    if (read >= 0) close(read);
    if (write >= 0) close(write);
    read = write = -1;
  }
};
thread_local ErrorPipe t_ErrorPipe;

// Opens this thread's error pipe on first use; false with the reason in `error` when it cannot.
bool OpenErrorPipe(int& error) {
  if (t_ErrorPipe.inherited) {
    t_ErrorPipe.Close();
    t_ErrorPipe.inherited = false;
  }
  if (t_ErrorPipe.read >= 0) return true;
  static std::once_flag once;
  std::call_once(once, [] {
    pthread_atfork(nullptr, nullptr, [] { t_ErrorPipe.inherited = t_ErrorPipe.read >= 0; });
  });
  int fds[2];
  if (!OpenPipe(fds, error)) return false;
  if (fcntl(fds[0], F_SETFL, O_NONBLOCK) != 0) {
    error = errno;
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  t_ErrorPipe.read = fds[0];
  t_ErrorPipe.write = fds[1];
  return true;
}

// What the child does between vfork and the program's start: it runs on this process's memory
// and stack while the parent thread waits, so it makes system calls only (no allocation, no lock,
// no library state, no sanitizer hooks) and hands a failure's reason back in `error`.
// posix_spawn does the same on a stack it maps and unmaps for every call; on a virtual machine
// the unmapping's two TLB flushes cost more than the rest of a run's bookkeeping.
struct ChildPlan {
  const char* program;
  char* const* argv;
  int outputWrite;
  int errorWrite;
  volatile int error;    // set by the child when it cannot start the program
  int reportWrite = -1;  // where vfork is a fork: the pipe that takes that reason instead
};

// ThreadSanitizer runs vfork as a fork: the parent goes on at once and the child's memory is its
// own, so there the child reports a failure through a pipe that the program's start closes.
#if defined(__SANITIZE_THREAD__)
#define VARNOCK_VFORK_IS_FORK 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VARNOCK_VFORK_IS_FORK 1
#endif
#endif

// The kernel's sigaction, which covers every signal (the C library's refuses two of its own).
struct KernelSigaction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  uint64_t mask;
};
constexpr int kSignals = 64;

#define VARNOCK_CHILD_CODE __attribute__((noinline, no_sanitize("address", "thread", "undefined")))

// Ends the child with the reason of the call that failed.
[[noreturn]] VARNOCK_CHILD_CODE void ChildFails(ChildPlan& plan) {
  const int reason = errno;
  plan.error = reason;
  if (plan.reportWrite >= 0) syscall(SYS_write, plan.reportWrite, &reason, sizeof reason);
  syscall(SYS_exit_group, 127);
  __builtin_unreachable();
}

[[noreturn]] VARNOCK_CHILD_CODE void StartProgram(ChildPlan& plan) {
  // Default handling of every signal before any is let through: a handler of the host must
  // never run here, and an ignored signal is not the program's to inherit.
  const KernelSigaction byDefault = {SIG_DFL, 0, nullptr, 0};
  for (int sig = 1; sig <= kSignals; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP)
      syscall(SYS_rt_sigaction, sig, &byDefault, nullptr, sizeof(uint64_t));
  // A group of its own, so that the run can end whatever the program starts.
  if (syscall(SYS_setpgid, 0, 0) != 0) ChildFails(plan);
  // Standard input from /dev/null, output and standard error onto the pipes, nothing else open.
  const long in = syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDONLY);
  if (in < 0 || (in != 0 && syscall(SYS_dup3, in, 0, 0) != 0)) ChildFails(plan);
  if (syscall(SYS_dup3, plan.outputWrite, 1, 0) != 1) ChildFails(plan);
  if (syscall(SYS_dup3, plan.errorWrite, 2, 0) != 2) ChildFails(plan);
  // Closed by the program's start, so that the report pipe stays open until then.
  if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    // Kernels before 5.11: close what the limit allows.
    rlimit limit = {};
    if (syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, nullptr, &limit) != 0) ChildFails(plan);
    for (rlim_t fd = 3; fd < limit.rlim_cur; ++fd)
      if (static_cast<int>(fd) != plan.reportWrite) syscall(SYS_close, fd);
  }
  const uint64_t none = 0;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
  syscall(SYS_execve, plan.program, plan.argv, environ);
  ChildFails(plan);
}

// Starts the child with every signal blocked in this thread, so that none can be handled in the
// child before it resets them; returns its pid, or 0 with the reason in `error`. The child is
// reaped here when it could not start the program.
pid_t StartChild(ChildPlan& plan, int& error) {
#ifdef VARNOCK_VFORK_IS_FORK
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    error = errno;
    return 0;
  }
  plan.reportWrite = report[1];
#endif
  const uint64_t all = ~0ULL;
  uint64_t before = 0;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &before, sizeof all);
  const pid_t pid = vfork();
  if (pid == 0) StartProgram(plan);
  error = pid < 0 ? errno : 0;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &before, nullptr, sizeof before);
#ifdef VARNOCK_VFORK_IS_FORK
  close(report[1]);
  int reason = 0;
  while (pid > 0 && read(report[0], &reason, sizeof reason) < 0 && errno == EINTR) {
  }
  close(report[0]);
  plan.error = reason;
#endif
  if (pid < 0) return 0;
  if (plan.error != 0) {
    error = plan.error;
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return 0;
  }
  return pid;
}

}  // namespace

pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments, int& readFd,
            int& errorFd, int& error) {
  error = 0;
  if (!OpenErrorPipe(error)) return 0;
  int fds[2];
  if (!OpenPipe(fds, error)) return 0;

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  ChildPlan plan{program.c_str(), argv.data(), fds[1], t_ErrorPipe.write, 0};
  const pid_t pid = StartChild(plan, error);
  close(fds[1]);
  if (pid == 0) {
    close(fds[0]);
    return 0;
  }
  readFd = fds[0];
  errorFd = t_ErrorPipe.read;
  return pid;
}

void DropStaleErrors() {
  if (t_ErrorPipe.read < 0) return;
  char buffer[4096];
  for (int i = 0; i < 64 && read(t_ErrorPipe.read, buffer, sizeof buffer) > 0; ++i) {
  }
}

namespace {

// Reads what is ready on `fd` and appends it to `text`; closes the descriptor at end of file.
// Returns the number of bytes read.
size_t ReadInto(int& fd, std::string& text) {
  char buffer[65536];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    text.append(buffer, static_cast<size_t>(n));
    return static_cast<size_t>(n);
  }
  if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    close(fd);
    fd = -1;
  }
  return 0;
}

}  // namespace

ChildRun::~ChildRun() {
  if (!m_Reaped) KillAndReap();
  if (m_Fd >= 0) close(m_Fd);
  if (m_ExitFd >= 0) close(m_ExitFd);
}

bool ChildRun::Pump(int waitMs, std::string& output, bool untilExit) {
  // poll skips a negative descriptor; with none left it only waits.
  pollfd p[3] = {{m_Fd, POLLIN, 0}, {m_ErrFd, POLLIN, 0}, {untilExit ? m_ExitFd : -1, POLLIN, 0}};
  if (poll(p, 3, waitMs) > 0) {
    if (p[1].revents != 0) ReadErrors();
    if (p[0].revents != 0) ReadInto(m_Fd, output);
  }
  return m_Fd >= 0;
}

size_t ChildRun::ReadErrors() {
  // The thread's error pipe: never at its end, empty when nothing is written.
  char buffer[65536];
  const ssize_t n = read(m_ErrFd, buffer, sizeof buffer);
  if (n <= 0) return 0;
  m_ErrorTail.append(buffer, static_cast<size_t>(n));
  KeepErrorTail(m_ErrorTail);
  return static_cast<size_t>(n);
}

void ChildRun::TakeLastErrors() {
  // Bounded: whatever still writes there (something unseen) cannot hold the run.
  for (int i = 0; i < 64 && ReadErrors() != 0; ++i) {
  }
}

void ChildRun::SweepLeftBehind() {
  SweepAdopted(m_Start);
  m_Swept = true;
}

void ChildRun::WatchExit() {
  if (m_Watched) return;
  m_Watched = true;
  m_ExitFd = static_cast<int>(syscall(SYS_pidfd_open, m_Pid, 0));
}

void ChildRun::WaitForExit(int waitMs) {
  // The output nearly always ends while the child is still on its way out of the kernel, a few
  // microseconds from its exit, often on this processor: giving it the processor once is cheaper
  // than a pidfd and a wait.
  if (!m_Yielded) {
    m_Yielded = true;
    sched_yield();
    return;
  }
  WatchExit();
  std::string none;  // the output has ended; standard error is still read
  Pump(waitMs, none, true);
}

bool ChildRun::Exited() {
  siginfo_t info = {};
  if (waitid(P_PID, static_cast<id_t>(m_Pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
    return errno == ECHILD;  // reaped elsewhere (SIGCHLD ignored): gone
  if (info.si_pid != m_Pid) return false;
  if (info.si_code == CLD_EXITED)
    m_ExitStatus = info.si_status;
  else
    m_Signal = info.si_status;
  return true;
}

void ChildRun::KillGroup() {
  kill(-m_Pid, SIGKILL);
  m_GroupKilled = true;
}

void ChildRun::KillAndReap() {
  if (!m_GroupKilled) kill(-m_Pid, SIGKILL);
  Reap();
}

void ChildRun::Reap() {
  int status = 0;
  while (waitpid(m_Pid, &status, 0) < 0 && errno == EINTR) {
  }
  m_Reaped = true;
  Unregister(m_Pid);
  // Killed before it exited by itself: what it started outside its group is adopted only now.
  if (!m_Swept) SweepLeftBehind();
}

}  // namespace Detail
}  // namespace KVLX
