// Change detection: compares a fresh picture from the scan with the current one, raises host
// events for adapters that appeared, vanished or changed their warnings and for resized drives,
// replaces the lists and writes the differences to the database.
#define VARNOCK_SOURCE "Src/VarnockPlugin"

#include "Module.h"
#include "VarnockPlugin.h"

namespace NAMESPACE_Varnock {

namespace {

constexpr uint64_t kAdapterEventObject = 19002;
constexpr uint32_t kEventAdapterAppeared = 11093;
constexpr uint32_t kEventAdapterVanished = 11094;
constexpr uint32_t kEventDriveResized = 10985;
constexpr uint32_t kEventWarningsCleared = 10980;

// Critical-warning bits, in the order their events are raised.
struct WarningEvent {
  uint32_t bit;
  uint32_t code;
  uint32_t severity;
};
constexpr WarningEvent kWarningEvents[] = {
    {16, 10957, 4}, {4, 11088, 3}, {64, 10959, 4}, {128, 10960, 4},
    {32, 10967, 3}, {512, 10962, 3}, {1, 10968, 4},
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
    event.m_Severity = 2;
    events.push_back(event);
  }
  old.IncrementChangeCount();
}

uint32_t IPLUGINAPI_IMPL::UpdateSystem(std::vector<CVedidEVUAdapter>& adapters,
                                       std::vector<CVedidEVUPhysicalDrive>& drives) {
  VTRACE(TL_ENTRY, "ENTER UpdateSystem for %d adapter, %d physicalDrives", adapters.size(),
         drives.size());
  uint32_t result = PI::ERR_NO_PROPERTY_FOUND;  // nothing differs
  std::vector<CVedidEVUAdapter> changedAdapters, appearedAdapters, vanishedAdapters;
  std::vector<CVedidEVUPhysicalDrive> appearedDrives, changedDrives;
  std::vector<PI::CEvent> events;

  for (const CVedidEVUAdapter& fresh : adapters) {
    if (CVedidEVUAdapter* old = FindBySerial(m_Adapters, fresh.m_SerialNumber)) {
      if (*old != fresh) {
        CVedidEVUAdapter::Update(*old, fresh, events);
        result = 0;
        changedAdapters.push_back(*old);
      }
      continue;
    }
    m_Plugin.IncrementChangeCount();
    PI::CEvent event = AdapterEvent(fresh, kEventAdapterAppeared, 2);
    appearedAdapters.push_back(fresh);
    if (CVedidEVUPhysicalDrive* drive = FindBySerial(drives, fresh.m_SerialNumber)) {
      drive->m_GlobalAdapterNumber = fresh.m_GlobalAdapterNumber;
      appearedDrives.push_back(*drive);
    }
    events.push_back(event);
    result = 0;
  }

  for (const CVedidEVUAdapter& old : m_Adapters) {
    if (FindBySerial(adapters, old.m_SerialNumber) != nullptr) continue;
    m_Plugin.IncrementChangeCount();
    PI::CEvent event = AdapterEvent(old, kEventAdapterVanished, 3);
    vanishedAdapters.push_back(old);
    events.push_back(event);
    result = 0;
  }

  m_Plugin.GetChildren().clear();
  for (CVedidEVUAdapter& fresh : adapters) {
    fresh.GetParents().assign(1, m_Plugin.GetID());
    m_Plugin.GetChildren().push_back(fresh.GetID());
  }
  m_Adapters = adapters;

  for (const CVedidEVUPhysicalDrive& fresh : drives) {
    CVedidEVUPhysicalDrive* old = FindBySerial(m_PhysicalDrives, fresh.m_SerialNumber);
    if (old == nullptr || *old == fresh) continue;
    const CVedidEVUAdapter* adapter = FindBySerial(adapters, old->m_SerialNumber);
    if (adapter == nullptr) continue;
    if (old->m_CapacityMiB != fresh.m_CapacityMiB || old->m_SectorSize != fresh.m_SectorSize) {
      PI::CEvent event = MakeEvent(old->GetID(), kEventDriveResized, 2);
      event.SetSource(old->m_Name);
      event.SetPlaceHolder1(adapter->m_Name);
      event.SetPlaceHolder2(old->m_Name);
      events.push_back(event);
    }
    old->IncrementChangeCount();
    old->m_GlobalAdapterNumber = adapter->m_GlobalAdapterNumber;
    result = 0;
    changedDrives.push_back(*old);
  }
  m_PhysicalDrives = drives;

  if (!events.empty()) {
    VTRACE(TL_LOCK, "Before m_EventsLock.Wait (sg)");
    KVL::Threading::CSyncGuard guard;
    m_EventsLock.Wait(&guard, KVL::INFINITE);
    VTRACE(TL_LOCK, "After m_EventsLock.Wait (sg)");
    m_Events.insert(m_Events.end(), events.rbegin(), events.rend());
  }

  for (CVedidEVUAdapter& adapter : appearedAdapters) InsertObjectToDatabase(adapter);
  for (CVedidEVUAdapter& adapter : changedAdapters) UpdateObjectInDatabase(adapter);
  for (CVedidEVUAdapter& adapter : vanishedAdapters) DeleteObjectFromDatabase(adapter);
  for (CVedidEVUPhysicalDrive& drive : appearedDrives) InsertObjectToDatabase(drive);
  for (CVedidEVUPhysicalDrive& drive : changedDrives) UpdateObjectInDatabase(drive);
  UpdateObjectInDatabase(m_Plugin);

  VTRACE(TL_ENTRY, "LEAVE UpdateSystem ret = %d", result);
  return result;
}

}  // namespace NAMESPACE_Varnock
