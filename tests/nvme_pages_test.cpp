// The tool's decoding of NVMe admin pages, from pages recorded from QEMU's emulated controller
// and from those pages changed at the fields' limits.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "NvmePages.h"

namespace isdct {
namespace {

std::vector<uint8_t> Recorded(const std::string& name) {
  std::ifstream in(std::string(VARNOCK_FIXTURES_DIR) + "/nvme/" + name, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_FALSE(bytes.empty()) << name;
  return bytes;
}

void PutLe(std::vector<uint8_t>& page, size_t at, uint64_t value, size_t count) {
  for (size_t i = 0; i < count; ++i) page[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

SmartHealth Smart(const std::vector<uint8_t>& page) {
  SmartHealth health;
  EXPECT_TRUE(DecodeSmartHealth(page.data(), page.size(), health));
  return health;
}

TEST(RecordedPages, IdentifyControllerGivesTheEmulatedIdentity) {
  const std::vector<uint8_t> page = Recorded("identify-controller.bin");
  IdentifyController id;
  ASSERT_TRUE(DecodeIdentifyController(page.data(), page.size(), id));
  EXPECT_EQ(id.pciVendor, 0x8086);
  EXPECT_EQ(id.serial, "VNK0001");
  EXPECT_EQ(id.model, "QEMU NVMe Ctrl");
  EXPECT_EQ(id.firmware, "7.2.22");
  EXPECT_EQ(id.warningTemperatureK, 343);
  EXPECT_EQ(id.criticalTemperatureK, 373);
  EXPECT_GE(id.namespaceCount, 1u);
}

TEST(RecordedPages, IdentifyNamespaceGivesSizeAndBlockSize) {
  const std::vector<uint8_t> page = Recorded("identify-namespace.bin");
  IdentifyNamespace ns;
  ASSERT_TRUE(DecodeIdentifyNamespace(page.data(), page.size(), ns));
  EXPECT_EQ(ns.size, 1073741824u / 512);  // the 1 GiB disk behind it
  EXPECT_EQ(ns.capacity, ns.size);
  EXPECT_EQ(ns.formatIndex, 0u);
  EXPECT_EQ(ns.blockBytes, 512u);
  EXPECT_EQ(ns.formatCount, 8u);
}

TEST(RecordedPages, SmartHealthOfTheEmulatedController) {
  const SmartHealth health = Smart(Recorded("smart-health.bin"));
  EXPECT_EQ(health.criticalWarning, 0);
  EXPECT_EQ(health.compositeTemperatureK, 323);
  EXPECT_EQ(KelvinToCelsius(health.compositeTemperatureK), 50);
  EXPECT_EQ(health.availableSpare, 0u);
  EXPECT_EQ(health.percentageUsed, 0u);
  EXPECT_EQ(HexCounter(health.powerOnHours), "0x0000000000000000");
  EXPECT_TRUE(health.sensorTemperaturesK.empty());
}

TEST(RecordedPages, ShortPagesAreRejectedAndLeaveTheResultAlone) {
  const std::vector<uint8_t> smart = Recorded("smart-health.bin");
  SmartHealth health;
  health.compositeTemperatureK = 7;
  EXPECT_FALSE(DecodeSmartHealth(smart.data(), kLogPageBytes - 1, health));
  EXPECT_EQ(health.compositeTemperatureK, 7);
  const std::vector<uint8_t> identify = Recorded("identify-controller.bin");
  IdentifyController id;
  EXPECT_FALSE(DecodeIdentifyController(identify.data(), kLogPageBytes, id));
  EXPECT_TRUE(id.serial.empty());
}

TEST(SmartHealthLimits, CountersPast64BitsAreShownClamped) {
  std::vector<uint8_t> page = Recorded("smart-health.bin");
  PutLe(page, 32, 0x0123456789ABCDEFull, 8);  // data units read, low half
  PutLe(page, 40, 1, 8);                      // ... and a high half: past 64 bits
  PutLe(page, 48, UINT64_MAX, 8);             // data units written: the largest 64-bit value
  PutLe(page, 160, 0x2A, 8);                  // media errors: an ordinary small count
  const SmartHealth health = Smart(page);
  EXPECT_TRUE(health.dataUnitsRead.clamped());
  EXPECT_EQ(health.dataUnitsRead.low, 0x0123456789ABCDEFull);
  EXPECT_EQ(HexCounter(health.dataUnitsRead), "0xFFFFFFFFFFFFFFFF");
  EXPECT_FALSE(health.dataUnitsWritten.clamped());
  EXPECT_EQ(HexCounter(health.dataUnitsWritten), "0xFFFFFFFFFFFFFFFF");
  EXPECT_EQ(HexCounter(health.mediaErrors), "0x000000000000002A");
}

TEST(SmartHealthLimits, ZeroKelvinIsNotReportedAndSensorsSkipIt) {
  std::vector<uint8_t> page = Recorded("smart-health.bin");
  PutLe(page, 1, 0, 2);
  PutLe(page, 200, 300, 2);  // sensor 1
  PutLe(page, 204, 310, 2);  // sensor 3; sensor 2 not reported
  const SmartHealth health = Smart(page);
  EXPECT_EQ(health.compositeTemperatureK, 0);
  EXPECT_EQ(health.sensorTemperaturesK, (std::vector<int>{300, 310}));
}

TEST(SmartHealthLimits, PercentagesAndMinutesKeepWhatTheControllerReports) {
  std::vector<uint8_t> page = Recorded("smart-health.bin");
  page[0] = kWarnSpare | kWarnReadOnly | kWarnVolatileBackup;
  page[3] = 150;  // spare above 100 %
  page[4] = 10;
  page[5] = 255;  // 255 % used or more
  PutLe(page, 192, UINT32_MAX, 4);
  PutLe(page, 196, 1, 4);
  const SmartHealth health = Smart(page);
  EXPECT_EQ(health.criticalWarning, 0x19);
  EXPECT_EQ(health.availableSpare, 150u);
  EXPECT_EQ(health.availableSpareThreshold, 10u);
  EXPECT_EQ(health.percentageUsed, 255u);
  EXPECT_EQ(health.warningTemperatureMinutes, UINT32_MAX);
  EXPECT_EQ(health.criticalTemperatureMinutes, 1u);
}

TEST(VendorPages, TemperatureStatisticsWordsAreSigned) {
  std::vector<uint8_t> page(kLogPageBytes, 0);
  PutLe(page, 0, 41, 8);
  PutLe(page, 88, static_cast<uint64_t>(-3), 8);
  TemperatureStatistics statistics;
  ASSERT_TRUE(DecodeTemperatureStatistics(page.data(), page.size(), statistics));
  EXPECT_EQ(statistics.currentCelsius, 41);
  EXPECT_EQ(statistics.offsetCelsius, -3);
}

TEST(VendorPages, AttributeTableEndsAtIdentifierZeroOrAtThePageEnd) {
  std::vector<uint8_t> page(kLogPageBytes, 0);
  page[0] = 0xEA;
  page[3] = 97;
  PutLe(page, 5, 0xFFFFFFFFFFFFull, 6);
  page[11] = 0xEE;  // the byte after the raw value is not part of it
  page[12] = 0xAD;
  page[15] = 100;
  std::vector<SmartAttribute> attributes;
  ASSERT_TRUE(DecodeSmartAttributes(page.data(), page.size(), attributes));
  ASSERT_EQ(attributes.size(), 2u);
  EXPECT_EQ(attributes[0].normalized, 97u);
  EXPECT_EQ(attributes[0].raw, 0xFFFFFFFFFFFFull);
  EXPECT_EQ(attributes[1].id, 0xAD);

  for (size_t at = 0; at + 12 <= kLogPageBytes; at += 12) page[at] = 0x01;
  ASSERT_TRUE(DecodeSmartAttributes(page.data(), page.size(), attributes));
  EXPECT_EQ(attributes.size(), kLogPageBytes / 12);
}

TEST(Status, RefusalsNameTheirCodeAndWhetherToRetry) {
  EXPECT_EQ(DescribeStatus(0x4109), "status 0x4109 (Invalid Log Page), do not retry");
  EXPECT_EQ(DescribeStatus(0x0002), "status 0x0002 (Invalid Field in Command)");
  EXPECT_EQ(DescribeStatus(0x0ABC), "status 0x0ABC");
}

}  // namespace
}  // namespace isdct
