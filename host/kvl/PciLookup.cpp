// PCI location lookup: finds the n-th PCI function with given vendor and device IDs in a sysfs
// tree (the machine's own or one set for tests), reusing the last full read while the tree is
// unchanged. Safe from any thread: lookups and the tree's setting share one mutex.

#include <dirent.h>
#include <sys/types.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>
#include <tuple>
#include <utility>

#include "KVLX.h"
#include "Platform.h"

namespace KVLX {

namespace {

std::mutex g_PciMutex;
std::string g_PciRoot;  // guarded by g_PciMutex; empty: the machine's own tree

struct PciFunction {
  unsigned segment, bus, device, function;
  bool operator<(const PciFunction& o) const {
    return std::tie(segment, bus, device, function) <
           std::tie(o.segment, o.bus, o.device, o.function);
  }
};

// A hexadecimal ID such as "8086", "0x8086" or "0A54", any case; false when it is not one.
bool ParseHexId(std::string text, unsigned& value) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
  if (text.empty() || text.size() > 8) return false;
  value = 0;
  for (char c : text) {
    const int digit = std::isdigit(static_cast<unsigned char>(c))       ? c - '0'
                      : (c >= 'a' && c <= 'f')                           ? c - 'a' + 10
                      : (c >= 'A' && c <= 'F')                           ? c - 'A' + 10
                                                                          : -1;
    if (digit < 0) return false;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return true;
}

bool ReadHexFile(const std::string& path, unsigned& value) {
  std::string text;
  return KVL::Platform::ReadFirstLine(path, text) && ParseHexId(text, value);
}

// Parses a sysfs entry name "SSSS:BB:DD.F".
bool ParseAddress(const std::string& name, PciFunction& f) {
  int consumed = 0;
  if (std::sscanf(name.c_str(), "%x:%x:%x.%x%n", &f.segment, &f.bus, &f.device, &f.function,
                  &consumed) != 4)
    return false;
  return static_cast<size_t>(consumed) == name.size();
}

using IdList = std::vector<std::pair<unsigned, unsigned>>;
// The entries of a directory by name and inode number, in the order the directory lists them
// (the same order while it does not change); empty when it cannot be read.
using Listing = std::vector<std::pair<std::string, ino_t>>;

// Hands `visit(name, inode)` each entry of a directory but the dot names, in the order the
// directory lists them, until `visit` returns false; false when the directory cannot be read.
template <typename Visit>
bool ReadDirectory(const std::string& path, Visit visit) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.' && !visit(entry->d_name, entry->d_ino)) break;
  }
  closedir(dir);
  return true;
}

Listing ListDirectory(const std::string& path) {
  Listing entries;
  ReadDirectory(path, [&entries](const char* name, ino_t inode) {
    entries.emplace_back(name, inode);
    return true;
  });
  return entries;
}

// Whether the directory still lists exactly `entries`, compared as it is read.
bool ListsSame(const std::string& path, const Listing& entries) {
  size_t next = 0;
  bool same = true;
  const bool read = ReadDirectory(path, [&](const char* name, ino_t inode) {
    same = next < entries.size() && entries[next].second == inode && entries[next].first == name;
    ++next;
    return same;
  });
  return read && same && next == entries.size();
}

// What the last full read of a tree found for one list of IDs. A scan asks for instance 1, 2,
// 3 ... in turn; reading two files of every function for each of them would make a scan of N
// drives cost N² file reads. So instance 1 always reads the tree, and a later instance reuses
// the last read while the tree still lists the same entries (names and inode numbers: a function
// that goes away and comes back is a new entry).
struct PciSnapshot {
  std::string root;
  IdList ids;
  Listing entries;
  std::vector<PciFunction> found;
};
PciSnapshot g_PciSnapshot;  // guarded by g_PciMutex

// The functions the system lists by other means than a sysfs tree that match `ids`, in address
// order; false where the tree is to be read.
bool FindMachineFunctions(const IdList& ids, std::vector<PciFunction>& found) {
  std::vector<KVL::Platform::PciFunctionId> machine;
  if (!KVL::Platform::MachinePciFunctions(machine)) return false;
  for (const auto& m : machine) {
    if (std::find(ids.begin(), ids.end(), std::make_pair(m.vendor, m.deviceId)) != ids.end())
      found.push_back({m.segment, m.bus, m.device, m.function});
  }
  std::sort(found.begin(), found.end());
  return true;
}

// Every function of the PCI tree whose vendor:device pair is one of `ids`, in address order.
std::vector<PciFunction> FindFunctions(const IdList& ids, uint32_t instance) {
  std::lock_guard<std::mutex> lock(g_PciMutex);
  std::vector<PciFunction> found;
  if (g_PciRoot.empty() && FindMachineFunctions(ids, found)) return found;
  const std::string root = g_PciRoot.empty() ? "/sys/bus/pci/devices" : g_PciRoot;
  PciSnapshot& last = g_PciSnapshot;
  if (instance > 1 && last.root == root && last.ids == ids && ListsSame(root, last.entries))
    return last.found;

  Listing entries = ListDirectory(root);

  for (const auto& entry : entries) {
    PciFunction f;
    if (!ParseAddress(entry.first, f)) continue;
    // Plain strings: on Windows std::filesystem reads a narrow path in another code page than
    // the system's calls do, and misses a home whose path holds letters such as "œ".
    const std::string path = root + "/" + entry.first;
    unsigned vendor = 0;
    unsigned device = 0;
    if (!ReadHexFile(path + "/vendor", vendor) || !ReadHexFile(path + "/device", device)) continue;
    if (std::find(ids.begin(), ids.end(), std::make_pair(vendor, device)) != ids.end())
      found.push_back(f);
  }
  std::sort(found.begin(), found.end());
  last = PciSnapshot{root, ids, std::move(entries), found};
  return found;
}

bool Pick(const IdList& ids, uint32_t instance, int& segment, int& bus, int& device,
          int& function) {
  if (ids.empty() || instance == 0) return false;
  const std::vector<PciFunction> found = FindFunctions(ids, instance);
  if (instance > found.size()) return false;
  const PciFunction& f = found[instance - 1];
  segment = static_cast<int>(f.segment);
  bus = static_cast<int>(f.bus);
  device = static_cast<int>(f.device);
  function = static_cast<int>(f.function);
  return true;
}

}  // namespace

bool CConfigManager::GetLocation(const std::string& vendorId, const std::string& deviceId,
                                 uint32_t instance, int& segment, int& bus, int& device,
                                 int& function) {
  unsigned vendor = 0;
  unsigned dev = 0;
  if (!ParseHexId(vendorId, vendor) || !ParseHexId(deviceId, dev)) return false;
  return Pick({{vendor, dev}}, instance, segment, bus, device, function);
}

bool CConfigManager::GetLocation(const std::vector<std::string>& vendorDeviceIds,
                                 uint32_t instance, int& segment, int& bus, int& device,
                                 int& function) {
  std::vector<std::pair<unsigned, unsigned>> ids;
  for (const std::string& id : vendorDeviceIds) {
    unsigned vendor = 0;
    unsigned dev = 0;
    // "VVVVDDDD": four hexadecimal digits of vendor, four of device; anything else is skipped.
    if (id.size() != 8 || !ParseHexId(id.substr(0, 4), vendor) ||
        !ParseHexId(id.substr(4), dev))
      continue;
    ids.emplace_back(vendor, dev);
  }
  return Pick(ids, instance, segment, bus, device, function);
}

void CConfigManager::SetPciRoot(const std::string& directory) {
  std::lock_guard<std::mutex> lock(g_PciMutex);
  g_PciRoot = directory;
}

}  // namespace KVLX
