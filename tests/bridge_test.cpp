// The tool bridge through its four queries, against the tool stand-in and against scripts that
// print chosen outputs: which sections become records, how values of each kind are taken, the
// health pages and their failures, and the version text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "DriveState.h"
#include "KVLX.h"
#include "TestHome.h"
#include "CmdEmu.h"
#include "JsonRead.h"
#include "ToolOutput.h"

using namespace NAMESPACE_Varnock;
using CmdEmu::ToolStatus;

namespace {

constexpr const char* kSerial = "PHLE812300AB1P6AGN";  // index 0 of one- and two-drives.json

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

// One qualifying drive, with extra keys.
std::string OneDrive(const std::string& more = "") {
  return Document({DriveSection("Intel SSD X", 0, "INTEL SSDPE2KE016T7", more)});
}

class BridgeTest : public ::testing::Test {
 protected:
  ~BridgeTest() override { KVLX::CSystem::SetTimeLimit(60000); }

  // The stand-in answers from a copy of a fixture state.
  void UseDrives(const std::string& fixture) {
    home_.InstallTool();
    home_.UseFixture(fixture);
  }
  void ChangeDrive(const std::function<void(isdct::Drive&)>& change) {
    isdct::State state;
    std::string error;
    ASSERT_TRUE(isdct::LoadState(home_.Path("bin/drives.json"), state, error)) << error;
    change(*state.FindBySerial(kSerial));
    ASSERT_TRUE(isdct::SaveState(home_.Path("bin/drives.json"), state, error)) << error;
  }
  void GiveFault(isdct::FaultKind kind, isdct::Run page) {
    ChangeDrive([&](isdct::Drive& drive) {
      drive.fault = isdct::Fault();
      drive.fault.kind = kind;
      drive.fault.page = page;
    });
  }

  // A tool that prints `output` whatever it is asked.
  void ToolPrints(const std::string& output) { home_.InstallAnsweringTool(output); }

  ToolStatus Inventory() { return CmdEmu::GetAdaptersInfo(home_.ToolPath(), infos_); }
  std::vector<std::string> Serials() const {
    std::vector<std::string> serials;
    for (const AdapterInfo& info : infos_) serials.push_back(info.serialNumber);
    return serials;
  }
  // The one record of an inventory that must find exactly one drive.
  const AdapterInfo& OnlyRecord() {
    EXPECT_EQ(ToolStatus::kOk, Inventory());
    EXPECT_EQ(1u, infos_.size());
    static const AdapterInfo none;
    return infos_.empty() ? none : infos_[0];
  }
  ToolStatus ReadHealth(HealthInfo& health, uint32_t index = 0) {
    return CmdEmu::GetLogPageInformation(home_.ToolPath(), index, health);
  }
  std::string Version() {
    return CmdEmu::GetVersion(home_.ToolPath());
  }

  TestHome home_;
  std::vector<AdapterInfo> infos_;
};

// --- Judging output ---------------------------------------------------------------------------

TEST(ToolOutputTest, OutputParsedInPlaceIsJudgedAndReadAsACopyIs) {
  using ToolOutput::Query;
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  const std::pair<uint32_t, std::string> outputs[] = {
      {1, "{\"A\": {\"Key\": \"text\", \"Count\": \"0x1F\", \"N\": -3, \"F\": 1.5}}"},
      {1, " \n{\"A\": [true, false, null, \"x\\ny\\u00e9\\\\\"]}\r\n\t"},
      {1, "\xEF\xBB\xBF{\"A\": 1}"},   // a byte-order mark
      {1, "\xEF{\"A\": 1}"},             // part of one: skipped as the encoded stream does
      {1, "\xBB\xBF{\"A\": 1}"},
      {1, "{\"A\": \"a\\u0000b\"}"},   // an escaped NUL inside a string
      {1, std::string("{}\0 ", 4)},       // a NUL byte ends the text early
      {1, "{} {}"},
      {1, "{\"A\": "},
      {1, ""},
      {1, "  "},
      {0, "{}"},
      {1, "{\"Note\": \"No device selected\"}"},
      {1, deep},
  };
  for (const Query query : {Query::kLogPage, Query::kInventory}) {
    for (const auto& [result, output] : outputs) {
      rapidjson::Document copied, inPlace;
      std::string buffer = output;
      const ToolOutput::Verdict expected = ToolOutput::Judge(query, result, output, copied);
      EXPECT_EQ(expected, ToolOutput::JudgeInPlace(query, result, buffer, inPlace))
          << output.substr(0, 40);
      if (expected != ToolOutput::Verdict::kTaken) continue;
      EXPECT_TRUE(copied == inPlace) << output.substr(0, 40);
      if (copied.IsObject() && copied.HasMember("A") && copied["A"].IsString()) {
        EXPECT_STREQ(copied["A"].GetString(), inPlace["A"].GetString());
      }
    }
  }
}

// The worker reads counters on threads that come and go. Reading must leave nothing tied to a
// thread that outlives it: under Windows, a thread-local converter's destructor ran at thread exit
// after its storage was freed, and wrote into the heap.
TEST(JsonReadTest, CountersReadOnThreadsThatComeAndGo) {
  rapidjson::Document section;
  section.Parse(R"({"Data Units Read": " 0x1F"})");
  for (int round = 0; round < 40; ++round) {
    std::vector<JsonRead::Reading> readings(4);
    std::vector<std::thread> threads;
    for (JsonRead::Reading& reading : readings)
      threads.emplace_back([&section, &reading] {
        JsonRead::Read(section, "Data Units Read", JsonRead::Kind::kHexCounter, reading);
        std::vector<std::string> churn(64, std::string(200, 'x'));  // the heap in use around it
      });
    for (std::thread& thread : threads) thread.join();
    for (const JsonRead::Reading& reading : readings) ASSERT_EQ(31u, reading.unsignedNumber);
  }
}

// --- Inventory -------------------------------------------------------------------------------

TEST_F(BridgeTest, QualifyingSectionsAreNumberedInOutputOrderAndDroppedOnesUseNoNumber) {
  ToolPrints(Document({
      DriveSection("Intel SSD DC P4600 Series PHLE1", 5, "INTEL SSDPE2KE016T7",
                   "\"SerialNumber\": \"PHLE1\""),
      DriveSection("Intel SSD 600p Series BTPY1", 7, "INTEL SSDPEKKW512G7"),
      DriveSection("Intel SSD no index", -1, "INTEL SSDPE2KE016T7"),
      "\"Intel SSD text index\": {\"Index\": \"8\", \"ModelNumber\": \"INTEL SSDPE2KE016T7\"}",
      "\"Intel SSD count\": 3",
      DriveSection("NVMe SSD AC01", 9, "INTEL SSDPE2KE016T7"),
      DriveSection("Intel Optane SSD DC P4800X Series PHKS1", 2, "INTEL SSDPED1K375GA",
                   "\"SerialNumber\": \"PHKS1\""),
  }));
  ASSERT_EQ(ToolStatus::kOk, Inventory());
  ASSERT_EQ(2u, infos_.size());
  const AdapterInfo& first = infos_[0];
  const AdapterInfo& second = infos_[1];
  EXPECT_EQ((std::vector<uint64_t>{1, 5, 2, 2}),
            (std::vector<uint64_t>{first.number, first.index, second.number, second.index}));
  EXPECT_EQ((std::vector<std::string>{"PHLE1", "PHKS1"}), Serials());
}

TEST_F(BridgeTest, OnlyTheSixModelPrefixesInDriveSectionsQualify) {
  struct Case {
    const char* section;  // matched by prefix, ignoring case
    const char* model;
    bool served;
  };
  const Case cases[] = {
      {"Intel SSD 1", "INTEL SSDPE2KE016T7", true},
      {"intel ssd 2", "INTEL SSDPED1K375GA", true},
      {"INTEL OPTANE 3", "INTEL SSDPEC1K375GA", true},
      {"Intel Optane", "INTEL SSDPE7KX020T7", true},
      {"Intel SSD 5", "INTEL SSDPEYKX040T8", true},
      {"Intel SSD 6", "INTEL SSDPELKX020T8", true},
      {"Intel SSD 7", "INTEL SSDPE2", true},
      {"Intel SSD 8", "INTEL SSDPE", false},
      {"Intel SSD 9", "INTEL SSDPEKKW512G7", false},
      {"Intel SSD 10", "intel ssdpe2ke016t7", false},
      {"Intel SSD 11", " INTEL SSDPE2KE016T7", false},
      {"Intel", "INTEL SSDPE2KE016T7", false},
      {"An Intel SSD", "INTEL SSDPE2KE016T7", false},
  };
  std::vector<std::string> sections, expected;
  for (const Case& c : cases) {
    sections.push_back(DriveSection(c.section, 0, c.model,
                                    "\"SerialNumber\": \"" + std::string(c.section) + "\""));
    if (c.served) expected.push_back(c.section);
  }
  ToolPrints(Document(sections));
  ASSERT_EQ(ToolStatus::kOk, Inventory());
  EXPECT_EQ(expected, Serials());
}

TEST_F(BridgeTest, FamilyAndCapacityAreTakenAsTheToolMeansThem) {
  const std::pair<const char*, const char*> families[] = {
      {"Intel SSD", "Intel Optane(TM) SSD DC P4800X Series"},
      {"Intel SSD DC P4600 Series", "Intel SSD DC P4600 Series"},
      {"intel ssd", "intel ssd"},
  };
  for (const auto& [printed, stored] : families) {
    ToolPrints(OneDrive("\"ProductFamily\": \"" + std::string(printed) + "\""));
    EXPECT_EQ(stored, OnlyRecord().productFamily) << printed;
  }
  struct Case {
    const char* keys;
    uint64_t physicalSize, nativeMaxLba;
  };
  const Case cases[] = {
      {"\"NativeMaxLBA\": 1000, \"SectorSize\": 512, \"PhysicalSize\": 7", 512000, 1000},
      {"\"NativeMaxLBA\": 0, \"SectorSize\": 512, \"PhysicalSize\": 4096", 4096, 0},
      {"\"NativeMaxLBA\": \"1000\", \"SectorSize\": 512, \"PhysicalSize\": 4096", 4096, 0},
      {"\"NativeMaxLBA\": 8589934592, \"SectorSize\": 4096", 35184372088832, 8589934592},
  };
  for (const Case& c : cases) {
    ToolPrints(OneDrive(c.keys));
    const AdapterInfo& info = OnlyRecord();
    EXPECT_EQ(c.physicalSize, info.physicalSize) << c.keys;
    EXPECT_EQ(c.nativeMaxLba, info.nativeMaxLba) << c.keys;
  }
}

TEST_F(BridgeTest, ValuesOfAnotherKindLeaveTheirDefaults) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  ToolPrints(OneDrive(
      "\"Bootloader\": null, \"Firmware\": 1234, \"SerialNumber\": \"PH\\u0000LE\", "
      "\"ControllerIDEMode\": \"true\", \"DriverMajorVersion\": 12, \"DriverMinorVersion\": 3.0, "
      "\"LBAFormat\": -3, \"NumLBAFormats\": -1, \"NVMePowerState\": 4294967295, "
      "\"SectorSize\": 4294967296, \"TempThreshold\": 1e2, \"MaximumLBA\": 4294967296, "
      "\"PhysicalSize\": -5, \"Extra\": " + deep));
  const AdapterInfo& info = OnlyRecord();
  EXPECT_EQ("", info.bootloader);
  EXPECT_EQ("", info.firmware);
  EXPECT_EQ("PH", info.serialNumber);
  EXPECT_FALSE(info.controllerIdeMode);
  EXPECT_EQ("12", info.driverMajorVersion);
  EXPECT_EQ("", info.driverMinorVersion);
  EXPECT_EQ(-3, info.lbaFormat);
  EXPECT_EQ((std::vector<uint64_t>{0, 4294967295, 0, 0, 4294967296, 0}),
            (std::vector<uint64_t>{info.numLbaFormats, info.nvmePowerState, info.sectorSize,
                                   info.tempThreshold, info.maximumLba, info.physicalSize}));
}

TEST_F(BridgeTest, BadInventoryOutputEmptiesTheList) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  constexpr ToolStatus kFailed = ToolStatus::kToolFailed, kNone = ToolStatus::kNoSupportedHardware;
  const std::pair<std::string, ToolStatus> outputs[] = {
      {"", kFailed},
      {" ", kFailed},
      {"{\"Intel SSD X\": {", kFailed},
      {"{} {}", kFailed},
      {std::string("{}\0 ", 4), kFailed},
      {std::string(100000, '['), kFailed},
      {"[" + OneDrive() + "]", kNone},
      {"{\"Intel SSD X\": 1, \"Intel SSD Y\": null, \"Intel SSD Z\": [{}]}", kNone},
      {"\"Intel SSD\"", kNone},
      {deep, kNone},
  };
  for (const auto& [output, result] : outputs) {
    ToolPrints(OneDrive());
    ASSERT_EQ(ToolStatus::kOk, Inventory());
    ToolPrints(output);
    EXPECT_EQ(result, Inventory()) << output.substr(0, 40);
    EXPECT_TRUE(infos_.empty());
  }
}

TEST_F(BridgeTest, ToolThatCannotRunOrDoesNotEndFails) {
  EXPECT_EQ(ToolStatus::kToolFailed, Inventory());  // nothing installed
  EXPECT_EQ("", Version());

  UseDrives("two-drives.json");
  KVLX::CSystem::SetTimeLimit(200);
  for (isdct::FaultKind kind : {isdct::FaultKind::kHang, isdct::FaultKind::kCrash,
                                isdct::FaultKind::kInvalidJson, isdct::FaultKind::kEmpty,
                                isdct::FaultKind::kExit}) {
    GiveFault(kind, isdct::Run::kInventory);
    EXPECT_EQ(ToolStatus::kToolFailed, Inventory()) << static_cast<int>(kind);
  }
  KVLX::CSystem::SetTimeLimit(60000);

  // The exit status does not count: a tool that ended and printed its answer was heard.
  home_.InstallAnsweringTool(OneDrive(), 3);
  EXPECT_EQ(0u, OnlyRecord().index);
}

// --- Health pages ----------------------------------------------------------------------------

TEST_F(BridgeTest, TemperatureAddsItsBitsToTheCriticalWarnings) {
  UseDrives("one-drive.json");
  struct Case {
    int temperature, offset;
    uint32_t warnings, expected;
    bool hot;  // the temperature warning flag
  };
  const Case cases[] = {
      {77, 0, 0, 0, false},     {78, 0, 0, 0x20, true},  {80, 0, 0, 0x240, true},
      {84, 0, 0, 0x280, true},  {90, 10, 0, 0x240, true}, {84, 0, 1, 0x281, true},
      {40, 0, 2, 0x2, true},    {40, 0, 0, 0, false},
  };
  HealthInfo health;  // one record across the queries: cooling down clears the bits again
  for (const Case& c : cases) {
    ChangeDrive([&](isdct::Drive& drive) {
      drive.temperature = c.temperature;
      drive.temperatureOffset = c.offset;
      drive.criticalWarnings = c.warnings;
    });
    ASSERT_EQ(ToolStatus::kOk, ReadHealth(health));
    EXPECT_EQ(c.expected, health.criticalWarnings) << c.temperature << " - " << c.offset;
    EXPECT_EQ(c.hot, health.temperatureWarning != 0) << c.temperature << ", " << c.warnings;
  }
}

TEST_F(BridgeTest, FailingPageKeepsEarlierPagesAndSkipsTheRest) {
  UseDrives("one-drive.json");
  GiveFault(isdct::FaultKind::kNoDevice, isdct::Run::kTemperature);
  HealthInfo health;
  EXPECT_EQ(ToolStatus::kToolFailed, ReadHealth(health));
  EXPECT_EQ(41943040u, health.dataUnitsWritten);  // page 2 was read
  EXPECT_EQ(10, health.currentTemperature);
  EXPECT_EQ(0u, health.normalizedAD);     // pages 202 and 203 were not
  EXPECT_EQ(0u, health.capacityBytes);

  // The last page fails: the temperature bits are not added either.
  ChangeDrive([](isdct::Drive& drive) { drive.temperature = 85; });
  GiveFault(isdct::FaultKind::kInvalidJson, isdct::Run::kDriveInfo);
  health = HealthInfo();
  EXPECT_EQ(ToolStatus::kToolFailed, ReadHealth(health));
  EXPECT_EQ(99u, health.normalizedAD);
  EXPECT_EQ(0u, health.criticalWarnings);
}

TEST_F(BridgeTest, HealthSectionsAndValuesFollowTheirKinds) {
  // Each page reads only its own sections, so one document can answer all four.
  ToolPrints(R"({
    "NVMeLog2": {"Critical Warnings": 4, "Data Units Read": "0x1F", "Data Units Written": " 1f",
                 "Media Errors": 31, "Percentage Used": 12.0, "Power On Hours": "1F "},
    "nvmelog smart and health information Z": {"Data Units Read": "zz", "Power On Hours": "0x10"},
    "temp statistics X": {"Current Temperature": 79},
    "SMART Attributes X": {"ea": {"Normalized": 95}, "AD": {"Normalized": 95.0}},
    "A": {"PhysicalSize": 1000}, "B": {"PhysicalSize": 2000}, "C": {"PhysicalSize": "3000"}})");
  HealthInfo health;
  ASSERT_EQ(ToolStatus::kOk, ReadHealth(health));
  EXPECT_EQ(4u | 0x20u, health.criticalWarnings);
  EXPECT_EQ(31u, health.dataUnitsRead);     // the later section's "zz" is not a number
  EXPECT_EQ(31u, health.dataUnitsWritten);  // leading white space is skipped
  EXPECT_EQ(16u, health.powerOnHours);      // the later section overwrites
  EXPECT_EQ(0u, health.mediaErrors);        // a number is not a counter
  EXPECT_EQ(0u, health.percentageUsed);     // 12.0 is not an integer
  EXPECT_EQ(95u, health.normalizedEA);
  EXPECT_EQ(100u, health.normalizedAD);
  EXPECT_EQ(2000u, health.capacityBytes);
  rapidjson::Document document;
  // There is no page 3.
  EXPECT_EQ(ToolStatus::kUnknownLogPage, CmdEmu::GetLogPage(home_.ToolPath(), 0, 3, document));
}

TEST_F(BridgeTest, NoDeviceTextFailsPagesAndVersionButNotTheInventory) {
  ToolPrints(Document({"\"Note\": \"No device selected\"",
                       DriveSection("Intel SSD X", 0, "INTEL SSDPE2KE016T7"),
                       "\"Version Information\": {\"Version\": \"3.2.0\"}"}));
  EXPECT_EQ(0u, OnlyRecord().index);
  HealthInfo health;
  EXPECT_EQ(ToolStatus::kToolFailed, ReadHealth(health));
  EXPECT_EQ("", Version());

  UseDrives("one-drive.json");
  EXPECT_EQ(ToolStatus::kToolFailed, ReadHealth(health, 7));  // an index the tool does not know
}

// --- Version ---------------------------------------------------------------------------------

TEST_F(BridgeTest, VersionSectionMatchesTheWholeNameIgnoringCase) {
  UseDrives("one-drive.json");
  EXPECT_EQ("3.2.0", Version());

  const std::pair<std::string, std::string> outputs[] = {
      {R"({"version information": {"Version": "1.0"}})", "1.0"},
      {R"({"Version Information 2": {"Version": "1.0"}})", ""},
      {R"({"Version Information": {"Version": 5}, "VERSION INFORMATION": {"Version": "x"}})", ""},
      {R"({"Version Information": "1.0", "VERSION INFORMATION": {"Version": "2.0"}})", "2.0"},
      {R"(["Version Information"])", ""},
      {"", ""},
  };
  for (const auto& [output, version] : outputs) {
    ToolPrints(output);
    EXPECT_EQ(version, Version()) << output;
  }
}

}  // namespace
