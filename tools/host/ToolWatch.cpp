#include "ToolWatch.h"

#include <cstring>
#include <sstream>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "KVLX.h"

namespace host_shell {

namespace {

// The argument lines the plug-in sends: the inventory query, and the pages of one drive, which
// name the drive's tool index after this word.
constexpr const char* kInventoryLine = "show -all -o json -vedidevu";
constexpr const char* kDriveWord = "-vedidevu ";

// The tool index a page line names, or -1.
long DriveIndex(const std::string& arguments) {
  const size_t at = arguments.find(kDriveWord);
  if (at == std::string::npos) return -1;
  const char* digits = arguments.c_str() + at + std::strlen(kDriveWord);
  char* end = nullptr;
  const long index = std::strtol(digits, &end, 10);
  return end != digits && index >= 0 ? index : -1;
}

std::string Seconds(unsigned long long ms) {
  std::ostringstream text;
  text << static_cast<double>(ms) / 1000.0;
  return text.str();
}

}  // namespace

std::string ToolWatch::Problem(const Run& run, const std::string& output,
                               rapidjson::Document& document) {
  std::string why;
  if (run.startError == ENOENT) {
    why = "not found";
  } else if (run.startError == EACCES) {
    why = "not executable";
  } else if (run.startError != 0) {
    why = std::string("cannot be started: ") + std::strerror(run.startError);
  } else if (run.timedOut) {
    why = "timed out after " + Seconds(run.timeLimitMs) + " s";
  } else if (run.outputTooLarge) {
    why = "output too large (more than " + std::to_string(output.size()) + " bytes)";
  } else if (run.signal != 0) {
    why = "killed by signal " + std::to_string(run.signal);
  } else if (run.exitStatus != 0) {
    why = "exit status " + std::to_string(run.exitStatus);
  } else if (output.empty()) {
    why = "printed nothing";
  } else {
    document.Parse(output.c_str(), output.size());
    if (!document.HasParseError()) return "";
    why = "not JSON at byte " + std::to_string(document.GetErrorOffset()) + " (" +
          rapidjson::GetParseError_En(document.GetParseError()) + ")";
  }
  return "tool " + run.program + ": " + why;
}

ToolWatch& ToolWatch::Process() {
  static ToolWatch watch;
  return watch;
}

void ToolWatch::Install() {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Installed = true;
  }
  KVLX::CSystem::SetRunObserver([this](const KVLX::CSystem::RunReport& report) {
    Run run;
    run.program = report.program;
    run.startError = report.startError;
    run.exitStatus = report.exitStatus;
    run.signal = report.signal;
    run.timedOut = report.outcome == KVLX::CSystem::RunOutcome::kTimeout;
    run.outputTooLarge = report.outputTooLarge;
    run.timeLimitMs = report.timeLimitMs;
    Observe(report.arguments, run, report.output);
  });
}

void ToolWatch::Uninstall() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  if (!m_Installed) return;
  m_Installed = false;
  KVLX::CSystem::SetRunObserver(nullptr);
}

void ToolWatch::Observe(const std::string& arguments, const Run& run, const std::string& output) {
  const bool inventory = arguments == kInventoryLine;
  const long index = inventory ? -1 : DriveIndex(arguments);
  if (!inventory && index < 0) return;
  rapidjson::Document document;
  const std::string problem = Problem(run, output, document);

  std::map<long, std::string> serials;
  if (inventory && problem.empty() && document.IsObject()) {
    // Each section of the inventory that names an index and a serial number.
    for (auto section = document.MemberBegin(); section != document.MemberEnd(); ++section) {
      const rapidjson::Value& value = section->value;
      if (!value.IsObject() || !value.HasMember("Index") || !value.HasMember("SerialNumber"))
        continue;
      if (value["Index"].IsInt64() && value["SerialNumber"].IsString())
        serials[static_cast<long>(value["Index"].GetInt64())] = value["SerialNumber"].GetString();
    }
  }

  std::lock_guard<std::mutex> lock(m_Mutex);
  if (inventory) {
    m_InventoryProblem = problem;
    if (problem.empty()) m_Serials = std::move(serials);
  } else {
    m_Pages[index][arguments] = problem.empty();
  }
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
