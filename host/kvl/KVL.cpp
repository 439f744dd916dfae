// Toolkit services: the clock, waits, recursive mutexes, events, threads with cancellation,
// tracing and the process path.
//
// Every wait of the toolkit (mutex, event, waiter, thread, sleep) parks on one process-wide
// condition variable guarded by one mutex. Whatever can end a wait (a release, a set, a clock
// change, an Advance, a cancel) notifies it, and each waiter re-checks its own condition, its
// deadline in toolkit time and its thread's cancel flag. One lock for everything keeps waits
// simple and always interruptible; the toolkit's waits are few and short, so contention is low.

#include "KVL.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <exception>
#include <map>
#include <set>
#include <mutex>
#include <thread>

namespace KVL {

namespace {

// The state shared by every toolkit wait.
struct WaitState {
  std::mutex mutex;
  std::condition_variable changed;         // any wait may be able to end
  std::condition_variable sleepersChanged;  // the number of parked timed waiters grew
  std::shared_ptr<Misc::IClock> clock;      // guarded by mutex
  // Deadlines of the threads parked in a timed wait; guarded by mutex. A parked thread whose
  // deadline has passed is about to wake and no longer counts as a sleeper.
  std::multiset<uint64_t> deadlines;
  int failInitCountdown = 0;                // guarded by mutex
};

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

WaitState& Waits() {
  static WaitState* state = [] {
    // Never destroyed: threads still parked at exit must not find it gone.
    auto* s = new WaitState;
    s->clock = std::make_shared<RealClock>(1.0);
    return s;
  }();
  return *state;
}

// Key of the calling thread as a mutex owner; never 0.
uint64_t ThreadKey() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t key = next.fetch_add(1);
  return key;
}

// Consumes one Init under the FailInitAt countdown; false when this Init is to fail.
bool ConsumeInit() {
  WaitState& w = Waits();
  std::lock_guard<std::mutex> lock(w.mutex);
  if (w.failInitCountdown <= 0) return true;
  return --w.failInitCountdown != 0;
}

}  // namespace

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

}  // namespace Detail

namespace {
thread_local Detail::ThreadState* t_CurrentThread = nullptr;

// Ends the wait of a cancelled thread. During unwinding a second exception would end the
// process, so a wait reached from a destructor then just gives up.
bool AbandonIfCancelled() {
  if (!CancelRequested()) return false;
  if (std::uncaught_exceptions() == 0) throw ThreadCancelled();
  return true;
}
}  // namespace

bool CancelRequested() {
  return t_CurrentThread != nullptr && t_CurrentThread->cancel.load();
}

void CancellationPoint() {
  if (CancelRequested()) throw ThreadCancelled();
}

}  // namespace Threading

namespace {

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
    if (Threading::AbandonIfCancelled()) return false;
    if (ready()) return true;
    const std::shared_ptr<Misc::IClock> clock = w.clock;
    const uint64_t now = clock->Now();
    if (timed && now >= deadline) return false;

    if (timed) {
      parked = w.deadlines.insert(deadline);
      w.sleepersChanged.notify_all();
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

void NotifyAllWaiters() {
  WaitState& w = Waits();
  std::lock_guard<std::mutex> lock(w.mutex);
  w.changed.notify_all();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Language files

namespace Language_Support {

CLanguageSupport::CLngFile::CLngFile(const char* fileName, uint32_t languageCode,
                                     const char* encoding, int flag,
                                     std::vector<std::string> builtinMessages)
    : m_FileName(fileName != nullptr ? fileName : ""),
      m_LanguageCode(languageCode),
      m_Encoding(encoding != nullptr ? encoding : ""),
      m_Flag(flag),
      m_Messages(std::move(builtinMessages)) {}

std::string CLanguageSupport::CLngFile::Message(size_t index) const {
  return index < m_Messages.size() ? m_Messages[index] : std::string();
}

}  // namespace Language_Support

// ---------------------------------------------------------------------------------------------
// Module information, trace settings, clock, process path

namespace Misc {

namespace {
struct TraceSettings {
  std::mutex mutex;                      // guards the table and the sink; serialises records
  std::map<uint32_t, uint32_t> masks;    // module number -> level mask
  FILE* file = nullptr;                  // null: standard error
};

TraceSettings& Traces() {
  static TraceSettings* settings = new TraceSettings;  // outlives every static destructor
  return *settings;
}

struct ProcessPath {
  std::mutex mutex;
  boost::filesystem::path path;
};

ProcessPath& Process() {
  static ProcessPath* process = new ProcessPath;
  return *process;
}
}  // namespace

CModuleInfo::CModuleInfo(uint32_t number, const char* name, const char* version,
                         const Language_Support::CLanguageSupport::CLngFile* lngFile,
                         std::vector<uint32_t> errorMessages)
    : m_Number(number),
      m_Name(name != nullptr ? name : ""),
      m_Version(version != nullptr ? version : ""),
      m_LngFile(lngFile),
      m_ErrorMessages(std::move(errorMessages)) {}

uint32_t CModuleInfo::TraceMask() const {
  TraceSettings& t = Traces();
  std::lock_guard<std::mutex> lock(t.mutex);
  const auto it = t.masks.find(m_Number);
  return it != t.masks.end() ? it->second : 0;
}

void SetTraceMask(uint32_t moduleNumber, uint32_t mask) {
  TraceSettings& t = Traces();
  std::lock_guard<std::mutex> lock(t.mutex);
  t.masks[moduleNumber] = mask;
}

void SetTraceFile(const std::string& path) {
  TraceSettings& t = Traces();
  std::lock_guard<std::mutex> lock(t.mutex);
  if (t.file != nullptr) std::fclose(t.file);
  t.file = nullptr;
  // "e": close-on-exec, so programs the host runs do not inherit the trace file. A file that
  // cannot be opened leaves records on standard error.
  if (!path.empty()) t.file = std::fopen(path.c_str(), "ae");
}

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
  return w.sleepersChanged.wait_for(lock, std::chrono::milliseconds(std::max(realTimeoutMs, 0)),
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

void CKvlApplication::SetProcessPath(const boost::filesystem::path& path) {
  ProcessPath& p = Process();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.path = path;
}

void CKvlApplication::GetProcessPath(boost::filesystem::path& path) {
  ProcessPath& p = Process();
  std::lock_guard<std::mutex> lock(p.mutex);
  path = p.path;
}

}  // namespace Misc

// ---------------------------------------------------------------------------------------------
// Format streams and trace records

namespace Output_Streams {

namespace {
bool IsFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLength(char c) {
  return c == 'h' || c == 'l' || c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 't' ||
         c == 'I';
}

// A parsed placeholder: flags, width and conversion letter, and where it ends.
struct Placeholder {
  bool leftAlign = false;
  bool zeroPad = false;
  size_t width = 0;
  char conversion = 0;
  size_t end = 0;  // index just past the placeholder
};

// Parses the placeholder that starts with the '%' at `pos`; conversion 0 when it is malformed.
Placeholder Parse(const std::string& format, size_t pos) {
  Placeholder p;
  size_t i = pos + 1;
  while (i < format.size() && IsFlag(format[i])) {
    if (format[i] == '-') p.leftAlign = true;
    if (format[i] == '0') p.zeroPad = true;
    ++i;
  }
  while (i < format.size() && IsDigit(format[i])) p.width = p.width * 10 + (format[i++] - '0');
  if (i < format.size() && format[i] == '.') {
    ++i;
    while (i < format.size() && IsDigit(format[i])) ++i;
  }
  while (i < format.size() && (IsLength(format[i]) || IsDigit(format[i]))) ++i;  // l, ll, I64
  if (i < format.size() && std::isalpha(static_cast<unsigned char>(format[i]))) {
    p.conversion = format[i];
    p.end = i + 1;
  }
  p.width = std::min<size_t>(p.width, 256);
  return p;
}

std::string Pad(const std::string& value, const Placeholder& p, bool numeric) {
  if (value.size() >= p.width) return value;
  const size_t fill = p.width - value.size();
  if (p.leftAlign) return value + std::string(fill, ' ');
  if (p.zeroPad && numeric) {
    const size_t sign = (!value.empty() && value[0] == '-') ? 1 : 0;
    return value.substr(0, sign) + std::string(fill, '0') + value.substr(sign);
  }
  return std::string(fill, ' ') + value;
}

std::string Hex(uint64_t value, bool upper) {
  char buffer[20];
  std::snprintf(buffer, sizeof buffer, upper ? "%llX" : "%llx",
                static_cast<unsigned long long>(value));
  return buffer;
}
}  // namespace

void CFormatStream::Begin(const char* format) {
  m_Format = format != nullptr ? format : "";
  m_Pos = 0;
  m_Out.clear();
  m_Spec = 0;
  AppendUpToPlaceholder();
}

// Copies literal text (with "%%" as '%') up to the next placeholder, which is left pending at
// m_Pos with its conversion letter in m_Spec.
void CFormatStream::AppendUpToPlaceholder() {
  m_Spec = 0;
  while (m_Pos < m_Format.size()) {
    const size_t percent = m_Format.find('%', m_Pos);
    if (percent == std::string::npos) {
      m_Out.append(m_Format, m_Pos, std::string::npos);
      m_Pos = m_Format.size();
      return;
    }
    m_Out.append(m_Format, m_Pos, percent - m_Pos);
    if (percent + 1 < m_Format.size() && m_Format[percent + 1] == '%') {
      m_Out += '%';
      m_Pos = percent + 2;
      continue;
    }
    const Placeholder p = Parse(m_Format, percent);
    m_Pos = percent;
    if (p.conversion == 0) {  // a lone '%' stays as written
      m_Out.append(m_Format, percent, std::string::npos);
      m_Pos = m_Format.size();
      return;
    }
    m_Spec = p.conversion;
    return;
  }
}

// Puts `value`, already converted, in place of the pending placeholder. A value with no
// placeholder left is dropped.
void CFormatStream::Put(const std::string& value) {
  if (m_Spec == 0) return;
  const Placeholder p = Parse(m_Format, m_Pos);
  const bool numeric = m_Spec != 's' && m_Spec != 'c';
  m_Out += Pad(value, p, numeric);
  m_Pos = p.end;
  AppendUpToPlaceholder();
}

CFormatStream& CFormatStream::FormatInt(int64_t value) {
  if (m_Spec == 'x' || m_Spec == 'X') {
    Put(Hex(static_cast<uint64_t>(value), m_Spec == 'X'));
  } else if (m_Spec == 'u') {
    Put(std::to_string(static_cast<uint64_t>(value)));
  } else {
    Put(std::to_string(value));
  }
  return *this;
}

CFormatStream& CFormatStream::FormatUInt(uint64_t value) {
  if (m_Spec == 'x' || m_Spec == 'X')
    Put(Hex(value, m_Spec == 'X'));
  else
    Put(std::to_string(value));
  return *this;
}

CFormatStream& CFormatStream::operator<<(const std::string& text) {
  Put(text);
  return *this;
}

CFormatStream& CFormatStream::operator<<(const char* text) {
  Put(text != nullptr ? text : "(null)");
  return *this;
}

std::string CFormatStream::Text() const {
  if (m_Spec == 0) return m_Out;
  return m_Out + m_Format.substr(m_Pos);
}

}  // namespace Output_Streams

namespace Internals {

namespace {
// "2024-05-01T12:00:00.123Z" for toolkit time in milliseconds.
std::string TraceTime(uint64_t ms) {
  const time_t seconds = static_cast<time_t>(ms / 1000);
  struct tm utc = {};
  gmtime_r(&seconds, &utc);
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03uZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<unsigned>(ms % 1000));
  return buffer;
}

// A record stays one line: line ends inside the message are written as "\n" and "\r", other
// control characters as "\xHH", so a text from a drive cannot draw on a terminal showing it.
std::string OneLine(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if ((c >= 0 && c < 0x20 && c != '\t') || c == 0x7f) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[(c >> 4) & 0xf];
      out += kHex[c & 0xf];
    } else {
      out += c;
    }
  }
  while (out.size() >= 2 && out.compare(out.size() - 2, 2, "\\n") == 0) out.resize(out.size() - 2);
  return out;
}
}  // namespace

CTraceStreamBuffer::CTraceStreamBuffer(uint32_t level, const Misc::CModuleInfo& module,
                                       const char* source, const char* function, int line)
    : m_Level(level),
      m_Module(module),
      m_Source(source != nullptr ? source : ""),
      m_Function(function != nullptr ? function : ""),
      m_Line(line) {}

// Record: "time thread level source function:line message".
CTraceStreamBuffer::~CTraceStreamBuffer() {
  const std::string message = m_Stream != nullptr ? OneLine(m_Stream->Text()) : std::string();
  const long thread = static_cast<long>(syscall(SYS_gettid));
  const std::string record = TraceTime(Misc::now()) + " " + std::to_string(thread) + " " +
                             std::to_string(m_Level) + " " + m_Source + " " + m_Function + ":" +
                             std::to_string(m_Line) + " " + message + "\n";
  (void)m_Module;
  auto& t = Misc::Traces();
  std::lock_guard<std::mutex> lock(t.mutex);
  FILE* sink = t.file != nullptr ? t.file : stderr;
  std::fwrite(record.data(), 1, record.size(), sink);
  std::fflush(sink);
}

Output_Streams::CFormatStream& CTraceStreamBuffer::Stream(Output_Streams::CFormatStream& stream,
                                                          const char* format) {
  stream.Begin(format);
  m_Stream = &stream;
  return stream;
}

std::string QualifiedName(const char* prettyFunction) {
  if (prettyFunction == nullptr) return std::string();
  std::string s = prettyFunction;
  // Template functions end in " [with T = ...]".
  const size_t with = s.find(" [with ");
  if (with != std::string::npos) s.resize(with);

  // The parameter list: the parenthesis group that closes last.
  size_t close = s.rfind(')');
  if (close == std::string::npos) return s;
  int depth = 0;
  size_t open = std::string::npos;
  for (size_t i = close + 1; i-- > 0;) {
    if (s[i] == ')') ++depth;
    if (s[i] == '(' && --depth == 0) {
      open = i;
      break;
    }
  }
  if (open == std::string::npos) return s;

  // An operator's name holds symbols that would confuse the scan below; start before it.
  size_t end = open;
  const size_t op = s.rfind("operator", open);
  if (op != std::string::npos && (op == 0 || s[op - 1] == ':' || s[op - 1] == ' ')) {
    const char after = op + 8 < s.size() ? s[op + 8] : '\0';
    if (!(std::isalnum(static_cast<unsigned char>(after)) || after == '_')) end = op;
  }

  // The name starts after the last blank outside <...> and (...).
  size_t begin = 0;
  depth = 0;
  for (size_t i = end; i-- > 0;) {
    const char c = s[i];
    if (c == '>' || c == ')') ++depth;
    if ((c == '<' || c == '(') && depth > 0) --depth;
    if (c == ' ' && depth == 0) {
      begin = i + 1;
      break;
    }
  }
  std::string name = s.substr(begin, open - begin);
  // Pointer or reference return types written next to the name ("char* F()").
  while (!name.empty() && (name[0] == '*' || name[0] == '&')) name.erase(0, 1);
  return name;
}

}  // namespace Internals

// ---------------------------------------------------------------------------------------------
// Mutexes, events, waiters, intervals

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
  if (!WaitUntil(lock, timeoutMs, [&] { return m_Owner == 0 || m_Owner == me; }))
    return WAIT_TIMEOUT;
  m_Owner = me;
  ++m_Depth;
  if (guard != nullptr) guard->Attach(this);
  return 1;
}

// A release by a thread that does not hold the mutex is ignored.
void CFastMutex::Release() {
  WaitState& w = Waits();
  std::lock_guard<std::mutex> lock(w.mutex);
  if (m_Owner != ThreadKey() || m_Depth == 0) return;
  if (--m_Depth == 0) {
    m_Owner = 0;
    w.changed.notify_all();
  }
}

}  // namespace Native_OS

CSyncGuard::~CSyncGuard() {
  if (m_Mutex != nullptr) m_Mutex->Release();
}

}  // namespace Threading

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

// ---------------------------------------------------------------------------------------------
// Threads

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
      t_CurrentThread = state.get();
      try {
        call();
      } catch (const ThreadCancelled&) {
        // Cancelled: unwound as intended.
      } catch (const std::exception& e) {
        std::fprintf(stderr, "toolkit thread ended by an exception: %s\n", e.what());
      } catch (...) {
        std::fprintf(stderr, "toolkit thread ended by an exception\n");
      }
      t_CurrentThread = nullptr;
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

namespace Testing {

void FailInitAt(int n) {
  WaitState& w = Waits();
  std::lock_guard<std::mutex> lock(w.mutex);
  w.failInitCountdown = std::max(n, 0);
}

}  // namespace Testing

}  // namespace KVL
