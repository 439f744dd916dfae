// The host database keeps read-only statements prepared by their text: a kept statement must
// answer exactly as a fresh one would, whatever happened to the rows or the file since.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Database.h"
#include "DatabaseORM.h"
#include "TestHome.h"

namespace {

using Values = std::vector<std::string>;

class KeptStatementTest : public ::testing::Test {
 protected:
  void SetUp() override { storage_ = getDatabasePointer(); }

  Values Query(const std::string& sql) { return storage_->dao->query(sql); }

  static constexpr const char* kNames = "SELECT Name FROM PD WHERE Vendor = 'v' ORDER BY Name";

  TestHome home_;
  std::shared_ptr<DatabaseORM::storage_t> storage_;
};

TEST_F(KeptStatementTest, SameTextSeesEveryWriteSinceItFirstRan) {
  EXPECT_EQ(Values{}, Query(kNames));
  Query("INSERT INTO PD (Name, Vendor) VALUES ('a', 'v')");
  EXPECT_EQ(Values{"a"}, Query(kNames));
  Query("UPDATE PD SET Name = 'b' WHERE Name = 'a'; "
        "INSERT INTO PD (Name, Vendor) VALUES ('c', 'v')");
  EXPECT_EQ((Values{"b", "c"}), Query(kNames));
  // A longer text that starts with a kept one runs as written.
  EXPECT_EQ((Values{"b", "c", "1"}), Query(std::string(kNames) + "; SELECT 1"));
  Query("DELETE FROM PD");
  EXPECT_EQ(Values{}, Query(kNames));
}

TEST_F(KeptStatementTest, ReplacedFileIsReadAfterwards) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows does not let the database file be removed while the host has it open";
#endif
  Query("INSERT INTO PD (Name, Vendor) VALUES ('old', 'v')");
  EXPECT_EQ(Values{"old"}, Query(kNames));
  for (const char* suffix : {"", "-wal", "-shm"})
    std::remove(home_.Path(std::string("host.db") + suffix).c_str());
  EXPECT_EQ(Values{}, Query(kNames));
  Query("INSERT INTO PD (Name, Vendor) VALUES ('new', 'v')");
  EXPECT_EQ(Values{"new"}, Query(kNames));
}

TEST_F(KeptStatementTest, MoreTextsThanAreKeptStillAnswerRight) {
  Query("INSERT INTO PD (Name, Vendor, SectorSize) VALUES ('a', 'v', 512)");
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 1500; ++i) {
      const Values expected = i == 512 ? Values{"a"} : Values{};
      ASSERT_EQ(expected, Query("SELECT Name FROM PD WHERE SectorSize = " + std::to_string(i)))
          << i;
    }
  }
}

}  // namespace
