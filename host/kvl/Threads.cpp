// Toolkit threads: starting, waiting for and cancelling them.

#include "WaitCore.h"

#include <cstdio>
#include <exception>
#include <system_error>

namespace KVL {

using namespace WaitCore;

namespace Internals {
namespace Windows {

CThreadCB_::CThreadCB_(std::shared_ptr<Threading::Detail::ThreadState> state)
    : m_State(std::move(state)) {}

// A thread that never reaches a toolkit call again cannot be ended; Cancel then waits for it.
void CThreadCB_::Cancel() {
  Threading::Detail::ThreadState& state = *m_State;
  state.cancel.store(true);
  NotifyAllWaiters();
  std::lock_guard<std::mutex> lock(state.joinMutex);
  if (!state.thread.joinable()) return;
  if (state.thread.get_id() == std::this_thread::get_id()) return;  // it unwinds on its own
  state.thread.join();
}

}  // namespace Windows
}  // namespace Internals

namespace Threading {

CThread::CThread()
    : m_State(std::make_shared<Detail::ThreadState>()),
      m_CB(std::make_unique<Internals::Windows::CThreadCB_>(m_State)) {}

CThread::~CThread() {
  std::lock_guard<std::mutex> lock(m_State->joinMutex);
  if (!m_State->thread.joinable()) return;
  if (m_State->thread.get_id() == std::this_thread::get_id()) {
    m_State->thread.detach();  // destroyed by its own thread: the state lives on with it
    return;
  }
  m_State->cancel.store(true);  // no effect on a thread that has ended
  NotifyAllWaiters();
  m_State->thread.join();
}

// `suspended` is not offered (nothing could resume the thread); the thread always starts.
uint32_t CThread::Create(const Delegates_and_Calls::CDelegate& call, bool suspended) {
  (void)suspended;
  std::lock_guard<std::mutex> joinLock(m_State->joinMutex);
  {
    WaitState& w = Waits();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (m_State->running) return 0;  // one thread per object at a time
  }
  if (m_State->thread.joinable()) m_State->thread.join();  // the previous run has ended
  m_State->cancel.store(false);
  {
    WaitState& w = Waits();
    std::lock_guard<std::mutex> lock(w.mutex);
    m_State->running = true;
  }
  std::shared_ptr<Detail::ThreadState> state = m_State;
  try {
    m_State->thread = std::thread([state, call] {
      Detail::SetCurrentThread(state.get());
      try {
        call();
      } catch (const ThreadCancelled&) {
        // Cancelled: unwound as intended.
      } catch (const std::exception& e) {
        std::fprintf(stderr, "toolkit thread ended by an exception: %s\n", e.what());
      } catch (...) {
        std::fprintf(stderr, "toolkit thread ended by an exception\n");
      }
      Detail::SetCurrentThread(nullptr);
      WaitState& w = Waits();
      std::lock_guard<std::mutex> lock(w.mutex);
      state->running = false;
      w.changed.notify_all();
    });
  } catch (const std::system_error&) {
    WaitState& w = Waits();
    std::lock_guard<std::mutex> lock(w.mutex);
    m_State->running = false;
    return 0;
  }
  return 1;
}

bool CThread::HasThread() const {
  std::lock_guard<std::mutex> lock(m_State->joinMutex);
  return m_State->thread.joinable();
}

uint32_t CThread::Wait(uint32_t timeoutMs) {
  WaitState& w = Waits();
  std::unique_lock<std::mutex> lock(w.mutex);
  return WaitUntil(lock, timeoutMs, [&] { return !m_State->running; }) ? 0 : WAIT_TIMEOUT;
}

Internals::Windows::CThreadCB_& CThread::CB() { return *m_CB; }

}  // namespace Threading

}  // namespace KVL
