#include "ToolOutput.h"

#include <cstring>
#include <limits>

#include <rapidjson/encodedstream.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/stream.h>

namespace NAMESPACE_Varnock {
namespace ToolOutput {

namespace {

constexpr const char* kIndexMark = "%d";
constexpr const char* kNoDevice = "No device selected";
constexpr size_t kNoDeviceLength = 18;

bool SaysNoDevice(const std::string& output) {
  return output.size() >= kNoDeviceLength && output.find(kNoDevice) != std::string::npos;
}

// True when `arguments` is `pattern` with an unsigned decimal number in place of its mark.
bool MatchesPattern(const std::string& arguments, const char* pattern, uint32_t& index) {
  const char* mark = std::strstr(pattern, kIndexMark);
  const size_t prefix = static_cast<size_t>(mark - pattern);
  const size_t suffix = std::strlen(mark + std::strlen(kIndexMark));
  if (arguments.size() <= prefix + suffix) return false;
  if (arguments.compare(0, prefix, pattern, prefix) != 0) return false;
  if (arguments.compare(arguments.size() - suffix, suffix, mark + std::strlen(kIndexMark)) != 0)
    return false;
  uint64_t number = 0;
  for (size_t i = prefix; i < arguments.size() - suffix; ++i) {
    const char c = arguments[i];
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(c - '0');
    if (number > std::numeric_limits<uint32_t>::max()) return false;
  }
  index = static_cast<uint32_t>(number);
  return true;
}

}  // namespace

bool LogPageArguments(uint32_t page, uint32_t index, std::string& arguments) {
  for (const LogPageLine& line : kLogPageLines) {
    if (line.page != page) continue;
    std::string formed = line.pattern;
    formed.replace(formed.find(kIndexMark), std::strlen(kIndexMark), std::to_string(index));
    arguments = formed;
    return true;
  }
  return false;
}

Asked Identify(const std::string& arguments) {
  Asked asked;
  if (arguments == kInventoryLine) {
    asked.query = Query::kInventory;
  } else if (arguments == kVersionLine) {
    asked.query = Query::kVersion;
  } else {
    for (const LogPageLine& line : kLogPageLines) {
      if (!MatchesPattern(arguments, line.pattern, asked.index)) continue;
      asked.query = Query::kLogPage;
      asked.page = line.page;
      break;
    }
  }
  return asked;
}

bool Parse(const std::string& text, rapidjson::Document& document, size_t* errorOffset,
           rapidjson::ParseErrorCode* errorCode) {
  // The same stream that Document::Parse(text, length) uses (a UTF-8 byte-order mark is
  // skipped), parsed iteratively.
  rapidjson::MemoryStream memory(text.data(), text.size());
  rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> input(memory);
  rapidjson::Document fresh;
  fresh.ParseStream<rapidjson::kParseIterativeFlag, rapidjson::UTF8<>>(input);
  rapidjson::ParseErrorCode code = fresh.GetParseError();
  size_t offset = fresh.GetErrorOffset();
  // The parser takes a NUL byte for the end of the text; anything after one is not white space.
  if (code == rapidjson::kParseErrorNone && memory.Tell() != text.size()) {
    code = rapidjson::kParseErrorDocumentRootNotSingular;
    offset = memory.Tell();
  }
  const bool ok = code == rapidjson::kParseErrorNone;
  if (!ok) {
    fresh.SetNull();
    if (errorOffset != nullptr) *errorOffset = offset;
    if (errorCode != nullptr) *errorCode = code;
  }
  document.Swap(fresh);
  return ok;
}

namespace {

// The checks before the parse, in Judge's order; kTaken when the output is to be parsed.
Verdict BeforeParse(Query query, uint32_t result, const std::string& output) {
  if (result != 1) return Verdict::kNotCompleted;
  if (output.empty()) return Verdict::kEmpty;
  // The inventory lists every drive and is read whatever text it holds.
  if (query != Query::kInventory && SaysNoDevice(output)) return Verdict::kNoDevice;
  return Verdict::kTaken;
}

// Parse's rule for text parsed where it lies: the same byte-order mark skipped (each of its
// bytes where it comes, as the encoded stream does) and the same end.
bool ParseInPlace(std::string& text, rapidjson::Document& document) {
  size_t start = 0;
  for (const unsigned char mark : {0xEFu, 0xBBu, 0xBFu})
    if (start < text.size() && static_cast<unsigned char>(text[start]) == mark) ++start;
  rapidjson::InsituStringStream input(&text[0] + start);
  rapidjson::Document fresh;
  fresh.ParseStream<rapidjson::kParseIterativeFlag | rapidjson::kParseInsituFlag,
                    rapidjson::UTF8<>>(input);
  // The parser takes a NUL byte for the end of the text; anything after one is not white space.
  const bool ok = !fresh.HasParseError() && start + input.Tell() == text.size();
  if (!ok) fresh.SetNull();
  document.Swap(fresh);
  return ok;
}

}  // namespace

Verdict Judge(Query query, uint32_t result, const std::string& output,
              rapidjson::Document& document, size_t* errorOffset,
              rapidjson::ParseErrorCode* errorCode) {
  const Verdict verdict = BeforeParse(query, result, output);
  if (verdict != Verdict::kTaken) return verdict;
  if (!Parse(output, document, errorOffset, errorCode)) return Verdict::kNotJson;
  return Verdict::kTaken;
}

Verdict JudgeInPlace(Query query, uint32_t result, std::string& output,
                     rapidjson::Document& document) {
  const Verdict verdict = BeforeParse(query, result, output);
  if (verdict != Verdict::kTaken) return verdict;
  return ParseInPlace(output, document) ? Verdict::kTaken : Verdict::kNotJson;
}

}  // namespace ToolOutput
}  // namespace NAMESPACE_Varnock
