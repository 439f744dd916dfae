// One answer of the shell: a command, its result and what it returned, built once and rendered
// either as one JSON line or as readable text. Object identifiers are 64-bit and written as
// decimal strings, which jq and JavaScript keep exact; property, operation and event codes fit 32
// bits and stay numbers, as do counters. A value with a unit also carries its base-unit value.
// An Answer is a plain value used by one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "PI.h"

namespace host_shell {

// Gives the readable name of an object identifier ("adapter:SERIAL").
using NameOf = std::function<std::string(uint64_t)>;

class Answer {
 public:
  Answer(const std::string& cmd, bool json);

  // The error code of the answer (-1 for the shell's own errors).
  void Result(int64_t code);
  // A shell error: result -1 and the message.
  void Error(const std::string& message);
  // Extra fields.
  void Field(const char* key, int64_t value);
  void FieldUnsigned(const char* key, uint64_t value);
  void Field(const char* key, const std::string& value);
  // A literal text stays a text (it would otherwise convert to bool).
  void Field(const char* key, const char* value) { Field(key, std::string(value)); }
  void Field(const char* key, bool value);
  // An object identifier (a string in JSON).
  void Id(const char* key, uint64_t id);

  void AdapterIds(const std::vector<PI::CAdapterID>& ids);
  void Objects(const std::vector<PI::CObject>& objects);
  void Properties(const std::vector<PI::CProperty>& properties, const char* key = "properties");
  void Operations(const std::vector<PI::COperation>& operations);
  void Events(const std::vector<PI::CEvent>& events, const NameOf& nameOf);

  // True when the result is not 0 (a request that failed, or the shell's own error).
  bool Failed() const { return m_Code != PI::ERR_SUCCESS; }

  // One JSON line, or the readable lines; ends with a newline.
  std::string Render() const;

 private:
  rapidjson::Value PropertyJson(const PI::CProperty& property);
  rapidjson::Value OperationJson(const PI::COperation& operation);
  rapidjson::Value EventJson(const PI::CEvent& event, const NameOf& nameOf);
  void AddMember(const char* key, rapidjson::Value& value);

  bool m_Json;
  int64_t m_Code = 0;
  rapidjson::Document m_Doc;
  std::string m_Cmd;                 // readable head: "cmd: result (words)  key=value ..."
  std::string m_ResultText;
  std::string m_FieldText;
  std::vector<std::string> m_Lines;  // readable detail lines
};

// The readable line of one property: "30017 Status = OK (40024) ...".
std::string PropertyLine(const PI::CProperty& property);

}  // namespace host_shell
