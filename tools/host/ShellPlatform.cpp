// The shell's system calls (ShellPlatform.h) and the stop signal handling (Notifier.h): the
// POSIX half first, then the Windows one.

#include "ShellPlatform.h"

#include <cerrno>
#include <cstring>

#include "KVLX.h"
#include "Notifier.h"

#ifdef _WIN32

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>

namespace host_shell {

void PrepareProcess() {}

std::string ShellFile() {
  char path[MAX_PATH * 2];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

bool OutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

FILE* DetachStandardOutput(std::string& error) {
  std::fflush(stdout);
  // _dup gives a handle no child gets: program runs inherit only their own pipe.
  const int copy = _dup(_fileno(stdout));
  FILE* answers = copy >= 0 ? _fdopen(copy, "w") : nullptr;
  if (answers == nullptr || _dup2(_fileno(stderr), _fileno(stdout)) < 0) {
    error = std::string("cannot keep standard output for the answers: ") + std::strerror(errno);
    if (answers != nullptr) std::fclose(answers);
    else if (copy >= 0) _close(copy);
    return nullptr;
  }
  SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
  return answers;
}

int StandardInput() { return _fileno(stdin); }

namespace {

// The console handler's state: the notifier it stops, how many stops came, and the main
// thread, whose read of the script's input a stop cancels.
std::atomic<Notifier*> g_Notifier{nullptr};
std::atomic<int> g_Stops{0};
HANDLE g_MainThread = nullptr;
std::atomic<bool> g_Stopping{false};

void Say(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written,
            nullptr);
}

// Runs on a thread the system starts for each console event (Ctrl-C, Ctrl-Break, a closed
// console window).
BOOL WINAPI OnConsoleEvent(DWORD event) {
  Notifier* notifier = g_Notifier.load();
  if (notifier == nullptr) return FALSE;
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
    return FALSE;
  if (++g_Stops == 1) {
    g_Stopping = true;
    notifier->Stop();
    if (g_MainThread != nullptr) CancelSynchronousIo(g_MainThread);
    return TRUE;
  }
  // A second stop ends the shell at once, but takes the tool's running programs with it.
  Say("\nvarnock-host: interrupted twice, quitting at once\n");
  KVLX::CSystem::KillAllRuns();
  ExitProcess(130);
}

}  // namespace

InputRead ReadInput(int fd, int stopFd, char* buffer, size_t size, size_t& got) {
  (void)stopFd;  // a console stop cancels the read instead
  got = 0;
  const HANDLE input = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (input == INVALID_HANDLE_VALUE) return InputRead::kEnd;
  for (;;) {
    if (g_Stopping) return InputRead::kStopped;
    DWORD read = 0;
    if (ReadFile(input, buffer, static_cast<DWORD>(size), &read, nullptr)) {
      got = read;
      return read > 0 ? InputRead::kData : InputRead::kEnd;
    }
    if (GetLastError() != ERROR_OPERATION_ABORTED) return InputRead::kEnd;  // a closed pipe too
  }
}

bool StopSignal::Install() {
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                       &g_MainThread, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return false;
  g_Notifier = &m_Notifier;
  return SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
}

StopSignal::~StopSignal() {
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  g_Notifier = nullptr;
  if (g_MainThread != nullptr) CloseHandle(g_MainThread);
  g_MainThread = nullptr;
}

}  // namespace host_shell

#else  // POSIX

#include <csignal>
#include <filesystem>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace host_shell {

void PrepareProcess() {
  // A write past the file size limit (ulimit -f) then fails with EFBIG, which the database
  // counts and tells as an error of its own kind, instead of ending the shell without a word.
  signal(SIGXFSZ, SIG_IGN);
}

std::string ShellFile() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.string();
}

bool OutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

FILE* DetachStandardOutput(std::string& error) {
  std::fflush(stdout);
  // A copy that no child inherits: the tool's runs must not hold the caller's pipe open.
  int copy = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  FILE* answers = copy >= 0 ? fdopen(copy, "w") : nullptr;
  if (answers == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    error = std::string("cannot keep standard output for the answers: ") + std::strerror(errno);
    if (answers != nullptr) std::fclose(answers);
    else if (copy >= 0) close(copy);
    return nullptr;
  }
  return answers;
}

int StandardInput() { return STDIN_FILENO; }

InputRead ReadInput(int fd, int stopFd, char* buffer, size_t size, size_t& got) {
  got = 0;
  for (;;) {
    pollfd entries[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int count = poll(entries, stopFd >= 0 ? 2 : 1, -1);
    if (count < 0) {
      if (errno == EINTR) continue;
      return InputRead::kEnd;
    }
    if (stopFd >= 0 && (entries[1].revents & POLLIN) != 0) return InputRead::kStopped;
    const ssize_t read = ::read(fd, buffer, size);
    if (read < 0 && errno == EINTR) continue;
    if (read <= 0) return InputRead::kEnd;
    got = static_cast<size_t>(read);
    return InputRead::kData;
  }
}

namespace {

// The handler's state: it may touch nothing else.
int g_SignalWriteFd = -1;

// Hands the signal's number to the watcher thread.
void OnSignal(int signal) {
  const int saved = errno;
  const char byte = static_cast<char>(signal);
  ssize_t ignored = write(g_SignalWriteFd, &byte, 1);
  (void)ignored;
  errno = saved;
}

sigset_t WatchedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

void Say(const char* text) {
  ssize_t ignored = write(STDERR_FILENO, text, std::strlen(text));
  (void)ignored;
}

}  // namespace

bool StopSignal::Install() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  m_StopFd = fds[0];
  g_SignalWriteFd = fds[1];

  // Block the signals here (the main thread) before any thread exists: threads inherit the mask,
  // so only the watcher, which unblocks them, ever runs the handler.
  sigset_t set = WatchedSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0 ||
      sigaction(SIGHUP, &action, nullptr) != 0)
    return false;
  // A reader that went away (a closed pipe on standard output) must not kill the shell before
  // it has shut the plug-in down.
  signal(SIGPIPE, SIG_IGN);

  // Fd() becomes readable once a stop signal came: a pipe of its own, written by the watcher.
  int stopFds[2];
  if (pipe2(stopFds, O_CLOEXEC) != 0) return false;
  m_ReadFd = stopFds[0];
  m_StopWriteFd = stopFds[1];

  m_Watcher = std::thread(&StopSignal::Watch, this);
  return true;
}

void StopSignal::Watch() {
  sigset_t set = WatchedSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  int stops = 0;
  for (;;) {
    // poll first: unlike a read, it is never restarted after the handler ran, so a handler
    // that runs deferred (as under a sanitizer) still gets its byte read at once.
    pollfd entry = {m_StopFd, POLLIN, 0};
    if (poll(&entry, 1, -1) < 0 && errno == EINTR) continue;
    char byte = 0;
    const ssize_t got = read(m_StopFd, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || byte == 0) return;  // the destructor ends the thread with a 0
    if (byte == SIGHUP) {
      // The configuration files are read when the plug-in starts; a hang-up (a closed terminal,
      // a service manager's reload) leaves the running shell as it is.
      Say("varnock-host: SIGHUP ignored (restart the shell to apply changed settings)\n");
      continue;
    }
    if (++stops == 1) {
      const char one = 1;
      ssize_t ignored = write(m_StopWriteFd, &one, 1);
      (void)ignored;
      m_Notifier.Stop();
      continue;
    }
    // A second stop ends the shell at once, but takes the tool's running programs with it.
    Say("\nvarnock-host: interrupted twice, quitting at once\n");
    KVLX::CSystem::KillAllRuns();
    _exit(130);
  }
}

StopSignal::~StopSignal() {
  if (!m_Watcher.joinable()) return;
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  const char byte = 0;
  ssize_t ignored = write(g_SignalWriteFd, &byte, 1);
  (void)ignored;
  m_Watcher.join();
}

}  // namespace host_shell

#endif
