// What the shell learns about the tool from the host toolkit's report of every program run:
// why the last inventory query failed (for Initialize's error message), and whether each drive's
// health pages were last read whole (for the per-drive read gauge). The observer runs on
// whichever thread ran the tool (the plug-in's worker, or the main thread during Initialize);
// every member is safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "KVLX.h"

namespace host_shell {

class ToolWatch {
 public:
  // The process's watch (the toolkit has one observer per process).
  static ToolWatch& Process();

  // Starts watching every program run of the process (one watch per process).
  void Install();
  // Stops watching; runs after this are not seen.
  void Uninstall();
  ~ToolWatch() { Uninstall(); }

  // "tool PATH: why" for the last inventory query when its output was not taken (not found,
  // not executable, timed out after N s, killed by signal N, exit status N, output too large,
  // printed nothing, not JSON at byte K ...), or when it was taken from a run that exited with
  // a status other than 0; empty otherwise.
  std::string InventoryProblem() const;
  // By serial number: true when the plug-in took every health page of the drive the last time
  // it asked for it (by the plug-in's own rule, ToolOutput::Judge), false when it rejected one.
  // Drives the last taken inventory does not list are left out.
  std::map<std::string, bool> HealthReadOk() const;

 private:
  void Observe(const KVLX::CSystem::RunReport& run);

  mutable std::mutex m_Mutex;
  bool m_Installed = false;                        // guarded by m_Mutex
  std::string m_InventoryProblem;                  // guarded by m_Mutex
  std::map<uint32_t, std::string> m_Serials;  // tool index -> serial; guarded by m_Mutex
  std::map<uint32_t, std::map<uint32_t, bool>> m_Pages;  // index -> page -> taken; same
};

}  // namespace host_shell
