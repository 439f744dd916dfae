// The programs running now and what they leave behind: every run registers its program while it
// runs; helpers that outlive their program are adopted by this process and killed and reaped by
// a sweep. Safe from any thread: spawning and sweeping both hold one mutex, so that a sweep never
// mistakes a program just started for one left behind.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <mutex>

#include "ProgramRun.h"

namespace KVLX {
namespace Detail {

namespace {

// A running program with its start time in clock ticks since boot.
struct Leader {
  pid_t pid;
  unsigned long long start;
};
std::mutex g_ChildMutex;
std::vector<Leader> g_Leaders;                 // guarded by g_ChildMutex
unsigned long long g_FirstStart = ~0ULL;       // guarded by g_ChildMutex; the earliest run

// The main thread's "children" list, opened once and read again from its start at every look:
// reading an open /proc file costs a tenth of opening it. Opened anew in a forked copy of this
// process, where the list would be its parent's. Guarded by g_ChildMutex.
int g_MainChildrenFd = -1;
pid_t g_MainChildrenOf = 0;

// This process's id, asked of the kernel once; a forked copy asks anew. Guarded by
// g_ChildMutex, like the flag that says the fork handler is in place. Asking also makes the
// process adopt what its programs leave behind (a helper that called setsid() and outlived the
// program), so that a run can find such helpers and end them: the kernel's own mechanism, which
// needs no privilege, and which fork does not pass on either.
pid_t g_Self = 0;
bool g_ForkHandlerSet = false;

pid_t SelfLocked() {
  if (g_Self == 0) {
    if (!g_ForkHandlerSet) {
      pthread_atfork(nullptr, nullptr, [] { g_Self = 0; });
      g_ForkHandlerSet = true;
    }
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    g_Self = getpid();
  }
  return g_Self;
}

// The whole text of an open /proc file in `text`, read from its start: plain reads, no stream.
// False when it cannot be read.
bool ReadFromStart(int fd, std::string& text) {
  text.clear();
  char chunk[4096];
  ssize_t n = 0;
  while ((n = pread(fd, chunk, sizeof chunk, static_cast<off_t>(text.size()))) != 0) {
    if (n > 0)
      text.append(chunk, static_cast<size_t>(n));
    else if (errno != EINTR)
      return false;
  }
  return true;
}

// The text of a /proc file in `text`; false when it cannot be read.
bool ReadProcFile(const char* path, std::string& text) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool read = ReadFromStart(fd, text);
  close(fd);
  return read;
}

// The "children" list of the main thread of this process, `self`, in `text`; false when it
// cannot be read.
bool ReadMainChildren(pid_t self, std::string& text) {
  if (g_MainChildrenOf != self) {
    if (g_MainChildrenFd >= 0) close(g_MainChildrenFd);
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/children", static_cast<int>(self));
    g_MainChildrenFd = open(path, O_RDONLY | O_CLOEXEC);
    g_MainChildrenOf = self;
  }
  return g_MainChildrenFd >= 0 && ReadFromStart(g_MainChildrenFd, text);
}

// The start time (clock ticks since boot) and parent of a process from /proc; false when it is
// gone.
bool ProcessStat(pid_t pid, unsigned long long& start, pid_t& parent) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  std::string stat;
  if (!ReadProcFile(path, stat)) return false;
  const size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return false;
  // Fields after the name: state, ppid, ... starttime is the 20th of them.
  const char* fields[20];
  size_t count = 0;
  for (size_t at = paren + 2; at < stat.size() && count < 20;) {
    fields[count++] = stat.c_str() + at;
    const size_t end = stat.find(' ', at);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  if (count < 20) return false;
  parent = static_cast<pid_t>(std::atoll(fields[1]));
  start = std::strtoull(fields[19], nullptr, 10);
  return true;
}

// The numeric entries of a /proc directory.
std::vector<pid_t> NumericEntries(const char* path) {
  std::vector<pid_t> pids;
  DIR* dir = opendir(path);
  if (dir == nullptr) return pids;
  while (const dirent* entry = readdir(dir)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid > 0 && *end == '\0') pids.push_back(static_cast<pid_t>(pid));
  }
  closedir(dir);
  return pids;
}

// Clock ticks since boot now, the unit of a process's start time in /proc: no later than the
// start of a program spawned after it.
unsigned long long BootTicks() {
  static const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  timespec now = {};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<unsigned long long>(now.tv_sec) * ticksPerSecond +
         static_cast<unsigned long long>(now.tv_nsec) / (1000000000ULL / ticksPerSecond);
}

// The children a program left behind once it exited. The kernel hands them to the first living
// thread of this process, the main one, so only its "children" list is read (one small read; in
// a host whose main thread has ended they land on another thread and wait for the sweep at
// exit). Where it cannot be read, or `everyThread` asks, every thread's list is read, else every
// process of /proc (its parent checked by the caller). `self` is this process's pid.
std::vector<pid_t> Candidates(bool everyThread, pid_t self) {
  std::vector<pid_t> children;
  // The pids of one thread's list, separated by blanks; false when it cannot be read or holds
  // anything else.
  const auto read = [&children, self](pid_t task) {
    std::string text;
    if (task == self) {
      if (!ReadMainChildren(self, text)) return false;
    } else {
      char path[64];
      std::snprintf(path, sizeof path, "/proc/self/task/%d/children", static_cast<int>(task));
      if (!ReadProcFile(path, text)) return false;
    }
    for (const char* at = text.c_str();;) {
      while (*at == ' ' || *at == '\n') ++at;
      if (*at == '\0') return true;
      char* end = nullptr;
      const long pid = std::strtol(at, &end, 10);
      if (end == at || pid <= 0) return false;
      children.push_back(static_cast<pid_t>(pid));
      at = end;
    }
  };
  if (!everyThread && read(self)) return children;
  children.clear();
  bool listed = false;
  for (pid_t task : NumericEntries("/proc/self/task")) listed = read(task) || listed;
  return listed ? children : NumericEntries("/proc");
}

// SweepAdopted with g_ChildMutex held. The children it kills are adopted in turn, so this
// repeats until none is left (a bounded number of rounds).
void SweepAdoptedLocked(unsigned long long since, bool everyThread) {
  const pid_t self = SelfLocked();
  for (int round = 0; round < 8; ++round) {
    std::vector<pid_t> found;
    for (pid_t pid : Candidates(everyThread, self)) {
      const bool running = std::any_of(g_Leaders.begin(), g_Leaders.end(),
                                       [pid](const Leader& l) { return l.pid == pid; });
      unsigned long long start = 0;
      pid_t parent = 0;
      if (running || !ProcessStat(pid, start, parent) || parent != self || start < since) continue;
      found.push_back(pid);
    }
    if (found.empty()) return;
    for (pid_t pid : found) {
      kill(-pid, SIGKILL);  // its group, when it made one of its own
      kill(pid, SIGKILL);
    }
    for (pid_t pid : found) {
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }
}

}  // namespace

pid_t SpawnRegistered(const std::string& program, const std::vector<std::string>& arguments,
                      int& readFd, int& errorFd, int& error, unsigned long long& start) {
  std::lock_guard<std::mutex> lock(g_ChildMutex);
  SelfLocked();  // this process, in a forked copy too, adopts what the program leaves behind
  start = BootTicks();
  const pid_t pid = Spawn(program, arguments, readFd, errorFd, error);
  if (pid > 0) {
    g_Leaders.push_back({pid, start});
    g_FirstStart = std::min(g_FirstStart, start);
  }
  return pid;
}

void Unregister(pid_t pid) {
  std::lock_guard<std::mutex> lock(g_ChildMutex);
  g_Leaders.erase(std::remove_if(g_Leaders.begin(), g_Leaders.end(),
                                 [pid](const Leader& l) { return l.pid == pid; }),
                  g_Leaders.end());
}

void SweepAdopted(unsigned long long since) {
  std::lock_guard<std::mutex> lock(g_ChildMutex);
  SweepAdoptedLocked(since, false);
}

}  // namespace Detail

void CSystem::KillAllRuns() {
  using namespace Detail;
  std::lock_guard<std::mutex> lock(g_ChildMutex);
  for (const Leader& leader : g_Leaders) kill(-leader.pid, SIGKILL);
  // Once a program has exited, what it started outside its group is this process's to end.
  for (const Leader& leader : g_Leaders) {
    for (int i = 0; i < 50; ++i) {
      siginfo_t info = {};
      if (waitid(P_PID, static_cast<id_t>(leader.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
          info.si_pid == leader.pid)
        break;
      poll(nullptr, 0, 10);
    }
  }
  if (g_FirstStart != ~0ULL) SweepAdoptedLocked(g_FirstStart, true);
}

}  // namespace KVLX
