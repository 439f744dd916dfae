// The one plug-in object, the thin front the host dictates: its locks and events, the host
// objects, the tool's inventory, the pending host events, the settings and the database writer,
// and the handler of every request. The work is done by the modules behind it: the tool bridge
// (CmdEmu.h), the scan (Scan.h), change detection (Diff.h), the row writer (RowWriter.h) and
// the property tables of the objects. Host request threads and the worker thread share it:
// m_DataLock guards the objects, the inventory and the counts; m_EventsLock guards m_Events;
// the order is always m_DataLock first.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "AdapterInfo.h"
#include "CVedidEVUAdapter.h"
#include "CVedidEVUPhysicalDrive.h"
#include "CVedidEVUPlugin.h"
#include "IPLUGINAPI.h"
#include "KVL.h"
#include "PI.h"
#include "RowWriter.h"

namespace NAMESPACE_Varnock {

class IPLUGINAPI_IMPL : public IPLUGINAPI {
 public:
  // Reads the poll interval and topology refresh rate from the configuration files and takes
  // the database handle; locks, events and the tool path wait for Initialize.
  IPLUGINAPI_IMPL();
  // Deletes the worker thread object (the host has stopped it with DeInitialize), then the
  // database handle, then the rest.
  ~IPLUGINAPI_IMPL() override;

  uint32_t Request(int32_t code, uint64_t objectId, void* data) override;

 private:
  // Opens the object to tests, fuzz targets and benchmarks (PluginTestPeer.h).
  friend class PluginTestPeer;

  // Lifecycle (Src/VarnockPlugin).
  uint32_t Initialize(std::vector<PI::CAdapterID>& adapterIds);
  // The steps of Initialize: ready the locks and events (false when one fails, traced); find the
  // tool beside the host; build, store and hand over the first picture (the request's result).
  [[nodiscard]] bool InitializeSyncObjects();
  void LocateTool();
  uint32_t BuildFirstPicture(std::vector<PI::CAdapterID>& adapterIds);
  uint32_t SetAdapterIDs(std::vector<PI::CAdapterID>& adapterIds);
  uint32_t DeInitialize();
  uint32_t GetTopology(std::vector<PI::CObject>& objects);
  uint32_t GetEvents(CVedidEVUPlugin& plugin, PI::COperation& operation);
  // Re-reads every inventory record's health and builds the objects of the records; known
  // objects keep their identifiers unless `firstScan`.
  void ScanSystem(std::vector<CVedidEVUAdapter>& adapters,
                  std::vector<CVedidEVUPhysicalDrive>& drives, bool firstScan);
  // Takes a fresh picture as the current one, queues its events and writes its row changes;
  // true when anything differed.
  [[nodiscard]] bool UpdateSystem(std::vector<CVedidEVUAdapter>& adapters,
                                  std::vector<CVedidEVUPhysicalDrive>& drives);

  // The worker thread and its passes (Src/VarnockPlugin/Worker.cpp).
  void Worker();
  // Re-reads each drive's health into its adapter; true when a drive's critical warnings
  // changed, which calls for a full pass. Runs under m_DataLock.
  [[nodiscard]] bool LightPass();
  // Reruns the inventory and the scan and applies the changes; notifies the host when anything
  // changed or events are pending. Releases both locks.
  class HeldLock;
  void FullPass(HeldLock& data, HeldLock& events);

  // The next object identifier: module number in bits 48 and up, m_NextObjectNumber below.
  uint64_t NextObjectID();
  // The settings the plug-in's row carries.
  PluginSettings Settings() const;

  // Per-object requests (Src/Varnock).
  uint32_t GetProperties(uint64_t id, std::vector<PI::CProperty>& properties);
  uint32_t GetProperty(uint64_t id, PI::CProperty& property);
  uint32_t SetProperty(uint64_t id, PI::CProperty& property);
  uint32_t GetOperations(uint64_t id, std::vector<PI::COperation>& operations);
  uint32_t CheckOperation(uint64_t id, PI::COperation& operation);
  uint32_t ExecuteOperation(uint64_t id, PI::COperation& operation);

  // Plug-in object (Src/VarnockPlugin).
  uint32_t GetPluginProperties(CVedidEVUPlugin& plugin, std::vector<PI::CProperty>& properties,
                               uint32_t filter);
  uint32_t GetPluginOperations(CVedidEVUPlugin& plugin, std::vector<PI::COperation>& operations);
  uint32_t CheckPluginOperation(CVedidEVUPlugin& plugin, PI::COperation& operation);
  uint32_t ExecutePluginOperation(CVedidEVUPlugin& plugin, PI::COperation& operation);
  uint32_t SetPluginProperty(CVedidEVUPlugin& plugin, PI::CProperty& property);

  // Adapter object (Src/VarnockAdapter).
  uint32_t GetAdapterProperties(CVedidEVUAdapter& adapter, std::vector<PI::CProperty>& properties,
                                uint32_t filter);
  uint32_t GetAdapterOperations(CVedidEVUAdapter& adapter, std::vector<PI::COperation>& operations);
  uint32_t CheckAdapterOperation(CVedidEVUAdapter& adapter, PI::COperation& operation);
  uint32_t ExecuteAdapterOperation(CVedidEVUAdapter& adapter, PI::COperation& operation);
  uint32_t SetAdapterProperty(CVedidEVUAdapter& adapter, PI::CProperty& property);

  // Physical-drive object (Src/VarnockPhysicalDrive).
  uint32_t GetPhysicalDriveProperties(CVedidEVUPhysicalDrive& drive,
                                      std::vector<PI::CProperty>& properties, uint32_t filter);
  uint32_t GetPhysicalDriveOperations(CVedidEVUPhysicalDrive& drive,
                                      std::vector<PI::COperation>& operations);
  uint32_t CheckPhysicalDriveOperation(CVedidEVUPhysicalDrive& drive, PI::COperation& operation);
  uint32_t ExecutePhysicalDriveOperation(CVedidEVUPhysicalDrive& drive, PI::COperation& operation);
  uint32_t SetPhysicalDriveProperty(CVedidEVUPhysicalDrive& drive, PI::CProperty& property);

  // The object a per-object request addresses: the plug-in object first, then the adapters,
  // then the drives. All null when no object carries the identifier. Caller holds m_DataLock;
  // the traces (level 4, with the number of adapters / drives) are written when not null.
  struct Target {
    CVedidEVUPlugin* plugin = nullptr;
    CVedidEVUAdapter* adapter = nullptr;
    CVedidEVUPhysicalDrive* drive = nullptr;
  };
  Target FindTarget(uint64_t id, const char* caller, const char* adapterTrace,
                    const char* driveTrace);

  // Calls the host's notification callback, when the host has set one.
  void NotifyHost();
  // Clears the host's change mark of the plug-in object, every adapter and every drive.
  void ClearMarks();

  // Fields, in declaration order.
  KVL::Threading::Native_OS::CFastMutex m_DataLock;
  KVL::Threading::Native_OS::CFastMutex m_EventsLock;
  KVL::Threading::CEvent m_ForceWorker;
  KVL::Threading::CEvent m_StopRequest;
  KVL::Threading::CEvent m_PrivateEvent;
  std::string m_ToolPath;
  boost::filesystem::path m_ToolFile;
  CVedidEVUPlugin m_Plugin;                          // guarded by m_DataLock
  std::vector<CVedidEVUAdapter> m_Adapters;          // guarded by m_DataLock
  std::vector<CVedidEVUPhysicalDrive> m_PhysicalDrives;  // guarded by m_DataLock
  std::vector<AdapterInfo> m_AdapterInfos;           // guarded by m_DataLock
  std::vector<PI::CETR> m_ETRs;
  std::vector<PI::CAdapterID> m_AdapterIDs;
  std::vector<PI::CEvent> m_Events;                  // guarded by m_EventsLock
  uint64_t m_AdapterCount = 0;                       // guarded by m_DataLock
  std::atomic<uint32_t> m_PollInterval;              // seconds; read by the worker unlocked
  uint64_t m_NextObjectNumber = 0;
  uint64_t m_TopologyRefreshRate;                    // milliseconds
  std::unique_ptr<KVL::Threading::CThread> m_WorkerThread;
  PI::CConfigFile m_CustomOpts;
  PI::CConfigFile m_Config;
  std::string m_ToolVersion;
  RowWriter m_Database;  // the rows, through the host's database handle; guarded by m_DataLock
};

}  // namespace NAMESPACE_Varnock

// The module's exports. createIf hands the caller a new plug-in object, which the caller returns
// with releaseIf (which nulls the pointer).
extern "C" uint32_t createIf(IPLUGINAPI** plugin);
extern "C" void releaseIf(IPLUGINAPI** plugin);
