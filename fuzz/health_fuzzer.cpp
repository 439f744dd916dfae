// Bytes as the tool's four health pages of one drive (SMART/health log, temperature statistics,
// SMART attributes, drive details), separated by the byte 0x1e, through the health query into
// the drive's health record, then through the scan into its objects, properties and records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "BridgeFuzz.h"
#include "CmdEmu.h"
#include "FuzzHome.h"

namespace {

// One served drive, as the inventory reports it.
NAMESPACE_Varnock::AdapterInfo ServedDrive() {
  NAMESPACE_Varnock::AdapterInfo info;
  info.number = 1;
  info.index = 0;
  info.serialNumber = "PHKS750500FQ375AGN";
  info.modelNumber = "INTEL SSDPED1K375GA";
  info.productFamily = "Intel Optane SSD DC P4800X Series";
  info.controllerService = "nvme";
  info.sectorSize = 512;
  info.maximumLba = 732585167;
  info.nativeMaxLba = 732585168;
  info.physicalSize = 375083606016;
  return info;
}

constexpr const char* kPageLines[] = {
    "show -o json -vedidevu 0 -nvmelog SmartHealthInfo",
    "show -o json -vedidevu 0 -nvmelog TemperatureStatistics",
    "show -o json -smart -vedidevu 0",
    "show -all -o json -vedidevu 0",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> pages = fuzz::SplitInput(data, size, '\x1e', 4);
  fuzz::AnswerToolRuns([&](const std::string& arguments) {
    for (size_t i = 0; i < 4; ++i)
      if (arguments == kPageLines[i]) return pages[i];
    return std::string();
  });
  auto& plugin = fuzz::Plugin();

  // The worker's light pass: repeated queries on one record.
  NAMESPACE_Varnock::HealthInfo health;
  using NAMESPACE_Varnock::CmdEmu::GetLogPageInformation;
  using NAMESPACE_Varnock::CmdEmu::ToolStatus;
  const ToolStatus first = GetLogPageInformation(plugin.m_ToolPath, 0, health);
  const ToolStatus second = GetLogPageInformation(plugin.m_ToolPath, 0, health);
  if (first != second || (first != ToolStatus::kOk && first != ToolStatus::kToolFailed))
    std::abort();

  // The scan of the same drive.
  plugin.m_AdapterInfos.assign(1, ServedDrive());
  fuzz::ScanAndShowEverything();
  return 0;
}
