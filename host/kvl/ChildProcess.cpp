// One child process of a program run: starting it in a group of its own with its output and its
// standard error on pipes, reading both, watching its exit and killing and reaping it. A child and its
// descriptors belong to the one thread that runs the program.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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
// and drops whatever is there at its start. A forked copy of the process makes its own.
struct ErrorPipe {
  int read = -1;
  int write = -1;
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
  if (t_ErrorPipe.read >= 0) return true;
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(nullptr, nullptr, [] { t_ErrorPipe.Close(); }); });
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

// What every program this thread runs is started with: the spawn file actions (standard input
// from /dev/null, the output and error pipes onto 1 and 2, nothing else open) and attributes
// (a group of its own, default signal handling). Building the actions costs the C library a look
// at the descriptor limit per action, so they are kept while the two write ends have the same
// numbers, as they nearly always do, and built anew when either differs. The actions hold only
// numbers, which the spawn resolves, so the same numbers make the same actions in a forked copy of
// the process too.
class SpawnPlan {
 public:
  SpawnPlan() {
    posix_spawnattr_init(&m_Attr);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&m_Attr, &none);
    posix_spawnattr_setsigdefault(&m_Attr, &all);
    posix_spawnattr_setpgroup(&m_Attr, 0);
    posix_spawnattr_setflags(&m_Attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                          POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnPlan() {
    DropActions();
    posix_spawnattr_destroy(&m_Attr);
  }
  SpawnPlan(const SpawnPlan&) = delete;
  SpawnPlan& operator=(const SpawnPlan&) = delete;

  const posix_spawnattr_t* Attributes() const { return &m_Attr; }
  // The file actions for these write ends; null with the reason in `error` when they cannot be
  // built.
  const posix_spawn_file_actions_t* Actions(int outputWrite, int errorWrite, int& error) {
    if (m_Built && outputWrite == m_OutputWrite && errorWrite == m_ErrorWrite)
      return &m_Actions;
    DropActions();
    posix_spawn_file_actions_init(&m_Actions);
    m_Built = true;
    error = posix_spawn_file_actions_addopen(&m_Actions, 0, "/dev/null", O_RDONLY, 0);
    if (error == 0) error = posix_spawn_file_actions_adddup2(&m_Actions, outputWrite, 1);
    if (error == 0) error = posix_spawn_file_actions_adddup2(&m_Actions, errorWrite, 2);
    if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&m_Actions, 3);
    if (error != 0) {
      DropActions();
      return nullptr;
    }
    m_OutputWrite = outputWrite;
    m_ErrorWrite = errorWrite;
    return &m_Actions;
  }

 private:
  void DropActions() {
    if (m_Built) posix_spawn_file_actions_destroy(&m_Actions);
    m_Built = false;
  }

  posix_spawnattr_t m_Attr;
  posix_spawn_file_actions_t m_Actions;
  bool m_Built = false;
  int m_OutputWrite = -1;
  int m_ErrorWrite = -1;
};
thread_local SpawnPlan t_SpawnPlan;

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

  pid_t pid = 0;
  const posix_spawn_file_actions_t* actions =
      t_SpawnPlan.Actions(fds[1], t_ErrorPipe.write, error);
  if (actions != nullptr)
    error = posix_spawn(&pid, program.c_str(), actions, t_SpawnPlan.Attributes(), argv.data(),
                        environ);
  close(fds[1]);
  if (error != 0) {
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
