// The toolkit's system calls on Windows (see Platform.h). Texts are in the ANSI code page, as
// the narrow Win32 calls and the C runtime take them.

#include "Platform.h"

#include <windows.h>
#include <setupapi.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace KVL {
namespace Platform {

uint64_t CurrentThreadId() { return GetCurrentThreadId(); }

// "N": not inherited by child processes.
FILE* OpenAppendNoInherit(const std::string& path) { return std::fopen(path.c_str(), "aN"); }

bool ReplaceFileContent(const std::string& path, const std::string& content, bool existed) {
  (void)existed;  // a new file takes the folder's permissions, as the one it replaces did
  static std::atomic<unsigned> counter{0};
  const std::string temp = path + "." + std::to_string(GetCurrentProcessId()) + "." +
                           std::to_string(counter.fetch_add(1)) + ".tmp";
  const HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  size_t done = 0;
  bool ok = true;
  while (ok && done < content.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1u << 30));
    ok = WriteFile(file, content.data() + done, chunk, &written, nullptr) != 0 && written > 0;
    done += written;
  }
  ok = ok && FlushFileBuffers(file) != 0;
  ok = CloseHandle(file) != 0 && ok;
  ok = ok && MoveFileExA(temp.c_str(), path.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) DeleteFileA(temp.c_str());
  return ok;
}

std::string OwnProgramPath() {
  char path[MAX_PATH * 4] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

std::string PathToUtf8(const std::string& path) {
  if (path.empty()) return path;
  const int wide = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()),
                                       nullptr, 0);
  std::wstring text(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), text.data(), wide);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr,
                                        nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, out.data(), bytes, nullptr, nullptr);
  return out;
}

namespace {
// "PCI\VEN_8086&DEV_0953&SUBSYS_...": the vendor and device of an instance ID.
bool ParseInstanceId(const char* id, unsigned& vendor, unsigned& device) {
  return std::sscanf(id, "PCI\\VEN_%4x&DEV_%4x", &vendor, &device) == 2;
}
}  // namespace

// Every present device of the PCI enumerator, with the bus number and address (device << 16 |
// function) that the device manager keeps for it. Windows shows no segment here: 0.
bool ReadFirstLine(const std::string& path, std::string& line) {
  line.clear();
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bool any = false;
  for (int c; (c = std::fgetc(file)) != EOF;) {
    any = true;
    if (c == '\n') break;
    line += static_cast<char>(c);
  }
  std::fclose(file);
  return any;
}

bool MachinePciFunctions(std::vector<PciFunctionId>& functions) {
  functions.clear();
  const HDEVINFO set = SetupDiGetClassDevsA(nullptr, "PCI", nullptr,
                                            DIGCF_ALLCLASSES | DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return true;
  SP_DEVINFO_DATA info = {};
  info.cbSize = sizeof info;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
    char id[512] = {};
    PciFunctionId f = {};
    DWORD bus = 0;
    DWORD address = 0;
    if (!SetupDiGetDeviceInstanceIdA(set, &info, id, sizeof id, nullptr) ||
        !ParseInstanceId(id, f.vendor, f.deviceId) ||
        !SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_BUSNUMBER, nullptr,
                                           reinterpret_cast<BYTE*>(&bus), sizeof bus, nullptr) ||
        !SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_ADDRESS, nullptr,
                                           reinterpret_cast<BYTE*>(&address), sizeof address,
                                           nullptr))
      continue;
    f.bus = bus;
    f.device = (address >> 16) & 0xffff;
    f.function = address & 0xffff;
    functions.push_back(f);
  }
  SetupDiDestroyDeviceInfoList(set);
  return true;
}

void* LoadModule(const std::string& path, std::string& error) {
  // The module's own folder first, so that the host libraries beside it are the ones it gets.
  HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    const DWORD code = GetLastError();
    char text[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof text, nullptr);
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) --n;
    error = "error " + std::to_string(code) + (n > 0 ? ": " + std::string(text, n) : "");
  }
  return module;
}

void* ModuleSymbol(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void UnloadModule(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }

}  // namespace Platform
}  // namespace KVL
