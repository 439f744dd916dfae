// Small system facts: the UTC calendar date of a time and the version of a loaded kernel
// module. Stateless; safe from any thread.

#include <ctime>
#include <fstream>

#include "KVLX.h"

namespace KVLX {

std::string CSystem::GetModuleVersion(const std::string& moduleName) {
  if (moduleName.empty() || moduleName == "." || moduleName == ".." ||
      moduleName.find('/') != std::string::npos)
    return std::string();
  std::ifstream in("/sys/module/" + moduleName + "/version");
  std::string version;
  if (!in || !std::getline(in, version)) return std::string();
  while (!version.empty() && (version.back() == '\r' || version.back() == ' '))
    version.pop_back();
  return version;
}

void CSystemTime_Win::GetDate(uint64_t ms, CSystemDate_Win& date) {
  const time_t seconds = static_cast<time_t>(ms / 1000);
  struct tm utc = {};
  if (gmtime_r(&seconds, &utc) == nullptr) {
    date = CSystemDate_Win();
    return;
  }
  date.year = utc.tm_year + 1900;
  date.month = utc.tm_mon + 1;
  date.day = utc.tm_mday;
}

}  // namespace KVLX
