// The physical-drive object: equality and the drive's request handlers. Every handler runs
// under m_DataLock, taken by the request that reaches it.
#define VARNOCK_SOURCE "Src/VarnockPhysicalDrive"

#include "Module.h"
#include "VarnockPlugin.h"

namespace NAMESPACE_Varnock {

namespace {

constexpr uint32_t kSubTypeFloat = 8;
constexpr uint32_t kOperationNeedsHealthyDrive = 50026;

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
    {Describe(30007, 23299, -1, kText, 1, 1), R::kText, &D::m_Name, nullptr},
    {Describe(30122, 23306, 4, kNum, 1, 1), R::kZero, nullptr, nullptr},
    {Describe(30125, 23285, -1, kNum, 1, 1), R::kZero, nullptr, nullptr},
    {Describe(30137, 1, 0, kText, 1, 1), R::kText, &D::m_IdText, nullptr},
    {Describe(30003, 23332, -1, kText, 1, 1), R::kText, &D::m_Vendor, nullptr},
    {Describe(30063, 23309, -1, kText, 1, 1), R::kModelText, nullptr, nullptr},
    {Describe(30056, 23330, -1, kEnum, 1, 1), R::kMediaType, nullptr, nullptr},
    {Describe(30059, 23305, -1, kNum, PI::UNIT_MIB, 1), R::kNumber, nullptr, &D::m_CapacityMiB},
    {Describe(30060, 23282, -1, kNum, PI::UNIT_MIB, 1), R::kNumber, nullptr,
     &D::m_ReportedCapacityMiB},
    {Describe(30017, 23325, -1, kEnum, 1, 1), R::kStatus, nullptr, nullptr},
    {Describe(30461, 23291, -1, kNum, PI::UNIT_MIB, 1), R::kNumber, nullptr, &D::m_UsableMiB},
    {Describe(30462, 23290, -1, kNum, PI::UNIT_PERCENT, 1), R::kNumber, nullptr,
     &D::m_UsablePercent},
    {Describe(30460, 23279, -1, kNum, PI::UNIT_BYTES, 1), R::kSectorSize, nullptr, nullptr},
    {Describe(30069, 23327, -1, kSizeKind, PI::UNIT_CELSIUS, 0), R::kTemperature, nullptr,
     nullptr},
    {Describe(30022, 23327, -1, kText, 1, 0), R::kText, &D::m_SerialNumber, nullptr},
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
      property.SetValue(40200, std::vector<int32_t>{40200});
      return true;
    case R::kNumber:
      property.SetValue(drive.*row.number);
      return true;
    case R::kStatus:
      property.SetValue(drive.m_Status, std::vector<int32_t>{40099, 40180, 40095});
      property.m_StateCode =
          drive.m_Status == 40095 ? 24177 : drive.m_Status == 40180 ? 24189 : 24183;
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

}  // namespace

bool CVedidEVUPhysicalDrive::operator==(const CVedidEVUPhysicalDrive& o) const {
  return PI::CObject::operator==(o) && m_AdapterNumber == o.m_AdapterNumber &&
         m_GlobalAdapterNumber == o.m_GlobalAdapterNumber && m_SerialNumber == o.m_SerialNumber &&
         m_Vendor == o.m_Vendor && m_ModelNumber == o.m_ModelNumber && m_Name == o.m_Name &&
         m_IdText == o.m_IdText && m_DevicePath == o.m_DevicePath && m_Status == o.m_Status &&
         m_SectorSize == o.m_SectorSize && m_UsableMiB == o.m_UsableMiB &&
         m_UsablePercent == o.m_UsablePercent && m_CapacityMiB == o.m_CapacityMiB &&
         m_ReportedCapacityMiB == o.m_ReportedCapacityMiB && m_Temperature == o.m_Temperature;
}

uint32_t IPLUGINAPI_IMPL::GetPhysicalDriveProperties(CVedidEVUPhysicalDrive& drive,
                                                     std::vector<PI::CProperty>& properties,
                                                     uint32_t filter) {
  VTRACE(TL_ENTRY, "ENTER GetPhysicalDriveProperties ()");
  properties.clear();
  for (const DriveRow& row : kDriveRows) {
    PI::CProperty property;
    if (filter != 1 && filter != row.description.propertyId) continue;
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
      operation.GetID() == kOperationNeedsHealthyDrive && drive.m_Status != 40099
          ? PI::ERR_OPERATION_REFUSED
          : PI::ERR_SUCCESS;
  VTRACE(TL_ENTRY, "LEAVE CheckPhysicalDriveOperation() -> %d", result);
  return result;
}

uint32_t IPLUGINAPI_IMPL::ExecutePhysicalDriveOperation(CVedidEVUPhysicalDrive&,
                                                        PI::COperation&) {
  VTRACE(TL_ENTRY, "ENTER ExecutePhysicalDriveOperation()");
  VTRACE(TL_ENTRY, "LEAVE ExecutePhysicalDriveOperation() -> %d",
         static_cast<uint32_t>(PI::ERR_OPERATION_NOT_EXECUTABLE));
  return PI::ERR_OPERATION_NOT_EXECUTABLE;
}

uint32_t IPLUGINAPI_IMPL::SetPhysicalDriveProperty(CVedidEVUPhysicalDrive&, PI::CProperty&) {
  return PI::ERR_PROPERTY_NOT_SETTABLE;
}

}  // namespace NAMESPACE_Varnock
