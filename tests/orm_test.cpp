// The table layer against a real host database file: what each kind of value is stored as, rows
// found and removed by conditions, and failures; row decoding and key prediction against a
// data-access object that answers with prepared results.
#include <sqlite3.h>

#include <cmath>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DatabaseORM.h"
#include "TestHome.h"

namespace {

using DatabaseORM::And;
using DatabaseORM::Equal;
using Texts = std::vector<std::string>;

// Stands behind the real interface: answers from a queue, can fail.
class ScriptedDAO : public DatabaseWrapper::DatabaseDAO {
 public:
  std::vector<std::string> queryBound(const std::string&,
                                      const std::vector<DatabaseWrapper::BoundValue>&) override {
    if (!failure.empty()) throw DBEXCEPTION::DatabaseException(failure);
    if (answers.empty()) return {};
    std::vector<std::string> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::deque<std::vector<std::string>> answers;
  std::string failure;
};

// A model with a member of every kind.
struct Sample {
  int32_t ID = RaidDataModels::NullInt;
  int32_t N = RaidDataModels::NullInt;
  std::string H = RaidDataModels::NullText;
  RaidDataModels::TextList Tags;
  uint64_t Big = RaidDataModels::NullInt64;
  double Ratio = RaidDataModels::NullReal;
};

// The message of the DatabaseException that `write` throws, or "ok".
std::string What(const std::function<void()>& write) {
  try {
    write();
    return "ok";
  } catch (const DBEXCEPTION::DatabaseException& e) {
    return e.what();
  }
}

// Adds the table "Samples" (alias A) to the storage: ID (auto-increment), N, H, Tags, Big, Ratio.
void AddSamples(DatabaseORM::storage_t& storage) {
  auto table = std::make_shared<DatabaseORM::table_t<Sample>>();
  table->tableName = "Samples";
  table->enforceForeignKeys = 1;
  auto map = std::make_shared<RaidDataModels::dbModelFieldsMap<Sample>>();
  map->alias = "A";
  auto column = [&](const char* name, auto member, RaidDataModels::ValueKind kind) {
    auto entry = std::make_shared<DatabaseORM::column_t>();
    entry->name = name;
    entry->valueKind = static_cast<uint32_t>(kind);
    entry->autoIncrement = table->columns.empty() ? 1 : 0;
    table->columns.push_back(entry);
    map->add(name, member);
  };
  using RaidDataModels::ValueKind;
  column("ID", &Sample::ID, ValueKind::Int);
  column("N", &Sample::N, ValueKind::Int);
  column("H", &Sample::H, ValueKind::Text);
  column("Tags", &Sample::Tags, ValueKind::TextList);
  column("Big", &Sample::Big, ValueKind::Int64);
  column("Ratio", &Sample::Ratio, ValueKind::Real);
  storage.tables.push_back(table);
  storage.fieldMaps.push_back(map);
}

// A storage of the table Samples in the host database of a test home. Its columns have no
// declared type, so a value keeps the type that it was bound (or its text read) as.
class StoredRowsTest : public ::testing::Test {
 protected:
  StoredRowsTest() {
    sqlite3* db = nullptr;
    sqlite3_open(home_.Path("host.db").c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE Samples (ID INTEGER PRIMARY KEY AUTOINCREMENT, N, H, Tags, "
                 "Big, Ratio)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    storage_.dao = DatabaseWrapper::DatabaseDAO::Open(home_.Path("host.db"));
    AddSamples(storage_);
  }

  // For each column of row `id`: whether it holds exactly what SQLite reads from the literal.
  Texts Matches(int id, const Texts& literals) const {
    const char* columns[] = {"N", "H", "Tags", "Big", "Ratio"};
    std::string sql = "SELECT ";
    for (size_t i = 0; i < literals.size(); ++i)
      sql += std::string(i ? ", " : "") + "typeof(" + columns[i] + ") = typeof(" + literals[i] +
             ") AND " + columns[i] + " IS " + literals[i];
    const auto rows = home_.QueryDb(sql + " FROM Samples WHERE ID = " + std::to_string(id));
    return rows.empty() ? Texts{"no row"} : rows[0];
  }

  TestHome home_;
  DatabaseORM::storage_t storage_;
};

TEST_F(StoredRowsTest, ValuesAreStoredAsSqliteReadsTheirText) {
  using namespace RaidDataModels;
  struct Case {
    Sample record;
    Texts literals;  // the text of each value from N to Ratio
  };
  const Case cases[] = {
      {{0, 5, "a'b", {"x", "y"}, 7, 2.5}, {"5", "'a''b'", "'x?y'", "7", "2.500000"}},
      {{0, NullInt, NullText, {NullText}, NullInt64, NullReal},
       {"NULL", "NULL", "NULL", "NULL", "NULL"}},
      {{0, -2147483647, "null", {}, 9223372036854775807ULL, 0.1},
       {"-2147483647", "'null'", "''", "9223372036854775807", "0.100000"}},
      {{0, 0, "NULL ", {"NULL"}, 9223372036854775808ULL, -4e-7},
       {"0", "'NULL '", "NULL", "9223372036854775808", "-0.000000"}},
      {{0, 1, "", {"a'", "NULL"}, 18446744073709551614ULL, 1e22},
       {"1", "''", "'a''?NULL'", "18446744073709551614", "10000000000000000000000.000000"}},
  };
  const Texts allMatch(5, "1");
  int id = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(static_cast<uint32_t>(++id), storage_.insert(c.record));
    EXPECT_EQ(allMatch, Matches(id, c.literals)) << "insert " << id;
  }
  // Rewriting row 1 with the values of every case stores the same as inserting them.
  id = 0;
  for (const Case& c : cases) {
    Sample rewrite = c.record;
    rewrite.ID = 1;
    storage_.update(rewrite);
    EXPECT_EQ(allMatch, Matches(1, c.literals)) << "update " << ++id;
  }
}

TEST_F(StoredRowsTest, ConditionsCompareTextsHoldingQuotesAsText) {
  const std::string quoted = "x'); DELETE FROM Samples; --";
  storage_.insert(Sample{0, 3, quoted, {"a"}, 1, 1.0});
  storage_.insert(Sample{0, 3, "x", {"b"}, 2, 2.0});
  const auto found = storage_.select(And(Equal(&Sample::N, 3), Equal(&Sample::H, quoted)));
  ASSERT_EQ(1u, found.size());
  EXPECT_EQ(Texts{"a"}, found[0].Tags);
  EXPECT_EQ(1u, storage_.select(Equal(&Sample::H, std::string("x"))).size());

  storage_.remove(And(Equal(&Sample::N, 3), Equal(&Sample::H, quoted)));
  EXPECT_EQ(1, storage_.qualifyColumns);  // restored after the DELETE
  EXPECT_EQ(1, home_.CountRows("Samples"));
  EXPECT_EQ("x", home_.QueryDb("SELECT H FROM Samples")[0][0]);
}

class ScriptedRowsTest : public ::testing::Test {
 protected:
  ScriptedRowsTest() : dao_(std::make_shared<ScriptedDAO>()) {
    storage_.dao = dao_;
    AddSamples(storage_);
  }
  void Answer(std::vector<std::string> values) { dao_->answers.push_back(std::move(values)); }

  std::shared_ptr<ScriptedDAO> dao_;
  DatabaseORM::storage_t storage_;
};

TEST_F(ScriptedRowsTest, RowsDecodeByKind) {
  Answer({"1", "12abc", "NULL", "NULL", "NULL", "NULL",  //
          "2", "abc", "text", "a??b", "-2", "2.5",       //
          "3", "10"});                                   // the incomplete last row is dropped
  const std::vector<Sample> rows = storage_.select(Equal(&Sample::N, 1));
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ(12, rows[0].N);
  EXPECT_EQ("NULL", rows[0].H);
  EXPECT_EQ(RaidDataModels::NullInt64, rows[0].Big);
  EXPECT_EQ(RaidDataModels::NullReal, rows[0].Ratio);
  EXPECT_EQ(RaidDataModels::NullInt, rows[1].N);
  EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), rows[1].Tags);
  EXPECT_EQ(18446744073709551614ULL, rows[1].Big);
  EXPECT_EQ(2.5, rows[1].Ratio);
}

TEST_F(ScriptedRowsTest, KeyPredictionFromTheStoredMaximum) {
  const std::pair<std::vector<std::string>, uint32_t> cases[] = {
      {{"NULL"}, 1}, {{"7"}, 8}, {{"-1"}, 1}, {{}, 1}};
  for (const auto& [maximum, key] : cases) {
    Answer(maximum);
    EXPECT_EQ(key, storage_.insert(Sample())) << (maximum.empty() ? "none" : maximum[0]);
  }
}

TEST_F(ScriptedRowsTest, FailuresCarryTheDatabaseMessage) {
  dao_->failure = "disk I/O error";
  EXPECT_EQ("Storage query exception thrown! (disk I/O error)",
            What([&] { storage_.remove(Equal(&Sample::N, 3)); }));
  EXPECT_EQ(0, storage_.qualifyColumns);  // left cleared after a failed DELETE
  EXPECT_EQ("Storage query exception thrown! Cannot read ID from database! (Storage query "
            "exception thrown! (disk I/O error))",
            What([&] { storage_.insert(Sample()); }));
}

}  // namespace
