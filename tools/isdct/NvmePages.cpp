#include "NvmePages.h"

#include <cinttypes>
#include <cstdio>

namespace isdct {

namespace {

uint64_t Le(const uint8_t* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = count; i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

Counter128 Le128(const uint8_t* bytes) { return Counter128{Le(bytes, 8), Le(bytes + 8, 8)}; }

// A fixed-width text field of Identify: ASCII, padded with blanks.
std::string Text(const uint8_t* bytes, size_t count) {
  std::string text(reinterpret_cast<const char*>(bytes), count);
  const size_t end = text.find_last_not_of(std::string(" \0", 2));
  return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

struct StatusName {
  uint32_t typeAndCode;  // SCT << 8 | SC
  const char* name;
};
constexpr StatusName kStatusNames[] = {
    {0x001, "Invalid Command Opcode"},
    {0x002, "Invalid Field in Command"},
    {0x004, "Data Transfer Error"},
    {0x006, "Internal Error"},
    {0x007, "Command Abort Requested"},
    {0x00B, "Invalid Namespace or Format"},
    {0x109, "Invalid Log Page"},
    {0x371, "Command Aborted by Host"},
};

}  // namespace

bool DecodeIdentifyController(const uint8_t* bytes, size_t size, IdentifyController& page) {
  if (size < kIdentifyBytes) return false;
  page.pciVendor = static_cast<uint16_t>(Le(bytes + 0, 2));
  page.pciSubsystemVendor = static_cast<uint16_t>(Le(bytes + 2, 2));
  page.serial = Text(bytes + 4, 20);
  page.model = Text(bytes + 24, 40);
  page.firmware = Text(bytes + 64, 8);
  page.logPageAttributes = bytes[261];
  page.warningTemperatureK = static_cast<int>(Le(bytes + 266, 2));
  page.criticalTemperatureK = static_cast<int>(Le(bytes + 268, 2));
  page.namespaceCount = static_cast<uint32_t>(Le(bytes + 516, 4));
  return true;
}

bool DecodeIdentifyNamespace(const uint8_t* bytes, size_t size, IdentifyNamespace& page) {
  if (size < kIdentifyBytes) return false;
  page.size = Le(bytes + 0, 8);
  page.capacity = Le(bytes + 8, 8);
  page.formatCount = bytes[25] + 1u;
  const uint8_t flbas = bytes[26];
  page.formatIndex = (flbas & 0x0Fu) | ((flbas & 0x60u) >> 1);
  const unsigned lbads = page.formatIndex < 64 ? bytes[128 + 4 * page.formatIndex + 2] : 0;
  page.blockBytes = lbads >= 9 && lbads < 64 ? uint64_t{1} << lbads : 0;
  return true;
}

bool DecodeSmartHealth(const uint8_t* bytes, size_t size, SmartHealth& page) {
  if (size < kLogPageBytes) return false;
  page.criticalWarning = bytes[0];
  page.compositeTemperatureK = static_cast<int>(Le(bytes + 1, 2));
  page.availableSpare = bytes[3];
  page.availableSpareThreshold = bytes[4];
  page.percentageUsed = bytes[5];
  Counter128* const counters[] = {
      &page.dataUnitsRead,   &page.dataUnitsWritten,      &page.hostReadCommands,
      &page.hostWriteCommands, &page.controllerBusyMinutes, &page.powerCycles,
      &page.powerOnHours,    &page.unsafeShutdowns,       &page.mediaErrors,
      &page.errorLogEntries,
  };
  for (size_t i = 0; i < sizeof counters / sizeof counters[0]; ++i)
    *counters[i] = Le128(bytes + 32 + 16 * i);
  page.warningTemperatureMinutes = static_cast<uint32_t>(Le(bytes + 192, 4));
  page.criticalTemperatureMinutes = static_cast<uint32_t>(Le(bytes + 196, 4));
  page.sensorTemperaturesK.clear();
  for (size_t i = 0; i < 8; ++i) {
    const int kelvin = static_cast<int>(Le(bytes + 200 + 2 * i, 2));
    if (kelvin != 0) page.sensorTemperaturesK.push_back(kelvin);
  }
  return true;
}

bool DecodeTemperatureStatistics(const uint8_t* bytes, size_t size, TemperatureStatistics& page) {
  if (size < kLogPageBytes) return false;
  page.currentCelsius = static_cast<int64_t>(Le(bytes + 0, 8));
  page.offsetCelsius = static_cast<int64_t>(Le(bytes + 8 * 11, 8));
  return true;
}

bool DecodeSmartAttributes(const uint8_t* bytes, size_t size,
                           std::vector<SmartAttribute>& attributes) {
  if (size < kLogPageBytes) return false;
  attributes.clear();
  for (size_t at = 0; at + 12 <= kLogPageBytes && bytes[at] != 0; at += 12)
    attributes.push_back(SmartAttribute{bytes[at], bytes[at + 3], Le(bytes + at + 5, 6)});
  return true;
}

int KelvinToCelsius(int kelvin) { return kelvin - 273; }

std::string HexCounter(const Counter128& counter) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016" PRIX64, counter.Clamped());
  return text;
}

std::string DescribeStatus(uint32_t status) {
  const uint32_t typeAndCode = status & 0x7FF;
  char text[80];
  std::snprintf(text, sizeof text, "status 0x%04" PRIX32, status);
  std::string description = text;
  for (const StatusName& name : kStatusNames) {
    if (name.typeAndCode == typeAndCode) description += std::string(" (") + name.name + ")";
  }
  if ((status & 0x4000) != 0) description += ", do not retry";
  return description;
}

}  // namespace isdct
