#include "BridgeFuzz.h"

#include <cstdlib>
#include <utility>
#include <vector>

#include "DatabaseORM.h"
#include "FuzzHome.h"
#include "KVLX.h"
#include "RowWriter.h"

namespace fuzz {

using NAMESPACE_Varnock::CVedidEVUAdapter;
using NAMESPACE_Varnock::CVedidEVUPhysicalDrive;
using NAMESPACE_Varnock::IPLUGINAPI_IMPL;
using NAMESPACE_Varnock::PluginTestPeer;
using NAMESPACE_Varnock::RowWriter;

PluginTestPeer& Plugin() {
  static PluginTestPeer* peer = [] {
    FuzzHome::Get();
    auto* made = new IPLUGINAPI_IMPL();  // lives as long as the process
    auto* opened = new PluginTestPeer(*made);
    opened->m_ToolPath = FuzzHome::Get().Path("bin/isdct.exe");
    opened->m_Plugin.SetID(opened->NextObjectID());
    return opened;
  }();
  return *peer;
}

void AnswerToolRuns(std::function<std::string(const std::string& arguments)> answer) {
  KVLX::Testing::SetCommandRunner([answer = std::move(answer)](const std::string&,
                                                               const std::string& arguments,
                                                               std::string& output) {
    output = answer(arguments);
    return 1u;
  });
}

void ScanAndShowEverything() {
  PluginTestPeer& plugin = Plugin();
  plugin.m_AdapterCount = plugin.m_AdapterInfos.size();
  std::vector<CVedidEVUAdapter> adapters;
  std::vector<CVedidEVUPhysicalDrive> drives;
  plugin.ScanSystem(adapters, drives, true);
  if (adapters.size() != plugin.m_AdapterInfos.size() || drives.size() != adapters.size())
    std::abort();

  std::vector<PI::CProperty> properties;
  for (CVedidEVUAdapter& adapter : adapters) {
    plugin.GetAdapterProperties(adapter, properties, PI::PROP_ALL);
    RaidDataModels::Adapter row;
    RowWriter::SetDatabaseObjectProperties(adapter, row);
  }
  for (CVedidEVUPhysicalDrive& drive : drives) {
    plugin.GetPhysicalDriveProperties(drive, properties, PI::PROP_ALL);
    RaidDataModels::PD row;
    RowWriter::SetDatabaseObjectProperties(drive, row);
  }
}

}  // namespace fuzz
