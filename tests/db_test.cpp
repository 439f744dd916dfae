// The host database in a real SQLite file of a test home: creation, statements, the guard
// against schema changes, and the failures a broken file gives.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "Database.h"
#include "DatabaseORM.h"
#include "KVL.h"
#include "TestHome.h"

namespace {

using DatabaseORM::Equal;
using RaidDataModels::Adapter;
using RaidDataModels::PD;
using Bound = std::vector<DatabaseWrapper::BoundValue>;

class HostDatabaseTest : public ::testing::Test {
 protected:
  std::shared_ptr<DatabaseORM::storage_t> Open() {
    auto storage = getDatabasePointer();
    EXPECT_NE(nullptr, storage);
    return storage;
  }

  // The message of the DatabaseException that `sql` raises, or "ok"; with `values`, the
  // statement runs with them bound.
  static std::string Run(DatabaseORM::storage_t& storage, const std::string& sql,
                         const std::optional<Bound>& values = std::nullopt) {
    try {
      if (values)
        storage.dao->queryBound(sql, *values);
      else
        storage.dao->query(sql);
      return "ok";
    } catch (const DBEXCEPTION::DatabaseException& e) {
      return e.what();
    }
  }

  std::vector<std::string> TableNames() const {
    std::vector<std::string> names;
    for (const auto& row : home_.QueryDb(
             "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%' "
             "ORDER BY name"))
      names.push_back(row[0]);
    return names;
  }

  TestHome home_;
};

TEST_F(HostDatabaseTest, FirstUseCreatesTheSchemaInTheHome) {
  auto storage = Open();
  EXPECT_EQ((std::vector<std::string>{"Adapter", "PD", "Plugin"}), TableNames());
  EXPECT_EQ("wal", home_.QueryDb("PRAGMA journal_mode")[0][0]);
  EXPECT_EQ(storage->fieldMapOf<PD>()->columnCount, home_.QueryDb("PRAGMA table_info(PD)").size());
  EXPECT_EQ(storage, Open());  // one home, one shared storage
}

TEST_F(HostDatabaseTest, RowLookupsUseAnIndexAndATableOfAnotherShapeStillOpens) {
  Open();
  for (const char* lookup : {"SELECT * FROM Adapter a WHERE (a.AdapterNumber = 7 AND "
                             "a.HostName = 'localhost')",
                             "SELECT * FROM PD p WHERE (p.HostName = 'localhost' AND "
                             "p.SerialNumber = 'S1')"}) {
    const auto plan = home_.QueryDb(std::string("EXPLAIN QUERY PLAN ") + lookup);
    ASSERT_EQ(1u, plan.size()) << lookup;
    EXPECT_NE(std::string::npos, plan[0].back().find("USING INDEX")) << plan[0].back();
  }

  // A database whose Adapter table lacks the looked-up columns opens without the index.
  home_.WriteFile("other/.keep", "");
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(home_.Path("other/host.db").c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "CREATE TABLE Adapter (ID INTEGER PRIMARY KEY, Name TEXT)",
                                    nullptr, nullptr, nullptr));
  sqlite3_close(db);
  KVL::Misc::CKvlApplication::SetProcessPath(home_.Path("other/varnock-host"));
  auto other = Open();
  EXPECT_EQ("ok", Run(*other, "SELECT COUNT(*) FROM Adapter; SELECT COUNT(*) FROM PD;"));
}

TEST_F(HostDatabaseTest, QueryReturnsEveryValueOfEveryStatementAsText) {
  auto storage = Open();
  EXPECT_EQ((std::vector<std::string>{"1", "NULL", "x", "2.5"}),
            storage->dao->query("SELECT 1, NULL; -- note\n SELECT 'x', 2.5;  "));
  EXPECT_EQ(
      (std::vector<std::string>{"-9223372036854775808", "9223372036854775807", "0", "1.0e+20"}),
      storage->dao->query("SELECT -9223372036854775807 - 1, 9223372036854775807, 0, 1e20"));
  EXPECT_EQ("near \"SELEC\": syntax error", Run(*storage, "SELEC 1"));
  EXPECT_EQ("a transaction left open by the statements was rolled back",
            Run(*storage, "BEGIN; INSERT INTO PD (Name) VALUES ('lost');"));
  EXPECT_EQ(0, home_.CountRows("PD"));
}

TEST_F(HostDatabaseTest, BoundStatementTakesItsValuesWholeAndOneStatementOnly) {
  auto storage = Open();
  const std::string text("a'b\0c", 5);
  for (int round = 0; round < 2; ++round)  // the second run takes the kept statement
    EXPECT_EQ((std::vector<std::string>{"1", "NULL", "2.5", "5", "text"}),
              storage->dao->queryBound("SELECT ?, ?, ?, length(CAST(? AS BLOB)), typeof(?)",
                                       {int64_t{1}, nullptr, 2.5, text, std::string("'")}));
  EXPECT_EQ("the statement text holds more than one statement",
            Run(*storage, "SELECT ?; SELECT 1", Bound{nullptr}));
  EXPECT_EQ("the statement text holds no statement", Run(*storage, " -- none", Bound{}));
  EXPECT_EQ("wrong number of bound values (0 given, 1 expected)",
            Run(*storage, "SELECT ?", Bound{}));
  EXPECT_EQ("a transaction left open by the statements was rolled back",
            Run(*storage, "BEGIN", Bound{}));
  EXPECT_EQ("not authorized", Run(*storage, "DROP TABLE PD", Bound{}));
}

TEST_F(HostDatabaseTest, SchemaChangesAreRefused) {
  auto storage = Open();
  for (const char* sql :
       {"DROP TABLE Adapter", "CREATE TABLE Extra (a)", "ALTER TABLE PD ADD COLUMN Extra",
        "CREATE TRIGGER T AFTER INSERT ON PD BEGIN DELETE FROM Adapter; END",
        "ATTACH DATABASE ':memory:' AS other", "PRAGMA writable_schema = ON"})
    EXPECT_EQ("not authorized", Run(*storage, sql)) << sql;
  EXPECT_EQ("ok", Run(*storage, "PRAGMA foreign_keys = ON; SELECT COUNT(*) FROM PD;"));

  // The statements before a refused one have run; the schema is untouched.
  EXPECT_EQ("not authorized",
            Run(*storage, "INSERT INTO PD (Name) VALUES ('kept'); DROP TABLE Adapter;"));
  EXPECT_EQ((std::vector<std::string>{"Adapter", "PD", "Plugin"}), TableNames());
  EXPECT_EQ(1, home_.CountRows("PD"));
}

TEST_F(HostDatabaseTest, MissingDirectoryOrCorruptFileGivesAStorageThatAlwaysFails) {
  home_.WriteFile("corrupt/host.db", std::string(4096, 'x'));
  const std::pair<const char*, const char*> cases[] = {
      {"missing", "unable to open database file"}, {"corrupt", "file is not a database"}};
  for (const auto& [directory, reason] : cases) {
    KVL::Misc::CKvlApplication::SetProcessPath(home_.Path(std::string(directory) + "/varnock-host"));
    auto storage = Open();
    ASSERT_NE(nullptr, storage);
    EXPECT_EQ("The host database " + home_.Path(std::string(directory) + "/host.db") +
                  " is unavailable: " + reason,
              Run(*storage, "SELECT 1"));
    EXPECT_THROW(storage->insert(RaidDataModels::Plugin()), DBEXCEPTION::DatabaseException);
    EXPECT_THROW(storage->select(Equal(&Adapter::AdapterNumber, 1)),
                 DBEXCEPTION::DatabaseException);
  }
}

}  // namespace
