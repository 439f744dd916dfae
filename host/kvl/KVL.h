// Toolkit services (namespace KVL): tracing, recursive mutexes, events, threads, waits and
// the clock. All objects are safe for concurrent use from any thread. Every timed wait and sleep
// goes through one clock, which tests replace with a manual one so that nothing waits for real.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace KVL {

constexpr uint32_t INFINITE = 0xFFFFFFFFu;
constexpr uint32_t WAIT_TIMEOUT = 130;  // result of a wait that timed out / thread still running

namespace Language_Support {
class CLanguageSupport {
 public:
  // A language file: its name, language code, encoding and built-in message table.
  class CLngFile {
   public:
    CLngFile(const char* fileName, uint32_t languageCode, const char* encoding, int flag,
             std::vector<std::string> builtinMessages);
    const std::string& FileName() const { return m_FileName; }
    uint32_t LanguageCode() const { return m_LanguageCode; }
    const std::string& Encoding() const { return m_Encoding; }
    // The built-in message with the given index, or an empty text.
    std::string Message(size_t index) const;

   private:
    std::string m_FileName;
    uint32_t m_LanguageCode;
    std::string m_Encoding;
    [[maybe_unused]] int m_Flag;
    std::vector<std::string> m_Messages;
  };
};
}  // namespace Language_Support

namespace Misc {

// A module's identity. Its trace level mask is kept by the toolkit by module number, so the host
// can set it (SetTraceMask) for a module it has loaded.
class CModuleInfo {
 public:
  CModuleInfo(uint32_t number, const char* name, const char* version,
              const Language_Support::CLanguageSupport::CLngFile* lngFile,
              std::vector<uint32_t> errorMessages);
  uint32_t Number() const { return m_Number; }
  const std::string& Name() const { return m_Name; }
  const std::string& Version() const { return m_Version; }
  // The word the plug-in factory copies into the interface header.
  uint32_t Word() const { return m_Number; }
  uint32_t TraceMask() const;
  bool TraceEnabled(uint32_t level) const { return (TraceMask() & level) != 0; }

 private:
  uint32_t m_Number;
  std::string m_Name;
  std::string m_Version;
  [[maybe_unused]] const Language_Support::CLanguageSupport::CLngFile* m_LngFile;
  std::vector<uint32_t> m_ErrorMessages;
};

// Sets the trace level mask of the module with this number (0 = nothing traced).
void SetTraceMask(uint32_t moduleNumber, uint32_t mask);
// Trace records go to this file (appended), or to standard error when the path is empty.
void SetTraceFile(const std::string& path);

// The clock behind now(), sleeps and every timed wait.
class IClock {
 public:
  virtual ~IClock() = default;
  virtual uint64_t Now() = 0;  // milliseconds
};

// Wall clock, optionally running `scale` times faster (waits `scale` times shorter).
std::shared_ptr<IClock> MakeRealClock(double scale = 1.0);

// A clock that moves only when Advance is called. Waits with a time limit end when the clock is
// advanced past their deadline; threads parked in such waits can be counted, so a test can
// advance time exactly when the code under test is waiting.
class ManualClock : public IClock {
 public:
  explicit ManualClock(uint64_t start = 1000000);
  uint64_t Now() override;
  void Advance(uint64_t ms);
  // Blocks (in real time, at most `realTimeoutMs`) until at least `n` threads are parked in a
  // timed toolkit wait or sleep whose deadline is still ahead (a thread whose deadline an Advance
  // passed is on its way out and does not count). Returns false on time-out.
  bool WaitForSleepers(int n, int realTimeoutMs = 10000);

 private:
  std::atomic<uint64_t> m_Now;
};

// Installs the clock that the toolkit uses from now on (process-wide).
void SetClock(std::shared_ptr<IClock> clock);
std::shared_ptr<IClock> GetClock();

uint64_t now();
// Sleeps for toolkit time; interrupted only by Cancel of the calling toolkit thread.
void Sleep(uint64_t ms);

class CKvlApplication {
 public:
  // The host registers its process path once; the plug-in reads it.
  static void SetProcessPath(const boost::filesystem::path& path);
  static void GetProcessPath(boost::filesystem::path& path);
};

}  // namespace Misc

namespace Output_Streams {
// Builds one trace line from a printf-style format: each placeholder (%d, %u, %lu, %x, %s, ...)
// takes the next value fed in.
class CFormatStream {
 public:
  void Begin(const char* format);
  CFormatStream& FormatInt(int64_t value);
  CFormatStream& FormatUInt(uint64_t value);
  CFormatStream& operator<<(const std::string& text);
  CFormatStream& operator<<(const char* text);
  // The text so far, with any placeholder that got no value left as it stands.
  std::string Text() const;

 private:
  void AppendUpToPlaceholder();
  void Put(const std::string& value);
  std::string m_Format;
  size_t m_Pos = 0;
  std::string m_Out;
  char m_Conversion = 0;  // conversion letter of the pending placeholder, 0 when none
};
}  // namespace Output_Streams

namespace Internals {
// One trace record; the record is emitted when the buffer is destroyed.
class CTraceStreamBuffer {
 public:
  CTraceStreamBuffer(uint32_t level, const Misc::CModuleInfo& module, const char* source,
                     const char* function, int line);
  virtual ~CTraceStreamBuffer();
  virtual Output_Streams::CFormatStream& Stream(Output_Streams::CFormatStream& stream,
                                                const char* format);

 private:
  uint32_t m_Level;
  const Misc::CModuleInfo& m_Module;
  std::string m_Source;
  std::string m_Function;
  int m_Line;
  Output_Streams::CFormatStream* m_Stream = nullptr;
};

// "unsigned int NS::Class::Member(args) const" -> "NS::Class::Member".
std::string QualifiedName(const char* prettyFunction);

inline void Feed(Output_Streams::CFormatStream&) {}
template <typename T, typename... Rest>
void Feed(Output_Streams::CFormatStream& s, const T& v, const Rest&... rest) {
  if constexpr (std::is_same_v<T, bool>) {
    s.FormatInt(v ? 1 : 0);
  } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
    if constexpr (std::is_signed_v<T>)
      s.FormatInt(static_cast<int64_t>(v));
    else
      s.FormatUInt(static_cast<uint64_t>(v));
  } else if constexpr (std::is_floating_point_v<T>) {
    s.FormatInt(static_cast<int64_t>(v));
  } else {
    s << v;
  }
  Feed(s, rest...);
}

template <typename... Args>
void Trace(uint32_t level, const Misc::CModuleInfo& module, const char* source,
           const char* prettyFunction, int line, const char* format, const Args&... args) {
  const std::string function = QualifiedName(prettyFunction);
  // The stream outlives the buffer: the buffer reads the finished text when it is destroyed.
  Output_Streams::CFormatStream stream;
  CTraceStreamBuffer buffer(level, module, source, function.c_str(), line);
  Feed(buffer.Stream(stream, format), args...);
}
}  // namespace Internals

// Writes a trace record when the module's mask has the level bit.
#define KVL_TRACE(module, level, source, ...)                                                 \
  do {                                                                                        \
    if ((module).TraceEnabled(level))                                                         \
      ::KVL::Internals::Trace((level), (module), (source), __PRETTY_FUNCTION__, __LINE__,     \
                              __VA_ARGS__);                                                   \
  } while (0)

namespace Threading {

// Thrown inside a toolkit thread that was cancelled, at its next toolkit wait, sleep, lock or
// program run; it unwinds the thread (running destructors) and is caught by CThread.
struct ThreadCancelled {};

class CSyncGuard;

namespace Native_OS {
// Recursive mutex: a thread that holds it may take it again; it is free after as many
// releases as takes.
class CFastMutex {
 public:
  CFastMutex() = default;
  CFastMutex(const CFastMutex&) = delete;
  CFastMutex& operator=(const CFastMutex&) = delete;
  ~CFastMutex();
  uint32_t Init();
  // Takes the mutex, waiting up to `timeoutMs` of toolkit time (INFINITE: no limit). With a
  // guard, the guard releases it on destruction. Returns 1 when held, 130 on time-out.
  uint32_t Wait(CSyncGuard* guard, uint32_t timeoutMs = INFINITE);
  void Release();

 private:
  friend class ::KVL::Threading::CSyncGuard;
  bool m_Initialized = false;
  uint64_t m_OwnerKey = 0;  // toolkit thread key of the holder, 0 when free
  uint32_t m_Depth = 0;
};
}  // namespace Native_OS

class CSyncGuard {
 public:
  CSyncGuard() = default;
  CSyncGuard(const CSyncGuard&) = delete;
  CSyncGuard& operator=(const CSyncGuard&) = delete;
  ~CSyncGuard();
  void Attach(Native_OS::CFastMutex* mutex) { m_Mutex = mutex; }

 private:
  Native_OS::CFastMutex* m_Mutex = nullptr;
};

class CEvent;
namespace Detail {
struct EventState;
}

}  // namespace Threading

namespace Internals {
namespace Windows {
// The shared callback object that an event owns; Set signals the event.
class CEventCB {
 public:
  explicit CEventCB(std::shared_ptr<Threading::Detail::EventState> state);
  void Set();
  void Reset();

 private:
  std::shared_ptr<Threading::Detail::EventState> m_State;
};
}  // namespace Windows
}  // namespace Internals

namespace Threading {

class CEvent {
 public:
  CEvent();
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;
  // Init(false, false): not signalled, reset by the wait it satisfies (auto-reset).
  // Init(false, true): not signalled, stays signalled once set (manual reset).
  uint32_t Init(bool initialState, bool manualReset);
  Internals::Windows::CEventCB& CB() { return *m_CB; }
  void Set() { m_CB->Set(); }
  void Reset() { m_CB->Reset(); }
  // Waits for the event: 1 when signalled, 130 on time-out.
  uint32_t Wait(uint32_t timeoutMs);
  bool IsSignalled() const;

 private:
  friend class CWaiter;
  std::shared_ptr<Detail::EventState> m_State;
  std::unique_ptr<Internals::Windows::CEventCB> m_CB;
};

class CWaitInterval {
 public:
  explicit CWaitInterval(uint64_t ms);
  // Starts a new interval of `ms` from now.
  void Restart(uint64_t ms);
  // Time left until the interval ends (0 once it has passed).
  operator uint32_t() const;

 private:
  uint64_t m_End;
};

class CWaiter {
 public:
  CWaiter& operator<<(CEvent& event);
  // Waits until one of the events is signalled (consuming an auto-reset one) and returns its
  // 1-based position, or 130 when `timeoutMs` of toolkit time pass. `all` is not supported
  // and must be false.
  uint32_t Wait(uint32_t timeoutMs, bool all = false);

 private:
  std::vector<CEvent*> m_Events;
};

}  // namespace Threading

namespace Delegates_and_Calls {
// A call of a member function on an object.
class CDelegate {
 public:
  template <typename T>
  CDelegate(T* object, void (T::*member)()) : m_Call([object, member] { (object->*member)(); }) {}
  void operator()() const { m_Call(); }

 private:
  std::function<void()> m_Call;
};
}  // namespace Delegates_and_Calls

namespace Threading {
namespace Detail {
struct ThreadState;
}
}  // namespace Threading

namespace Internals {
namespace Windows {
class CThreadCB_ {
 public:
  explicit CThreadCB_(std::shared_ptr<Threading::Detail::ThreadState> state);
  // Ends the thread by force: it unwinds at its next toolkit wait, sleep, lock or program run
  // (a program it is running is killed). Returns once the thread has ended, so a thread that
  // never reaches such a call again keeps Cancel waiting. From the thread itself it only marks.
  void Cancel();

 private:
  std::shared_ptr<Threading::Detail::ThreadState> m_State;
};
}  // namespace Windows
}  // namespace Internals

namespace Threading {

class CThread {
 public:
  CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;
  // Joins a thread that has ended; a thread still running is cancelled first.
  ~CThread();
  // Starts the thread running `call`. Returns 1 on success.
  uint32_t Create(const Delegates_and_Calls::CDelegate& call, bool suspended);
  bool HasThread() const;
  // 0 once the thread has ended, 130 while it still runs after `timeoutMs` of toolkit time.
  uint32_t Wait(uint32_t timeoutMs);
  Internals::Windows::CThreadCB_& CB();
  void Cancel() { CB().Cancel(); }

 private:
  std::shared_ptr<Detail::ThreadState> m_State;
  std::unique_ptr<Internals::Windows::CThreadCB_> m_CB;
};

// True when the calling toolkit thread has been asked to cancel (for code that polls).
bool CancelRequested();
// Throws ThreadCancelled when the calling toolkit thread has been cancelled.
void CancellationPoint();

}  // namespace Threading

namespace Testing {
// Makes the `n`-th Init of a mutex or event from now on (1 = the next) return 0; 0 disarms.
void FailInitAt(int n);
}  // namespace Testing

}  // namespace KVL
