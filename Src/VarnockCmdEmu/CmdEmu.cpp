// The tool bridge: runs the vendor tool with one of its argument lines and turns the JSON it
// prints into adapter-info and health records, or the tool's version text. Its records are
// traced under the names of the plug-in's requests that use them.
#define VARNOCK_SOURCE "Src/VarnockCmdEmu"

#include "CmdEmu.h"

#include <cstring>
#include <string>

#include "JsonRead.h"
#include "ToolOutput.h"
#include "KVLX.h"
#include "Module.h"
#include "HostCodes.h"

namespace NAMESPACE_Varnock {
namespace CmdEmu {

namespace {

using JsonRead::Kind;
using JsonRead::KeyRow;

constexpr ToolStatus kOk = ToolStatus::kOk;
constexpr ToolStatus kNoSupportedHardware = ToolStatus::kNoSupportedHardware;
constexpr ToolStatus kToolFailed = ToolStatus::kToolFailed;
constexpr ToolStatus kUnknownLogPage = ToolStatus::kUnknownLogPage;

// The names the records are traced under.
constexpr const char* kInventoryTrace = "NAMESPACE_Varnock::IPLUGINAPI_IMPL::GetAdaptersInfo";
constexpr const char* kLogPageTrace = "NAMESPACE_Varnock::IPLUGINAPI_IMPL::GetLogPage";
constexpr const char* kHealthTrace = "NAMESPACE_Varnock::IPLUGINAPI_IMPL::GetLogPageInformation";
constexpr const char* kVersionTrace = "NAMESPACE_Varnock::IPLUGINAPI_IMPL::GetVersion";

using ToolOutput::Query;
using ToolOutput::Verdict;

// Section names of the inventory; a drive is listed under its product family and serial.
constexpr const char* kInventorySections[] = {"Intel SSD", "Intel Optane"};

constexpr const char* kIndexKey = "Index";
constexpr const char* kRaidDiskKey = "RSTeDiskId";
constexpr const char* kProductFamilyKey = "ProductFamily";
constexpr const char* kNativeMaxLbaKey = "NativeMaxLBA";

// The inventory's keys after "Index", in the order they are read and traced.
constexpr KeyRow<AdapterInfo> kInventoryKeys[] = {
    {"Bootloader", Kind::kText, &AdapterInfo::bootloader},
    {"ControllerDescription", Kind::kText, &AdapterInfo::controllerDescription},
    {"ControllerIDEMode", Kind::kFlag, &AdapterInfo::controllerIdeMode},
    {"ControllerManufacturer", Kind::kText, &AdapterInfo::controllerManufacturer},
    {"ControllerService", Kind::kText, &AdapterInfo::controllerService},
    {"DevicePath", Kind::kText, &AdapterInfo::devicePath},
    {"DeviceStatus", Kind::kText, &AdapterInfo::deviceStatus},
    {"DriverDescription", Kind::kText, &AdapterInfo::driverDescription},
    {"DriverMajorVersion", Kind::kSigned, &AdapterInfo::driverMajorVersion},
    {"DriverManufacturer", Kind::kText, &AdapterInfo::driverManufacturer},
    {"DriverMinorVersion", Kind::kSigned, &AdapterInfo::driverMinorVersion},
    {"ErrorString", Kind::kText, &AdapterInfo::errorString},
    {"Firmware", Kind::kText, &AdapterInfo::firmware},
    {"LBAFormat", Kind::kSigned, &AdapterInfo::lbaFormat},
    {kProductFamilyKey, Kind::kText, &AdapterInfo::productFamily},
    {"MaximumLBA", Kind::kLargeUnsigned, &AdapterInfo::maximumLba},
    {"ModelNumber", Kind::kText, &AdapterInfo::modelNumber},
    {kNativeMaxLbaKey, Kind::kLargeUnsigned, &AdapterInfo::nativeMaxLba},
    {"NumLBAFormats", Kind::kUnsigned, &AdapterInfo::numLbaFormats},
    {"NVMePowerState", Kind::kUnsigned, &AdapterInfo::nvmePowerState},
    {"PowerGovernorMode", Kind::kText, &AdapterInfo::powerGovernorMode},
    {"SectorSize", Kind::kUnsigned, &AdapterInfo::sectorSize},
    {"SerialNumber", Kind::kText, &AdapterInfo::serialNumber},
    {"TempThreshold", Kind::kUnsigned, &AdapterInfo::tempThreshold},
    {"PhysicalSize", Kind::kLargeUnsigned, &AdapterInfo::physicalSize},
};

// The tool's short family name of the first Optane data-centre drives.
constexpr const char* kBareFamily = "Intel SSD";
constexpr const char* kBareFamilyReplacement = "Intel Optane(TM) SSD DC P4800X Series";

// Model-number prefixes of the drives this plug-in serves, tried in this order.
constexpr size_t kModelPrefixLength = 12;
constexpr const char* kServedModelPrefixes[] = {
    "INTEL SSDPE2", "INTEL SSDPED", "INTEL SSDPEC", "INTEL SSDPE7", "INTEL SSDPEY", "INTEL SSDPEL",
};

constexpr const char* kSmartHealthSections[] = {
    "SMART and Health Information", "NVMeLog2", "NVMeLog SMART and Health Information"};
// A counter whose text does not read wholly as a hexadecimal number is treated like any value
// of another kind: its field keeps the value it had, and the query goes on.
constexpr const char* kCriticalWarningsKey = "Critical Warnings";
constexpr KeyRow<HealthInfo> kSmartHealthKeys[] = {
    {kCriticalWarningsKey, Kind::kSigned, &HealthInfo::criticalWarnings},
    {"Available Spare Space has fallen below the threshold", Kind::kFlag,
     &HealthInfo::spareBelowThreshold},
    {"Device reliability has degraded", Kind::kFlag, &HealthInfo::reliabilityDegraded},
    {"Media is in a read-only mode", Kind::kFlag, &HealthInfo::readOnlyMode},
    {"Volatile memory backup device has failed", Kind::kFlag, &HealthInfo::volatileBackupFailed},
    {"Available Spare Normalized percentage of the remaining spare capacity available",
     Kind::kSigned, &HealthInfo::availableSpare},
    {"Available Spare Threshold Percentage", Kind::kSigned, &HealthInfo::availableSpareThreshold},
    {"Percentage Used", Kind::kSigned, &HealthInfo::percentageUsed},
    {"Data Units Read", Kind::kHexCounter, &HealthInfo::dataUnitsRead},
    {"Data Units Written", Kind::kHexCounter, &HealthInfo::dataUnitsWritten},
    {"Power On Hours", Kind::kHexCounter, &HealthInfo::powerOnHours},
    {"Media Errors", Kind::kHexCounter, &HealthInfo::mediaErrors},
};


constexpr const char* kTemperatureSections[] = {"Temp Statistics", "NVMeLog197",
                                                "NVMeLog Temp Statistics"};
constexpr KeyRow<HealthInfo> kTemperatureKeys[] = {
    {"Current Temperature", Kind::kSigned, &HealthInfo::currentTemperature},
    {"Estimated offset in Celsius", Kind::kSigned, &HealthInfo::temperatureOffset},
};

constexpr const char* kSmartAttributeSections[] = {"SMART Attributes"};
constexpr KeyRow<HealthInfo> kSmartAttributeKeys[] = {
    {"EA", Kind::kLargeUnsigned, &HealthInfo::normalizedEA},
    {"AD", Kind::kLargeUnsigned, &HealthInfo::normalizedAD},
};
constexpr const char* kNormalizedKey = "Normalized";

constexpr KeyRow<HealthInfo> kCapacityKey = {"PhysicalSize", Kind::kLargeUnsigned,
                                             &HealthInfo::capacityBytes};

// Bits the plug-in adds to the critical warnings for the drive temperature t (current minus
// offset), within [low, high].
struct TemperatureBit {
  int64_t low;
  int64_t high;
  uint32_t bit;
};
constexpr int64_t kNoLimit = INT64_MAX;
constexpr TemperatureBit kTemperatureBits[] = {
    {78, 79, 0x20},
    {80, 83, 0x40},
    {84, kNoLimit, 0x80},
    {80, kNoLimit, 0x200},
};
// Every temperature bit: the NVMe bit the drive sets past a temperature threshold, and ours.
constexpr uint32_t kTemperatureWarningBits = 0x02 | 0x20 | 0x40 | 0x80 | 0x200;

constexpr const char* kVersionSection = "Version Information";
constexpr const char* kVersionKey = "Version";

template <size_t N>
bool IsSection(const rapidjson::Value& name, const char* const (&wanted)[N]) {
  for (const char* w : wanted) {
    if (JsonRead::SectionNameMatches(name, w)) return true;
  }
  return false;
}

bool HasServedModelPrefix(const std::string& model) {
  if (model.size() < kModelPrefixLength) return false;
  for (const char* prefix : kServedModelPrefixes) {
    if (model.compare(0, kModelPrefixLength, prefix) == 0) return true;
  }
  return false;
}

}  // namespace

// Traces a value taken into a record, as a text or as a number.
#define VTRACE_SHOWN(function, key, shown)                                            \
  do {                                                                                \
    if (!(shown).isNumber)                                                            \
      VTRACE_AS(function, 2, "Name: %s, Value: (%s)", (key), (shown).text);           \
    else if ((shown).isSigned)                                                        \
      VTRACE_AS(function, 2, "Name: %s, Value: (%d)", (key), (shown).signedNumber);   \
    else                                                                              \
      VTRACE_AS(function, 2, "Name: %s, Value: (%d)", (key), (shown).unsignedNumber); \
  } while (0)

namespace {

// Reads every row of `rows` from every object section of `document` that `wanted` names into
// `record`, tracing each value taken.
template <typename Rows, size_t N>
void ReadSections(const rapidjson::Document& document, const char* const (&wanted)[N],
                  const Rows& rows, HealthInfo& record) {
  if (!document.IsObject()) return;
  for (auto section = document.MemberBegin(); section != document.MemberEnd(); ++section) {
    if (!section->value.IsObject() || !IsSection(section->name, wanted)) continue;
    for (const auto& row : rows) {
      if (JsonRead::ReadInto(section->value, row, record))
        VTRACE_SHOWN(kHealthTrace, row.key, JsonRead::ShowField(row, record));
    }
  }
}

// The normalized values of the SMART attributes named in kSmartAttributeKeys.
void ReadSmartAttributes(const rapidjson::Document& document, HealthInfo& health) {
  if (!document.IsObject()) return;
  for (auto section = document.MemberBegin(); section != document.MemberEnd(); ++section) {
    if (!section->value.IsObject() || !IsSection(section->name, kSmartAttributeSections)) continue;
    const rapidjson::Value& attributes = section->value;
    for (auto attribute = attributes.MemberBegin(); attribute != attributes.MemberEnd();
         ++attribute) {
      if (!attribute->value.IsObject()) continue;
      for (const auto& row : kSmartAttributeKeys) {
        if (!JsonRead::NameEquals(attribute->name, row.key)) continue;
        const KeyRow<HealthInfo> normalized = {kNormalizedKey, row.kind, row.field};
        if (JsonRead::ReadInto(attribute->value, normalized, health))
          VTRACE_SHOWN(kHealthTrace, kNormalizedKey, JsonRead::ShowField(normalized, health));
      }
    }
  }
}

// The capacity, from whichever object section carries it.
void ReadCapacity(const rapidjson::Document& document, HealthInfo& health) {
  if (!document.IsObject()) return;
  for (auto section = document.MemberBegin(); section != document.MemberEnd(); ++section) {
    if (!section->value.IsObject()) continue;
    if (JsonRead::ReadInto(section->value, kCapacityKey, health))
      VTRACE_SHOWN(kHealthTrace, kCapacityKey.key, JsonRead::ShowField(kCapacityKey, health));
  }
}

// Adds the plug-in's temperature bits to the critical warnings and sets the temperature flag.
void AddTemperatureWarnings(HealthInfo& health) {
  const int64_t t = int64_t{health.currentTemperature} - health.temperatureOffset;
  for (const TemperatureBit& row : kTemperatureBits) {
    if (t >= row.low && t <= row.high) health.criticalWarnings |= row.bit;
  }
  // The tool prints no temperature flag. The flag is set while the critical warnings carry a
  // temperature bit, the drive's own or one added above, so that a hot drive shows a warning
  // status and not only events; it clears when the drive has cooled down.
  health.temperatureWarning = health.criticalWarnings & kTemperatureWarningBits;
}

// The record of one qualifying inventory section; `number` is its place among the records.
AdapterInfo ReadRecord(const rapidjson::Value& section, uint64_t number) {
  AdapterInfo info;
  JsonRead::Reading index;
  if (JsonRead::Read(section, kIndexKey, Kind::kSigned, index)) {
    info.index = static_cast<uint32_t>(index.signedNumber);
    info.number = number;
    VTRACE_AS(kInventoryTrace, 2, "Name: %s, Value: (%d)", kIndexKey, info.index);
  }
  for (const auto& row : kInventoryKeys) {
    if (!JsonRead::ReadInto(section, row, info)) {
      if (std::strcmp(row.key, kNativeMaxLbaKey) == 0 && section.HasMember(row.key))
        info.nativeMaxLba = 0;
      continue;
    }
    if (std::strcmp(row.key, kProductFamilyKey) == 0 && info.productFamily == kBareFamily)
      info.productFamily = kBareFamilyReplacement;
    VTRACE_SHOWN(kInventoryTrace, row.key, JsonRead::ShowField(row, info));
  }
  return info;
}

}  // namespace

uint32_t ToHostCode(ToolStatus status) {
  switch (status) {
    case ToolStatus::kOk:
      return PI::ERR_SUCCESS;
    case ToolStatus::kNoSupportedHardware:
      return PI::ERR_NO_SUPPORTED_HARDWARE;
    case ToolStatus::kToolFailed:
      return PI::ERR_TOOL_COMMAND_FAILED;
    case ToolStatus::kUnknownLogPage:
      return PI::ERR_UNKNOWN_LOG_PAGE;
  }
  return PI::ERR_TOOL_COMMAND_FAILED;
}

ToolStatus GetAdaptersInfo(const std::string& toolPath, std::vector<AdapterInfo>& infos) {
  // A shortcut that answers from the last query for a minute is possible, but every caller here
  // wants the drives as they are now, so each call asks the tool.
  infos.clear();

  std::string output;
  const uint32_t result =
      KVLX::CSystem::ExecuteCommand(toolPath, ToolOutput::kInventoryLine, output);
  if (result != 1)
    VTRACE_AS(kInventoryTrace, 2, "KVLX::CSystem::ExecuteCommand returned with %d", result);
  rapidjson::Document document;  // its strings live in `output`
  if (ToolOutput::JudgeInPlace(Query::kInventory, result, output, document) != Verdict::kTaken)
    return kToolFailed;
  if (!document.IsObject()) return kNoSupportedHardware;

  for (auto section = document.MemberBegin(); section != document.MemberEnd(); ++section) {
    if (!section->value.IsObject()) continue;
    if (!IsSection(section->name, kInventorySections)) continue;
    // Drives behind the RAID driver are served by that driver's own plug-in.
    if (section->value.HasMember(kRaidDiskKey)) continue;

    AdapterInfo info = ReadRecord(section->value, infos.size() + 1);
    if (info.index == 0xFFFFFFFFu || !HasServedModelPrefix(info.modelNumber)) continue;
    if (info.nativeMaxLba != 0) info.physicalSize = uint64_t{info.sectorSize} * info.nativeMaxLba;
    infos.push_back(info);
  }
  return infos.empty() ? kNoSupportedHardware : kOk;
}

namespace {

// GetLogPage with the output in `output`. With `inPlace` the output is parsed where it lies, so
// that the document's strings live in `output`, which must then outlive the document.
ToolStatus ReadLogPage(const std::string& toolPath, uint32_t index, uint32_t page,
                       std::string& output, rapidjson::Document& document, bool inPlace) {
  std::string arguments;
  if (!ToolOutput::LogPageArguments(page, index, arguments)) return kUnknownLogPage;

  VTRACE_AS(kLogPageTrace, 2, "KVLX::CSystem::ExecuteCommand start: %s %s", toolPath, arguments);
  const uint32_t result = KVLX::CSystem::ExecuteCommand(toolPath, arguments, output);
  VTRACE_AS(kLogPageTrace, 2, "KVLX::CSystem::ExecuteCommand returned with %d", result);
  const Verdict verdict =
      inPlace ? ToolOutput::JudgeInPlace(Query::kLogPage, result, output, document)
              : ToolOutput::Judge(Query::kLogPage, result, output, document);
  return verdict == Verdict::kTaken ? kOk : kToolFailed;
}

}  // namespace

ToolStatus GetLogPage(const std::string& toolPath, uint32_t index, uint32_t page,
                      rapidjson::Document& document) {
  std::string output;
  return ReadLogPage(toolPath, index, page, output, document, false);
}

ToolStatus GetLogPageInformation(const std::string& toolPath, uint32_t index,
                                 HealthInfo& health) {
  VTRACE_AS(kHealthTrace, 2, "GetLogPageInformation: begin");
  // One buffer for the four pages' output, each page read while its output is in it.
  std::string output;
  rapidjson::Document document;

  ToolStatus result = ReadLogPage(toolPath, index, 2, output, document, true);
  if (result != kOk) return result;
  ReadSections(document, kSmartHealthSections, kSmartHealthKeys, health);

  result = ReadLogPage(toolPath, index, 197, output, document, true);
  if (result != kOk) return result;
  ReadSections(document, kTemperatureSections, kTemperatureKeys, health);

  health.normalizedAD = 100;
  result = ReadLogPage(toolPath, index, 202, output, document, true);
  if (result != kOk) return result;
  ReadSmartAttributes(document, health);

  result = ReadLogPage(toolPath, index, 203, output, document, true);
  if (result != kOk) return result;
  ReadCapacity(document, health);

  AddTemperatureWarnings(health);
  VTRACE_AS(kHealthTrace, 2, "GetLogPageInformation: end");
  return kOk;
}

std::string GetVersion(const std::string& toolPath) {
  std::string output;
  const uint32_t result = KVLX::CSystem::ExecuteCommand(toolPath, ToolOutput::kVersionLine, output);
  rapidjson::Document document;  // its strings live in `output`
  if (ToolOutput::JudgeInPlace(Query::kVersion, result, output, document) != Verdict::kTaken ||
      !document.IsObject())
    return std::string();

  for (auto section = document.MemberBegin(); section != document.MemberEnd(); ++section) {
    if (!section->value.IsObject() || !JsonRead::NameEquals(section->name, kVersionSection))
      continue;
    const auto value = section->value.FindMember(kVersionKey);
    if (value == section->value.MemberEnd() || !value->value.IsString()) return std::string();
    std::string version = value->value.GetString();
    VTRACE_AS(kVersionTrace, 2, "Name: %s, Value: (%s)", kVersionKey, version);
    return version;
  }
  return std::string();
}

}  // namespace CmdEmu
}  // namespace NAMESPACE_Varnock
