// Plug-in interface library: value types, configuration files and the helper tables.

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "PI.h"
#include "TestHome.h"

namespace {

// --- Value types --------------------------------------------------------------------------

TEST(ValueTypeTest, BoundedValueReadsBackAndOtherKindsDoNot) {
  PI::CProperty bounded(30005, true);
  bounded.SetValue(30, 2, 255, 1);
  int32_t value = 0, minimum = 0, maximum = 0, step = 0;
  ASSERT_TRUE(bounded.GetValue(value, minimum, maximum, step));
  EXPECT_EQ((std::vector<int32_t>{30, 2, 255, 1}),
            (std::vector<int32_t>{value, minimum, maximum, step}));

  PI::CProperty text(30003, false);
  text.SetValue("SSD 1");
  value = -7;
  EXPECT_FALSE(text.GetValue(value, minimum, maximum, step));
  EXPECT_EQ(-7, value);
}

TEST(ValueTypeTest, PropertiesCompareByEveryFieldAndValue) {
  PI::CProperty a(30017, false), b(30017, false);
  a.SetValue(40024, {40024, 40150, 40095});
  b.SetValue(40024, {40024, 40150, 40095});
  EXPECT_EQ(a, b);
  b.SetValue(40150, {40024, 40150, 40095});
  EXPECT_NE(a, b);
  b.SetValue(uint64_t{40024});  // same number, other kind
  EXPECT_NE(a, b);
  b = a;
  b.SetUnits(PI::UNIT_PERCENT);
  EXPECT_NE(a, b);
}

TEST(ValueTypeTest, ObjectsCompareByIdentifierAndTypeOnly) {
  PI::CObject a, b;
  a.SetID(0x135000000000001ull);
  a.m_Type = 19038;
  b = a;
  b.GetChildren().push_back(7);
  b.IncrementChangeCount();
  b.m_Properties.emplace_back(30003, false);
  EXPECT_EQ(a, b);
  b.m_Type = 19018;
  EXPECT_NE(a, b);
}

TEST(ValueTypeTest, OperationTakesTheDescriptionWords) {
  const PI::_OPERATION_DESCRIPTION description = {50002, 1, 2, 3, 4, 1, 6, 7, 8};
  PI::COperation operation(description);
  EXPECT_EQ(50002u, operation.GetID());
  EXPECT_EQ(50002u, operation.m_ID2);
  EXPECT_EQ((std::vector<uint32_t>{1, 2, 3, 4, 1, 6, 7, 8}),
            std::vector<uint32_t>(operation.m_Words, operation.m_Words + 8));
  PI::CEvent event;
  event.m_Code = 7;
  operation.SetEvents({event});
  EXPECT_FALSE(operation == PI::COperation(description));
}

TEST(ValueTypeTest, GlobalAdapterNumberPacksThePciLocation) {
  PI::CGlobalAdapterID id("localhost");
  id.SetSegment(1);
  id.SetBus(0x81);
  id.SetDevice(31);
  id.SetFunction(7);
  id.GenerateUniqueAdapterNumber();
  EXPECT_EQ(0x181FF, id.GetGlobalAdapterNumber());

  id.SetSegment(0xFFFF);
  id.GenerateUniqueAdapterNumber();
  EXPECT_GT(id.GetGlobalAdapterNumber(), 0);
}

// --- Configuration files ------------------------------------------------------------------

class ConfigFileTest : public ::testing::Test {
 protected:
  ConfigFileTest() { m_File.SetFileName("Varnock.ini"); }
  void Given(const std::string& text) { m_Home.WriteFile("Varnock.ini", text); }
  // The key's value, or "error <code>".
  std::string Read(const std::string& key) {
    std::string value;
    const uint32_t code = m_File.ReadKeyValue(key, value, -1, -1);
    return code == 0 ? value : "error " + std::to_string(code);
  }
  uint32_t Write(const std::string& key, const std::string& value) {
    return m_File.WriteKeyValue(key, value, -1, -1);
  }
  std::string Text() { return m_Home.ReadFile("Varnock.ini"); }
  size_t FilesInHome() {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_Home.Dir())) {
      (void)entry;
      ++n;
    }
    return n;
  }

  TestHome m_Home;
  PI::CConfigFile m_File;
};

TEST_F(ConfigFileTest, BareNameResolvesInTheHostHome) {
  EXPECT_EQ(m_Home.Path("Varnock.ini"), m_File.ResolvedPath());
}

TEST_F(ConfigFileTest, ReadTrimsAndSkipsComments) {
  Given("# PollInterval=1\n; PollInterval=2\n[Settings]\n  PollInterval =  15  \r\nEmpty=\n");
  EXPECT_EQ("15", Read("PollInterval"));
  EXPECT_EQ("15", Read("pollinterval"));
  EXPECT_EQ("error 20000", Read("Empty"));
  EXPECT_EQ("error 20000", Read("Missing"));
}

TEST_F(ConfigFileTest, ReadFailsForMissingOrOversizedFiles) {
  EXPECT_EQ("error 20000", Read("PollInterval"));
  Given("PollInterval=15\n" + std::string(1 << 20, '#'));
  EXPECT_EQ("error 20000", Read("PollInterval"));
}

TEST_F(ConfigFileTest, WriteReplacesTheKeyAndKeepsEveryOtherLine) {
  Given("# poll seconds\nPollInterval = 30\n\nOther=x\nPollInterval=31\n");
  ASSERT_EQ(0u, Write("PollInterval", "45"));
  EXPECT_EQ("# poll seconds\nPollInterval=45\n\nOther=x\n", Text());
  EXPECT_EQ("45", Read("PollInterval"));
  EXPECT_EQ(3u, FilesInHome()) << "no temporary file left (bin, pci, Varnock.ini)";
}

TEST_F(ConfigFileTest, WriteAppendsAMissingKeyOrCreatesTheFile) {
  Given("Other=x");
  ASSERT_EQ(0u, Write("PollInterval", "10"));
  EXPECT_EQ("Other=x\nPollInterval=10\n", Text());

  PI::CConfigFile custom;
  custom.SetFileName("CustomOpts.ini");
  ASSERT_EQ(0u, custom.WriteKeyValue("IntelPCIeTopologyRefreshRate", "0"));
  EXPECT_EQ("IntelPCIeTopologyRefreshRate=0\n", m_Home.ReadFile("CustomOpts.ini"));
}

TEST_F(ConfigFileTest, WriteThroughALinkKeepsTheLink) {
  m_Home.WriteFile("etc/Varnock.ini", "PollInterval=30\n");
  std::filesystem::create_symlink(m_Home.Path("etc/Varnock.ini"), m_Home.Path("Varnock.ini"));
  ASSERT_EQ(0u, Write("PollInterval", "12"));
  EXPECT_TRUE(std::filesystem::is_symlink(m_Home.Path("Varnock.ini")));
  EXPECT_EQ("PollInterval=12\n", m_Home.ReadFile("etc/Varnock.ini"));
}

TEST_F(ConfigFileTest, WriteRefusesBadTextAndUnwritablePlaces) {
  Given("PollInterval=30\n");
  EXPECT_EQ(20000u, Write("Poll=Interval", "1"));
  EXPECT_EQ(20000u, Write("PollInterval", "1\nInjected=1"));
  EXPECT_EQ(20000u, Write("", "1"));
  EXPECT_EQ("PollInterval=30\n", Text());

  PI::CConfigFile elsewhere;
  elsewhere.SetFileName(m_Home.Path("no-such-dir/Varnock.ini"));
  EXPECT_EQ(20000u, elsewhere.WriteKeyValue("PollInterval", "1"));
}

// --- Tables -------------------------------------------------------------------------------

TEST(TableTest, ValueTextsAndUnits) {
  struct Row {
    int32_t value;
    const char* text;
  };
  constexpr Row kRows[] = {
      {40024, "OK"},          {40150, "Warning"},         {40095, "Critical"},
      {40099, "OK"},          {40180, "Rebuilding"},      {40252, "Normal"},
      {40410, "Below threshold"}, {40411, "Read only"},   {40473, "OK"},
      {40474, "Failed"},      {40480, "Supported"},       {40488, "Not supported"},
      {40200, "NVMe"},        {40293, "SSD"},             {40452, "Read-only mode"},
      {40459, "Temperature warning"}, {40460, "Spare below threshold"},
      {40449, "Volatile memory backup failed"}, {40487, "Reliability degraded"},
      {12345, "12345"},       {-1, "-1"},
  };
  for (const Row& row : kRows) EXPECT_EQ(row.text, PI::PropertyValueToString(row.value));
  EXPECT_EQ("GB", PI::UnitName(PI::UNIT_GB));
  EXPECT_EQ("%", PI::UnitName(PI::UNIT_PERCENT));
  EXPECT_EQ("", PI::UnitName(PI::UNIT_NONE));
  EXPECT_EQ("", PI::UnitName(4711));
}

TEST(TableTest, BytesTakeTheLargestDecimalUnit) {
  float value = -1.0f;
  uint32_t unit = 0;
  EXPECT_FALSE(PI::CPluginHelper::ConvertBytesToOtherUnit(0, value, unit));
  EXPECT_FALSE(PI::CPluginHelper::ConvertBytesToOtherUnit(~uint64_t{0}, value, unit));
  ASSERT_TRUE(PI::CPluginHelper::ConvertBytesToOtherUnit(512000, value, unit));
  EXPECT_FLOAT_EQ(512.0f, value);
  EXPECT_EQ(PI::UNIT_KB, unit);
  ASSERT_TRUE(PI::CPluginHelper::ConvertBytesToOtherUnit(1600000000000ull, value, unit));
  EXPECT_FLOAT_EQ(1.6f, value);
  EXPECT_EQ(PI::UNIT_TB, unit);
  ASSERT_TRUE(PI::CPluginHelper::ConvertBytesToOtherUnit(2000000000000000000ull, value, unit));
  EXPECT_FLOAT_EQ(2000.0f, value);
  EXPECT_EQ(PI::UNIT_PB, unit);
}

TEST(TableTest, RemainingLifeIsTheSmallerPrediction) {
  using PI::CPluginHelper;
  const uint64_t unknown = ~uint64_t{0};
  const uint64_t tib = uint64_t{1} << 40;
  uint64_t hours = 99;
  // 25 % used in 1000 hours: 3000 hours for the other 75 %; no rating.
  EXPECT_TRUE(CPluginHelper::ComputeRemainingLifeTime(1000, unknown, 75, 1, hours));
  EXPECT_EQ(3000u, hours);
  // 1 TiB of 11 written in 1000 hours: 10000 hours by rating, 9000 by the 90 % left.
  EXPECT_TRUE(CPluginHelper::ComputeRemainingLifeTime(1000, tib, 90, 11, hours));
  EXPECT_EQ(9000u, hours);
  EXPECT_TRUE(CPluginHelper::ComputeRemainingLifeTime(1000, tib, 100, 11, hours));
  EXPECT_EQ(10000u, hours);
  // Worn out by either measure.
  EXPECT_TRUE(CPluginHelper::ComputeRemainingLifeTime(1000, 0, 0, unknown, hours));
  EXPECT_EQ(0u, hours);
  EXPECT_TRUE(CPluginHelper::ComputeRemainingLifeTime(1000, 12 * tib, 100, 11, hours));
  EXPECT_EQ(0u, hours);
  // Nothing to go by: hours still set.
  hours = 99;
  EXPECT_FALSE(CPluginHelper::ComputeRemainingLifeTime(0, tib, 50, 11, hours));
  EXPECT_EQ(0u, hours);
  hours = 99;
  EXPECT_FALSE(CPluginHelper::ComputeRemainingLifeTime(unknown, 0, 100, unknown, hours));
  EXPECT_EQ(0u, hours);
  // A barely used drive: capped at about a century.
  EXPECT_TRUE(CPluginHelper::ComputeRemainingLifeTime(1, 1, 100, 10000, hours));
  EXPECT_EQ(876000u, hours);
}

TEST(TableTest, LifeTimeTableCoversTheDriveFamilies) {
  const std::vector<PI::CNVMeLifeTimeData>& table = PI::GetLifeTimeDataNVMe();
  for (const PI::CNVMeLifeTimeData& row : table) {
    EXPECT_GE(row.m_Length, 12u) << row.m_Model;
    EXPECT_LE(row.m_Length, row.m_Model.size()) << row.m_Model;
    EXPECT_GT(row.m_Endurance, 1u) << row.m_Model;
  }
  // The first matching row for a model, searched as the scan does.
  auto rating = [&table](const std::string& model) -> uint64_t {
    for (const PI::CNVMeLifeTimeData& row : table)
      if (model.find(row.m_Model.substr(0, row.m_Length)) != std::string::npos)
        return row.m_Endurance;
    return 0;
  };
  for (const char* model : {"INTEL SSDPE2MD400G4", "INTEL SSDPEDMD800G4", "INTEL SSDPE2KX040T7",
                            "INTEL SSDPE2KE016T8", "INTEL SSDPED1K375GA", "INTEL SSDPE21K750GA"})
    EXPECT_GT(rating(model), 1000u) << model;
  EXPECT_EQ(rating("INTEL SSDPE2KE016T7"), rating("INTEL SSDPE2KE016T8"));
  EXPECT_EQ(0u, rating("INTEL SSDSC2BB480G4"));
}

}  // namespace
