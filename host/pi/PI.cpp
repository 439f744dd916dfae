// The host's plug-in interface library: value types, configuration files and helper tables.

#include "PI.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <boost/filesystem/path.hpp>

#include "KVL.h"
#include "Platform.h"

namespace PI {

// ---------------------------------------------------------------------------------------------
// Value types

namespace {
// Clears the value of a property before a SetValue gives it a new one.
void ClearValue(CProperty& p) {
  p.m_Text.clear();
  p.m_UInt64 = 0;
  p.m_Float = 0.0f;
  p.m_Int = p.m_Min = p.m_Max = p.m_Step = 0;
  p.m_Values.clear();
  p.m_Allowed.clear();
}
}  // namespace

void CProperty::SetValue(const std::string& text) {
  ClearValue(*this);
  m_ValueType = VALUE_TEXT;
  m_Text = text;
}

void CProperty::SetValue(uint64_t value) {
  ClearValue(*this);
  m_ValueType = VALUE_UINT64;
  m_UInt64 = value;
}

void CProperty::SetValue(float value) {
  ClearValue(*this);
  m_ValueType = VALUE_FLOAT;
  m_Float = value;
}

void CProperty::SetValue(int32_t value, int32_t minimum, int32_t maximum, int32_t step) {
  ClearValue(*this);
  m_ValueType = VALUE_BOUNDED;
  m_Int = value;
  m_Min = minimum;
  m_Max = maximum;
  m_Step = step;
}

void CProperty::SetValue(int32_t value, const std::vector<int32_t>& allowed) {
  ClearValue(*this);
  m_ValueType = VALUE_ENUMERATION;
  m_Int = value;
  m_Allowed = allowed;
}

void CProperty::SetValue(const std::vector<int32_t>& values, const std::vector<int32_t>& allowed) {
  ClearValue(*this);
  m_ValueType = VALUE_LIST;
  m_Values = values;
  m_Allowed = allowed;
}

bool CProperty::GetValue(int32_t& value, int32_t& minimum, int32_t& maximum,
                         int32_t& step) const {
  if (m_ValueType != VALUE_BOUNDED) return false;
  value = m_Int;
  minimum = m_Min;
  maximum = m_Max;
  step = m_Step;
  return true;
}

bool CProperty::operator==(const CProperty& o) const {
  return m_ID == o.m_ID && m_Settable == o.m_Settable && m_NlsID == o.m_NlsID &&
         m_DisplayCode == o.m_DisplayCode && m_Position == o.m_Position &&
         m_StateCode == o.m_StateCode && m_SubType == o.m_SubType && m_Units == o.m_Units &&
         m_Kind == o.m_Kind && m_Flag == o.m_Flag && m_ValueType == o.m_ValueType &&
         m_Text == o.m_Text && m_UInt64 == o.m_UInt64 && m_Float == o.m_Float &&
         m_Int == o.m_Int && m_Min == o.m_Min && m_Max == o.m_Max && m_Step == o.m_Step &&
         m_Values == o.m_Values && m_Allowed == o.m_Allowed;
}

bool CEvent::operator==(const CEvent& o) const {
  return m_ObjectID == o.m_ObjectID && m_Code == o.m_Code && m_Severity == o.m_Severity &&
         m_Time == o.m_Time && m_Source == o.m_Source && m_PlaceHolder1 == o.m_PlaceHolder1 &&
         m_PlaceHolder2 == o.m_PlaceHolder2;
}

COperation::COperation(const _OPERATION_DESCRIPTION& d)
    : m_ID(d.operationId),
      m_ID2(d.operationId),
      m_Words{d.word1, d.word2, d.word3, d.word4, d.flag, d.word6, d.word7, d.word8} {}

bool COperation::operator==(const COperation& o) const {
  return m_ID == o.m_ID && m_ID2 == o.m_ID2 && std::equal(m_Words, m_Words + 8, o.m_Words) &&
         m_Events == o.m_Events;
}

bool CObject::operator==(const CObject& o) const { return m_ID == o.m_ID && m_Type == o.m_Type; }

// The PCI location packed as segment:bus:device.function (15, 8, 5 and 3 bits); one host has
// one number per location, so the host name takes no part. The segment's top bit is dropped to
// keep the number positive.
void CGlobalAdapterID::GenerateUniqueAdapterNumber() {
  const uint32_t number = (m_Segment & 0x7FFFu) << 16 | (m_Bus & 0xFFu) << 8 |
                          (m_Device & 0x1Fu) << 3 | (m_Function & 0x7u);
  m_Number = static_cast<int32_t>(number);
}

// ---------------------------------------------------------------------------------------------
// Configuration files

namespace {

constexpr uintmax_t kMaxConfigBytes = 1u << 20;

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

bool SameKey(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The key of a "Key=Value" line, or an empty text for comments, blank and other lines.
// Keys match without regard to case, as administrators write them either way.
std::string LineKey(const std::string& line, std::string* value = nullptr) {
  const std::string trimmed = Trim(line);
  if (trimmed.empty() || trimmed[0] == '#' || trimmed[0] == ';') return std::string();
  const size_t equals = trimmed.find('=');
  if (equals == std::string::npos) return std::string();
  if (value != nullptr) *value = Trim(trimmed.substr(equals + 1));
  return Trim(trimmed.substr(0, equals));
}

constexpr const char* kUtf8Bom = "\xEF\xBB\xBF";

// Reads the whole file into lines (each without its '\n'). False when it cannot be read or is
// too large; `exists` tells a missing file from an unreadable one. A leading UTF-8 byte-order
// mark (as editors on Windows write one) is no part of the first line; `bom` says it was there.
bool ReadLines(const std::string& path, std::vector<std::string>& lines, bool& exists,
               bool* bom = nullptr) {
  lines.clear();
  struct stat st = {};
  exists = stat(path.c_str(), &st) == 0;
  if (!exists) return false;
  if (!S_ISREG(st.st_mode) || static_cast<uintmax_t>(st.st_size) > kMaxConfigBytes) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  const bool marked = !lines.empty() && lines[0].compare(0, 3, kUtf8Bom) == 0;
  if (marked) lines[0].erase(0, 3);
  if (bom != nullptr) *bom = marked;
  return !in.bad();
}

}  // namespace

std::string CConfigFile::ResolvedPath() const {
  if (m_FileName.find('/') != std::string::npos) return m_FileName;
  boost::filesystem::path process;
  KVL::Misc::CKvlApplication::GetProcessPath(process);
  if (process.empty()) return m_FileName;
  return (process.parent_path() / m_FileName).string();
}

uint32_t CConfigFile::ReadKeyValue(const std::string& key, std::string& value, int section,
                                   int index) const {
  (void)section;  // flat files: there are no sections or repeated keys to select
  (void)index;
  const std::string wanted = Trim(key);
  if (wanted.empty() || m_FileName.empty()) return ERR_NO_PROPERTY_FOUND;
  std::vector<std::string> lines;
  bool exists = false;
  if (!ReadLines(ResolvedPath(), lines, exists)) return ERR_NO_PROPERTY_FOUND;
  // The first line of the key counts (WriteKeyValue keeps one).
  for (const std::string& line : lines) {
    std::string found;
    if (!SameKey(LineKey(line, &found), wanted)) continue;
    if (found.empty()) return ERR_NO_PROPERTY_FOUND;
    value = found;
    return ERR_SUCCESS;
  }
  return ERR_NO_PROPERTY_FOUND;
}

uint32_t CConfigFile::WriteKeyValue(const std::string& key, const std::string& value, int section,
                                    int index) {
  (void)section;
  (void)index;
  const std::string name = Trim(key);
  const std::string text = Trim(value);
  if (name.empty() || m_FileName.empty() || name.find_first_of("=\n\r") != std::string::npos ||
      name[0] == '#' || name[0] == ';' || text.find_first_of("\n\r") != std::string::npos)
    return ERR_NO_PROPERTY_FOUND;

  // A symbolic link stays a link: the file it points to is the one replaced.
  std::string path = ResolvedPath();
  std::error_code error;
  const std::filesystem::path target = std::filesystem::canonical(path, error);
  if (!error) path = target.string();
  std::vector<std::string> lines;
  bool exists = false;
  bool bom = false;
  if (!ReadLines(path, lines, exists, &bom) && exists) return ERR_NO_PROPERTY_FOUND;

  // Replace the key's first line, drop any later duplicates, keep everything else (a
  // byte-order mark included).
  std::string content = bom ? kUtf8Bom : "";
  bool written = false;
  for (const std::string& line : lines) {
    if (SameKey(LineKey(line), name)) {
      if (written) continue;
      content += name + "=" + text + (!line.empty() && line.back() == '\r' ? "\r\n" : "\n");
      written = true;
    } else {
      content += line + "\n";
    }
  }
  if (!written) content += name + "=" + text + "\n";

  if (!KVL::Platform::ReplaceFileContent(path, content, exists)) return ERR_NO_PROPERTY_FOUND;
  return ERR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Tables

namespace {

struct ValueText {
  int32_t value;
  const char* text;
};

constexpr ValueText kValueTexts[] = {
    // Status of an adapter.
    {40024, "OK"},
    {40150, "Warning"},
    {40095, "Critical"},
    // Status of a drive.
    {40099, "OK"},
    {40180, "Rebuilding"},
    // Spare area state.
    {40252, "Normal"},
    {40410, "Below threshold"},
    {40411, "Read only"},
    // Self-monitoring state.
    {40473, "OK"},
    {40474, "Failed"},
    // Model support.
    {40480, "Supported"},
    {40488, "Not supported"},
    // Interface and media.
    {40200, "NVMe"},
    {40293, "SSD"},
    // Warnings.
    {40449, "Volatile memory backup failed"},
    {40452, "Read-only mode"},
    {40459, "Temperature warning"},
    {40460, "Spare below threshold"},
    {40487, "Reliability degraded"},
};

struct UnitText {
  uint32_t unit;
  const char* text;
};

constexpr UnitText kUnitTexts[] = {
    {UNIT_CELSIUS, "\xC2\xB0" "C"},
    {UNIT_MIB, "MiB"},
    {UNIT_HOURS, "h"},
    {UNIT_SECONDS, "s"},
    {UNIT_PERCENT, "%"},
    {UNIT_BYTES, "bytes"},
    {UNIT_KB, "KB"},
    {UNIT_MB, "MB"},
    {UNIT_GB, "GB"},
    {UNIT_TB, "TB"},
    {UNIT_PB, "PB"},
};

// Decimal byte units, smallest first.
constexpr uint32_t kByteUnits[] = {UNIT_KB, UNIT_MB, UNIT_GB, UNIT_TB, UNIT_PB};

struct LifeTimeRow {
  const char* model;
  uint32_t length;      // characters that must match: the model up to its capacity code
  uint64_t endurance;   // rated writes in units of 2^40 bytes (TiB)
};

// Rated write endurance from the makers' product briefs (petabytes written over the warranty,
// converted to TiB). The last character, the product generation, is left out of the match.
constexpr LifeTimeRow kLifeTimeRows[] = {
    // P3700: 10 drive writes per day over five years.
    {"INTEL SSDPE2MD400G4", 18, 6639},
    {"INTEL SSDPE2MD800G4", 18, 13279},
    {"INTEL SSDPE2MD016T4", 18, 39836},
    {"INTEL SSDPE2MD020T4", 18, 33197},
    {"INTEL SSDPEDMD400G4", 18, 6639},
    {"INTEL SSDPEDMD800G4", 18, 13279},
    {"INTEL SSDPEDMD016T4", 18, 39836},
    {"INTEL SSDPEDMD020T4", 18, 33197},
    // P4500: read-intensive, about one drive write per day.
    {"INTEL SSDPE2KX010T7", 18, 1628},
    {"INTEL SSDPE2KX020T7", 18, 2610},
    {"INTEL SSDPE2KX040T7", 18, 5730},
    {"INTEL SSDPE2KX080T7", 18, 12624},
    // P4600: mixed use, three drive writes per day.
    {"INTEL SSDPE2KE016T7", 18, 7967},
    {"INTEL SSDPE2KE020T7", 18, 9959},
    {"INTEL SSDPE2KE032T7", 18, 15934},
    {"INTEL SSDPE2KE040T7", 18, 19918},
    {"INTEL SSDPE2KE064T7", 18, 31869},
    {"INTEL SSDPEDKE020T7", 18, 9959},
    {"INTEL SSDPEDKE040T7", 18, 19918},
    // P4800X: 30 drive writes per day.
    {"INTEL SSDPED1K375GA", 18, 18645},
    {"INTEL SSDPED1K750GA", 18, 37289},
    {"INTEL SSDPED1K015TA", 18, 74579},
    {"INTEL SSDPE21K375GA", 18, 18645},
    {"INTEL SSDPE21K750GA", 18, 37289},
    {"INTEL SSDPE21K015TA", 18, 74579},
};

constexpr uint64_t kAllOnes = ~uint64_t{0};
// Predictions reach at most this far (about 100 years): beyond it a date means nothing.
constexpr double kMaxPredictedHours = 876000.0;

}  // namespace

std::string PropertyValueToString(int32_t value) {
  for (const ValueText& row : kValueTexts)
    if (row.value == value) return row.text;
  return std::to_string(value);
}

std::string UnitName(uint32_t unit) {
  for (const UnitText& row : kUnitTexts)
    if (row.unit == unit) return row.text;
  return std::string();
}

const std::vector<CNVMeLifeTimeData>& GetLifeTimeDataNVMe() {
  static const std::vector<CNVMeLifeTimeData> table = [] {
    std::vector<CNVMeLifeTimeData> rows;
    for (const LifeTimeRow& row : kLifeTimeRows)
      rows.push_back(CNVMeLifeTimeData{row.model, row.length, row.endurance});
    return rows;
  }();
  return table;
}

void CPluginHelper::GenerateCProperty(const _PROPERTY_DESCRIPTION& d, CProperty& property) {
  property.m_ID = d.propertyId;
  property.m_DisplayCode = d.displayCode;
  property.m_Position = d.position;
  property.m_Kind = d.kind;
  property.m_Units = d.units;
  property.m_Flag = d.flag;
}

bool CPluginHelper::ConvertBytesToOtherUnit(uint64_t bytes, float& value, uint32_t& unit) {
  if (bytes == 0 || bytes == kAllOnes) return false;
  double amount = static_cast<double>(bytes) / 1000.0;
  size_t index = 0;
  while (amount >= 1000.0 && index + 1 < std::size(kByteUnits)) {
    amount /= 1000.0;
    ++index;
  }
  value = static_cast<float>(amount);
  unit = kByteUnits[index];
  return true;
}

// Two predictions, each extrapolating the wear so far at the rate seen over the power-on hours:
//   by percentage: hours * remaining% / used%        (used% = 100 - remaining%)
//   by endurance:  hours * (rated - written) / written  (rated in TiB, 2^40 bytes)
// The smaller one wins. Worn out (0% left or rating reached) gives 0 hours and true. A
// prediction needs power-on hours and some wear; unknown inputs (all ones) and ratings of 0 or
// 1 (1 is what callers put for "no rating") are ignored. Results are capped at about 100 years.
bool CPluginHelper::ComputeRemainingLifeTime(uint64_t powerOnHours, uint64_t bytesWritten,
                                             int32_t remainingLifePercent,
                                             uint64_t ratedEndurance, uint64_t& hours) {
  hours = 0;
  if (powerOnHours == 0 || powerOnHours == kAllOnes) return false;
  const double powerOn = static_cast<double>(powerOnHours);
  double best = -1.0;
  auto consider = [&best](double prediction) {
    if (best < 0.0 || prediction < best) best = prediction;
  };

  if (remainingLifePercent <= 0) {
    consider(0.0);
  } else if (remainingLifePercent < 100) {
    const double remaining = remainingLifePercent;
    consider(powerOn * remaining / (100.0 - remaining));
  }

  if (ratedEndurance > 1 && ratedEndurance != kAllOnes && bytesWritten != kAllOnes &&
      bytesWritten > 0) {
    const double rated = std::ldexp(static_cast<double>(ratedEndurance), 40);
    const double written = static_cast<double>(bytesWritten);
    consider(written >= rated ? 0.0 : powerOn * (rated - written) / written);
  }

  if (best < 0.0) return false;
  hours = static_cast<uint64_t>(std::min(best, kMaxPredictedHours));
  return true;
}

}  // namespace PI
