#include "FuzzHome.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "KVL.h"
#include "KVLX.h"

namespace fs = std::filesystem;

namespace fuzz {

FuzzHome& FuzzHome::Get() {
  static FuzzHome home;
  return home;
}

FuzzHome::FuzzHome() {
  // Memory-backed when the machine has it: the configuration target rewrites files constantly.
  const fs::path base =
      fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::string pattern = (base / "varnock-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_Dir = pattern;
  fs::create_directories(Path("bin"));
  WriteFile("pci/0000:03:00.0/vendor", "0x8086\n");
  WriteFile("pci/0000:03:00.0/device", "0x0a54\n");
  KVL::Misc::CKvlApplication::SetProcessPath(boost::filesystem::path(Path("varnock-host")));
  KVLX::CConfigManager::SetPciRoot(Path("pci"));
}

FuzzHome::~FuzzHome() {
  std::error_code ignored;
  fs::remove_all(m_Dir, ignored);
}

void FuzzHome::WriteFile(const std::string& relative, const std::string& content) const {
  const fs::path path = Path(relative);
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string AsText(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

std::vector<std::string> SplitInput(const uint8_t* data, size_t size, char separator,
                                    size_t parts) {
  std::vector<std::string> out(1);
  for (size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == separator && out.size() < parts)
      out.emplace_back();
    else
      out.back() += c;
  }
  if (out.size() < parts) out.resize(parts);
  return out;
}

}  // namespace fuzz
