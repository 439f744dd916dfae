// Toolkit system services: program runs with captured output, PCI lookup in sysfs, calendar
// dates and kernel module versions.

#include "KVLX.h"

#include <fcntl.h>
#include <poll.h>
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <tuple>
#include <utility>

#include "KVL.h"

extern char** environ;

namespace KVLX {

namespace {

std::atomic<uint64_t> g_TimeLimitMs{60000};
std::atomic<size_t> g_OutputCap{16u << 20};

std::mutex g_RunnerMutex;
std::shared_ptr<const Testing::CommandRunner> g_Runner;  // guarded by g_RunnerMutex

std::shared_ptr<const Testing::CommandRunner> CurrentRunner() {
  std::lock_guard<std::mutex> lock(g_RunnerMutex);
  return g_Runner;
}

constexpr int kPollSliceMs = 20;  // how often a run looks at its limits and cancellation
// How long a run that ended by itself may still take to hand over the rest of its output once
// everything it started is killed: the pipe closes at once unless something unseen holds it.
constexpr int kDrainMs = 500;

std::mutex g_ObserverMutex;
std::shared_ptr<const CSystem::RunObserver> g_Observer;  // guarded by g_ObserverMutex
std::atomic<uint64_t> g_RunCounts[3] = {};                // by RunOutcome

// The programs running now, each with its start time in clock ticks since boot. Spawning and
// the sweep of adopted processes both hold the mutex, so that a sweep never mistakes a program
// just started for one left behind.
struct Leader {
  pid_t pid;
  unsigned long long start;
};
std::mutex g_ChildMutex;
std::vector<Leader> g_Leaders;                 // guarded by g_ChildMutex
unsigned long long g_FirstStart = ~0ULL;       // guarded by g_ChildMutex; the earliest run

// The start time (clock ticks since boot) and parent of a process from /proc; false when it is
// gone.
bool ProcessStat(pid_t pid, unsigned long long& start, pid_t& parent) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return false;
  const size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return false;
  // Fields after the name: state, ppid, ... starttime is the 20th of them.
  std::vector<std::string> fields;
  size_t at = paren + 2;
  while (at < stat.size() && fields.size() < 20) {
    size_t end = stat.find(' ', at);
    if (end == std::string::npos) end = stat.size();
    fields.push_back(stat.substr(at, end - at));
    at = end + 1;
  }
  if (fields.size() < 20) return false;
  parent = static_cast<pid_t>(std::atoll(fields[1].c_str()));
  start = std::strtoull(fields[19].c_str(), nullptr, 10);
  return true;
}

// Makes this process adopt what its programs leave behind (a helper that called setsid() and
// outlived the program), so that a run can find such helpers and end them. The kernel's own
// mechanism; needs no privilege.
void BecomeSubreaper() {
  static std::once_flag once;
  std::call_once(once, [] { prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); });
}

// Kills and reaps every child of this process that a run left behind: a child started no
// earlier than `since` that is not a running program. Their own children are adopted in turn,
// so this repeats until none is left (a bounded number of rounds). Holds g_ChildMutex.
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

// This process's children: from the threads' "children" lists where the kernel keeps them (a
// few small reads), else every process of /proc (its parent checked by the caller).
std::vector<pid_t> Candidates() {
  std::vector<pid_t> children;
  bool listed = false;
  for (pid_t task : NumericEntries("/proc/self/task")) {
    std::ifstream in("/proc/self/task/" + std::to_string(task) + "/children");
    if (!in) continue;
    listed = true;
    pid_t pid = 0;
    while (in >> pid) children.push_back(pid);
  }
  return listed ? children : NumericEntries("/proc");
}

void SweepAdoptedLocked(unsigned long long since) {
  const pid_t self = getpid();
  for (int round = 0; round < 8; ++round) {
    std::vector<pid_t> found;
    for (pid_t pid : Candidates()) {
      unsigned long long start = 0;
      pid_t parent = 0;
      if (!ProcessStat(pid, start, parent) || parent != self || start < since) continue;
      const bool running = std::any_of(g_Leaders.begin(), g_Leaders.end(),
                                       [pid](const Leader& l) { return l.pid == pid; });
      if (!running) found.push_back(pid);
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

void SweepAdopted(unsigned long long since) {
  std::lock_guard<std::mutex> lock(g_ChildMutex);
  SweepAdoptedLocked(since);
}

void Unregister(pid_t pid) {
  std::lock_guard<std::mutex> lock(g_ChildMutex);
  g_Leaders.erase(std::remove_if(g_Leaders.begin(), g_Leaders.end(),
                                 [pid](const Leader& l) { return l.pid == pid; }),
                  g_Leaders.end());
}

std::vector<std::string> SplitAtBlanks(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

// A started program: its process (the leader of its own group), the read end of its output and,
// once watched, a descriptor that becomes readable when it exits.
class ChildRun {
 public:
  ChildRun(pid_t pid, int fd, unsigned long long start) : m_Pid(pid), m_Fd(fd), m_Start(start) {}
  ChildRun(const ChildRun&) = delete;
  ChildRun& operator=(const ChildRun&) = delete;
  // Whatever way the run ends, the group is killed, the child reaped, what it left behind ended
  // and the pipe closed.
  ~ChildRun() {
    if (!m_Reaped) KillAndReap();
    if (m_Fd >= 0) close(m_Fd);
    if (m_ExitFd >= 0) close(m_ExitFd);
  }

  int ExitStatus() const { return m_ExitStatus; }
  int Signal() const { return m_Signal; }

  // Ends what the program left behind outside its group (adopted by this process once the
  // program has exited).
  void SweepLeftBehind() {
    SweepAdopted(m_Start);
    m_Swept = true;
  }

  int Fd() const { return m_Fd; }
  // The exit descriptor, -1 while not watched or where the kernel has none.
  int ExitFd() const { return m_ExitFd; }

  // Opens the exit descriptor (a pidfd) on first use. Most runs end with their output and never
  // need one, and opening it costs more than the rest of the run's bookkeeping. The child is not
  // reaped before, so its pid cannot name another process.
  void WatchExit() {
    if (m_Watched) return;
    m_Watched = true;
    m_ExitFd = static_cast<int>(syscall(SYS_pidfd_open, m_Pid, 0));
  }

  // Waits up to `waitMs` for the child to exit; sleeps the time where there is no pidfd.
  void WaitForExit(int waitMs) {
    WatchExit();
    pollfd p = {m_ExitFd, POLLIN, 0};
    if (m_ExitFd >= 0)
      poll(&p, 1, waitMs);
    else
      poll(nullptr, 0, waitMs);
  }

  // True once the child has exited; it stays a zombie (its process group id cannot be reused)
  // until Reap.
  bool Exited() {
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

  // Kills what is left of the group (helpers the program started); the leader stays a zombie.
  void KillGroup() {
    kill(-m_Pid, SIGKILL);
    m_GroupKilled = true;
  }

  // Kills what is left of the group, unless that was done, before reaping the leader.
  void KillAndReap() {
    if (!m_GroupKilled) kill(-m_Pid, SIGKILL);
    Reap();
  }

 private:
  void Reap() {
    int status = 0;
    while (waitpid(m_Pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_Reaped = true;
    Unregister(m_Pid);
    // Killed before it exited by itself: what it started outside its group is adopted only now.
    if (!m_Swept) SweepLeftBehind();
  }

  pid_t m_Pid;
  int m_Fd;
  unsigned long long m_Start;
  int m_ExitStatus = -1;
  int m_Signal = 0;
  bool m_Swept = false;
  int m_ExitFd = -1;
  bool m_Watched = false;
  bool m_GroupKilled = false;
  bool m_Reaped = false;
};

// Starts `program` with stdin from /dev/null, stdout into a new pipe, stderr inherited, no
// other descriptor and default signal handling, in a process group of its own. Returns the pid
// (0 when it cannot start, with the reason in `error`) and the pipe's read end in `readFd`.
pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments, int& readFd,
            int& error) {
  error = 0;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error = errno;
    return 0;
  }
  // Keep the write end off 0..2 so that dup2 onto 1 really makes a fresh, inheritable copy.
  if (fds[1] <= 2) {
    const int moved = fcntl(fds[1], F_DUPFD_CLOEXEC, 3);
    close(fds[1]);
    if (moved < 0) {
      error = errno;
      close(fds[0]);
      return 0;
    }
    fds[1] = moved;
  }

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                      POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  error = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (error != 0) {
    close(fds[0]);
    return 0;
  }
  readFd = fds[0];
  return pid;
}

// Reads what is ready on `fd` into `output`, waiting up to `waitMs`, or less when `exitFd` (if
// not -1) becomes readable first. False at end of file.
bool ReadSome(int fd, int waitMs, std::string& output, int exitFd = -1) {
  pollfd p[2] = {{fd, POLLIN, 0}, {exitFd, POLLIN, 0}};  // poll skips a negative descriptor
  const int ready = poll(p, 2, waitMs);
  if (ready <= 0 || p[0].revents == 0) return true;  // nothing yet (or EINTR), or only the exit
  char buffer[65536];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    output.append(buffer, static_cast<size_t>(n));
    return true;
  }
  return n < 0 && (errno == EINTR || errno == EAGAIN);
}

}  // namespace

namespace {

// Counts a finished run and hands it to the observer; returns the run's result.
uint32_t Finished(CSystem::RunReport report, uint32_t result) {
  ++g_RunCounts[static_cast<int>(report.outcome)];
  std::shared_ptr<const CSystem::RunObserver> observer;
  {
    std::lock_guard<std::mutex> lock(g_ObserverMutex);
    observer = g_Observer;
  }
  if (observer) (*observer)(report);
  return result;
}

}  // namespace

uint32_t CSystem::ExecuteCommand(const std::string& program, const std::string& arguments,
                                 std::string& output) {
  using Clock = std::chrono::steady_clock;
  using Outcome = CSystem::RunOutcome;
  output.clear();
  KVL::Threading::CancellationPoint();
  if (const auto runner = CurrentRunner()) return (*runner)(program, arguments, output);
  const uint64_t limitMs = g_TimeLimitMs.load();
  RunReport report{program, arguments, output, Outcome::kFailed};
  report.timeLimitMs = limitMs;
  if (program.empty()) {
    report.startError = ENOENT;
    return Finished(report, 0);
  }

  BecomeSubreaper();
  int fd = -1;
  pid_t pid = 0;
  unsigned long long start = 0;
  {
    std::lock_guard<std::mutex> lock(g_ChildMutex);
    pid = Spawn(program, SplitAtBlanks(arguments), fd, report.startError);
    if (pid > 0) {
      pid_t parent = 0;
      ProcessStat(pid, start, parent);
      g_Leaders.push_back({pid, start});
      g_FirstStart = std::min(g_FirstStart, start);
    }
  }
  if (pid <= 0) return Finished(report, 0);
  ChildRun child(pid, fd, start);

  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  const size_t cap = g_OutputCap.load();
  bool open = true;
  for (;;) {
    if (KVL::Threading::CancelRequested()) {
      child.KillAndReap();
      if (std::uncaught_exceptions() == 0) throw KVL::Threading::ThreadCancelled();
      return 0;
    }
    if (Clock::now() >= deadline) {
      child.KillAndReap();
      report.outcome = Outcome::kTimeout;
      return Finished(report, 0);
    }
    // Both waits end as soon as the child exits: a tool run costs the host no more than the
    // run itself, not a slice of idle waiting after it. After a slice without output the wait
    // on the output also watches the exit, for a child that ends while a helper holds the pipe.
    if (open) {
      const size_t before = output.size();
      open = ReadSome(child.Fd(), kPollSliceMs, output, child.ExitFd());
      if (open && output.size() == before) child.WatchExit();
      if (output.size() > cap) {
        output.resize(cap);
        child.KillAndReap();
        report.outputTooLarge = true;
        return Finished(report, 0);
      }
    } else {
      child.WaitForExit(kPollSliceMs);
    }
    if (!child.Exited()) continue;

    // Ended by itself. Stop helpers that still hold the pipe, in its group or left outside it,
    // then take the rest of the output: what is written by now, not what a helper might add.
    child.KillGroup();
    child.SweepLeftBehind();
    const Clock::time_point drained =
        std::min(deadline, Clock::now() + std::chrono::milliseconds(kDrainMs));
    while (open && Clock::now() < drained && output.size() <= cap)
      open = ReadSome(child.Fd(), kPollSliceMs, output);
    report.exitStatus = child.ExitStatus();
    report.signal = child.Signal();
    if (output.size() > cap) {
      output.resize(cap);
      report.outputTooLarge = true;
      return Finished(report, 0);
    }
    report.outcome = report.exitStatus == 0 ? Outcome::kOk : Outcome::kFailed;
    return Finished(report, 1);
  }
}

uint32_t CSystem::ExecuteCommand(const std::string& program, const std::string& arguments,
                                 std::vector<std::string>& lines) {
  std::string output;
  const uint32_t result = ExecuteCommand(program, arguments, output);
  lines.clear();
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return result;
}

void Testing::SetCommandRunner(CommandRunner runner) {
  std::lock_guard<std::mutex> lock(g_RunnerMutex);
  g_Runner = runner ? std::make_shared<const CommandRunner>(std::move(runner)) : nullptr;
}

void CSystem::SetTimeLimit(uint64_t ms) { g_TimeLimitMs.store(ms); }

uint64_t CSystem::TimeLimit() { return g_TimeLimitMs.load(); }

void CSystem::SetOutputCap(size_t bytes) { g_OutputCap.store(bytes); }

void CSystem::SetRunObserver(RunObserver observer) {
  std::lock_guard<std::mutex> lock(g_ObserverMutex);
  g_Observer = observer ? std::make_shared<const RunObserver>(std::move(observer)) : nullptr;
}

uint64_t CSystem::RunCount(RunOutcome outcome) {
  return g_RunCounts[static_cast<int>(outcome)].load();
}

void CSystem::KillAllRuns() {
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
  if (g_FirstStart != ~0ULL) SweepAdoptedLocked(g_FirstStart);
}

std::string CSystem::GetModuleVersion(const std::string& moduleName) {
  if (moduleName.empty() || moduleName == "." || moduleName == ".." ||
      moduleName.find('/') != std::string::npos)
    return std::string();
  std::ifstream in("/sys/module/" + moduleName + "/version");
  std::string version;
  if (!in || !std::getline(in, version)) return std::string();
  while (!version.empty() && (version.back() == '\r' || version.back() == ' '))
    version.pop_back();
  return version;
}

// ---------------------------------------------------------------------------------------------
// PCI lookup

namespace {

std::mutex g_PciMutex;
std::string g_PciRoot;  // guarded by g_PciMutex; empty: the machine's own tree

struct PciFunction {
  unsigned segment, bus, device, function;
  bool operator<(const PciFunction& o) const {
    return std::tie(segment, bus, device, function) <
           std::tie(o.segment, o.bus, o.device, o.function);
  }
};

// A hexadecimal ID such as "8086", "0x8086" or "0A54", any case; false when it is not one.
bool ParseHexId(std::string text, unsigned& value) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
  if (text.empty() || text.size() > 8) return false;
  value = 0;
  for (char c : text) {
    const int digit = std::isdigit(static_cast<unsigned char>(c))       ? c - '0'
                      : (c >= 'a' && c <= 'f')                           ? c - 'a' + 10
                      : (c >= 'A' && c <= 'F')                           ? c - 'A' + 10
                                                                          : -1;
    if (digit < 0) return false;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return true;
}

bool ReadHexFile(const std::filesystem::path& path, unsigned& value) {
  std::ifstream in(path);
  std::string text;
  return in && std::getline(in, text) && ParseHexId(text, value);
}

// Parses a sysfs entry name "SSSS:BB:DD.F".
bool ParseAddress(const std::string& name, PciFunction& f) {
  int consumed = 0;
  if (std::sscanf(name.c_str(), "%x:%x:%x.%x%n", &f.segment, &f.bus, &f.device, &f.function,
                  &consumed) != 4)
    return false;
  return static_cast<size_t>(consumed) == name.size();
}

using IdList = std::vector<std::pair<unsigned, unsigned>>;
// The entries of a directory by name and inode number, in the order the directory lists them
// (the same order while it does not change); empty when it cannot be read.
using Listing = std::vector<std::pair<std::string, ino_t>>;

Listing ListDirectory(const std::string& path) {
  Listing entries;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return entries;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') entries.emplace_back(entry->d_name, entry->d_ino);
  }
  closedir(dir);
  return entries;
}

// What the last full read of a tree found for one list of IDs. A scan asks for instance 1, 2,
// 3 ... in turn; reading two files of every function for each of them would make a scan of N
// drives cost N² file reads. So instance 1 always reads the tree, and a later instance reuses
// the last read while the tree still lists the same entries (names and inode numbers: a function
// that goes away and comes back is a new entry).
struct PciSnapshot {
  std::string root;
  IdList ids;
  Listing entries;
  std::vector<PciFunction> found;
};
PciSnapshot g_PciSnapshot;  // guarded by g_PciMutex

// Every function of the PCI tree whose vendor:device pair is one of `ids`, in address order.
std::vector<PciFunction> FindFunctions(const IdList& ids, uint32_t instance) {
  std::lock_guard<std::mutex> lock(g_PciMutex);
  const std::string root = g_PciRoot.empty() ? "/sys/bus/pci/devices" : g_PciRoot;
  Listing entries = ListDirectory(root);
  PciSnapshot& last = g_PciSnapshot;
  if (instance > 1 && last.root == root && last.ids == ids && last.entries == entries)
    return last.found;

  std::vector<PciFunction> found;
  for (const auto& entry : entries) {
    PciFunction f;
    if (!ParseAddress(entry.first, f)) continue;
    const std::filesystem::path path = std::filesystem::path(root) / entry.first;
    unsigned vendor = 0;
    unsigned device = 0;
    if (!ReadHexFile(path / "vendor", vendor) || !ReadHexFile(path / "device", device)) continue;
    if (std::find(ids.begin(), ids.end(), std::make_pair(vendor, device)) != ids.end())
      found.push_back(f);
  }
  std::sort(found.begin(), found.end());
  last = PciSnapshot{root, ids, std::move(entries), found};
  return found;
}

bool Pick(const IdList& ids, uint32_t instance, int& segment, int& bus, int& device,
          int& function) {
  if (ids.empty() || instance == 0) return false;
  const std::vector<PciFunction> found = FindFunctions(ids, instance);
  if (instance > found.size()) return false;
  const PciFunction& f = found[instance - 1];
  segment = static_cast<int>(f.segment);
  bus = static_cast<int>(f.bus);
  device = static_cast<int>(f.device);
  function = static_cast<int>(f.function);
  return true;
}

}  // namespace

bool CConfigManager::GetLocation(const std::string& vendorId, const std::string& deviceId,
                                 uint32_t instance, int& segment, int& bus, int& device,
                                 int& function) {
  unsigned vendor = 0;
  unsigned dev = 0;
  if (!ParseHexId(vendorId, vendor) || !ParseHexId(deviceId, dev)) return false;
  return Pick({{vendor, dev}}, instance, segment, bus, device, function);
}

bool CConfigManager::GetLocation(const std::vector<std::string>& vendorDeviceIds,
                                 uint32_t instance, int& segment, int& bus, int& device,
                                 int& function) {
  std::vector<std::pair<unsigned, unsigned>> ids;
  for (const std::string& id : vendorDeviceIds) {
    unsigned vendor = 0;
    unsigned dev = 0;
    // "VVVVDDDD": four hexadecimal digits of vendor, four of device; anything else is skipped.
    if (id.size() != 8 || !ParseHexId(id.substr(0, 4), vendor) ||
        !ParseHexId(id.substr(4), dev))
      continue;
    ids.emplace_back(vendor, dev);
  }
  return Pick(ids, instance, segment, bus, device, function);
}

void CConfigManager::SetPciRoot(const std::string& directory) {
  std::lock_guard<std::mutex> lock(g_PciMutex);
  g_PciRoot = directory;
}

void CSystemTime_Win::GetDate(uint64_t ms, CSystemDate_Win& date) {
  const time_t seconds = static_cast<time_t>(ms / 1000);
  struct tm utc = {};
  if (gmtime_r(&seconds, &utc) == nullptr) {
    date = CSystemDate_Win();
    return;
  }
  date.year = utc.tm_year + 1900;
  date.month = utc.tm_mon + 1;
  date.day = utc.tm_mday;
}

}  // namespace KVLX
