// Hostile text in the tool's output: SQL, quotes and semicolons in serial numbers and names,
// texts of a megabyte, NUL bytes and invalid UTF-8. Such text stays text: nothing crashes, the
// schema stays as it was, the other drive's rows stay as the plug-in wrote them, and the
// hostile drive is still monitored.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HostDriver.h"

namespace {

constexpr const char* kPlainSerial = "PHLE812300AB1P6AGN";  // drive 0 of the fixture

// The tool prints "@NUL@" as the JSON escape of a NUL character and "@RAWNUL@" as a NUL byte.
constexpr const char* kNulFilter = "s/@NUL@/\\\\u0000/g\ns/@RAWNUL@/\\x00/g\n";

class HostileTextTest : public ::testing::Test {
 protected:
  HostileTextTest() : host_(home_, "two-drives.json", 3, kNulFilter) {}

  // Drive 1 of the fixture takes these texts.
  void GiveSecondDrive(const std::string& serial, const std::string& family = "",
                       const std::string& model = "", const std::string& firmware = "") {
    host_.ChangeState([&](isdct::State& state) {
      isdct::Drive& drive = state.drives.at(1);
      drive.serial = serial;
      if (!family.empty()) drive.family = family;
      drive.productFamily.clear();
      if (!model.empty()) drive.model = model;
      if (!firmware.empty()) drive.firmware = drive.controllerService = firmware;
    });
  }

  // Heats both drives up and adds 1000 power-on hours to each: the next pass becomes a full
  // pass that rewrites every drive row (with the hours of its adapter's new picture).
  static void HeatUp(const HostDriver& host) {
    host.ChangeState([](isdct::State& state) {
      for (isdct::Drive& drive : state.drives) {
        drive.temperature = 81;
        drive.powerOnHours += 1000;
      }
    });
  }
  void StartAndHeatUp() {
    host_.Start();
    schema_ = Schema();
    HeatUp(host_);
    host_.Poll();
  }

  std::vector<std::vector<std::string>> Schema() const {
    return home_.QueryDb("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name");
  }
  std::vector<std::vector<std::string>> Rows(const std::string& sql) const {
    return home_.QueryDb(sql);
  }

  // The schema is as it was, and the plain drive has one adapter and one drive row, both
  // rewritten by the last pass (they carry its new temperature).
  void ExpectSchemaAndPlainRowsIntact() {
    EXPECT_EQ(schema_, Schema());
    EXPECT_EQ(1, home_.CountRows("Plugin"));
    EXPECT_EQ(2, home_.CountRows("Adapter"));
    EXPECT_EQ(2, home_.CountRows("PD"));
    const auto adapter = Rows(std::string("SELECT ObjectID FROM Adapter WHERE "
                                          "SerialNumber = '") +
                              kPlainSerial + "'");
    ASSERT_EQ(1u, adapter.size());
    EXPECT_EQ(std::to_string(host_.Impl().m_Adapters.at(0).GetID()), adapter[0][0]);
    const auto drive = Rows(std::string("SELECT ObjectID, PowerOnHours FROM PD WHERE "
                                        "SerialNumber = '") +
                            kPlainSerial + "'");
    ASSERT_EQ(1u, drive.size());
    EXPECT_EQ(std::to_string(host_.Impl().m_PhysicalDrives.at(0).GetID()), drive[0][0]);
    EXPECT_EQ("9760", drive[0][1]);
  }

  // Both drives reported their new temperature warnings (bits 64 and 512 of each).
  void ExpectWarningsOfBothDrives() {
    EXPECT_EQ((std::vector<uint32_t>{10962, 10959, 10962, 10959}),
              HostDriver::Codes(host_.CollectEvents()));
  }

  // A column of the second drive's row in `table` (the row whose serial is not the plain one's).
  std::string SecondDrive(const std::string& column, const std::string& table) {
    const auto rows = Rows("SELECT " + column + " FROM " + table + " WHERE SerialNumber <> '" +
                           std::string(kPlainSerial) + "'");
    return rows.size() == 1 ? rows[0][0] : "(" + std::to_string(rows.size()) + " rows)";
  }

  TestHome home_;
  HostDriver host_;
  std::vector<std::vector<std::string>> schema_;
};

class HostileSerialTest : public HostileTextTest,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(HostileSerialTest, SqlInSerialNumbersAndNamesIsStoredAsText) {
  const std::string serial = GetParam();
  GiveSecondDrive(serial, "Intel SSD ' OR 1=1; --", "INTEL SSDPE2'; DELETE FROM Plugin; --",
                  "\"; DROP TABLE Adapter; \\");
  StartAndHeatUp();
  ExpectWarningsOfBothDrives();
  ExpectSchemaAndPlainRowsIntact();
  EXPECT_EQ(serial, SecondDrive("SerialNumber", "Adapter"));
  EXPECT_EQ(host_.Impl().m_Adapters.at(1).m_Name,
            Rows("SELECT Name FROM Adapter ORDER BY ID").at(1).at(0));
  // The hostile drive's row is found by its serial number and rewritten like the other.
  EXPECT_EQ("2200", SecondDrive("PowerOnHours", "PD"));
}

INSTANTIATE_TEST_SUITE_P(Serials, HostileSerialTest,
                         // Closing a value list, widening a condition; the other texts drop, delete.
                         ::testing::Values("x'); DELETE FROM Adapter; SELECT ('", "x') OR ('1'='1"));

TEST_F(HostileTextTest, MegabyteTextsAreCarriedWhole) {
  const std::string serial = "PH" + std::string(1 << 20, 'S');
  const std::string family = "Intel SSD " + std::string(1 << 20, 'N');
  GiveSecondDrive(serial, family);
  StartAndHeatUp();
  ExpectWarningsOfBothDrives();
  ExpectSchemaAndPlainRowsIntact();
  EXPECT_EQ(serial, SecondDrive("SerialNumber", "Adapter"));
  EXPECT_EQ("2200", SecondDrive("PowerOnHours", "PD"));
  EXPECT_EQ(serial, host_.Impl().m_Adapters.at(1).m_SerialNumber);
  EXPECT_EQ(family + ": SSDPED1K375GA", host_.Impl().m_PhysicalDrives.at(1).m_Name);
}

TEST_F(HostileTextTest, TextEndsAtAnEscapedNulAndInvalidUtf8IsKeptAsItCame) {
  const std::string broken = "Intel SSD \xc3\x28 \xff\xfe Series";
  GiveSecondDrive("PHNUL1@NUL@'); DELETE FROM PD; --", broken);
  StartAndHeatUp();
  ExpectWarningsOfBothDrives();
  ExpectSchemaAndPlainRowsIntact();
  EXPECT_EQ("PHNUL1", SecondDrive("SerialNumber", "Adapter"));
  EXPECT_EQ("2200", SecondDrive("PowerOnHours", "PD"));
  EXPECT_EQ(broken.substr(0, broken.size() - 7) + ": SSDPED1K375GA",
            host_.Impl().m_PhysicalDrives.at(1).m_Name);
}

TEST_F(HostileTextTest, RawNulByteMakesTheOutputInvalid) {
  GiveSecondDrive("PHRAW1@RAWNUL@2");
  host_.Create();
  std::vector<PI::CAdapterID> ids;
  // The inventory is not JSON.
  EXPECT_EQ(PI::ERR_API_INITIALIZATION_FAILED, host_.Initialize(&ids));
  EXPECT_TRUE(ids.empty());
  EXPECT_EQ(0, home_.CountRows("Adapter"));
}

}  // namespace
