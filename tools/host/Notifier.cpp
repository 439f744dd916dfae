#include "Notifier.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include "KVLX.h"

namespace host_shell {

void Notifier::Notify() {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_Pending;
  }
  m_Changed.notify_all();
}

void Notifier::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Stopped = true;
  }
  m_Changed.notify_all();
}

bool Notifier::Stopped() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Stopped;
}

Notifier::Outcome Notifier::Wait(double realMs, uint64_t* taken) {
  if (realMs > kLongestWaitMs) realMs = kLongestWaitMs;
  std::unique_lock<std::mutex> lock(m_Mutex);
  auto ready = [this] { return m_Stopped || m_Pending > 0; };
  if (realMs < 0) {
    m_Changed.wait(lock, ready);
  } else {
    m_Changed.wait_for(lock, std::chrono::duration<double, std::milli>(realMs), ready);
  }
  if (taken != nullptr) *taken = m_Pending;
  if (m_Stopped) return kStopped;
  if (m_Pending == 0) return kTimedOut;
  m_Pending = 0;
  return kNotified;
}

bool Notifier::Sleep(double realMs) {
  if (realMs > kLongestWaitMs) realMs = kLongestWaitMs;
  std::unique_lock<std::mutex> lock(m_Mutex);
  return !m_Changed.wait_for(lock, std::chrono::duration<double, std::milli>(realMs),
                             [this] { return m_Stopped; });
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
