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

const Sample kFilled{4, 5, "a'b", {"x", "y"}, 7, 2.5};

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

TEST_F(TableLayerTest, NullSentinelsAreWrittenAsNullAndLookalikesAsText) {
  AddSamples(/*autoIncrement=*/false);
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
}

TEST_F(TableLayerTest, RowsDecodeByKind) {
  AddSamples();
  Answer({"1", "12abc", "NULL", "NULL", "NULL", "NULL",  //
          "2", "abc", "text", "a??b", "-2", "2.5"});
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

  AddPairs();
  Answer({"1", "10", "a", "2", "20", "b", "3"});  // the incomplete last row is dropped
  const std::vector<Pair> pairs = storage_.select(Equal(&Pair::N, 1));
  ASSERT_EQ(2u, pairs.size());
  EXPECT_EQ("b", pairs[1].H);
}

TEST_F(TableLayerTest, KeyPredictionFromTheStoredMaximum) {
  AddPairs();
  const std::pair<std::vector<std::string>, uint32_t> cases[] = {
      {{"NULL"}, 1}, {{"7"}, 8}, {{"-1"}, 1}, {{}, 1}};
  for (const auto& [maximum, key] : cases) {
    Answer(maximum);
    EXPECT_EQ(key, storage_.insert(Pair()));
  }
  EXPECT_EQ("INSERT INTO Pairs (N, H) VALUES(NULL, NULL);", Statements().back());
}

}  // namespace
