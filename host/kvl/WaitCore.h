// The toolkit's wait core, shared by its clock, mutexes, events and threads (not part of the
// toolkit's interface). Every wait of the toolkit (mutex, event, waiter, thread, sleep) parks on
// one process-wide condition variable guarded by one mutex. Whatever can end a wait (a release,
// a set, a clock change, an Advance, a cancel) notifies it, and each waiter re-checks its own
// condition, its deadline in toolkit time and its thread's cancel flag. One lock for everything
// keeps waits simple and always interruptible; the toolkit's waits are few and short, so
// contention is low.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "KVL.h"

namespace KVL {

namespace Threading {
namespace Detail {

// One toolkit thread. The running thread keeps it alive through its own shared pointer.
struct ThreadState {
  std::atomic<bool> cancel{false};
  bool running = false;  // guarded by Waits().mutex
  std::mutex joinMutex;  // serialises joins of `thread`
  std::thread thread;    // guarded by joinMutex
};

// The event's flag and kind; guarded by Waits().mutex.
struct EventState {
  bool signalled = false;
  bool manualReset = false;
};

// The toolkit thread running on the calling thread (null for other threads); set by the
// thread itself when it starts and ends.
void SetCurrentThread(ThreadState* state);

// Ends the wait of a cancelled thread. During unwinding a second exception would end the
// process, so a wait reached from a destructor then just gives up.
bool AbandonIfCancelled();

}  // namespace Detail
}  // namespace Threading

namespace WaitCore {

// The state shared by every toolkit wait.
struct WaitState {
  std::mutex mutex;
  std::condition_variable changed;         // any wait may be able to end
  std::condition_variable sleeperAdded;    // a thread parked in a timed wait
  std::shared_ptr<Misc::IClock> clock;      // guarded by mutex
  // Deadlines of the threads parked in a timed wait; guarded by mutex. A parked thread whose
  // deadline has passed is about to wake and no longer counts as a sleeper.
  std::multiset<uint64_t> deadlines;
  int failInitCountdown = 0;                // guarded by mutex
};

// The one wait state of the process; never destroyed, so that threads still parked at exit
// do not find it gone.
WaitState& Waits();

// The real clock: wall time at creation plus steady time elapsed since, times the scale. Steady
// time keeps deadlines sound when the wall clock is stepped.
class RealClock : public Misc::IClock {
 public:
  explicit RealClock(double scale)
      : m_Scale(scale > 0.0 ? scale : 1.0),
        m_StartWall(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count())),
        m_StartSteady(std::chrono::steady_clock::now()) {}

  uint64_t Now() override {
    const auto elapsed = std::chrono::duration<double, std::milli>(
        std::chrono::steady_clock::now() - m_StartSteady);
    return m_StartWall + static_cast<uint64_t>(elapsed.count() * m_Scale);
  }

  double Scale() const { return m_Scale; }

 private:
  const double m_Scale;
  const uint64_t m_StartWall;
  const std::chrono::steady_clock::time_point m_StartSteady;
};

// Key of the calling thread as a mutex owner; never 0.
uint64_t ThreadKey();

// Consumes one Init under the FailInitAt countdown; false when this Init is to fail.
bool ConsumeInit();

// Wakes every wait to re-check its condition.
void NotifyAllWaiters();

// Waits, holding `lock` on Waits().mutex, until `ready()` holds (true) or `timeoutMs` of
// toolkit time pass (false). Throws ThreadCancelled when the calling toolkit thread is
// cancelled.
template <typename Ready>
bool WaitUntil(std::unique_lock<std::mutex>& lock, uint32_t timeoutMs, Ready ready) {
  WaitState& w = Waits();
  const bool timed = timeoutMs != INFINITE;
  const uint64_t deadline = timed ? w.clock->Now() + timeoutMs : 0;
  std::multiset<uint64_t>::iterator parked;
  for (;;) {
    if (Threading::Detail::AbandonIfCancelled()) return false;
    if (ready()) return true;
    const std::shared_ptr<Misc::IClock> clock = w.clock;
    const uint64_t now = clock->Now();
    if (timed && now >= deadline) return false;

    if (timed) {
      parked = w.deadlines.insert(deadline);
      w.sleeperAdded.notify_all();
    }
    if (dynamic_cast<Misc::ManualClock*>(clock.get()) != nullptr || !timed) {
      // A manual clock only moves on Advance, which notifies.
      w.changed.wait(lock);
    } else {
      const auto* real = dynamic_cast<RealClock*>(clock.get());
      const double scale = real != nullptr ? real->Scale() : 1.0;
      double realMs = static_cast<double>(deadline - now) / scale;
      // Some other clock may not say how fast it runs; look at it now and then.
      if (real == nullptr) realMs = std::min(realMs, 50.0);
      w.changed.wait_for(lock, std::chrono::duration<double, std::milli>(std::max(realMs, 0.1)));
    }
    if (timed) w.deadlines.erase(parked);
  }
}

}  // namespace WaitCore

}  // namespace KVL
