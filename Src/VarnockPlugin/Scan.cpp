// The system scan: turns the tool's inventory records into one adapter and one drive object per
// drive, with health, PCI location, status and names.
#define VARNOCK_SOURCE "Src/VarnockPlugin"

#include "Scan.h"

#include <algorithm>
#include <boost/algorithm/string/erase.hpp>

#include "KVLX.h"
#include "Module.h"

namespace NAMESPACE_Varnock {

namespace {

constexpr const char* kScanTrace = "NAMESPACE_Varnock::IPLUGINAPI_IMPL::ScanSystem";
constexpr uint64_t kMiB = 1048576;
constexpr uint64_t kAnyDevice = ~0ULL;

struct ModelNameRow {
  uint64_t function;
  uint64_t device;  // kAnyDevice matches every device
  const char* name;
};

// Searched in order; the first matching row names the model.
constexpr ModelNameRow kModelNames[] = {
    {14082, kAnyDevice, "Tessor P3700"},  {14083, kAnyDevice, "Orvent P3700"},
    {14596, kAnyDevice, "Tessor P4800X"}, {14597, kAnyDevice, "Orvent P4800X"},
    {18179, 2644, "Orvent P4501"},        {18179, kAnyDevice, "Orvent P4601"},
    {18181, 2644, "Tessor P4501"},        {18181, kAnyDevice, "Tessor P4601"},
    {18194, kAnyDevice, "Orvent P4600"},  {18196, kAnyDevice, "Tessor P4600"},
};
constexpr const char* kDefaultModelName = "Intel PCIe Device Adapter";

// Critical-warning flags in the order they are looked at; the last one set decides the status.
struct WarningRow {
  bool (*isSet)(const HealthInfo&);
  int32_t status;
  int32_t warning;
};

constexpr WarningRow kWarningRows[] = {
    {[](const HealthInfo& h) { return h.temperatureWarning != 0; }, PI::STATUS_WARNING,
     PI::WARNING_TEMPERATURE},
    {[](const HealthInfo& h) { return h.spareBelowThreshold; }, PI::STATUS_WARNING,
     PI::WARNING_SPARE_LOW},
    {[](const HealthInfo& h) { return h.volatileBackupFailed; }, PI::STATUS_CRITICAL,
     PI::WARNING_BACKUP_FAILED},
    {[](const HealthInfo& h) { return h.reliabilityDegraded; }, PI::STATUS_CRITICAL,
     PI::WARNING_RELIABILITY},
    {[](const HealthInfo& h) { return h.readOnlyMode; }, PI::STATUS_CRITICAL,
     PI::WARNING_READ_ONLY},
};

std::string LocationText(const CVedidEVUAdapter& adapter) {
  if (adapter.m_Segment != 0)
    return Fmt("PCI:Segment=%d&Bus=%d&Device=%d&Function=%d", adapter.m_Segment, adapter.m_Bus,
               adapter.m_Device, adapter.m_Function);
  return Fmt("PCI:Bus=%d&Device=%d&Function=%d", adapter.m_Bus, adapter.m_Device,
             adapter.m_Function);
}

// Places the adapter on the PCI bus; a drive that is not found keeps its location.
void LocateAdapter(uint64_t instance, CVedidEVUAdapter& adapter) {
  static const std::vector<std::string> kDeviceIds = {"80860A54", "80860953", "80862701"};
  int segment = 0, bus = 0, device = 0, function = 0;
  if (!KVLX::CConfigManager::GetLocation(kDeviceIds, static_cast<uint32_t>(instance), segment, bus,
                                         device, function))
    return;
  const auto b = static_cast<uint64_t>(bus), d = static_cast<uint64_t>(device),
             f = static_cast<uint64_t>(function);
  if (b == adapter.m_Bus && d == adapter.m_Device && f == adapter.m_Function) {
    adapter.m_Segment = static_cast<uint64_t>(segment);
  } else {
    adapter.m_Bus = b;
    adapter.m_Device = d;
    adapter.m_Function = f;
    adapter.m_Segment = 0;
  }
}

void SetStatus(const HealthInfo& health, CVedidEVUAdapter& adapter) {
  adapter.m_Status = PI::STATUS_OK;
  if (health.criticalWarnings != 0) {
    for (const WarningRow& row : kWarningRows) {
      if (!row.isSet(health)) continue;
      adapter.m_Status = row.status;
      adapter.m_Warnings.push_back(row.warning);
    }
  }
  if (health.normalizedEA < 100 && adapter.m_Status != PI::STATUS_CRITICAL)
    adapter.m_Status = PI::STATUS_WARNING;

  if (health.normalizedEA == 100)
    adapter.m_SpareState = PI::SPARE_NORMAL;
  else if (health.normalizedEA > 100)
    adapter.m_SpareState = PI::SPARE_READ_ONLY;
  else
    adapter.m_SpareState = health.readOnlyMode ? PI::SPARE_READ_ONLY : PI::SPARE_BELOW_THRESHOLD;
}

// "Family: code": the product family without its " Series" ending, and the model number
// without its leading maker word.
std::string DriveName(const AdapterInfo& info) {
  const size_t blank = info.modelNumber.find(' ');
  const std::string code =
      blank == std::string::npos ? info.modelNumber : info.modelNumber.substr(blank + 1);
  const size_t series = info.productFamily.find(" Series");
  const std::string family =
      series == std::string::npos ? info.productFamily : info.productFamily.substr(0, series);
  return family + ": " + code;
}

// Rated endurance of the first known family whose model text occurs in the model number; 1
// when none does.
uint64_t RatedEndurance(const std::string& modelNumber) {
  for (const PI::CNVMeLifeTimeData& entry : PI::GetLifeTimeDataNVMe()) {
    if (modelNumber.find(entry.m_Model.substr(0, entry.m_Length)) != std::string::npos)
      return entry.m_Endurance;
  }
  return 1;
}

template <typename Object>
const Object* FindBySerial(const std::vector<Object>* objects, const std::string& serial) {
  if (objects == nullptr) return nullptr;
  auto it = std::find_if(objects->begin(), objects->end(),
                         [&](const Object& o) { return o.m_SerialNumber == serial; });
  return it == objects->end() ? nullptr : &*it;
}

// Identity, place on the bus and driver of the adapter of `info`.
void DescribeAdapter(const AdapterInfo& info, const ScanContext& context,
                     CVedidEVUAdapter& adapter) {
  adapter.m_Type = PI::TYPE_ADAPTER;
  adapter.m_Vendor = "INTEL";
  adapter.m_DevicePath = boost::algorithm::erase_all_copy(info.devicePath, "\\");
  LocateAdapter(info.number, adapter);
  adapter.m_LocationText = LocationText(adapter);
  adapter.m_SerialNumber = info.serialNumber;
  adapter.m_Firmware = info.firmware;
  adapter.m_Bootloader = info.bootloader;
  adapter.m_DriverName = info.controllerService;

  PI::CGlobalAdapterID globalId(kLoopbackHost);
  globalId.SetSegment(static_cast<uint32_t>(adapter.m_Segment));
  globalId.SetBus(static_cast<uint32_t>(adapter.m_Bus));
  globalId.SetDevice(static_cast<uint32_t>(adapter.m_Device));
  globalId.SetFunction(static_cast<uint32_t>(adapter.m_Function));
  globalId.GenerateUniqueAdapterNumber();
  adapter.m_GlobalAdapterNumber = globalId.GetGlobalAdapterNumber();

  adapter.m_DriverVersion = context.driverVersion(adapter.m_DriverName);
  if (adapter.m_DriverVersion.empty() && !info.driverMajorVersion.empty() &&
      !info.driverMinorVersion.empty())
    adapter.m_DriverVersion = Fmt("%s.%s", info.driverMajorVersion, info.driverMinorVersion);
  adapter.m_ModelNumber = info.modelNumber;
  adapter.m_RawModelNumber = info.modelNumber;
}

// The health values of the adapter, its status and its dated end of life.
void AddHealth(const HealthInfo& health, CVedidEVUAdapter& adapter) {
  ApplyHealth(health, adapter);
  adapter.m_CriticalWarnings = health.criticalWarnings;
  adapter.m_SpareLevel = health.normalizedEA;
  adapter.m_PercentageUsed = static_cast<int32_t>(health.normalizedAD);
  SetStatus(health, adapter);
  adapter.m_SpareThreshold = static_cast<int32_t>(health.availableSpareThreshold);
  VTRACE_AS(kScanTrace, TL_VALUE, "ScanSystem, DataUnitsRead = %d", adapter.m_DataUnitsRead);
  VTRACE_AS(kScanTrace, TL_VALUE, "ScanSystem, DataUnitsWritten = %d", adapter.m_DataUnitsWritten);
  VTRACE_AS(kScanTrace, TL_VALUE, "ScanSystem, PowerOnHours = %d", adapter.m_PowerOnHours);
  VTRACE_AS(kScanTrace, TL_VALUE, "ScanSystem, ReserveSpace = %d", adapter.m_AvailableSpare);
  VTRACE_AS(kScanTrace, TL_VALUE, "ScanSystem, WarningThreshold = %d", adapter.m_SpareThreshold);
  // Dated before the rating is looked up, so the estimate rests on the percentage used.
  if (adapter.m_PowerOnHours != kUnknown64) adapter.m_EndOfLifeDate = EndOfLifeDate(adapter);
}

// The drive beneath `adapter`: its sizes, names and status.
void DescribeDrive(const AdapterInfo& info, const CVedidEVUAdapter& adapter,
                   CVedidEVUPhysicalDrive& drive) {
  drive.m_Type = PI::TYPE_PHYSICAL_DRIVE;
  drive.m_DevicePath = adapter.m_DevicePath;
  drive.m_IdText = adapter.m_LocationText + "&ID=0";
  drive.m_SectorSize = static_cast<int32_t>(info.sectorSize);
  drive.m_SerialNumber = info.serialNumber;
  drive.m_Temperature = adapter.m_Temperature;
  drive.m_CapacityMiB = info.physicalSize / kMiB;
  drive.m_ReportedCapacityMiB = drive.m_CapacityMiB;
  VTRACE_AS(kScanTrace, TL_VALUE, "ScanSystem, PhysicalSize = %d", info.physicalSize);
  drive.m_UsableMiB = uint64_t{info.sectorSize} * info.maximumLba / kMiB;
  if (info.nativeMaxLba != 0)
    drive.m_UsablePercent = info.maximumLba * 100 / info.nativeMaxLba;
  else if (drive.m_CapacityMiB != 0)
    drive.m_UsablePercent = drive.m_UsableMiB * 100 / drive.m_CapacityMiB;
  else
    drive.m_UsablePercent = 0;
  drive.m_Vendor = "INTEL";
  drive.m_AdapterNumber = adapter.m_AdapterNumber;
  drive.m_ModelNumber = info.modelNumber;
  drive.m_Name = DriveName(info);
  drive.m_Status =
      adapter.m_Status == PI::STATUS_CRITICAL ? PI::STATUS_CRITICAL : PI::STATUS_DRIVE_OK;
}

// Identifier and change count of a known object, or a new identifier.
template <typename Object>
void Identify(const Object* known, const ScanContext& context, Object& object) {
  if (known != nullptr) {
    object.SetID(known->GetID());
    object.SetChangeCount(known->GetChangeCount());
  } else {
    object.SetID(context.nextId());
  }
}

}  // namespace

std::string ModelName(uint64_t function, uint64_t device) {
  for (const ModelNameRow& row : kModelNames) {
    if (row.function == function && (row.device == kAnyDevice || row.device == device))
      return row.name;
  }
  return kDefaultModelName;
}

bool IsNumbered(const CVedidEVUAdapter& adapter, const PI::CAdapterID& id) {
  return id.GetSegment() == static_cast<uint32_t>(adapter.m_Segment) &&
         id.GetBus() == static_cast<uint32_t>(adapter.m_Bus) &&
         id.GetDevice() == static_cast<uint32_t>(adapter.m_Device) &&
         id.GetFunction() == static_cast<uint32_t>(adapter.m_Function) &&
         id.GetAdapterNumber() != -1;
}

ScannedDrive ScanRecord(const AdapterInfo& info, const ScanContext& context) {
  ScannedDrive scanned;
  CVedidEVUAdapter& adapter = scanned.adapter;
  CVedidEVUPhysicalDrive& drive = scanned.drive;
  Identify(FindBySerial(context.knownAdapters, info.serialNumber), context, adapter);
  DescribeAdapter(info, context, adapter);
  AddHealth(info.health, adapter);
  if (context.adapterIds != nullptr &&
      std::any_of(context.adapterIds->begin(), context.adapterIds->end(),
                  [&](const PI::CAdapterID& id) { return IsNumbered(adapter, id); }))
    adapter.m_Name =
        Fmt("%s (%s)", ModelName(adapter.m_Function, adapter.m_Device), adapter.m_SerialNumber);
  DescribeDrive(info, adapter, drive);
  adapter.m_RatedEndurance = RatedEndurance(adapter.m_ModelNumber);

  const CVedidEVUPhysicalDrive* knownDrive = FindBySerial(context.knownDrives, info.serialNumber);
  Identify(knownDrive, context, drive);
  if (knownDrive == nullptr && context.knownDrives != nullptr)
    VTRACE_AS(kScanTrace, TL_ENTRY, "The drive is not found yet!");

  adapter.GetChildren().push_back(drive.GetID());
  drive.GetParents().push_back(adapter.GetID());
  return scanned;
}

}  // namespace NAMESPACE_Varnock
