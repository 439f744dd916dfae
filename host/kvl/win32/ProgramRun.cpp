// CSystem's program runs on Windows: the program starts suspended in a Job Object of its own,
// with standard input from NUL, standard output and standard error on pipes of their own (the end
// of standard error kept for the run's report), and only those three handles inherited. The job holds whatever the program starts, so ending the job at
// the time limit, the output cap, a cancel or once the program has exited ends the whole tree and
// nothing escapes. Runs on the calling thread; any number of threads may run programs at once.

// The toolkit headers first: windows.h defines INFINITE and WAIT_TIMEOUT as macros.
#include "KVL.h"
#include "ProgramRun.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <mutex>
#include <set>
#include <utility>

namespace KVLX {

namespace {

using Clock = std::chrono::steady_clock;
using Outcome = CSystem::RunOutcome;

constexpr DWORD kPollSliceMs = 20;         // how often a run looks at its limits and cancellation
constexpr DWORD kPipeBytes = 1u << 20;      // a tool's whole answer fits without blocking it
constexpr int kDrainMs = 500;               // see the Linux run: the rest of the output

std::mutex g_JobMutex;
std::set<HANDLE> g_Jobs;  // guarded by g_JobMutex: the jobs of the programs running now

// One argument as the C runtime's parser reads it back: quoted when it holds a blank or a quote,
// backslashes doubled only before a quote.
void AppendQuoted(std::string& line, const std::string& word) {
  if (!line.empty()) line += ' ';
  if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) {
    line += word;
    return;
  }
  line += '"';
  size_t backslashes = 0;
  for (char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, '\\');
  line += '"';
}

int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
      return ENOEXEC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return EINVAL;
  }
}

// Appends what `pipe` holds now to `text`, without waiting, and returns the bytes read. At the
// end of the pipe it is closed and set to null.
DWORD TakeAvailable(HANDLE& pipe, std::string& text) {
  if (pipe == nullptr) return 0;
  DWORD available = 0;
  DWORD got = 0;
  char buffer[65536];
  if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) ||
      (available > 0 &&
       !ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr))) {
    CloseHandle(pipe);
    pipe = nullptr;
    return 0;
  }
  text.append(buffer, got);
  return got;
}

// A started program: its job, process and the read ends of its output and its standard error.
// Whatever way the run ends, the job is ended and every handle closed.
class WinChild {
 public:
  explicit WinChild(std::string& errorTail) : m_ErrorTail(errorTail) {}
  ~WinChild() {
    if (m_Job != nullptr) {
      TerminateJobObject(m_Job, 1);
      std::lock_guard<std::mutex> lock(g_JobMutex);
      g_Jobs.erase(m_Job);
    }
    if (m_Process != nullptr) {
      WaitForSingleObject(m_Process, INFINITE);
      CloseHandle(m_Process);
    }
    if (m_Read != nullptr) CloseHandle(m_Read);
    if (m_ErrRead != nullptr) CloseHandle(m_ErrRead);
    if (m_Job != nullptr) CloseHandle(m_Job);
  }

  // Starts the program; false with the C runtime's error number in `error`.
  bool Start(const std::string& program, const std::vector<std::string>& arguments, int& error);

  // Reads what the pipes hold, the output into `output` and standard error into the tail,
  // waiting up to `waitMs` on the program's exit when they hold nothing. False at end of output.
  bool ReadSome(DWORD waitMs, std::string& output) {
    const DWORD errors = TakeAvailable(m_ErrRead, m_ErrorTail);
    Detail::KeepErrorTail(m_ErrorTail);
    if (TakeAvailable(m_Read, output) == 0 && errors == 0 && waitMs > 0)
      WaitForSingleObject(m_Process, waitMs);
    return m_Read != nullptr;
  }
  // Takes what the ended program left unread on its standard error.
  void TakeLastErrors() {
    // Bounded: whatever still writes there cannot hold the run.
    for (int i = 0; i < 64 && TakeAvailable(m_ErrRead, m_ErrorTail) > 0; ++i)
      Detail::KeepErrorTail(m_ErrorTail);
  }

  bool Exited() const { return WaitForSingleObject(m_Process, 0) == WAIT_OBJECT_0; }
  // Waits for the exit once the output has ended, still reading standard error.
  void WaitForExit(DWORD waitMs) {
    std::string none;
    ReadSome(waitMs, none);
  }
  int ExitStatus() const {
    DWORD code = 0;
    return GetExitCodeProcess(m_Process, &code) ? static_cast<int>(code) : -1;
  }
  // Ends every process of the job: the program and whatever it started.
  void EndTree() const { TerminateJobObject(m_Job, 1); }

 private:
  HANDLE m_Job = nullptr;
  HANDLE m_Process = nullptr;
  HANDLE m_Read = nullptr;
  HANDLE m_ErrRead = nullptr;
  std::string& m_ErrorTail;
};

bool WinChild::Start(const std::string& program, const std::vector<std::string>& arguments,
                     int& error) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE write = nullptr;
  HANDLE err = nullptr;
  if (!CreatePipe(&m_Read, &write, &inherit, kPipeBytes)) {
    error = ErrnoOf(GetLastError());
    return false;
  }
  if (!CreatePipe(&m_ErrRead, &err, &inherit, kPipeBytes)) {
    error = ErrnoOf(GetLastError());
    CloseHandle(write);
    return false;
  }
  SetHandleInformation(m_Read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(m_ErrRead, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr);
  std::vector<HANDLE> handles = {write, err};
  if (nul != INVALID_HANDLE_VALUE) handles.push_back(nul);

  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> storage(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  bool ok = InitializeProcThreadAttributeList(attributes, 1, 0, &size) &&
            UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                      handles.data(), handles.size() * sizeof(HANDLE), nullptr,
                                      nullptr);

  m_Job = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  // Closing the job (this host ending included) ends what is still in it.
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  ok = ok && m_Job != nullptr &&
       SetInformationJobObject(m_Job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

  std::string line;
  AppendQuoted(line, program);
  for (const std::string& a : arguments) AppendQuoted(line, a);
  STARTUPINFOEXA startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = nul;
  startup.StartupInfo.hStdOutput = write;
  startup.StartupInfo.hStdError = err;
  startup.lpAttributeList = attributes;
  PROCESS_INFORMATION process = {};
  const auto create = [&] {
    return CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                          CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                          nullptr, nullptr, &startup.StartupInfo, &process) != 0;
  };
  // A new process that died in the system's own set-up of it fails the start with
  // ERROR_INTERNAL_ERROR (under Wine about one start in a few thousand on a busy machine): that
  // start is tried once more. A missing or bad program fails at once.
  if (ok) {
    ok = create();
    if (!ok && GetLastError() == ERROR_INTERNAL_ERROR) ok = create();
  }
  const DWORD startError = GetLastError();
  if (ok) {
    m_Process = process.hProcess;
    // In the job before it runs a single instruction: nothing it starts can be outside it.
    if (!AssignProcessToJobObject(m_Job, m_Process)) TerminateProcess(m_Process, 1);
    {
      std::lock_guard<std::mutex> lock(g_JobMutex);
      g_Jobs.insert(m_Job);
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
  } else {
    error = ErrnoOf(startError);
  }
  if (size > 0 && !storage.empty()) DeleteProcThreadAttributeList(attributes);
  CloseHandle(write);
  CloseHandle(err);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  return ok;
}

struct RunLimits {
  Clock::time_point deadline;
  size_t cap;
};

uint32_t OverCap(CSystem::RunReport& report, std::string& output, size_t cap) {
  output.resize(cap);
  report.outputTooLarge = true;
  return Detail::Finished(report, 0);
}

// The program has exited by itself: what it started ends with the job, then the rest of the
// output is taken.
uint32_t EndedByItself(WinChild& child, bool open, const RunLimits& limits,
                       CSystem::RunReport& report, std::string& output) {
  report.exitStatus = child.ExitStatus();
  child.EndTree();
  const Clock::time_point drained =
      std::min(limits.deadline, Clock::now() + std::chrono::milliseconds(kDrainMs));
  while (open && Clock::now() < drained && output.size() <= limits.cap)
    open = child.ReadSome(kPollSliceMs, output);
  child.TakeLastErrors();
  if (output.size() > limits.cap) return OverCap(report, output, limits.cap);
  report.outcome = report.exitStatus == 0 ? Outcome::kOk : Outcome::kFailed;
  return Detail::Finished(report, 1);
}

uint32_t WatchRun(WinChild& child, const RunLimits& limits, CSystem::RunReport& report,
                  std::string& output) {
  bool open = true;
  for (;;) {
    if (KVL::Threading::CancelRequested()) {
      child.EndTree();
      if (std::uncaught_exceptions() == 0) throw KVL::Threading::ThreadCancelled();
      return 0;
    }
    if (Clock::now() >= limits.deadline) {
      child.EndTree();
      child.TakeLastErrors();
      report.outcome = Outcome::kTimeout;
      return Detail::Finished(report, 0);
    }
    if (open) {
      open = child.ReadSome(kPollSliceMs, output);
      if (output.size() > limits.cap) {
        child.EndTree();
        child.TakeLastErrors();
        return OverCap(report, output, limits.cap);
      }
    } else {
      child.WaitForExit(kPollSliceMs);
    }
    if (child.Exited()) return EndedByItself(child, open, limits, report, output);
  }
}

}  // namespace

uint32_t CSystem::ExecuteCommand(const std::string& program, const std::string& arguments,
                                 std::string& output) {
  output.clear();
  KVL::Threading::CancellationPoint();
  if (const auto runner = Detail::CurrentRunner()) return (*runner)(program, arguments, output);
  const uint64_t limitMs = TimeLimit();
  RunReport report{program, arguments, output, Outcome::kFailed};
  report.timeLimitMs = limitMs;
  if (program.empty()) {
    report.startError = ENOENT;
    return Detail::Finished(report, 0);
  }
  WinChild child(report.errorTail);
  if (!child.Start(program, Detail::SplitAtBlanks(arguments), report.startError))
    return Detail::Finished(report, 0);
  const RunLimits limits{Clock::now() + std::chrono::milliseconds(limitMs), Detail::OutputCap()};
  return WatchRun(child, limits, report, output);
}

void CSystem::KillAllRuns() {
  std::lock_guard<std::mutex> lock(g_JobMutex);
  for (HANDLE job : g_Jobs) TerminateJobObject(job, 1);
}

}  // namespace KVLX
