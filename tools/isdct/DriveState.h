// The drive state of the vendor-tool stand-in: the drives it reports, their health, and the
// faults it plays. The stand-in loads the state on every run; tests, the host shell and the
// isdct-state program change it. A save replaces the file atomically (temporary file, then
// rename), so a run sees the old or the new state, never half of one. Values are plain data;
// the functions keep no state of their own and may be called from any thread.
//
// The state file is one JSON object:
//
//   {
//     "version": "3.2.0",                   the tool's version text
//     "fault": {"kind": "empty", "page": "version"},     optional, hits runs of the whole tool
//     "drives": [
//       {
//         "index": 0,                       the tool's drive index (default: list position)
//         "serial": "PHLE812300AB1P6AGN",   required and unique
//         "family": "Intel SSD DC P4600 Series",   names the drive's sections
//         "model": "INTEL SSDPE2KE016T7",
//         "temperature": 35,
//         ...                               any field of kDriveFields; missing ones default
//         "fault": {"kind": "hang", "page": 197}   optional
//       }
//     ]
//   }
//
// A fault has a "kind": "hang" (sleeps until killed), "crash" (prints part of the answer, then
// aborts), "invalid-json" (prints the answer cut short), "empty" (prints nothing), "exit"
// (prints an error on standard error only and exits with "status", default 1) or "no-device"
// (answers "No device selected") or "file" (prints the contents of the file "path" instead of
// the answer, then exits with "status", default 0: output of any shape, at once). A hang with
// "child": true first starts a copy of the program that only hangs, as a tool's helper process
// would, and with "pidfile" writes the two identifiers there ("PARENT CHILD\n"), once both
// run. Its "page" chooses the runs it hits: 2, 197, 202 or 203 (one health page of the
// drive), "inventory" (the listing of all drives), "version", or "all" (the default: every
// per-drive page for a drive's fault, every run for the tool's fault).
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace isdct {

enum class FaultKind { kNone, kHang, kCrash, kInvalidJson, kEmpty, kExit, kNoDevice, kFile };

// The runs of the tool that a fault's "page" chooses; kAll stands for every run.
enum class Run {
  kAll,
  kInventory,        // "show -all -o json -vedidevu"
  kVersion,          // "version -o json"
  kSmartHealth,      // page 2
  kTemperature,      // page 197
  kSmartAttributes,  // page 202
  kDriveInfo,        // page 203
};

struct Fault {
  FaultKind kind = FaultKind::kNone;
  Run page = Run::kAll;
  int status = 1;    // exit status of FaultKind::kExit and kFile
  std::string path;  // the file FaultKind::kFile prints
  bool child = false;   // FaultKind::kHang: a hanging copy of the program is started first
  std::string pidfile;  // FaultKind::kHang: where the hung processes' identifiers are written

  bool Active() const { return kind != FaultKind::kNone; }
  // True when the fault hits `run`.
  bool Hits(Run run) const { return Active() && (page == Run::kAll || page == run); }
};

struct Drive {
  int64_t index = 0;
  std::string serial;
  std::string family = "Intel SSD DC P4600 Series";
  std::string productFamily;  // printed as "ProductFamily"; empty prints `family`
  std::string model = "INTEL SSDPE2KE016T7";
  std::string firmware = "QDV10170";
  std::string bootloader = "0133";
  std::string controllerDescription = "NVM Express Controller";
  bool controllerIdeMode = false;
  std::string controllerManufacturer = "Intel Corporation";
  std::string controllerService = "nvme";
  std::string devicePath;
  std::string deviceStatus = "Healthy";
  std::string driverDescription = "NVM Express driver";
  int64_t driverMajorVersion = 1;
  std::string driverManufacturer = "Intel Corporation";
  int64_t driverMinorVersion = 0;
  std::string errorString;
  int64_t lbaFormat = 0;
  uint64_t maximumLba = 3125627567;
  uint64_t nativeMaxLba = 3125627568;
  uint64_t numLbaFormats = 7;
  uint64_t nvmePowerState = 0;
  uint64_t physicalSize = 1600321314816;
  std::string powerGovernorMode = "25W";
  uint64_t sectorSize = 512;
  uint64_t tempThreshold = 70;
  std::string rsteDiskId;  // printed as "RSTeDiskId" only when not empty

  int64_t criticalWarnings = 0;
  bool spareBelowThreshold = false;
  bool reliabilityDegraded = false;
  bool readOnly = false;
  bool volatileBackupFailed = false;
  int64_t availableSpare = 100;
  int64_t availableSpareThreshold = 10;
  int64_t percentageUsed = 0;
  uint64_t dataUnitsRead = 0;
  uint64_t dataUnitsWritten = 0;
  uint64_t powerOnHours = 0;
  uint64_t mediaErrors = 0;

  int64_t temperature = 35;
  int64_t temperatureOffset = 0;

  uint64_t normalizedEA = 100;
  uint64_t normalizedAD = 0;  // the plug-in reads attribute AD as the share of life used

  Fault fault;
};

struct State {
  std::string version = "3.2.0";
  Fault fault;
  std::vector<Drive> drives;

  // The drive with this serial or tool index, or null; the state keeps ownership.
  Drive* FindBySerial(const std::string& serial);
  const Drive* FindByIndex(int64_t index) const;
};

// How a field is written in the state file and printed by the tool.
enum class FieldKind {
  kText,   // string
  kFlag,   // true / false
  kInt,    // signed integer
  kUInt,   // unsigned integer
  kHex,    // unsigned integer, printed by the tool as a hexadecimal text
};

// Which of the tool's answers prints a field.
enum class Section {
  kNone,             // printed by a rule of its own (or not at all)
  kDriveInfo,        // the inventory and page 203: "<family> <serial>"
  kSmartHealth,      // page 2: "SMART and Health Information <serial>"
  kTemperature,      // page 197: "Temp Statistics <serial>"
  kSmartAttributes,  // page 202: "SMART Attributes <serial>", as {"<key>": {"Normalized": v}}
};

using DriveMember = std::variant<std::string Drive::*, bool Drive::*, int64_t Drive::*,
                                 uint64_t Drive::*>;

struct FieldInfo {
  const char* name;     // in the state file
  FieldKind kind;
  DriveMember member;
  Section section;
  const char* toolKey;  // as the tool prints it; null for kNone
};

// Every field of a drive, in the order the tool prints them within a section.
inline constexpr FieldInfo kDriveFields[] = {
    {"index", FieldKind::kInt, &Drive::index, Section::kDriveInfo, "Index"},
    {"serial", FieldKind::kText, &Drive::serial, Section::kDriveInfo, "SerialNumber"},
    {"family", FieldKind::kText, &Drive::family, Section::kNone, nullptr},
    {"productFamily", FieldKind::kText, &Drive::productFamily, Section::kNone, nullptr},
    {"model", FieldKind::kText, &Drive::model, Section::kDriveInfo, "ModelNumber"},
    {"firmware", FieldKind::kText, &Drive::firmware, Section::kDriveInfo, "Firmware"},
    {"bootloader", FieldKind::kText, &Drive::bootloader, Section::kDriveInfo, "Bootloader"},
    {"controllerDescription", FieldKind::kText, &Drive::controllerDescription,
     Section::kDriveInfo, "ControllerDescription"},
    {"controllerIdeMode", FieldKind::kFlag, &Drive::controllerIdeMode, Section::kDriveInfo,
     "ControllerIDEMode"},
    {"controllerManufacturer", FieldKind::kText, &Drive::controllerManufacturer,
     Section::kDriveInfo, "ControllerManufacturer"},
    {"controllerService", FieldKind::kText, &Drive::controllerService, Section::kDriveInfo,
     "ControllerService"},
    {"devicePath", FieldKind::kText, &Drive::devicePath, Section::kDriveInfo, "DevicePath"},
    {"deviceStatus", FieldKind::kText, &Drive::deviceStatus, Section::kDriveInfo,
     "DeviceStatus"},
    {"driverDescription", FieldKind::kText, &Drive::driverDescription, Section::kDriveInfo,
     "DriverDescription"},
    {"driverMajorVersion", FieldKind::kInt, &Drive::driverMajorVersion, Section::kDriveInfo,
     "DriverMajorVersion"},
    {"driverManufacturer", FieldKind::kText, &Drive::driverManufacturer, Section::kDriveInfo,
     "DriverManufacturer"},
    {"driverMinorVersion", FieldKind::kInt, &Drive::driverMinorVersion, Section::kDriveInfo,
     "DriverMinorVersion"},
    {"errorString", FieldKind::kText, &Drive::errorString, Section::kDriveInfo, "ErrorString"},
    {"lbaFormat", FieldKind::kInt, &Drive::lbaFormat, Section::kDriveInfo, "LBAFormat"},
    {"maximumLba", FieldKind::kUInt, &Drive::maximumLba, Section::kDriveInfo, "MaximumLBA"},
    {"nativeMaxLba", FieldKind::kUInt, &Drive::nativeMaxLba, Section::kDriveInfo,
     "NativeMaxLBA"},
    {"numLbaFormats", FieldKind::kUInt, &Drive::numLbaFormats, Section::kDriveInfo,
     "NumLBAFormats"},
    {"nvmePowerState", FieldKind::kUInt, &Drive::nvmePowerState, Section::kDriveInfo,
     "NVMePowerState"},
    {"physicalSize", FieldKind::kUInt, &Drive::physicalSize, Section::kDriveInfo,
     "PhysicalSize"},
    {"powerGovernorMode", FieldKind::kText, &Drive::powerGovernorMode, Section::kDriveInfo,
     "PowerGovernorMode"},
    {"sectorSize", FieldKind::kUInt, &Drive::sectorSize, Section::kDriveInfo, "SectorSize"},
    {"tempThreshold", FieldKind::kUInt, &Drive::tempThreshold, Section::kDriveInfo,
     "TempThreshold"},
    {"rsteDiskId", FieldKind::kText, &Drive::rsteDiskId, Section::kNone, nullptr},

    {"criticalWarnings", FieldKind::kInt, &Drive::criticalWarnings, Section::kSmartHealth,
     "Critical Warnings"},
    {"spareBelowThreshold", FieldKind::kFlag, &Drive::spareBelowThreshold, Section::kSmartHealth,
     "Available Spare Space has fallen below the threshold"},
    {"reliabilityDegraded", FieldKind::kFlag, &Drive::reliabilityDegraded, Section::kSmartHealth,
     "Device reliability has degraded"},
    {"readOnly", FieldKind::kFlag, &Drive::readOnly, Section::kSmartHealth,
     "Media is in a read-only mode"},
    {"volatileBackupFailed", FieldKind::kFlag, &Drive::volatileBackupFailed,
     Section::kSmartHealth, "Volatile memory backup device has failed"},
    {"availableSpare", FieldKind::kInt, &Drive::availableSpare, Section::kSmartHealth,
     "Available Spare Normalized percentage of the remaining spare capacity available"},
    {"availableSpareThreshold", FieldKind::kInt, &Drive::availableSpareThreshold,
     Section::kSmartHealth, "Available Spare Threshold Percentage"},
    {"percentageUsed", FieldKind::kInt, &Drive::percentageUsed, Section::kSmartHealth,
     "Percentage Used"},
    {"dataUnitsRead", FieldKind::kHex, &Drive::dataUnitsRead, Section::kSmartHealth,
     "Data Units Read"},
    {"dataUnitsWritten", FieldKind::kHex, &Drive::dataUnitsWritten, Section::kSmartHealth,
     "Data Units Written"},
    {"powerOnHours", FieldKind::kHex, &Drive::powerOnHours, Section::kSmartHealth,
     "Power On Hours"},
    {"mediaErrors", FieldKind::kHex, &Drive::mediaErrors, Section::kSmartHealth, "Media Errors"},

    {"temperature", FieldKind::kInt, &Drive::temperature, Section::kTemperature,
     "Current Temperature"},
    {"temperatureOffset", FieldKind::kInt, &Drive::temperatureOffset, Section::kTemperature,
     "Estimated offset in Celsius"},

    {"normalizedEA", FieldKind::kUInt, &Drive::normalizedEA, Section::kSmartAttributes, "EA"},
    {"normalizedAD", FieldKind::kUInt, &Drive::normalizedAD, Section::kSmartAttributes, "AD"},
};

// The running program's full path, in the system's own encoding; empty when unknown.
std::string ProgramPath();
// The file `name` in the running program's directory.
std::string BesideProgram(const std::string& name);
// The state file the stand-in reads: $ISDCT_STATE when set, else drives.json beside the program.
std::string DefaultStatePath();

// Reads a state from JSON text or from a file. Unknown or mistyped fields, a drive without a
// serial, and a serial or index used twice are errors. On failure returns false, `error` says
// why and `state` is unspecified.
[[nodiscard]] bool ParseState(const std::string& text, State& state, std::string& error);
[[nodiscard]] bool LoadState(const std::string& path, State& state, std::string& error);

// The state as JSON text (every field written), and its atomic save.
std::string FormatState(const State& state);
[[nodiscard]] bool SaveState(const std::string& path, const State& state, std::string& error);

// Sets a drive's field by its state-file name from a text ("temperature", "85"; unsigned and
// hexadecimal fields also take 0x-prefixed texts; flags take true/false/1/0).
[[nodiscard]] bool SetField(Drive& drive, const std::string& name, const std::string& value,
                            std::string& error);

// Fault kinds and pages by their names in the state file ("hang", ...; "2", "inventory", ...).
[[nodiscard]] bool ParseFaultKind(const std::string& text, FaultKind& kind);
[[nodiscard]] bool ParseRun(const std::string& text, Run& run);
const char* FaultKindName(FaultKind kind);
const char* RunName(Run run);

}  // namespace isdct
