// The row writer: keeps the plug-in's, the adapters' and the drives' rows in the host database.
// Each write builds the row from the object (and, for a drive, its adapter), finds the stored
// row again where it updates or removes one, and reports a database failure as kFailed after
// tracing it; nothing is thrown. One writer serves one plug-in object; its callers hold the
// plug-in's m_DataLock, which serialises the use of the storage handle.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CVedidEVUAdapter.h"
#include "CVedidEVUPhysicalDrive.h"
#include "CVedidEVUPlugin.h"

namespace DatabaseORM {
struct storage_t;
}
namespace RaidDataModels {
struct Plugin;
struct Adapter;
struct PD;
}  // namespace RaidDataModels

namespace NAMESPACE_Varnock {

// How a write ended. The plug-in goes on without a row it could not write (the failure is
// traced), so callers may ignore it.
enum class RowResult { kWritten, kFailed };

// The plug-in's settings that its row carries.
struct PluginSettings {
  std::string toolVersion;   // empty: unknown
  uint32_t pollInterval = 0;  // seconds
};

class RowWriter {
 public:
  explicit RowWriter(std::shared_ptr<DatabaseORM::storage_t> database);

  // The storage the rows go to (null when the host gave none).
  const std::shared_ptr<DatabaseORM::storage_t>& Storage() const { return m_Database; }
  // Lets go of the storage; later writes fail.
  void Release() { m_Database.reset(); }

  // The rows as they are written, built from the objects alone.
  static void SetDatabaseObjectProperties(const CVedidEVUPlugin& plugin,
                                          const PluginSettings& settings,
                                          RaidDataModels::Plugin& row);
  static void SetDatabaseObjectProperties(const CVedidEVUAdapter& adapter,
                                          RaidDataModels::Adapter& row);
  static void SetDatabaseObjectProperties(const CVedidEVUPhysicalDrive& drive,
                                          RaidDataModels::PD& row);

  RowResult InsertObjectToDatabase(const CVedidEVUPlugin& plugin, const PluginSettings& settings);
  RowResult UpdateObjectInDatabase(const CVedidEVUPlugin& plugin, const PluginSettings& settings);
  RowResult DeleteObjectFromDatabase(const CVedidEVUPlugin& plugin);

  RowResult InsertObjectToDatabase(const CVedidEVUAdapter& adapter);
  RowResult UpdateObjectInDatabase(const CVedidEVUAdapter& adapter);
  RowResult DeleteObjectFromDatabase(const CVedidEVUAdapter& adapter);

  // A drive's row carries values of its adapter, found among `adapters`: on insert by serial
  // number (the drive then takes the adapter's global number), on update by that number.
  RowResult InsertObjectToDatabase(CVedidEVUPhysicalDrive& drive,
                                   const std::vector<CVedidEVUAdapter>& adapters);
  RowResult UpdateObjectInDatabase(const CVedidEVUPhysicalDrive& drive,
                                   const std::vector<CVedidEVUAdapter>& adapters);

 private:
  std::shared_ptr<DatabaseORM::storage_t> m_Database;
};

}  // namespace NAMESPACE_Varnock
