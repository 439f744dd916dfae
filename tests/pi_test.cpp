// Plug-in interface library: value types, configuration files and the helper tables.

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "PI.h"
#include "TestHome.h"

namespace {

// --- Value types --------------------------------------------------------------------------

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

  TestHome m_Home;
  PI::CConfigFile m_File;
};

TEST_F(ConfigFileTest, ReadFindsTheKeyInTheHostHomeTrimmedAndSkipsComments) {
  EXPECT_EQ(m_Home.Path("Varnock.ini"), m_File.ResolvedPath());
  EXPECT_EQ("error 20000", Read("PollInterval"));  // no file
  Given("# PollInterval=1\n; PollInterval=2\n[Settings]\n  PollInterval =  15  \r\nEmpty=\n");
  EXPECT_EQ("15", Read("pollinterval"));
  EXPECT_EQ("error 20000", Read("Empty"));
  EXPECT_EQ("error 20000", Read("Missing"));
  Given("PollInterval=15\n" + std::string(1 << 20, '#'));
  EXPECT_EQ("error 20000", Read("PollInterval"));  // oversized
}

TEST_F(ConfigFileTest, WriteReplacesTheKeyAndKeepsEveryOtherLine) {
  Given("# poll seconds\nPollInterval = 30\n\nOther=x\nPollInterval=31\n");
  ASSERT_EQ(0u, Write("PollInterval", "45"));
  EXPECT_EQ("# poll seconds\nPollInterval=45\n\nOther=x\n", Text());
  EXPECT_EQ(3, std::distance(std::filesystem::directory_iterator(m_Home.Dir()),
                             std::filesystem::directory_iterator()))
      << "no temporary file left (bin, pci, Varnock.ini)";

  Given("Other=x");
  ASSERT_EQ(0u, Write("PollInterval", "10"));
  EXPECT_EQ("Other=x\nPollInterval=10\n", Text());
}

TEST_F(ConfigFileTest, ALeadingByteOrderMarkIsNoPartOfTheFirstKeyAndIsKept) {
  Given("\xEF\xBB\xBFPollInterval=7\r\nOther=x\r\n");
  EXPECT_EQ("7", Read("PollInterval"));
  ASSERT_EQ(0u, Write("PollInterval", "9"));
  EXPECT_EQ("\xEF\xBB\xBFPollInterval=9\r\nOther=x\r\n", Text());
}

TEST_F(ConfigFileTest, WriteThroughALinkKeepsTheLink) {
#ifdef _WIN32
  GTEST_SKIP() << "symbolic links need a privilege that a Windows service rarely has";
#endif
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
  m_File.SetFileName(m_Home.Path("no-such-dir/Varnock.ini"));
  EXPECT_EQ(20000u, Write("PollInterval", "1"));
}

// --- Tables -------------------------------------------------------------------------------

TEST(TableTest, BytesTakeTheLargestDecimalUnit) {
  struct Case {
    uint64_t bytes;
    bool converted;
    float value;
    uint32_t unit;
  };
  constexpr Case kCases[] = {
      {0, false, 0, 0},
      {~uint64_t{0}, false, 0, 0},
      {512000, true, 512.0f, PI::UNIT_KB},
      {1600000000000ull, true, 1.6f, PI::UNIT_TB},
      {2000000000000000000ull, true, 2000.0f, PI::UNIT_PB},
  };
  for (const Case& c : kCases) {
    float value = -1.0f;
    uint32_t unit = 0;
    EXPECT_EQ(c.converted, PI::CPluginHelper::ConvertBytesToOtherUnit(c.bytes, value, unit))
        << c.bytes;
    if (!c.converted) continue;
    EXPECT_FLOAT_EQ(c.value, value) << c.bytes;
    EXPECT_EQ(c.unit, unit) << c.bytes;
  }
}

TEST(TableTest, RemainingLifeIsTheSmallerPredictionAndNeverDividesByZero) {
  constexpr uint64_t kUnknown = ~uint64_t{0};
  constexpr uint64_t kTiB = uint64_t{1} << 40;
  struct Case {
    uint64_t hours, bytesWritten, percentLeft, ratingTiB;
    bool known;
    uint64_t remaining;
  };
  constexpr Case kCases[] = {
      {1000, kUnknown, 75, 1, true, 3000},  // 25 % used in 1000 hours; no rating
      {1000, kTiB, 90, 11, true, 9000},     // 10000 hours by rating, 9000 by the 90 % left
      {1000, kTiB, 100, 11, true, 10000},
      {1000, 0, 0, kUnknown, true, 0},  // worn out by either measure
      {1000, 12 * kTiB, 100, 11, true, 0},
      {0, kTiB, 50, 11, false, 0},  // nothing to go by
      {kUnknown, 0, 100, kUnknown, false, 0},
      {1, 1, 100, 10000, true, 876000},  // barely used: capped at about a century
  };
  for (const Case& c : kCases) {
    uint64_t hours = 99;
    EXPECT_EQ(c.known, PI::CPluginHelper::ComputeRemainingLifeTime(
                           c.hours, c.bytesWritten, c.percentLeft, c.ratingTiB, hours))
        << c.hours << " " << c.bytesWritten;
    EXPECT_EQ(c.remaining, hours) << c.hours << " " << c.bytesWritten;
  }
}

}  // namespace
