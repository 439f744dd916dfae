// Bytes as the tool's inventory output, through the inventory query into adapter-info records,
// then through the scan into adapter and drive objects, their properties and database records.
// The health pages answer with an empty document, so every record keeps its health defaults.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "BridgeFuzz.h"
#include "CmdEmu.h"
#include "FuzzHome.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string inventory = fuzz::AsText(data, size);
  fuzz::AnswerToolRuns([&](const std::string& arguments) {
    return arguments == "show -all -o json -vedidevu" ? inventory : std::string("{}");
  });
  auto& plugin = fuzz::Plugin();
  using NAMESPACE_Varnock::CmdEmu::ToolStatus;
  const ToolStatus result = NAMESPACE_Varnock::CmdEmu::GetAdaptersInfo(plugin.m_ToolPath,
                                                                       plugin.m_AdapterInfos);
  const bool found = !plugin.m_AdapterInfos.empty();
  if ((result == ToolStatus::kOk) != found) std::abort();
  if (result == ToolStatus::kUnknownLogPage) std::abort();
  for (size_t i = 0; i < plugin.m_AdapterInfos.size(); ++i)
    if (plugin.m_AdapterInfos[i].number != i + 1) std::abort();  // numbered 1, 2, 3 ... in order
  fuzz::ScanAndShowEverything();
  return 0;
}
