// What the shell waits for: the plug-in's notification calls and a stop request (Ctrl-C,
// SIGTERM). The plug-in's worker thread calls Notify, the signal watcher thread calls Stop, and
// the shell's main thread waits; every member is safe from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace host_shell {

// The longest wait in real milliseconds (about 31 years); longer ones are cut to it, so that no
// deadline overflows the clock.
constexpr double kLongestWaitMs = 1e12;

class Notifier {
 public:
  enum Outcome { kNotified, kStopped, kTimedOut };

  // Counts one notification and wakes a waiter. Does nothing else, so the plug-in's thread
  // returns at once.
  void Notify();
  // Marks the shell as asked to stop and wakes every waiter.
  void Stop();
  bool Stopped() const;

  // Waits up to `realMs` milliseconds of real time (negative: no limit) for a notification not
  // yet taken by an earlier Wait, or for a stop. Takes every pending notification; `taken`
  // (when given) receives how many. A stop wins over pending notifications.
  Outcome Wait(double realMs, uint64_t* taken = nullptr);
  // Waits `realMs` milliseconds unless stopped first; true when the whole time passed.
  bool Sleep(double realMs);

 private:
  mutable std::mutex m_Mutex;
  std::condition_variable m_Changed;
  uint64_t m_Pending = 0;  // guarded by m_Mutex
  bool m_Stopped = false;  // guarded by m_Mutex
};

// Turns SIGINT and SIGTERM into Notifier::Stop; a second one ends the process at once (exit
// status 130) after killing the tool's running programs. SIGHUP is ignored with a word on
// standard error. The handler only writes the signal's number to a pipe; a watcher thread, the
// only thread in which the signals are not blocked, acts on it. Install before any other thread
// starts, so that every later thread (the plug-in's worker included) keeps the signals blocked.
class StopSignal {
 public:
  explicit StopSignal(Notifier& notifier) : m_Notifier(notifier) {}
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // False when the pipes or the handlers cannot be set up.
  bool Install();
  // Becomes readable (and stays so) once a stop signal arrived; -1 before Install.
  int Fd() const { return m_ReadFd; }

 private:
  void Watch();

  Notifier& m_Notifier;
  int m_ReadFd = -1;       // readable once stopped
  int m_StopWriteFd = -1;  // the watcher's end of it
  int m_StopFd = -1;       // the signal handler's pipe, read by the watcher
  std::thread m_Watcher;
};

}  // namespace host_shell
