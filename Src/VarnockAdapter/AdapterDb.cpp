// An adapter's row in the host database: built from the adapter's property values, found again
// by the adapter's number and the host name. Database failures are traced and give 20000.
#define VARNOCK_SOURCE "Src/VarnockAdapter"

#include "DatabaseORM.h"
#include "Module.h"
#include "VarnockPlugin.h"

namespace NAMESPACE_Varnock {

namespace {

using DatabaseORM::And;
using DatabaseORM::Equal;
using RaidDataModels::Adapter;

constexpr uint32_t kDatabaseFailed = 20000;

// Properties stored as the adapter's own text; some only when the adapter has one.
struct TextColumn {
  uint32_t property;
  std::string CVedidEVUAdapter::*source;
  std::string Adapter::*target;
  bool onlyWhenSet;
};
constexpr TextColumn kTextColumns[] = {
    {30007, &CVedidEVUAdapter::m_Name, &Adapter::Name, false},
    {30003, &CVedidEVUAdapter::m_Vendor, &Adapter::Vendor, false},
    {30137, &CVedidEVUAdapter::m_LocationText, &Adapter::Location, false},
    {30022, &CVedidEVUAdapter::m_SerialNumber, &Adapter::SerialNumber, false},
    {30020, &CVedidEVUAdapter::m_Firmware, &Adapter::Firmware, true},
    {30500, &CVedidEVUAdapter::m_Bootloader, &Adapter::Bootloader, true},
    {30266, &CVedidEVUAdapter::m_DriverName, &Adapter::DriverName, false},
    {30018, &CVedidEVUAdapter::m_DriverVersion, &Adapter::DriverVersion, true},
};

// Properties stored as a 32-bit number (the PCI location).
struct NumberColumn {
  uint32_t property;
  uint64_t CVedidEVUAdapter::*source;
  int32_t Adapter::*target;
};
constexpr NumberColumn kNumberColumns[] = {
    {30479, &CVedidEVUAdapter::m_Segment, &Adapter::Segment},
    {30037, &CVedidEVUAdapter::m_Bus, &Adapter::Bus},
    {30038, &CVedidEVUAdapter::m_Device, &Adapter::Device},
    {30039, &CVedidEVUAdapter::m_Function, &Adapter::Function},
};

// The status texts the row can hold; any other status is stored as the normal one.
int32_t StoredStatus(int32_t status) {
  return status == 40095 || status == 40150 ? status : 40024;
}

}  // namespace

uint32_t IPLUGINAPI_IMPL::SetDatabaseObjectProperties(const CVedidEVUAdapter& adapter,
                                                      Adapter& row) {
  VTRACE(TL_ENTRY, "ENTER SetDatabaseObjectProperties (Adapter) (%d)",
         adapter.m_GlobalAdapterNumber);
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
  row.Status = PI::PropertyValueToString(StoredStatus(adapter.m_Status));  // 30017
  row.Model = ModelText(adapter.m_ModelNumber);                            // 30063
  row.ModelSupport = PI::PropertyValueToString(supported ? 40480 : 40488);  // 30158
  for (int32_t warning : adapter.m_Warnings)                               // 30165
    row.Warnings.push_back(PI::PropertyValueToString(warning));
  row.MediaErrors = adapter.m_MediaErrors;                                 // 30189
  if (supported && adapter.m_Temperature != -1.0f)                         // 30442
    row.Temperature = RaidDataModels::TruncatedOrNull(adapter.m_Temperature);

  VTRACE(TL_ENTRY, "LEAVE SetDatabaseObjectProperties (Adapter) -> %d", 0);
  return 0;
}

uint32_t IPLUGINAPI_IMPL::InsertObjectToDatabase(CVedidEVUAdapter& adapter) {
  try {
    Adapter row;
    SetDatabaseObjectProperties(adapter, row);
    DatabaseORM::StorageOf(m_Database).insert(row);
    VTRACE(TL_DB, "Adapter (%s) (%d) inserted to db.", adapter.m_Name,
           adapter.m_GlobalAdapterNumber);
    return 0;
  } catch (const DBEXCEPTION::DatabaseException& e) {
    VTRACE(TL_DB, "Storage query exception thrown during inserting Adapter (%s) (%d) to db. (%s)",
           adapter.m_Name, adapter.m_GlobalAdapterNumber, e.what());
    return kDatabaseFailed;
  }
}

uint32_t IPLUGINAPI_IMPL::UpdateObjectInDatabase(CVedidEVUAdapter& adapter) {
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
      VTRACE(TL_DB, "Adapter (%s) (%d) updated in db.", adapter.m_Name,
             adapter.m_GlobalAdapterNumber);
    }
    return 0;
  } catch (const DBEXCEPTION::DatabaseException& e) {
    VTRACE(TL_DB,
           "Storage query exception thrown during updating Adapter (%s) (%d) in db. (%s)",
           adapter.m_Name, adapter.m_GlobalAdapterNumber, e.what());
    return kDatabaseFailed;
  }
}

uint32_t IPLUGINAPI_IMPL::DeleteObjectFromDatabase(CVedidEVUAdapter& adapter) {
  try {
    DatabaseORM::StorageOf(m_Database)
        .remove(And(Equal(&Adapter::AdapterNumber, adapter.m_GlobalAdapterNumber),
                    Equal(&Adapter::HostName, kLoopbackHost)));
    VTRACE(TL_DB, "Adapter (%s) (%d) removed from db.", adapter.m_Name,
           adapter.m_GlobalAdapterNumber);
    return 0;
  } catch (const DBEXCEPTION::DatabaseException& e) {
    VTRACE(TL_DB,
           "Storage query exception thrown during removing Adapter (%s) (%d) from db. (%s)",
           adapter.m_Name, adapter.m_GlobalAdapterNumber, e.what());
    return kDatabaseFailed;
  }
}

}  // namespace NAMESPACE_Varnock
