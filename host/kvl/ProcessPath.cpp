// The host process's path, which tells the plug-in where the host's home is.

#include "KVL.h"

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
  path = p.path;
}

}  // namespace Misc

}  // namespace KVL
