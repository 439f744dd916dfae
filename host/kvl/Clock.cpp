// The toolkit clock: the real clock (scaled), the manual clock of tests, and sleeping in
// toolkit time.

#include "WaitCore.h"

namespace KVL {

using namespace WaitCore;

namespace Misc {

std::shared_ptr<IClock> MakeRealClock(double scale) { return std::make_shared<RealClock>(scale); }

ManualClock::ManualClock(uint64_t start) : m_Now(start) {}

uint64_t ManualClock::Now() { return m_Now.load(); }

void ManualClock::Advance(uint64_t ms) {
  m_Now.fetch_add(ms);
  NotifyAllWaiters();
}

bool ManualClock::WaitForSleepers(int n, int realTimeoutMs) {
  WaitState& w = Waits();
  std::unique_lock<std::mutex> lock(w.mutex);
  return w.sleeperAdded.wait_for(lock, std::chrono::milliseconds(std::max(realTimeoutMs, 0)),
                                    [&] {
                                      const uint64_t now = m_Now.load();
                                      int pending = 0;
                                      for (uint64_t deadline : w.deadlines)
                                        if (deadline > now) ++pending;
                                      return pending >= n;
                                    });
}

void SetClock(std::shared_ptr<IClock> clock) {
  WaitState& w = Waits();
  std::lock_guard<std::mutex> lock(w.mutex);
  w.clock = clock != nullptr ? std::move(clock) : std::make_shared<RealClock>(1.0);
  w.changed.notify_all();
}

std::shared_ptr<IClock> GetClock() {
  WaitState& w = Waits();
  std::lock_guard<std::mutex> lock(w.mutex);
  return w.clock;
}

uint64_t now() { return GetClock()->Now(); }

void Sleep(uint64_t ms) {
  WaitState& w = Waits();
  std::unique_lock<std::mutex> lock(w.mutex);
  const uint32_t timeout = ms >= INFINITE ? INFINITE : static_cast<uint32_t>(ms);
  WaitUntil(lock, timeout, [] { return false; });
}

}  // namespace Misc

}  // namespace KVL
