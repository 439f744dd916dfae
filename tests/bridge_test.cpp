// The tool bridge through its four queries, against the tool stand-in and against scripts that
// print chosen outputs: which sections become records, how values of each kind are taken, the
// health pages and their failures, the version text, and the traces.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "DriveState.h"
#include "KVL.h"
#include "KVLX.h"
#include "TestHome.h"
#include "VarnockPlugin.h"

using namespace NAMESPACE_Varnock;

namespace {

constexpr const char* kInventoryLine = "show -all -o json -vedidevu";
constexpr const char* kSmartHealthLine = "show -o json -vedidevu 0 -nvmelog SmartHealthInfo";
constexpr const char* kTemperatureLine = "show -o json -vedidevu 0 -nvmelog TemperatureStatistics";
constexpr const char* kAttributesLine = "show -o json -smart -vedidevu 0";
constexpr const char* kDriveInfoLine = "show -all -o json -vedidevu 0";
constexpr const char* kVersionLine = "version -o json";

// A section of the tool's inventory with the keys that make it qualify.
std::string DriveSection(const std::string& name, int index, const std::string& model,
                         const std::string& more = "") {
  return "\"" + name + "\": {\"Index\": " + std::to_string(index) + ", \"ModelNumber\": \"" +
         model + "\"" + (more.empty() ? "" : ", " + more) + "}";
}

std::string Document(const std::vector<std::string>& sections) {
  std::string text = "{";
  for (size_t i = 0; i < sections.size(); ++i) text += (i ? ",\n" : "\n") + sections[i];
  return text + "\n}\n";
}

class BridgeTest : public ::testing::Test {
 protected:
  BridgeTest() {
    unsetenv("ISDCT_STATE");
    plugin_.m_ToolPath = home_.ToolPath();
  }
  ~BridgeTest() override {
    KVL::Misc::SetTraceMask(309, 0);
    KVL::Misc::SetTraceFile("");
    KVLX::CSystem::SetTimeLimit(60000);
  }

  // The stand-in answers from a copy of a fixture state.
  void UseDrives(const std::string& fixture) {
    home_.InstallTool();
    home_.UseFixture(fixture);
  }
  void ChangeDrive(const std::string& serial, const std::string& field, const std::string& value) {
    isdct::State state;
    std::string error;
    ASSERT_TRUE(isdct::LoadState(home_.Path("bin/drives.json"), state, error)) << error;
    ASSERT_NE(nullptr, state.FindBySerial(serial));
    ASSERT_TRUE(isdct::SetField(*state.FindBySerial(serial), field, value, error)) << error;
    ASSERT_TRUE(isdct::SaveState(home_.Path("bin/drives.json"), state, error)) << error;
  }
  void GiveFault(const std::string& serial, isdct::FaultKind kind, isdct::Run page) {
    isdct::State state;
    std::string error;
    ASSERT_TRUE(isdct::LoadState(home_.Path("bin/drives.json"), state, error)) << error;
    state.FindBySerial(serial)->fault = {kind, page, 1};
    ASSERT_TRUE(isdct::SaveState(home_.Path("bin/drives.json"), state, error)) << error;
  }

  // A tool that prints `output` whatever it is asked.
  void ToolPrints(const std::string& output) { ToolAnswers({}, output); }
  // A tool that prints the answer of the matching argument line, else `otherwise`; every run
  // is logged to DIR/runs.
  void ToolAnswers(const std::vector<std::pair<std::string, std::string>>& answers,
                   const std::string& otherwise = "{}") {
    std::string script = "#!/bin/sh\necho \"$*\" >> " + home_.Path("runs") + "\ncase \"$*\" in\n";
    for (size_t i = 0; i < answers.size(); ++i) {
      const std::string file = "answer" + std::to_string(i);
      home_.WriteFile(file, answers[i].second);
      script += "'" + answers[i].first + "') cat " + home_.Path(file) + " ;;\n";
    }
    home_.WriteFile("otherwise", otherwise);
    script += "*) cat " + home_.Path("otherwise") + " ;;\nesac\n";
    home_.InstallScriptTool(script);
  }

  uint32_t Inventory() { return plugin_.GetAdaptersInfo(); }
  std::vector<std::string> Serials() const {
    std::vector<std::string> serials;
    for (const AdapterInfo& info : plugin_.m_AdapterInfos) serials.push_back(info.serialNumber);
    return serials;
  }
  // The one record of an inventory that must find exactly one drive.
  const AdapterInfo& OnlyRecord() {
    EXPECT_EQ(0u, Inventory());
    EXPECT_EQ(1u, plugin_.m_AdapterInfos.size());
    static const AdapterInfo none;
    return plugin_.m_AdapterInfos.empty() ? none : plugin_.m_AdapterInfos[0];
  }
  uint32_t ReadHealth(HealthInfo& health, uint32_t index = 0) {
    return plugin_.GetLogPageInformation(index, health);
  }
  std::string Version() {
    std::string version = "stale";
    plugin_.GetVersion(version);
    return version;
  }

  void StartTracing() {
    KVL::Misc::SetTraceFile(home_.Path("trace.log"));
    KVL::Misc::SetTraceMask(309, 2);
  }
  // True when `member` traced exactly `message` at level 2 with this component's name.
  bool Traced(const std::string& member, const std::string& message) const {
    std::istringstream lines(home_.ReadFile("trace.log"));
    const std::string origin =
        " 2 Src/VarnockCmdEmu NAMESPACE_Varnock::IPLUGINAPI_IMPL::" + member + ":";
    for (std::string line; std::getline(lines, line);) {
      const size_t at = line.find(origin);
      if (at == std::string::npos) continue;
      const size_t text = line.find(' ', at + origin.size());
      if (text != std::string::npos && line.substr(text + 1) == message) return true;
    }
    return false;
  }

  TestHome home_;
  IPLUGINAPI_IMPL plugin_;
};

// --- Inventory -------------------------------------------------------------------------------

TEST_F(BridgeTest, QualifyingSectionsAreNumberedInOutputOrderAndDroppedOnesUseNoNumber) {
  ToolPrints(Document({
      DriveSection("Intel SSD DC P4600 Series PHLE1", 5, "INTEL SSDPE2KE016T7",
                   "\"SerialNumber\": \"PHLE1\""),
      DriveSection("Intel SSD DC P4510 Series PHLJ1", 6, "INTEL SSDPE2KX010T8",
                   "\"RSTeDiskId\": null"),
      DriveSection("Intel SSD 600p Series BTPY1", 7, "INTEL SSDPEKKW512G7"),
      DriveSection("Intel SSD no index", -1, "INTEL SSDPE2KE016T7"),
      "\"Intel SSD text index\": {\"Index\": \"8\", \"ModelNumber\": \"INTEL SSDPE2KE016T7\"}",
      "\"Intel SSD count\": 3",
      DriveSection("NVMe SSD AC01", 9, "INTEL SSDPE2KE016T7"),
      DriveSection("Intel Optane SSD DC P4800X Series PHKS1", 2, "INTEL SSDPED1K375GA",
                   "\"SerialNumber\": \"PHKS1\""),
  }));
  ASSERT_EQ(0u, Inventory());
  ASSERT_EQ(2u, plugin_.m_AdapterInfos.size());
  EXPECT_EQ("PHLE1", plugin_.m_AdapterInfos[0].serialNumber);
  EXPECT_EQ(1u, plugin_.m_AdapterInfos[0].number);
  EXPECT_EQ(5u, plugin_.m_AdapterInfos[0].index);
  EXPECT_EQ("PHKS1", plugin_.m_AdapterInfos[1].serialNumber);
  EXPECT_EQ(2u, plugin_.m_AdapterInfos[1].number);
  EXPECT_EQ(2u, plugin_.m_AdapterInfos[1].index);
}

TEST_F(BridgeTest, OnlyTheSixModelPrefixesQualify) {
  const std::pair<const char*, bool> models[] = {
      {"INTEL SSDPE2KE016T7", true},  {"INTEL SSDPED1K375GA", true},
      {"INTEL SSDPEC1K375GA", true},  {"INTEL SSDPE7KX020T7", true},
      {"INTEL SSDPEYKX040T8", true},  {"INTEL SSDPELKX020T8", true},
      {"INTEL SSDPE2", true},         {"INTEL SSDPE", false},
      {"INTEL SSDPEKKW512G7", false}, {"INTEL SSDSC2BB480G7", false},
      {"intel ssdpe2ke016t7", false}, {" INTEL SSDPE2KE016T7", false},
      {"ACME NV1 960GB", false},
  };
  std::vector<std::string> sections;
  std::vector<std::string> expected;
  for (const auto& [model, served] : models) {
    sections.push_back(DriveSection("Intel SSD " + std::string(model), 0, model,
                                    "\"SerialNumber\": \"" + std::string(model) + "\""));
    if (served) expected.push_back(model);
  }
  ToolPrints(Document(sections));
  ASSERT_EQ(0u, Inventory());
  EXPECT_EQ(expected, Serials());
}

TEST_F(BridgeTest, SectionNamesMatchByPrefixIgnoringCase) {
  const std::pair<const char*, bool> names[] = {
      {"intel ssd 7", true}, {"INTEL OPTANE X", true}, {"Intel Optane", true},
      {"Intel", false},      {"Intel SS", false},      {"An Intel SSD", false},
  };
  std::vector<std::string> sections;
  std::vector<std::string> expected;
  for (const auto& [name, matches] : names) {
    sections.push_back(DriveSection(name, 0, "INTEL SSDPE2KE016T7",
                                    "\"SerialNumber\": \"" + std::string(name) + "\""));
    if (matches) expected.push_back(name);
  }
  ToolPrints(Document(sections));
  ASSERT_EQ(0u, Inventory());
  EXPECT_EQ(expected, Serials());
}

TEST_F(BridgeTest, OnlyTheBareFamilyNameIsReplaced) {
  const std::pair<const char*, const char*> families[] = {
      {"Intel SSD", "Intel Optane(TM) SSD DC P4800X Series"},
      {"Intel SSD DC P4600 Series", "Intel SSD DC P4600 Series"},
      {"intel ssd", "intel ssd"},
      {"Intel SSD ", "Intel SSD "},
  };
  for (const auto& [printed, stored] : families) {
    ToolPrints(Document({DriveSection("Intel SSD X", 0, "INTEL SSDPED1K375GA",
                                      "\"ProductFamily\": \"" + std::string(printed) + "\"")}));
    EXPECT_EQ(stored, OnlyRecord().productFamily) << printed;
  }
}

TEST_F(BridgeTest, CapacityComesFromNativeMaxLbaWhenItIsKnown) {
  struct Case {
    const char* keys;
    uint64_t physicalSize;
    uint64_t nativeMaxLba;
  };
  const Case cases[] = {
      {"\"NativeMaxLBA\": 1000, \"SectorSize\": 512, \"PhysicalSize\": 7", 512000, 1000},
      {"\"NativeMaxLBA\": 0, \"SectorSize\": 512, \"PhysicalSize\": 4096", 4096, 0},
      {"\"NativeMaxLBA\": \"1000\", \"SectorSize\": 512, \"PhysicalSize\": 4096", 4096, 0},
      {"\"NativeMaxLBA\": 8589934592, \"SectorSize\": 4096", 35184372088832, 8589934592},
  };
  for (const Case& c : cases) {
    ToolPrints(Document({DriveSection("Intel SSD X", 0, "INTEL SSDPE2KE016T7", c.keys)}));
    const AdapterInfo& info = OnlyRecord();
    EXPECT_EQ(c.physicalSize, info.physicalSize) << c.keys;
    EXPECT_EQ(c.nativeMaxLba, info.nativeMaxLba) << c.keys;
  }
}

TEST_F(BridgeTest, ValuesOfAnotherKindLeaveTheirDefaults) {
  ToolPrints(Document({DriveSection(
      "Intel SSD X", 0, "INTEL SSDPE2KE016T7",
      "\"Bootloader\": null, \"Firmware\": 1234, \"SerialNumber\": \"PH\\u0000LE\", "
      "\"ControllerIDEMode\": \"true\", \"DeviceStatus\": [\"Healthy\"], "
      "\"DriverMajorVersion\": 12, \"DriverMinorVersion\": 3.0, \"LBAFormat\": -3, "
      "\"NumLBAFormats\": -1, \"NVMePowerState\": 4294967295, \"SectorSize\": 4294967296, "
      "\"TempThreshold\": 1e2, \"MaximumLBA\": 4294967296, \"PhysicalSize\": -5")}));
  const AdapterInfo& info = OnlyRecord();
  EXPECT_EQ("", info.bootloader);
  EXPECT_EQ("", info.firmware);
  EXPECT_EQ("PH", info.serialNumber);
  EXPECT_FALSE(info.controllerIdeMode);
  EXPECT_EQ("", info.deviceStatus);
  EXPECT_EQ("12", info.driverMajorVersion);
  EXPECT_EQ("", info.driverMinorVersion);
  EXPECT_EQ(-3, info.lbaFormat);
  EXPECT_EQ(0u, info.numLbaFormats);
  EXPECT_EQ(4294967295u, info.nvmePowerState);
  EXPECT_EQ(0u, info.sectorSize);
  EXPECT_EQ(0u, info.tempThreshold);
  EXPECT_EQ(4294967296u, info.maximumLba);
  EXPECT_EQ(0u, info.physicalSize);
}

TEST_F(BridgeTest, BadInventoryOutputEmptiesTheList) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::pair<std::string, uint32_t> outputs[] = {
      {"", 20003},
      {" ", 20003},
      {"{\"Intel SSD X\": {", 20003},
      {"{} {}", 20003},
      {std::string("{}\0 ", 4), 20003},
      {std::string(100000, '['), 20003},
      {"[" + Document({DriveSection("Intel SSD X", 0, "INTEL SSDPE2KE016T7")}) + "]", 20001},
      {"{\"Intel SSD X\": 1, \"Intel SSD Y\": null, \"Intel SSD Z\": [{}]}", 20001},
      {"\"Intel SSD\"", 20001},
      {deep, 20001},
  };
  for (const auto& [output, result] : outputs) {
    ToolPrints(Document({DriveSection("Intel SSD X", 0, "INTEL SSDPE2KE016T7")}));
    ASSERT_EQ(0u, Inventory());
    ToolPrints(output);
    EXPECT_EQ(result, Inventory()) << output.substr(0, 40);
    EXPECT_TRUE(plugin_.m_AdapterInfos.empty());
  }
}

TEST_F(BridgeTest, DeeplyNestedValuesInsideASectionAreHarmless) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  ToolPrints(Document({DriveSection("Intel SSD X", 3, "INTEL SSDPE2KE016T7",
                                    "\"Extra\": " + deep)}));
  EXPECT_EQ(3u, OnlyRecord().index);
}

TEST_F(BridgeTest, ToolThatCannotRunOrDoesNotEndFails) {
  EXPECT_EQ(20003u, Inventory());  // nothing installed
  EXPECT_EQ("", Version());

  UseDrives("two-drives.json");
  GiveFault("PHLE812300AB1P6AGN", isdct::FaultKind::kHang, isdct::Run::kInventory);
  KVLX::CSystem::SetTimeLimit(200);
  EXPECT_EQ(20003u, Inventory());
  KVLX::CSystem::SetTimeLimit(60000);

  GiveFault("PHLE812300AB1P6AGN", isdct::FaultKind::kCrash, isdct::Run::kInventory);
  EXPECT_EQ(20003u, Inventory());
  GiveFault("PHLE812300AB1P6AGN", isdct::FaultKind::kInvalidJson, isdct::Run::kInventory);
  EXPECT_EQ(20003u, Inventory());
  GiveFault("PHLE812300AB1P6AGN", isdct::FaultKind::kEmpty, isdct::Run::kInventory);
  EXPECT_EQ(20003u, Inventory());
  GiveFault("PHLE812300AB1P6AGN", isdct::FaultKind::kExit, isdct::Run::kInventory);
  EXPECT_EQ(20003u, Inventory());

  // The exit status does not count: a tool that ended and printed its answer was heard.
  home_.WriteFile("answer", Document({DriveSection("Intel SSD X", 0, "INTEL SSDPE2KE016T7")}));
  home_.InstallScriptTool("#!/bin/sh\ncat " + home_.Path("answer") + "\nexit 3\n");
  EXPECT_EQ(0u, Inventory());
  EXPECT_EQ(1u, plugin_.m_AdapterInfos.size());
}

// --- Health pages ----------------------------------------------------------------------------

TEST_F(BridgeTest, TemperatureAddsItsBitsToTheCriticalWarnings) {
  UseDrives("one-drive.json");
  struct Case {
    const char* temperature;
    const char* offset;
    const char* warnings;
    uint32_t expected;
    bool hot;  // the temperature warning flag
  };
  const Case cases[] = {
      {"77", "0", "0", 0, false},      {"78", "0", "0", 0x20, true},
      {"79", "0", "0", 0x20, true},    {"80", "0", "0", 0x240, true},
      {"83", "0", "0", 0x240, true},   {"84", "0", "0", 0x280, true},
      {"90", "10", "0", 0x240, true},  {"85", "0", "0", 0x280, true},
      {"84", "0", "1", 0x281, true},   {"40", "0", "1", 0x1, false},
      {"40", "0", "2", 0x2, true},     {"40", "0", "0", 0, false},
  };
  HealthInfo health;  // one record across the queries: cooling down clears the bits again
  for (const Case& c : cases) {
    ChangeDrive("PHLE812300AB1P6AGN", "temperature", c.temperature);
    ChangeDrive("PHLE812300AB1P6AGN", "temperatureOffset", c.offset);
    ChangeDrive("PHLE812300AB1P6AGN", "criticalWarnings", c.warnings);
    ASSERT_EQ(0u, ReadHealth(health));
    EXPECT_EQ(c.expected, health.criticalWarnings) << c.temperature << " - " << c.offset;
    EXPECT_EQ(c.hot, health.temperatureWarning != 0) << c.temperature << ", " << c.warnings;
  }
}

TEST_F(BridgeTest, FailingPageKeepsEarlierPagesAndSkipsTheRest) {
  UseDrives("one-drive.json");
  StartTracing();
  GiveFault("PHLE812300AB1P6AGN", isdct::FaultKind::kNoDevice, isdct::Run::kTemperature);
  HealthInfo health;
  EXPECT_EQ(20003u, ReadHealth(health));
  EXPECT_EQ(41943040u, health.dataUnitsWritten);  // page 2 was read
  EXPECT_EQ(1u, health.percentageUsed);
  EXPECT_EQ(10, health.currentTemperature);
  EXPECT_EQ(0u, health.normalizedAD);
  EXPECT_EQ(0u, health.capacityBytes);
  EXPECT_TRUE(Traced("GetLogPageInformation", "GetLogPageInformation: begin"));
  EXPECT_FALSE(Traced("GetLogPageInformation", "GetLogPageInformation: end"));

  GiveFault("PHLE812300AB1P6AGN", isdct::FaultKind::kEmpty, isdct::Run::kSmartAttributes);
  health = HealthInfo();
  EXPECT_EQ(20003u, ReadHealth(health));
  EXPECT_EQ(36, health.currentTemperature);
  EXPECT_EQ(100u, health.normalizedAD);  // set before the attributes are asked for
  EXPECT_EQ(0u, health.capacityBytes);

  ChangeDrive("PHLE812300AB1P6AGN", "temperature", "85");
  GiveFault("PHLE812300AB1P6AGN", isdct::FaultKind::kInvalidJson, isdct::Run::kDriveInfo);
  health = HealthInfo();
  EXPECT_EQ(20003u, ReadHealth(health));
  EXPECT_EQ(99u, health.normalizedAD);
  EXPECT_EQ(0u, health.criticalWarnings);  // no temperature bits after a failure
}

TEST_F(BridgeTest, HealthSectionsAndValuesFollowTheirKinds) {
  const std::string page2 = R"({
    "NVMeLog2": {"Critical Warnings": 4, "Data Units Read": "0x1F", "Data Units Written": " 1f",
                 "Power On Hours": "1F ", "Media Errors": 31, "Percentage Used": 12.0,
                 "Media is in a read-only mode": true},
    "SMART and Health Information Y": "not an object",
    "nvmelog smart and health information Z": {"Available Spare Threshold Percentage": 5,
                 "Data Units Read": "zz", "Power On Hours": "0x10"}
  })";
  const std::string page197 = R"({"temp statistics X": {"Current Temperature": 79,
                                  "Estimated offset in Celsius": null}})";
  const std::string page202 = R"({"SMART Attributes X": {
      "ea": {"Normalized": 95}, "AD": {"Normalized": 95.0}, "EAX": {"Normalized": 1},
      "E9": {"Normalized": 2}}})";
  const std::string page203 = R"({"A": {"PhysicalSize": 1000}, "B": {"PhysicalSize": 2000},
                                  "C": {"PhysicalSize": "3000"}})";
  ToolAnswers({{kSmartHealthLine, page2},
               {kTemperatureLine, page197},
               {kAttributesLine, page202},
               {kDriveInfoLine, page203}});
  HealthInfo health;
  ASSERT_EQ(0u, ReadHealth(health));
  EXPECT_EQ(4u | 0x20u, health.criticalWarnings);
  EXPECT_EQ(31u, health.dataUnitsRead);      // the later section's "zz" is not a number
  EXPECT_EQ(31u, health.dataUnitsWritten);   // leading white space is skipped
  EXPECT_EQ(16u, health.powerOnHours);       // the later section overwrites
  EXPECT_EQ(0u, health.mediaErrors);         // a number is not a counter
  EXPECT_EQ(0u, health.percentageUsed);
  EXPECT_TRUE(health.readOnlyMode);
  EXPECT_EQ(5u, health.availableSpareThreshold);
  EXPECT_EQ(79, health.currentTemperature);
  EXPECT_EQ(0, health.temperatureOffset);
  EXPECT_EQ(95u, health.normalizedEA);
  EXPECT_EQ(100u, health.normalizedAD);
  EXPECT_EQ(2000u, health.capacityBytes);
}

TEST_F(BridgeTest, UnknownPageRunsNothing) {
  ToolPrints("{}");
  rapidjson::Document document;
  EXPECT_EQ(20006u, plugin_.GetLogPage(0, 3, document));
  EXPECT_EQ(0u, plugin_.GetLogPage(0, 2, document));
  EXPECT_EQ(kSmartHealthLine + std::string("\n"), home_.ReadFile("runs"));
}

TEST_F(BridgeTest, NoDeviceTextFailsPagesAndVersionButNotTheInventory) {
  ToolPrints(Document({"\"Note\": \"No device selected\"",
                       DriveSection("Intel SSD X", 0, "INTEL SSDPE2KE016T7"),
                       "\"Version Information\": {\"Version\": \"3.2.0\"}"}));
  EXPECT_EQ(0u, OnlyRecord().index);
  HealthInfo health;
  EXPECT_EQ(20003u, ReadHealth(health));
  EXPECT_EQ("", Version());

  UseDrives("one-drive.json");
  EXPECT_EQ(20003u, ReadHealth(health, 7));  // an index the tool does not know
}

// --- Version ---------------------------------------------------------------------------------

TEST_F(BridgeTest, VersionSectionMatchesTheWholeNameIgnoringCase) {
  UseDrives("one-drive.json");
  EXPECT_EQ("3.2.0", Version());

  const std::pair<std::string, std::string> outputs[] = {
      {R"({"version information": {"Version": "1.0"}})", "1.0"},
      {R"({"Version Information 2": {"Version": "1.0"}})", ""},
      {R"({"Version Info": {"Version": "1.0"}})", ""},
      {R"({"Version Information": {"Version": 5}, "VERSION INFORMATION": {"Version": "x"}})", ""},
      {R"({"Version Information": "1.0", "VERSION INFORMATION": {"Version": "2.0"}})", "2.0"},
      {R"({"Version Information": {"Name": "1.0"}})", ""},
      {R"(["Version Information"])", ""},
      {R"({"Version Information": {"Version": "1.0"})", ""},
      {"", ""},
  };
  for (const auto& [output, version] : outputs) {
    ToolPrints(output);
    EXPECT_EQ(version, Version()) << output;
  }
}

// --- Traces ----------------------------------------------------------------------------------

TEST_F(BridgeTest, QueriesTraceEveryValueTheyTake) {
  UseDrives("two-drives.json");
  StartTracing();
  ASSERT_EQ(0u, Inventory());
  HealthInfo health;
  ASSERT_EQ(0u, ReadHealth(health, 1));
  Version();

  EXPECT_TRUE(Traced("GetAdaptersInfo", "Name: Index, Value: (1)"));
  EXPECT_TRUE(Traced("GetAdaptersInfo",
                     "Name: ProductFamily, Value: (Intel Optane(TM) SSD DC P4800X Series)"));
  EXPECT_TRUE(Traced("GetAdaptersInfo", "Name: ControllerIDEMode, Value: (false)"));
  EXPECT_TRUE(Traced("GetAdaptersInfo", "Name: PhysicalSize, Value: (375083606016)"));
  EXPECT_TRUE(Traced("GetLogPage", "KVLX::CSystem::ExecuteCommand start: " + home_.ToolPath() +
                                       " show -o json -vedidevu 1 -nvmelog SmartHealthInfo"));
  EXPECT_TRUE(Traced("GetLogPage", "KVLX::CSystem::ExecuteCommand returned with 1"));
  EXPECT_TRUE(Traced("GetLogPageInformation", "Name: Power On Hours, Value: (1200)"));
  EXPECT_TRUE(Traced("GetLogPageInformation",
                     "Name: Media is in a read-only mode, Value: (false)"));
  EXPECT_TRUE(Traced("GetLogPageInformation", "Name: Current Temperature, Value: (31)"));
  EXPECT_TRUE(Traced("GetLogPageInformation", "Name: Normalized, Value: (100)"));
  EXPECT_TRUE(Traced("GetLogPageInformation", "Name: PhysicalSize, Value: (375083606016)"));
  EXPECT_TRUE(Traced("GetLogPageInformation", "GetLogPageInformation: end"));
  EXPECT_TRUE(Traced("GetVersion", "Name: Version, Value: (3.2.0)"));

  // A tool that cannot be started: the inventory traces the result, the version query nothing.
  home_.WriteFile("trace.log", "");
  std::remove(home_.ToolPath().c_str());
  EXPECT_EQ("", Version());
  EXPECT_EQ(20003u, Inventory());
  EXPECT_TRUE(Traced("GetAdaptersInfo", "KVLX::CSystem::ExecuteCommand returned with 0"));
  EXPECT_EQ(std::string::npos, home_.ReadFile("trace.log").find("GetVersion"));
}

// --- The stand-in's fixtures, end to end -----------------------------------------------------

TEST_F(BridgeTest, FixturesRoundTripThroughTheBridge) {
  struct Case {
    const char* fixture;
    std::vector<std::pair<std::string, uint32_t>> served;  // serial, critical warnings
  };
  const Case cases[] = {
      {"one-drive.json", {{"PHLE812300AB1P6AGN", 0}}},
      {"two-drives.json", {{"PHLE812300AB1P6AGN", 0}, {"PHKS750500FQ375AGN", 0}}},
      {"several-drives.json",
       {{"CVFT5170003E400BGN", 0},
        {"PHLF730000AB2P0GGN", 0x22},
        {"PHLE812300AB1P6AGN", 0x281},
        {"PHKS750500FQ375AGN", 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fixture);
    UseDrives(c.fixture);
    isdct::State state;
    std::string error;
    ASSERT_TRUE(isdct::LoadState(FixturePath(c.fixture), state, error)) << error;
    ASSERT_EQ(0u, Inventory());
    ASSERT_EQ(c.served.size(), plugin_.m_AdapterInfos.size());
    for (size_t i = 0; i < c.served.size(); ++i) {
      AdapterInfo& info = plugin_.m_AdapterInfos[i];
      const isdct::Drive& drive = *state.FindBySerial(c.served[i].first);
      EXPECT_EQ(c.served[i].first, info.serialNumber);
      EXPECT_EQ(i + 1, info.number);
      EXPECT_EQ(drive.index, info.index);
      EXPECT_EQ(drive.model, info.modelNumber);
      EXPECT_EQ(drive.firmware, info.firmware);
      EXPECT_EQ(drive.devicePath, info.devicePath);
      EXPECT_EQ(std::to_string(drive.driverMinorVersion), info.driverMinorVersion);
      EXPECT_EQ(drive.maximumLba, info.maximumLba);
      EXPECT_EQ(drive.sectorSize * drive.nativeMaxLba, info.physicalSize);
      EXPECT_EQ(drive.productFamily == "Intel SSD" ? "Intel Optane(TM) SSD DC P4800X Series"
                                                   : drive.family,
                info.productFamily);

      ASSERT_EQ(0u, ReadHealth(info.health, info.index));
      const HealthInfo& health = info.health;
      EXPECT_EQ(c.served[i].second, health.criticalWarnings);
      EXPECT_EQ(drive.spareBelowThreshold, health.spareBelowThreshold);
      EXPECT_EQ(drive.availableSpare, health.availableSpare);
      EXPECT_EQ(drive.percentageUsed, health.percentageUsed);
      EXPECT_EQ(drive.dataUnitsRead, health.dataUnitsRead);
      EXPECT_EQ(drive.dataUnitsWritten, health.dataUnitsWritten);
      EXPECT_EQ(drive.powerOnHours, health.powerOnHours);
      EXPECT_EQ(drive.mediaErrors, health.mediaErrors);
      EXPECT_EQ(drive.temperature, health.currentTemperature);
      EXPECT_EQ(drive.temperatureOffset, health.temperatureOffset);
      EXPECT_EQ(drive.normalizedEA, health.normalizedEA);
      EXPECT_EQ(drive.normalizedAD, health.normalizedAD);
      EXPECT_EQ(drive.physicalSize, health.capacityBytes);
    }
  }
}

}  // namespace
