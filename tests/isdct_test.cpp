// The tool stand-in and its drive state: the state file's format, the stand-in's answers,
// usage and faults as a caller sees them (output and exit status), and isdct-state.
#include <gtest/gtest.h>

#include <sys/wait.h>

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

TEST(DriveStateTest, EveryFieldSurvivesAnAtomicSaveAndLoad) {
  TestHome home;
  isdct::State state;
  state.fault = {isdct::FaultKind::kEmpty, isdct::Run::kVersion, 1};
  isdct::Drive drive;
  std::string error;
  for (const isdct::FieldInfo& field : isdct::kDriveFields) {
    const char* value = field.kind == isdct::FieldKind::kText   ? field.name
                        : field.kind == isdct::FieldKind::kFlag ? "true"
                        : field.kind == isdct::FieldKind::kInt  ? "-7"
                                                                : "0xFFFFFFFFFFFFFFFF";
    ASSERT_TRUE(isdct::SetField(drive, field.name, value, error)) << field.name << ": " << error;
  }
  drive.fault = {isdct::FaultKind::kExit, isdct::Run::kDriveInfo, 9};
  state.drives.push_back(drive);

  ASSERT_TRUE(isdct::SaveState(home.Path("state.json"), state, error)) << error;
  isdct::State loaded;
  ASSERT_TRUE(isdct::LoadState(home.Path("state.json"), loaded, error)) << error;
  EXPECT_EQ(isdct::FormatState(state), isdct::FormatState(loaded));
  EXPECT_EQ(UINT64_MAX, loaded.drives.at(0).powerOnHours);
  // Nothing is left beside the file but the file.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(home.Dir()))
    files += entry.is_regular_file();
  EXPECT_EQ(1, files);
}

// --- The stand-in as a program ---------------------------------------------------------------

class StandInTest : public ::testing::Test {
 protected:
  StandInTest() {
    unsetenv("ISDCT_STATE");
    home_.InstallTool();
    home_.UseFixture("two-drives.json");
  }

  // Runs a program of the home with `arguments`; returns its exit status (-1: killed) and
  // fills its standard output and standard error.
  int Run(const std::string& program, const std::string& arguments) {
    const std::string command = program + " " + arguments + " 2>" + home_.Path("stderr");
    out_.clear();
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out_.append(buffer, n);
    const int status = pclose(pipe);
    err_ = home_.ReadFile("stderr");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int Tool(const std::string& arguments) { return Run(home_.ToolPath(), arguments); }
  int State(const std::string& arguments) {
    return Run(BuiltProgram("tools/isdct/isdct-state"),
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

TEST_F(StandInTest, UnknownDrivesAndLinesAreRefused) {
  for (const char* line : {"show -o json -vedidevu 2 -nvmelog SmartHealthInfo",
                           "show -all -o json -vedidevu 99999999999999999999999"}) {
    EXPECT_EQ(1, Tool(line)) << line;
    EXPECT_NE(std::string::npos, out_.find("No device selected")) << line;
  }
  for (const char* line :
       {"", "show", "show -o json -vedidevu x -nvmelog SmartHealthInfo",
        "show -all -o json -vedidevu 0 1", "version -o text", "Version -o json"}) {
    EXPECT_EQ(2, Tool(line)) << line;
    EXPECT_EQ("", out_) << line;
    EXPECT_EQ(0u, err_.find("usage: isdct.exe")) << line;
  }
}

TEST_F(StandInTest, EachFaultHitsItsPageOnly) {
  struct Case {
    const char* fault;  // isdct-state arguments
    const char* line;   // the run it hits
    int status;
    const char* output;  // a text in standard output, "" for none, null for output not JSON
    const char* spared;  // a run it does not hit
  };
  const Case cases[] = {
      {"fault PHLE812300AB1P6AGN no-device 197",
       "show -o json -vedidevu 0 -nvmelog TemperatureStatistics", 1, "No device selected",
       "show -o json -vedidevu 0 -nvmelog SmartHealthInfo"},
      {"fault PHLE812300AB1P6AGN exit all 7", "show -all -o json -vedidevu 0", 7, "",
       "show -o json -vedidevu 1 -nvmelog TemperatureStatistics"},
      {"fault PHLE812300AB1P6AGN invalid-json 203", "show -all -o json -vedidevu 0", 0, nullptr,
       "show -all -o json -vedidevu"},
      {"fault PHLE812300AB1P6AGN crash inventory", "show -all -o json -vedidevu", -1, nullptr,
       "show -all -o json -vedidevu 0"},
      {"tool-fault empty version", "version -o json", 0, "", "show -all -o json -vedidevu"},
  };
  for (const Case& c : cases) {
    home_.UseFixture("two-drives.json");
    ASSERT_EQ(0, State(c.fault));
    const int status = Tool(c.line);
    EXPECT_TRUE(c.status < 0 ? status != 0 : status == c.status) << c.fault << ": " << status;
    EXPECT_TRUE(!c.output  ? SectionNames(out_).empty()
                : *c.output ? out_.find(c.output) != std::string::npos
                            : out_.empty())
        << c.fault << ": " << out_;
    EXPECT_EQ(0, Tool(c.spared)) << c.fault;
    EXPECT_FALSE(SectionNames(out_).empty()) << c.fault;
  }

  ASSERT_EQ(0, State("tool-fault hang"));
  KVLX::CSystem::SetTimeLimit(200);
  std::string output;
  EXPECT_EQ(0u, KVLX::CSystem::ExecuteCommand(home_.ToolPath(), "version -o json", output));
  KVLX::CSystem::SetTimeLimit(60000);
}

TEST_F(StandInTest, StateProgramChangesDrivesAndRefusesMistakes) {
  const std::pair<const char*, int> commands[] = {
      {"new 4.0.0", 0},
      {"add PHLE1 temperature=50 model=INTEL\\ SSDPE2KX020T7", 0},
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
