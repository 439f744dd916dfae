// The adapter object: equality, the model helpers and the adapter's request handlers. Every
// handler runs under m_DataLock, taken by the request that reaches it.
#define VARNOCK_SOURCE "Src/VarnockAdapter"

#include <boost/algorithm/string/predicate.hpp>

#include "FieldList.h"
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
    {Describe(PI::PROP_NAME, 23081, -1, kText, 1, 1), R::kText, 0, &A::m_Name, nullptr},
    {Describe(PI::PROP_VENDOR, 23144, -1, kText, 1, 1), R::kText, 0, &A::m_Vendor, nullptr},
    {Describe(PI::PROP_MODEL, 23102, -1, kText, 1, 1), R::kModelText, 0, nullptr, nullptr},
    {Describe(PI::PROP_MODEL_SUPPORT, 1, 0, kEnum, 1, 1), R::kSupported, 0, nullptr, nullptr},
    {Describe(PI::PROP_ADAPTER_NUMBER, 23003, -1, kNum, 1, 1), R::kAdapterNumber, 35023, nullptr,
     nullptr},
    {Describe(PI::PROP_STATUS, 23127, -1, kEnum, 1, 1), R::kStatus, 0, nullptr, nullptr},
    {Describe(PI::PROP_SEGMENT, 23134, -1, kNum, 1, 1), R::kNumber, 35039, nullptr, &A::m_Segment},
    {Describe(PI::PROP_BUS, 23132, -1, kNum, 1, 1), R::kNumber, 35016, nullptr, &A::m_Bus},
    {Describe(PI::PROP_DEVICE, 23133, -1, kNum, 1, 1), R::kNumber, 35020, nullptr, &A::m_Device},
    {Describe(PI::PROP_FUNCTION, 23135, -1, kNum, 1, 1), R::kNumber, 35022, nullptr,
     &A::m_Function},
    {Describe(PI::PROP_ADDRESS, 1, 0, kText, 1, 1), R::kText, 0, &A::m_LocationText, nullptr},
    {Describe(PI::PROP_SERIAL_NUMBER, 23116, -1, kText, 1, 1), R::kText, 0, &A::m_SerialNumber,
     nullptr},
    {Describe(PI::PROP_FIRMWARE, 23051, -1, kText, 1, 1), R::kTextUnlessEmpty, 0, &A::m_Firmware,
     nullptr},
    {Describe(PI::PROP_BOOTLOADER, 23016, -1, kText, 1, 1), R::kTextUnlessEmpty, 0,
     &A::m_Bootloader, nullptr},
    {Describe(PI::PROP_DEVICE_PATH, 23090, -1, kText, 1, 1), R::kText, 0, &A::m_DevicePath,
     nullptr},
    {Describe(PI::PROP_DRIVER_NAME, 23041, -1, kText, 1, 1), R::kText, 0, &A::m_DriverName,
     nullptr},
    {Describe(PI::PROP_DRIVER_VERSION, 23042, -1, kText, 1, 1), R::kTextUnlessEmpty, 0,
     &A::m_DriverVersion, nullptr},
    {Describe(PI::PROP_TEMPERATURE, 23024, -1, kNum, PI::UNIT_CELSIUS, 0), R::kTemperature, 0,
     nullptr, nullptr},
    {Describe(PI::PROP_END_OF_LIFE, 23045, -1, kText, 1, 0), R::kEndOfLife, 0, nullptr, nullptr},
    {Describe(PI::PROP_POWER_ON_HOURS, 23101, -1, kNum, PI::UNIT_HOURS, 0), R::kCounter, 0, nullptr,
     &A::m_PowerOnHours},
    {Describe(PI::PROP_AVAILABLE_SPARE, 23110, -1, kBounded, PI::UNIT_PERCENT, 0),
     R::kAvailableSpare, 35034, nullptr, nullptr},
    {Describe(PI::PROP_SMART_STATE, 23112, -1, kEnum, 1, 1), R::kSmartState, PI::PROP_STATUS,
     nullptr, nullptr},
    {Describe(PI::PROP_SPARE_THRESHOLD, 23113, -1, kBounded, PI::UNIT_PERCENT, 1),
     R::kSpareThreshold, 35045, nullptr, nullptr},
    {Describe(PI::PROP_DATA_READ, 23017, -1, kSizeKind, 1, 0), R::kSize, 0, nullptr,
     &A::m_DataUnitsRead},
    {Describe(PI::PROP_DATA_WRITTEN, 23018, -1, kSizeKind, 1, 0), R::kSize, 0, nullptr,
     &A::m_DataUnitsWritten},
    {Describe(PI::PROP_ENDURANCE_USED, 23105, -1, kBounded, PI::UNIT_PERCENT, 0), R::kEnduranceUsed,
     0, nullptr, nullptr},
    {Describe(PI::PROP_SPARE_STATE, 23147, -1, kEnum, 1, 1), R::kSpareState, 0, nullptr, nullptr},
    {Describe(PI::PROP_MEDIA_ERRORS, 23143, -1, kNum, 1, 0), R::kNumber, 0, nullptr,
     &A::m_MediaErrors},
    {Describe(PI::PROP_WARNINGS, 23004, -1, kList, 1, 1), R::kWarnings, 0, nullptr, nullptr},
};

// Sets the property's value by a health rule of the row; false when the row is to be left out.
bool FillHealthValue(const AdapterRow& row, CVedidEVUAdapter& adapter, PI::CProperty& property) {
  switch (row.rule) {
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
      property.SetValue(adapter.m_SmartState,
                        std::vector<int32_t>{PI::SMART_OK, PI::STATUS_WARNING, PI::SMART_FAILED});
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
      const auto used =
          static_cast<int32_t>(static_cast<uint32_t>(written * 100 / adapter.m_RatedEndurance));
      property.SetValue(used, 0, 100, 1);
      return true;
    }
    case R::kSpareState:
      property.SetValue(
          adapter.m_SpareState,
          std::vector<int32_t>{PI::SPARE_NORMAL, PI::SPARE_BELOW_THRESHOLD, PI::SPARE_READ_ONLY});
      return true;
    case R::kWarnings:
      if (adapter.m_Warnings.empty()) return false;
      property.SetValue(adapter.m_Warnings, std::vector<int32_t>(std::begin(PI::ALLOWED_WARNINGS),
                                                                 std::end(PI::ALLOWED_WARNINGS)));
      return true;
    default:
      return false;
  }
}

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
      property.SetValue(IsSupportedModel(adapter.m_RawModelNumber) ? PI::MODEL_SUPPORTED
                                                                   : PI::MODEL_NOT_SUPPORTED,
                        std::vector<int32_t>{PI::MODEL_SUPPORTED, PI::MODEL_NOT_SUPPORTED});
      return true;
    case R::kAdapterNumber:
      property.SetValue(static_cast<uint64_t>(static_cast<int64_t>(adapter.m_AdapterNumber)));
      return true;
    case R::kStatus:
      property.SetValue(adapter.m_Status, std::vector<int32_t>{PI::STATUS_OK, PI::STATUS_WARNING,
                                                               PI::STATUS_CRITICAL});
      property.m_StateCode = adapter.m_Status == PI::STATUS_CRITICAL  ? PI::STATE_ADAPTER_CRITICAL
                             : adapter.m_Status == PI::STATUS_WARNING ? PI::STATE_ADAPTER_WARNING
                                                                      : PI::STATE_ADAPTER_OK;
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
    default:
      return FillHealthValue(row, adapter, property);
  }
}

// Every field adapter equality compares, in declaration order; m_EndOfLifeDate is left out, as
// a new date alone is no change of the drive. Rows with a health source are what the light pass
// refreshes (and the scan sets) from the drive's health record.
constexpr auto kAdapterFields = std::make_tuple(
    Compared(&A::m_AdapterNumber), Compared(&A::m_GlobalAdapterNumber),
    Compared(&A::m_SerialNumber), Compared(&A::m_Vendor), Compared(&A::m_ModelNumber),
    Compared(&A::m_Name), Compared(&A::m_LocationText), Compared(&A::m_DriverName),
    Compared(&A::m_DriverVersion), Compared(&A::m_Firmware), Compared(&A::m_Bootloader),
    Compared(&A::m_DevicePath), Compared(&A::m_Segment), Compared(&A::m_Bus),
    Compared(&A::m_Device), Compared(&A::m_Function), Compared(&A::m_CriticalWarnings),
    Compared(&A::m_SpareLevel), Compared(&A::m_PercentageUsed),
    Refreshed(
        &A::m_MediaErrors, +[](const HealthInfo& h) { return h.mediaErrors; }),
    Refreshed(
        &A::m_Temperature,
        +[](const HealthInfo& h) { return static_cast<float>(h.currentTemperature); }),
    Compared(&A::m_Status), Compared(&A::m_Warnings), Compared(&A::m_SpareState),
    Refreshed(
        &A::m_DataUnitsRead, +[](const HealthInfo& h) { return h.dataUnitsRead; }),
    Refreshed(
        &A::m_DataUnitsWritten, +[](const HealthInfo& h) { return h.dataUnitsWritten; }),
    Refreshed(
        &A::m_PowerOnHours, +[](const HealthInfo& h) { return h.powerOnHours; }),
    Refreshed(
        &A::m_AvailableSpare,
        +[](const HealthInfo& h) { return static_cast<int32_t>(h.availableSpare); }),
    Compared(&A::m_RatedEndurance), Compared(&A::m_SmartState), Compared(&A::m_SpareThreshold),
    Compared(&A::m_RawModelNumber));

}  // namespace

bool CVedidEVUAdapter::operator==(const CVedidEVUAdapter& o) const {
  return PI::CObject::operator==(o) && ListedFieldsEqual(*this, o, kAdapterFields);
}

void ApplyHealth(const HealthInfo& health, CVedidEVUAdapter& adapter) {
  RefreshListedFields(health, adapter, kAdapterFields);
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
    if (filter != PI::PROP_ALL && filter != row.description.propertyId) continue;
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
