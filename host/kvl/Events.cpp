// Toolkit events, waits on several events, and intervals in toolkit time.

#include "WaitCore.h"

namespace KVL {

using namespace WaitCore;

namespace Internals {
namespace Windows {

CEventCB::CEventCB(std::shared_ptr<Threading::Detail::EventState> state)
    : m_State(std::move(state)) {}

void CEventCB::Set() {
  WaitState& w = Waits();
  std::lock_guard<std::mutex> lock(w.mutex);
  m_State->signalled = true;
  w.changed.notify_all();
}

void CEventCB::Reset() {
  WaitState& w = Waits();
  std::lock_guard<std::mutex> lock(w.mutex);
  m_State->signalled = false;
}

}  // namespace Windows
}  // namespace Internals

namespace Threading {

CEvent::CEvent()
    : m_State(std::make_shared<Detail::EventState>()),
      m_CB(std::make_unique<Internals::Windows::CEventCB>(m_State)) {}

uint32_t CEvent::Init(bool initialState, bool manualReset) {
  if (!ConsumeInit()) return 0;
  WaitState& w = Waits();
  std::lock_guard<std::mutex> lock(w.mutex);
  m_State->signalled = initialState;
  m_State->manualReset = manualReset;
  if (initialState) w.changed.notify_all();
  return 1;
}

uint32_t CEvent::Wait(uint32_t timeoutMs) {
  WaitState& w = Waits();
  std::unique_lock<std::mutex> lock(w.mutex);
  if (!WaitUntil(lock, timeoutMs, [&] { return m_State->signalled; })) return WAIT_TIMEOUT;
  if (!m_State->manualReset) m_State->signalled = false;
  return 1;
}

bool CEvent::IsSignalled() const {
  WaitState& w = Waits();
  std::lock_guard<std::mutex> lock(w.mutex);
  return m_State->signalled;
}

CWaitInterval::CWaitInterval(uint64_t ms) { Restart(ms); }

void CWaitInterval::Restart(uint64_t ms) { m_End = Misc::now() + ms; }

CWaitInterval::operator uint32_t() const {
  const uint64_t now = Misc::now();
  if (now >= m_End) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(m_End - now, INFINITE));
}

CWaiter& CWaiter::operator<<(CEvent& event) {
  m_Events.push_back(&event);
  return *this;
}

uint32_t CWaiter::Wait(uint32_t timeoutMs, bool all) {
  // Waiting for all events at once is not offered; treat it as waiting for any.
  (void)all;
  WaitState& w = Waits();
  std::unique_lock<std::mutex> lock(w.mutex);
  size_t index = 0;
  const bool signalled = WaitUntil(lock, timeoutMs, [&] {
    for (index = 0; index < m_Events.size(); ++index)
      if (m_Events[index]->m_State->signalled) return true;
    return false;
  });
  if (!signalled) return WAIT_TIMEOUT;
  Detail::EventState& state = *m_Events[index]->m_State;
  if (!state.manualReset) state.signalled = false;
  return static_cast<uint32_t>(index + 1);
}

}  // namespace Threading

}  // namespace KVL
