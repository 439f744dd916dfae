#include "Notifier.h"

#include <chrono>

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

}  // namespace host_shell
