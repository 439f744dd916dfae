// The plug-in's own row in the host database: built from the plug-in object and its settings,
// found again by its name. Database failures are traced and reported as 20000.
#define VARNOCK_SOURCE "Src/VarnockPlugin"

#include <algorithm>

#include "DatabaseORM.h"
#include "Module.h"
#include "VarnockPlugin.h"

namespace NAMESPACE_Varnock {

namespace {

using DatabaseORM::Equal;
using RaidDataModels::Plugin;

constexpr const char* kPluginRowName = "VedidEVU-Plugin";
constexpr const char* kPluginVersion = "7.20.0";
constexpr const char* kPluginVendor = "Intel, Inc.";
// What the host may set on the plug-in object, in the host's description format.
constexpr const char* kSettableProperties =
    "{\"settableProperties\":[{\"name\":\"pollinterval\",\"formatStr\":\"<int32>[2..255, 1]\"}]}";

constexpr uint32_t kDatabaseFailed = 20000;

}  // namespace

uint32_t IPLUGINAPI_IMPL::SetDatabaseObjectProperties(const CVedidEVUPlugin& plugin,
                                                      Plugin& row) {
  row = Plugin();
  row.ObjectID = plugin.GetID();
  row.Address = Fmt("Plugin:ID=%d", kModuleNumber);
  row.Name = kPluginRowName;
  row.Version = kPluginVersion;
  row.Vendor = kPluginVendor;
  if (!m_ToolVersion.empty()) row.ToolVersion = m_ToolVersion;
  row.PollInterval = static_cast<int32_t>(std::clamp<uint32_t>(m_PollInterval.load(), 2, 255));
  row.SettableProperties = kSettableProperties;
  return 0;
}

uint32_t IPLUGINAPI_IMPL::InsertObjectToDatabase(CVedidEVUPlugin& plugin) {
  try {
    Plugin row;
    SetDatabaseObjectProperties(plugin, row);
    DatabaseORM::StorageOf(m_Database).insert(row);
    VTRACE(TL_DB, "Plugin VedidEVU inserted to db.");
    return 0;
  } catch (const DBEXCEPTION::DatabaseException& e) {
    VTRACE(TL_DB, "Exception thrown during inserting VedidEVU plugin object to db. (%s)", e.what());
    return kDatabaseFailed;
  }
}

uint32_t IPLUGINAPI_IMPL::UpdateObjectInDatabase(CVedidEVUPlugin& plugin) {
  try {
    Plugin row;
    SetDatabaseObjectProperties(plugin, row);
    DatabaseORM::storage_t& storage = DatabaseORM::StorageOf(m_Database);
    const std::vector<Plugin> stored = storage.select(Equal(&Plugin::Name, kPluginRowName));
    if (!stored.empty()) {
      row.ID = stored.front().ID;
      storage.update(row);
      VTRACE(TL_DB, "Plugin VedidEVU updated in db.");
    }
    return 0;
  } catch (const DBEXCEPTION::DatabaseException& e) {
    VTRACE(TL_DB, "Exception thrown during updating VedidEVU plugin object entry in db. (%s)",
           e.what());
    return kDatabaseFailed;
  }
}

uint32_t IPLUGINAPI_IMPL::DeleteObjectFromDatabase(CVedidEVUPlugin&) {
  try {
    DatabaseORM::StorageOf(m_Database).remove(Equal(&Plugin::Name, kPluginRowName));
    VTRACE(TL_DB, "Plugin VedidEVU removed from db.");
    return 0;
  } catch (const DBEXCEPTION::DatabaseException& e) {
    VTRACE(TL_DB, "Exception thrown during removing VedidEVU plugin object from db. (%s)",
           e.what());
    return kDatabaseFailed;
  }
}

}  // namespace NAMESPACE_Varnock
