// Trace settings (a level mask per module and the sink) and trace records.

#include "KVL.h"
#include "Platform.h"

#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>

namespace KVL {

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
  // Programs the host runs do not inherit the trace file. A file that cannot be opened leaves
  // records on standard error.
  if (!path.empty()) t.file = Platform::OpenAppendNoInherit(path);
}

}  // namespace Misc

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
  const uint64_t thread = Platform::CurrentThreadId();
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

}  // namespace KVL
