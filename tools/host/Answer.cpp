#include "Answer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "PluginHost.h"
#include "Text.h"

namespace host_shell {

namespace {

const char* KindWord(const PI::CProperty& property) {
  switch (property.m_ValueType) {
    case PI::CProperty::VALUE_TEXT:
      return "text";
    case PI::CProperty::VALUE_UINT64:
      return "number";
    case PI::CProperty::VALUE_FLOAT:
      return property.m_Kind == PI::KIND_SIZE ? "size" : "number";
    case PI::CProperty::VALUE_BOUNDED:
      return "bounded";
    case PI::CProperty::VALUE_ENUMERATION:
      return "enumeration";
    case PI::CProperty::VALUE_LIST:
      return "list";
    case PI::CProperty::VALUE_NONE:
      break;
  }
  return "none";
}

// An object identifier as JSON: a decimal string.
rapidjson::Value IdJson(uint64_t id, rapidjson::Document::AllocatorType& allocator) {
  return rapidjson::Value(std::to_string(id).c_str(), allocator);
}

// A number as JSON: an exact integer when it is whole and fits, else a double.
rapidjson::Value NumberJson(double value) {
  if (value == std::floor(value) && std::fabs(value) < 9007199254740992.0)
    return rapidjson::Value(static_cast<int64_t>(value));
  return rapidjson::Value(value);
}

std::string Hex(uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
  return buffer;
}

std::string IdList(const std::vector<uint64_t>& ids) {
  std::string text = "[";
  for (size_t i = 0; i < ids.size(); ++i) text += (i > 0 ? " " : "") + std::to_string(ids[i]);
  return text + "]";
}

std::string IntList(const std::vector<int32_t>& values) {
  std::string text;
  for (size_t i = 0; i < values.size(); ++i) text += (i > 0 ? " " : "") + std::to_string(values[i]);
  return text;
}

}  // namespace

std::string PropertyLine(const PI::CProperty& property) {
  std::string line = std::to_string(property.m_ID);
  std::string name = PropertyName(property.m_ID);
  if (!name.empty()) line += " " + name;
  line += " = " + ValueText(property);
  if (property.m_ValueType == PI::CProperty::VALUE_ENUMERATION)
    line += " (" + std::to_string(property.m_Int) + ")";
  if (property.m_ValueType == PI::CProperty::VALUE_LIST)
    line += " (" + IntList(property.m_Values) + ")";
  line += "  [";
  line += KindWord(property);
  if (property.m_ValueType == PI::CProperty::VALUE_BOUNDED) {
    line += " " + std::to_string(property.m_Min) + ".." + std::to_string(property.m_Max) +
            " step " + std::to_string(property.m_Step);
  }
  if (property.m_ValueType == PI::CProperty::VALUE_ENUMERATION ||
      property.m_ValueType == PI::CProperty::VALUE_LIST) {
    line += " of " + IntList(property.m_Allowed);
  }
  if (property.m_StateCode != 0) line += ", state " + std::to_string(property.m_StateCode);
  if (property.m_Settable) line += ", settable";
  return line + "]";
}

Answer::Answer(const std::string& cmd, bool json) : m_Json(json), m_Cmd(cmd) {
  m_Doc.SetObject();
  rapidjson::Value value(cmd.c_str(), m_Doc.GetAllocator());
  AddMember("cmd", value);
}

void Answer::AddMember(const char* key, rapidjson::Value& value) {
  rapidjson::Value name(key, m_Doc.GetAllocator());
  if (m_Doc.HasMember(key)) {
    m_Doc[key] = value;
  } else {
    m_Doc.AddMember(name, value, m_Doc.GetAllocator());
  }
}

void Answer::Result(int64_t code) {
  m_Code = code;
  rapidjson::Value value(code);
  AddMember("result", value);
  m_ResultText = " " + std::to_string(code) + " (" + ErrorText(code) + ")";
}

void Answer::Error(const std::string& message) {
  Result(-1);
  rapidjson::Value value(message.c_str(), m_Doc.GetAllocator());
  AddMember("error", value);
  m_Lines.push_back("  " + message);
}

void Answer::Field(const char* key, int64_t value) {
  rapidjson::Value json(value);
  AddMember(key, json);
  m_FieldText += std::string("  ") + key + "=" + std::to_string(value);
}

void Answer::FieldUnsigned(const char* key, uint64_t value) {
  rapidjson::Value json(value);
  AddMember(key, json);
  m_FieldText += std::string("  ") + key + "=" + std::to_string(value);
}

void Answer::Field(const char* key, const std::string& value) {
  rapidjson::Value json(value.c_str(), m_Doc.GetAllocator());
  AddMember(key, json);
  m_FieldText += std::string("  ") + key + "=" + value;
}

void Answer::Field(const char* key, bool value) {
  rapidjson::Value json(value);
  AddMember(key, json);
  m_FieldText += std::string("  ") + key + "=" + (value ? "yes" : "no");
}

void Answer::Id(const char* key, uint64_t id) {
  rapidjson::Value json = IdJson(id, m_Doc.GetAllocator());
  AddMember(key, json);
  m_FieldText += std::string("  ") + key + "=" + std::to_string(id);
}

void Answer::AdapterIds(const std::vector<PI::CAdapterID>& ids) {
  auto& allocator = m_Doc.GetAllocator();
  rapidjson::Value list(rapidjson::kArrayType);
  for (const PI::CAdapterID& id : ids) {
    rapidjson::Value entry(rapidjson::kObjectType);
    entry.AddMember("segment", id.GetSegment(), allocator);
    entry.AddMember("bus", id.GetBus(), allocator);
    entry.AddMember("device", id.GetDevice(), allocator);
    entry.AddMember("function", id.GetFunction(), allocator);
    entry.AddMember("adapterNumber", id.GetAdapterNumber(), allocator);
    list.PushBack(entry, allocator);
    char location[64];
    std::snprintf(location, sizeof location, "%04x:%02x:%02x.%x", id.GetSegment(), id.GetBus(),
                  id.GetDevice(), id.GetFunction());
    m_Lines.push_back(std::string("  adapter ") + location + "  number " +
                      std::to_string(id.GetAdapterNumber()));
  }
  AddMember("adapterIds", list);
}

rapidjson::Value Answer::PropertyJson(const PI::CProperty& property) {
  auto& allocator = m_Doc.GetAllocator();
  rapidjson::Value entry(rapidjson::kObjectType);
  entry.AddMember("id", property.m_ID, allocator);
  std::string name = PropertyName(property.m_ID);
  if (!name.empty()) entry.AddMember("name", rapidjson::Value(name.c_str(), allocator), allocator);
  rapidjson::Value value;
  switch (property.m_ValueType) {
    case PI::CProperty::VALUE_NONE:
      break;
    case PI::CProperty::VALUE_TEXT:
      value.SetString(property.m_Text.c_str(), allocator);
      break;
    case PI::CProperty::VALUE_UINT64:
      value.SetUint64(property.m_UInt64);
      break;
    case PI::CProperty::VALUE_FLOAT: {
      double number = 0;
      if (std::isfinite(property.m_Float) && PropertyNumber(property, number))
        value.SetDouble(number);
      break;
    }
    case PI::CProperty::VALUE_BOUNDED:
    case PI::CProperty::VALUE_ENUMERATION:
      value.SetInt(property.m_Int);
      break;
    case PI::CProperty::VALUE_LIST:
      value.SetArray();
      for (int32_t v : property.m_Values) value.PushBack(v, allocator);
      break;
  }
  entry.AddMember("value", value, allocator);
  entry.AddMember("kind", rapidjson::StringRef(KindWord(property)), allocator);
  entry.AddMember("kindCode", property.m_Kind, allocator);
  entry.AddMember("units", property.m_Units, allocator);
  entry.AddMember("unitName", rapidjson::Value(PI::UnitName(property.m_Units).c_str(), allocator),
                  allocator);
  BaseValue base{};
  if (ToBaseUnit(property, base))
    entry.AddMember(rapidjson::StringRef(base.field), NumberJson(base.value), allocator);
  entry.AddMember("display", property.m_DisplayCode, allocator);
  entry.AddMember("state", property.m_StateCode, allocator);
  entry.AddMember("settable", property.m_Settable, allocator);
  entry.AddMember("nls", property.m_NlsID, allocator);
  entry.AddMember("subtype", property.m_SubType, allocator);
  entry.AddMember("position", property.m_Position, allocator);
  entry.AddMember("flag", property.m_Flag, allocator);
  if (property.m_ValueType == PI::CProperty::VALUE_BOUNDED) {
    entry.AddMember("min", property.m_Min, allocator);
    entry.AddMember("max", property.m_Max, allocator);
    entry.AddMember("step", property.m_Step, allocator);
  }
  if (property.m_ValueType == PI::CProperty::VALUE_ENUMERATION ||
      property.m_ValueType == PI::CProperty::VALUE_LIST) {
    rapidjson::Value allowed(rapidjson::kArrayType);
    for (int32_t v : property.m_Allowed) allowed.PushBack(v, allocator);
    entry.AddMember("allowed", allowed, allocator);
  }
  entry.AddMember("text", rapidjson::Value(ValueText(property).c_str(), allocator), allocator);
  return entry;
}

void Answer::Properties(const std::vector<PI::CProperty>& properties, const char* key) {
  rapidjson::Value list(rapidjson::kArrayType);
  for (const PI::CProperty& property : properties) {
    list.PushBack(PropertyJson(property), m_Doc.GetAllocator());
    m_Lines.push_back("  " + PropertyLine(property));
  }
  AddMember(key, list);
}

rapidjson::Value Answer::OperationJson(const PI::COperation& operation) {
  auto& allocator = m_Doc.GetAllocator();
  rapidjson::Value entry(rapidjson::kObjectType);
  entry.AddMember("id", operation.m_ID, allocator);
  rapidjson::Value words(rapidjson::kArrayType);
  for (uint32_t word : operation.m_Words) words.PushBack(word, allocator);
  entry.AddMember("words", words, allocator);
  return entry;
}

void Answer::Operations(const std::vector<PI::COperation>& operations) {
  rapidjson::Value list(rapidjson::kArrayType);
  for (const PI::COperation& operation : operations) {
    list.PushBack(OperationJson(operation), m_Doc.GetAllocator());
    m_Lines.push_back("  operation " + std::to_string(operation.m_ID));
  }
  AddMember("operations", list);
}

void Answer::Objects(const std::vector<PI::CObject>& objects) {
  auto& allocator = m_Doc.GetAllocator();
  rapidjson::Value list(rapidjson::kArrayType);
  for (const PI::CObject& object : objects) {
    rapidjson::Value entry(rapidjson::kObjectType);
    entry.AddMember("id", IdJson(object.m_ID, allocator), allocator);
    entry.AddMember("name", rapidjson::Value(ObjectName(object).c_str(), allocator), allocator);
    entry.AddMember("type", object.m_Type, allocator);
    rapidjson::Value parents(rapidjson::kArrayType);
    for (uint64_t id : object.m_Parents) parents.PushBack(IdJson(id, allocator), allocator);
    entry.AddMember("parents", parents, allocator);
    rapidjson::Value children(rapidjson::kArrayType);
    for (uint64_t id : object.m_Children) children.PushBack(IdJson(id, allocator), allocator);
    entry.AddMember("children", children, allocator);
    entry.AddMember("changeCount", object.m_ChangeCount, allocator);
    entry.AddMember("mark", object.m_Mark, allocator);
    rapidjson::Value properties(rapidjson::kArrayType);
    for (const PI::CProperty& property : object.m_Properties)
      properties.PushBack(PropertyJson(property), allocator);
    entry.AddMember("properties", properties, allocator);
    rapidjson::Value operations(rapidjson::kArrayType);
    for (const PI::COperation& operation : object.m_Operations)
      operations.PushBack(OperationJson(operation), allocator);
    entry.AddMember("operations", operations, allocator);
    list.PushBack(entry, allocator);

    m_Lines.push_back("  " + ObjectName(object) + "  id " + std::to_string(object.m_ID) + " (" +
                      Hex(object.m_ID) + ")  type " + std::to_string(object.m_Type) +
                      "  changes " + std::to_string(object.m_ChangeCount) + "  parents " +
                      IdList(object.m_Parents) + "  children " + IdList(object.m_Children));
    for (const PI::CProperty& property : object.m_Properties)
      m_Lines.push_back("    " + PropertyLine(property));
    for (const PI::COperation& operation : object.m_Operations)
      m_Lines.push_back("    operation " + std::to_string(operation.m_ID));
  }
  AddMember("objects", list);
}

rapidjson::Value Answer::EventJson(const PI::CEvent& event, const NameOf& nameOf) {
  auto& allocator = m_Doc.GetAllocator();
  rapidjson::Value entry(rapidjson::kObjectType);
  const std::string name = nameOf(event.m_ObjectID);
  entry.AddMember("object", IdJson(event.m_ObjectID, allocator), allocator);
  entry.AddMember("objectName", rapidjson::Value(name.c_str(), allocator), allocator);
  entry.AddMember("serial", rapidjson::Value(EventSerial(event, name).c_str(), allocator),
                  allocator);
  entry.AddMember("code", event.m_Code, allocator);
  entry.AddMember("severity", event.m_Severity, allocator);
  entry.AddMember("severityName",
                  rapidjson::Value(SeverityText(event.m_Severity).c_str(), allocator), allocator);
  entry.AddMember("time", event.m_Time, allocator);
  entry.AddMember("source", rapidjson::Value(event.m_Source.c_str(), allocator), allocator);
  entry.AddMember("placeholder1", rapidjson::Value(event.m_PlaceHolder1.c_str(), allocator),
                  allocator);
  entry.AddMember("placeholder2", rapidjson::Value(event.m_PlaceHolder2.c_str(), allocator),
                  allocator);
  entry.AddMember("message", rapidjson::Value(EventMessage(event.m_Code).c_str(), allocator),
                  allocator);
  return entry;
}

void Answer::Events(const std::vector<PI::CEvent>& events, const NameOf& nameOf) {
  rapidjson::Value list(rapidjson::kArrayType);
  for (const PI::CEvent& event : events) {
    list.PushBack(EventJson(event, nameOf), m_Doc.GetAllocator());
    m_Lines.push_back("  " + EventLine(event, nameOf(event.m_ObjectID), false));
  }
  AddMember("events", list);
}

std::string Answer::Render() const {
  if (m_Json) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    m_Doc.Accept(writer);
    // The writer escapes control characters but copies bytes as given; invalid UTF-8 can only
    // sit inside strings (everything else is ASCII), so the whole text is made valid at once.
    return ValidUtf8(std::string(buffer.GetString(), buffer.GetSize())) + "\n";
  }
  std::string text = TerminalText(m_Cmd + ":" + m_ResultText + m_FieldText) + "\n";
  for (const std::string& line : m_Lines) text += TerminalText(line) + "\n";
  return text;
}

}  // namespace host_shell
