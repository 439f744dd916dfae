// The tool's kernel source: answers the tool's runs from the machine's own NVMe controllers,
// their identity in sysfs and the admin pass-through of their character devices (Identify, Get
// Log Page). Each call reads afresh and keeps nothing; safe from any thread, though the stand-in
// calls it once per run.
//
// Drives are listed in the order of their kernel instance numbers and the tool's "Index" is that
// number (nvme3 answers as index 3): an index stays the drive's for as long as the kernel keeps the
// controller. A removed controller's index goes with it and the others keep theirs; a controller
// that appears takes the lowest free instance number, which may be one a removed drive had.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "DriveState.h"

namespace isdct {

struct KernelOptions {
  std::string sysfsRoot = "/sys";  // ISDCT_SYSFS_ROOT: a sysfs tree to read instead (tests)
  std::string devRoot = "/dev";    // ISDCT_DEV_ROOT: where the controllers' device nodes are
  int timeoutMs = 5000;            // limit of each admin command
};

// A value the kernel source prints beyond the drive-state fields, in the section of `section`.
struct ExtraField {
  Section section;
  std::string key;
  std::variant<std::string, int64_t> value;
};

struct KernelDrive {
  Drive drive;
  std::vector<ExtraField> extras;
  std::vector<std::string> unread;  // state-file names of fields this run could not read
};

// Exit statuses of the tool's failures, with the ones of the drive-state source.
constexpr int kExitNoController = 1;   // no NVMe controller (or no drive of that index)
constexpr int kExitPermission = 4;     // the pass-through needs CAP_SYS_ADMIN
constexpr int kExitGone = 5;           // the controller went away during the run
constexpr int kExitRefused = 6;        // the controller refused the command (status printed)
constexpr int kExitTimeout = 7;        // a command ran past its time limit

struct KernelError {
  int exitStatus = 0;
  std::string message;  // names the controller and the cause
};

// Every controller, for the inventory; an empty machine is an error (kExitNoController).
[[nodiscard]] bool ListKernelDrives(const KernelOptions& options, std::vector<KernelDrive>& drives,
                                    KernelError& error);

// The drive of tool index `index` as `run` needs it (one log page, or its identity for page 203).
// A drive that does not exist gives false with exit status kExitNoController and an empty
// message: the tool then answers "No device selected".
[[nodiscard]] bool ReadKernelDrive(const KernelOptions& options, int64_t index, Run run,
                                   KernelDrive& drive, KernelError& error);

}  // namespace isdct
