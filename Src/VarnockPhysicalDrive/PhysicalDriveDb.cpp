// A drive's row in the host database: built from the drive's property values plus the health
// values of the adapter that owns it, found again by the host name and the serial number.
// Database failures are traced and give 20000. The plug-in never removes a drive row.
#define VARNOCK_SOURCE "Src/VarnockPhysicalDrive"

#include <algorithm>

#include "DatabaseORM.h"
#include "Module.h"
#include "VarnockPlugin.h"

namespace NAMESPACE_Varnock {

namespace {

using DatabaseORM::And;
using DatabaseORM::Equal;
using RaidDataModels::PD;

constexpr uint32_t kDatabaseFailed = 20000;
constexpr uint64_t kBytesPerDataUnit = 512000;

// Properties stored as the drive's own text.
struct TextColumn {
  uint32_t property;
  std::string CVedidEVUPhysicalDrive::*source;
  std::string PD::*target;
};
constexpr TextColumn kTextColumns[] = {
    {30007, &CVedidEVUPhysicalDrive::m_Name, &PD::Name},
    {30003, &CVedidEVUPhysicalDrive::m_Vendor, &PD::Vendor},
    {30137, &CVedidEVUPhysicalDrive::m_IdText, &PD::Location},
    {30022, &CVedidEVUPhysicalDrive::m_SerialNumber, &PD::SerialNumber},
};

// Copies the owning adapter's values into the drive's row. Counts of the adapter are data
// units of 512,000 bytes; an unknown count (all bits set) leaves what derives from it NULL.
void AddAdapterValues(const CVedidEVUAdapter& adapter, PD& row) {
  row.DriveNumber = adapter.m_GlobalAdapterNumber;
  row.DevicePath = adapter.m_DevicePath;
  row.AdapterName = adapter.m_Name;
  if (adapter.m_PowerOnHours != kUnknown64)
    row.PowerOnHours = static_cast<int32_t>(static_cast<uint32_t>(adapter.m_PowerOnHours));
  row.PercentageUsed = adapter.m_PercentageUsed;
  row.SpareState = adapter.m_SpareState;
  row.AvailableSpare = adapter.m_AvailableSpare;
  row.SpareThreshold = std::clamp(adapter.m_SpareThreshold, 0, 100);
  if (adapter.m_DataUnitsRead != kUnknown64)
    row.DataReadKiB = adapter.m_DataUnitsRead * kBytesPerDataUnit / 1024;
  if (adapter.m_DataUnitsWritten != kUnknown64) {
    const uint64_t written = adapter.m_DataUnitsWritten * kBytesPerDataUnit;
    const uint64_t tib = written / (1ULL << 40);
    row.DataWrittenKiB = static_cast<double>(written / 1024);
    row.DataWrittenTiB = static_cast<int32_t>(tib);
    // A rated endurance of 0 cannot be divided by; the share written then stays NULL.
    if (adapter.m_RatedEndurance != 0)
      row.EnduranceUsed = static_cast<int32_t>(tib * 100 / adapter.m_RatedEndurance);
  }
}

}  // namespace

uint32_t IPLUGINAPI_IMPL::SetDatabaseObjectProperties(const CVedidEVUPhysicalDrive& drive,
                                                      PD& row) {
  VTRACE(TL_ENTRY, "ENTER SetDatabaseObjectProperties (PhysicalDisk)");
  row = PD();
  row.ObjectID = drive.GetID();
  row.DriveNumber = drive.m_GlobalAdapterNumber;
  row.MediaType = PI::PropertyValueToString(40293);
  row.HostName = kLoopbackHost;

  for (const TextColumn& column : kTextColumns) row.*column.target = drive.*column.source;
  row.Status = PI::PropertyValueToString(drive.m_Status);  // 30017
  row.Interface = PI::PropertyValueToString(40200);        // 30056
  row.Model = ModelText(drive.m_ModelNumber);              // 30063
  row.CapacityMiB = drive.m_CapacityMiB;                   // 30059
  row.ReportedCapacityMiB = drive.m_ReportedCapacityMiB;   // 30060
  row.SectorSize = drive.m_SectorSize;                     // 30460
  if (drive.m_Temperature != -1.0f && drive.m_Name.compare(0, 3, "SSD") == 0)  // 30069
    row.Temperature = RaidDataModels::TruncatedOrNull(drive.m_Temperature);
  row.Port = 0;      // 30122
  row.TargetId = 0;  // 30125
  row.Lun = 0;       // 30125

  VTRACE(TL_ENTRY, "LEAVE SetDatabaseObjectProperties (PhysicalDisk) -> %d", 0);
  return 0;
}

uint32_t IPLUGINAPI_IMPL::InsertObjectToDatabase(CVedidEVUPhysicalDrive& drive) {
  uint32_t result = 0;
  for (const CVedidEVUAdapter& adapter : m_Adapters) {
    if (adapter.m_SerialNumber != drive.m_SerialNumber) continue;
    try {
      PD row;
      SetDatabaseObjectProperties(drive, row);
      drive.m_GlobalAdapterNumber = adapter.m_GlobalAdapterNumber;
      AddAdapterValues(adapter, row);
      DatabaseORM::StorageOf(m_Database).insert(row);
      VTRACE(TL_DB, "PD (%s) inserted to db.", drive.m_Name);
    } catch (const DBEXCEPTION::DatabaseException& e) {
      VTRACE(TL_DB, "Storage query exception thrown during inserting PD (%s) to db. (%s)",
             drive.m_Name, e.what());
      result = kDatabaseFailed;  // the other matching adapters are still tried
    }
  }
  return result;
}

uint32_t IPLUGINAPI_IMPL::UpdateObjectInDatabase(CVedidEVUPhysicalDrive& drive) {
  try {
    DatabaseORM::storage_t& storage = DatabaseORM::StorageOf(m_Database);
    const std::vector<PD> stored =
        storage.select(And(Equal(&PD::HostName, kLoopbackHost),
                           Equal(&PD::SerialNumber, drive.m_SerialNumber)));
    if (!stored.empty()) {
      PD row;
      SetDatabaseObjectProperties(drive, row);
      row.ID = stored.front().ID;
      // Without an adapter of the drive's number there is nothing to copy: the row's adapter
      // values are then written as NULL rather than read from a missing adapter.
      const auto owner = std::find_if(m_Adapters.begin(), m_Adapters.end(),
                                      [&](const CVedidEVUAdapter& adapter) {
                                        return adapter.m_GlobalAdapterNumber ==
                                               drive.m_GlobalAdapterNumber;
                                      });
      if (owner != m_Adapters.end()) AddAdapterValues(*owner, row);
      storage.update(row);
      VTRACE(TL_DB, "PD (%s) updated in db.", drive.m_Name);
    }
    return 0;
  } catch (const DBEXCEPTION::DatabaseException& e) {
    VTRACE(TL_DB, "Storage query exception thrown during updating PD (%s) in db. (%s)",
           drive.m_Name, e.what());
    return kDatabaseFailed;
  }
}

}  // namespace NAMESPACE_Varnock
