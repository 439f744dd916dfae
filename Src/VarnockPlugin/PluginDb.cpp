// The plug-in's own row in the host database: built from the plug-in object and its settings,
// found again by its name. Database failures are traced and reported as kFailed.
#define VARNOCK_SOURCE "Src/VarnockPlugin"

#include <algorithm>
#include <utility>

#include "DatabaseORM.h"
#include "Module.h"
#include "RowWriter.h"

// Row writes trace under the plug-in's names of the steps they serve.
#define VTRACE_ROW(function, ...) \
  VTRACE_AS("NAMESPACE_Varnock::IPLUGINAPI_IMPL::" function, __VA_ARGS__)

namespace NAMESPACE_Varnock {

namespace {

using DatabaseORM::Equal;
using RaidDataModels::Plugin;

constexpr const char* kPluginRowName = kPluginName;
// What the host may set on the plug-in object, in the host's description format.
constexpr const char* kSettableProperties =
    "{\"settableProperties\":[{\"name\":\"pollinterval\",\"formatStr\":\"<int32>[2..255, 1]\"}]}";

}  // namespace

RowWriter::RowWriter(std::shared_ptr<DatabaseORM::storage_t> database)
    : m_Database(std::move(database)) {}

void RowWriter::SetDatabaseObjectProperties(const CVedidEVUPlugin& plugin,
                                            const PluginSettings& settings, Plugin& row) {
  row = Plugin();
  row.ObjectID = plugin.GetID();
  row.Address = Fmt("Plugin:ID=%d", kModuleNumber);
  row.Name = kPluginRowName;
  row.Version = kPluginVersion;
  row.Vendor = kPluginVendor;
  if (!settings.toolVersion.empty()) row.ToolVersion = settings.toolVersion;
  row.PollInterval = std::clamp(static_cast<int32_t>(settings.pollInterval), kPollMin, kPollMax);
  row.SettableProperties = kSettableProperties;
}

RowResult RowWriter::InsertObjectToDatabase(const CVedidEVUPlugin& plugin,
                                            const PluginSettings& settings) {
  try {
    Plugin row;
    SetDatabaseObjectProperties(plugin, settings, row);
    DatabaseORM::StorageOf(m_Database).insert(row);
    VTRACE_ROW("InsertObjectToDatabase", TL_DB, "Plugin VedidEVU inserted to db.");
    return RowResult::kWritten;
  } catch (const DBEXCEPTION::DatabaseException& e) {
    VTRACE_ROW("InsertObjectToDatabase", TL_DB,
               "Exception thrown during inserting VedidEVU plugin object to db. (%s)", e.what());
    return RowResult::kFailed;
  }
}

RowResult RowWriter::UpdateObjectInDatabase(const CVedidEVUPlugin& plugin,
                                            const PluginSettings& settings) {
  try {
    Plugin row;
    SetDatabaseObjectProperties(plugin, settings, row);
    DatabaseORM::storage_t& storage = DatabaseORM::StorageOf(m_Database);
    const std::vector<Plugin> stored = storage.select(Equal(&Plugin::Name, kPluginRowName));
    if (!stored.empty()) {
      row.ID = stored.front().ID;
      storage.update(row);
      VTRACE_ROW("UpdateObjectInDatabase", TL_DB, "Plugin VedidEVU updated in db.");
    }
    return RowResult::kWritten;
  } catch (const DBEXCEPTION::DatabaseException& e) {
    VTRACE_ROW("UpdateObjectInDatabase", TL_DB,
               "Exception thrown during updating VedidEVU plugin object entry in db. (%s)",
               e.what());
    return RowResult::kFailed;
  }
}

RowResult RowWriter::DeleteObjectFromDatabase(const CVedidEVUPlugin&) {
  try {
    DatabaseORM::StorageOf(m_Database).remove(Equal(&Plugin::Name, kPluginRowName));
    VTRACE_ROW("DeleteObjectFromDatabase", TL_DB, "Plugin VedidEVU removed from db.");
    return RowResult::kWritten;
  } catch (const DBEXCEPTION::DatabaseException& e) {
    VTRACE_ROW("DeleteObjectFromDatabase", TL_DB,
               "Exception thrown during removing VedidEVU plugin object from db. (%s)", e.what());
    return RowResult::kFailed;
  }
}

}  // namespace NAMESPACE_Varnock
