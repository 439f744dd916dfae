#include "DriveState.h"

#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

namespace isdct {

namespace {

struct FaultKindName_ {
  FaultKind kind;
  const char* name;
};
constexpr FaultKindName_ kFaultKinds[] = {
    {FaultKind::kNone, "none"},         {FaultKind::kHang, "hang"},
    {FaultKind::kCrash, "crash"},       {FaultKind::kInvalidJson, "invalid-json"},
    {FaultKind::kEmpty, "empty"},       {FaultKind::kExit, "exit"},
    {FaultKind::kNoDevice, "no-device"}, {FaultKind::kFile, "file"},
};

struct RunName_ {
  Run run;
  const char* name;
  int page;  // the log-page number a fault's "page" may give instead, or 0
};
constexpr RunName_ kRuns[] = {
    {Run::kAll, "all", 0},          {Run::kInventory, "inventory", 0},
    {Run::kVersion, "version", 0},  {Run::kSmartHealth, "2", 2},
    {Run::kTemperature, "197", 197}, {Run::kSmartAttributes, "202", 202},
    {Run::kDriveInfo, "203", 203},
};

const FieldInfo* FindField(const std::string& name) {
  for (const FieldInfo& field : kDriveFields) {
    if (name == field.name) return &field;
  }
  return nullptr;
}

bool ParseFault(const rapidjson::Value& value, Fault& fault, std::string& error) {
  if (!value.IsObject()) {
    error = "a fault must be an object";
    return false;
  }
  fault = Fault();
  bool statusGiven = false;
  for (auto member = value.MemberBegin(); member != value.MemberEnd(); ++member) {
    const std::string name = member->name.GetString();
    const rapidjson::Value& v = member->value;
    if (name == "kind") {
      if (!v.IsString() || !ParseFaultKind(v.GetString(), fault.kind)) {
        error = "unknown fault kind";
        return false;
      }
    } else if (name == "page") {
      const std::string page = v.IsString() ? v.GetString()
                               : v.IsInt()  ? std::to_string(v.GetInt())
                                            : std::string();
      if (!ParseRun(page, fault.page)) {
        error = "unknown fault page";
        return false;
      }
    } else if (name == "status") {
      if (!v.IsInt()) {
        error = "a fault's status must be an integer";
        return false;
      }
      fault.status = v.GetInt();
      statusGiven = true;
    } else if (name == "path") {
      if (!v.IsString()) {
        error = "a fault's path must be a text";
        return false;
      }
      fault.path = v.GetString();
    } else if (name == "child") {
      if (!v.IsBool()) {
        error = "a fault's child must be true or false";
        return false;
      }
      fault.child = v.GetBool();
    } else if (name == "pidfile") {
      if (!v.IsString()) {
        error = "a fault's pidfile must be a text";
        return false;
      }
      fault.pidfile = v.GetString();
    } else {
      error = "unknown fault member \"" + name + "\"";
      return false;
    }
  }
  if (fault.kind == FaultKind::kFile) {
    if (fault.path.empty()) {
      error = "a file fault needs a path";
      return false;
    }
    if (!statusGiven) fault.status = 0;
  }
  return true;
}

bool ParseDrive(const rapidjson::Value& value, size_t position, Drive& drive,
                std::string& error) {
  if (!value.IsObject()) {
    error = "a drive must be an object";
    return false;
  }
  drive = Drive();
  drive.index = static_cast<int64_t>(position);
  for (auto member = value.MemberBegin(); member != value.MemberEnd(); ++member) {
    const std::string name = member->name.GetString();
    const rapidjson::Value& v = member->value;
    if (name == "fault") {
      if (!ParseFault(v, drive.fault, error)) return false;
      continue;
    }
    const FieldInfo* field = FindField(name);
    if (field == nullptr) {
      error = "unknown drive field \"" + name + "\"";
      return false;
    }
    bool ok = false;
    switch (field->kind) {
      case FieldKind::kText:
        ok = v.IsString();
        if (ok) drive.*std::get<std::string Drive::*>(field->member) = v.GetString();
        break;
      case FieldKind::kFlag:
        ok = v.IsBool();
        if (ok) drive.*std::get<bool Drive::*>(field->member) = v.GetBool();
        break;
      case FieldKind::kInt:
        ok = v.IsInt64();
        if (ok) drive.*std::get<int64_t Drive::*>(field->member) = v.GetInt64();
        break;
      case FieldKind::kUInt:
      case FieldKind::kHex:
        ok = v.IsUint64();
        if (ok) drive.*std::get<uint64_t Drive::*>(field->member) = v.GetUint64();
        break;
    }
    if (!ok) {
      error = "drive field \"" + name + "\" has the wrong type";
      return false;
    }
  }
  if (drive.serial.empty()) {
    error = "a drive needs a serial";
    return false;
  }
  return true;
}

void WriteFault(rapidjson::PrettyWriter<rapidjson::StringBuffer>& out, const Fault& fault) {
  out.StartObject();
  out.Key("kind");
  out.String(FaultKindName(fault.kind));
  if (fault.page != Run::kAll) {
    out.Key("page");
    bool written = false;
    for (const RunName_& run : kRuns) {
      if (run.run == fault.page && run.page != 0) {
        out.Int(run.page);
        written = true;
      }
    }
    if (!written) out.String(RunName(fault.page));
  }
  if (fault.kind == FaultKind::kExit || fault.kind == FaultKind::kFile) {
    out.Key("status");
    out.Int(fault.status);
  }
  if (fault.kind == FaultKind::kFile) {
    out.Key("path");
    out.String(fault.path.c_str(), static_cast<rapidjson::SizeType>(fault.path.size()));
  }
  if (fault.kind == FaultKind::kHang && fault.child) {
    out.Key("child");
    out.Bool(true);
  }
  if (fault.kind == FaultKind::kHang && !fault.pidfile.empty()) {
    out.Key("pidfile");
    out.String(fault.pidfile.c_str(), static_cast<rapidjson::SizeType>(fault.pidfile.size()));
  }
  out.EndObject();
}

}  // namespace

Drive* State::FindBySerial(const std::string& serial) {
  for (Drive& drive : drives) {
    if (drive.serial == serial) return &drive;
  }
  return nullptr;
}

const Drive* State::FindByIndex(int64_t index) const {
  for (const Drive& drive : drives) {
    if (drive.index == index) return &drive;
  }
  return nullptr;
}

bool ParseFaultKind(const std::string& text, FaultKind& kind) {
  for (const FaultKindName_& row : kFaultKinds) {
    if (text == row.name) {
      kind = row.kind;
      return true;
    }
  }
  return false;
}

bool ParseRun(const std::string& text, Run& run) {
  for (const RunName_& row : kRuns) {
    if (text == row.name) {
      run = row.run;
      return true;
    }
  }
  return false;
}

const char* FaultKindName(FaultKind kind) {
  for (const FaultKindName_& row : kFaultKinds) {
    if (row.kind == kind) return row.name;
  }
  return "none";
}

const char* RunName(Run run) {
  for (const RunName_& row : kRuns) {
    if (row.run == run) return row.name;
  }
  return "all";
}

std::string ProgramPath() {
#ifdef _WIN32
  // The C runtime keeps the program's full path in the ANSI code page: kept as text, since
  // std::filesystem would read it as UTF-8.
  return _pgmptr != nullptr ? _pgmptr : "";
#else
  // readlink alone: std::filesystem::read_symlink stats the link first, on every run.
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self);
  return n > 0 && static_cast<size_t>(n) < sizeof self ? std::string(self, n) : "";
#endif
}

std::string BesideProgram(const std::string& name) {
  const std::string self = ProgramPath();
  const size_t slash = self.find_last_of("\\/");
  return (slash == std::string::npos ? std::string() : self.substr(0, slash + 1)) + name;
}

std::string DefaultStatePath() {
  const char* env = std::getenv("ISDCT_STATE");
  if (env != nullptr && *env != '\0') return env;
  return BesideProgram("drives.json");
}

bool ParseState(const std::string& text, State& state, std::string& error) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
  if (document.HasParseError()) {
    error = std::string("not valid JSON: ") +
            rapidjson::GetParseError_En(document.GetParseError()) + " at offset " +
            std::to_string(document.GetErrorOffset());
    return false;
  }
  if (!document.IsObject()) {
    error = "the state must be a JSON object";
    return false;
  }
  state = State();
  for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
    const std::string name = member->name.GetString();
    const rapidjson::Value& v = member->value;
    if (name == "version") {
      if (!v.IsString()) {
        error = "\"version\" must be a text";
        return false;
      }
      state.version = v.GetString();
    } else if (name == "fault") {
      if (!ParseFault(v, state.fault, error)) return false;
    } else if (name == "drives") {
      if (!v.IsArray()) {
        error = "\"drives\" must be an array";
        return false;
      }
      for (rapidjson::SizeType i = 0; i < v.Size(); ++i) {
        Drive drive;
        if (!ParseDrive(v[i], i, drive, error)) {
          error = "drive " + std::to_string(i) + ": " + error;
          return false;
        }
        state.drives.push_back(drive);
      }
    } else {
      error = "unknown state member \"" + name + "\"";
      return false;
    }
  }
  std::set<std::string> serials;
  std::set<int64_t> indexes;
  for (const Drive& drive : state.drives) {
    if (!serials.insert(drive.serial).second) {
      error = "serial " + drive.serial + " is used twice";
      return false;
    }
    if (!indexes.insert(drive.index).second) {
      error = "index " + std::to_string(drive.index) + " is used twice";
      return false;
    }
  }
  return true;
}

bool LoadState(const std::string& path, State& state, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!ParseState(text.str(), state, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

std::string FormatState(const State& state) {
  rapidjson::StringBuffer buffer;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> out(buffer);
  out.SetIndent(' ', 2);
  out.StartObject();
  out.Key("version");
  out.String(state.version.data(), static_cast<rapidjson::SizeType>(state.version.size()));
  if (state.fault.Active()) {
    out.Key("fault");
    WriteFault(out, state.fault);
  }
  out.Key("drives");
  out.StartArray();
  for (const Drive& drive : state.drives) {
    out.StartObject();
    for (const FieldInfo& field : kDriveFields) {
      out.Key(field.name);
      switch (field.kind) {
        case FieldKind::kText: {
          const std::string& text = drive.*std::get<std::string Drive::*>(field.member);
          out.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
          break;
        }
        case FieldKind::kFlag:
          out.Bool(drive.*std::get<bool Drive::*>(field.member));
          break;
        case FieldKind::kInt:
          out.Int64(drive.*std::get<int64_t Drive::*>(field.member));
          break;
        case FieldKind::kUInt:
        case FieldKind::kHex:
          out.Uint64(drive.*std::get<uint64_t Drive::*>(field.member));
          break;
      }
    }
    if (drive.fault.Active()) {
      out.Key("fault");
      WriteFault(out, drive.fault);
    }
    out.EndObject();
  }
  out.EndArray();
  out.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

namespace {

// Puts `from` in the place of `to`, replacing it. The paths are narrow strings in the system's
// own encoding (the ANSI code page on Windows), so they go to the system as they are.
bool PutInPlace(const std::string& from, const std::string& to) {
#ifdef _WIN32
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
  return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

}  // namespace

bool SaveState(const std::string& path, const State& state, std::string& error) {
  const std::string temporary = path + ".tmp." + std::to_string(getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << FormatState(state);
    out.flush();
    if (!out) {
      error = "cannot write " + temporary;
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (!PutInPlace(temporary, path)) {
    error = "cannot replace " + path;
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

bool SetField(Drive& drive, const std::string& name, const std::string& value,
              std::string& error) {
  const FieldInfo* field = FindField(name);
  if (field == nullptr) {
    error = "unknown drive field \"" + name + "\"";
    return false;
  }
  const char* begin = value.c_str();
  char* end = nullptr;
  errno = 0;
  switch (field->kind) {
    case FieldKind::kText:
      drive.*std::get<std::string Drive::*>(field->member) = value;
      return true;
    case FieldKind::kFlag:
      if (value == "true" || value == "1") {
        drive.*std::get<bool Drive::*>(field->member) = true;
        return true;
      }
      if (value == "false" || value == "0") {
        drive.*std::get<bool Drive::*>(field->member) = false;
        return true;
      }
      break;
    case FieldKind::kInt: {
      const long long number = std::strtoll(begin, &end, 10);
      if (!value.empty() && *end == '\0' && errno == 0) {
        drive.*std::get<int64_t Drive::*>(field->member) = number;
        return true;
      }
      break;
    }
    case FieldKind::kUInt:
    case FieldKind::kHex: {
      const bool hex = value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
      const unsigned long long number = std::strtoull(begin, &end, hex ? 16 : 10);
      if (!value.empty() && value[0] != '-' && value[0] != '+' && *end == '\0' && errno == 0) {
        drive.*std::get<uint64_t Drive::*>(field->member) = number;
        return true;
      }
      break;
    }
  }
  error = "\"" + value + "\" is no value for " + name;
  return false;
}

}  // namespace isdct
