// The table layer: turns model records into statements through the table records and field
// maps that the storage holds, runs them with their values bound through the storage's
// data-access object (one text per statement shape, so the statement stays prepared) and
// decodes result rows.
// The layer takes no lock; every failure is thrown as DBEXCEPTION::DatabaseException. The only
// state it changes is the storage's qualifyColumns flag (remove clears it for its statement).
#pragma once

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include "DataModels.h"
#include "DatabaseDAO.h"
#include "DatabaseException.h"

namespace DatabaseORM {

using RaidDataModels::ValueKind;

// A column of a table: its value kind and whether the database assigns its values.
struct column_t {
  std::string name;
  uint32_t valueKind = 0;
  uint8_t autoIncrement = 0;
  std::string constraints;  // the column's constraint text in the schema
};

struct __attribute__((visibility("default"))) tableBase_t {
  virtual ~tableBase_t() = default;
  uint8_t enforceForeignKeys = 0;  // every write statement then turns foreign keys on first
  std::string tableName;
  std::vector<std::shared_ptr<column_t>> columns;  // in table order
};

// The table record of model T.
template <typename T>
struct __attribute__((visibility("default"))) table_t : tableBase_t {};

// Condition: one Int or Text member of T equals a value.
template <typename T>
struct Equal {
  using model_type = T;
  Equal(int32_t T::*member, int32_t value)
      : kind(ValueKind::Int), memberOffset(RaidDataModels::MemberOffset(member)), intValue(value) {}
  Equal(std::string T::*member, std::string value)
      : kind(ValueKind::Text),
        memberOffset(RaidDataModels::MemberOffset(member)),
        textValue(std::move(value)) {}

  ValueKind kind;
  uint32_t memberOffset;
  int32_t intValue = 0;
  std::string textValue;
};

// Condition: both conditions hold.
template <typename T>
struct And {
  using model_type = T;
  And(Equal<T> a, Equal<T> b) : first(std::move(a)), second(std::move(b)) {}
  Equal<T> first;
  Equal<T> second;
};

namespace detail {

using DatabaseWrapper::BoundValue;

// A member value as a statement takes it: the placeholder that stands for it in the statement
// text and the value bound to it. A value is bound as SQLite would have stored it from the
// decimal or "%f" text of the value: Int64 values above the largest signed integer and every
// Real go through SQLite's own reading of that text (a CAST), so that they keep the rounding of
// SQLite's reading. An infinite or NaN Real has no such text: "%f" gives "inf" or "nan", which
// SQLite reads as a column name it does not find, so the statement holds that word and fails.
struct Parameter {
  const char* placeholder = "?";
  BoundValue value;
  bool bound = true;  // whether the placeholder takes `value`
};

constexpr const char* kReadAsReal = "CAST(? AS REAL)";

inline Parameter Bound(int32_t value) {
  if (RaidDataModels::IsNull(value)) return {};
  return {"?", static_cast<int64_t>(value)};
}
inline Parameter Bound(uint64_t value) {
  if (RaidDataModels::IsNull(value)) return {};
  if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
    return {kReadAsReal, std::to_string(value)};
  return {"?", static_cast<int64_t>(value)};
}
inline Parameter Bound(const std::string& value) {
  if (RaidDataModels::IsNull(value)) return {};
  return {"?", value};
}
// Elements joined by "?" (a list joining to "NULL" is NULL).
inline Parameter Bound(const RaidDataModels::TextList& value) {
  std::string joined;
  for (const auto& element : value) joined += element + RaidDataModels::kTextListSeparator;
  if (!joined.empty()) joined.pop_back();
  if (joined == RaidDataModels::NullText) return {};
  return {"?", std::move(joined)};
}
inline Parameter Bound(double value) {
  if (RaidDataModels::IsNull(value)) return {kReadAsReal, nullptr};
  if (std::isnan(value)) return {"nan", nullptr, false};
  if (std::isinf(value)) return {"inf", nullptr, false};
  // Six decimals, as "%f" writes them, whatever the process's locale; 309 digits before the
  // point at most.
  char text[400];
  const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
  return {kReadAsReal, std::string(text, written.ptr)};
}

// Member values decoded from a result text; text that does not convert gives the sentinel.
inline void Decode(const std::string& text, int32_t& out) {
  out = RaidDataModels::NullInt;
  if (text == RaidDataModels::kSqlNull) return;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || errno == ERANGE) return;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
    return;
  out = static_cast<int32_t>(value);
}
inline void Decode(const std::string& text, uint64_t& out) {
  out = RaidDataModels::NullInt64;
  if (text == RaidDataModels::kSqlNull) return;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || errno == ERANGE) return;
  out = static_cast<uint64_t>(value);
}
inline void Decode(const std::string& text, std::string& out) { out = text; }
inline void Decode(const std::string& text, RaidDataModels::TextList& out) {
  out.clear();
  if (text == RaidDataModels::kSqlNull) {
    out.push_back(RaidDataModels::NullText);
    return;
  }
  boost::split(out, text, boost::is_any_of(RaidDataModels::kTextListSeparator));
}
inline void Decode(const std::string& text, double& out) {
  out = RaidDataModels::NullReal;
  if (text == RaidDataModels::kSqlNull) return;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str()) out = value;
}

// Each element followed by ", " unless it is empty, then the last two characters dropped.
inline std::string JoinColumns(const std::vector<std::string>& parts) {
  std::string joined;
  for (const auto& part : parts) {
    joined += part;
    if (!part.empty()) joined += RaidDataModels::kListSeparator;
  }
  if (joined.size() >= 2) joined.erase(joined.size() - 2);
  return joined;
}

// The key that an auto-increment column gives the next row, from the stored maximum.
inline uint32_t NextKey(uint64_t maximum) {
  const uint32_t low = static_cast<uint32_t>(maximum);
  return low == 0xFFFFFFFFu ? 1 : low + 1;
}

// The columns a write names, in table order, and the placeholder of each (empty when left out).
struct Columns {
  std::vector<std::string> names;
  std::vector<std::string> placeholders;
  std::vector<bool> written;
};

// A statement text with placeholders and the values bound to them, in order.
struct Statement {
  std::string sql;
  std::vector<BoundValue> values;

  // The placeholder of `parameter`; its value is bound next.
  std::string take(Parameter parameter) {
    if (parameter.bound) values.push_back(std::move(parameter.value));
    return parameter.placeholder;
  }
};

}  // namespace detail

// The host database as the plug-in uses it: a data-access object, the table records and field
// maps of the models, and whether conditions prefix column names with the table alias. Shared
// by the database library and the plug-in; the table layer below takes no lock.
struct storage_t {
  std::shared_ptr<DatabaseWrapper::DatabaseDAO> dao;
  uint8_t qualifyColumns = 1;
  std::vector<std::shared_ptr<tableBase_t>> tables;
  std::vector<std::shared_ptr<RaidDataModels::dbModelFieldsMapBase>> fieldMaps;

  // The field map and table record of T, or null. The storage keeps ownership.
  template <typename T>
  const RaidDataModels::dbModelFieldsMap<T>* fieldMapOf() const {
    for (const auto& map : fieldMaps)
      if (auto* found = dynamic_cast<const RaidDataModels::dbModelFieldsMap<T>*>(map.get()))
        return found;
    return nullptr;
  }
  template <typename T>
  const table_t<T>* tableOf() const {
    for (const auto& table : tables)
      if (auto* found = dynamic_cast<const table_t<T>*>(table.get())) return found;
    return nullptr;
  }

  template <typename T>
  std::string aliasOf() const {
    const auto* map = fieldMapOf<T>();
    if (map == nullptr)
      throw DBEXCEPTION::DatabaseException("Storage query exception thrown! No such model map exist.");
    return map->alias;
  }

  // The column holding the member at `memberOffset` in the list of `kind` (the last match wins).
  template <typename T>
  std::string columnNameOf(ValueKind kind, uint32_t memberOffset) const {
    const auto* map = fieldMapOf<T>();
    if (map == nullptr) throw NoModel(".");
    std::string name;
    auto search = [&](const auto& list) {
      for (const auto& entry : list)
        if (entry.memberOffset == memberOffset) name = entry.columnName;
    };
    switch (kind) {
      case ValueKind::Int: search(map->intFields); break;
      case ValueKind::Int64: search(map->int64Fields); break;
      case ValueKind::Text: search(map->textFields); break;
      case ValueKind::TextList: search(map->textListFields); break;
      case ValueKind::Real: search(map->realFields); break;
    }
    if (name.empty()) throw DBEXCEPTION::DatabaseException("Empty colName exception!");
    return name;
  }

  // " WHERE" followed by the condition, its values taken into `statement`; column names carry
  // "alias." while qualifyColumns is set.
  template <typename C>
  std::string whereClause(const C& condition, detail::Statement& statement) const {
    return " WHERE" + render(condition, statement);
  }

  // The stored rows that match the condition. Rows come back as records; the caller owns them.
  template <typename C>
  std::vector<typename C::model_type> select(const C& condition) {
    using T = typename C::model_type;
    const auto* map = fieldMapOf<T>();
    if (map == nullptr) throw NoModel(".");
    const auto* table = tableOf<T>();
    if (table == nullptr) return {};
    detail::Statement statement;
    statement.sql = "SELECT * FROM " + table->tableName + " " + map->alias + " ";
    statement.sql += whereClause(condition, statement);
    const std::vector<std::string> texts = run(statement);

    std::vector<T> rows;
    const size_t columns = table->columns.size();
    if (columns == 0) return rows;
    for (size_t first = 0; first + columns <= texts.size(); first += columns) {
      T record;
      size_t next[5] = {0, 0, 0, 0, 0};  // next entry to take, per kind
      for (size_t i = 0; i < columns; ++i) {
        const std::string& text = texts[first + i];
        switch (static_cast<ValueKind>(table->columns[i]->valueKind)) {
          case ValueKind::Text: decodeNext(map->textFields, next[0], text, record); break;
          case ValueKind::TextList: decodeNext(map->textListFields, next[1], text, record); break;
          case ValueKind::Int: decodeNext(map->intFields, next[2], text, record); break;
          case ValueKind::Int64: decodeNext(map->int64Fields, next[3], text, record); break;
          case ValueKind::Real: decodeNext(map->realFields, next[4], text, record); break;
          default: break;  // a column of no known kind is skipped
        }
      }
      rows.push_back(std::move(record));
    }
    return rows;
  }

  // The largest stored value of an Int or Int64 column (0 for an empty table or no table).
  template <typename T>
  uint64_t maxOf(ValueKind kind, uint32_t memberOffset) {
    const auto* table = tableOf<T>();
    if (table == nullptr) return 0;
    const std::string column = columnNameOf<T>(kind, memberOffset);
    const std::vector<std::string> texts =
        run(detail::Statement{"SELECT MAX(" + column + ") FROM " + table->tableName, {}});
    if (texts.empty()) return 0;
    std::istringstream in(texts.front());
    if (kind == ValueKind::Int) {
      int32_t value = 0;  // stays 0 for text that does not read; the limit when out of range
      in >> value;
      return static_cast<uint64_t>(static_cast<int64_t>(value));
    }
    uint64_t value = 0;
    in >> value;
    return value;
  }

  // Writes the record as a new row. Returns the key the database is expected to give it (the
  // stored maximum + 1), or 0 when the table has no auto-increment column.
  template <typename T>
  uint32_t insert(const T& record) {
    const auto* map = fieldMapOf<T>();
    if (map == nullptr) throw NoModel("!");
    const tableBase_t& table = requireTable<T>();
    bool autoIncrement = false;
    for (const auto& column : table.columns) autoIncrement = autoIncrement || column->autoIncrement;

    uint32_t key = 0;
    detail::Statement statement;
    const detail::Columns columns = columnsOf(*map, record, statement, [&](const auto& entry) {
      using M = std::decay_t<decltype(record.*entry.member)>;
      constexpr ValueKind kind = RaidDataModels::KindOf<M>();
      const bool generatedKey =
          autoIncrement && ((kind == ValueKind::Int && entry.columnIndex == 0) ||
                            (kind == ValueKind::Int64 && entry.columnIndex == map->columnCount - 1));
      if (generatedKey) key = predictKey<T>(kind, entry.memberOffset);
      return !generatedKey;
    });
    statement.sql = "INSERT INTO " + table.tableName + " ";
    if (autoIncrement) statement.sql += "(" + detail::JoinColumns(columns.names) + ") ";
    statement.sql += "VALUES(" + detail::JoinColumns(columns.placeholders) + ");";
    runWrite(table, statement);
    return key;
  }

  // Rewrites the row whose ID equals the record's key (-1 when the key is NULL).
  template <typename T>
  void update(const T& record) {
    const auto* map = fieldMapOf<T>();
    if (map == nullptr) throw NoModel(".");
    const tableBase_t& table = requireTable<T>();

    int64_t key = -1;
    std::vector<detail::Parameter> parameters(map->columnCount);
    // The placeholder each column takes, by its first letter ('-' for a column of no field): the
    // statement text depends on nothing else.
    std::string shape(map->columnCount, '-');
    map->forEachField([&](const auto& entry) {
      if (entry.columnIndex >= map->columnCount) return;
      const auto& value = record.*entry.member;
      using M = std::decay_t<decltype(value)>;
      if constexpr (std::is_same_v<M, int32_t> || std::is_same_v<M, uint64_t>) {
        if (entry.columnIndex == 0 && !RaidDataModels::IsNull(value))
          key = static_cast<int64_t>(value);
      }
      parameters[entry.columnIndex] = detail::Bound(value);
      shape[entry.columnIndex] = parameters[entry.columnIndex].placeholder[0];
    });
    detail::Statement statement;
    statement.sql = updateText(*map, table, parameters, shape);
    for (size_t i = 0; i < parameters.size(); ++i)
      if (shape[i] != '-') statement.take(std::move(parameters[i]));
    statement.values.push_back(key);
    runWrite(table, statement);
  }

  // Deletes the rows that match the condition. Its condition never carries the alias.
  template <typename C>
  void remove(const C& condition) {
    using T = typename C::model_type;
    if (fieldMapOf<T>() == nullptr) throw NoModel(".");
    const auto* table = tableOf<T>();
    if (table == nullptr) return;
    qualifyColumns = 0;
    detail::Statement statement;
    statement.sql = "DELETE FROM " + table->tableName + " ";
    statement.sql += whereClause(condition, statement);
    runWrite(*table, statement);
    qualifyColumns = !qualifyColumns;
  }

 private:
  // Update texts by table name and placeholder shape (a handful per table: a Real column takes a
  // CAST, a NaN or infinity a word); kept up to a bound, past which texts are built each time.
  static constexpr size_t kKeptUpdateTexts = 64;
  std::mutex updateTextsMutex;
  std::unordered_map<std::string, std::string> updateTexts;  // guarded by updateTextsMutex

  static DBEXCEPTION::DatabaseException NoModel(const char* end) {
    return DBEXCEPTION::DatabaseException(
        std::string("Storage query exception thrown! No such model in map exist") + end);
  }

  // A write needs the table record; without one it is refused rather than silently dropped.
  template <typename T>
  const tableBase_t& requireTable() const {
    const auto* table = tableOf<T>();
    if (table == nullptr)
      throw DBEXCEPTION::DatabaseException(
          "Storage query exception thrown! No such table in storage exist.");
    return *table;
  }

  // The text of an update of `table` whose columns take `parameters`' placeholders, kept per
  // table and shape: a pass rewrites every row of a drive with the same text, and writing the
  // text of 50 columns anew costs more than running the statement.
  template <typename T>
  std::string updateText(const RaidDataModels::dbModelFieldsMap<T>& map, const tableBase_t& table,
                         const std::vector<detail::Parameter>& parameters,
                         const std::string& shape) {
    std::string key = table.tableName;
    key += '\0';
    key += shape;
    {
      std::lock_guard<std::mutex> lock(updateTextsMutex);
      const auto kept = updateTexts.find(key);
      if (kept != updateTexts.end()) return kept->second;
    }
    std::vector<std::string> names(map.columnCount);
    map.forEachField([&](const auto& entry) {
      if (entry.columnIndex < map.columnCount)
        names[entry.columnIndex] =
            entry.columnName + "=" + parameters[entry.columnIndex].placeholder;
    });
    std::string sql =
        "UPDATE " + table.tableName + " SET " + detail::JoinColumns(names) + " WHERE ID = ?;";
    std::lock_guard<std::mutex> lock(updateTextsMutex);
    if (updateTexts.size() < kKeptUpdateTexts) updateTexts.emplace(std::move(key), sql);
    return sql;
  }

  // The columns of `record` in table order, each name with its placeholder, the values taken
  // into `statement` in that order. `write(entry)` says whether the entry's column is written;
  // a column left out has an empty name and placeholder and is not `written`.
  template <typename T, typename Write>
  static detail::Columns columnsOf(const RaidDataModels::dbModelFieldsMap<T>& map, const T& record,
                                   detail::Statement& statement, Write write) {
    detail::Columns columns;
    columns.names.resize(map.columnCount);
    columns.placeholders.resize(map.columnCount);
    columns.written.resize(map.columnCount, false);
    std::vector<detail::Parameter> parameters(map.columnCount);
    map.forEachField([&](const auto& entry) {
      if (entry.columnIndex >= map.columnCount || !write(entry)) return;
      columns.names[entry.columnIndex] = entry.columnName;
      parameters[entry.columnIndex] = detail::Bound(record.*entry.member);
      columns.written[entry.columnIndex] = true;
    });
    for (size_t i = 0; i < parameters.size(); ++i)
      if (columns.written[i]) columns.placeholders[i] = statement.take(std::move(parameters[i]));
    return columns;
  }

  // Condition values are compared as given: an Int or a Text, never NULL.
  template <typename T>
  std::string render(const Equal<T>& condition, detail::Statement& statement) const {
    const std::string prefix = qualifyColumns ? aliasOf<T>() + "." : "";
    const std::string column = prefix + columnNameOf<T>(condition.kind, condition.memberOffset);
    if (condition.kind == ValueKind::Int)
      statement.values.push_back(static_cast<int64_t>(condition.intValue));
    else
      statement.values.push_back(condition.textValue);
    return " " + column + " = ?";
  }
  template <typename T>
  std::string render(const And<T>& condition, detail::Statement& statement) const {
    const std::string first = render(condition.first, statement);
    return " (" + first + ") AND (" + render(condition.second, statement) + ") ";
  }

  template <typename T>
  uint32_t predictKey(ValueKind kind, uint32_t memberOffset) {
    try {
      return detail::NextKey(maxOf<T>(kind, memberOffset));
    } catch (const DBEXCEPTION::DatabaseException& e) {
      throw DBEXCEPTION::DatabaseException(
          std::string("Storage query exception thrown! Cannot read ID from database! (") +
          e.what() + ")");
    }
  }

  // Takes the next entry of `list` and stores the decoded text into its member of `record`.
  template <typename List, typename T>
  static void decodeNext(const List& list, size_t& next, const std::string& text, T& record) {
    if (next >= list.size()) return;  // more columns of this kind than entries
    const auto& entry = list[next++];
    detail::Decode(text, record.*entry.member);
  }

  // Runs a write: foreign keys are turned on first where the table enforces them.
  std::vector<std::string> runWrite(const tableBase_t& table, const detail::Statement& statement) {
    if (table.enforceForeignKeys) run(detail::Statement{"PRAGMA foreign_keys = ON;", {}});
    return run(statement);
  }

  // Runs the statement through the data-access object, its values bound.
  std::vector<std::string> run(const detail::Statement& statement) {
    try {
      if (!dao) throw DBEXCEPTION::DatabaseException("No data-access object.");
      return dao->queryBound(statement.sql, statement.values);
    } catch (const DBEXCEPTION::DatabaseException& e) {
      throw DBEXCEPTION::DatabaseException(std::string("Storage query exception thrown! (") +
                                           e.what() + ")");
    }
  }
};

// The storage behind a handle; throws DatabaseException when the handle is empty.
inline storage_t& StorageOf(const std::shared_ptr<storage_t>& handle) {
  if (!handle) throw DBEXCEPTION::DatabaseException("Storage query exception thrown! No storage.");
  return *handle;
}

}  // namespace DatabaseORM
