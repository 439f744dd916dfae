#include "TestHome.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <sqlite3.h>

#include "DriveState.h"
#include "KVL.h"
#include "KVLX.h"

namespace fs = std::filesystem;

namespace {

void ClearVariable(const char* name) {
#ifdef _WIN32
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

}  // namespace

TestHome::TestHome() {
  // A new folder of a random name (mkdtemp is not on every system).
  std::random_device random;
  for (int attempt = 0; m_Dir.empty(); ++attempt) {
    if (attempt == 100) throw std::runtime_error("cannot make a test home folder");
    char name[32];
    std::snprintf(name, sizeof name, "varnock-test-%08x", static_cast<unsigned>(random()));
    const fs::path candidate = fs::temp_directory_path() / name;
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) m_Dir = candidate.string();
  }
  fs::create_directories(Path("bin"));
  fs::create_directories(Path("pci"));
  for (const char* name : {"ISDCT_STATE", "ISDCT_RUNLOG", "ISDCT_SOURCE"}) ClearVariable(name);
  KVL::Misc::CKvlApplication::SetProcessPath(boost::filesystem::path(Path("varnock-host")));
  KVLX::CConfigManager::SetPciRoot(Path("pci"));
}

TestHome::~TestHome() {
  std::error_code ignored;
  fs::remove_all(m_Dir, ignored);
}

void TestHome::WriteFile(const std::string& relative, const std::string& content) const {
  fs::path path = Path(relative);
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string TestHome::ReadFile(const std::string& relative) const {
  std::ifstream in(Path(relative), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool TestHome::Exists(const std::string& relative) const { return fs::exists(Path(relative)); }

void TestHome::AddPciDevice(const std::string& address, const std::string& vendor,
                            const std::string& device) const {
  WriteFile("pci/" + address + "/vendor", vendor + "\n");
  WriteFile("pci/" + address + "/device", device + "\n");
}

void TestHome::InstallTool() const {
  fs::copy_file(BuiltProgram("tools/isdct/isdct.exe"), ToolPath(),
                fs::copy_options::overwrite_existing);
}

void TestHome::InstallLoggedTool() const {
  InstallTool();
  WriteFile("bin/isdct.ini", "runlog=" + Path("tool-runs") + "\n");
}

void TestHome::InstallAnsweringTool(const std::string& output, int status) const {
  InstallTool();
  WriteFile("answer", output);
  isdct::State state;
  std::string error;
  if (!isdct::LoadState(FixturePath("one-drive.json"), state, error))
    throw std::runtime_error(error);
  state.fault.kind = isdct::FaultKind::kFile;
  state.fault.path = Path("answer");
  state.fault.status = status;
  if (!isdct::SaveState(Path("bin/drives.json"), state, error)) throw std::runtime_error(error);
}

void TestHome::InstallScriptTool(const std::string& script) const {
  WriteFile("bin/isdct.exe", script);
  fs::permissions(ToolPath(), fs::perms::owner_all);
}

void TestHome::UseFixture(const std::string& name) const {
  fs::copy_file(FixturePath(name), Path("bin/drives.json"), fs::copy_options::overwrite_existing);
}

std::vector<std::vector<std::string>> TestHome::QueryDb(const std::string& sql) const {
  std::vector<std::vector<std::string>> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(Path("host.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_busy_timeout(db, 5000);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        const unsigned char* text = sqlite3_column_text(statement, i);
        row.emplace_back(text ? reinterpret_cast<const char*>(text) : "NULL");
      }
      rows.push_back(std::move(row));
    }
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

int TestHome::CountRows(const std::string& table) const {
  const auto rows = QueryDb("SELECT COUNT(*) FROM " + table);
  return rows.empty() ? 0 : std::stoi(rows[0][0]);
}

std::string BuiltProgram(const std::string& relative) {
  return std::string(VARNOCK_BINARY_DIR) + "/" + relative;
}

std::string FixturePath(const std::string& name) {
  return std::string(VARNOCK_FIXTURES_DIR) + "/" + name;
}
