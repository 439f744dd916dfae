// Small system facts: the UTC calendar date of a time, the version of a loaded kernel module and
// the limit of open descriptors; the release of free memory. Stateless; safe from any thread.

#include <malloc.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <ctime>

#include "KVLX.h"
#include "Platform.h"

namespace KVLX {

std::string CSystem::GetModuleVersion(const std::string& moduleName) {
  if (moduleName.empty() || moduleName == "." || moduleName == ".." ||
      moduleName.find('/') != std::string::npos)
    return std::string();
  std::string version;
  if (!KVL::Platform::ReadFirstLine("/sys/module/" + moduleName + "/version", version))
    return std::string();
  while (!version.empty() && (version.back() == '\r' || version.back() == ' '))
    version.pop_back();
  return version;
}

#ifdef _WIN32
// Windows bounds sockets by memory, not by a descriptor limit; the budget a server takes from this
// is kept to a number that a 64-bit process holds with ease.
size_t CSystem::RaiseOpenFileLimit() { return 16384; }

void CSystem::ReleaseFreeMemory() { _heapmin(); }
#else
size_t CSystem::RaiseOpenFileLimit() {
  rlimit limit = {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? SIZE_MAX : static_cast<size_t>(limit.rlim_cur);
}

void CSystem::ReleaseFreeMemory() { malloc_trim(0); }
#endif

void CSystemTime_Win::GetDate(uint64_t ms, CSystemDate_Win& date) {
  const time_t seconds = static_cast<time_t>(ms / 1000);
  struct tm utc = {};
#ifdef _WIN32
  const bool converted = gmtime_s(&utc, &seconds) == 0;
#else
  const bool converted = gmtime_r(&seconds, &utc) != nullptr;
#endif
  if (!converted) {
    date = CSystemDate_Win();
    return;
  }
  date.year = utc.tm_year + 1900;
  date.month = utc.tm_mon + 1;
  date.day = utc.tm_mday;
}

}  // namespace KVLX
