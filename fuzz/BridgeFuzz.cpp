#include "BridgeFuzz.h"

#include <cstdlib>
#include <utility>
#include <vector>

#include "DatabaseORM.h"
#include "FuzzHome.h"
#include "KVLX.h"

namespace fuzz {

using NAMESPACE_Varnock::CVedidEVUAdapter;
using NAMESPACE_Varnock::CVedidEVUPhysicalDrive;
using NAMESPACE_Varnock::IPLUGINAPI_IMPL;

IPLUGINAPI_IMPL& Plugin() {
  static IPLUGINAPI_IMPL* plugin = [] {
    FuzzHome::Get();
    auto* made = new IPLUGINAPI_IMPL();  // lives as long as the process
    made->m_ToolPath = FuzzHome::Get().Path("bin/isdct.exe");
    made->m_Plugin.SetID(made->NextObjectID());
    return made;
  }();
  return *plugin;
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
  IPLUGINAPI_IMPL& plugin = Plugin();
  plugin.m_AdapterCount = plugin.m_AdapterInfos.size();
  std::vector<CVedidEVUAdapter> adapters;
  std::vector<CVedidEVUPhysicalDrive> drives;
  if (plugin.ScanSystem(adapters, drives, true) != 0) std::abort();  // the scan never fails
  if (adapters.size() != plugin.m_AdapterInfos.size() || drives.size() != adapters.size())
    std::abort();

  std::vector<PI::CProperty> properties;
  for (CVedidEVUAdapter& adapter : adapters) {
    plugin.GetAdapterProperties(adapter, properties, 1);
    RaidDataModels::Adapter row;
    plugin.SetDatabaseObjectProperties(adapter, row);
  }
  for (CVedidEVUPhysicalDrive& drive : drives) {
    plugin.GetPhysicalDriveProperties(drive, properties, 1);
    RaidDataModels::PD row;
    plugin.SetDatabaseObjectProperties(drive, row);
  }
}

}  // namespace fuzz
