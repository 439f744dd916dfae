// A drive's row in the host database: built from the drive's property values plus the health
// values of the adapter that owns it, found again by the host name and the serial number.
// Database failures are traced and give kFailed. The plug-in never removes a drive row.
#define VARNOCK_SOURCE "Src/VarnockPhysicalDrive"

#include <algorithm>

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
using RaidDataModels::PD;

constexpr uint64_t kBytesPerDataUnit = 512000;

// Properties stored as the drive's own text.
struct TextColumn {
  uint32_t property;
  std::string CVedidEVUPhysicalDrive::*source;
  std::string PD::*target;
};
constexpr TextColumn kTextColumns[] = {
    {PI::PROP_NAME, &CVedidEVUPhysicalDrive::m_Name, &PD::Name},
    {PI::PROP_VENDOR, &CVedidEVUPhysicalDrive::m_Vendor, &PD::Vendor},
    {PI::PROP_ADDRESS, &CVedidEVUPhysicalDrive::m_IdText, &PD::Location},
    {PI::PROP_SERIAL_NUMBER, &CVedidEVUPhysicalDrive::m_SerialNumber, &PD::SerialNumber},
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

void RowWriter::SetDatabaseObjectProperties(const CVedidEVUPhysicalDrive& drive, PD& row) {
  VTRACE_ROW("SetDatabaseObjectProperties", TL_ENTRY,
             "ENTER SetDatabaseObjectProperties (PhysicalDisk)");
  row = PD();
  row.ObjectID = drive.GetID();
  row.DriveNumber = drive.m_GlobalAdapterNumber;
  row.MediaType = PI::PropertyValueToString(PI::MEDIA_SSD);
  row.HostName = kLoopbackHost;

  for (const TextColumn& column : kTextColumns) row.*column.target = drive.*column.source;
  row.Status = PI::PropertyValueToString(drive.m_Status);     // PI::PROP_STATUS
  row.Interface = PI::PropertyValueToString(PI::MEDIA_NVME);  // PI::PROP_MEDIA_TYPE
  row.Model = ModelText(drive.m_ModelNumber);                 // PI::PROP_MODEL
  row.CapacityMiB = drive.m_CapacityMiB;                      // PI::PROP_CAPACITY
  row.ReportedCapacityMiB = drive.m_ReportedCapacityMiB;      // PI::PROP_REPORTED_CAPACITY
  row.SectorSize = drive.m_SectorSize;                        // PI::PROP_SECTOR_SIZE
  if (drive.m_Temperature != -1.0f &&
      drive.m_Name.compare(0, 3, "SSD") == 0)  // PI::PROP_DRIVE_TEMPERATURE
    row.Temperature = RaidDataModels::TruncatedOrNull(drive.m_Temperature);
  row.Port = 0;      // PI::PROP_PORT
  row.TargetId = 0;  // PI::PROP_TARGET_LUN
  row.Lun = 0;       // PI::PROP_TARGET_LUN

  VTRACE_ROW("SetDatabaseObjectProperties", TL_ENTRY,
             "LEAVE SetDatabaseObjectProperties (PhysicalDisk) -> %d", 0);
}

RowResult RowWriter::InsertObjectToDatabase(CVedidEVUPhysicalDrive& drive,
                                            const std::vector<CVedidEVUAdapter>& adapters) {
  RowResult result = RowResult::kWritten;
  for (const CVedidEVUAdapter& adapter : adapters) {
    if (adapter.m_SerialNumber != drive.m_SerialNumber) continue;
    try {
      PD row;
      SetDatabaseObjectProperties(drive, row);
      drive.m_GlobalAdapterNumber = adapter.m_GlobalAdapterNumber;
      AddAdapterValues(adapter, row);
      DatabaseORM::StorageOf(m_Database).insert(row);
      VTRACE_ROW("InsertObjectToDatabase", TL_DB, "PD (%s) inserted to db.", drive.m_Name);
    } catch (const DBEXCEPTION::DatabaseException& e) {
      VTRACE_ROW("InsertObjectToDatabase", TL_DB,
                 "Storage query exception thrown during inserting PD (%s) to db. (%s)",
                 drive.m_Name, e.what());
      result = RowResult::kFailed;  // the other matching adapters are still tried
    }
  }
  return result;
}

RowResult RowWriter::UpdateObjectInDatabase(const CVedidEVUPhysicalDrive& drive,
                                            const std::vector<CVedidEVUAdapter>& adapters) {
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
      const auto owner =
          std::find_if(adapters.begin(), adapters.end(), [&](const CVedidEVUAdapter& adapter) {
            return adapter.m_GlobalAdapterNumber == drive.m_GlobalAdapterNumber;
          });
      if (owner != adapters.end()) AddAdapterValues(*owner, row);
      storage.update(row);
      VTRACE_ROW("UpdateObjectInDatabase", TL_DB, "PD (%s) updated in db.", drive.m_Name);
    }
    return RowResult::kWritten;
  } catch (const DBEXCEPTION::DatabaseException& e) {
    VTRACE_ROW("UpdateObjectInDatabase", TL_DB,
               "Storage query exception thrown during updating PD (%s) in db. (%s)", drive.m_Name,
               e.what());
    return RowResult::kFailed;
  }
}

}  // namespace NAMESPACE_Varnock
