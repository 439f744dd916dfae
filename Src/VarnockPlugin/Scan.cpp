// The system scan: turns the tool's inventory records into one adapter and one drive object per
// drive, with health, PCI location, status and names. Runs under m_DataLock, held by the caller.
#define VARNOCK_SOURCE "Src/VarnockPlugin"

#include <algorithm>

#include <boost/algorithm/string/erase.hpp>

#include "KVLX.h"
#include "Module.h"
#include "VarnockPlugin.h"

namespace NAMESPACE_Varnock {

namespace {

constexpr uint64_t kMiB = 1048576;
constexpr uint64_t kAnyDevice = ~0ULL;

struct ModelNameRow {
  uint64_t function;
  uint64_t device;  // kAnyDevice matches every device
  const char* name;
};

// Searched in order; the first matching row names the model.
constexpr ModelNameRow kModelNames[] = {
    {14082, kAnyDevice, "Tessor P3700"}, {14083, kAnyDevice, "Orvent P3700"},
    {14596, kAnyDevice, "Tessor P4800X"}, {14597, kAnyDevice, "Orvent P4800X"},
    {18179, 2644, "Orvent P4501"},       {18179, kAnyDevice, "Orvent P4601"},
    {18181, 2644, "Tessor P4501"},       {18181, kAnyDevice, "Tessor P4601"},
    {18194, kAnyDevice, "Orvent P4600"}, {18196, kAnyDevice, "Tessor P4600"},
};
constexpr const char* kDefaultModelName = "Intel PCIe Device Adapter";

// Critical-warning flags in the order they are looked at; the last one set decides the status.
struct WarningRow {
  bool (*isSet)(const HealthInfo&);
  int32_t status;
  int32_t warning;
};

constexpr WarningRow kWarningRows[] = {
    {[](const HealthInfo& h) { return h.temperatureWarning != 0; }, 40150, 40459},
    {[](const HealthInfo& h) { return h.spareBelowThreshold; }, 40150, 40460},
    {[](const HealthInfo& h) { return h.volatileBackupFailed; }, 40095, 40449},
    {[](const HealthInfo& h) { return h.reliabilityDegraded; }, 40095, 40487},
    {[](const HealthInfo& h) { return h.readOnlyMode; }, 40095, 40452},
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
  if (!KVLX::CConfigManager::GetLocation(kDeviceIds, static_cast<uint32_t>(instance), segment,
                                         bus, device, function))
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
  adapter.m_Status = 40024;
  if (health.criticalWarnings != 0) {
    for (const WarningRow& row : kWarningRows) {
      if (!row.isSet(health)) continue;
      adapter.m_Status = row.status;
      adapter.m_Warnings.push_back(row.warning);
    }
  }
  if (health.normalizedEA < 100 && adapter.m_Status != 40095) adapter.m_Status = 40150;

  if (health.normalizedEA == 100)
    adapter.m_SpareState = 40252;
  else if (health.normalizedEA > 100)
    adapter.m_SpareState = 40411;
  else
    adapter.m_SpareState = health.readOnlyMode ? 40411 : 40410;
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
const Object* FindBySerial(const std::vector<Object>& objects, const std::string& serial) {
  auto it = std::find_if(objects.begin(), objects.end(),
                         [&](const Object& o) { return o.m_SerialNumber == serial; });
  return it == objects.end() ? nullptr : &*it;
}

}  // namespace

std::string IPLUGINAPI_IMPL::ModelName(uint64_t function, uint64_t device) {
  for (const ModelNameRow& row : kModelNames) {
    if (row.function == function && (row.device == kAnyDevice || row.device == device))
      return row.name;
  }
  return kDefaultModelName;
}

uint32_t IPLUGINAPI_IMPL::ScanSystem(std::vector<CVedidEVUAdapter>& adapters,
                                     std::vector<CVedidEVUPhysicalDrive>& drives,
                                     bool firstScan) {
  VTRACE(TL_ENTRY, "ENTER ScanSystem(%d) PhyDrive=%d", firstScan, drives.size());
  VTRACE(TL_VALUE, "ScanSystem, AdapterCount = %d", m_AdapterCount);
  adapters.clear();
  drives.clear();

  for (AdapterInfo& info : m_AdapterInfos) {
    // A failed query leaves the health as it was; the scan shows what is known.
    (void)GetLogPageInformation(info.index, info.health);
    const HealthInfo& health = info.health;

    CVedidEVUAdapter adapter;
    CVedidEVUPhysicalDrive drive;
    adapter.m_Type = kTypeAdapter;
    drive.m_Type = kTypePhysicalDrive;
    adapter.m_Vendor = "INTEL";
    adapter.m_DevicePath = boost::algorithm::erase_all_copy(info.devicePath, "\\");
    drive.m_DevicePath = adapter.m_DevicePath;

    const CVedidEVUAdapter* knownAdapter =
        firstScan ? nullptr : FindBySerial(m_Adapters, info.serialNumber);
    if (knownAdapter != nullptr) {
      adapter.SetID(knownAdapter->GetID());
      adapter.SetChangeCount(knownAdapter->GetChangeCount());
    } else {
      adapter.SetID(NextObjectID());
    }

    LocateAdapter(info.number, adapter);
    adapter.m_LocationText = LocationText(adapter);
    drive.m_IdText = adapter.m_LocationText + "&ID=0";

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

    adapter.m_DriverVersion = KVLX::CSystem::GetModuleVersion(adapter.m_DriverName);
    if (adapter.m_DriverVersion.empty() && !info.driverMajorVersion.empty() &&
        !info.driverMinorVersion.empty())
      adapter.m_DriverVersion = Fmt("%s.%s", info.driverMajorVersion, info.driverMinorVersion);

    adapter.m_Temperature = static_cast<float>(health.currentTemperature);
    adapter.m_MediaErrors = health.mediaErrors;
    adapter.m_CriticalWarnings = health.criticalWarnings;
    adapter.m_SpareLevel = health.normalizedEA;
    adapter.m_PercentageUsed = static_cast<int32_t>(health.normalizedAD);
    SetStatus(health, adapter);

    adapter.m_ModelNumber = info.modelNumber;
    adapter.m_RawModelNumber = info.modelNumber;

    const bool numbered = std::any_of(
        m_AdapterIDs.begin(), m_AdapterIDs.end(), [&](const PI::CAdapterID& id) {
          return id.GetSegment() == static_cast<uint32_t>(adapter.m_Segment) &&
                 id.GetBus() == static_cast<uint32_t>(adapter.m_Bus) &&
                 id.GetDevice() == static_cast<uint32_t>(adapter.m_Device) &&
                 id.GetFunction() == static_cast<uint32_t>(adapter.m_Function) &&
                 id.GetAdapterNumber() != -1;
        });
    if (numbered)
      adapter.m_Name = Fmt("%s (%s)", ModelName(adapter.m_Function, adapter.m_Device),
                           adapter.m_SerialNumber);

    adapter.m_DataUnitsRead = health.dataUnitsRead;
    adapter.m_DataUnitsWritten = health.dataUnitsWritten;
    adapter.m_PowerOnHours = health.powerOnHours;
    adapter.m_AvailableSpare = static_cast<int32_t>(health.availableSpare);
    adapter.m_SpareThreshold = static_cast<int32_t>(health.availableSpareThreshold);
    VTRACE(TL_VALUE, "ScanSystem, DataUnitsRead = %d", adapter.m_DataUnitsRead);
    VTRACE(TL_VALUE, "ScanSystem, DataUnitsWritten = %d", adapter.m_DataUnitsWritten);
    VTRACE(TL_VALUE, "ScanSystem, PowerOnHours = %d", adapter.m_PowerOnHours);
    VTRACE(TL_VALUE, "ScanSystem, ReserveSpace = %d", adapter.m_AvailableSpare);
    VTRACE(TL_VALUE, "ScanSystem, WarningThreshold = %d", adapter.m_SpareThreshold);

    // Dated before the rating is looked up, so the estimate rests on the percentage used.
    if (adapter.m_PowerOnHours != kUnknown64) adapter.m_EndOfLifeDate = EndOfLifeDate(adapter);

    drive.m_SectorSize = static_cast<int32_t>(info.sectorSize);
    drive.m_SerialNumber = info.serialNumber;
    drive.m_Temperature = adapter.m_Temperature;
    info.physicalSize = health.capacityBytes;
    drive.m_CapacityMiB = info.physicalSize / kMiB;
    drive.m_ReportedCapacityMiB = drive.m_CapacityMiB;
    VTRACE(TL_VALUE, "ScanSystem, PhysicalSize = %d", info.physicalSize);
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
    adapter.m_RatedEndurance = RatedEndurance(adapter.m_ModelNumber);

    const CVedidEVUPhysicalDrive* knownDrive =
        firstScan ? nullptr : FindBySerial(m_PhysicalDrives, info.serialNumber);
    if (knownDrive != nullptr) {
      drive.SetID(knownDrive->GetID());
      drive.SetChangeCount(knownDrive->GetChangeCount());
    } else {
      drive.SetID(NextObjectID());
      if (!firstScan) VTRACE(TL_ENTRY, "The drive is not found yet!");
    }
    drive.m_Status = adapter.m_Status == 40095 ? 40095 : 40099;

    adapter.GetChildren().push_back(drive.GetID());
    drive.GetParents().push_back(adapter.GetID());
    adapters.push_back(adapter);
    drives.push_back(drive);
  }

  VTRACE(TL_ENTRY, "LEAVE ScanSystem() -> %d", 0);
  return 0;
}

}  // namespace NAMESPACE_Varnock
