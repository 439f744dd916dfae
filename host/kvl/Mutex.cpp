// Recursive toolkit mutexes and the guard that releases one.

#include "WaitCore.h"

namespace KVL {

using namespace WaitCore;

namespace Threading {

namespace Native_OS {

CFastMutex::~CFastMutex() = default;

uint32_t CFastMutex::Init() {
  if (!ConsumeInit()) return 0;
  WaitState& w = Waits();
  std::lock_guard<std::mutex> lock(w.mutex);
  m_Initialized = true;
  return 1;
}

uint32_t CFastMutex::Wait(CSyncGuard* guard, uint32_t timeoutMs) {
  const uint64_t me = ThreadKey();
  WaitState& w = Waits();
  std::unique_lock<std::mutex> lock(w.mutex);
  if (!WaitUntil(lock, timeoutMs, [&] { return m_OwnerKey == 0 || m_OwnerKey == me; }))
    return WAIT_TIMEOUT;
  m_OwnerKey = me;
  ++m_Depth;
  if (guard != nullptr) guard->Attach(this);
  return 1;
}

// A release by a thread that does not hold the mutex is ignored.
void CFastMutex::Release() {
  WaitState& w = Waits();
  std::lock_guard<std::mutex> lock(w.mutex);
  if (m_OwnerKey != ThreadKey() || m_Depth == 0) return;
  if (--m_Depth == 0) {
    m_OwnerKey = 0;
    w.changed.notify_all();
  }
}

}  // namespace Native_OS

CSyncGuard::~CSyncGuard() {
  if (m_Mutex != nullptr) m_Mutex->Release();
}

}  // namespace Threading

}  // namespace KVL
