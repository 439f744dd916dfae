// The rows the plug-in keeps in the host database (plug-in, adapter, drive) as plain records,
// and the field maps that tie each record member to a table column. Records are values that
// callers copy freely; a field map is built once by the database library and only read after.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace RaidDataModels {

// The five value kinds of a member; the number is the tag that column records carry.
enum class ValueKind : uint32_t { Text = 0, TextList = 1, Int = 2, Int64 = 3, Real = 4 };

// In-memory values that stand for SQL NULL.
constexpr const char* NullText = "NULL";
constexpr int32_t NullInt = std::numeric_limits<int32_t>::min();
constexpr uint64_t NullInt64 = std::numeric_limits<uint64_t>::max();
constexpr double NullReal = 1.1754943508222875e-38;  // the smallest normal float

// Schema vocabulary. The plug-in's statements use only the SQL NULL literal and the separators;
// the constraint words and action clauses belong to the schema side.
constexpr const char* kSqlNull = "NULL";
constexpr const char* kPrimaryKey = "PRIMARY KEY";
constexpr const char* kForeignKey = "FOREIGN KEY";
constexpr const char* kUnique = "UNIQUE";
constexpr const char* kNotNull = "NOT NULL";
constexpr const char* kDefaultValue = "DEFAULTVALUE";
constexpr const char* kAutoIncrement = "AUTOINCREMENT";
constexpr const char* kOnDeleteNoAction = "ON DELETE NO ACTION";
constexpr const char* kOnDeleteRestrict = "ON DELETE RESTRICT";
constexpr const char* kOnDeleteSetNull = "ON DELETE SET NULL";
constexpr const char* kOnDeleteSetDefault = "ON DELETE SET DEFAULT";
constexpr const char* kOnDeleteCascade = "ON DELETE CASCADE";
constexpr const char* kOnUpdateNoAction = "ON UPDATE NO ACTION";
constexpr const char* kOnUpdateRestrict = "ON UPDATE RESTRICT";
constexpr const char* kOnUpdateSetNull = "ON UPDATE SET NULL";
constexpr const char* kOnUpdateSetDefault = "ON UPDATE SET DEFAULT";
constexpr const char* kOnUpdateCascade = "ON UPDATE CASCADE";
constexpr const char* kListSeparator = ", ";
constexpr const char* kBlank = " ";
constexpr const char* kQuote = "'";
constexpr const char* kTextListSeparator = "?";

using TextList = std::vector<std::string>;

// The plug-in's own row, found again by its Name.
struct Plugin {
  int32_t ID = NullInt;
  std::string ToolVersion = NullText;
  uint64_t ObjectID = NullInt64;
  std::string Name = NullText;
  int32_t PollInterval = NullInt;
  std::string SettableProperties = NullText;
  int32_t Spare1 = NullInt;
  int32_t Spare2 = NullInt;
  std::string Address = NullText;
  std::string Vendor = NullText;
  std::string Version = NullText;
};

// A host adapter row, found again by AdapterNumber and HostName. The comments name the adapter
// property whose value a member receives.
struct Adapter {
  int32_t ID = NullInt;
  uint64_t ObjectID = NullInt64;
  int32_t AdapterNumber = NullInt;
  std::string HostName = NullText;
  int32_t Present = NullInt;  // 1 while a plug-in reports the adapter
  std::string Name = NullText;           // 30007
  std::string Vendor = NullText;         // 30003
  std::string Model = NullText;          // 30063
  std::string ModelSupport = NullText;   // 30158
  std::string Status = NullText;         // 30017
  int32_t Segment = NullInt;             // 30479
  int32_t Bus = NullInt;                 // 30037
  int32_t Device = NullInt;              // 30038
  int32_t Function = NullInt;            // 30039
  std::string Location = NullText;       // 30137
  std::string SerialNumber = NullText;   // 30022
  std::string Firmware = NullText;       // 30020
  std::string Bootloader = NullText;     // 30500
  std::string DriverName = NullText;     // 30266
  std::string DriverVersion = NullText;  // 30018
  int32_t Temperature = NullInt;         // 30442, whole degrees Celsius
  uint64_t MediaErrors = NullInt64;      // 30189
  TextList Warnings;                     // 30165
  // General adapter attributes that other plug-ins of the host fill.
  std::string Description = NullText;
  int32_t SlotNumber = NullInt;
  TextList Capabilities;
  uint64_t CacheSizeMiB = NullInt64;
  std::string Comment = NullText;
};

// A host physical-drive row, found again by HostName and SerialNumber. The comments name the
// drive property (or, after DevicePath, the owning adapter's value) that a member receives.
struct PD {
  int32_t ID = NullInt;
  uint64_t ObjectID = NullInt64;
  int32_t DriveNumber = NullInt;  // the owning adapter's number
  std::string HostName = NullText;
  std::string MediaType = NullText;           // the kind of medium
  std::string Name = NullText;                // 30007
  std::string Vendor = NullText;              // 30003
  std::string Model = NullText;               // 30063
  std::string SerialNumber = NullText;        // 30022
  std::string Location = NullText;            // 30137
  std::string Status = NullText;              // 30017
  std::string Interface = NullText;           // 30056
  uint64_t CapacityMiB = NullInt64;           // 30059
  uint64_t ReportedCapacityMiB = NullInt64;   // 30060
  int32_t SectorSize = NullInt;               // 30460
  int32_t Temperature = NullInt;              // 30069, whole degrees Celsius
  int32_t Port = NullInt;                     // 30122
  int32_t TargetId = NullInt;                 // 30125
  int32_t Lun = NullInt;                      // 30125
  std::string DevicePath = NullText;          // adapter 30247
  std::string AdapterName = NullText;         // adapter display name
  int32_t PowerOnHours = NullInt;             // adapter 30498, low 32 bits
  int32_t PercentageUsed = NullInt;           // adapter percentage used
  int32_t SpareState = NullInt;               // adapter 30468
  double AvailableSpare = NullReal;           // adapter 30486, percent
  int32_t SpareThreshold = NullInt;           // adapter 30488, percent
  uint64_t DataReadKiB = NullInt64;           // adapter 30489
  double DataWrittenKiB = NullReal;           // adapter 30490
  int32_t DataWrittenTiB = NullInt;           // adapter 30490
  int32_t EnduranceUsed = NullInt;            // percent of the rated endurance written
  // General drive attributes that other plug-ins of the host fill.
  std::string Description = NullText;
  TextList Features;
  uint64_t ErrorCount = NullInt64;
  double WearLevel = NullReal;
  std::string Comment = NullText;
};

// Whether a member value is the NULL sentinel of its kind.
inline bool IsNull(int32_t value) { return value == NullInt; }
inline bool IsNull(uint64_t value) { return value == NullInt64; }
inline bool IsNull(double value) { return value == NullReal; }
inline bool IsNull(const std::string& value) { return value == NullText; }
inline bool IsNull(const TextList& value) { return value.size() == 1 && value[0] == NullText; }

// A number as an Int member: truncated toward zero, NULL when it does not fit.
inline int32_t TruncatedOrNull(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return NullInt;  // NaN fails too
  return static_cast<int32_t>(value);
}

// The kind of a member type.
template <typename M>
constexpr ValueKind KindOf() {
  if constexpr (std::is_same_v<M, std::string>) return ValueKind::Text;
  else if constexpr (std::is_same_v<M, TextList>) return ValueKind::TextList;
  else if constexpr (std::is_same_v<M, int32_t>) return ValueKind::Int;
  else if constexpr (std::is_same_v<M, uint64_t>) return ValueKind::Int64;
  else {
    static_assert(std::is_same_v<M, double>, "a model member is text, text list, int, int64 or real");
    return ValueKind::Real;
  }
}

// The place of a member in its record, measured on a default-constructed record.
template <typename T, typename M>
uint32_t MemberOffset(M T::*member) {
  static const T probe{};
  const auto base = reinterpret_cast<std::uintptr_t>(std::addressof(probe));
  const auto field = reinterpret_cast<std::uintptr_t>(std::addressof(probe.*member));
  return static_cast<uint32_t>(field - base);
}

// One column of a model's table: the member it holds, its name and its zero-based position.
// `member` reaches the value; `memberOffset` identifies the member in conditions and lookups.
template <typename T, typename M>
struct FieldEntry {
  uint32_t memberOffset;
  std::string columnName;
  uint32_t columnIndex;
  M T::*member;
};

struct __attribute__((visibility("default"))) dbModelFieldsMapBase {
  virtual ~dbModelFieldsMapBase() = default;
};

// The columns of model T's table, one list per kind. Every column is listed once, in the list of
// its kind; within a list entries follow the columns' order; the key is the Int at index 0.
template <typename T>
struct __attribute__((visibility("default"))) dbModelFieldsMap : dbModelFieldsMapBase {
  std::string alias;
  uint32_t columnCount = 0;
  std::vector<FieldEntry<T, int32_t>> intFields;
  std::vector<FieldEntry<T, uint64_t>> int64Fields;
  std::vector<FieldEntry<T, std::string>> textFields;
  std::vector<FieldEntry<T, TextList>> textListFields;
  std::vector<FieldEntry<T, double>> realFields;

  // Appends the next column of the table, holding `member`.
  template <typename M>
  void add(const std::string& columnName, M T::*member) {
    FieldEntry<T, M> entry{MemberOffset(member), columnName, columnCount++, member};
    listOf<M>().push_back(std::move(entry));
  }

  // The list that holds members of type M.
  template <typename M>
  std::vector<FieldEntry<T, M>>& listOf() {
    if constexpr (std::is_same_v<M, int32_t>) return intFields;
    else if constexpr (std::is_same_v<M, uint64_t>) return int64Fields;
    else if constexpr (std::is_same_v<M, std::string>) return textFields;
    else if constexpr (std::is_same_v<M, TextList>) return textListFields;
    else return realFields;
  }
  template <typename M>
  const std::vector<FieldEntry<T, M>>& listOf() const {
    return const_cast<dbModelFieldsMap*>(this)->template listOf<M>();
  }

  // Calls fn(entry) for every entry, list by list: Int, Int64, Text, TextList, Real.
  template <typename Fn>
  void forEachField(Fn&& fn) const {
    for (const auto& entry : intFields) fn(entry);
    for (const auto& entry : int64Fields) fn(entry);
    for (const auto& entry : textFields) fn(entry);
    for (const auto& entry : textListFields) fn(entry);
    for (const auto& entry : realFields) fn(entry);
  }
};

}  // namespace RaidDataModels
