// The toolkit's system calls on Linux (see Platform.h).

#include "Platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace KVL {
namespace Platform {

uint64_t CurrentThreadId() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

// "e": close-on-exec.
FILE* OpenAppendNoInherit(const std::string& path) { return std::fopen(path.c_str(), "ae"); }

bool ReplaceFileContent(const std::string& path, const std::string& content, bool existed) {
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  struct stat st = {};
  fchmod(fd, existed && stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
  size_t done = 0;
  bool ok = true;
  while (ok && done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

std::string OwnProgramPath() { return std::string(); }

std::string PathToUtf8(const std::string& path) { return path; }

bool MachinePciFunctions(std::vector<PciFunctionId>&) { return false; }

bool ReadFirstLine(const std::string& path, std::string& line) {
  line.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool any = false;
  char buffer[512];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    any = true;
    const char* end = static_cast<const char*>(std::memchr(buffer, '\n', static_cast<size_t>(got)));
    line.append(buffer, end != nullptr ? static_cast<size_t>(end - buffer) : static_cast<size_t>(got));
    if (end != nullptr) break;
  }
  close(fd);
  return any;
}

void* LoadModule(const std::string& path, std::string& error) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "unknown reason";
  }
  return module;
}

void* ModuleSymbol(void* module, const char* name) { return dlsym(module, name); }

void UnloadModule(void* module) { dlclose(module); }

}  // namespace Platform
}  // namespace KVL
