// The host database in a real SQLite file of a test home: creation, round trips through the
// table layer, the guard against schema changes, and the failures a broken file gives.
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Database.h"
#include "DatabaseORM.h"
#include "KVL.h"
#include "TestHome.h"

namespace {

using DatabaseORM::And;
using DatabaseORM::Equal;
using RaidDataModels::Adapter;
using RaidDataModels::PD;

class HostDatabaseTest : public ::testing::Test {
 protected:
  std::shared_ptr<DatabaseORM::storage_t> Open() {
    auto storage = getDatabasePointer();
    EXPECT_NE(nullptr, storage);
    return storage;
  }

  // The message of the DatabaseException that `sql` raises, or "ok".
  static std::string Run(DatabaseORM::storage_t& storage, const std::string& sql) {
    try {
      storage.dao->query(sql);
      return "ok";
    } catch (const DBEXCEPTION::DatabaseException& e) {
      return e.what();
    }
  }

  // Another connection takes the write lock, as another process of the host would.
  void HoldWriteLock() {
    ASSERT_EQ(SQLITE_OK, sqlite3_open(home_.Path("host.db").c_str(), &other_));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other_, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr));
  }
  ~HostDatabaseTest() override { sqlite3_close(other_); }

  std::vector<std::string> TableNames() const {
    std::vector<std::string> names;
    for (const auto& row : home_.QueryDb(
             "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%' "
             "ORDER BY name"))
      names.push_back(row[0]);
    return names;
  }

  TestHome home_;
  sqlite3* other_ = nullptr;
};

TEST_F(HostDatabaseTest, FirstUseCreatesTheSchemaInTheHome) {
  auto storage = Open();
  EXPECT_TRUE(home_.Exists("host.db"));
  EXPECT_EQ((std::vector<std::string>{"Adapter", "PD", "Plugin"}), TableNames());
  EXPECT_EQ("wal", home_.QueryDb("PRAGMA journal_mode")[0][0]);

  // The table's columns are the field map's, in order, with the key first.
  const auto columns = home_.QueryDb("PRAGMA table_info(Plugin)");
  std::vector<std::string> names;
  for (const auto& column : columns) names.push_back(column[1]);
  EXPECT_EQ((std::vector<std::string>{"ID", "ToolVersion", "ObjectID", "Name", "PollInterval",
                                      "SettableProperties", "Spare1", "Spare2", "Address",
                                      "Vendor", "Version"}),
            names);
  EXPECT_EQ(storage->fieldMapOf<PD>()->columnCount, home_.QueryDb("PRAGMA table_info(PD)").size());
  EXPECT_EQ(storage->fieldMapOf<Adapter>()->columnCount,
            home_.QueryDb("PRAGMA table_info(Adapter)").size());

  // One home, one shared storage.
  EXPECT_EQ(storage, Open());
}

TEST_F(HostDatabaseTest, RecordsSurviveARoundTrip) {
  auto storage = Open();
  PD drive;
  drive.HostName = "localhost";
  drive.SerialNumber = "it's";
  drive.ObjectID = 86975266816458753ULL;
  drive.AvailableSpare = 97.0;
  drive.DataWrittenKiB = 1234.5;
  drive.Features = {"a", "b"};
  EXPECT_EQ(1u, storage->insert(drive));
  drive.SerialNumber = "second";
  EXPECT_EQ(2u, storage->insert(drive));

  // A text NULL in a condition is compared as the text and never matches SQL NULL.
  EXPECT_TRUE(storage->select(And(Equal(&PD::HostName, "localhost"), Equal(&PD::Name, "NULL")))
                  .empty());

  const auto all = storage->select(Equal(&PD::HostName, "localhost"));
  ASSERT_EQ(2u, all.size());
  EXPECT_EQ(1, all[0].ID);
  EXPECT_EQ("it's", all[0].SerialNumber);
  EXPECT_EQ(86975266816458753ULL, all[0].ObjectID);
  EXPECT_EQ(97.0, all[0].AvailableSpare);
  EXPECT_EQ(1234.5, all[0].DataWrittenKiB);
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), all[0].Features);
  EXPECT_EQ("NULL", all[0].Name);
  EXPECT_EQ(RaidDataModels::NullInt, all[0].DriveNumber);
  EXPECT_EQ(RaidDataModels::NullReal, all[0].WearLevel);

  storage->remove(Equal(&PD::SerialNumber, "second"));
  EXPECT_EQ(1, home_.CountRows("PD"));
  // The key is predicted from the stored maximum, not read back.
  EXPECT_EQ(2u, storage->insert(drive));
}

TEST_F(HostDatabaseTest, QueryReturnsEveryValueOfEveryStatementAsText) {
  auto storage = Open();
  EXPECT_EQ((std::vector<std::string>{"1", "NULL", "x", "2.5"}),
            storage->dao->query("SELECT 1, NULL; -- note\n SELECT 'x', 2.5;  "));
  EXPECT_TRUE(storage->dao->query("").empty());
  EXPECT_EQ("near \"SELEC\": syntax error", Run(*storage, "SELEC 1"));
}

TEST_F(HostDatabaseTest, SchemaChangesAreRefused) {
  auto storage = Open();
  for (const char* sql :
       {"DROP TABLE Adapter", "CREATE TABLE Extra (a)", "ALTER TABLE PD ADD COLUMN Extra",
        "CREATE INDEX ByName ON PD (Name)", "CREATE TRIGGER T AFTER INSERT ON PD BEGIN "
        "DELETE FROM Adapter; END", "CREATE TEMP VIEW V AS SELECT 1",
        "ATTACH DATABASE ':memory:' AS other", "PRAGMA journal_mode = DELETE",
        "PRAGMA writable_schema = ON"})
    EXPECT_EQ("not authorized", Run(*storage, sql)) << sql;
  EXPECT_EQ("ok", Run(*storage, "PRAGMA foreign_keys = ON; SELECT COUNT(*) FROM PD;"));

  // The statements before a refused one have run; the schema is untouched.
  EXPECT_EQ("not authorized",
            Run(*storage, "INSERT INTO PD (Name) VALUES ('kept'); DROP TABLE Adapter;"));
  EXPECT_EQ((std::vector<std::string>{"Adapter", "PD", "Plugin"}), TableNames());
  EXPECT_EQ(1, home_.CountRows("PD"));
}

TEST_F(HostDatabaseTest, TransactionLeftOpenIsRolledBack) {
  auto storage = Open();
  EXPECT_EQ("a transaction left open by the statements was rolled back",
            Run(*storage, "BEGIN; INSERT INTO PD (Name) VALUES ('lost');"));
  EXPECT_EQ(0, home_.CountRows("PD"));
  EXPECT_EQ("ok", Run(*storage, "INSERT INTO PD (Name) VALUES ('kept');"));
  EXPECT_EQ(1, home_.CountRows("PD"));
}

TEST_F(HostDatabaseTest, LockedDatabaseFailsAfterTheBusyTimeout) {
  auto storage = Open();
  storage->dao->setBusyTimeout(0);
  HoldWriteLock();
  EXPECT_TRUE(storage->select(Equal(&PD::HostName, "localhost")).empty());  // reads go on
  try {
    storage->insert(PD());
    FAIL() << "insert into a locked database succeeded";
  } catch (const DBEXCEPTION::DatabaseException& e) {
    EXPECT_STREQ("Storage query exception thrown! (database is locked)", e.what());
  }
}

TEST_F(HostDatabaseTest, MissingDirectoryGivesAStorageThatAlwaysFails) {
  KVL::Misc::CKvlApplication::SetProcessPath(home_.Path("missing/varnock-host"));
  auto storage = Open();
  ASSERT_NE(nullptr, storage);
  EXPECT_FALSE(storage->dao->isOpen());
  EXPECT_EQ("The host database " + home_.Path("missing/host.db") +
                " is unavailable: unable to open database file",
            Run(*storage, "SELECT 1"));
  EXPECT_THROW(storage->insert(RaidDataModels::Plugin()), DBEXCEPTION::DatabaseException);
  EXPECT_THROW(storage->select(Equal(&Adapter::AdapterNumber, 1)), DBEXCEPTION::DatabaseException);
}

TEST_F(HostDatabaseTest, CorruptFileGivesAStorageThatAlwaysFails) {
  home_.WriteFile("host.db", std::string(4096, 'x'));
  auto storage = Open();
  EXPECT_EQ("The host database " + home_.Path("host.db") +
                " is unavailable: file is not a database",
            Run(*storage, "SELECT 1"));
  EXPECT_THROW(storage->update(Adapter()), DBEXCEPTION::DatabaseException);
}

TEST_F(HostDatabaseTest, ReadOnlyConnectionReadsButDoesNotWrite) {
  auto storage = std::make_shared<DatabaseORM::storage_t>(*Open());  // creates the file
  storage->dao = DatabaseWrapper::DatabaseDAO::Open(home_.Path("host.db"),
                                                    DatabaseWrapper::OpenMode::ReadOnly);
  EXPECT_TRUE(storage->select(Equal(&Adapter::HostName, "localhost")).empty());
  EXPECT_EQ("attempt to write a readonly database",
            Run(*storage, "INSERT INTO Adapter (Name) VALUES ('x')"));
}

}  // namespace
