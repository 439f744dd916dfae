// Toolkit system services (namespace KVLX): running a program and capturing its output, PCI
// device lookup, calendar dates and module versions. All calls are safe from any thread; the run
// observer is called on the thread that ran the program.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace KVLX {

class CSystem {
 public:
  // Runs `program` directly (no shell) with `arguments` split at blanks, standard input from
  // /dev/null, standard output captured, standard error captured for the run's report (its last
  // 64 KiB), no other descriptor inherited. Returns 1 when the program ran and exited by itself (any exit status); 0 when it
  // could not be started, ran past the time limit (it is killed and reaped) or printed more than
  // the output cap. `output` holds what was read in every case.
  static uint32_t ExecuteCommand(const std::string& program, const std::string& arguments,
                                 std::string& output);
  // The same, with the output split into lines (without line ends).
  static uint32_t ExecuteCommand(const std::string& program, const std::string& arguments,
                                 std::vector<std::string>& lines);

  // The limit of one program run in real milliseconds (default 60000).
  static void SetTimeLimit(uint64_t ms);
  static uint64_t TimeLimit();
  // The most output one run may print (default 16 MiB).
  static void SetOutputCap(size_t bytes);

  // How a program run ended. kOk: it exited by itself with status 0 within its limits; kTimeout:
  // killed at the time limit; kFailed: anything else (could not start, non-zero status, killed
  // by a signal not ours, output past the cap).
  enum class RunOutcome { kOk, kFailed, kTimeout };
  struct RunReport {
    const std::string& program;
    const std::string& arguments;
    const std::string& output;  // what was read, cut at the cap
    RunOutcome outcome;
    int startError = 0;         // errno when the program could not be started
    int exitStatus = -1;        // its status when it exited by itself
    int signal = 0;             // the signal that ended it, when one did (not the time limit)
    bool outputTooLarge = false;
    uint64_t timeLimitMs = 0;
    uint32_t result = 0;        // what ExecuteCommand returns for the run
    std::string errorTail{};    // the last 64 KiB of what it printed on standard error
  };
  // Called after every finished run (not for runs cancelled with their thread), on the thread
  // that ran it; empty: none. Keep it short: the caller's run is not over until it returns.
  using RunObserver = std::function<void(const RunReport&)>;
  static void SetRunObserver(RunObserver observer);
  // Runs finished with this outcome since the process started.
  static uint64_t RunCount(RunOutcome outcome);
  // Kills every program still running and whatever it started, for a process that is about to
  // end without waiting for its runs (a second interrupt).
  static void KillAllRuns();

  // Version text of a loaded kernel module (/sys/module/NAME/version), empty when unknown.
  static std::string GetModuleVersion(const std::string& moduleName);
  // Raises this process's limit of open descriptors to the most it may have and returns the
  // limit then in force (0 when unknown).
  static size_t RaiseOpenFileLimit();
  // Hands memory the allocator keeps free back to the system, after a burst of work has ended.
  static void ReleaseFreeMemory();
};

class CConfigManager {
 public:
  // The `instance`-th (from 1) PCI function with this vendor and device (hexadecimal texts such
  // as "8086", "0A54"), in ascending address order. True when found, with its location.
  static bool GetLocation(const std::string& vendorId, const std::string& deviceId,
                          uint32_t instance, int& segment, int& bus, int& device, int& function);
  // The same over a list of vendor-and-device texts such as "80860A54": the instance counts
  // every function that matches any of them.
  static bool GetLocation(const std::vector<std::string>& vendorDeviceIds, uint32_t instance,
                          int& segment, int& bus, int& device, int& function);
  // Directory of PCI devices in sysfs layout; empty selects /sys/bus/pci/devices.
  static void SetPciRoot(const std::string& directory);
};

struct CSystemDate_Win {
  int year = 0;
  int month = 0;
  int day = 0;
};

class CSystemTime_Win {
 public:
  // The UTC calendar date of a time in milliseconds since 1970.
  static void GetDate(uint64_t ms, CSystemDate_Win& date);
};

namespace Testing {
// A stand-in for every program run: while one is set, ExecuteCommand (both overloads) hands the
// program and its argument line to it instead of starting a process, and returns what it
// returns with the output it filled. Lets fuzzers feed chosen output to the code that reads it.
// An empty function restores real runs. Safe to set from any thread.
using CommandRunner = std::function<uint32_t(const std::string& program,
                                             const std::string& arguments, std::string& output)>;
void SetCommandRunner(CommandRunner runner);
}  // namespace Testing

}  // namespace KVLX
