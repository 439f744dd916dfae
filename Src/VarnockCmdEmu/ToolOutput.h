// The vendor tool's argument lines and the rule by which the output of one run is taken or
// rejected. The plug-in's tool bridge and the host shell's watch of tool runs both use it, so
// that they judge every run alike. Constants and stateless functions; a document belongs to one
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <rapidjson/document.h>

namespace NAMESPACE_Varnock {
namespace ToolOutput {

constexpr const char* kInventoryLine = "show -all -o json -vedidevu";
constexpr const char* kVersionLine = "version -o json";

// The log pages of one drive; the drive's tool index replaces "%d".
struct LogPageLine {
  uint32_t page;
  const char* pattern;
};
inline constexpr LogPageLine kLogPageLines[] = {
    {2, "show -o json -vedidevu %d -nvmelog SmartHealthInfo"},
    {197, "show -o json -vedidevu %d -nvmelog TemperatureStatistics"},
    {202, "show -o json -smart -vedidevu %d"},
    {203, "show -all -o json -vedidevu %d"},
};

// The argument line of log page `page` for the drive at `index` (unsigned decimal); false, with
// `arguments` untouched, for a page without one.
[[nodiscard]] bool LogPageArguments(uint32_t page, uint32_t index, std::string& arguments);

// What an argument line asks the tool for.
enum class Query { kOther, kInventory, kLogPage, kVersion };
struct Asked {
  Query query = Query::kOther;
  uint32_t page = 0;   // kLogPage: 2, 197, 202 or 203
  uint32_t index = 0;  // kLogPage: the drive's tool index
};
// Reads an argument line back into what it asks for; kOther for any other line.
Asked Identify(const std::string& arguments);

// How a run's output is judged, in the order the checks are made.
enum class Verdict {
  kTaken,         // parsed into the document
  kNotCompleted,  // the run result is not 1: not started, timed out or output past the cap
  kEmpty,         // printed nothing
  kNoDevice,      // says "No device selected" (log pages and version only)
  kNotJson,       // not one JSON value with only white space around it
};

// Parses the whole `text` into `document`, replacing its content. The parser is iterative, so
// nesting depth costs heap rather than stack. A UTF-8 byte-order mark is skipped. Returns false
// (the document then holds null) for an empty document, a syntax error, or anything but white
// space after the root value; `errorOffset`, when given, then receives the byte where reading
// stopped and `errorCode` why.
[[nodiscard]] bool Parse(const std::string& text, rapidjson::Document& document,
                         size_t* errorOffset = nullptr,
                         rapidjson::ParseErrorCode* errorCode = nullptr);

// Judges the output of a run of `query` whose run result was `result` (1: the tool ran and
// ended by itself, whatever its exit status). The document is replaced only when the checks
// before the parse pass; it holds the parsed output when the verdict is kTaken.
Verdict Judge(Query query, uint32_t result, const std::string& output,
              rapidjson::Document& document, size_t* errorOffset = nullptr,
              rapidjson::ParseErrorCode* errorCode = nullptr);
// Judge for output that is read once: it is parsed where it lies, without copying its strings,
// so the document's strings live in `output`, which must outlive the document and is changed
// by the parse. The same verdicts as Judge.
Verdict JudgeInPlace(Query query, uint32_t result, std::string& output,
                     rapidjson::Document& document);

}  // namespace ToolOutput
}  // namespace NAMESPACE_Varnock
