// Initialize and DeInitialize: readying the locks and events, the hardware check, the tool path,
// the first inventory and scan with their database rows, and stopping the worker.
#define VARNOCK_SOURCE "Src/VarnockPlugin"

#include <cstdio>

#include "CmdEmu.h"
#include "KVLX.h"
#include "Module.h"
#include "VarnockPlugin.h"

namespace NAMESPACE_Varnock {

namespace {

constexpr const char* kInitializeTrace = "NAMESPACE_Varnock::IPLUGINAPI_IMPL::Initialize";

// The line the host's console shows for every Initialize.
void PrintAdapterCount(uint64_t count) {
  std::printf("%s:  Initialize:  adapter count is %lu\n", g_ModuleInfo.Name().c_str(),
              static_cast<unsigned long>(count));
  std::fflush(stdout);
}

// Device IDs of the supported Intel NVMe controllers, in the order they are looked for.
constexpr const char* kSupportedDevices[] = {"0953", "0A54", "2701"};

bool SupportedHardwarePresent() {
  for (const char* device : kSupportedDevices) {
    int segment, bus, dev, function;
    if (KVLX::CConfigManager::GetLocation("8086", device, 1, segment, bus, dev, function))
      return true;
  }
  return false;
}

// The directory part of a path: everything before the last "/" or "\".
std::string WithoutLastComponent(const std::string& path) {
  const size_t last = path.find_last_of("/\\");
  return last == std::string::npos ? std::string() : path.substr(0, last);
}

}  // namespace

uint32_t IPLUGINAPI_IMPL::Initialize(std::vector<PI::CAdapterID>& adapterIds) {
  VTRACE(TL_ENTRY, "ENTER Initialize()");
  if (!InitializeSyncObjects()) return PI::ERR_LOCK_INITIALIZATION_FAILED;

  if (!SupportedHardwarePresent()) {
    PrintAdapterCount(0);
    VTRACE(TL_ENTRY, "LEAVE Initialize() -> PI::ERR_NO_SUPPORTED_HARDWARE");
    return PI::ERR_NO_SUPPORTED_HARDWARE;
  }

  LocateTool();
  const CmdEmu::ToolStatus inventory = CmdEmu::GetAdaptersInfo(m_ToolPath, m_AdapterInfos);
  m_AdapterCount = m_AdapterInfos.size();
  VTRACE(TL_VALUE, "Initialize, CmdEmu_getAdapterCount returned = %d", m_AdapterCount);
  if (inventory != CmdEmu::ToolStatus::kOk) {
    VTRACE(TL_VALUE, "Initialize, CmdEmu_getAdapterCount called = %d",
           CmdEmu::ToHostCode(inventory));
    PrintAdapterCount(m_AdapterCount);
    VTRACE(TL_ENTRY, "LEAVE Initialize() -> PI::ERR_API_INITIALIZATION_FAILED");
    return PI::ERR_API_INITIALIZATION_FAILED;
  }

  m_ToolVersion = CmdEmu::GetVersion(m_ToolPath);
  return BuildFirstPicture(adapterIds);
}

bool IPLUGINAPI_IMPL::InitializeSyncObjects() {
  struct InitStep {
    const char* failure;
    uint32_t (*init)(IPLUGINAPI_IMPL&);
  };
  static constexpr InitStep kInitSteps[] = {
      {"LEAVE Initialize() m_DataLock.Init() -> PI::ERR_LOCK_INITIALIZATION_FAILED %d",
       [](IPLUGINAPI_IMPL& p) { return p.m_DataLock.Init(); }},
      {"LEAVE Initialize() m_PrivateEventsLock.Init() -> PI::ERR_LOCK_INITIALIZATION_FAILED %d",
       [](IPLUGINAPI_IMPL& p) { return p.m_EventsLock.Init(); }},
      {"LEAVE Initialize() m_ForceWorker.Init() -> PI::ERR_LOCK_INITIALIZATION_FAILED %d",
       [](IPLUGINAPI_IMPL& p) { return p.m_ForceWorker.Init(false, false); }},
      {"LEAVE Initialize() m_StopRequest.Init() -> PI::ERR_LOCK_INITIALIZATION_FAILED %d",
       [](IPLUGINAPI_IMPL& p) { return p.m_StopRequest.Init(false, true); }},
      {"LEAVE Initialize() m_PrivateEvent.Init() -> PI::ERR_LOCK_INITIALIZATION_FAILED %d",
       [](IPLUGINAPI_IMPL& p) { return p.m_PrivateEvent.Init(false, false); }},
  };
  for (const InitStep& step : kInitSteps) {
    const uint32_t result = step.init(*this);
    if (result != 1) {
      VTRACE_AS(kInitializeTrace, TL_ENTRY, step.failure, result);
      return false;
    }
  }
  return true;
}

void IPLUGINAPI_IMPL::LocateTool() {
  boost::filesystem::path processPath;
  KVL::Misc::CKvlApplication::GetProcessPath(processPath);
  m_ToolFile = boost::filesystem::path(WithoutLastComponent(processPath.string()));
  m_ToolFile /= "bin";
  m_ToolFile /= "isdct.exe";
  m_ToolPath = m_ToolFile.string();
}

uint32_t IPLUGINAPI_IMPL::BuildFirstPicture(std::vector<PI::CAdapterID>& adapterIds) {
  VARNOCK_LOCK_DATA_AS(kInitializeTrace, guard);
  m_Plugin.SetID(NextObjectID());
  m_Plugin.m_Type = PI::TYPE_PLUGIN;

  ScanSystem(m_Adapters, m_PhysicalDrives, true);
  VTRACE_AS(kInitializeTrace, TL_VALUE, "ScanSystem() ret = %d m_PhysicalDrives=%d", 0,
            m_PhysicalDrives.size());

  (void)m_Database.InsertObjectToDatabase(m_Plugin, Settings());

  uint32_t result;
  if (!m_Adapters.empty()) {
    for (CVedidEVUAdapter& adapter : m_Adapters) {
      adapterIds.emplace_back(static_cast<uint32_t>(adapter.m_Segment),
                              static_cast<uint32_t>(adapter.m_Bus),
                              static_cast<uint32_t>(adapter.m_Device),
                              static_cast<uint32_t>(adapter.m_Function), adapter.m_AdapterNumber);
      m_Plugin.GetChildren().push_back(adapter.GetID());
      adapter.GetParents().push_back(m_Plugin.GetID());
      (void)m_Database.InsertObjectToDatabase(adapter);
    }
    for (CVedidEVUPhysicalDrive& drive : m_PhysicalDrives)
      (void)m_Database.InsertObjectToDatabase(drive, m_Adapters);
    result = PI::ERR_SUCCESS;
  } else {
    (void)m_Database.DeleteObjectFromDatabase(m_Plugin);
    for (CVedidEVUAdapter& adapter : m_Adapters) (void)m_Database.DeleteObjectFromDatabase(adapter);
    m_Adapters.clear();
    m_PhysicalDrives.clear();
    m_Plugin.IncrementChangeCount();
    m_AdapterCount = 0;
    result = PI::ERR_NO_SUPPORTED_HARDWARE;
  }

  PrintAdapterCount(m_Adapters.size());
  VTRACE_AS(kInitializeTrace, TL_ENTRY, "LEAVE Initialize() -> %d", result);
  return result;
}

uint32_t IPLUGINAPI_IMPL::DeInitialize() {
  VTRACE(TL_ENTRY, "ENTER DeInitialize");
  m_StopRequest.Set();
  KVL::Misc::Sleep(100);

  constexpr uint64_t kStopLimitMs = 25000;
  const uint64_t start = KVL::Misc::now();
  bool running = false;
  bool timedOut = false;
  for (;;) {
    running = m_WorkerThread && m_WorkerThread->HasThread() &&
              m_WorkerThread->Wait(0) == KVL::WAIT_TIMEOUT;
    if (running) VTRACE(TL_VALUE, "Wait for termination... (Worker)");
    if (KVL::Misc::now() - start >= kStopLimitMs) {
      timedOut = true;
      break;
    }
    if (!running) break;
    KVL::Misc::Sleep(500);
  }
  if (timedOut && running && m_WorkerThread->Wait(0) == KVL::WAIT_TIMEOUT) {
    VTRACE(TL_VALUE, "Kill Worker");
    m_WorkerThread->Cancel();
  }

  KVL::Misc::Sleep(100);
  VTRACE(TL_ENTRY, "LEAVE DeInitialize");
  return 0;
}

}  // namespace NAMESPACE_Varnock
