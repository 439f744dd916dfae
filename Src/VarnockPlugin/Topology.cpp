// The host-facing steps that concern no single object: the whole object tree, the host's
// adapter numbers (which start the worker) and the hand-over of pending events.
#define VARNOCK_SOURCE "Src/VarnockPlugin"

#include "Module.h"
#include "Scan.h"
#include "VarnockPlugin.h"

namespace NAMESPACE_Varnock {

uint32_t IPLUGINAPI_IMPL::GetTopology(std::vector<PI::CObject>& objects) {
  VTRACE(TL_ENTRY, "ENTER GetTopology");
  VARNOCK_LOCK_DATA(guard);
  objects.clear();
  objects.reserve(1 + m_Adapters.size() + m_PhysicalDrives.size());

  objects.push_back(static_cast<const PI::CObject&>(m_Plugin));
  GetPluginProperties(m_Plugin, objects.back().m_Properties, PI::PROP_ALL);
  objects.back().m_Operations.clear();
  GetPluginOperations(m_Plugin, objects.back().m_Operations);

  for (CVedidEVUAdapter& adapter : m_Adapters) {
    objects.push_back(static_cast<const PI::CObject&>(adapter));
    GetAdapterProperties(adapter, objects.back().m_Properties, PI::PROP_ALL);
    GetAdapterOperations(adapter, objects.back().m_Operations);
    VTRACE(TL_WORKER, "GetTopology() Adapter m_ID=0x%x", adapter.GetID());
  }
  VTRACE(TL_WORKER, "GetTopology() m_Adapters = %d", m_Adapters.size());

  for (CVedidEVUPhysicalDrive& drive : m_PhysicalDrives) {
    objects.push_back(static_cast<const PI::CObject&>(drive));
    GetPhysicalDriveProperties(drive, objects.back().m_Properties, PI::PROP_ALL);
    GetPhysicalDriveOperations(drive, objects.back().m_Operations);
    VTRACE(TL_WORKER, "GetTopology() PhysicalDrive m_ID=0x%x", drive.GetID());
  }
  VTRACE(TL_WORKER, "GetTopology() m_PhysicalDrives = %d", m_PhysicalDrives.size());
  VTRACE(TL_ENTRY, "LEAVE GetTopology");
  return 0;
}

uint32_t IPLUGINAPI_IMPL::SetAdapterIDs(std::vector<PI::CAdapterID>& adapterIds) {
  VTRACE(TL_ENTRY, "ENTER SetAdapterIDs");
  // The host numbers adapters once per Initialize, before the worker runs; the lock still keeps
  // a request on another host thread, or a repeated call while the worker runs, from seeing a
  // half-named list.
  KVL::Threading::CSyncGuard guard;
  m_DataLock.Wait(&guard, KVL::INFINITE);
  m_AdapterIDs.insert(m_AdapterIDs.end(), adapterIds.begin(), adapterIds.end());

  for (CVedidEVUAdapter& adapter : m_Adapters) {
    for (const PI::CAdapterID& id : m_AdapterIDs) {
      if (!IsNumbered(adapter, id)) continue;
      adapter.m_Name = Fmt("%s (%d)", ModelName(adapter.m_Function, adapter.m_Device),
                           id.GetAdapterNumber());
      (void)m_Database.UpdateObjectInDatabase(adapter);
      break;
    }
  }

  // One worker per plug-in: a repeated call while the worker runs keeps that worker rather than
  // orphaning it under a second one.
  const bool running = m_WorkerThread && m_WorkerThread->HasThread() &&
                       m_WorkerThread->Wait(0) == KVL::WAIT_TIMEOUT;
  if (!running) {
    m_WorkerThread = std::make_unique<KVL::Threading::CThread>();
    m_WorkerThread->Create(KVL::Delegates_and_Calls::CDelegate(this, &IPLUGINAPI_IMPL::Worker),
                           false);
  }
  return 0;
}

uint32_t IPLUGINAPI_IMPL::GetEvents(CVedidEVUPlugin& /*plugin*/, PI::COperation& operation) {
  VTRACE(TL_ENTRY, "ENTER GetEvents()");
  operation.SetEvents({});
  VTRACE(TL_LOCK, "Before m_EventsLock.Wait(INFINITE)");
  KVL::Threading::CSyncGuard guard;
  const uint32_t waited = m_EventsLock.Wait(&guard, KVL::INFINITE);
  VTRACE(TL_LOCK, "After m_EventsLock.Wait(INFINITE)");
  if (waited != 1) return 0;

  operation.SetEvents(m_Events);
  m_Events.clear();
  VTRACE(TL_LOCK, "Before m_EventsLock.Release()");
  guard.Attach(nullptr);
  m_EventsLock.Release();
  VTRACE(TL_LOCK, "After m_EventsLock.Release()");
  VTRACE(TL_ENTRY, "LEAVE GetEvents() -> %d", 0);
  return 0;
}

}  // namespace NAMESPACE_Varnock
