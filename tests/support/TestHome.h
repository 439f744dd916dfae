// A throw-away host home for tests: a temporary directory registered as the host's home (the
// process path points into it, the PCI tree is read from it), with helpers to lay out the tool,
// its drive state, a PCI tree and configuration files. One home at a time per test process; the
// stand-in's variables are cleared from the environment, so it answers from the home's state.
#pragma once

#include <string>
#include <vector>

class TestHome {
 public:
  TestHome();
  ~TestHome();
  TestHome(const TestHome&) = delete;
  TestHome& operator=(const TestHome&) = delete;

  const std::string& Dir() const { return m_Dir; }
  // The path of `relative` ("bin/isdct.exe") in the home, with the system's own separators, as
  // the programs under test write their paths.
  std::string Path(const std::string& relative) const {
#ifdef _WIN32
    std::string path = m_Dir + "\\" + relative;
    for (char& c : path)
      if (c == '/') c = '\\';
    return path;
#else
    return m_Dir + "/" + relative;
#endif
  }
  void WriteFile(const std::string& relative, const std::string& content) const;
  std::string ReadFile(const std::string& relative) const;
  bool Exists(const std::string& relative) const;

  // Adds a PCI function such as "0000:03:00.0" with vendor "0x8086" and device "0x0a54".
  void AddPciDevice(const std::string& address, const std::string& vendor,
                    const std::string& device) const;
  // Installs the built tool stand-in as bin/isdct.exe.
  void InstallTool() const;
  // The same stand-in, logging the arguments of each run as one line to DIR/tool-runs.
  void InstallLoggedTool() const;
  // The stand-in again, answering every run with `output` (kept in DIR/answer) and exit status
  // `status`, whatever it is asked; drive 0 of one-drive.json is there for the pages.
  void InstallAnsweringTool(const std::string& output, int status = 0) const;
  // Installs a shell script as bin/isdct.exe, for behaviour the stand-in does not offer (POSIX).
  void InstallScriptTool(const std::string& script) const;
  // Copies tests/fixtures/NAME as the tool's drive state (bin/drives.json).
  void UseFixture(const std::string& name) const;
  // Rows of a query on the home's database (DIR/host.db), each value as text ("NULL" for NULL).
  // Opens its own connection; an empty result when the file or table does not exist.
  std::vector<std::vector<std::string>> QueryDb(const std::string& sql) const;
  // Number of rows in a table of the home's database.
  int CountRows(const std::string& table) const;
  // Path of the tool as the plug-in forms it.
  std::string ToolPath() const { return Path("bin/isdct.exe"); }

 private:
  std::string m_Dir;
};

// Path of a built program (relative to the build directory), e.g. "tools/isdct/isdct.exe".
std::string BuiltProgram(const std::string& relative);
// Path of a file in tests/fixtures.
std::string FixturePath(const std::string& name);
