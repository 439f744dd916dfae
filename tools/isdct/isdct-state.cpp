// isdct-state: changes the drive state that the tool stand-in answers from (add or remove a
// drive, set fields, set or clear faults). Each change loads the state, applies itself and
// saves atomically, so a tool run in between sees the old state or the new one.

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "DriveState.h"

namespace isdct {
namespace {

constexpr const char* kUsage =
    "usage: isdct-state [--file PATH | --home DIR] COMMAND [ARGUMENTS]\n"
    "  show                             print the state\n"
    "  new [VERSION]                    start a state without drives\n"
    "  set-version VERSION              change the tool's version text\n"
    "  add SERIAL [FIELD=VALUE ...]     add a drive (next free index unless given)\n"
    "  remove SERIAL                    remove a drive\n"
    "  set SERIAL FIELD=VALUE ...       change fields of a drive\n"
    "  fault SERIAL KIND [PAGE] [STATUS]\n"
    "                                   give a drive a fault\n"
    "  clear-fault SERIAL               take a drive's fault away\n"
    "  tool-fault KIND [PAGE] [STATUS]  give every run of the tool a fault\n"
    "  clear-tool-fault                 take the tool's fault away\n"
    "  fields                           list the drive fields and their defaults\n"
    "KIND: hang, crash, invalid-json, empty, exit, no-device.\n"
    "PAGE: all (default), inventory, version, 2, 197, 202, 203. STATUS: exit status of 'exit'.\n"
    "The file is PATH, DIR/bin/drives.json, $ISDCT_STATE, or ./drives.json.\n";

constexpr int kExitUsage = 2;
constexpr int kExitFailed = 1;

int Fail(const std::string& message) {
  std::fprintf(stderr, "isdct-state: %s\n", message.c_str());
  return kExitFailed;
}

int Usage() {
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

// Applies FIELD=VALUE arguments to a drive.
bool ApplyFields(Drive& drive, const std::vector<std::string>& assignments, std::string& error) {
  for (const std::string& assignment : assignments) {
    const size_t equals = assignment.find('=');
    if (equals == std::string::npos) {
      error = "expected FIELD=VALUE, got \"" + assignment + "\"";
      return false;
    }
    if (!SetField(drive, assignment.substr(0, equals), assignment.substr(equals + 1), error)) {
      return false;
    }
  }
  return true;
}

bool ParseFaultArguments(const std::vector<std::string>& args, Fault& fault, std::string& error) {
  if (args.empty() || args.size() > 3) {
    error = "expected KIND [PAGE] [STATUS]";
    return false;
  }
  fault = Fault();
  if (!ParseFaultKind(args[0], fault.kind)) {
    error = "unknown fault kind \"" + args[0] + "\"";
    return false;
  }
  if (args.size() > 1 && !ParseRun(args[1], fault.page)) {
    error = "unknown fault page \"" + args[1] + "\"";
    return false;
  }
  if (args.size() > 2) {
    try {
      size_t used = 0;
      fault.status = std::stoi(args[2], &used);
      if (used != args[2].size()) throw std::invalid_argument(args[2]);
    } catch (const std::exception&) {
      error = "status \"" + args[2] + "\" is not a number";
      return false;
    }
  }
  return true;
}

int PrintFields() {
  const Drive defaults;
  State state;
  state.drives.push_back(defaults);
  // The formatted state lists every field with its default value.
  std::fputs(FormatState(state).c_str(), stdout);
  return 0;
}

int Main(std::vector<std::string> args) {
  std::string path;
  while (!args.empty() && (args[0] == "--file" || args[0] == "--home")) {
    if (args.size() < 2) return Usage();
    path = args[0] == "--file" ? args[1] : args[1] + "/bin/drives.json";
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) return Usage();
  if (args[0] == "--help" || args[0] == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (path.empty()) {
    const char* env = std::getenv("ISDCT_STATE");
    path = env != nullptr && *env != '\0' ? env : "drives.json";
  }
  const std::string command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "fields") return PrintFields();

  State state;
  std::string error;
  if (command == "new") {
    if (rest.size() > 1) return Usage();
    if (!rest.empty()) state.version = rest[0];
    return SaveState(path, state, error) ? 0 : Fail(error);
  }
  if (!LoadState(path, state, error)) return Fail(error);

  if (command == "show") {
    std::fputs(FormatState(state).c_str(), stdout);
    return 0;
  }
  if (command == "set-version") {
    if (rest.size() != 1) return Usage();
    state.version = rest[0];
  } else if (command == "add") {
    if (rest.empty()) return Usage();
    if (state.FindBySerial(rest[0]) != nullptr) return Fail("serial " + rest[0] + " exists");
    Drive drive;
    drive.serial = rest[0];
    drive.index = 0;
    for (const Drive& other : state.drives) {
      if (other.index >= drive.index) drive.index = other.index + 1;
    }
    if (!ApplyFields(drive, {rest.begin() + 1, rest.end()}, error)) return Fail(error);
    state.drives.push_back(drive);
  } else if (command == "remove") {
    if (rest.size() != 1) return Usage();
    const Drive* drive = state.FindBySerial(rest[0]);
    if (drive == nullptr) return Fail("no drive " + rest[0]);
    state.drives.erase(state.drives.begin() + (drive - state.drives.data()));
  } else if (command == "set" || command == "fault" || command == "clear-fault") {
    if (rest.empty()) return Usage();
    Drive* drive = state.FindBySerial(rest[0]);
    if (drive == nullptr) return Fail("no drive " + rest[0]);
    const std::vector<std::string> more(rest.begin() + 1, rest.end());
    if (command == "set" && !ApplyFields(*drive, more, error)) return Fail(error);
    if (command == "fault" && !ParseFaultArguments(more, drive->fault, error)) return Fail(error);
    if (command == "clear-fault") drive->fault = Fault();
  } else if (command == "tool-fault") {
    if (!ParseFaultArguments(rest, state.fault, error)) return Fail(error);
  } else if (command == "clear-tool-fault") {
    state.fault = Fault();
  } else {
    return Usage();
  }

  // Check the result as the tool will read it (a serial or index used twice, say).
  State check;
  if (!ParseState(FormatState(state), check, error)) return Fail(error);
  return SaveState(path, state, error) ? 0 : Fail(error);
}

}  // namespace
}  // namespace isdct

int main(int argc, char** argv) {
  return isdct::Main(std::vector<std::string>(argv + 1, argv + argc));
}
