// What the bridge fuzz targets share: one plug-in object in the fuzz home whose tool runs are
// answered from the input instead of a process, and the walk that takes every object the scan
// built through its property builders and database record. Single-threaded, like libFuzzer.
#pragma once

#include <functional>
#include <string>

#include "PluginTestPeer.h"

namespace fuzz {

// The process's plug-in object, opened, made on first use (after the fuzz home); not owned by
// the caller.
NAMESPACE_Varnock::PluginTestPeer& Plugin();

// Every tool run is answered by `answer(arguments)`, as a run that completed.
void AnswerToolRuns(std::function<std::string(const std::string& arguments)> answer);

// Runs the scan over the plug-in's current inventory records (a first scan) and builds every
// property and database record of the objects it made; then empties the object lists again.
void ScanAndShowEverything();

}  // namespace fuzz
