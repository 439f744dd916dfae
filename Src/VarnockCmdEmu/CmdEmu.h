// The tool bridge: runs the vendor tool at a given path and returns what it printed as records
// (the drive inventory, one drive's health, the tool's version). It keeps no state of its own,
// so any thread may call it; each call runs the tool anew.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/fwd.h>

#include "AdapterInfo.h"

namespace NAMESPACE_Varnock {
namespace CmdEmu {

// How a query ended.
enum class [[nodiscard]] ToolStatus {
  kOk,
  kNoSupportedHardware,  // the tool answered, but with no drive this plug-in serves
  kToolFailed,           // the tool did not run, did not finish, or printed no usable JSON
  kUnknownLogPage,       // no argument line for the log page asked for
};

// The host's result code for a status.
uint32_t ToHostCode(ToolStatus status);

// Replaces `infos` with one record per served drive of the tool's inventory, numbered from 1.
ToolStatus GetAdaptersInfo(const std::string& toolPath, std::vector<AdapterInfo>& infos);
// Runs the argument line of log page `page` (2, 197, 202 or 203) for the drive at `index` and
// parses its output into `document`.
ToolStatus GetLogPage(const std::string& toolPath, uint32_t index, uint32_t page,
                      rapidjson::Document& document);
// Reads the four health pages of the drive at `index` into `health`; a failed page ends the
// query, and the fields it did not reach keep their values.
ToolStatus GetLogPageInformation(const std::string& toolPath, uint32_t index,
                                 HealthInfo& health);
// The tool's version text; empty when the tool gives none.
std::string GetVersion(const std::string& toolPath);

}  // namespace CmdEmu
}  // namespace NAMESPACE_Varnock
