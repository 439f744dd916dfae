// The toolkit's wait core: the shared wait state, thread keys, cancellation of the calling
// toolkit thread, and the countdown that makes an Init fail in tests.

#include "WaitCore.h"

#include <exception>

namespace KVL {

namespace WaitCore {

WaitState& Waits() {
  static WaitState* state = [] {
    auto* s = new WaitState;
    s->clock = std::make_shared<RealClock>(1.0);
    return s;
  }();
  return *state;
}

uint64_t ThreadKey() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t key = next.fetch_add(1);
  return key;
}

bool ConsumeInit() {
  WaitState& w = Waits();
  std::lock_guard<std::mutex> lock(w.mutex);
  if (w.failInitCountdown <= 0) return true;
  return --w.failInitCountdown != 0;
}

void NotifyAllWaiters() {
  WaitState& w = Waits();
  std::lock_guard<std::mutex> lock(w.mutex);
  w.changed.notify_all();
}

}  // namespace WaitCore

namespace Threading {

namespace Detail {
namespace {
thread_local ThreadState* t_CurrentThread = nullptr;
}  // namespace

void SetCurrentThread(ThreadState* state) { t_CurrentThread = state; }

bool AbandonIfCancelled() {
  if (!CancelRequested()) return false;
  if (std::uncaught_exceptions() == 0) throw ThreadCancelled();
  return true;
}
}  // namespace Detail

bool CancelRequested() {
  return Detail::t_CurrentThread != nullptr && Detail::t_CurrentThread->cancel.load();
}

void CancellationPoint() {
  if (CancelRequested()) throw ThreadCancelled();
}

}  // namespace Threading

namespace Testing {

void FailInitAt(int n) {
  WaitCore::WaitState& w = WaitCore::Waits();
  std::lock_guard<std::mutex> lock(w.mutex);
  w.failInitCountdown = std::max(n, 0);
}

}  // namespace Testing

}  // namespace KVL
