// Bytes as the two configuration files of the host home (Varnock.ini, then CustomOpts.ini after
// a 0x1e byte): the plug-in's construction reads its settings from them, and a write of the poll
// interval must keep every other key's value and read back as written.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Database.h"
#include "FuzzHome.h"
#include "PI.h"
#include "PluginTestPeer.h"

namespace {

// Every key that the file's "Key=Value" lines name, as the reader would see it.
std::vector<std::string> KeysOf(const std::string& text) {
  std::vector<std::string> keys;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t equals = line.find('=');
    if (equals != std::string::npos) keys.push_back(line.substr(0, equals));
    start = end + 1;
  }
  return keys;
}

// Keys compare without regard to case and blanks; this errs towards calling keys the same, so
// that only keys the write must not touch are checked.
std::string Folded(const std::string& key) {
  std::string folded;
  for (char c : key)
    if (!std::isspace(static_cast<unsigned char>(c)))
      folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::FuzzHome& home = fuzz::FuzzHome::Get();
  static const auto database = getDatabasePointer();  // one connection for every plug-in below
  const std::vector<std::string> files = fuzz::SplitInput(data, size, '\x1e', 2);
  home.WriteFile("Varnock.ini", files[0]);
  home.WriteFile("CustomOpts.ini", files[1]);

  {
    NAMESPACE_Varnock::IPLUGINAPI_IMPL made;
    const uint32_t poll = NAMESPACE_Varnock::PluginTestPeer(made).m_PollInterval.load();
    if (poll < 2 || poll > 255) std::abort();
  }

  PI::CConfigFile config;
  config.SetFileName("Varnock.ini");
  const std::vector<std::string> keys = KeysOf(files[0]);
  std::vector<std::pair<std::string, std::string>> before;
  for (const std::string& key : keys) {
    std::string value;
    if (config.ReadKeyValue(key, value) == 0) before.emplace_back(key, value);
  }
  if (config.WriteKeyValue("PollInterval", "17") != 0) std::abort();
  std::string written;
  if (config.ReadKeyValue("PollInterval", written) != 0 || written != "17") std::abort();
  for (const auto& [key, value] : before) {
    if (Folded(key) == "pollinterval") continue;
    std::string after;
    if (config.ReadKeyValue(key, after) != 0 || after != value) std::abort();
  }
  return 0;
}
