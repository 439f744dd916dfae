// The system scan over prepared inventories: objects, links, locations, status, names, sizes
// and identifiers across rescans.
#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "KVL.h"
#include "Module.h"
#include "TestHome.h"
#include "PluginTestPeer.h"

using namespace NAMESPACE_Varnock;

namespace {

constexpr uint64_t kFirstId = 309ULL << 48;

class ScanTest : public ::testing::Test {
 protected:
  ScanTest() {
    KVL::Misc::SetClock(m_Clock);
    // No tool: every health query fails at once and keeps the health prepared here.
    m_Plugin.m_ToolPath = m_Home.Path("bin/missing.exe");
  }
  ~ScanTest() override { KVL::Misc::SetClock(KVL::Misc::MakeRealClock()); }

  // Adds a healthy drive to the inventory, on the PCI bus when an address is given.
  AdapterInfo& AddDrive(const std::string& serial, const std::string& pciAddress = "") {
    if (!pciAddress.empty()) m_Home.AddPciDevice(pciAddress, "0x8086", "0x0a54");
    AdapterInfo info;
    info.number = m_Plugin.m_AdapterInfos.size() + 1;
    info.index = static_cast<uint32_t>(m_Plugin.m_AdapterInfos.size());
    info.serialNumber = serial;
    info.modelNumber = "INTEL SSDPE2KE016T7";
    info.productFamily = "Intel SSD DC P4600 Series";
    info.devicePath = "\\\\.\\PHYSICALDRIVE1";
    info.sectorSize = 512;
    info.maximumLba = 3125627568;
    info.nativeMaxLba = 3125627568;
    info.health.capacityBytes = 1600321314816;
    m_Plugin.m_AdapterInfos.push_back(info);
    m_Plugin.m_AdapterCount = m_Plugin.m_AdapterInfos.size();
    return m_Plugin.m_AdapterInfos.back();
  }
  // The first scan, into the plug-in's own lists (as Initialize runs it).
  void ScanFirst() {
    m_Plugin.ScanSystem(m_Plugin.m_Adapters, m_Plugin.m_PhysicalDrives, true);
    ASSERT_EQ(m_Plugin.m_AdapterInfos.size(), m_Plugin.m_Adapters.size());
  }
  // A later scan into fresh lists (as the worker runs it).
  void Rescan() {
    m_Plugin.ScanSystem(m_NewAdapters, m_NewDrives, false);
  }
  const CVedidEVUAdapter& Adapter(size_t i) { return m_Plugin.m_Adapters.at(i); }
  const CVedidEVUPhysicalDrive& Drive(size_t i) { return m_Plugin.m_PhysicalDrives.at(i); }

  TestHome m_Home;
  std::shared_ptr<KVL::Misc::ManualClock> m_Clock =
      std::make_shared<KVL::Misc::ManualClock>(1709251200000ULL);
  IPLUGINAPI_IMPL m_Made;
  PluginTestPeer m_Plugin{m_Made};
  std::vector<CVedidEVUAdapter> m_NewAdapters{CVedidEVUAdapter()};
  std::vector<CVedidEVUPhysicalDrive> m_NewDrives{CVedidEVUPhysicalDrive()};
};

TEST_F(ScanTest, EachRecordBecomesAnAdapterWithItsOnlyDrive) {
  Rescan();
  EXPECT_TRUE(m_NewAdapters.empty() && m_NewDrives.empty());

  AddDrive("PHLE0001", "0000:03:00.0");
  AddDrive("PHLE0002", "0001:00:00.0");  // the segment shows only at bus, device, function 0
  ScanFirst();
  ASSERT_EQ(2u, m_Plugin.m_PhysicalDrives.size());
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(kFirstId + 2 * i, Adapter(i).GetID());
    EXPECT_EQ(std::vector<uint64_t>{Drive(i).GetID()}, Adapter(i).GetChildren());
    EXPECT_EQ(std::vector<uint64_t>{Adapter(i).GetID()}, Drive(i).GetParents());
    EXPECT_EQ(Adapter(i).m_SerialNumber, Drive(i).m_SerialNumber);
  }
  EXPECT_EQ("PCI:Bus=3&Device=0&Function=0", Adapter(0).m_LocationText);
  EXPECT_EQ("PCI:Segment=1&Bus=0&Device=0&Function=0", Adapter(1).m_LocationText);
  EXPECT_EQ("PCI:Segment=1&Bus=0&Device=0&Function=0&ID=0", Drive(1).m_IdText);
  EXPECT_NE(Adapter(0).m_GlobalAdapterNumber, Adapter(1).m_GlobalAdapterNumber);
  EXPECT_EQ(".PHYSICALDRIVE1", Adapter(1).m_DevicePath);  // every backslash removed
  EXPECT_EQ(".PHYSICALDRIVE1", Drive(1).m_DevicePath);
}

TEST_F(ScanTest, StatusWarningsAndSpareStateFollowHealth) {
  struct Case {
    uint32_t criticalWarnings;
    bool readOnly, spareBelow, temperature;
    uint64_t normalizedEA;
    int32_t status;
    std::vector<int32_t> warnings;
    int32_t spareState, driveStatus;
  };
  const Case cases[] = {
      {8, true, false, false, 100, 40095, {40452}, 40252, 40095},
      {0, false, false, false, 99, 40150, {}, 40410, 40099},
      {0, false, false, false, 100, 40024, {}, 40252, 40099},
      {0, true, true, false, 100, 40024, {}, 40252, 40099},  // flags count only with warnings
      {8, true, false, false, 99, 40095, {40452}, 40411, 40095},
      {3, false, true, true, 101, 40150, {40459, 40460}, 40411, 40099},
      {9, true, true, false, 100, 40095, {40460, 40452}, 40252, 40095},
  };
  for (const Case& c : cases) {
    HealthInfo& h = AddDrive("S" + std::to_string(m_Plugin.m_AdapterInfos.size())).health;
    h.criticalWarnings = c.criticalWarnings;
    h.readOnlyMode = c.readOnly;
    h.spareBelowThreshold = c.spareBelow;
    h.temperatureWarning = c.temperature ? 1 : 0;
    h.normalizedEA = c.normalizedEA;
  }
  ScanFirst();
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(cases[i].status, Adapter(i).m_Status);
    EXPECT_EQ(cases[i].warnings, Adapter(i).m_Warnings);
    EXPECT_EQ(cases[i].spareState, Adapter(i).m_SpareState);
    EXPECT_EQ(cases[i].driveStatus, Drive(i).m_Status);
  }
}

TEST_F(ScanTest, DriveNamesCapacityAndProvisioning) {
  AddDrive("A");
  AdapterInfo& whole = AddDrive("B");
  whole.productFamily = "Intel Optane SSD DC P4800X";
  whole.modelNumber = "SSDPED1K375GA";
  whole.nativeMaxLba = 0;
  whole.maximumLba = 1562824368;
  AdapterInfo& unknown = AddDrive("C");
  unknown.nativeMaxLba = 0;
  unknown.health.capacityBytes = 0;
  ScanFirst();
  EXPECT_EQ("Intel SSD DC P4600: SSDPE2KE016T7", Drive(0).m_Name);
  EXPECT_EQ("Intel Optane SSD DC P4800X: SSDPED1K375GA", Drive(1).m_Name);
  EXPECT_EQ(1526185u, Drive(0).m_CapacityMiB);
  EXPECT_EQ(100u, Drive(0).m_UsablePercent);
  EXPECT_EQ(50u, Drive(1).m_UsablePercent);  // 763097 MiB of 1526185
  EXPECT_EQ(0u, Drive(2).m_CapacityMiB);
  EXPECT_EQ(0u, Drive(2).m_UsablePercent);
}

TEST_F(ScanTest, RescanKeepsKnownIdentifiersAndNumbersNewSerials) {
  AddDrive("KEEP", "0000:03:00.0");
  AddDrive("GONE", "0000:04:00.0");
  ScanFirst();
  m_Plugin.m_Adapters[0].SetChangeCount(7);
  m_Plugin.m_AdapterInfos.pop_back();
  AddDrive("NEW");
  Rescan();
  ASSERT_EQ(2u, m_NewAdapters.size());
  EXPECT_EQ(Adapter(0).GetID(), m_NewAdapters[0].GetID());
  EXPECT_EQ(7u, m_NewAdapters[0].GetChangeCount());
  EXPECT_EQ(Drive(0).GetID(), m_NewDrives[0].GetID());
  EXPECT_EQ(kFirstId + 4, m_NewAdapters[1].GetID());
  EXPECT_EQ(kFirstId + 5, m_NewDrives[1].GetID());

  // The first-scan flag ignores the known objects.
  m_Plugin.ScanSystem(m_NewAdapters, m_NewDrives, true);
  EXPECT_EQ(kFirstId + 6, m_NewAdapters[0].GetID());
  EXPECT_EQ(0u, m_NewAdapters[0].GetChangeCount());
}

// The texts a scan writes (dates, PCI locations, names) as printf writes them.
TEST(FormatTest, NumbersTakeTheirWidthAndTextsStayWhole) {
  EXPECT_EQ(" 999-01-02", Fmt("%4d-%02d-%02d", 999, 1, 2));
  EXPECT_EQ("12345-12-31", Fmt("%4d-%02d-%02d", 12345, 12, 31));
  EXPECT_EQ("PCI:Segment=18446744073709551615&Bus=0",
            Fmt("PCI:Segment=%d&Bus=%d", uint64_t{18446744073709551615ULL}, uint64_t{0}));
  EXPECT_EQ("-2147483648", Fmt("%d", int32_t{-2147483647 - 1}));
  EXPECT_EQ(std::string("a\0b (100%) 7%", 13), Fmt("%s (%s) %d%%", std::string("a\0b", 3),
                                                     std::string("100%"), 7));
  EXPECT_EQ("1.", Fmt("%s.%s", std::string("1"), std::string()));
}

}  // namespace
