#include "ToolWatch.h"

#include <cerrno>
#include <cstring>
#include <sstream>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "KVLX.h"
#include "ToolOutput.h"

namespace host_shell {

namespace {

namespace ToolOutput = NAMESPACE_Varnock::ToolOutput;
using ToolOutput::Query;
using ToolOutput::Verdict;
using Report = KVLX::CSystem::RunReport;

std::string Seconds(unsigned long long ms) {
  std::ostringstream text;
  text << static_cast<double>(ms) / 1000.0;
  return text.str();
}

// How the program ended when that is worth saying: a signal or a status other than 0.
std::string Ending(const Report& run) {
  if (run.signal != 0) return "killed by signal " + std::to_string(run.signal);
  if (run.exitStatus != 0) return "exit status " + std::to_string(run.exitStatus);
  return "";
}

// The last line the tool printed on its standard error that says something, cut to a length a
// reason can carry, control characters as blanks; empty when there is none.
std::string LastErrorLine(const std::string& tail) {
  constexpr size_t kMostShown = 200;
  const size_t end = tail.find_last_not_of(" \t\r\n");
  if (end == std::string::npos) return "";
  const size_t newline = tail.find_last_of('\n', end);
  const size_t start = newline == std::string::npos ? 0 : newline + 1;
  std::string line = tail.substr(start, end + 1 - start);
  if (line.size() > kMostShown) {
    size_t cut = kMostShown;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    line = line.substr(0, cut) + "...";
  }
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return line;
}

// "tool PATH: why" for an inventory run, with the last line of its standard error when it
// printed one, or empty when it was taken from a clean exit.
std::string Problem(const Report& run, const std::string& output, Verdict verdict,
                    size_t errorOffset, rapidjson::ParseErrorCode errorCode) {
  const std::string ending = Ending(run);
  std::string why;
  switch (verdict) {
    case Verdict::kNotCompleted:
      if (run.startError == ENOENT) {
        why = "not found";
      } else if (run.startError == EACCES) {
        why = "not executable";
      } else if (run.startError != 0) {
        why = std::string("cannot be started: ") + std::strerror(run.startError);
      } else if (run.outcome == KVLX::CSystem::RunOutcome::kTimeout) {
        why = "timed out after " + Seconds(run.timeLimitMs) + " s";
      } else {
        why = "output too large (more than " + std::to_string(output.size()) + " bytes)";
      }
      break;
    case Verdict::kEmpty:
      why = ending.empty() ? "printed nothing" : ending;
      break;
    case Verdict::kNoDevice:
      why = ending.empty() ? "said \"No device selected\"" : ending;
      break;
    case Verdict::kNotJson:
      why = ending.empty() ? "not JSON at byte " + std::to_string(errorOffset) + " (" +
                                 rapidjson::GetParseError_En(errorCode) + ")"
                           : ending;
      break;
    case Verdict::kTaken:
      // Taken all the same (the plug-in does not look at the status), but a likely reason why
      // the inventory lists no drive.
      if (ending.empty()) return "";
      why = ending + " (its JSON output was read)";
      break;
  }
  const std::string said = LastErrorLine(run.errorTail);
  if (!said.empty()) why += "; standard error: " + said;
  return "tool " + run.program + ": " + why;
}

}  // namespace

ToolWatch& ToolWatch::Process() {
  static ToolWatch watch;
  return watch;
}

void ToolWatch::Install() {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Installed = true;
  }
  KVLX::CSystem::SetRunObserver([this](const Report& report) { Observe(report); });
}

void ToolWatch::Uninstall() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  if (!m_Installed) return;
  m_Installed = false;
  KVLX::CSystem::SetRunObserver(nullptr);
}

void ToolWatch::Observe(const Report& run) {
  const ToolOutput::Asked asked = ToolOutput::Identify(run.arguments);
  const std::string& output = run.output;
  if (asked.query != Query::kInventory && asked.query != Query::kLogPage) return;
  // The output is judged and parsed once, by the plug-in's own rule.
  rapidjson::Document document;
  size_t errorOffset = 0;
  rapidjson::ParseErrorCode errorCode = rapidjson::kParseErrorNone;
  const Verdict verdict =
      ToolOutput::Judge(asked.query, run.result, output, document, &errorOffset, &errorCode);

  if (asked.query == Query::kLogPage) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Pages[asked.index][asked.page] = verdict == Verdict::kTaken;
    return;
  }

  std::map<uint32_t, std::string> serials;
  if (verdict == Verdict::kTaken && document.IsObject()) {
    // Each section of the inventory that names an index (as the plug-in reads it: a signed
    // 32-bit number) and a serial number.
    for (auto section = document.MemberBegin(); section != document.MemberEnd(); ++section) {
      const rapidjson::Value& value = section->value;
      if (!value.IsObject()) continue;
      const auto index = value.FindMember("Index");
      const auto serial = value.FindMember("SerialNumber");
      if (index == value.MemberEnd() || serial == value.MemberEnd()) continue;
      if (index->value.IsInt() && serial->value.IsString())
        serials[static_cast<uint32_t>(index->value.GetInt())] = serial->value.GetString();
    }
  }
  const std::string problem = Problem(run, output, verdict, errorOffset, errorCode);

  std::lock_guard<std::mutex> lock(m_Mutex);
  m_InventoryProblem = problem;
  if (verdict == Verdict::kTaken) m_Serials = std::move(serials);
}

std::string ToolWatch::InventoryProblem() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_InventoryProblem;
}

std::map<std::string, bool> ToolWatch::HealthReadOk() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  std::map<std::string, bool> read;
  for (const auto& [index, serial] : m_Serials) {
    auto pages = m_Pages.find(index);
    if (pages == m_Pages.end()) continue;
    bool ok = true;
    for (const auto& page : pages->second) ok = ok && page.second;
    read[serial] = ok;
  }
  return read;
}

}  // namespace host_shell
