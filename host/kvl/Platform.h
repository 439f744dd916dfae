// The few system calls that the toolkit's otherwise portable files need, one implementation per
// system (PlatformPosix.cpp, win32/Platform.cpp): thread ids, trace files, reading and replacing
// a file,
// the encoding of paths, the machine's PCI functions and loading a module. Stateless; safe from
// any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace KVL {
namespace Platform {

// The system's id of the calling thread, as trace records show it.
uint64_t CurrentThreadId();

// Opens `path` for appending so that no program the host runs inherits it; null on failure.
FILE* OpenAppendNoInherit(const std::string& path);

// The first line of the small file at `path`, without its line end ('\n'), read without a stream;
// false when the file cannot be opened or holds nothing. Sysfs attributes and IDs are read this
// way on every scan.
bool ReadFirstLine(const std::string& path, std::string& line);

// Replaces the file at `path` with `content` atomically: a temporary file beside it, flushed to
// disk, then moved over it. Keeps the permissions of the file it replaces when `existed`.
bool ReplaceFileContent(const std::string& path, const std::string& content, bool existed);

// The file the process was started from (GetModuleFileName on Windows); empty on Linux, where a
// host always registers its path.
std::string OwnProgramPath();

// A path in the encoding the toolkit's texts use (UTF-8 on Linux, the ANSI code page on
// Windows) in UTF-8, as SQLite takes file names.
std::string PathToUtf8(const std::string& path);

// One PCI function of the machine.
struct PciFunctionId {
  unsigned segment, bus, device, function, vendor, deviceId;
};
// Lists the machine's PCI functions where the system offers them by other means than a sysfs
// tree; false where the tree (/sys/bus/pci/devices) is to be read instead.
bool MachinePciFunctions(std::vector<PciFunctionId>& functions);

// A loaded module (shared library / DLL), found by its path; null with the reason in `error`.
void* LoadModule(const std::string& path, std::string& error);
// The address of an exported symbol of a loaded module, null when it has none.
void* ModuleSymbol(void* module, const char* name);
void UnloadModule(void* module);

}  // namespace Platform
}  // namespace KVL
