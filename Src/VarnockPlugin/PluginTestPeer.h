// The plug-in object opened for tests, fuzz targets and benchmarks: its fields under their own
// names and the steps a test drives one at a time. A peer is a view of one plug-in object and
// must not outlive it; it takes no lock, so callers hold m_DataLock where the worker may run.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "VarnockPlugin.h"

namespace NAMESPACE_Varnock {

class PluginTestPeer {
 public:
  explicit PluginTestPeer(IPLUGINAPI_IMPL& plugin)
      : m_DataLock(plugin.m_DataLock),
        m_EventsLock(plugin.m_EventsLock),
        m_ForceWorker(plugin.m_ForceWorker),
        m_StopRequest(plugin.m_StopRequest),
        m_ToolPath(plugin.m_ToolPath),
        m_Plugin(plugin.m_Plugin),
        m_Adapters(plugin.m_Adapters),
        m_PhysicalDrives(plugin.m_PhysicalDrives),
        m_AdapterInfos(plugin.m_AdapterInfos),
        m_Events(plugin.m_Events),
        m_AdapterCount(plugin.m_AdapterCount),
        m_PollInterval(plugin.m_PollInterval),
        m_NextObjectNumber(plugin.m_NextObjectNumber),
        m_TopologyRefreshRate(plugin.m_TopologyRefreshRate),
        m_WorkerThread(plugin.m_WorkerThread),
        m_ToolVersion(plugin.m_ToolVersion),
        m_Database(plugin.m_Database.Storage()),
        m_Impl(plugin) {}
  explicit PluginTestPeer(IPLUGINAPI* plugin)
      : PluginTestPeer(*static_cast<IPLUGINAPI_IMPL*>(plugin)) {}

  uint64_t NextObjectID() { return m_Impl.NextObjectID(); }
  void ScanSystem(std::vector<CVedidEVUAdapter>& adapters,
                  std::vector<CVedidEVUPhysicalDrive>& drives, bool firstScan) {
    m_Impl.ScanSystem(adapters, drives, firstScan);
  }
  void GetPluginProperties(std::vector<PI::CProperty>& properties, uint32_t filter) {
    m_Impl.GetPluginProperties(m_Plugin, properties, filter);
  }
  void GetAdapterProperties(CVedidEVUAdapter& adapter, std::vector<PI::CProperty>& properties,
                            uint32_t filter) {
    m_Impl.GetAdapterProperties(adapter, properties, filter);
  }
  void GetPhysicalDriveProperties(CVedidEVUPhysicalDrive& drive,
                                  std::vector<PI::CProperty>& properties, uint32_t filter) {
    m_Impl.GetPhysicalDriveProperties(drive, properties, filter);
  }
  uint32_t CheckPhysicalDriveOperation(CVedidEVUPhysicalDrive& drive, PI::COperation& operation) {
    return m_Impl.CheckPhysicalDriveOperation(drive, operation);
  }
  uint32_t ExecutePhysicalDriveOperation(CVedidEVUPhysicalDrive& drive,
                                         PI::COperation& operation) {
    return m_Impl.ExecutePhysicalDriveOperation(drive, operation);
  }
  // The plug-in's row as it would be written now.
  void PluginRow(RaidDataModels::Plugin& row) const {
    RowWriter::SetDatabaseObjectProperties(m_Plugin, m_Impl.Settings(), row);
  }

  KVL::Threading::Native_OS::CFastMutex& m_DataLock;
  KVL::Threading::Native_OS::CFastMutex& m_EventsLock;
  KVL::Threading::CEvent& m_ForceWorker;
  KVL::Threading::CEvent& m_StopRequest;
  std::string& m_ToolPath;
  CVedidEVUPlugin& m_Plugin;
  std::vector<CVedidEVUAdapter>& m_Adapters;
  std::vector<CVedidEVUPhysicalDrive>& m_PhysicalDrives;
  std::vector<AdapterInfo>& m_AdapterInfos;
  std::vector<PI::CEvent>& m_Events;
  uint64_t& m_AdapterCount;
  std::atomic<uint32_t>& m_PollInterval;
  uint64_t& m_NextObjectNumber;
  uint64_t& m_TopologyRefreshRate;
  std::unique_ptr<KVL::Threading::CThread>& m_WorkerThread;
  std::string& m_ToolVersion;
  const std::shared_ptr<DatabaseORM::storage_t>& m_Database;

 private:
  IPLUGINAPI_IMPL& m_Impl;
};

}  // namespace NAMESPACE_Varnock
