// An adapter's row in the host database: built from the adapter's property values, found again
// by the adapter's number and the host name. Database failures are traced and give kFailed.
#define VARNOCK_SOURCE "Src/VarnockAdapter"

#include "DatabaseORM.h"
#include "Module.h"
#include "RowWriter.h"

// Row writes trace under the plug-in's names of the steps they serve.
#define VTRACE_ROW(function, ...) \
  VTRACE_AS("NAMESPACE_Varnock::IPLUGINAPI_IMPL::" function, __VA_ARGS__)

namespace NAMESPACE_Varnock {

namespace {

using DatabaseORM::And;
using DatabaseORM::Equal;
using RaidDataModels::Adapter;

// Properties stored as the adapter's own text; some only when the adapter has one.
struct TextColumn {
  uint32_t property;
  std::string CVedidEVUAdapter::*source;
  std::string Adapter::*target;
  bool onlyWhenSet;
};
constexpr TextColumn kTextColumns[] = {
    {PI::PROP_NAME, &CVedidEVUAdapter::m_Name, &Adapter::Name, false},
    {PI::PROP_VENDOR, &CVedidEVUAdapter::m_Vendor, &Adapter::Vendor, false},
    {PI::PROP_ADDRESS, &CVedidEVUAdapter::m_LocationText, &Adapter::Location, false},
    {PI::PROP_SERIAL_NUMBER, &CVedidEVUAdapter::m_SerialNumber, &Adapter::SerialNumber, false},
    {PI::PROP_FIRMWARE, &CVedidEVUAdapter::m_Firmware, &Adapter::Firmware, true},
    {PI::PROP_BOOTLOADER, &CVedidEVUAdapter::m_Bootloader, &Adapter::Bootloader, true},
    {PI::PROP_DRIVER_NAME, &CVedidEVUAdapter::m_DriverName, &Adapter::DriverName, false},
    {PI::PROP_DRIVER_VERSION, &CVedidEVUAdapter::m_DriverVersion, &Adapter::DriverVersion, true},
};

// Properties stored as a 32-bit number (the PCI location).
struct NumberColumn {
  uint32_t property;
  uint64_t CVedidEVUAdapter::*source;
  int32_t Adapter::*target;
};
constexpr NumberColumn kNumberColumns[] = {
    {PI::PROP_SEGMENT, &CVedidEVUAdapter::m_Segment, &Adapter::Segment},
    {PI::PROP_BUS, &CVedidEVUAdapter::m_Bus, &Adapter::Bus},
    {PI::PROP_DEVICE, &CVedidEVUAdapter::m_Device, &Adapter::Device},
    {PI::PROP_FUNCTION, &CVedidEVUAdapter::m_Function, &Adapter::Function},
};

// The status texts the row can hold; any other status is stored as the normal one.
int32_t StoredStatus(int32_t status) {
  return status == PI::STATUS_CRITICAL || status == PI::STATUS_WARNING ? status : PI::STATUS_OK;
}

}  // namespace

void RowWriter::SetDatabaseObjectProperties(const CVedidEVUAdapter& adapter, Adapter& row) {
  VTRACE_ROW("SetDatabaseObjectProperties", TL_ENTRY,
             "ENTER SetDatabaseObjectProperties (Adapter) (%d)", adapter.m_GlobalAdapterNumber);
  row = Adapter();
  row.ObjectID = adapter.GetID();
  row.AdapterNumber = adapter.m_GlobalAdapterNumber;
  row.HostName = kLoopbackHost;
  row.Present = 1;

  for (const TextColumn& column : kTextColumns) {
    const std::string& text = adapter.*column.source;
    if (column.onlyWhenSet && text.empty()) continue;
    row.*column.target = text;
  }
  for (const NumberColumn& column : kNumberColumns)
    row.*column.target = static_cast<int32_t>(adapter.*column.source);

  const bool supported = IsSupportedModel(adapter.m_RawModelNumber);
  row.Status = PI::PropertyValueToString(StoredStatus(adapter.m_Status));  // PI::PROP_STATUS
  row.Model = ModelText(adapter.m_ModelNumber);                            // PI::PROP_MODEL
  row.ModelSupport = PI::PropertyValueToString(
      supported ? PI::MODEL_SUPPORTED : PI::MODEL_NOT_SUPPORTED);  // PI::PROP_MODEL_SUPPORT
  for (int32_t warning : adapter.m_Warnings)                       // PI::PROP_WARNINGS
    row.Warnings.push_back(PI::PropertyValueToString(warning));
  row.MediaErrors = adapter.m_MediaErrors;          // PI::PROP_MEDIA_ERRORS
  if (supported && adapter.m_Temperature != -1.0f)  // PI::PROP_TEMPERATURE
    row.Temperature = RaidDataModels::TruncatedOrNull(adapter.m_Temperature);

  VTRACE_ROW("SetDatabaseObjectProperties", TL_ENTRY,
             "LEAVE SetDatabaseObjectProperties (Adapter) -> %d", 0);
}

RowResult RowWriter::InsertObjectToDatabase(const CVedidEVUAdapter& adapter) {
  try {
    Adapter row;
    SetDatabaseObjectProperties(adapter, row);
    DatabaseORM::StorageOf(m_Database).insert(row);
    VTRACE_ROW("InsertObjectToDatabase", TL_DB, "Adapter (%s) (%d) inserted to db.", adapter.m_Name,
               adapter.m_GlobalAdapterNumber);
    return RowResult::kWritten;
  } catch (const DBEXCEPTION::DatabaseException& e) {
    VTRACE_ROW("InsertObjectToDatabase", TL_DB,
               "Storage query exception thrown during inserting Adapter (%s) (%d) to db. (%s)",
               adapter.m_Name, adapter.m_GlobalAdapterNumber, e.what());
    return RowResult::kFailed;
  }
}

RowResult RowWriter::UpdateObjectInDatabase(const CVedidEVUAdapter& adapter) {
  try {
    DatabaseORM::storage_t& storage = DatabaseORM::StorageOf(m_Database);
    const std::vector<Adapter> stored =
        storage.select(And(Equal(&Adapter::AdapterNumber, adapter.m_GlobalAdapterNumber),
                           Equal(&Adapter::HostName, kLoopbackHost)));
    if (!stored.empty()) {
      Adapter row;
      SetDatabaseObjectProperties(adapter, row);
      row.ID = stored.front().ID;
      storage.update(row);
      VTRACE_ROW("UpdateObjectInDatabase", TL_DB, "Adapter (%s) (%d) updated in db.",
                 adapter.m_Name, adapter.m_GlobalAdapterNumber);
    }
    return RowResult::kWritten;
  } catch (const DBEXCEPTION::DatabaseException& e) {
    VTRACE_ROW("UpdateObjectInDatabase", TL_DB,
               "Storage query exception thrown during updating Adapter (%s) (%d) in db. (%s)",
               adapter.m_Name, adapter.m_GlobalAdapterNumber, e.what());
    return RowResult::kFailed;
  }
}

RowResult RowWriter::DeleteObjectFromDatabase(const CVedidEVUAdapter& adapter) {
  try {
    DatabaseORM::StorageOf(m_Database)
        .remove(And(Equal(&Adapter::AdapterNumber, adapter.m_GlobalAdapterNumber),
                    Equal(&Adapter::HostName, kLoopbackHost)));
    VTRACE_ROW("DeleteObjectFromDatabase", TL_DB, "Adapter (%s) (%d) removed from db.",
               adapter.m_Name, adapter.m_GlobalAdapterNumber);
    return RowResult::kWritten;
  } catch (const DBEXCEPTION::DatabaseException& e) {
    VTRACE_ROW("DeleteObjectFromDatabase", TL_DB,
               "Storage query exception thrown during removing Adapter (%s) (%d) from db. (%s)",
               adapter.m_Name, adapter.m_GlobalAdapterNumber, e.what());
    return RowResult::kFailed;
  }
}

}  // namespace NAMESPACE_Varnock
