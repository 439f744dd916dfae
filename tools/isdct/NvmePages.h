// Decoding of the NVMe admin pages the tool's kernel source reads: Identify Controller, Identify
// Namespace, the SMART / Health log (02h) and the two vendor log pages for temperature statistics
// and SMART attributes. Pure functions of the page bytes (little-endian as on the wire); no state,
// safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace isdct {

constexpr size_t kIdentifyBytes = 4096;
constexpr size_t kLogPageBytes = 512;

// Log page identifiers.
constexpr uint8_t kLogSmartHealth = 0x02;
constexpr uint8_t kLogTemperatureStatistics = 0xC5;  // vendor page; the tool's page 197
constexpr uint8_t kLogSmartAttributes = 0xCA;        // vendor page; the tool's page 202

// A 128-bit counter of the SMART / Health log. The tool prints 64-bit hexadecimal counters, so a
// value past 64 bits is shown clamped to 0xFFFFFFFFFFFFFFFF (`clamped` says so).
struct Counter128 {
  uint64_t low = 0;
  uint64_t high = 0;
  bool clamped() const { return high != 0; }
  uint64_t Clamped() const { return high != 0 ? UINT64_MAX : low; }
};

struct IdentifyController {
  uint16_t pciVendor = 0;        // VID
  uint16_t pciSubsystemVendor = 0;  // SSVID
  std::string serial;            // SN, trailing blanks cut
  std::string model;             // MN
  std::string firmware;          // FR
  uint8_t logPageAttributes = 0;  // LPA
  int warningTemperatureK = 0;   // WCTEMP, 0: not reported
  int criticalTemperatureK = 0;  // CCTEMP
  uint32_t namespaceCount = 0;   // NN
};

struct IdentifyNamespace {
  uint64_t size = 0;        // NSZE, in logical blocks
  uint64_t capacity = 0;    // NCAP
  unsigned formatCount = 0;  // NLBAF + 1
  unsigned formatIndex = 0;  // FLBAS bits 3:0 (with bits 6:5 for more than 16 formats)
  uint64_t blockBytes = 0;  // 2^LBADS of the format in use; 0 when LBADS is below 9 (invalid)
};

// Temperatures are kelvin as the page gives them; 0 means "not reported".
struct SmartHealth {
  uint8_t criticalWarning = 0;
  int compositeTemperatureK = 0;
  unsigned availableSpare = 0;           // percent; may exceed 100 as the controller reports it
  unsigned availableSpareThreshold = 0;  // percent
  unsigned percentageUsed = 0;           // percent; 255 means 255 % or more
  Counter128 dataUnitsRead;              // units of 1000 x 512 bytes
  Counter128 dataUnitsWritten;
  Counter128 hostReadCommands;
  Counter128 hostWriteCommands;
  Counter128 controllerBusyMinutes;
  Counter128 powerCycles;
  Counter128 powerOnHours;
  Counter128 unsafeShutdowns;
  Counter128 mediaErrors;
  Counter128 errorLogEntries;
  uint32_t warningTemperatureMinutes = 0;
  uint32_t criticalTemperatureMinutes = 0;
  std::vector<int> sensorTemperaturesK;  // the reported sensors 1..8 (0 entries left out)
};

// Critical-warning bits of the SMART / Health log.
constexpr uint8_t kWarnSpare = 0x01;
constexpr uint8_t kWarnTemperature = 0x02;
constexpr uint8_t kWarnReliability = 0x04;
constexpr uint8_t kWarnReadOnly = 0x08;
constexpr uint8_t kWarnVolatileBackup = 0x10;

// The temperature statistics page: 64-bit words, word 0 the current temperature in degrees
// Celsius, word 11 the estimated offset of that reading.
struct TemperatureStatistics {
  int64_t currentCelsius = 0;
  int64_t offsetCelsius = 0;
};

// The SMART attributes page: 12-byte entries (identifier, two reserved bytes, normalized value,
// one reserved byte, 6-byte raw value, one reserved byte); identifier 0 ends the table.
struct SmartAttribute {
  uint8_t id = 0;
  unsigned normalized = 0;
  uint64_t raw = 0;
};

// Each decoder returns false when `bytes` is shorter than its page and leaves `page` as it was.
[[nodiscard]] bool DecodeIdentifyController(const uint8_t* bytes, size_t size,
                                            IdentifyController& page);
[[nodiscard]] bool DecodeIdentifyNamespace(const uint8_t* bytes, size_t size,
                                           IdentifyNamespace& page);
[[nodiscard]] bool DecodeSmartHealth(const uint8_t* bytes, size_t size, SmartHealth& page);
[[nodiscard]] bool DecodeTemperatureStatistics(const uint8_t* bytes, size_t size,
                                               TemperatureStatistics& page);
[[nodiscard]] bool DecodeSmartAttributes(const uint8_t* bytes, size_t size,
                                         std::vector<SmartAttribute>& attributes);

// Degrees Celsius of a kelvin reading: whole kelvin less 273, as controllers report it.
int KelvinToCelsius(int kelvin);

// The counter as the tool prints it: "0x" and 16 upper-case hexadecimal digits, clamped.
std::string HexCounter(const Counter128& counter);

// A completion status (status code type and code, as the kernel hands it back) in words, e.g.
// "status 0x2002 (Invalid Log Page), do not retry".
std::string DescribeStatus(uint32_t status);

}  // namespace isdct
