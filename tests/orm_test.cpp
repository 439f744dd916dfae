// The table layer's statements and row decoding, with a data-access object that records each
// statement and answers with prepared results.
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DatabaseORM.h"

namespace {

using DatabaseORM::And;
using DatabaseORM::Equal;
using RaidDataModels::ValueKind;

// Stands behind the real interface: records statements, answers from a queue, can fail.
class RecordingDAO : public DatabaseWrapper::DatabaseDAO {
 public:
  std::vector<std::string> query(std::string sql) override {
    statements.push_back(sql);
    if (!failure.empty()) throw DBEXCEPTION::DatabaseException(failure);
    if (answers.empty()) return {};
    std::vector<std::string> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::vector<std::string> statements;
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

// A three-column model.
struct Pair {
  int32_t ID = RaidDataModels::NullInt;
  int32_t N = RaidDataModels::NullInt;
  std::string H = RaidDataModels::NullText;
};

class TableLayerTest : public ::testing::Test {
 protected:
  TableLayerTest() : dao_(std::make_shared<RecordingDAO>()) {
    storage_.dao = dao_;
    storage_.qualifyColumns = 1;
  }

  // Adds the table "Samples" (alias A): ID, N, H, Tags, Big, Ratio.
  void AddSamples(bool autoIncrement = true, bool foreignKeys = false) {
    auto table = AddTable<Sample>("Samples", "A", foreignKeys);
    AddColumn(*table, "ID", &Sample::ID, autoIncrement);
    AddColumn(*table, "N", &Sample::N);
    AddColumn(*table, "H", &Sample::H);
    AddColumn(*table, "Tags", &Sample::Tags);
    AddColumn(*table, "Big", &Sample::Big);
    AddColumn(*table, "Ratio", &Sample::Ratio);
  }
  // Adds the table "Pairs" (alias P): ID, N, H.
  void AddPairs() {
    auto table = AddTable<Pair>("Pairs", "P", false);
    AddColumn(*table, "ID", &Pair::ID, true);
    AddColumn(*table, "N", &Pair::N);
    AddColumn(*table, "H", &Pair::H);
  }

  void Answer(std::vector<std::string> values) { dao_->answers.push_back(std::move(values)); }
  void FailWith(const std::string& message) { dao_->failure = message; }
  const std::vector<std::string>& Statements() const { return dao_->statements; }

  static Sample FilledSample() {
    Sample sample;
    sample.ID = 4;
    sample.N = 5;
    sample.H = "a'b";
    sample.Tags = {"x", "y"};
    sample.Big = 7;
    sample.Ratio = 2.5;
    return sample;
  }

  template <typename T>
  std::shared_ptr<DatabaseORM::table_t<T>> AddTable(const char* name, const char* alias,
                                                    bool foreignKeys) {
    auto table = std::make_shared<DatabaseORM::table_t<T>>();
    table->tableName = name;
    table->enforceForeignKeys = foreignKeys ? 1 : 0;
    auto map = std::make_shared<RaidDataModels::dbModelFieldsMap<T>>();
    map->alias = alias;
    storage_.tables.push_back(table);
    storage_.fieldMaps.push_back(map);
    return table;
  }
  template <typename T, typename M>
  void AddColumn(DatabaseORM::table_t<T>& table, const char* name, M T::*member,
                 bool autoIncrement = false) {
    auto column = std::make_shared<DatabaseORM::column_t>();
    column->name = name;
    column->valueKind = static_cast<uint32_t>(RaidDataModels::KindOf<M>());
    column->autoIncrement = autoIncrement ? 1 : 0;
    table.columns.push_back(column);
    auto map = std::dynamic_pointer_cast<RaidDataModels::dbModelFieldsMap<T>>(
        storage_.fieldMaps.back());
    map->add(name, member);
  }

  std::shared_ptr<RecordingDAO> dao_;
  DatabaseORM::storage_t storage_;
};

TEST_F(TableLayerTest, WhereClauseCarriesAliasPrefixAndParentheses) {
  AddPairs();
  const And<Pair> condition(Equal(&Pair::N, 3), Equal(&Pair::H, std::string("abc")));
  EXPECT_EQ(" WHERE ( P.N = 3) AND ( P.H = 'abc') ", storage_.whereClause(condition));
  storage_.qualifyColumns = 0;
  EXPECT_EQ(" WHERE N = -3", storage_.whereClause(Equal(&Pair::N, -3)));
  // The compared text is not escaped.
  EXPECT_EQ(" WHERE H = 'it's'", storage_.whereClause(Equal(&Pair::H, "it's")));
}

TEST_F(TableLayerTest, SelectAndMaxStatements) {
  AddPairs();
  storage_.select(And(Equal(&Pair::N, 3), Equal(&Pair::H, "abc")));
  Answer({"7"});
  EXPECT_EQ(7u, storage_.maxOf<Pair>(ValueKind::Int, RaidDataModels::MemberOffset(&Pair::ID)));
  EXPECT_EQ((std::vector<std::string>{"SELECT * FROM Pairs P  WHERE ( P.N = 3) AND ( P.H = 'abc') ",
                                      "SELECT MAX(ID) FROM Pairs"}),
            Statements());
}

TEST_F(TableLayerTest, InsertNamesColumnsAndPredictsTheKey) {
  AddSamples();
  Answer({"NULL"});
  EXPECT_EQ(1u, storage_.insert(FilledSample()));
  EXPECT_EQ((std::vector<std::string>{
                "SELECT MAX(ID) FROM Samples",
                "INSERT INTO Samples (N, H, Tags, Big, Ratio) VALUES(5, 'a''b', 'x?y', 7, 2.500000);"}),
            Statements());
}

TEST_F(TableLayerTest, InsertWithoutAutoIncrementGivesEveryColumnByPosition) {
  AddSamples(/*autoIncrement=*/false, /*foreignKeys=*/true);
  EXPECT_EQ(0u, storage_.insert(Sample()));
  ASSERT_EQ(1u, Statements().size());
  EXPECT_EQ("PRAGMA foreign_keys = ON; INSERT INTO Samples VALUES(NULL, NULL, NULL, '', NULL, NULL);",
            Statements()[0]);
}

TEST_F(TableLayerTest, UpdateAssignsEveryColumnAndFindsTheRowByKey) {
  AddSamples(true, true);
  storage_.update(FilledSample());
  Sample keyless = FilledSample();
  keyless.ID = RaidDataModels::NullInt;
  storage_.update(keyless);
  EXPECT_EQ((std::vector<std::string>{
                "PRAGMA foreign_keys = ON; UPDATE Samples SET ID=4, N=5, H='a''b', Tags='x?y', "
                "Big=7, Ratio=2.500000 WHERE ID = 4;",
                "PRAGMA foreign_keys = ON; UPDATE Samples SET ID=NULL, N=5, H='a''b', Tags='x?y', "
                "Big=7, Ratio=2.500000 WHERE ID = -1;"}),
            Statements());
}

TEST_F(TableLayerTest, RemoveNeverPrefixesColumnsAndRestoresTheFlag) {
  AddPairs();
  storage_.remove(And(Equal(&Pair::N, 3), Equal(&Pair::H, "abc")));
  EXPECT_EQ("DELETE FROM Pairs  WHERE ( N = 3) AND ( H = 'abc') ", Statements().back());
  EXPECT_EQ(1, storage_.qualifyColumns);

  FailWith("disk I/O error");
  EXPECT_THROW(storage_.remove(Equal(&Pair::N, 3)), DBEXCEPTION::DatabaseException);
  EXPECT_EQ(0, storage_.qualifyColumns);  // left cleared after a failed DELETE
}

TEST_F(TableLayerTest, NullSentinelsAreWrittenAsNullAndLookalikesAsText) {
  AddSamples(false);
  Sample sample;
  sample.H = "null";
  sample.Tags = {"NULL"};
  storage_.insert(sample);
  sample.H = "NULL ";
  sample.Tags = {};
  sample.N = -2147483647;
  storage_.insert(sample);
  EXPECT_EQ((std::vector<std::string>{
                "INSERT INTO Samples VALUES(NULL, NULL, 'null', NULL, NULL, NULL);",
                "INSERT INTO Samples VALUES(NULL, -2147483647, 'NULL ', '', NULL, NULL);"}),
            Statements());

  const RaidDataModels::Plugin plugin;
  EXPECT_EQ(-2147483648LL, plugin.ID);
  EXPECT_EQ(18446744073709551615ULL, plugin.ObjectID);
  EXPECT_EQ("NULL", plugin.Name);
  EXPECT_EQ("NULL", plugin.SettableProperties);
}

TEST_F(TableLayerTest, RowsDecodeByKind) {
  AddSamples();
  Answer({"1", "12abc", "NULL", "NULL", "NULL", "NULL",  //
          "2", "abc", "text", "", "-2", "2.5",           //
          "3", "99999999999", "NULL ", "a??b", "x", "x"});
  const std::vector<Sample> rows = storage_.select(Equal(&Sample::N, 1));
  ASSERT_EQ(3u, rows.size());

  EXPECT_EQ(12, rows[0].N);
  EXPECT_EQ("NULL", rows[0].H);
  EXPECT_EQ(std::vector<std::string>{"NULL"}, rows[0].Tags);
  EXPECT_EQ(RaidDataModels::NullInt64, rows[0].Big);
  EXPECT_EQ(RaidDataModels::NullReal, rows[0].Ratio);

  EXPECT_EQ(RaidDataModels::NullInt, rows[1].N);
  EXPECT_EQ(std::vector<std::string>{""}, rows[1].Tags);
  EXPECT_EQ(18446744073709551614ULL, rows[1].Big);
  EXPECT_EQ(2.5, rows[1].Ratio);

  EXPECT_EQ(RaidDataModels::NullInt, rows[2].N);  // out of range
  EXPECT_EQ("NULL ", rows[2].H);
  EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), rows[2].Tags);
  EXPECT_EQ(RaidDataModels::NullInt64, rows[2].Big);
  EXPECT_EQ(RaidDataModels::NullReal, rows[2].Ratio);
}

TEST_F(TableLayerTest, IncompleteTrailingRowIsDropped) {
  AddPairs();
  Answer({"1", "10", "a", "2", "20", "b", "3"});
  const std::vector<Pair> rows = storage_.select(Equal(&Pair::N, 1));
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ(2, rows[1].ID);
  EXPECT_EQ(20, rows[1].N);
  EXPECT_EQ("b", rows[1].H);
}

TEST_F(TableLayerTest, KeyPredictionFromTheStoredMaximum) {
  AddPairs();
  Answer({"NULL"});
  EXPECT_EQ(1u, storage_.insert(Pair()));
  Answer({"7"});
  EXPECT_EQ(8u, storage_.insert(Pair()));
  Answer({"-1"});
  EXPECT_EQ(1u, storage_.insert(Pair()));
  Answer({});
  EXPECT_EQ(1u, storage_.insert(Pair()));
  EXPECT_EQ("INSERT INTO Pairs (N, H) VALUES(NULL, NULL);", Statements().back());
}

// A 64-bit key in the last column is predicted too, and left out of the statement.
struct Tail {
  std::string Name = RaidDataModels::NullText;
  uint64_t Key = RaidDataModels::NullInt64;
};

TEST_F(TableLayerTest, Int64KeyInTheLastColumnIsPredicted) {
  auto table = AddTable<Tail>("Tails", "T", false);
  AddColumn(*table, "Name", &Tail::Name);
  AddColumn(*table, "Key", &Tail::Key, true);
  Answer({"41"});
  Tail row;
  row.Name = "x";
  EXPECT_EQ(42u, storage_.insert(row));
  EXPECT_EQ((std::vector<std::string>{"SELECT MAX(Key) FROM Tails",
                                      "INSERT INTO Tails (Name) VALUES('x');"}),
            Statements());
}

TEST_F(TableLayerTest, FailuresCarryTheirMessages) {
  auto message = [](auto&& call) {
    try {
      call();
    } catch (const DBEXCEPTION::DatabaseException& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  };
  // No field map for the model.
  EXPECT_EQ("Storage query exception thrown! No such model map exist.",
            message([&] { storage_.aliasOf<Pair>(); }));
  EXPECT_EQ("Storage query exception thrown! No such model in map exist.",
            message([&] { storage_.select(Equal(&Pair::N, 1)); }));
  EXPECT_EQ("Storage query exception thrown! No such model in map exist!",
            message([&] { storage_.insert(Pair()); }));
  EXPECT_EQ("Storage query exception thrown! No such model in map exist.",
            message([&] { storage_.update(Pair()); }));
  EXPECT_EQ("Storage query exception thrown! No such model in map exist.",
            message([&] { storage_.remove(Equal(&Pair::N, 1)); }));

  // A member without a column.
  auto table = AddTable<Pair>("Pairs", "P", false);
  AddColumn(*table, "ID", &Pair::ID, true);
  EXPECT_EQ("Empty colName exception!", message([&] { storage_.select(Equal(&Pair::H, "x")); }));

  // The data-access object failed.
  FailWith("disk I/O error");
  EXPECT_EQ("Storage query exception thrown! (disk I/O error)",
            message([&] { storage_.select(Equal(&Pair::ID, 1)); }));
  EXPECT_EQ("Storage query exception thrown! Cannot read ID from database! "
            "(Storage query exception thrown! (disk I/O error))",
            message([&] { storage_.insert(Pair()); }));
  EXPECT_EQ("Storage query exception thrown! (disk I/O error)",
            message([&] { storage_.update(Pair()); }));
}

TEST_F(TableLayerTest, MissingTableRecordRunsNothing) {
  storage_.fieldMaps.push_back(std::make_shared<RaidDataModels::dbModelFieldsMap<Pair>>());
  EXPECT_TRUE(storage_.select(Equal(&Pair::N, 1)).empty());
  EXPECT_EQ(0u, storage_.maxOf<Pair>(ValueKind::Int, 0));
  storage_.remove(Equal(&Pair::N, 1));
  EXPECT_TRUE(Statements().empty());
}

}  // namespace
