#include "Text.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace host_shell {

namespace {

struct CodeText {
  int64_t code;
  const char* text;
};

constexpr CodeText kErrors[] = {
    {-1, "shell error"},
    {PI::ERR_SUCCESS, "success"},
    {PI::ERR_NO_PROPERTY_FOUND, "no property found / nothing changed / database failure"},
    {PI::ERR_NO_SUPPORTED_HARDWARE, "no supported hardware"},
    {PI::ERR_FUNCTION_OUT_OF_RANGE, "function code out of range"},
    {PI::ERR_TOOL_COMMAND_FAILED, "tool command failed"},
    {PI::ERR_PROPERTY_NOT_SETTABLE, "property not settable"},
    {PI::ERR_OPERATION_NOT_EXECUTABLE, "operation not executable"},
    {PI::ERR_UNKNOWN_LOG_PAGE, "unknown log page"},
    {PI::ERR_OUT_OF_MEMORY, "out of memory"},
    {PI::ERR_NO_OBJECT, "no object with that ID"},
    {PI::ERR_LOCK_INITIALIZATION_FAILED, "lock initialization failed"},
    {PI::ERR_API_INITIALIZATION_FAILED, "initialization failed (inventory query)"},
    {PI::ERR_OPERATION_REFUSED, "operation refused in the drive's state"},
};

constexpr CodeText kSeverities[] = {
    {PI::SEVERITY_DEBUG, "Debug"},     {PI::SEVERITY_INFORMATION, "Information"},
    {PI::SEVERITY_WARNING, "Warning"}, {PI::SEVERITY_CRITICAL, "Critical"},
    {PI::SEVERITY_FATAL, "Fatal"},
};

// Display names of the properties the plug-in offers (adapter, drive, plug-in object).
constexpr CodeText kPropertyNames[] = {
    {PI::PROP_VENDOR, "Vendor"},
    {PI::PROP_TOOL_VERSION, "Tool version"},
    {PI::PROP_POLL_INTERVAL, "Poll interval"},
    {PI::PROP_NAME, "Name"},
    {PI::PROP_STATUS, "Status"},
    {PI::PROP_DRIVER_VERSION, "Driver version"},
    {PI::PROP_FIRMWARE, "Firmware"},
    {PI::PROP_SERIAL_NUMBER, "Serial number"},
    {PI::PROP_BUS, "Bus"},
    {PI::PROP_DEVICE, "Device"},
    {PI::PROP_FUNCTION, "Function"},
    {PI::PROP_MEDIA_TYPE, "Medium"},
    {PI::PROP_CAPACITY, "Capacity"},
    {PI::PROP_REPORTED_CAPACITY, "Reported capacity"},
    {PI::PROP_MODEL, "Model"},
    {PI::PROP_DRIVE_TEMPERATURE, "Temperature"},
    {PI::PROP_VERSION, "Version"},
    {PI::PROP_ADAPTER_NUMBER, "Adapter number"},
    {PI::PROP_PORT, "Drive number"},
    {PI::PROP_TARGET_LUN, "Slot"},
    {PI::PROP_ADDRESS, "Location"},
    {PI::PROP_MODEL_SUPPORT, "Support"},
    {PI::PROP_WARNINGS, "Warnings"},
    {PI::PROP_MEDIA_ERRORS, "Media errors"},
    {PI::PROP_DEVICE_PATH, "Device path"},
    {PI::PROP_DRIVER_NAME, "Driver"},
    {PI::PROP_TEMPERATURE, "Temperature"},
    {PI::PROP_SECTOR_SIZE, "Sector size"},
    {PI::PROP_USABLE_CAPACITY, "Usable capacity"},
    {PI::PROP_USABLE_PERCENT, "Usable share"},
    {PI::PROP_SPARE_STATE, "Spare state"},
    {PI::PROP_SEGMENT, "Segment"},
    {PI::PROP_END_OF_LIFE, "End of life"},
    {PI::PROP_AVAILABLE_SPARE, "Available spare"},
    {PI::PROP_SMART_STATE, "SMART state"},
    {PI::PROP_SPARE_THRESHOLD, "Spare threshold"},
    {PI::PROP_DATA_READ, "Data read"},
    {PI::PROP_DATA_WRITTEN, "Data written"},
    {PI::PROP_ENDURANCE_USED, "Endurance used"},
    {PI::PROP_POWER_ON_HOURS, "Power-on hours"},
    {PI::PROP_BOOTLOADER, "Boot loader"},
};

// Messages of the events the plug-in raises, for codes the host library has no text for.
constexpr CodeText kEventMessages[] = {
    {PI::EVT_BACKUP_FAILED, "Volatile memory backup has failed"},
    {PI::EVT_TEMPERATURE_80_TO_83, "Temperature 80 to 83 °C"},
    {PI::EVT_TEMPERATURE_CRITICAL, "Temperature 84 °C or more: critical"},
    {PI::EVT_TEMPERATURE_AT_80, "Temperature at or above 80 °C"},
    {PI::EVT_TEMPERATURE_78_TO_79, "Temperature 78 to 79 °C: approaching the limit"},
    {PI::EVT_SPARE_LOW, "Available spare below its threshold"},
    {PI::EVT_WARNINGS_CLEARED, "All critical warnings cleared"},
    {PI::EVT_DRIVE_RESIZED, "Drive capacity changed"},
    {PI::EVT_RELIABILITY_DEGRADED, "Drive reliability has degraded"},
    {PI::EVT_ADAPTER_APPEARED, "Adapter found"},
    {PI::EVT_ADAPTER_VANISHED, "Adapter missing"},
};

// Units with a base unit, and the factor to it.
struct BaseUnit {
  uint32_t unit;
  const char* field;
  double factor;
};

constexpr BaseUnit kBaseUnits[] = {
    {PI::UNIT_CELSIUS, "celsius", 1.0}, {PI::UNIT_SECONDS, "seconds", 1.0},
    {PI::UNIT_HOURS, "seconds", 3600.0}, {PI::UNIT_PERCENT, "ratio", 0.01},
    {PI::UNIT_BYTES, "bytes", 1.0},      {PI::UNIT_KB, "bytes", 1e3},
    {PI::UNIT_MB, "bytes", 1e6},         {PI::UNIT_GB, "bytes", 1e9},
    {PI::UNIT_TB, "bytes", 1e12},        {PI::UNIT_PB, "bytes", 1e15},
    {PI::UNIT_MIB, "bytes", 1048576.0},
};

// A name as property names are compared: lower case, without blanks, hyphens and underscores.
std::string NameKey(const std::string& name) {
  std::string key;
  for (unsigned char c : name) {
    if (c != ' ' && c != '-' && c != '_') key += static_cast<char>(std::tolower(c));
  }
  return key;
}

template <size_t N>
const char* Find(const CodeText (&table)[N], int64_t code) {
  for (const CodeText& row : table) {
    if (row.code == code) return row.text;
  }
  return nullptr;
}

std::string WithUnit(const std::string& number, uint32_t units) {
  std::string unit = PI::UnitName(units);
  return unit.empty() ? number : number + " " + unit;
}

}  // namespace

std::string ErrorText(int64_t code) {
  const char* text = Find(kErrors, code);
  return text != nullptr ? text : "error " + std::to_string(code);
}

std::string SeverityText(uint32_t severity) {
  const char* text = Find(kSeverities, severity);
  return text != nullptr ? text : "severity " + std::to_string(severity);
}

std::string PropertyName(uint32_t id) {
  const char* text = Find(kPropertyNames, id);
  return text != nullptr ? text : "";
}

std::vector<uint32_t> PropertyIdsNamed(const std::string& name) {
  std::vector<uint32_t> ids;
  const std::string key = NameKey(name);
  for (const CodeText& row : kPropertyNames) {
    if (!key.empty() && NameKey(row.text) == key) ids.push_back(static_cast<uint32_t>(row.code));
  }
  return ids;
}

bool PropertyNumber(const PI::CProperty& property, double& value) {
  switch (property.m_ValueType) {
    case PI::CProperty::VALUE_UINT64:
      value = static_cast<double>(property.m_UInt64);
      return true;
    case PI::CProperty::VALUE_FLOAT: {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%.7g", static_cast<double>(property.m_Float));
      value = std::strtod(buffer, nullptr);
      return true;
    }
    case PI::CProperty::VALUE_BOUNDED:
      value = property.m_Int;
      return true;
    case PI::CProperty::VALUE_ENUMERATION:
      value = property.m_Int;
      return true;
    default:
      return false;
  }
}

bool ToBaseUnit(const PI::CProperty& property, BaseValue& base) {
  double value = 0;
  // An enumeration's number is a code, not a quantity.
  if (property.m_ValueType == PI::CProperty::VALUE_ENUMERATION || !PropertyNumber(property, value))
    return false;
  for (const BaseUnit& unit : kBaseUnits) {
    if (unit.unit != property.m_Units) continue;
    base.field = unit.field;
    base.value = value * unit.factor;
    if (std::string(unit.field) == "bytes") base.value = std::round(base.value);
    return std::isfinite(base.value);
  }
  return false;
}

std::string EventSerial(const PI::CEvent& event, const std::string& objectName) {
  for (const char* prefix : {"adapter:", "drive:"}) {
    const size_t length = std::char_traits<char>::length(prefix);
    if (objectName.compare(0, length, prefix) == 0) return objectName.substr(length);
  }
  // A number in parentheses is an adapter's ordinal, not a serial.
  const std::string& source = event.m_Source;
  const size_t open = source.rfind('(');
  if (source.empty() || source.back() != ')' || open == std::string::npos) return "";
  std::string inside = source.substr(open + 1, source.size() - open - 2);
  if (inside.empty() || inside.find_first_not_of("0123456789") == std::string::npos) return "";
  return inside;
}

std::string ShortNumber(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", value);
  std::string text = buffer;
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  if (text == "-0") text = "0";
  return text;
}

std::string ValueText(const PI::CProperty& property) {
  switch (property.m_ValueType) {
    case PI::CProperty::VALUE_NONE:
      return "";
    case PI::CProperty::VALUE_TEXT:
      return property.m_Text;
    case PI::CProperty::VALUE_UINT64:
      return WithUnit(std::to_string(property.m_UInt64), property.m_Units);
    case PI::CProperty::VALUE_FLOAT:
      return WithUnit(ShortNumber(property.m_Float), property.m_Units);
    case PI::CProperty::VALUE_BOUNDED:
      return WithUnit(std::to_string(property.m_Int), property.m_Units);
    case PI::CProperty::VALUE_ENUMERATION:
      return PI::PropertyValueToString(property.m_Int);
    case PI::CProperty::VALUE_LIST: {
      std::string text;
      for (int32_t value : property.m_Values) {
        if (!text.empty()) text += ", ";
        text += PI::PropertyValueToString(value);
      }
      return text;
    }
  }
  return "";
}

std::string EventMessage(uint32_t code) {
  std::string text = PI::PropertyValueToString(static_cast<int32_t>(code));
  if (!text.empty() && text != std::to_string(code)) return text;
  const char* own = Find(kEventMessages, code);
  return own != nullptr ? own : "event";
}

std::string TimeText(uint64_t ms) {
  time_t seconds = static_cast<time_t>(ms / 1000);
  struct tm local = {};
  localtime_r(&seconds, &local);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
  return buffer;
}

std::string EventLine(const PI::CEvent& event, const std::string& objectName, bool colour) {
  std::string severity = SeverityText(event.m_Severity);
  while (severity.size() < 11) severity += ' ';
  const char* severityColour = colour ? SeverityColour(event.m_Severity) : "";
  std::string line = TimeText(event.m_Time) + "  ";
  line += *severityColour != '\0' ? severityColour + severity + kReset : severity;
  line += "  " + TerminalText(objectName) + "  " + EventMessage(event.m_Code) + " (" +
          std::to_string(event.m_Code) + ")";
  line += "  source: \"" + TerminalText(event.m_Source) + "\"";
  line += ", placeholders: \"" + TerminalText(event.m_PlaceHolder1) + "\", \"" +
          TerminalText(event.m_PlaceHolder2) + "\"";
  return line;
}

size_t DisplayWidth(const std::string& text) {
  size_t width = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++width;  // count lead bytes, not continuation bytes
  }
  return width;
}

// Our own loop rather than utfcpp's replace_invalid: that one folds a malformed sequence and its
// trailing bytes into one U+FFFD, where the served labels promise one per byte that is not part
// of a well-formed sequence (and the loop is a table of the well-formed ranges, nothing more).
std::string ValidUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const size_t size = text.size();
  size_t i = 0;
  auto byte = [&text](size_t at) { return static_cast<unsigned char>(text[at]); };
  auto inRange = [&](size_t at, unsigned low, unsigned high) {
    return at < size && byte(at) >= low && byte(at) <= high;
  };
  while (i < size) {
    const unsigned char lead = byte(i);
    size_t length = 0;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = inRange(i + 1, 0x80, 0xBF) ? 2 : 0;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      // No overlong forms (E0 A0..), no surrogates (ED ..9F).
      const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
      const unsigned high = lead == 0xED ? 0x9F : 0xBF;
      length = inRange(i + 1, low, high) && inRange(i + 2, 0x80, 0xBF) ? 3 : 0;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      // Nothing overlong (F0 90..) and nothing past U+10FFFF (F4 ..8F).
      const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
      const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
      length = inRange(i + 1, low, high) && inRange(i + 2, 0x80, 0xBF) &&
                       inRange(i + 3, 0x80, 0xBF)
                   ? 4
                   : 0;
    }
    if (length == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

std::string TerminalText(const std::string& text) {
  const std::string valid = ValidUtf8(text);
  std::string out;
  out.reserve(valid.size());
  char spelled[8];
  for (size_t i = 0; i < valid.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(valid[i]);
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(spelled, sizeof spelled, "\\x%02x", c);
      out += spelled;
    } else if (c == 0xC2 && i + 1 < valid.size() &&
               static_cast<unsigned char>(valid[i + 1]) <= 0x9F) {
      // C1 controls U+0080..U+009F (CSI among them).
      std::snprintf(spelled, sizeof spelled, "\\u%04x",
                    static_cast<unsigned char>(valid[i + 1]));
      out += spelled;
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

const char* StatusColour(int32_t status) {
  switch (status) {
    case PI::STATUS_OK:
    case PI::STATUS_DRIVE_OK:
    case PI::SMART_OK:
      return kGreen;
    case PI::STATUS_WARNING:
    case PI::STATUS_DRIVE_REBUILDING:
    case PI::SMART_FAILED:
      return kYellow;
    case PI::STATUS_CRITICAL:
      return kRed;
    default:
      return "";
  }
}

const char* SeverityColour(uint32_t severity) {
  if (severity == PI::SEVERITY_WARNING) return kYellow;
  if (severity >= PI::SEVERITY_CRITICAL) return kRed;
  return "";
}

}  // namespace host_shell
