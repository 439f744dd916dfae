// The host database's tables. Each model has one list of columns, in table order; the list
// gives both the CREATE TABLE text and the model's table record and field map, so the two
// cannot drift apart. Column names are the model members' names.

#include "Schema.h"

#include <variant>

#include "DatabaseORM.h"

namespace DatabaseWrapper {
namespace {

using RaidDataModels::Adapter;
using RaidDataModels::PD;
using RaidDataModels::Plugin;
using RaidDataModels::TextList;

// A member of T; the alternative's index is the member's value kind.
template <typename T>
using MemberOf =
    std::variant<std::string T::*, TextList T::*, int32_t T::*, uint64_t T::*, double T::*>;

template <typename T>
struct ColumnRow {
  const char* name;
  MemberOf<T> member;
  bool key;  // the row key: INTEGER PRIMARY KEY AUTOINCREMENT
};

#define VARNOCK_KEY(T) ColumnRow<T>{"ID", &T::ID, true}
#define VARNOCK_COLUMN(T, member) ColumnRow<T>{#member, &T::member, false}

// Only the ID columns are auto-increment: the database numbers the rows, and the plug-in
// finds its rows again by name, host and number, never by ID. There are no foreign keys or
// unique constraints: a plug-in started again on an existing database inserts its rows again,
// so several rows may carry one adapter number, and drive rows outlive their adapter's row.
constexpr ColumnRow<Plugin> kPluginColumns[] = {
    VARNOCK_KEY(Plugin),
    VARNOCK_COLUMN(Plugin, ToolVersion),
    VARNOCK_COLUMN(Plugin, ObjectID),
    VARNOCK_COLUMN(Plugin, Name),
    VARNOCK_COLUMN(Plugin, PollInterval),
    VARNOCK_COLUMN(Plugin, SettableProperties),
    VARNOCK_COLUMN(Plugin, Spare1),
    VARNOCK_COLUMN(Plugin, Spare2),
    VARNOCK_COLUMN(Plugin, Address),
    VARNOCK_COLUMN(Plugin, Vendor),
    VARNOCK_COLUMN(Plugin, Version),
};

constexpr ColumnRow<Adapter> kAdapterColumns[] = {
    VARNOCK_KEY(Adapter),
    VARNOCK_COLUMN(Adapter, ObjectID),
    VARNOCK_COLUMN(Adapter, AdapterNumber),
    VARNOCK_COLUMN(Adapter, HostName),
    VARNOCK_COLUMN(Adapter, Present),
    VARNOCK_COLUMN(Adapter, Name),
    VARNOCK_COLUMN(Adapter, Vendor),
    VARNOCK_COLUMN(Adapter, Model),
    VARNOCK_COLUMN(Adapter, ModelSupport),
    VARNOCK_COLUMN(Adapter, Status),
    VARNOCK_COLUMN(Adapter, Segment),
    VARNOCK_COLUMN(Adapter, Bus),
    VARNOCK_COLUMN(Adapter, Device),
    VARNOCK_COLUMN(Adapter, Function),
    VARNOCK_COLUMN(Adapter, Location),
    VARNOCK_COLUMN(Adapter, SerialNumber),
    VARNOCK_COLUMN(Adapter, Firmware),
    VARNOCK_COLUMN(Adapter, Bootloader),
    VARNOCK_COLUMN(Adapter, DriverName),
    VARNOCK_COLUMN(Adapter, DriverVersion),
    VARNOCK_COLUMN(Adapter, Temperature),
    VARNOCK_COLUMN(Adapter, MediaErrors),
    VARNOCK_COLUMN(Adapter, Warnings),
    VARNOCK_COLUMN(Adapter, Description),
    VARNOCK_COLUMN(Adapter, SlotNumber),
    VARNOCK_COLUMN(Adapter, Capabilities),
    VARNOCK_COLUMN(Adapter, CacheSizeMiB),
    VARNOCK_COLUMN(Adapter, Comment),
};

constexpr ColumnRow<PD> kPDColumns[] = {
    VARNOCK_KEY(PD),
    VARNOCK_COLUMN(PD, ObjectID),
    VARNOCK_COLUMN(PD, DriveNumber),
    VARNOCK_COLUMN(PD, HostName),
    VARNOCK_COLUMN(PD, MediaType),
    VARNOCK_COLUMN(PD, Name),
    VARNOCK_COLUMN(PD, Vendor),
    VARNOCK_COLUMN(PD, Model),
    VARNOCK_COLUMN(PD, SerialNumber),
    VARNOCK_COLUMN(PD, Location),
    VARNOCK_COLUMN(PD, Status),
    VARNOCK_COLUMN(PD, Interface),
    VARNOCK_COLUMN(PD, CapacityMiB),
    VARNOCK_COLUMN(PD, ReportedCapacityMiB),
    VARNOCK_COLUMN(PD, SectorSize),
    VARNOCK_COLUMN(PD, Temperature),
    VARNOCK_COLUMN(PD, Port),
    VARNOCK_COLUMN(PD, TargetId),
    VARNOCK_COLUMN(PD, Lun),
    VARNOCK_COLUMN(PD, DevicePath),
    VARNOCK_COLUMN(PD, AdapterName),
    VARNOCK_COLUMN(PD, PowerOnHours),
    VARNOCK_COLUMN(PD, PercentageUsed),
    VARNOCK_COLUMN(PD, SpareState),
    VARNOCK_COLUMN(PD, AvailableSpare),
    VARNOCK_COLUMN(PD, SpareThreshold),
    VARNOCK_COLUMN(PD, DataReadKiB),
    VARNOCK_COLUMN(PD, DataWrittenKiB),
    VARNOCK_COLUMN(PD, DataWrittenTiB),
    VARNOCK_COLUMN(PD, EnduranceUsed),
    VARNOCK_COLUMN(PD, Description),
    VARNOCK_COLUMN(PD, Features),
    VARNOCK_COLUMN(PD, ErrorCount),
    VARNOCK_COLUMN(PD, WearLevel),
    VARNOCK_COLUMN(PD, Comment),
};

#undef VARNOCK_KEY
#undef VARNOCK_COLUMN

// SQL column type by value kind (text lists are stored as one "?"-joined text).
constexpr const char* kColumnTypes[] = {"TEXT", "TEXT", "INTEGER", "INTEGER", "REAL"};

template <typename T>
std::string ConstraintsOf(const ColumnRow<T>& row) {
  if (!row.key) return "";
  return std::string(RaidDataModels::kPrimaryKey) + RaidDataModels::kBlank +
         RaidDataModels::kAutoIncrement;
}

template <typename T, size_t N>
std::string CreateTableSql(const char* table, const ColumnRow<T> (&rows)[N]) {
  std::string sql = std::string("CREATE TABLE IF NOT EXISTS ") + table + " (";
  for (size_t i = 0; i < N; ++i) {
    if (i > 0) sql += RaidDataModels::kListSeparator;
    sql += std::string(rows[i].name) + " " + kColumnTypes[rows[i].member.index()];
    const std::string constraints = ConstraintsOf(rows[i]);
    if (!constraints.empty()) sql += " " + constraints;
  }
  return sql + ");\n";
}

template <typename T, size_t N>
void AddTable(DatabaseORM::storage_t& storage, const char* tableName, const char* alias,
              const ColumnRow<T> (&rows)[N]) {
  auto table = std::make_shared<DatabaseORM::table_t<T>>();
  table->tableName = tableName;
  auto map = std::make_shared<RaidDataModels::dbModelFieldsMap<T>>();
  map->alias = alias;
  for (const ColumnRow<T>& row : rows) {
    auto column = std::make_shared<DatabaseORM::column_t>();
    column->name = row.name;
    column->valueKind = static_cast<uint32_t>(row.member.index());
    column->autoIncrement = row.key ? 1 : 0;
    column->constraints = ConstraintsOf(row);
    table->columns.push_back(column);
    std::visit([&](auto member) { map->add(row.name, member); }, row.member);
  }
  storage.tables.push_back(table);
  storage.fieldMaps.push_back(map);
}

}  // namespace

std::string HostSchemaSql() {
  return CreateTableSql("Plugin", kPluginColumns) + CreateTableSql("Adapter", kAdapterColumns) +
         CreateTableSql("PD", kPDColumns);
}

// The plug-in looks up each adapter row by its number and host, and each drive row by its serial
// number and host, before every update: without an index each lookup reads the whole table, so a
// pass's lookups grew with the square of the number of drives.
std::string HostIndexSql() {
  return "CREATE INDEX IF NOT EXISTS AdapterByNumber ON Adapter (AdapterNumber, HostName);\n"
         "CREATE INDEX IF NOT EXISTS PDBySerial ON PD (SerialNumber, HostName);\n";
}

std::shared_ptr<DatabaseORM::storage_t> MakeHostStorage(std::shared_ptr<DatabaseDAO> dao) {
  auto storage = std::make_shared<DatabaseORM::storage_t>();
  storage->dao = std::move(dao);
  storage->qualifyColumns = 1;
  AddTable(*storage, "Plugin", "pl", kPluginColumns);
  AddTable(*storage, "Adapter", "ad", kAdapterColumns);
  AddTable(*storage, "PD", "pd", kPDColumns);
  return storage;
}

}  // namespace DatabaseWrapper
