// The plug-in, adapter and drive rows as the plug-in writes them into the host database of a
// test home, and what the writes report when the database fails.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DatabaseORM.h"
#include "KVL.h"
#include "TestHome.h"
#include "Database.h"
#include "RowWriter.h"

namespace {

using NAMESPACE_Varnock::CVedidEVUAdapter;
using NAMESPACE_Varnock::CVedidEVUPhysicalDrive;
using NAMESPACE_Varnock::CVedidEVUPlugin;
using NAMESPACE_Varnock::PluginSettings;
using NAMESPACE_Varnock::RowResult;
using NAMESPACE_Varnock::RowWriter;
using PI::PropertyValueToString;

constexpr uint64_t kPluginId = 0x0135000000000000ULL;
constexpr const char* kSettable =
    "{\"settableProperties\":[{\"name\":\"pollinterval\",\"formatStr\":\"<int32>[2..255, 1]\"}]}";

class PersistenceTest : public ::testing::Test {
 protected:
  using Row = std::map<std::string, std::string>;

  PersistenceTest() {
    plugin_.SetID(kPluginId);
    adapters_.reserve(8);  // AddAdapter hands out references into the list
    KVL::Misc::SetTraceFile(home_.Path("trace.log"));
    KVL::Misc::SetTraceMask(309, 128);
  }
  ~PersistenceTest() override {
    KVL::Misc::SetTraceMask(309, 0);
    KVL::Misc::SetTraceFile("");
  }

  // An adapter as the scan builds it for a P4800X-class drive.
  CVedidEVUAdapter& AddAdapter(const std::string& serial, int32_t number) {
    CVedidEVUAdapter adapter;
    adapter.SetID(kPluginId + 1 + adapters_.size());
    adapter.m_GlobalAdapterNumber = number;
    adapter.m_SerialNumber = serial;
    adapter.m_ModelNumber = adapter.m_RawModelNumber = "INTEL SSDPED1K375GA";
    adapter.m_Name = "Intel Optane SSD " + serial;
    adapter.m_DevicePath = "/dev/nvme0";
    adapter.m_Temperature = 35.7f;
    adapter.m_Status = 40150;
    adapter.m_Warnings = {40387, 40128};
    adapter.m_PowerOnHours = 1234;
    adapter.m_PercentageUsed = 3;
    adapter.m_AvailableSpare = 97;
    adapter.m_SpareThreshold = 120;
    adapter.m_DataUnitsRead = 1000;
    adapter.m_DataUnitsWritten = 2147484;  // just over one TiB
    adapter.m_RatedEndurance = 20;
    adapters_.push_back(adapter);
    return adapters_.back();
  }

  static CVedidEVUPhysicalDrive MakeDrive(const std::string& serial) {
    CVedidEVUPhysicalDrive drive;
    drive.SetID(kPluginId + 100);
    drive.m_SerialNumber = serial;
    drive.m_ModelNumber = "INTEL SSDPED1K375GA";
    drive.m_Name = "SSD DC P4800X";
    drive.m_CapacityMiB = drive.m_ReportedCapacityMiB = 357627;
    drive.m_Temperature = 41.9f;
    return drive;
  }

  // The rows of a table in key order, each as column name -> value text.
  std::vector<Row> Rows(const std::string& table) const {
    std::vector<std::string> names;
    for (const auto& column : home_.QueryDb("PRAGMA table_info(" + table + ")"))
      names.push_back(column[1]);
    std::vector<Row> rows;
    for (const auto& values : home_.QueryDb("SELECT * FROM " + table + " ORDER BY ID")) {
      Row row;
      for (size_t i = 0; i < names.size() && i < values.size(); ++i) row[names[i]] = values[i];
      rows.push_back(row);
    }
    return rows;
  }

  std::string Traces() const { return home_.ReadFile("trace.log"); }

  TestHome home_;
  RowWriter rows_{getDatabasePointer()};
  CVedidEVUPlugin plugin_;
  PluginSettings settings_{"", 30};
  std::vector<CVedidEVUAdapter> adapters_;
};

TEST_F(PersistenceTest, PluginRowCarriesIdentityAndClampedPollInterval) {
  EXPECT_EQ(RowResult::kWritten, rows_.UpdateObjectInDatabase(plugin_, settings_));
  EXPECT_EQ(0, home_.CountRows("Plugin"));  // an update never inserts

  settings_.pollInterval = 1;
  EXPECT_EQ(RowResult::kWritten, rows_.InsertObjectToDatabase(plugin_, settings_));
  auto rows = Rows("Plugin");
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ((Row{{"ID", "1"},
                 {"ToolVersion", "NULL"},
                 {"ObjectID", std::to_string(kPluginId)},
                 {"Name", "VedidEVU-Plugin"},
                 {"PollInterval", "2"},
                 {"SettableProperties", kSettable},
                 {"Spare1", "NULL"},
                 {"Spare2", "NULL"},
                 {"Address", "Plugin:ID=309"},
                 {"Vendor", "Intel, Inc."},
                 {"Version", "7.20.0"}}),
            rows[0]);
  EXPECT_NE(std::string::npos, Traces().find("Plugin VedidEVU inserted to db."));

  settings_.pollInterval = 300;
  settings_.toolVersion = "3.0.7";
  EXPECT_EQ(RowResult::kWritten, rows_.UpdateObjectInDatabase(plugin_, settings_));
  rows = Rows("Plugin");
  EXPECT_EQ("255", rows[0]["PollInterval"]);
  EXPECT_EQ("3.0.7", rows[0]["ToolVersion"]);
  EXPECT_EQ(RowResult::kWritten, rows_.DeleteObjectFromDatabase(plugin_));
  EXPECT_EQ(0, home_.CountRows("Plugin"));
}

TEST_F(PersistenceTest, AdapterRowTakesThePropertyValues) {
  CVedidEVUAdapter& adapter = AddAdapter("PHKS0001", 7);
  EXPECT_EQ(RowResult::kWritten, rows_.InsertObjectToDatabase(adapter));
  CVedidEVUAdapter& other = AddAdapter("A", 8);
  other.m_ModelNumber = other.m_RawModelNumber = "INTEL SSDPE2KX020T8";
  other.m_Status = 12345;
  other.m_Warnings.clear();
  EXPECT_EQ(RowResult::kWritten, rows_.InsertObjectToDatabase(other));
  const auto rows = Rows("Adapter");
  ASSERT_EQ(2u, rows.size());
  Row row = rows[0];
  EXPECT_EQ("7", row["AdapterNumber"]);
  EXPECT_EQ("localhost", row["HostName"]);
  EXPECT_EQ("Intel Optane SSD PHKS0001", row["Name"]);
  EXPECT_EQ("SSDPED1K375GA", row["Model"]);
  EXPECT_EQ(PropertyValueToString(40480), row["ModelSupport"]);
  EXPECT_EQ(PropertyValueToString(40150), row["Status"]);
  EXPECT_EQ("NULL", row["Bootloader"]);  // empty: not stored
  EXPECT_EQ("35", row["Temperature"]);
  EXPECT_EQ(PropertyValueToString(40387) + "?" + PropertyValueToString(40128), row["Warnings"]);
  EXPECT_NE(std::string::npos,
            Traces().find("Adapter (Intel Optane SSD PHKS0001) (7) inserted to db."));

  row = rows[1];
  EXPECT_EQ("NULL", row["Temperature"]);  // the family does not report it
  EXPECT_EQ(PropertyValueToString(40488), row["ModelSupport"]);
  EXPECT_EQ(PropertyValueToString(40024), row["Status"]);
  EXPECT_EQ("", row["Warnings"]);
}

TEST_F(PersistenceTest, DriveRowJoinsTheValuesOfItsAdapter) {
  AddAdapter("PHKS0001", 7);
  CVedidEVUPhysicalDrive drive = MakeDrive("PHKS0001");
  EXPECT_EQ(RowResult::kWritten, rows_.InsertObjectToDatabase(drive, adapters_));
  EXPECT_EQ(7, drive.m_GlobalAdapterNumber);

  Row row = Rows("PD").at(0);
  EXPECT_EQ("7", row["DriveNumber"]);
  EXPECT_EQ(PropertyValueToString(40200), row["Interface"]);
  EXPECT_EQ(PropertyValueToString(40099), row["Status"]);
  EXPECT_EQ("SSDPED1K375GA", row["Model"]);
  EXPECT_EQ("357627", row["CapacityMiB"]);
  EXPECT_EQ("41", row["Temperature"]);
  EXPECT_EQ("/dev/nvme0", row["DevicePath"]);
  EXPECT_EQ("Intel Optane SSD PHKS0001", row["AdapterName"]);
  EXPECT_EQ("1234", row["PowerOnHours"]);
  EXPECT_EQ("97.0", row["AvailableSpare"]);
  EXPECT_EQ("100", row["SpareThreshold"]);  // clamped
  EXPECT_EQ("500000", row["DataReadKiB"]);
  EXPECT_EQ("1073742000.0", row["DataWrittenKiB"]);
  EXPECT_EQ("1", row["DataWrittenTiB"]);
  EXPECT_EQ("5", row["EnduranceUsed"]);
  EXPECT_NE(std::string::npos, Traces().find("PD (SSD DC P4800X) inserted to db."));

  // Without an adapter of the drive's number, the adapter values are written as NULL.
  drive.m_GlobalAdapterNumber = 99;
  drive.m_CapacityMiB = 1;
  EXPECT_EQ(RowResult::kWritten, rows_.UpdateObjectInDatabase(drive, adapters_));
  row = Rows("PD").at(0);
  EXPECT_EQ("1", row["CapacityMiB"]);
  EXPECT_EQ("NULL", row["PowerOnHours"]);
  EXPECT_EQ("NULL", row["AdapterName"]);
  EXPECT_EQ(1, home_.CountRows("PD"));
}

TEST_F(PersistenceTest, DriveRowLeavesUnknownAdapterValuesNull) {
  CVedidEVUAdapter& adapter = AddAdapter("PHKS0001", 7);
  adapter.m_PowerOnHours = adapter.m_DataUnitsRead = ~0ULL;
  adapter.m_RatedEndurance = 0;
  CVedidEVUPhysicalDrive drive = MakeDrive("PHKS0001");
  drive.m_Name = "DC P4800X";  // the temperature is stored only for names starting with SSD
  EXPECT_EQ(RowResult::kWritten, rows_.InsertObjectToDatabase(drive, adapters_));
  Row row = Rows("PD").at(0);
  EXPECT_EQ("NULL", row["PowerOnHours"]);
  EXPECT_EQ("NULL", row["DataReadKiB"]);
  EXPECT_EQ("NULL", row["EnduranceUsed"]);  // a rating of 0 is not divided by
  EXPECT_EQ("NULL", row["Temperature"]);
}

TEST_F(PersistenceTest, SerialNumberHoldingQuotesIsStoredAndUpdatedLikeAnyOther) {
  const std::string hostile = "x'); DROP TABLE Adapter; --";
  CVedidEVUAdapter& adapter = AddAdapter(hostile, 7);
  CVedidEVUPhysicalDrive drive = MakeDrive(hostile);
  EXPECT_EQ(RowResult::kWritten, rows_.InsertObjectToDatabase(adapter));
  EXPECT_EQ(RowResult::kWritten, rows_.InsertObjectToDatabase(drive, adapters_));
  adapter.m_Temperature = 50;
  drive.m_CapacityMiB = 1;
  EXPECT_EQ(RowResult::kWritten, rows_.UpdateObjectInDatabase(adapter));
  EXPECT_EQ(RowResult::kWritten, rows_.UpdateObjectInDatabase(drive, adapters_));

  EXPECT_EQ(1, home_.CountRows("Adapter"));
  EXPECT_EQ(1, home_.CountRows("PD"));
  EXPECT_EQ(hostile, Rows("Adapter").at(0).at("SerialNumber"));
  EXPECT_EQ("50", Rows("Adapter").at(0).at("Temperature"));
  EXPECT_EQ(hostile, Rows("PD").at(0).at("SerialNumber"));
  EXPECT_EQ("1", Rows("PD").at(0).at("CapacityMiB"));
  EXPECT_EQ(RowResult::kWritten, rows_.InsertObjectToDatabase(plugin_, settings_));  // still writable
}

}  // namespace
