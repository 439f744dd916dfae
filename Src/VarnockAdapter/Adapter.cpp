// The adapter object: equality, the model helpers and the adapter's request handlers. Every
// handler runs under m_DataLock, taken by the request that reaches it.
#define VARNOCK_SOURCE "Src/VarnockAdapter"

#include <boost/algorithm/string/predicate.hpp>

#include "KVLX.h"
#include "Module.h"
#include "VarnockPlugin.h"

namespace NAMESPACE_Varnock {

namespace {

constexpr uint64_t kBytesPerDataUnit = 512000;
constexpr uint32_t kSubTypeFloat = 8;

// How a description row gets its value from the adapter.
enum class AdapterRule {
  kText,             // the text field `text`
  kTextUnlessEmpty,  // the text field `text`; no row when empty
  kModelText,        // ModelText of m_ModelNumber
  kSupported,        // enumeration: is the model one that reports its temperature
  kAdapterNumber,    // m_AdapterNumber widened with sign
  kStatus,           // enumeration m_Status with its state code
  kNumber,           // the 64-bit field `number`
  kTemperature,      // float; no row when unknown or on models that do not report it
  kEndOfLife,        // EndOfLifeDate, kept in the adapter; no row without power-on hours
  kCounter,          // the 64-bit field `number`; no row when unknown
  kAvailableSpare,   // bounded 0..100
  kSmartState,       // enumeration m_SmartState
  kSpareThreshold,   // bounded 1..100
  kSize,             // data units of `number` as bytes in a readable unit; no row when unknown
  kEnduranceUsed,    // bounded 0..100: share of the rated endurance written
  kSpareState,       // enumeration m_SpareState
  kWarnings,         // value list m_Warnings; no row when empty
};

struct AdapterRow {
  PI::_PROPERTY_DESCRIPTION description;
  AdapterRule rule;
  uint32_t nlsId;  // 0: none
  std::string CVedidEVUAdapter::*text;
  uint64_t CVedidEVUAdapter::*number;
};

constexpr PI::_PROPERTY_DESCRIPTION Describe(uint32_t id, uint32_t display, int32_t position,
                                             uint32_t kind, uint32_t units, uint32_t flag) {
  return {id, display, 1, 1, position, kind, units, flag};
}

using A = CVedidEVUAdapter;
using R = AdapterRule;
constexpr uint32_t kText = PI::KIND_TEXT, kEnum = PI::KIND_ENUMERATION, kNum = PI::KIND_NUMBER,
                   kBounded = PI::KIND_BOUNDED, kList = PI::KIND_VALUE_LIST,
                   kSizeKind = PI::KIND_SIZE;

constexpr AdapterRow kAdapterRows[] = {
    {Describe(30007, 23081, -1, kText, 1, 1), R::kText, 0, &A::m_Name, nullptr},
    {Describe(30003, 23144, -1, kText, 1, 1), R::kText, 0, &A::m_Vendor, nullptr},
    {Describe(30063, 23102, -1, kText, 1, 1), R::kModelText, 0, nullptr, nullptr},
    {Describe(30158, 1, 0, kEnum, 1, 1), R::kSupported, 0, nullptr, nullptr},
    {Describe(30120, 23003, -1, kNum, 1, 1), R::kAdapterNumber, 35023, nullptr, nullptr},
    {Describe(30017, 23127, -1, kEnum, 1, 1), R::kStatus, 0, nullptr, nullptr},
    {Describe(30479, 23134, -1, kNum, 1, 1), R::kNumber, 35039, nullptr, &A::m_Segment},
    {Describe(30037, 23132, -1, kNum, 1, 1), R::kNumber, 35016, nullptr, &A::m_Bus},
    {Describe(30038, 23133, -1, kNum, 1, 1), R::kNumber, 35020, nullptr, &A::m_Device},
    {Describe(30039, 23135, -1, kNum, 1, 1), R::kNumber, 35022, nullptr, &A::m_Function},
    {Describe(30137, 1, 0, kText, 1, 1), R::kText, 0, &A::m_LocationText, nullptr},
    {Describe(30022, 23116, -1, kText, 1, 1), R::kText, 0, &A::m_SerialNumber, nullptr},
    {Describe(30020, 23051, -1, kText, 1, 1), R::kTextUnlessEmpty, 0, &A::m_Firmware, nullptr},
    {Describe(30500, 23016, -1, kText, 1, 1), R::kTextUnlessEmpty, 0, &A::m_Bootloader, nullptr},
    {Describe(30247, 23090, -1, kText, 1, 1), R::kText, 0, &A::m_DevicePath, nullptr},
    {Describe(30266, 23041, -1, kText, 1, 1), R::kText, 0, &A::m_DriverName, nullptr},
    {Describe(30018, 23042, -1, kText, 1, 1), R::kTextUnlessEmpty, 0, &A::m_DriverVersion,
     nullptr},
    {Describe(30442, 23024, -1, kNum, PI::UNIT_CELSIUS, 0), R::kTemperature, 0, nullptr, nullptr},
    {Describe(30483, 23045, -1, kText, 1, 0), R::kEndOfLife, 0, nullptr, nullptr},
    {Describe(30498, 23101, -1, kNum, PI::UNIT_HOURS, 0), R::kCounter, 0, nullptr,
     &A::m_PowerOnHours},
    {Describe(30486, 23110, -1, kBounded, PI::UNIT_PERCENT, 0), R::kAvailableSpare, 35034,
     nullptr, nullptr},
    {Describe(30487, 23112, -1, kEnum, 1, 1), R::kSmartState, 30017, nullptr, nullptr},
    {Describe(30488, 23113, -1, kBounded, PI::UNIT_PERCENT, 1), R::kSpareThreshold, 35045,
     nullptr, nullptr},
    {Describe(30489, 23017, -1, kSizeKind, 1, 0), R::kSize, 0, nullptr, &A::m_DataUnitsRead},
    {Describe(30490, 23018, -1, kSizeKind, 1, 0), R::kSize, 0, nullptr, &A::m_DataUnitsWritten},
    {Describe(30494, 23105, -1, kBounded, PI::UNIT_PERCENT, 0), R::kEnduranceUsed, 0, nullptr,
     nullptr},
    {Describe(30468, 23147, -1, kEnum, 1, 1), R::kSpareState, 0, nullptr, nullptr},
    {Describe(30189, 23143, -1, kNum, 1, 0), R::kNumber, 0, nullptr, &A::m_MediaErrors},
    {Describe(30165, 23004, -1, kList, 1, 1), R::kWarnings, 0, nullptr, nullptr},
};

// Sets the property's value by the row's rule; false when the row is to be left out.
bool FillAdapterValue(const AdapterRow& row, CVedidEVUAdapter& adapter, PI::CProperty& property) {
  switch (row.rule) {
    case R::kText:
      property.SetValue(adapter.*row.text);
      return true;
    case R::kTextUnlessEmpty:
      if ((adapter.*row.text).empty()) return false;
      property.SetValue(adapter.*row.text);
      return true;
    case R::kModelText:
      property.SetValue(ModelText(adapter.m_ModelNumber));
      return true;
    case R::kSupported:
      property.SetValue(IsSupportedModel(adapter.m_RawModelNumber) ? 40480 : 40488,
                        std::vector<int32_t>{40480, 40488});
      return true;
    case R::kAdapterNumber:
      property.SetValue(static_cast<uint64_t>(static_cast<int64_t>(adapter.m_AdapterNumber)));
      return true;
    case R::kStatus:
      property.SetValue(adapter.m_Status, std::vector<int32_t>{40024, 40150, 40095});
      property.m_StateCode =
          adapter.m_Status == 40095 ? 24001 : adapter.m_Status == 40150 ? 24002 : 24000;
      return true;
    case R::kNumber:
      property.SetValue(adapter.*row.number);
      return true;
    case R::kTemperature:
      if (adapter.m_Temperature == -1.0f || !IsSupportedModel(adapter.m_RawModelNumber))
        return false;
      property.SetValue(adapter.m_Temperature);
      property.SetSubType(kSubTypeFloat);
      return true;
    case R::kEndOfLife:
      if (adapter.m_PowerOnHours == kUnknown64) return false;
      adapter.m_EndOfLifeDate = EndOfLifeDate(adapter);
      property.SetValue(adapter.m_EndOfLifeDate);
      return true;
    case R::kCounter:
      if (adapter.*row.number == kUnknown64) return false;
      property.SetValue(adapter.*row.number);
      return true;
    case R::kAvailableSpare:
      property.SetValue(adapter.m_AvailableSpare, 0, 100, 1);
      return true;
    case R::kSmartState:
      property.SetValue(adapter.m_SmartState, std::vector<int32_t>{40473, 40150, 40474});
      return true;
    case R::kSpareThreshold:
      property.SetValue(adapter.m_SpareThreshold, 1, 100, 1);
      return true;
    case R::kSize: {
      const uint64_t units = adapter.*row.number;
      if (units == kUnknown64) return false;
      float value = 0.0f;
      uint32_t unit = PI::UNIT_NONE;
      if (!PI::CPluginHelper::ConvertBytesToOtherUnit(units * kBytesPerDataUnit, value, unit))
        return false;
      property.SetValue(value);
      property.SetUnits(unit);
      property.SetSubType(kSubTypeFloat);
      return true;
    }
    case R::kEnduranceUsed: {
      // A rating of 0 means nothing is known about the drive's endurance: leave the row out
      // rather than divide by zero or claim an unused drive.
      if (adapter.m_DataUnitsWritten == kUnknown64 || adapter.m_RatedEndurance == 0) return false;
      const uint64_t written = (adapter.m_DataUnitsWritten * kBytesPerDataUnit) >> 40;
      const auto used = static_cast<int32_t>(
          static_cast<uint32_t>(written * 100 / adapter.m_RatedEndurance));
      property.SetValue(used, 0, 100, 1);
      return true;
    }
    case R::kSpareState:
      property.SetValue(adapter.m_SpareState, std::vector<int32_t>{40252, 40410, 40411});
      return true;
    case R::kWarnings:
      if (adapter.m_Warnings.empty()) return false;
      property.SetValue(adapter.m_Warnings,
                        std::vector<int32_t>{40387, 40128, 40393, 40394, 40395, 40396, 40397,
                                             40398, 40399, 40400, 40401, 40402, 40266});
      return true;
  }
  return false;
}

}  // namespace

bool CVedidEVUAdapter::operator==(const CVedidEVUAdapter& o) const {
  // m_EndOfLifeDate is left out: a new date alone is no change of the drive.
  return PI::CObject::operator==(o) && m_AdapterNumber == o.m_AdapterNumber &&
         m_GlobalAdapterNumber == o.m_GlobalAdapterNumber && m_SerialNumber == o.m_SerialNumber &&
         m_Vendor == o.m_Vendor && m_ModelNumber == o.m_ModelNumber && m_Name == o.m_Name &&
         m_LocationText == o.m_LocationText && m_DriverName == o.m_DriverName &&
         m_DriverVersion == o.m_DriverVersion && m_Firmware == o.m_Firmware &&
         m_Bootloader == o.m_Bootloader && m_DevicePath == o.m_DevicePath &&
         m_Segment == o.m_Segment && m_Bus == o.m_Bus && m_Device == o.m_Device &&
         m_Function == o.m_Function && m_CriticalWarnings == o.m_CriticalWarnings &&
         m_SpareLevel == o.m_SpareLevel && m_PercentageUsed == o.m_PercentageUsed &&
         m_MediaErrors == o.m_MediaErrors && m_Temperature == o.m_Temperature &&
         m_Status == o.m_Status && m_Warnings == o.m_Warnings && m_SpareState == o.m_SpareState &&
         m_DataUnitsRead == o.m_DataUnitsRead && m_DataUnitsWritten == o.m_DataUnitsWritten &&
         m_PowerOnHours == o.m_PowerOnHours && m_AvailableSpare == o.m_AvailableSpare &&
         m_RatedEndurance == o.m_RatedEndurance && m_SmartState == o.m_SmartState &&
         m_SpareThreshold == o.m_SpareThreshold && m_RawModelNumber == o.m_RawModelNumber;
}

bool IsSupportedModel(const std::string& model) {
  return model.compare(0, 12, "INTEL SSDPED") == 0 || model.compare(0, 12, "INTEL SSDPEC") == 0;
}

std::string ModelText(const std::string& model) {
  // A model number of just the five letters has no product code after them; it is shown as it
  // stands rather than as an empty text.
  if (model.size() > 5 && boost::algorithm::iequals(model.substr(0, 5), "INTEL"))
    return model.substr(6);
  return model;
}

std::string EndOfLifeDate(const CVedidEVUAdapter& adapter) {
  uint64_t hours = 0;
  // The helper sets the hours on every call; its result only says whether they mean much.
  (void)PI::CPluginHelper::ComputeRemainingLifeTime(
      adapter.m_PowerOnHours, adapter.m_DataUnitsWritten * kBytesPerDataUnit,
      100 - adapter.m_PercentageUsed, adapter.m_RatedEndurance, hours);
  KVLX::CSystemDate_Win date;
  KVLX::CSystemTime_Win::GetDate(KVL::Misc::now() + hours * 3600000, date);
  return Fmt("%4d-%02d-%02d", date.year, date.month, date.day);
}

uint32_t IPLUGINAPI_IMPL::GetAdapterProperties(CVedidEVUAdapter& adapter,
                                               std::vector<PI::CProperty>& properties,
                                               uint32_t filter) {
  VTRACE(TL_ENTRY, "ENTER GetAdapterProperties (%d)", adapter.m_AdapterNumber);
  properties.clear();
  for (const AdapterRow& row : kAdapterRows) {
    PI::CProperty property;
    if (filter != 1 && filter != row.description.propertyId) continue;
    PI::CPluginHelper::GenerateCProperty(row.description, property);
    if (!FillAdapterValue(row, adapter, property)) continue;
    if (row.nlsId != 0) property.SetNlsID(row.nlsId);
    properties.push_back(property);
  }
  VTRACE(TL_ENTRY, "LEAVE GetAdapterProperties -> %d", 0);
  return 0;
}

uint32_t IPLUGINAPI_IMPL::GetAdapterOperations(CVedidEVUAdapter&,
                                               std::vector<PI::COperation>& operations) {
  operations.clear();
  return 0;
}

uint32_t IPLUGINAPI_IMPL::CheckAdapterOperation(CVedidEVUAdapter&, PI::COperation& operation) {
  VTRACE(TL_ENTRY, "ENTER CheckAdapterOperation operation=%d", operation.GetID());
  VTRACE(TL_ENTRY, "LEAVE CheckAdapterOperation -> %d", 0);
  return 0;
}

uint32_t IPLUGINAPI_IMPL::ExecuteAdapterOperation(CVedidEVUAdapter& adapter,
                                                  PI::COperation& operation) {
  VTRACE(TL_ENTRY, "ENTER ExecuteAdapterOperation (%d) (%d)", operation.GetID(),
         adapter.m_AdapterNumber);
  VTRACE(TL_ENTRY, "LEAVE ExecuteAdapterOperation () -> %d", 0);
  return 0;
}

uint32_t IPLUGINAPI_IMPL::SetAdapterProperty(CVedidEVUAdapter&, PI::CProperty&) {
  return PI::ERR_PROPERTY_NOT_SETTABLE;
}

}  // namespace NAMESPACE_Varnock
