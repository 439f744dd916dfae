// The one plug-in object: its locks and events, the host objects, the tool's inventory, the
// pending host events, the settings and the database handle, and every handler of the requests.
// Host request threads and the worker thread share it: m_DataLock guards the objects, the
// inventory and the counts; m_EventsLock guards m_Events; the order is always m_DataLock first.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <rapidjson/fwd.h>

#include "AdapterInfo.h"
#include "CVedidEVUAdapter.h"
#include "CVedidEVUPhysicalDrive.h"
#include "CVedidEVUPlugin.h"
#include "IPLUGINAPI.h"
#include "KVL.h"
#include "PI.h"

namespace DatabaseORM {
struct storage_t;
}
namespace RaidDataModels {
struct Plugin;
struct Adapter;
struct PD;
}  // namespace RaidDataModels

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

  // Lifecycle (Src/VarnockPlugin).
  uint32_t Initialize(std::vector<PI::CAdapterID>& adapterIds);
  uint32_t SetAdapterIDs(std::vector<PI::CAdapterID>& adapterIds);
  uint32_t DeInitialize();
  uint32_t GetTopology(std::vector<PI::CObject>& objects);
  uint32_t GetEvents(CVedidEVUPlugin& plugin, PI::COperation& operation);
  uint32_t ScanSystem(std::vector<CVedidEVUAdapter>& adapters,
                      std::vector<CVedidEVUPhysicalDrive>& drives, bool firstScan);
  uint32_t UpdateSystem(std::vector<CVedidEVUAdapter>& adapters,
                        std::vector<CVedidEVUPhysicalDrive>& drives);
  void Worker();
  // The next object identifier: module number in bits 48 and up, m_NextObjectNumber below.
  uint64_t NextObjectID();
  // The host's model name for a PCI function and device code.
  static std::string ModelName(uint64_t function, uint64_t device);

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

  // Tool bridge (Src/VarnockCmdEmu).
  uint32_t GetAdaptersInfo();
  uint32_t GetLogPage(uint32_t index, uint32_t page, rapidjson::Document& document);
  uint32_t GetLogPageInformation(uint32_t index, HealthInfo& health);
  void GetVersion(std::string& version);

  // Persistence (Src/VarnockPlugin, Src/VarnockAdapter, Src/VarnockPhysicalDrive). Each write
  // returns 0, or 20000 when the database failed (traced, never thrown).
  uint32_t SetDatabaseObjectProperties(const CVedidEVUPlugin& plugin, RaidDataModels::Plugin& row);
  uint32_t SetDatabaseObjectProperties(const CVedidEVUAdapter& adapter,
                                       RaidDataModels::Adapter& row);
  uint32_t SetDatabaseObjectProperties(const CVedidEVUPhysicalDrive& drive,
                                       RaidDataModels::PD& row);
  uint32_t InsertObjectToDatabase(CVedidEVUPlugin& plugin);
  uint32_t InsertObjectToDatabase(CVedidEVUAdapter& adapter);
  uint32_t InsertObjectToDatabase(CVedidEVUPhysicalDrive& drive);
  uint32_t UpdateObjectInDatabase(CVedidEVUPlugin& plugin);
  uint32_t UpdateObjectInDatabase(CVedidEVUAdapter& adapter);
  uint32_t UpdateObjectInDatabase(CVedidEVUPhysicalDrive& drive);
  uint32_t DeleteObjectFromDatabase(CVedidEVUPlugin& plugin);
  uint32_t DeleteObjectFromDatabase(CVedidEVUAdapter& adapter);

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
  std::atomic<uint32_t> m_PollInterval{30};          // seconds, 2 to 255; read by the worker unlocked
  uint64_t m_NextObjectNumber = 0;
  uint64_t m_TopologyRefreshRate = 30000;            // milliseconds
  std::unique_ptr<KVL::Threading::CThread> m_WorkerThread;
  PI::CConfigFile m_CustomOpts;
  PI::CConfigFile m_Config;
  std::string m_ToolVersion;
  std::shared_ptr<DatabaseORM::storage_t> m_Database;
};

}  // namespace NAMESPACE_Varnock

// The module's exports. createIf hands the caller a new plug-in object, which the caller returns
// with releaseIf (which nulls the pointer).
extern "C" uint32_t createIf(IPLUGINAPI** plugin);
extern "C" void releaseIf(IPLUGINAPI** plugin);
