// The host's plug-in interface library (namespace PI): the value types a plug-in hands to the
// host (objects, properties, operations, events, adapter identifiers), configuration files and
// the helper tables (value texts, units, byte units, lifetime). Values are plain copies; the
// free functions and tables are safe to use from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "HostCodes.h"

namespace PI {

typedef uint32_t _PROPERTY_ID;

struct _PROPERTY_DESCRIPTION {
  uint32_t propertyId;
  uint32_t displayCode;
  uint32_t word3;  // always 1
  uint32_t word4;  // always 1
  int32_t position;
  uint32_t kind;
  uint32_t units;
  uint32_t flag;
};

class CProperty {
 public:
  // Which SetValue overload gave the value.
  enum ValueType { VALUE_NONE, VALUE_TEXT, VALUE_UINT64, VALUE_FLOAT, VALUE_BOUNDED,
                   VALUE_ENUMERATION, VALUE_LIST };

  CProperty() = default;
  CProperty(_PROPERTY_ID id, bool settable) : m_ID(id), m_Settable(settable) {}

  void SetValue(const std::string& text);
  void SetValue(const char* text) { SetValue(std::string(text)); }
  void SetValue(uint64_t value);
  void SetValue(float value);
  void SetValue(int32_t value, int32_t minimum, int32_t maximum, int32_t step);  // bounded
  void SetValue(int32_t value, const std::vector<int32_t>& allowed);            // enumeration
  void SetValue(const std::vector<int32_t>& values, const std::vector<int32_t>& allowed);
  // A bounded integer's four parts; false (outputs untouched) for any other value.
  bool GetValue(int32_t& value, int32_t& minimum, int32_t& maximum, int32_t& step) const;

  void SetNlsID(uint32_t id) { m_NlsID = id; }
  void SetSubType(uint32_t subType) { m_SubType = subType; }
  void SetUnits(uint32_t units) { m_Units = units; }

  bool operator==(const CProperty& other) const;
  bool operator!=(const CProperty& other) const { return !(*this == other); }

  // Fields, set in place by the plug-in.
  _PROPERTY_ID m_ID = 0;
  bool m_Settable = false;
  uint32_t m_NlsID = 0;
  uint32_t m_DisplayCode = 0;
  int32_t m_Position = -1;
  uint32_t m_StateCode = 0;
  uint32_t m_SubType = 0;
  uint32_t m_Units = UNIT_NONE;
  uint32_t m_Kind = 0;
  uint32_t m_Flag = 0;

  // The value, as the last SetValue gave it.
  ValueType m_ValueType = VALUE_NONE;
  std::string m_Text;
  uint64_t m_UInt64 = 0;
  float m_Float = 0.0f;
  int32_t m_Int = 0;  // bounded or enumeration value
  int32_t m_Min = 0;
  int32_t m_Max = 0;
  int32_t m_Step = 0;
  std::vector<int32_t> m_Values;   // value list
  std::vector<int32_t> m_Allowed;  // enumeration and value list
};

struct CEvent {
  void SetSource(const std::string& text) { m_Source = text; }
  void SetPlaceHolder1(const std::string& text) { m_PlaceHolder1 = text; }
  void SetPlaceHolder2(const std::string& text) { m_PlaceHolder2 = text; }
  bool operator==(const CEvent& other) const;

  uint64_t m_ObjectID = 0;
  uint32_t m_Code = 0;
  uint32_t m_Severity = 0;
  uint64_t m_Time = 0;  // milliseconds since 1970
  std::string m_Source;
  std::string m_PlaceHolder1;
  std::string m_PlaceHolder2;
};

// A plug-in's operation description: the ID and eight words.
struct _OPERATION_DESCRIPTION {
  uint32_t operationId;
  uint32_t word1, word2, word3, word4;
  uint8_t flag;
  uint32_t word6, word7, word8;
};

class COperation {
 public:
  COperation() = default;
  explicit COperation(const _OPERATION_DESCRIPTION& description);
  void SetEvents(const std::vector<CEvent>& events) { m_Events = events; }
  const std::vector<CEvent>& GetEvents() const { return m_Events; }
  uint32_t GetID() const { return m_ID; }
  bool operator==(const COperation& other) const;

  uint32_t m_ID = 0;
  uint32_t m_ID2 = 0;
  uint32_t m_Words[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<CEvent> m_Events;
};

class CObject {
 public:
  CObject() = default;
  virtual ~CObject() = default;
  CObject(const CObject&) = default;
  CObject& operator=(const CObject&) = default;
  // Moves that cannot throw, so a growing list of objects moves them instead of copying.
  CObject(CObject&&) noexcept = default;
  CObject& operator=(CObject&&) noexcept = default;
  // Two objects are equal when they are the same host object: same identifier and type code.
  // Parent and child lists, change count, mark, properties and operations are bookkeeping
  // that the host refreshes on its own, so they take no part.
  bool operator==(const CObject& other) const;
  bool operator!=(const CObject& other) const { return !(*this == other); }

  uint64_t GetID() const { return m_ID; }
  void SetID(uint64_t id) { m_ID = id; }
  std::vector<uint64_t>& GetParents() { return m_Parents; }
  std::vector<uint64_t>& GetChildren() { return m_Children; }
  const std::vector<uint64_t>& GetParents() const { return m_Parents; }
  const std::vector<uint64_t>& GetChildren() const { return m_Children; }
  uint64_t GetChangeCount() const { return m_ChangeCount; }
  void SetChangeCount(uint64_t count) { m_ChangeCount = count; }
  void IncrementChangeCount() { ++m_ChangeCount; }

  uint64_t m_ID = 0;
  uint32_t m_Type = 0;
  std::vector<uint64_t> m_Parents;
  std::vector<uint64_t> m_Children;
  uint64_t m_ChangeCount = 0;
  bool m_Mark = false;
  std::vector<CProperty> m_Properties;
  std::vector<COperation> m_Operations;
};

class CAdapterID {
 public:
  CAdapterID() = default;
  // The adapter number starts at -1 (none); the host assigns it.
  CAdapterID(uint32_t segment, uint32_t bus, uint32_t device, uint32_t function,
             int32_t pluginNumber = 0)
      : m_Segment(segment), m_Bus(bus), m_Device(device), m_Function(function),
        m_PluginNumber(pluginNumber) {}
  uint32_t GetSegment() const { return m_Segment; }
  uint32_t GetBus() const { return m_Bus; }
  uint32_t GetDevice() const { return m_Device; }
  uint32_t GetFunction() const { return m_Function; }
  int32_t GetAdapterNumber() const { return m_AdapterNumber; }
  void SetAdapterNumber(int32_t number) { m_AdapterNumber = number; }

  uint32_t m_Segment = 0;
  uint32_t m_Bus = 0;
  uint32_t m_Device = 0;
  uint32_t m_Function = 0;
  int32_t m_PluginNumber = 0;  // the plug-in's own number for the adapter
  int32_t m_AdapterNumber = -1;
};

class CGlobalAdapterID {
 public:
  explicit CGlobalAdapterID(const std::string& hostName) : m_HostName(hostName) {}
  void SetSegment(uint32_t v) { m_Segment = v; }
  void SetBus(uint32_t v) { m_Bus = v; }
  void SetDevice(uint32_t v) { m_Device = v; }
  void SetFunction(uint32_t v) { m_Function = v; }
  // Derives the number from the PCI location: unique on one host for every location.
  void GenerateUniqueAdapterNumber();
  int32_t GetGlobalAdapterNumber() const { return m_Number; }

 private:
  std::string m_HostName;
  uint32_t m_Segment = 0, m_Bus = 0, m_Device = 0, m_Function = 0;
  int32_t m_Number = -1;
};

// A Key=Value file. A bare file name is looked for in the host's home (the directory of the
// process path). Blanks around '=' are ignored; lines starting with '#' or ';' are comments.
class CConfigFile {
 public:
  void SetFileName(const std::string& path) { m_FileName = path; }
  const std::string& GetFileName() const { return m_FileName; }
  // The key's value, trimmed. 0 when found with a non-empty value; 20000 otherwise (missing
  // file, missing key, empty value, unreadable file).
  uint32_t ReadKeyValue(const std::string& key, std::string& value, int section = -1,
                        int index = -1) const;
  // Replaces the key's line (or appends one), keeping every other line; atomic (a temporary
  // file, then rename). 0 on success, 20000 when the file cannot be written.
  uint32_t WriteKeyValue(const std::string& key, const std::string& value, int section = -1,
                         int index = -1);
  // The full path that a (bare or not) file name resolves to.
  std::string ResolvedPath() const;

 private:
  std::string m_FileName;
};

struct CNVMeLifeTimeData {
  std::string m_Model;     // model text, matched by its first m_Length characters
  uint32_t m_Length;
  uint64_t m_Endurance;    // rated write endurance in units of 2^40 bytes
};

// Rated endurance of known drive families, searched in order.
const std::vector<CNVMeLifeTimeData>& GetLifeTimeDataNVMe();

class CETR {};

class CPluginHelper {
 public:
  // Fills the property from a description row (ID, display code, position, kind, units, flag),
  // without a value.
  static void GenerateCProperty(const _PROPERTY_DESCRIPTION& description, CProperty& property);
  // Bytes in the largest decimal unit (KB ... PB) that keeps the number at 1 or more; false for
  // 0 bytes or an unknown count (all bits set).
  static bool ConvertBytesToOtherUnit(uint64_t bytes, float& value, uint32_t& unit);
  // Hours of life left: the smaller of what the remaining-life percentage and the rated
  // endurance predict at the present rate of use. Sets `hours` on every call; false when
  // nothing can be predicted (hours then 0).
  static bool ComputeRemainingLifeTime(uint64_t powerOnHours, uint64_t bytesWritten,
                                       int32_t remainingLifePercent, uint64_t ratedEndurance,
                                       uint64_t& hours);
};

// Text for a status, state, warning or type value; the number in decimal for an unknown one.
std::string PropertyValueToString(int32_t value);
// Short unit text ("°C", "GB", "%", ...); empty for UNIT_NONE or an unknown code.
std::string UnitName(uint32_t unit);

}  // namespace PI
