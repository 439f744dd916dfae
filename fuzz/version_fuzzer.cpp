// Bytes as the tool's version output, through the version query into the tool's version text,
// then into the plug-in object's properties and its database record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "BridgeFuzz.h"
#include "CmdEmu.h"
#include "DatabaseORM.h"
#include "FuzzHome.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string output = fuzz::AsText(data, size);
  fuzz::AnswerToolRuns([&](const std::string&) { return output; });
  auto& plugin = fuzz::Plugin();
  plugin.m_ToolVersion = NAMESPACE_Varnock::CmdEmu::GetVersion(plugin.m_ToolPath);

  std::vector<PI::CProperty> properties;
  plugin.GetPluginProperties(properties, PI::PROP_ALL);
  // Five fixed properties, and the version when one was found.
  if (properties.size() != (plugin.m_ToolVersion.empty() ? 5u : 6u)) std::abort();
  RaidDataModels::Plugin row;
  plugin.PluginRow(row);
  const std::string stored =
      plugin.m_ToolVersion.empty() ? RaidDataModels::NullText : plugin.m_ToolVersion;
  if (row.ToolVersion != stored) std::abort();
  return 0;
}
