// isdct.exe, the vendor-tool stand-in: answers the tool's JSON argument lines from the drive
// state (see DriveState.h), read afresh on every run, and plays the faults the state asks for.
// It runs once per query, several times per drive and poll, so it does nothing but read the
// state and print one answer.

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <unistd.h>
extern char** environ;
#endif

#include <cinttypes>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "DriveState.h"
#include "KernelSource.h"

namespace isdct {
namespace {

constexpr const char* kUsage =
    "usage: isdct.exe show -all -o json -vedidevu\n"
    "       isdct.exe show -all -o json -vedidevu INDEX\n"
    "       isdct.exe show -o json -vedidevu INDEX -nvmelog SmartHealthInfo\n"
    "       isdct.exe show -o json -vedidevu INDEX -nvmelog TemperatureStatistics\n"
    "       isdct.exe show -o json -smart -vedidevu INDEX\n"
    "       isdct.exe version -o json\n"
    "Answers from the drive state in $ISDCT_STATE, or drives.json beside the program (the\n"
    "default). With ISDCT_SOURCE=kernel, or a line source=kernel in isdct.ini beside the\n"
    "program, it answers from this machine's NVMe controllers instead: identity from sysfs,\n"
    "Identify and log pages through the kernel's admin pass-through, which needs CAP_SYS_ADMIN\n"
    "in the initial user namespace (CAP_SYS_RAWIO does not do; root in a rootless container\n"
    "does not count). Without it the SMART page holds only the hwmon sensor's temperature and\n"
    "alarm. Drive indexes are the controllers' instance numbers (nvme2 is index 2).\n"
    "  ISDCT_SYSFS_ROOT, ISDCT_DEV_ROOT  read another sysfs tree / device directory\n"
    "  ISDCT_TIMEOUT_MS or timeout_ms=   limit of each admin command (default 5000)\n"
    "  ISDCT_RUNLOG or runlog=PATH       append each run's arguments, joined by one blank, as a\n"
    "                                    line to PATH before answering\n"
    "Exit status: 0 answered, 1 no device, 2 usage, 3 drive state or settings, 4 no permission,\n"
    "5 controller gone, 6 command refused (status printed), 7 command timed out.\n";

constexpr int kExitUsage = 2;
constexpr int kExitState = 3;
constexpr int kExitNoDevice = 1;

constexpr const char* kIndexToken = "%d";

struct Command {
  const char* line;
  Run run;
};
constexpr Command kCommands[] = {
    {"show -all -o json -vedidevu", Run::kInventory},
    {"show -o json -vedidevu %d -nvmelog SmartHealthInfo", Run::kSmartHealth},
    {"show -o json -vedidevu %d -nvmelog TemperatureStatistics", Run::kTemperature},
    {"show -o json -smart -vedidevu %d", Run::kSmartAttributes},
    {"show -all -o json -vedidevu %d", Run::kDriveInfo},
    {"version -o json", Run::kVersion},
};

// Section names of the per-drive pages; the serial number follows.
struct PageSection {
  Run run;
  Section section;
  const char* name;
};
constexpr PageSection kPageSections[] = {
    {Run::kSmartHealth, Section::kSmartHealth, "SMART and Health Information"},
    {Run::kTemperature, Section::kTemperature, "Temp Statistics"},
    {Run::kSmartAttributes, Section::kSmartAttributes, "SMART Attributes"},
};

using Writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> tokens;
  size_t start = 0;
  while (start <= line.size()) {
    const size_t blank = line.find(' ', start);
    const size_t end = blank == std::string::npos ? line.size() : blank;
    tokens.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return tokens;
}

// Matches the arguments against the argument lines. `index` is -1 when the line names a drive
// index too large to be one.
bool Match(const std::vector<std::string>& args, Run& run, int64_t& index) {
  for (const Command& command : kCommands) {
    const std::vector<std::string> pattern = Split(command.line);
    if (pattern.size() != args.size()) continue;
    bool matches = true;
    for (size_t i = 0; i < pattern.size() && matches; ++i) {
      if (pattern[i] != kIndexToken) {
        matches = pattern[i] == args[i];
        continue;
      }
      const std::string& token = args[i];
      matches = !token.empty() && token.find_first_not_of("0123456789") == std::string::npos;
      if (matches) index = token.size() > 18 ? -1 : std::strtoll(token.c_str(), nullptr, 10);
    }
    if (matches) {
      run = command.run;
      return true;
    }
  }
  return false;
}

void Key(Writer& out, const std::string& key) {
  out.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
}

void Text(Writer& out, const std::string& text) {
  out.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void WriteField(Writer& out, const Drive& drive, const FieldInfo& field) {
  switch (field.kind) {
    case FieldKind::kText:
      Text(out, drive.*std::get<std::string Drive::*>(field.member));
      break;
    case FieldKind::kFlag:
      out.Bool(drive.*std::get<bool Drive::*>(field.member));
      break;
    case FieldKind::kInt:
      out.Int64(drive.*std::get<int64_t Drive::*>(field.member));
      break;
    case FieldKind::kUInt:
      out.Uint64(drive.*std::get<uint64_t Drive::*>(field.member));
      break;
    case FieldKind::kHex: {
      char text[32];
      std::snprintf(text, sizeof text, "0x%016" PRIX64,
                    drive.*std::get<uint64_t Drive::*>(field.member));
      Text(out, text);
      break;
    }
  }
}

// What the kernel source adds to a drive's sections, and the fields it could not read.
struct Additions {
  const std::vector<ExtraField>* extras = nullptr;
  const std::vector<std::string>* unread = nullptr;

  bool Unread(const FieldInfo& field) const {
    if (unread == nullptr) return false;
    for (const std::string& name : *unread) {
      if (name == field.name) return true;
    }
    return false;
  }
  void Write(Writer& out, Section section) const {
    if (extras == nullptr) return;
    for (const ExtraField& extra : *extras) {
      if (extra.section != section) continue;
      Key(out, extra.key);
      if (const auto* text = std::get_if<std::string>(&extra.value)) Text(out, *text);
      else out.Int64(std::get<int64_t>(extra.value));
    }
  }
};

// One drive as the inventory and page 203 list it.
void WriteDriveInfo(Writer& out, const Drive& drive, const Additions& additions = {}) {
  Key(out, drive.family + " " + drive.serial);
  out.StartObject();
  for (const FieldInfo& field : kDriveFields) {
    if (field.section != Section::kDriveInfo || additions.Unread(field)) continue;
    out.Key(field.toolKey);
    WriteField(out, drive, field);
  }
  additions.Write(out, Section::kDriveInfo);
  out.Key("ProductFamily");
  Text(out, drive.productFamily.empty() ? drive.family : drive.productFamily);
  if (!drive.rsteDiskId.empty()) {
    out.Key("RSTeDiskId");
    Text(out, drive.rsteDiskId);
  }
  out.EndObject();
}

void WritePage(Writer& out, const Drive& drive, const PageSection& page,
               const Additions& additions = {}) {
  Key(out, std::string(page.name) + " " + drive.serial);
  out.StartObject();
  for (const FieldInfo& field : kDriveFields) {
    if (field.section != page.section || additions.Unread(field)) continue;
    out.Key(field.toolKey);
    if (page.section == Section::kSmartAttributes) {
      out.StartObject();
      out.Key("Normalized");
      WriteField(out, drive, field);
      out.EndObject();
    } else {
      WriteField(out, drive, field);
    }
  }
  additions.Write(out, page.section);
  out.EndObject();
}

// The sections of one drive that `run` asks for (its identity, or one page).
void WriteDrive(Writer& out, const Drive& drive, Run run, const Additions& additions = {}) {
  if (run == Run::kInventory || run == Run::kDriveInfo)
    return WriteDriveInfo(out, drive, additions);
  for (const PageSection& page : kPageSections) {
    if (page.run == run) WritePage(out, drive, page, additions);
  }
}

std::string Finish(Writer& out, rapidjson::StringBuffer& buffer) {
  out.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

// The answer to `run`; `drive` is the addressed drive of a per-drive page.
std::string Answer(const State& state, Run run, const Drive* drive) {
  rapidjson::StringBuffer buffer;
  Writer out(buffer);
  out.StartObject();
  if (run == Run::kInventory) {
    for (const Drive& d : state.drives) WriteDrive(out, d, run);
  } else if (run == Run::kVersion) {
    out.Key("Version Information");
    out.StartObject();
    out.Key("Version");
    Text(out, state.version);
    out.EndObject();
  } else {
    WriteDrive(out, *drive, run);
  }
  return Finish(out, buffer);
}

// The kernel source's answer to `run` for `drives` (all of them for the inventory, else one).
std::string KernelAnswer(const std::vector<KernelDrive>& drives, Run run) {
  rapidjson::StringBuffer buffer;
  Writer out(buffer);
  out.StartObject();
  for (const KernelDrive& drive : drives)
    WriteDrive(out, drive.drive, run, Additions{&drive.extras, &drive.unread});
  return Finish(out, buffer);
}

std::string NoDeviceAnswer() { return "{\n    \"Error\": \"No device selected\"\n}\n"; }

void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// The argument a hanging copy of the program is started with: it only hangs.
constexpr const char* kHangOnly = "--hang-only";

[[noreturn]] void HangForever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// Starts a copy of this program that only hangs, holding the same output; its process
// identifier, or -1 when it could not be started.
long StartHangingCopy() {
  const std::string self = ProgramPath();
  if (self.empty()) return -1;
#ifdef _WIN32
  std::string line = "\"" + self + "\" " + kHangOnly;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(self.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &process))
    return -1;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<long>(process.dwProcessId);
#else
  char* argv[] = {const_cast<char*>(self.c_str()), const_cast<char*>(kHangOnly), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
  return static_cast<long>(pid);
#endif
}

long OwnProcessId() {
#ifdef _WIN32
  return static_cast<long>(GetCurrentProcessId());
#else
  return static_cast<long>(getpid());
#endif
}

// The hang fault: with "child", a hanging copy first, and both identifiers in "pidfile".
[[noreturn]] void Hang(const Fault& fault) {
  long child = 0;
  if (fault.child && (child = StartHangingCopy()) < 0)
    std::fprintf(stderr, "isdct.exe: cannot start the hanging copy\n");
  if (!fault.pidfile.empty()) {
    if (FILE* file = std::fopen(fault.pidfile.c_str(), "wb")) {
      std::fprintf(file, "%ld %ld\n", OwnProcessId(), child);
      std::fclose(file);
    }
  }
  HangForever();
}

// Prints `answer` as `fault` asks; returns the exit status.
int Play(const std::string& answer, const Fault& fault) {
  switch (fault.kind) {
    case FaultKind::kNone:
      Print(answer);
      return 0;
    case FaultKind::kHang:
      Hang(fault);
    case FaultKind::kCrash:
      Print(answer.substr(0, answer.size() / 2));
      std::abort();
    case FaultKind::kInvalidJson:
      Print(answer.substr(0, answer.rfind('}')));
      return 0;
    case FaultKind::kEmpty:
      return 0;
    case FaultKind::kExit:
      // As the tool fails: a message on standard error, nothing on standard output.
      std::fprintf(stderr, "isdct.exe: the command failed (status %d)\n", fault.status);
      return fault.status;
    case FaultKind::kNoDevice:
      Print(NoDeviceAnswer());
      return kExitNoDevice;
    case FaultKind::kFile: {
      std::ifstream file(fault.path, std::ios::binary);
      if (!file) {
        std::fprintf(stderr, "isdct.exe: cannot read %s\n", fault.path.c_str());
        return kExitState;
      }
      Print(std::string(std::istreambuf_iterator<char>(file), {}));
      return fault.status;
    }
  }
  return 0;
}

// The lines of isdct.ini beside the program: "source=kernel", "timeout_ms=N", "runlog=PATH".
struct IniSettings {
  std::string source;
  std::string timeout;
  std::string runlog;
};

IniSettings ReadIni() {
  IniSettings ini;
  const std::string path = BesideProgram("isdct.ini");
  if (FILE* file = std::fopen(path.c_str(), "r")) {
    char line[4096];
    while (std::fgets(line, sizeof line, file) != nullptr) {
      std::string text(line);
      text.erase(text.find_last_not_of(" \t\r\n") + 1);
      if (text.compare(0, 7, "source=") == 0) ini.source = text.substr(7);
      if (text.compare(0, 11, "timeout_ms=") == 0) ini.timeout = text.substr(11);
      if (text.compare(0, 7, "runlog=") == 0) ini.runlog = text.substr(7);
    }
    std::fclose(file);
  }
  return ini;
}

// A variable of the environment that is set and not empty overrides `value`.
void FromEnvironment(const char* name, std::string& value) {
  const char* text = std::getenv(name);
  if (text != nullptr && *text != '\0') value = text;
}

// Appends the run's arguments, joined by one blank, to the run log when one is set. A log that
// cannot be written is reported; the run still answers.
void LogRun(std::string path, const std::vector<std::string>& args) {
  FromEnvironment("ISDCT_RUNLOG", path);
  if (path.empty()) return;
  std::string line;
  for (const std::string& arg : args) line += (line.empty() ? "" : " ") + arg;
  line += '\n';
  FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr || std::fwrite(line.data(), 1, line.size(), file) != line.size())
    std::fprintf(stderr, "isdct.exe: cannot write the run log %s\n", path.c_str());
  if (file != nullptr) std::fclose(file);
}

// The source of the answers: isdct.ini, then ISDCT_SOURCE, ISDCT_TIMEOUT_MS, ISDCT_SYSFS_ROOT
// and ISDCT_DEV_ROOT.
bool LoadSettings(const IniSettings& ini, bool& kernel, KernelOptions& options,
                  std::string& error) {
  std::string source = ini.source;
  std::string timeout = ini.timeout;
  FromEnvironment("ISDCT_SOURCE", source);
  FromEnvironment("ISDCT_TIMEOUT_MS", timeout);
  FromEnvironment("ISDCT_SYSFS_ROOT", options.sysfsRoot);
  FromEnvironment("ISDCT_DEV_ROOT", options.devRoot);
  if (!source.empty() && source != "kernel" && source != "state") {
    error = "source must be kernel or state, not \"" + source + "\"";
    return false;
  }
  kernel = source == "kernel";
  if (!timeout.empty()) {
    char* end = nullptr;
    const long ms = std::strtol(timeout.c_str(), &end, 10);
    if (*end != '\0' || ms < 1 || ms > 600000) {
      error = "timeout_ms must be 1 to 600000, not \"" + timeout + "\"";
      return false;
    }
    options.timeoutMs = static_cast<int>(ms);
  }
  return true;
}

int KernelMain(const KernelOptions& options, Run run, int64_t index) {
  if (run == Run::kVersion) {
    Print(Answer(State(), run, nullptr));
    return 0;
  }
  std::vector<KernelDrive> drives(1);
  KernelError error;
  const bool read = run == Run::kInventory
                        ? ListKernelDrives(options, drives, error)
                        : index >= 0 && ReadKernelDrive(options, index, run, drives[0], error);
  if (!read && (index < 0 || error.message.empty()) && run != Run::kInventory) {
    Print(NoDeviceAnswer());
    return kExitNoDevice;
  }
  if (!read) {
    std::fprintf(stderr, "isdct.exe: %s\n", error.message.c_str());
    return error.exitStatus;
  }
  Print(KernelAnswer(drives, run));
  return 0;
}

int Main(const std::vector<std::string>& args) {
  if (args.size() == 1 && args[0] == kHangOnly) HangForever();
  const IniSettings ini = ReadIni();
  LogRun(ini.runlog, args);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Run run = Run::kAll;
  int64_t index = -1;
  if (!Match(args, run, index)) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }

  bool kernel = false;
  KernelOptions options;
  std::string error;
  if (!LoadSettings(ini, kernel, options, error)) {
    std::fprintf(stderr, "isdct.exe: settings: %s\n", error.c_str());
    return kExitState;
  }
  if (kernel) return KernelMain(options, run, index);

  const std::string path = DefaultStatePath();
  State state;
  if (!LoadState(path, state, error)) {
    std::fprintf(stderr, "isdct.exe: drive state: %s\n", error.c_str());
    return kExitState;
  }

  Fault fault = state.fault.Hits(run) ? state.fault : Fault();
  const Drive* drive = nullptr;
  if (run == Run::kInventory) {
    for (const Drive& d : state.drives) {
      if (!fault.Active() && d.fault.Active() && d.fault.page == Run::kInventory) fault = d.fault;
    }
  } else if (run != Run::kVersion) {
    drive = index < 0 ? nullptr : state.FindByIndex(index);
    if (drive == nullptr) {
      Print(NoDeviceAnswer());
      return kExitNoDevice;
    }
    if (!fault.Active() && drive->fault.Active() &&
        (drive->fault.page == Run::kAll || drive->fault.page == run)) {
      fault = drive->fault;
    }
  }
  return Play(Answer(state, run, drive), fault);
}

}  // namespace
}  // namespace isdct

int main(int argc, char** argv) {
  return isdct::Main(std::vector<std::string>(argv + 1, argv + argc));
}
