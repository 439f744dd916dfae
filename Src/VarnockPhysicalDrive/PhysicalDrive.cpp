// The physical-drive object: equality and the drive's request handlers. Every handler runs
// under m_DataLock, taken by the request that reaches it.
#define VARNOCK_SOURCE "Src/VarnockPhysicalDrive"

#include "FieldList.h"
#include "Module.h"
#include "VarnockPlugin.h"

namespace NAMESPACE_Varnock {

namespace {

constexpr uint32_t kSubTypeFloat = 8;
constexpr uint32_t kOperationNeedsHealthyDrive = PI::OP_NEEDS_HEALTHY_DRIVE;

// How a description row gets its value from the drive.
enum class DriveRule {
  kText,         // the text field `text`
  kZero,         // the number 0
  kModelText,    // ModelText of m_ModelNumber
  kMediaType,    // enumeration: always a solid-state medium
  kNumber,       // the 64-bit field `number`
  kStatus,       // enumeration m_Status with its state code
  kSectorSize,   // m_SectorSize widened with sign
  kTemperature,  // float; no row when unknown or when the name does not begin with "SSD"
};

struct DriveRow {
  PI::_PROPERTY_DESCRIPTION description;
  DriveRule rule;
  std::string CVedidEVUPhysicalDrive::*text;
  uint64_t CVedidEVUPhysicalDrive::*number;
};

constexpr PI::_PROPERTY_DESCRIPTION Describe(uint32_t id, uint32_t display, int32_t position,
                                             uint32_t kind, uint32_t units, uint32_t flag) {
  return {id, display, 1, 1, position, kind, units, flag};
}

using D = CVedidEVUPhysicalDrive;
using R = DriveRule;
constexpr uint32_t kText = PI::KIND_TEXT, kEnum = PI::KIND_ENUMERATION, kNum = PI::KIND_NUMBER,
                   kSizeKind = PI::KIND_SIZE;

constexpr DriveRow kDriveRows[] = {
    {Describe(PI::PROP_NAME, 23299, -1, kText, 1, 1), R::kText, &D::m_Name, nullptr},
    {Describe(PI::PROP_PORT, 23306, 4, kNum, 1, 1), R::kZero, nullptr, nullptr},
    {Describe(PI::PROP_TARGET_LUN, 23285, -1, kNum, 1, 1), R::kZero, nullptr, nullptr},
    {Describe(PI::PROP_ADDRESS, 1, 0, kText, 1, 1), R::kText, &D::m_IdText, nullptr},
    {Describe(PI::PROP_VENDOR, 23332, -1, kText, 1, 1), R::kText, &D::m_Vendor, nullptr},
    {Describe(PI::PROP_MODEL, 23309, -1, kText, 1, 1), R::kModelText, nullptr, nullptr},
    {Describe(PI::PROP_MEDIA_TYPE, 23330, -1, kEnum, 1, 1), R::kMediaType, nullptr, nullptr},
    {Describe(PI::PROP_CAPACITY, 23305, -1, kNum, PI::UNIT_MIB, 1), R::kNumber, nullptr,
     &D::m_CapacityMiB},
    {Describe(PI::PROP_REPORTED_CAPACITY, 23282, -1, kNum, PI::UNIT_MIB, 1), R::kNumber, nullptr,
     &D::m_ReportedCapacityMiB},
    {Describe(PI::PROP_STATUS, 23325, -1, kEnum, 1, 1), R::kStatus, nullptr, nullptr},
    {Describe(PI::PROP_USABLE_CAPACITY, 23291, -1, kNum, PI::UNIT_MIB, 1), R::kNumber, nullptr,
     &D::m_UsableMiB},
    {Describe(PI::PROP_USABLE_PERCENT, 23290, -1, kNum, PI::UNIT_PERCENT, 1), R::kNumber, nullptr,
     &D::m_UsablePercent},
    {Describe(PI::PROP_SECTOR_SIZE, 23279, -1, kNum, PI::UNIT_BYTES, 1), R::kSectorSize, nullptr,
     nullptr},
    {Describe(PI::PROP_DRIVE_TEMPERATURE, 23327, -1, kSizeKind, PI::UNIT_CELSIUS, 0),
     R::kTemperature, nullptr, nullptr},
    {Describe(PI::PROP_SERIAL_NUMBER, 23327, -1, kText, 1, 0), R::kText, &D::m_SerialNumber,
     nullptr},
};

// Sets the property's value by the row's rule; false when the row is to be left out.
bool FillDriveValue(const DriveRow& row, const CVedidEVUPhysicalDrive& drive,
                    PI::CProperty& property) {
  switch (row.rule) {
    case R::kText:
      property.SetValue(drive.*row.text);
      return true;
    case R::kZero:
      property.SetValue(uint64_t{0});
      return true;
    case R::kModelText:
      property.SetValue(ModelText(drive.m_ModelNumber));
      return true;
    case R::kMediaType:
      property.SetValue(PI::MEDIA_NVME, std::vector<int32_t>{PI::MEDIA_NVME});
      return true;
    case R::kNumber:
      property.SetValue(drive.*row.number);
      return true;
    case R::kStatus:
      property.SetValue(drive.m_Status,
                        std::vector<int32_t>{PI::STATUS_DRIVE_OK, PI::STATUS_DRIVE_REBUILDING,
                                             PI::STATUS_CRITICAL});
      property.m_StateCode = drive.m_Status == PI::STATUS_CRITICAL ? PI::STATE_DRIVE_CRITICAL
                             : drive.m_Status == PI::STATUS_DRIVE_REBUILDING
                                 ? PI::STATE_DRIVE_REBUILDING
                                 : PI::STATE_DRIVE_OK;
      return true;
    case R::kSectorSize:
      property.SetValue(static_cast<uint64_t>(static_cast<int64_t>(drive.m_SectorSize)));
      return true;
    case R::kTemperature:
      if (drive.m_Temperature == -1.0f || drive.m_Name.compare(0, 3, "SSD") != 0) return false;
      property.SetValue(drive.m_Temperature);
      property.SetSubType(kSubTypeFloat);
      return true;
  }
  return false;
}

// Every field drive equality compares. The drive's temperature follows its adapter's, so
// the light pass copies it from there rather than from a health record.
constexpr auto kDriveFields = std::make_tuple(
    Compared(&D::m_AdapterNumber), Compared(&D::m_GlobalAdapterNumber),
    Compared(&D::m_SerialNumber), Compared(&D::m_Vendor), Compared(&D::m_ModelNumber),
    Compared(&D::m_Name), Compared(&D::m_IdText), Compared(&D::m_DevicePath),
    Compared(&D::m_Status), Compared(&D::m_SectorSize), Compared(&D::m_UsableMiB),
    Compared(&D::m_UsablePercent), Compared(&D::m_CapacityMiB), Compared(&D::m_ReportedCapacityMiB),
    Compared(&D::m_Temperature));

}  // namespace

bool CVedidEVUPhysicalDrive::operator==(const CVedidEVUPhysicalDrive& o) const {
  return PI::CObject::operator==(o) && ListedFieldsEqual(*this, o, kDriveFields);
}

uint32_t IPLUGINAPI_IMPL::GetPhysicalDriveProperties(CVedidEVUPhysicalDrive& drive,
                                                     std::vector<PI::CProperty>& properties,
                                                     uint32_t filter) {
  VTRACE(TL_ENTRY, "ENTER GetPhysicalDriveProperties ()");
  properties.clear();
  for (const DriveRow& row : kDriveRows) {
    PI::CProperty property;
    if (filter != PI::PROP_ALL && filter != row.description.propertyId) continue;
    PI::CPluginHelper::GenerateCProperty(row.description, property);
    if (FillDriveValue(row, drive, property)) properties.push_back(property);
  }
  return 0;
}

uint32_t IPLUGINAPI_IMPL::GetPhysicalDriveOperations(CVedidEVUPhysicalDrive&,
                                                     std::vector<PI::COperation>& operations) {
  operations.clear();
  return 0;
}

uint32_t IPLUGINAPI_IMPL::CheckPhysicalDriveOperation(CVedidEVUPhysicalDrive& drive,
                                                      PI::COperation& operation) {
  VTRACE(TL_ENTRY, "ENTER CheckPhysicalDriveOperation()");
  const uint32_t result =
      operation.GetID() == kOperationNeedsHealthyDrive && drive.m_Status != PI::STATUS_DRIVE_OK
          ? PI::ERR_OPERATION_REFUSED
          : PI::ERR_SUCCESS;
  VTRACE(TL_ENTRY, "LEAVE CheckPhysicalDriveOperation() -> %d", result);
  return result;
}

uint32_t IPLUGINAPI_IMPL::ExecutePhysicalDriveOperation(CVedidEVUPhysicalDrive&, PI::COperation&) {
  VTRACE(TL_ENTRY, "ENTER ExecutePhysicalDriveOperation()");
  VTRACE(TL_ENTRY, "LEAVE ExecutePhysicalDriveOperation() -> %d",
         static_cast<uint32_t>(PI::ERR_OPERATION_NOT_EXECUTABLE));
  return PI::ERR_OPERATION_NOT_EXECUTABLE;
}

uint32_t IPLUGINAPI_IMPL::SetPhysicalDriveProperty(CVedidEVUPhysicalDrive&, PI::CProperty&) {
  return PI::ERR_PROPERTY_NOT_SETTABLE;
}

}  // namespace NAMESPACE_Varnock
