// The adapter and physical-drive objects as the host reads them: property lists, filters,
// omitted rows, operations and equality.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "KVL.h"
#include "KVLX.h"
#include "Module.h"
#include "TestHome.h"
#include "PluginTestPeer.h"

using namespace NAMESPACE_Varnock;

namespace {

constexpr uint64_t kMarch1st2024 = 1709251200000ULL;  // midnight UTC

class ObjectTest : public ::testing::Test {
 protected:
  ObjectTest() {
    KVL::Misc::SetClock(m_Clock);
    // A fully known, healthy drive of a model that reports its temperature.
    m_Adapter.SetID(0x0135000000000000ULL);
    m_Adapter.m_Name = "Tessor P4600 (PHLE7001)";
    m_Adapter.m_ModelNumber = m_Adapter.m_RawModelNumber = "INTEL SSDPEDME016T4";
    m_Adapter.m_AdapterNumber = -1;
    m_Adapter.m_Bus = 3;
    m_Adapter.m_SerialNumber = "PHLE7001";
    m_Adapter.m_Firmware = "8DV10171";
    m_Adapter.m_Bootloader = "8B1B0131";
    m_Adapter.m_DriverVersion = "1.3";
    m_Adapter.m_Temperature = 35.0f;
    m_Adapter.m_Warnings = {40452};
    m_Adapter.m_DataUnitsRead = 1000000;
    m_Adapter.m_DataUnitsWritten = 2147484;
    m_Adapter.m_PowerOnHours = 1000;
    m_Adapter.m_RatedEndurance = 1;

    m_Drive.SetID(0x0135000000000001ULL);
    m_Drive.m_Name = "SSD DC P3700: SSDPEDMD400G4";
    m_Drive.m_ModelNumber = "INTEL SSDPEDMD400G4";
    m_Drive.m_SerialNumber = "CVFT1234";
    m_Drive.m_SectorSize = 4096;
    m_Drive.m_CapacityMiB = 381554;
    m_Drive.m_Temperature = 41.0f;
  }
  ~ObjectTest() override { KVL::Misc::SetClock(KVL::Misc::MakeRealClock()); }

  std::vector<PI::CProperty> ShowAdapter(uint32_t filter = 1) {
    std::vector<PI::CProperty> properties(3);  // stale entries must go
    m_Plugin.GetAdapterProperties(m_Adapter, properties, filter);
    return properties;
  }
  std::vector<PI::CProperty> ShowDrive(uint32_t filter = 1) {
    std::vector<PI::CProperty> properties(3);
    m_Plugin.GetPhysicalDriveProperties(m_Drive, properties, filter);
    return properties;
  }
  static std::vector<uint32_t> Ids(const std::vector<PI::CProperty>& properties) {
    std::vector<uint32_t> ids;
    for (const PI::CProperty& p : properties) ids.push_back(p.m_ID);
    return ids;
  }
  // The rows of the full list that are missing.
  std::vector<uint32_t> MissingAdapterRows();

  TestHome m_Home;
  std::shared_ptr<KVL::Misc::ManualClock> m_Clock =
      std::make_shared<KVL::Misc::ManualClock>(kMarch1st2024);
  IPLUGINAPI_IMPL m_Made;
  PluginTestPeer m_Plugin{m_Made};
  CVedidEVUAdapter m_Adapter;
  CVedidEVUPhysicalDrive m_Drive;
};

const std::vector<uint32_t> kAllAdapterRows = {
    30007, 30003, 30063, 30158, 30120, 30017, 30479, 30037, 30038, 30039,
    30137, 30022, 30020, 30500, 30247, 30266, 30018, 30442, 30483, 30498,
    30486, 30487, 30488, 30489, 30490, 30494, 30468, 30189, 30165};

std::vector<uint32_t> ObjectTest::MissingAdapterRows() {
  const std::vector<uint32_t> shown = Ids(ShowAdapter());
  std::vector<uint32_t> missing;
  for (uint32_t id : kAllAdapterRows)
    if (std::find(shown.begin(), shown.end(), id) == shown.end()) missing.push_back(id);
  return missing;
}

TEST_F(ObjectTest, KnownAdapterShowsEveryRowInTableOrder) {
  const std::vector<PI::CProperty> p = ShowAdapter();
  ASSERT_EQ(kAllAdapterRows, Ids(p));
  EXPECT_EQ("SSDPEDME016T4", p[2].m_Text);
  EXPECT_EQ(~0ULL, p[4].m_UInt64);  // adapter number -1, widened with its sign
  EXPECT_EQ(35.0f, p[17].m_Float);
  EXPECT_EQ(512.0f, p[23].m_Float);  // 1,000,000 units read = 512 GB
  EXPECT_EQ(static_cast<uint32_t>(PI::UNIT_GB), p[23].m_Units);
  EXPECT_EQ(100, p[25].m_Int);  // 2,147,484 units written at rating 1
  EXPECT_EQ(std::vector<int32_t>{40452}, p[28].m_Values);
}

TEST_F(ObjectTest, FilterSelectsOneRowOrNothing) {
  EXPECT_EQ(std::vector<uint32_t>{30022}, Ids(ShowAdapter(PI::PROP_SERIAL_NUMBER)));
  EXPECT_TRUE(ShowAdapter(12345).empty());
  const std::pair<const char*, int32_t> models[] = {
      {"INTEL SSDPECME040T4", 40480}, {"INTEL SSDPE2KE016T7", 40488}, {"INTEL SSDPE", 40488}};
  for (const auto& [model, expected] : models) {
    m_Adapter.m_RawModelNumber = model;
    const std::vector<PI::CProperty> p = ShowAdapter(PI::PROP_MODEL_SUPPORT);
    ASSERT_EQ(1u, p.size()) << model;
    EXPECT_EQ(expected, p[0].m_Int) << model;
  }
}

TEST_F(ObjectTest, StatusCarriesItsStateCode) {
  struct Case {
    bool adapter;
    int32_t status;
    uint32_t stateCode;
  };
  const Case cases[] = {{true, 40095, 24001},  {true, 40150, 24002},  {true, 40024, 24000},
                        {false, 40095, 24177}, {false, 40180, 24189}, {false, 40099, 24183}};
  for (const Case& c : cases) {
    (c.adapter ? m_Adapter.m_Status : m_Drive.m_Status) = c.status;
    const std::vector<PI::CProperty> p =
        c.adapter ? ShowAdapter(PI::PROP_STATUS) : ShowDrive(PI::PROP_STATUS);
    ASSERT_EQ(1u, p.size()) << c.status;
    EXPECT_EQ(c.stateCode, p[0].m_StateCode) << c.status;
  }
}

TEST_F(ObjectTest, MissingValuesDropTheirRows) {
  const CVedidEVUAdapter known = m_Adapter;
  m_Adapter.m_PowerOnHours = kUnknown64;
  m_Adapter.m_DataUnitsRead = m_Adapter.m_DataUnitsWritten = kUnknown64;
  EXPECT_EQ((std::vector<uint32_t>{30483, 30498, 30489, 30490, 30494}), MissingAdapterRows());

  m_Adapter = known;
  m_Adapter.m_ModelNumber = m_Adapter.m_RawModelNumber = "INTEL SSDPE2";  // reports no temperature
  m_Adapter.m_Firmware.clear();
  m_Adapter.m_Bootloader.clear();
  m_Adapter.m_DriverVersion.clear();
  m_Adapter.m_Warnings.clear();
  m_Adapter.m_DataUnitsRead = 0;   // no size to show
  m_Adapter.m_RatedEndurance = 0;  // no share of a rating to show
  EXPECT_EQ((std::vector<uint32_t>{30020, 30500, 30018, 30442, 30489, 30494, 30165}),
            MissingAdapterRows());
}

TEST_F(ObjectTest, EqualityIgnoresDateAndChangeCount) {
  CVedidEVUAdapter a = m_Adapter;
  a.SetChangeCount(9);
  a.m_EndOfLifeDate = "2031-01-01";
  EXPECT_TRUE(a == m_Adapter);
  a.m_Warnings.push_back(40460);
  EXPECT_FALSE(a == m_Adapter);

  CVedidEVUPhysicalDrive d = m_Drive;
  d.SetChangeCount(4);
  EXPECT_TRUE(d == m_Drive);
  d.m_GlobalAdapterNumber = 7;
  EXPECT_TRUE(d != m_Drive);
}

TEST_F(ObjectTest, KnownDriveShowsEveryRowAndTemperatureOnlyUnderAnSsdName) {
  const std::vector<PI::CProperty> p = ShowDrive();
  ASSERT_EQ((std::vector<uint32_t>{30007, 30122, 30125, 30137, 30003, 30063, 30056, 30059, 30060,
                                   30017, 30461, 30462, 30460, 30069, 30022}),
            Ids(p));
  EXPECT_EQ(41.0f, p[13].m_Float);

  const std::pair<const char*, float> hidden[] = {
      {"Intel SSD DC P3700: SSDPEDMD400G4", 41.0f}, {"SS", 41.0f}, {"SSD", -1.0f}};
  for (const auto& [name, temperature] : hidden) {
    m_Drive.m_Name = name;
    m_Drive.m_Temperature = temperature;
    EXPECT_TRUE(ShowDrive(PI::PROP_DRIVE_TEMPERATURE).empty()) << name;
  }
}

TEST_F(ObjectTest, SecureEraseIsAllowedOnlyOnAWorkingDriveAndNeverRuns) {
  PI::COperation secureErase;
  secureErase.m_ID = PI::OP_NEEDS_HEALTHY_DRIVE;
  EXPECT_EQ(0u, m_Plugin.CheckPhysicalDriveOperation(m_Drive, secureErase));
  m_Drive.m_Status = 40095;
  EXPECT_EQ(PI::ERR_OPERATION_REFUSED, m_Plugin.CheckPhysicalDriveOperation(m_Drive, secureErase));
  EXPECT_EQ(PI::ERR_OPERATION_NOT_EXECUTABLE,
            m_Plugin.ExecutePhysicalDriveOperation(m_Drive, secureErase));
}

}  // namespace
