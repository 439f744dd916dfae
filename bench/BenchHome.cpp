#include "BenchHome.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <boost/filesystem/path.hpp>

#include "KVL.h"
#include "KVLX.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// The page lines of one drive, as the plug-in's health query asks them.
constexpr const char* kPagePatterns[] = {
    "show -o json -vedidevu %d -nvmelog SmartHealthInfo",
    "show -o json -vedidevu %d -nvmelog TemperatureStatistics",
    "show -o json -smart -vedidevu %d",
    "show -all -o json -vedidevu %d",
};
constexpr const char* kInventoryLine = "show -all -o json -vedidevu";

std::string Printed(const char* pattern, int value) {
  char text[128];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

}  // namespace

BenchHome::BenchHome(int drives) {
  std::string pattern = (fs::temp_directory_path() / "varnock-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_Dir = pattern;
  fs::create_directories(m_Dir + "/bin");
  fs::copy_file(VARNOCK_TOOL_PROGRAM, ToolPath());

  for (int i = 0; i < drives; ++i) {
    isdct::Drive drive;
    drive.index = i;
    drive.serial = Printed("BENCH%04d", i);
    drive.devicePath = Printed("\\\\.\\PHYSICALDRIVE%d", i);
    drive.powerOnHours = 1000 + static_cast<uint64_t>(i);
    drive.dataUnitsWritten = 50000;
    m_State.drives.push_back(drive);
    // One supported function per drive, in the order the tool lists the drives.
    const std::string address = Printed("0000:%02x:00.0", i + 1);
    WriteFile("pci/" + address + "/vendor", "0x8086\n");
    WriteFile("pci/" + address + "/device", "0x0a54\n");
  }
  SaveState();
}

BenchHome::~BenchHome() {
  std::error_code ignored;
  fs::remove_all(m_Dir, ignored);
}

void BenchHome::Activate() const {
  KVL::Misc::CKvlApplication::SetProcessPath(boost::filesystem::path(m_Dir + "/varnock-host"));
  KVLX::CConfigManager::SetPciRoot(m_Dir + "/pci");
}

void BenchHome::WriteFile(const std::string& relative, const std::string& content) const {
  const fs::path path = m_Dir + "/" + relative;
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

void BenchHome::ChangeDrives(int64_t step) {
  for (isdct::Drive& drive : m_State.drives) {
    drive.temperature = 35 + step % 2;
    drive.mediaErrors = static_cast<uint64_t>(step);
    drive.powerOnHours = 1000 + static_cast<uint64_t>(drive.index + step);
  }
  SaveState();
}

void BenchHome::SaveState() const {
  std::string error;
  if (!isdct::SaveState(m_Dir + "/bin/drives.json", m_State, error))
    throw std::runtime_error("cannot save the drive state: " + error);
}

std::vector<std::string> FullPassLines(int drives) {
  std::vector<std::string> lines{kInventoryLine};
  const std::vector<std::string> light = LightPassLines(drives);
  lines.insert(lines.end(), light.begin(), light.end());
  return lines;
}

std::vector<std::string> LightPassLines(int drives) {
  std::vector<std::string> lines;
  for (int i = 0; i < drives; ++i)
    for (const char* pattern : kPagePatterns) lines.push_back(Printed(pattern, i));
  return lines;
}

bool RunBare(const std::string& program, const std::string& line) {
  std::vector<std::string> words{program};
  size_t start = 0;
  while (start < line.size()) {
    size_t end = line.find(' ', start);
    if (end == std::string::npos) end = line.size();
    if (end > start) words.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  pid_t pid = 0;
  const int error =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (error != 0) {
    close(fds[0]);
    return false;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    break;
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}
