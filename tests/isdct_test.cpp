// The tool stand-in and its drive state: the state file's format and checks, the stand-in's
// answers, usage and faults as a caller sees them (output and exit status), and isdct-state.
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

TEST(DriveStateTest, EveryFieldSurvivesSaveAndLoad) {
  TestHome home;
  isdct::State state;
  state.version = "9.8.7";
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

  const std::string path = home.Path("state.json");
  ASSERT_TRUE(isdct::SaveState(path, state, error)) << error;
  isdct::State loaded;
  ASSERT_TRUE(isdct::LoadState(path, loaded, error)) << error;
  EXPECT_EQ(isdct::FormatState(state), isdct::FormatState(loaded));
  EXPECT_EQ(UINT64_MAX, loaded.drives.at(0).powerOnHours);
  EXPECT_EQ(-7, loaded.drives.at(0).temperature);
  EXPECT_EQ(9, loaded.drives.at(0).fault.status);
  // Nothing is left beside the file but the file.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(home.Dir()))
    files += entry.is_regular_file();
  EXPECT_EQ(1, files);
}

TEST(DriveStateTest, MissingFieldsTakeDefaultsAndIndexesTheirPositions) {
  isdct::State state;
  std::string error;
  ASSERT_TRUE(isdct::ParseState(
      R"({"drives": [{"serial": "A"}, {"serial": "B", "index": 7}, {"serial": "C"}]})", state,
      error)) << error;
  ASSERT_EQ(3u, state.drives.size());
  EXPECT_EQ(0, state.drives[0].index);
  EXPECT_EQ(7, state.drives[1].index);
  EXPECT_EQ(2, state.drives[2].index);
  EXPECT_EQ(35, state.drives[2].temperature);
  EXPECT_EQ("INTEL SSDPE2KE016T7", state.drives[2].model);
  EXPECT_FALSE(state.drives[2].fault.Active());
}

TEST(DriveStateTest, BadStatesAreRefusedWithAReason) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"drives": [)", "not valid JSON"},
      {R"([])", "must be a JSON object"},
      {R"({"disks": []})", "unknown state member \"disks\""},
      {R"({"drives": [{"serial": "A", "temprature": 5}]})", "unknown drive field \"temprature\""},
      {R"({"drives": [{"serial": "A", "temperature": "hot"}]})", "wrong type"},
      {R"({"drives": [{"serial": "A", "sectorSize": -1}]})", "wrong type"},
      {R"({"drives": [{"model": "X"}]})", "needs a serial"},
      {R"({"drives": [{"serial": "A"}, {"serial": "A"}]})", "serial A is used twice"},
      {R"({"drives": [{"serial": "A", "index": 1}, {"serial": "B"}]})", "index 1 is used twice"},
      {R"({"drives": [{"serial": "A", "fault": {"kind": "melt"}}]})", "unknown fault kind"},
      {R"({"drives": [{"serial": "A", "fault": {"kind": "hang", "page": 5}}]})",
       "unknown fault page"},
  };
  for (const auto& [text, reason] : cases) {
    isdct::State state;
    std::string error;
    EXPECT_FALSE(isdct::ParseState(text, state, error)) << text;
    EXPECT_NE(std::string::npos, error.find(reason)) << text << " gave: " << error;
  }
}

TEST(DriveStateTest, FieldsAreSetFromTextsByKind) {
  struct Case {
    const char* field;
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {"dataUnitsRead", "0x1F", true}, {"dataUnitsRead", "31", true},
      {"sectorSize", "-1", false},     {"sectorSize", "", false},
      {"temperature", "-5", true},     {"temperature", "5x", false},
      {"readOnly", "1", true},         {"readOnly", "yes", false},
      {"nosuchfield", "1", false},     {"model", "", true},
  };
  for (const Case& c : cases) {
    isdct::Drive drive;
    std::string error;
    EXPECT_EQ(c.ok, isdct::SetField(drive, c.field, c.text, error)) << c.field << "=" << c.text;
  }
  isdct::Drive drive;
  std::string error;
  ASSERT_TRUE(isdct::SetField(drive, "dataUnitsRead", "0x1F", error));
  EXPECT_EQ(31u, drive.dataUnitsRead);
  ASSERT_TRUE(isdct::SetField(drive, "temperature", "-5", error));
  EXPECT_EQ(-5, drive.temperature);
}

// --- The stand-in as a program ---------------------------------------------------------------

class StandInTest : public ::testing::Test {
 protected:
  StandInTest() {
    unsetenv("ISDCT_STATE");
    home_.InstallTool();
    home_.UseFixture("two-drives.json");
  }
  ~StandInTest() override { KVLX::CSystem::SetTimeLimit(60000); }

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
  Tool("show -o json -smart -vedidevu 0");
  EXPECT_NE(std::string::npos, out_.find("\"AD\": {\n            \"Normalized\": 99"));
}

TEST_F(StandInTest, UnknownDrivesAndLinesAreRefused) {
  EXPECT_EQ(1, Tool("show -o json -vedidevu 2 -nvmelog SmartHealthInfo"));
  EXPECT_NE(std::string::npos, out_.find("No device selected"));
  EXPECT_EQ(1, Tool("show -all -o json -vedidevu 99999999999999999999999"));
  EXPECT_NE(std::string::npos, out_.find("No device selected"));

  for (const char* line :
       {"", "show", "show -o json -vedidevu x -nvmelog SmartHealthInfo",
        "show -all -o json -vedidevu 0 1", "version -o text", "Version -o json"}) {
    EXPECT_EQ(2, Tool(line)) << line;
    EXPECT_EQ("", out_) << line;
    EXPECT_EQ(0u, err_.find("usage: isdct.exe")) << line;
  }
  EXPECT_EQ(0, Tool("--help"));
  EXPECT_EQ(0u, out_.find("usage: isdct.exe"));
}

TEST_F(StandInTest, StateIsReadOnEveryRunFromBesideTheProgramOrTheEnvironment) {
  EXPECT_EQ(0, State("set PHLE812300AB1P6AGN temperature=81"));
  Tool("show -o json -vedidevu 0 -nvmelog TemperatureStatistics");
  EXPECT_NE(std::string::npos, out_.find("\"Current Temperature\": 81"));

  std::filesystem::copy_file(FixturePath("one-drive.json"), home_.Path("other.json"));
  setenv("ISDCT_STATE", home_.Path("other.json").c_str(), 1);
  Tool("show -all -o json -vedidevu");
  unsetenv("ISDCT_STATE");
  EXPECT_EQ(1u, SectionNames(out_).size());

  std::filesystem::remove(home_.Path("bin/drives.json"));
  EXPECT_EQ(3, Tool("version -o json"));
  EXPECT_EQ("", out_);
  EXPECT_NE(std::string::npos, err_.find("cannot open"));
}

TEST_F(StandInTest, FaultsHitTheirPagesOnly) {
  ASSERT_EQ(0, State("fault PHLE812300AB1P6AGN no-device 197"));
  EXPECT_EQ(0, Tool("show -o json -vedidevu 0 -nvmelog SmartHealthInfo"));
  EXPECT_EQ(1, Tool("show -o json -vedidevu 0 -nvmelog TemperatureStatistics"));
  EXPECT_NE(std::string::npos, out_.find("No device selected"));
  EXPECT_EQ(0, Tool("show -o json -vedidevu 1 -nvmelog TemperatureStatistics"));
  EXPECT_EQ(0, Tool("show -all -o json -vedidevu"));

  ASSERT_EQ(0, State("fault PHLE812300AB1P6AGN exit all 7"));
  EXPECT_EQ(7, Tool("show -all -o json -vedidevu 0"));
  EXPECT_EQ("", out_);
  EXPECT_NE("", err_);

  ASSERT_EQ(0, State("fault PHLE812300AB1P6AGN invalid-json 203"));
  EXPECT_EQ(0, Tool("show -all -o json -vedidevu 0"));
  EXPECT_TRUE(SectionNames(out_).empty());
  EXPECT_FALSE(out_.empty());

  ASSERT_EQ(0, State("fault PHLE812300AB1P6AGN crash inventory"));
  EXPECT_NE(0, Tool("show -all -o json -vedidevu"));
  EXPECT_TRUE(SectionNames(out_).empty());
  EXPECT_EQ(0, Tool("show -all -o json -vedidevu 0"));

  ASSERT_EQ(0, State("clear-fault PHLE812300AB1P6AGN"));
  ASSERT_EQ(0, State("tool-fault empty version"));
  EXPECT_EQ(0, Tool("version -o json"));
  EXPECT_EQ("", out_);
  EXPECT_EQ(0, Tool("show -all -o json -vedidevu"));
  EXPECT_EQ(2u, SectionNames(out_).size());

  ASSERT_EQ(0, State("tool-fault hang"));
  KVLX::CSystem::SetTimeLimit(200);
  std::string output;
  EXPECT_EQ(0u, KVLX::CSystem::ExecuteCommand(home_.ToolPath(), "version -o json", output));
}

TEST_F(StandInTest, StateProgramChangesDrivesAndRefusesMistakes) {
  ASSERT_EQ(0, State("new 4.0.0"));
  ASSERT_EQ(0, State("add PHLE1 temperature=50 model=INTEL\\ SSDPE2KX020T7"));
  ASSERT_EQ(0, State("add PHLE2"));
  ASSERT_EQ(0, State("fault PHLE2 hang 197"));
  EXPECT_EQ(1, State("add PHLE1"));
  EXPECT_EQ(1, State("set PHLE1 nosuch=1"));
  EXPECT_EQ(1, State("set PHLE1 index=1"));  // PHLE2 has it
  EXPECT_EQ(1, State("fault PHLE1 melt"));
  EXPECT_EQ(1, State("remove PHLE9"));
  EXPECT_EQ(2, State("frobnicate"));

  isdct::State state;
  std::string error;
  ASSERT_TRUE(isdct::LoadState(home_.Path("bin/drives.json"), state, error)) << error;
  EXPECT_EQ("4.0.0", state.version);
  ASSERT_EQ(2u, state.drives.size());
  EXPECT_EQ(0, state.drives[0].index);
  EXPECT_EQ(50, state.drives[0].temperature);
  EXPECT_EQ("INTEL SSDPE2KX020T7", state.drives[0].model);
  EXPECT_EQ(1, state.drives[1].index);
  EXPECT_EQ(isdct::FaultKind::kHang, state.drives[1].fault.kind);
  EXPECT_EQ(isdct::Run::kTemperature, state.drives[1].fault.page);

  ASSERT_EQ(0, State("remove PHLE1"));
  ASSERT_EQ(0, State("show"));
  EXPECT_EQ(std::string::npos, out_.find("PHLE1\""));
  EXPECT_NE(std::string::npos, out_.find("PHLE2\""));
}

}  // namespace
