// isdct.exe, the vendor-tool stand-in: answers the tool's JSON argument lines from the drive
// state (see DriveState.h), read afresh on every run, and plays the faults the state asks for.
// It runs once per query, several times per drive and poll, so it does nothing but read the
// state and print one answer.


#include <cinttypes>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "DriveState.h"

namespace isdct {
namespace {

constexpr const char* kUsage =
    "usage: isdct.exe show -all -o json -vedidevu\n"
    "       isdct.exe show -all -o json -vedidevu INDEX\n"
    "       isdct.exe show -o json -vedidevu INDEX -nvmelog SmartHealthInfo\n"
    "       isdct.exe show -o json -vedidevu INDEX -nvmelog TemperatureStatistics\n"
    "       isdct.exe show -o json -smart -vedidevu INDEX\n"
    "       isdct.exe version -o json\n"
    "Answers from the drive state in $ISDCT_STATE, or drives.json beside the program.\n";

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

// One drive as the inventory and page 203 list it.
void WriteDriveInfo(Writer& out, const Drive& drive) {
  Key(out, drive.family + " " + drive.serial);
  out.StartObject();
  for (const FieldInfo& field : kDriveFields) {
    if (field.section != Section::kDriveInfo) continue;
    out.Key(field.toolKey);
    WriteField(out, drive, field);
  }
  out.Key("ProductFamily");
  Text(out, drive.productFamily.empty() ? drive.family : drive.productFamily);
  if (!drive.rsteDiskId.empty()) {
    out.Key("RSTeDiskId");
    Text(out, drive.rsteDiskId);
  }
  out.EndObject();
}

void WritePage(Writer& out, const Drive& drive, const PageSection& page) {
  Key(out, std::string(page.name) + " " + drive.serial);
  out.StartObject();
  for (const FieldInfo& field : kDriveFields) {
    if (field.section != page.section) continue;
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
  out.EndObject();
}

// The answer to `run`; `drive` is the addressed drive of a per-drive page.
std::string Answer(const State& state, Run run, const Drive* drive) {
  rapidjson::StringBuffer buffer;
  Writer out(buffer);
  out.StartObject();
  switch (run) {
    case Run::kInventory:
      for (const Drive& d : state.drives) WriteDriveInfo(out, d);
      break;
    case Run::kVersion:
      out.Key("Version Information");
      out.StartObject();
      out.Key("Version");
      Text(out, state.version);
      out.EndObject();
      break;
    case Run::kDriveInfo:
      WriteDriveInfo(out, *drive);
      break;
    default:
      for (const PageSection& page : kPageSections) {
        if (page.run == run) WritePage(out, *drive, page);
      }
      break;
  }
  out.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

std::string NoDeviceAnswer() { return "{\n    \"Error\": \"No device selected\"\n}\n"; }

void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// Prints `answer` as `fault` asks; returns the exit status.
int Play(const std::string& answer, const Fault& fault) {
  switch (fault.kind) {
    case FaultKind::kNone:
      Print(answer);
      return 0;
    case FaultKind::kHang:
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
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
  }
  return 0;
}

int Main(const std::vector<std::string>& args) {
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

  const std::string path = DefaultStatePath();
  State state;
  std::string error;
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
