// Change detection: compares a fresh picture from the scan with the current one and gives the
// host events for adapters that appeared, vanished or changed their warnings and for resized
// drives, with the rows that change.
#define VARNOCK_SOURCE "Src/VarnockPlugin"

#include "Diff.h"

#include <utility>

#include "Module.h"

namespace NAMESPACE_Varnock {

namespace {

constexpr uint64_t kAdapterEventObject = PI::TYPE_SYSTEM;
constexpr uint32_t kEventAdapterAppeared = PI::EVT_ADAPTER_APPEARED;
constexpr uint32_t kEventAdapterVanished = PI::EVT_ADAPTER_VANISHED;
constexpr uint32_t kEventDriveResized = PI::EVT_DRIVE_RESIZED;
constexpr uint32_t kEventWarningsCleared = PI::EVT_WARNINGS_CLEARED;

// Critical-warning bits, in the order their events are raised.
struct WarningEvent {
  uint32_t bit;
  uint32_t code;
  uint32_t severity;
};
constexpr uint32_t kCritical = PI::SEVERITY_CRITICAL, kWarning = PI::SEVERITY_WARNING;
constexpr WarningEvent kWarningEvents[] = {
    {16, PI::EVT_BACKUP_FAILED, kCritical},         {4, PI::EVT_RELIABILITY_DEGRADED, kWarning},
    {64, PI::EVT_TEMPERATURE_80_TO_83, kCritical},  {128, PI::EVT_TEMPERATURE_CRITICAL, kCritical},
    {32, PI::EVT_TEMPERATURE_78_TO_79, kWarning},   {512, PI::EVT_TEMPERATURE_AT_80, kWarning},
    {1, PI::EVT_SPARE_LOW, kCritical},
};

PI::CEvent MakeEvent(uint64_t object, uint32_t code, uint32_t severity) {
  PI::CEvent event;
  event.m_ObjectID = object;
  event.m_Code = code;
  event.m_Severity = severity;
  event.m_Time = KVL::Misc::now();
  return event;
}

// An adapter that appeared or vanished. Adapters behind the inbox and RAID drivers have no
// useful name, so they are named after their serial number.
PI::CEvent AdapterEvent(const CVedidEVUAdapter& adapter, uint32_t code, uint32_t severity) {
  PI::CEvent event = MakeEvent(kAdapterEventObject, code, severity);
  if (adapter.m_DriverName == "IaNVMe" || adapter.m_DriverName == "iaVROC") {
    event.SetSource("Intel PCIe Device Adapter (" + adapter.m_SerialNumber + ")");
    event.SetPlaceHolder1("Intel PCIe Device Adapter");
    event.SetPlaceHolder2(" " + adapter.m_SerialNumber);
  } else {
    event.SetSource(adapter.m_Name);
    event.SetPlaceHolder1(adapter.m_Name);
    event.SetPlaceHolder2(" ");
  }
  return event;
}

template <typename T>
T* FindBySerial(std::vector<T>& list, const std::string& serial) {
  for (T& item : list)
    if (item.m_SerialNumber == serial) return &item;
  return nullptr;
}

template <typename T>
const T* FindBySerial(const std::vector<T>& list, const std::string& serial) {
  for (const T& item : list)
    if (item.m_SerialNumber == serial) return &item;
  return nullptr;
}

// Adapters that changed, appeared (with their drives) or vanished.
void DiffAdapters(const std::vector<CVedidEVUAdapter>& oldAdapters,
                  const std::vector<CVedidEVUAdapter>& freshAdapters,
                  std::vector<CVedidEVUPhysicalDrive>& freshDrives, SystemChanges& changes) {
  for (const CVedidEVUAdapter& fresh : freshAdapters) {
    if (const CVedidEVUAdapter* old = FindBySerial(oldAdapters, fresh.m_SerialNumber)) {
      if (*old != fresh) {
        CVedidEVUAdapter changed = *old;
        CVedidEVUAdapter::Update(changed, fresh, changes.events);
        changes.changedAdapters.push_back(std::move(changed));
        changes.changed = true;
      }
      continue;
    }
    ++changes.pluginChanges;
    changes.appearedAdapters.push_back(fresh);
    if (CVedidEVUPhysicalDrive* drive = FindBySerial(freshDrives, fresh.m_SerialNumber)) {
      drive->m_GlobalAdapterNumber = fresh.m_GlobalAdapterNumber;
      changes.appearedDrives.push_back(*drive);
    }
    changes.events.push_back(AdapterEvent(fresh, kEventAdapterAppeared, PI::SEVERITY_INFORMATION));
    changes.changed = true;
  }

  for (const CVedidEVUAdapter& old : oldAdapters) {
    if (FindBySerial(freshAdapters, old.m_SerialNumber) != nullptr) continue;
    ++changes.pluginChanges;
    changes.vanishedAdapters.push_back(old);
    changes.events.push_back(AdapterEvent(old, kEventAdapterVanished, PI::SEVERITY_WARNING));
    changes.changed = true;
  }
}

// Known drives that changed; a new size raises an event.
void DiffDrives(const std::vector<CVedidEVUPhysicalDrive>& oldDrives,
                const std::vector<CVedidEVUAdapter>& freshAdapters,
                const std::vector<CVedidEVUPhysicalDrive>& freshDrives, SystemChanges& changes) {
  for (const CVedidEVUPhysicalDrive& fresh : freshDrives) {
    const CVedidEVUPhysicalDrive* old = FindBySerial(oldDrives, fresh.m_SerialNumber);
    if (old == nullptr || *old == fresh) continue;
    const CVedidEVUAdapter* adapter = FindBySerial(freshAdapters, old->m_SerialNumber);
    if (adapter == nullptr) continue;
    if (old->m_CapacityMiB != fresh.m_CapacityMiB || old->m_SectorSize != fresh.m_SectorSize) {
      PI::CEvent event = MakeEvent(old->GetID(), kEventDriveResized, PI::SEVERITY_INFORMATION);
      event.SetSource(old->m_Name);
      event.SetPlaceHolder1(adapter->m_Name);
      event.SetPlaceHolder2(old->m_Name);
      changes.events.push_back(event);
    }
    CVedidEVUPhysicalDrive changed = *old;
    changed.IncrementChangeCount();
    changed.m_GlobalAdapterNumber = adapter->m_GlobalAdapterNumber;
    changes.changedDrives.push_back(std::move(changed));
    changes.changed = true;
  }
}

}  // namespace

void CVedidEVUAdapter::Update(CVedidEVUAdapter& old, const CVedidEVUAdapter& fresh,
                              std::vector<PI::CEvent>& events) {
  PI::CEvent event = MakeEvent(old.GetID(), 0, 0);
  event.SetSource(old.m_Name);
  event.SetPlaceHolder1(old.m_Name);
  VTRACE(TL_ENTRY, "Update () %x -> %x", old.m_CriticalWarnings, fresh.m_CriticalWarnings);

  if (old.m_CriticalWarnings != fresh.m_CriticalWarnings) {
    for (const WarningEvent& warning : kWarningEvents) {
      if ((old.m_CriticalWarnings & warning.bit) == 0 &&
          (fresh.m_CriticalWarnings & warning.bit) != 0) {
        event.m_Code = warning.code;
        event.m_Severity = warning.severity;
        events.push_back(event);
      }
    }
  }
  if (old.m_CriticalWarnings != 0 && fresh.m_CriticalWarnings == 0) {
    event.m_Code = kEventWarningsCleared;
    event.m_Severity = PI::SEVERITY_INFORMATION;
    events.push_back(event);
  }
  old.IncrementChangeCount();
}

SystemChanges DiffSystem(const std::vector<CVedidEVUAdapter>& oldAdapters,
                         const std::vector<CVedidEVUPhysicalDrive>& oldDrives,
                         const std::vector<CVedidEVUAdapter>& freshAdapters,
                         std::vector<CVedidEVUPhysicalDrive>& freshDrives) {
  SystemChanges changes;
  DiffAdapters(oldAdapters, freshAdapters, freshDrives, changes);
  DiffDrives(oldDrives, freshAdapters, freshDrives, changes);
  return changes;
}

}  // namespace NAMESPACE_Varnock
