#include "Notifier.h"

#include <cerrno>
#include <chrono>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

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
volatile sig_atomic_t g_SignalCount = 0;
int g_SignalWriteFd = -1;

void OnStopSignal(int) {
  if (g_SignalCount > 0) {
    static const char kMessage[] = "\nvarnock-host: interrupted twice, quitting at once\n";
    ssize_t ignored = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    (void)ignored;
    _exit(130);
  }
  g_SignalCount = 1;
  const char byte = 1;
  ssize_t ignored = write(g_SignalWriteFd, &byte, 1);
  (void)ignored;
}

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

bool StopSignal::Install() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  m_ReadFd = fds[0];
  g_SignalWriteFd = fds[1];

  // Block the signals here (the main thread) before any thread exists: threads inherit the mask,
  // so only the watcher, which unblocks them, ever runs the handler.
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0)
    return false;
  // A reader that went away (a closed pipe on standard output) must not kill the shell before
  // it has shut the plug-in down.
  signal(SIGPIPE, SIG_IGN);

  m_Watcher = std::thread(&StopSignal::Watch, this);
  return true;
}

void StopSignal::Watch() {
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  pollfd entry = {m_ReadFd, POLLIN, 0};
  while (poll(&entry, 1, -1) < 0 && errno == EINTR) {
  }
  // The destructor also wakes this thread (without a signal) to end it.
  if (g_SignalCount > 0) m_Notifier.Stop();
}

StopSignal::~StopSignal() {
  if (!m_Watcher.joinable()) return;
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  const char byte = 0;
  ssize_t ignored = write(g_SignalWriteFd, &byte, 1);
  (void)ignored;
  m_Watcher.join();
}

}  // namespace host_shell
