// The tool stand-in and its drive state: the state file's format, the stand-in's answers,
// usage and faults as a caller sees them (output and exit status), and isdct-state.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "DriveState.h"
#include "KVLX.h"
#include "TestHome.h"

namespace {

std::vector<std::string> SectionNames(const std::string& json) {
  rapidjson::Document document;
  document.Parse(json.c_str());
  std::vector<std::string> names;
  if (!document.IsObject()) return names;
  for (auto m = document.MemberBegin(); m != document.MemberEnd(); ++m)
    names.push_back(m->name.GetString());
  return names;
}

// --- The state file --------------------------------------------------------------------------

// --- The stand-in as a program ---------------------------------------------------------------

class StandInTest : public ::testing::Test {
 protected:
  StandInTest() {
    home_.InstallTool();
    home_.UseFixture("two-drives.json");
  }

  // Runs a program of the home with `arguments`; returns its exit status (-1: killed) and
  // fills its standard output and standard error.
  int Run(const std::string& program, const std::string& arguments) {
    const std::string command = program + " " + arguments + " 2>" + home_.Path("stderr");
    out_.clear();
#ifdef _WIN32
    // Through cmd.exe, which gives back the program's exit status itself.
    FILE* pipe = _popen(command.c_str(), "rb");
#else
    FILE* pipe = popen(command.c_str(), "r");
#endif
    if (pipe == nullptr) return -1;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out_.append(buffer, n);
#ifdef _WIN32
    const int status = _pclose(pipe);
#else
    const int status = pclose(pipe);
#endif
    err_ = home_.ReadFile("stderr");
#ifdef _WIN32
    return status;
#else
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  }
  int Tool(const std::string& arguments) { return Run(home_.ToolPath(), arguments); }
  int State(const std::string& arguments) {
#ifdef _WIN32
    // cmd.exe takes a leading '/' for a switch: the build folder's path with backslashes, on
    // the current drive.
    std::string program = BuiltProgram("tools/isdct/isdct-state.exe");
    for (char& c : program)
      if (c == '/') c = '\\';
#else
    const std::string program = BuiltProgram("tools/isdct/isdct-state");
#endif
    return Run(program,
               "--file " + home_.Path("bin/drives.json") + " " + arguments);
  }

  TestHome home_;
  std::string out_;
  std::string err_;
};

TEST_F(StandInTest, EachArgumentLineGetsItsSections) {
  const std::pair<const char*, std::vector<std::string>> lines[] = {
      {"show -all -o json -vedidevu",
       {"Intel SSD DC P4600 Series PHLE812300AB1P6AGN",
        "Intel Optane SSD DC P4800X Series PHKS750500FQ375AGN"}},
      {"show -o json -vedidevu 1 -nvmelog SmartHealthInfo",
       {"SMART and Health Information PHKS750500FQ375AGN"}},
      {"show -o json -vedidevu 1 -nvmelog TemperatureStatistics",
       {"Temp Statistics PHKS750500FQ375AGN"}},
      {"show -o json -smart -vedidevu 1", {"SMART Attributes PHKS750500FQ375AGN"}},
      {"show -all -o json -vedidevu 1", {"Intel Optane SSD DC P4800X Series PHKS750500FQ375AGN"}},
      {"version -o json", {"Version Information"}},
  };
  for (const auto& [line, sections] : lines) {
    EXPECT_EQ(0, Tool(line)) << line;
    EXPECT_EQ(sections, SectionNames(out_)) << line;
  }
  Tool("show -o json -vedidevu 0 -nvmelog SmartHealthInfo");
  EXPECT_NE(std::string::npos, out_.find("\"Data Units Written\": \"0x0000000002800000\""));
}

TEST_F(StandInTest, StateProgramChangesDrivesAndRefusesMistakes) {
  const std::pair<const char*, int> commands[] = {
      {"new 4.0.0", 0},
      {"add PHLE1 temperature=50 \"model=INTEL SSDPE2KX020T7\"", 0},
      {"add PHLE2", 0},
      {"fault PHLE2 hang 197", 0},
      {"add PHLE1", 1},
      {"set PHLE1 nosuch=1", 1},
      {"set PHLE1 index=1", 1},  // PHLE2 has it
      {"frobnicate", 2},
  };
  for (const auto& [arguments, status] : commands) EXPECT_EQ(status, State(arguments)) << arguments;

  isdct::State state;
  std::string error;
  ASSERT_TRUE(isdct::LoadState(home_.Path("bin/drives.json"), state, error)) << error;
  EXPECT_EQ("4.0.0", state.version);
  ASSERT_EQ(2u, state.drives.size());
  EXPECT_EQ(50, state.drives[0].temperature);
  EXPECT_EQ("INTEL SSDPE2KX020T7", state.drives[0].model);
  EXPECT_EQ(1, state.drives[1].index);
  EXPECT_EQ(isdct::FaultKind::kHang, state.drives[1].fault.kind);
  EXPECT_EQ(isdct::Run::kTemperature, state.drives[1].fault.page);
}

}  // namespace
