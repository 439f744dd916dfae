// The worker thread: light passes re-read every drive's health into the adapters; full passes
// rerun the inventory and the scan, detect changes and notify the host.
#define VARNOCK_SOURCE "Src/VarnockPlugin"

#include "CmdEmu.h"
#include "Module.h"
#include "VarnockPlugin.h"

namespace NAMESPACE_Varnock {

// Holds a mutex taken with Wait and releases it on Release or, should the thread be cancelled
// while holding it, when the stack unwinds.
class IPLUGINAPI_IMPL::HeldLock {
 public:
  HeldLock(KVL::Threading::Native_OS::CFastMutex& mutex, uint32_t waitResult)
      : m_Mutex(mutex), m_Held(waitResult == 1) {}
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  ~HeldLock() {
    if (m_Held) m_Mutex.Release();
  }
  bool Held() const { return m_Held; }
  void Release() {
    m_Held = false;
    m_Mutex.Release();
  }

 private:
  KVL::Threading::Native_OS::CFastMutex& m_Mutex;
  bool m_Held;
};

namespace {

constexpr uint32_t kWakeForce = 1;
constexpr uint32_t kWakePrivate = 3;
constexpr uint64_t kFirstIntervalMs = 100;
constexpr uint64_t kPauseAfterDriveMs = 1000;

// Every record of the worker's passes names the worker.
constexpr const char* kWorkerTrace = "NAMESPACE_Varnock::IPLUGINAPI_IMPL::Worker";

}  // namespace

#define WTRACE(level, ...) VTRACE_AS(kWorkerTrace, level, __VA_ARGS__)

// Releases the worker's hold of m_DataLock, with the lock traces of the worker.
#define VARNOCK_RELEASE_DATA(data)                    \
  do {                                                \
    WTRACE(TL_LOCK, "Before m_DataLock.Release ()");  \
    (data).Release();                                 \
    WTRACE(TL_LOCK, "After m_DataLock.Release ()");   \
  } while (0)

void IPLUGINAPI_IMPL::Worker() {
  WTRACE(TL_ENTRY, "ENTER Worker()");
  bool fullPass = true;
  uint64_t lastFullPass = KVL::Misc::now();
  KVL::Threading::CWaitInterval interval(kFirstIntervalMs);
  KVL::Threading::CWaiter waiter;
  waiter << m_ForceWorker << m_StopRequest << m_PrivateEvent;

  for (;;) {
    const uint32_t wake = waiter.Wait(interval, false);
    if (wake == kWakeForce) {
      WTRACE(TL_WORKER, "Worker() m_ForceWorker event received, force scan");
      fullPass = true;
    } else if (wake == kWakePrivate) {
      WTRACE(TL_WORKER, "Worker() m_PrivateEvent event received");
      {
        // The marks are shared with host requests, so they are cleared under the data lock.
        KVL::Threading::CSyncGuard guard;
        m_DataLock.Wait(&guard, KVL::INFINITE);
        ClearMarks();
      }
      NotifyHost();
      WTRACE(TL_ENTRY, "Worker() before restart interval");
      interval.Restart(m_PollInterval * 1000ULL);
      continue;
    } else if (wake == KVL::WAIT_TIMEOUT) {
      WTRACE(TL_WORKER, "Worker() timeout event received");
      if (!fullPass && KVL::Misc::now() - lastFullPass > m_TopologyRefreshRate) fullPass = true;
    } else {
      break;
    }

    WTRACE(TL_LOCK, "Before m_DataLock.Wait(INFINITE)");
    HeldLock data(m_DataLock, m_DataLock.Wait(nullptr, KVL::INFINITE));
    WTRACE(TL_LOCK, "After m_DataLock.Wait(INFINITE)");
    if (data.Held()) {
      if (!fullPass) {
        fullPass = LightPass();
        if (!fullPass) VARNOCK_RELEASE_DATA(data);
      }
      if (fullPass) {
        WTRACE(TL_LOCK, "Before m_EventsLock.Wait(INFINITE)");
        HeldLock events(m_EventsLock, m_EventsLock.Wait(nullptr, KVL::INFINITE));
        WTRACE(TL_LOCK, "After m_EventsLock.Wait(INFINITE)");
        if (!events.Held()) {
          VARNOCK_RELEASE_DATA(data);
        } else {
          FullPass(data, events);
          fullPass = false;
          lastFullPass = KVL::Misc::now();
          interval.Restart(m_PollInterval * 1000ULL);
        }
      }
    }
    WTRACE(TL_ENTRY, "Worker() before restart interval");
    interval.Restart(m_PollInterval * 1000ULL);
  }
  WTRACE(TL_WORKER, "Worker() something else perhaps m_StopRequest");
  WTRACE(TL_ENTRY, "LEAVE Worker()");
}

bool IPLUGINAPI_IMPL::LightPass() {
  bool warningsChanged = false;
  for (size_t i = 0; i < m_AdapterInfos.size(); ++i) {
    WTRACE(TL_VALUE, "Worker GetLogPageInformation()");
    AdapterInfo& info = m_AdapterInfos[i];
    if (CmdEmu::GetLogPageInformation(m_ToolPath, info.index, info.health) ==
            CmdEmu::ToolStatus::kOk &&
        i < m_Adapters.size()) {
      CVedidEVUAdapter& adapter = m_Adapters[i];
      if (adapter.m_CriticalWarnings != info.health.criticalWarnings) {
        warningsChanged = true;
      } else {
        ApplyHealth(info.health, adapter);
        for (CVedidEVUPhysicalDrive& drive : m_PhysicalDrives) {
          if (drive.m_AdapterNumber == static_cast<int32_t>(i)) {
            drive.m_Temperature = adapter.m_Temperature;
            break;
          }
        }
      }
    }
    KVL::Misc::Sleep(kPauseAfterDriveMs);
  }
  return warningsChanged;
}

void IPLUGINAPI_IMPL::FullPass(HeldLock& data, HeldLock& events) {
  (void)CmdEmu::GetAdaptersInfo(m_ToolPath, m_AdapterInfos);
  m_AdapterCount = m_AdapterInfos.size();
  std::vector<CVedidEVUAdapter> adapters;
  std::vector<CVedidEVUPhysicalDrive> drives;
  WTRACE(TL_VALUE, "Before ScanSystem()");
  ScanSystem(adapters, drives, false);
  WTRACE(TL_VALUE, "After ScanSystem() ret = %d", 0);
  WTRACE(TL_VALUE, "Before UpdateSystem()");
  const bool changed = UpdateSystem(adapters, drives);
  WTRACE(TL_VALUE, "After UpdateSystem() ret = %d",
         changed ? PI::ERR_SUCCESS : PI::ERR_NO_PROPERTY_FOUND);
  m_Plugin.GetChildren().clear();
  for (CVedidEVUAdapter& adapter : m_Adapters) {
    adapter.GetParents().assign(1, m_Plugin.GetID());
    m_Plugin.GetChildren().push_back(adapter.GetID());
    adapter.IncrementChangeCount();
  }
  m_Plugin.IncrementChangeCount();
  WTRACE(TL_WORKER, "Worker() after bscan");

  const size_t pending = m_Events.size();
  WTRACE(TL_LOCK, "Before m_EventsLock.Release ()");
  events.Release();
  WTRACE(TL_LOCK, "After m_EventsLock.Release ()");
  if (pending != 0 || changed) {
    ClearMarks();
    VARNOCK_RELEASE_DATA(data);
    NotifyHost();
  } else {
    VARNOCK_RELEASE_DATA(data);
  }
}

}  // namespace NAMESPACE_Varnock
