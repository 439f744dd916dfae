// What the shell learns about the tool from the host toolkit's report of every program run:
// why the last inventory query failed (for Initialize's error message), and whether each drive's
// health pages were last read whole (for the per-drive read gauge). The observer runs on
// whichever thread ran the tool (the plug-in's worker, or the main thread during Initialize);
// every member is safe from any thread.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include <rapidjson/document.h>

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

  // "tool PATH: why" for the last inventory query when it did not give JSON (not found, not
  // executable, timed out after N s, exit status N, output too large, not JSON at byte K ...);
  // empty when it did.
  std::string InventoryProblem() const;
  // By serial number: true when every health page of the drive was read (the program exited
  // with 0 and printed JSON) the last time it was asked for, false when one was not. Drives
  // the last good inventory does not list are left out.
  std::map<std::string, bool> HealthReadOk() const;

  // What the report of one run says.
  struct Run {
    std::string program;
    int startError = 0;
    int exitStatus = -1;
    int signal = 0;
    bool timedOut = false;
    bool outputTooLarge = false;
    unsigned long long timeLimitMs = 0;
  };

 private:
  // Why a run gave no usable output, in words; empty when it printed JSON, which is then parsed
  // into `document` (each output is parsed once).
  static std::string Problem(const Run& run, const std::string& output,
                             rapidjson::Document& document);
  void Observe(const std::string& arguments, const Run& run, const std::string& output);

  mutable std::mutex m_Mutex;
  bool m_Installed = false;                        // guarded by m_Mutex
  std::string m_InventoryProblem;                  // guarded by m_Mutex
  std::map<long, std::string> m_Serials;           // tool index -> serial; guarded by m_Mutex
  std::map<long, std::map<std::string, bool>> m_Pages;  // index -> page line -> read; same
};

}  // namespace host_shell
