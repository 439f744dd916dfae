// The plug-in's two steps over the whole system: the scan (health queries, then the objects of
// each record) and the update (change detection, events, object lists and rows). Both run under
// m_DataLock, held by the caller.
#define VARNOCK_SOURCE "Src/VarnockPlugin"

#include <map>
#include <string>

#include "CmdEmu.h"
#include "Diff.h"
#include "KVLX.h"
#include "Module.h"
#include "Scan.h"
#include "VarnockPlugin.h"

namespace NAMESPACE_Varnock {

void IPLUGINAPI_IMPL::ScanSystem(std::vector<CVedidEVUAdapter>& adapters,
                                 std::vector<CVedidEVUPhysicalDrive>& drives, bool firstScan) {
  VTRACE(TL_ENTRY, "ENTER ScanSystem(%d) PhyDrive=%d", firstScan, drives.size());
  VTRACE(TL_VALUE, "ScanSystem, AdapterCount = %d", m_AdapterCount);
  ScanContext context;
  if (!firstScan) {
    context.knownAdapters = &m_Adapters;
    context.knownDrives = &m_PhysicalDrives;
  }
  context.adapterIds = &m_AdapterIDs;
  context.nextId = [this] { return NextObjectID(); };
  // Each driver's version is read once per scan rather than once per drive.
  std::map<std::string, std::string> driverVersions;
  context.driverVersion = [&driverVersions](const std::string& module) {
    auto [version, unread] = driverVersions.try_emplace(module);
    if (unread) version->second = KVLX::CSystem::GetModuleVersion(module);
    return version->second;
  };

  std::vector<CVedidEVUAdapter> freshAdapters;
  std::vector<CVedidEVUPhysicalDrive> freshDrives;
  freshAdapters.reserve(m_AdapterInfos.size());
  freshDrives.reserve(m_AdapterInfos.size());
  for (AdapterInfo& info : m_AdapterInfos) {
    // A failed query leaves the health as it was; the scan shows what is known.
    (void)CmdEmu::GetLogPageInformation(m_ToolPath, info.index, info.health);
    info.physicalSize = info.health.capacityBytes;
    ScannedDrive scanned = ScanRecord(info, context);
    freshAdapters.push_back(std::move(scanned.adapter));
    freshDrives.push_back(std::move(scanned.drive));
  }
  // The lists may be the known ones (the first scan fills the plug-in's own lists).
  adapters = std::move(freshAdapters);
  drives = std::move(freshDrives);
  VTRACE(TL_ENTRY, "LEAVE ScanSystem() -> %d", 0);
}

bool IPLUGINAPI_IMPL::UpdateSystem(std::vector<CVedidEVUAdapter>& adapters,
                                   std::vector<CVedidEVUPhysicalDrive>& drives) {
  VTRACE(TL_ENTRY, "ENTER UpdateSystem for %d adapter, %d physicalDrives", adapters.size(),
         drives.size());
  SystemChanges changes = DiffSystem(m_Adapters, m_PhysicalDrives, adapters, drives);
  for (uint32_t i = 0; i < changes.pluginChanges; ++i) m_Plugin.IncrementChangeCount();

  m_Plugin.GetChildren().clear();
  for (CVedidEVUAdapter& fresh : adapters) {
    fresh.GetParents().assign(1, m_Plugin.GetID());
    m_Plugin.GetChildren().push_back(fresh.GetID());
  }
  m_Adapters = adapters;
  m_PhysicalDrives = drives;

  if (!changes.events.empty()) {
    VTRACE(TL_LOCK, "Before m_EventsLock.Wait (sg)");
    KVL::Threading::CSyncGuard guard;
    m_EventsLock.Wait(&guard, KVL::INFINITE);
    VTRACE(TL_LOCK, "After m_EventsLock.Wait (sg)");
    m_Events.insert(m_Events.end(), changes.events.rbegin(), changes.events.rend());
  }

  for (const CVedidEVUAdapter& adapter : changes.appearedAdapters)
    (void)m_Database.InsertObjectToDatabase(adapter);
  for (const CVedidEVUAdapter& adapter : changes.changedAdapters)
    (void)m_Database.UpdateObjectInDatabase(adapter);
  for (const CVedidEVUAdapter& adapter : changes.vanishedAdapters)
    (void)m_Database.DeleteObjectFromDatabase(adapter);
  for (CVedidEVUPhysicalDrive& drive : changes.appearedDrives)
    (void)m_Database.InsertObjectToDatabase(drive, m_Adapters);
  for (const CVedidEVUPhysicalDrive& drive : changes.changedDrives)
    (void)m_Database.UpdateObjectInDatabase(drive, m_Adapters);
  (void)m_Database.UpdateObjectInDatabase(m_Plugin, Settings());

  // The trace gives the result in the host's terms: success, or not found when nothing differed.
  VTRACE(TL_ENTRY, "LEAVE UpdateSystem ret = %d",
         changes.changed ? PI::ERR_SUCCESS : PI::ERR_NO_PROPERTY_FOUND);
  return changes.changed;
}

}  // namespace NAMESPACE_Varnock
