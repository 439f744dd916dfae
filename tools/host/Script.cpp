#include "Script.h"

#include <cctype>
#include <cstdio>
#include <limits>

#include "Notifier.h"
#include "Options.h"
#include "Output.h"
#include "PluginHost.h"
#include "ShellPlatform.h"
#include "Text.h"

namespace host_shell {

LineReader::Status LineReader::Next(std::string& line) {
  for (;;) {
    if (m_Notifier.Stopped()) return kStopped;
    const size_t end = m_Buffer.find('\n');
    if (m_Skipping) {
      m_Buffer.erase(0, end == std::string::npos ? std::string::npos : end + 1);
      if (end != std::string::npos) m_Skipping = false;
      if (m_Skipping && m_Eof) return kEnd;
      if (!m_Skipping) continue;
    } else if (end != std::string::npos || (m_Eof && !m_Buffer.empty())) {
      const size_t length = end == std::string::npos ? m_Buffer.size() : end;
      if (length > kMaxLine + (length > 0 && m_Buffer[length - 1] == '\r' ? 1 : 0)) {
        m_Buffer.erase(0, end == std::string::npos ? std::string::npos : end + 1);
        return kTooLong;
      }
      line = m_Buffer.substr(0, end);
      m_Buffer.erase(0, end == std::string::npos ? std::string::npos : end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return kLine;
    } else if (m_Buffer.size() > kMaxLine + 1) {
      // No line end within the limit (plus room for a carriage return): the rest is skipped.
      m_Buffer.clear();
      m_Skipping = true;
      return kTooLong;
    }
    if (m_Eof) return kEnd;
    char chunk[4096];
    size_t got = 0;
    const InputRead read = ReadInput(m_Fd, m_StopFd, chunk, sizeof chunk, got);
    if (read == InputRead::kStopped) return kStopped;
    if (read == InputRead::kEnd) m_Eof = true;
    m_Buffer.append(chunk, got);
  }
}

const ScriptSession::CommandRow ScriptSession::kCommands[] = {
    {"create", 0, 0, false, &ScriptSession::Create},
    {"release", 0, 0, false, &ScriptSession::Release},
    {"init", 0, 0, true, &ScriptSession::Init},
    {"set-adapter-ids", 0, 0, true, &ScriptSession::SetAdapterIds},
    {"deinit", 0, 0, true, &ScriptSession::Deinit},
    {"call", 1, 2, true, &ScriptSession::Call},
    {"topology", 0, 0, true, &ScriptSession::Topology},
    {"props", 1, 1, true, &ScriptSession::Props},
    {"get", 2, 2, true, &ScriptSession::Get},
    {"set", 3, -1, true, &ScriptSession::Set},
    {"ops", 1, 1, true, &ScriptSession::Ops},
    {"check", 2, 2, true, &ScriptSession::Check},
    {"exec", 2, 2, true, &ScriptSession::Exec},
    {"wait-notify", 1, 1, false, &ScriptSession::WaitNotify},
    {"sleep", 1, 1, false, &ScriptSession::Sleep},
};

int ScriptSession::Run(int fd, int stopFd) {
  LineReader reader(fd, stopFd, m_Notifier);
  std::string line;
  for (LineReader::Status status; (status = reader.Next(line)) == LineReader::kLine ||
                                  status == LineReader::kTooLong;) {
    if (status == LineReader::kTooLong) {
      // Not echoed: the line may be anything, of any size.
      Answer answer("", m_Options.json);
      answer.Error("line longer than " + std::to_string(LineReader::kMaxLine) +
                   " bytes: skipped, not run");
      m_Failed = true;
      WriteAnswer(answer.Render());
    } else {
      Execute(line);
    }
    if (m_Notifier.Stopped()) break;
  }
  m_Host.Shutdown();
  return m_Failed ? 1 : 0;
}

void ScriptSession::Execute(const std::string& text) {
  Line line;
  line.text = text;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
      continue;
    }
    size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
    line.words.push_back(text.substr(start, i - start));
    line.starts.push_back(start);
  }
  if (line.words.empty() || line.words[0][0] == '#') return;

  Answer answer(line.words[0], m_Options.json);
  const CommandRow* command = nullptr;
  for (const CommandRow& row : kCommands) {
    if (line.words[0] == row.name) command = &row;
  }
  int args = static_cast<int>(line.words.size()) - 1;
  if (command == nullptr) {
    answer.Error("unknown command \"" + line.words[0] + "\" (see --help)");
  } else if (args < command->minArgs || (command->maxArgs >= 0 && args > command->maxArgs)) {
    answer.Error("wrong number of arguments for " + line.words[0] + " (see --help)");
  } else if (command->needsPlugin && !m_Host.Created()) {
    answer.Error("no plug-in object: run create first");
  } else {
    (this->*command->run)(line, answer);
  }
  if (answer.Failed()) m_Failed = true;
  WriteAnswer(answer.Render());
}

bool ScriptSession::Object(const std::string& word, uint64_t& id, Answer& answer) {
  std::string error;
  if (!m_Host.Resolve(word, id, error)) {
    answer.Error(error);
    return false;
  }
  answer.Id("object", id);
  return true;
}

bool ScriptSession::RealMs(const std::string& word, double& ms, Answer& answer) {
  double seconds = 0;
  if (!ParseDouble(word, seconds) || seconds < 0) {
    answer.Error("bad number of seconds \"" + word + "\"");
    return false;
  }
  ms = seconds * 1000.0 / m_Options.timeScale;
  return true;
}

void ScriptSession::Remember(const std::vector<PI::CObject>& objects) {
  for (const PI::CObject& object : objects) m_Names[object.m_ID] = ObjectName(object);
}

std::string ScriptSession::Label(uint64_t id) const {
  if (id == PI::TYPE_SYSTEM) return "system";
  auto found = m_Names.find(id);
  return found != m_Names.end() ? found->second : std::to_string(id);
}

void ScriptSession::Create(const Line&, Answer& answer) {
  if (m_Host.Created()) {
    answer.Error("a plug-in object exists already: release it first");
    return;
  }
  answer.Result(m_Host.Create());
  if (m_Host.Created()) {
    answer.Field("interfaceWord", static_cast<int64_t>(m_Host.Plugin()->m_InterfaceWord));
    answer.Field("moduleWord", static_cast<int64_t>(m_Host.Plugin()->m_ModuleWord));
  }
}

void ScriptSession::Release(const Line&, Answer& answer) {
  m_Host.Release();
  m_AdapterIds.clear();
  answer.Result(PI::ERR_SUCCESS);
}

void ScriptSession::Init(const Line&, Answer& answer) {
  m_AdapterIds.clear();
  answer.Result(m_Host.Request(REQ_INITIALIZE, 0, &m_AdapterIds));
  answer.AdapterIds(m_AdapterIds);
}

void ScriptSession::SetAdapterIds(const Line&, Answer& answer) {
  // The host numbers the adapters 0, 1, 2 ... in the order Initialize reported them.
  std::vector<PI::CAdapterID> ids = m_AdapterIds;
  for (size_t i = 0; i < ids.size(); ++i) ids[i].SetAdapterNumber(static_cast<int32_t>(i));
  answer.Result(m_Host.Request(REQ_SET_ADAPTER_IDS, 0, &ids));
  answer.AdapterIds(ids);
}

void ScriptSession::Deinit(const Line&, Answer& answer) {
  answer.Result(m_Host.Request(REQ_DEINITIALIZE, 0, nullptr));
}

void ScriptSession::Call(const Line& line, Answer& answer) {
  int32_t code = 0;
  if (!ParseInt32(line.words[1], code)) {
    answer.Error("bad function code \"" + line.words[1] + "\"");
    return;
  }
  uint64_t id = 0;
  if (line.words.size() > 2 && !Object(line.words[2], id, answer)) return;
  answer.Field("code", static_cast<int64_t>(code));
  NameOf names = [this](uint64_t object) { return Label(object); };
  switch (code) {
    case REQ_INITIALIZE:
    case REQ_SET_ADAPTER_IDS: {
      std::vector<PI::CAdapterID> ids;
      answer.Result(m_Host.Request(code, id, &ids));
      answer.AdapterIds(ids);
      return;
    }
    case REQ_GET_TOPOLOGY: {
      std::vector<PI::CObject> objects;
      answer.Result(m_Host.Request(code, id, &objects));
      Remember(objects);
      answer.Objects(objects);
      return;
    }
    case REQ_GET_PROPERTIES: {
      std::vector<PI::CProperty> properties;
      answer.Result(m_Host.Request(code, id, &properties));
      answer.Properties(properties);
      return;
    }
    case REQ_GET_PROPERTY:
    case REQ_SET_PROPERTY: {
      PI::CProperty property;
      answer.Result(m_Host.Request(code, id, &property));
      answer.Properties({property});
      return;
    }
    case REQ_GET_OPERATIONS: {
      std::vector<PI::COperation> operations;
      answer.Result(m_Host.Request(code, id, &operations));
      answer.Operations(operations);
      return;
    }
    case REQ_CHECK_OPERATION:
    case REQ_EXECUTE_OPERATION: {
      PI::COperation operation;
      answer.Result(m_Host.Request(code, id, &operation));
      answer.Events(operation.GetEvents(), names);
      return;
    }
    default:
      // DeInitialize and codes out of range take no argument.
      answer.Result(m_Host.Request(code, id, nullptr));
      return;
  }
}

void ScriptSession::Topology(const Line&, Answer& answer) {
  std::vector<PI::CObject> objects;
  answer.Result(m_Host.Topology(objects));
  Remember(objects);
  answer.Objects(objects);
}

void ScriptSession::Props(const Line& line, Answer& answer) {
  uint64_t id = 0;
  if (!Object(line.words[1], id, answer)) return;
  std::vector<PI::CProperty> properties;
  answer.Result(m_Host.Request(REQ_GET_PROPERTIES, id, &properties));
  answer.Properties(properties);
}

namespace {

// A property or operation ID: a whole number that fits 32 bits; otherwise the answer says so.
bool Id32(const std::string& word, const char* what, uint32_t& id, Answer& answer) {
  uint64_t value = 0;
  if (!ParseUInt64(word, value) || value > std::numeric_limits<uint32_t>::max()) {
    answer.Error(std::string("bad ") + what + " ID \"" + word + "\"");
    return false;
  }
  id = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

bool ScriptSession::PropertyId(const std::string& word, uint64_t object, uint32_t& id,
                               Answer& answer) {
  // Names start with a letter; anything else is read as an ID (decimal or 0x...).
  if (word.empty() || !std::isalpha(static_cast<unsigned char>(word[0])))
    return Id32(word, "property", id, answer);
  std::vector<uint32_t> named = PropertyIdsNamed(word);
  if (named.empty()) {
    answer.Error("no property named \"" + word + "\" (see the names in props)");
    return false;
  }
  // Of several IDs with one name, the one the object shows.
  id = named.front();
  std::vector<PI::CProperty> properties;
  if (named.size() > 1 &&
      m_Host.Request(REQ_GET_PROPERTIES, object, &properties) == PI::ERR_SUCCESS) {
    for (const PI::CProperty& property : properties) {
      for (uint32_t candidate : named) {
        if (property.m_ID == candidate) {
          id = candidate;
          return true;
        }
      }
    }
  }
  return true;
}

void ScriptSession::Get(const Line& line, Answer& answer) {
  uint64_t id = 0;
  uint32_t prop = 0;
  if (!Object(line.words[1], id, answer)) return;
  if (!PropertyId(line.words[2], id, prop, answer)) return;
  PI::CProperty property(static_cast<PI::_PROPERTY_ID>(prop), false);
  uint32_t result = m_Host.Request(REQ_GET_PROPERTY, id, &property);
  answer.Result(result);
  answer.Properties(result == PI::ERR_SUCCESS ? std::vector<PI::CProperty>{property}
                                              : std::vector<PI::CProperty>{});
}

namespace {

// Gives `property` the value `text` in the property's own kind; false when the text does not
// fit that kind.
bool ApplyValue(PI::CProperty& property, const std::string& text) {
  int32_t number = 0;
  switch (property.m_ValueType) {
    case PI::CProperty::VALUE_BOUNDED:
      if (!ParseInt32(text, number)) return false;
      property.SetValue(number, property.m_Min, property.m_Max, property.m_Step);
      return true;
    case PI::CProperty::VALUE_ENUMERATION: {
      if (!ParseInt32(text, number)) return false;
      std::vector<int32_t> allowed = property.m_Allowed;
      property.SetValue(number, allowed);
      return true;
    }
    case PI::CProperty::VALUE_LIST: {
      std::vector<int32_t> values;
      size_t start = 0;
      while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma - start);
        if (!ParseInt32(item, number)) return false;
        values.push_back(number);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      std::vector<int32_t> allowed = property.m_Allowed;
      property.SetValue(values, allowed);
      return true;
    }
    case PI::CProperty::VALUE_UINT64: {
      uint64_t value = 0;
      if (!ParseUInt64(text, value)) return false;
      property.SetValue(value);
      return true;
    }
    case PI::CProperty::VALUE_FLOAT: {
      double value = 0;
      if (!ParseDouble(text, value)) return false;
      property.SetValue(static_cast<float>(value));
      return true;
    }
    case PI::CProperty::VALUE_TEXT:
    case PI::CProperty::VALUE_NONE:
      property.SetValue(text);
      return true;
  }
  return false;
}

}  // namespace

void ScriptSession::Set(const Line& line, Answer& answer) {
  uint64_t id = 0;
  uint32_t prop = 0;
  // The value is the rest of the line, so a text may hold blanks.
  std::string value = line.text.substr(line.starts[3]);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
  if (!Object(line.words[1], id, answer)) return;
  if (!PropertyId(line.words[2], id, prop, answer)) return;

  // As the host does: start from the object's current property, bounds included.
  PI::CProperty property(static_cast<PI::_PROPERTY_ID>(prop), false);
  uint32_t result = m_Host.Request(REQ_GET_PROPERTY, id, &property);
  if (result != PI::ERR_SUCCESS) {
    answer.Result(result);
    answer.Field("error", "cannot read the current property " + std::to_string(prop));
    return;
  }
  if (!ApplyValue(property, value)) {
    answer.Error("\"" + value + "\" is not a value of this property's kind");
    return;
  }
  answer.Result(m_Host.Request(REQ_SET_PROPERTY, id, &property));
  // The value the plug-in applied, which may differ from the one asked for (it clamps some).
  PI::CProperty applied(static_cast<PI::_PROPERTY_ID>(prop), false);
  if (m_Host.Request(REQ_GET_PROPERTY, id, &applied) == PI::ERR_SUCCESS) property = applied;
  answer.Properties({property});
}

PI::COperation ScriptSession::Operation(uint64_t id, uint32_t op) {
  std::vector<PI::COperation> operations;
  if (m_Host.Request(REQ_GET_OPERATIONS, id, &operations) == PI::ERR_SUCCESS) {
    for (const PI::COperation& operation : operations) {
      if (operation.m_ID == op) return operation;
    }
  }
  PI::COperation bare;
  bare.m_ID = op;
  bare.m_ID2 = op;
  return bare;
}

void ScriptSession::Ops(const Line& line, Answer& answer) {
  uint64_t id = 0;
  if (!Object(line.words[1], id, answer)) return;
  std::vector<PI::COperation> operations;
  answer.Result(m_Host.Request(REQ_GET_OPERATIONS, id, &operations));
  answer.Operations(operations);
}

void ScriptSession::Check(const Line& line, Answer& answer) {
  uint64_t id = 0;
  uint32_t op = 0;
  if (!Id32(line.words[2], "operation", op, answer)) return;
  if (!Object(line.words[1], id, answer)) return;
  PI::COperation operation = Operation(id, static_cast<uint32_t>(op));
  answer.Result(m_Host.Request(REQ_CHECK_OPERATION, id, &operation));
}

void ScriptSession::Exec(const Line& line, Answer& answer) {
  uint64_t id = 0;
  uint32_t op = 0;
  if (!Id32(line.words[2], "operation", op, answer)) return;
  if (!Object(line.words[1], id, answer)) return;
  PI::COperation operation = Operation(id, static_cast<uint32_t>(op));
  answer.Result(m_Host.Request(REQ_EXECUTE_OPERATION, id, &operation));
  // Events name their objects and serials: read the topology once more when an event is about
  // an object the script has not seen yet.
  for (const PI::CEvent& event : operation.GetEvents()) {
    if (event.m_ObjectID == PI::TYPE_SYSTEM || m_Names.count(event.m_ObjectID) != 0) continue;
    std::vector<PI::CObject> objects;
    if (m_Host.Topology(objects) == PI::ERR_SUCCESS) Remember(objects);
    break;
  }
  answer.Events(operation.GetEvents(), [this](uint64_t object) { return Label(object); });
}

void ScriptSession::WaitNotify(const Line& line, Answer& answer) {
  double ms = 0;
  if (!RealMs(line.words[1], ms, answer)) return;
  uint64_t taken = 0;
  Notifier::Outcome outcome = m_Notifier.Wait(ms, &taken);
  answer.Result(PI::ERR_SUCCESS);
  answer.Field("notified", outcome == Notifier::kNotified);
  answer.FieldUnsigned("count", outcome == Notifier::kNotified ? taken : 0);
  if (outcome == Notifier::kStopped) answer.Field("stopped", true);
}

void ScriptSession::Sleep(const Line& line, Answer& answer) {
  double ms = 0;
  if (!RealMs(line.words[1], ms, answer)) return;
  bool completed = m_Notifier.Sleep(ms);
  answer.Result(PI::ERR_SUCCESS);
  if (!completed) answer.Field("stopped", true);
}

}  // namespace host_shell
