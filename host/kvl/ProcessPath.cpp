// The host process's path, which tells the plug-in where the host's home is: the one the host
// registered, else where the system says the process was started from (where it says so).

#include "KVL.h"
#include "Platform.h"

#include <mutex>

namespace KVL {

namespace Misc {

namespace {
struct ProcessPath {
  std::mutex mutex;
  boost::filesystem::path path;
};

ProcessPath& Process() {
  static ProcessPath* process = new ProcessPath;
  return *process;
}
}  // namespace

void CKvlApplication::SetProcessPath(const boost::filesystem::path& path) {
  ProcessPath& p = Process();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.path = path;
}

void CKvlApplication::GetProcessPath(boost::filesystem::path& path) {
  ProcessPath& p = Process();
  std::lock_guard<std::mutex> lock(p.mutex);
  path = p.path.empty() ? boost::filesystem::path(Platform::OwnProgramPath()) : p.path;
}

}  // namespace Misc

}  // namespace KVL
