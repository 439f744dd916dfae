// The adapter object: the NVMe controller of one drive as the host sees it. A value type held
// in the plug-in's adapter list; it is guarded by the plug-in's data lock like the list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "AdapterInfo.h"
#include "PI.h"

namespace NAMESPACE_Varnock {

constexpr uint64_t kUnknown64 = ~0ULL;  // "no value" of the 64-bit counters

class CVedidEVUAdapter : public PI::CObject {
 public:
  // Equal when the host objects are equal and every field of the adapter's field list is (all
  // but the end-of-life date).
  bool operator==(const CVedidEVUAdapter& other) const;
  bool operator!=(const CVedidEVUAdapter& other) const { return !(*this == other); }

  // Compares the known adapter `old` with its new picture `fresh` and appends the events for
  // critical-warning bits that became set, or for warnings that cleared; raises old's change count.
  static void Update(CVedidEVUAdapter& old, const CVedidEVUAdapter& fresh,
                     std::vector<PI::CEvent>& events);

  int32_t m_AdapterNumber = 0;
  int32_t m_GlobalAdapterNumber = 0;
  std::string m_SerialNumber;
  std::string m_Vendor;
  std::string m_ModelNumber;
  std::string m_Name;
  std::string m_LocationText;
  std::string m_DriverName;
  std::string m_DriverVersion;
  std::string m_Firmware;
  std::string m_Bootloader;
  std::string m_DevicePath;
  uint64_t m_Segment = 0;
  uint64_t m_Bus = 0;
  uint64_t m_Device = 0;
  uint64_t m_Function = 0;
  uint32_t m_CriticalWarnings = 0;
  uint64_t m_SpareLevel = 100;
  int32_t m_PercentageUsed = 0;
  uint64_t m_MediaErrors = 0;
  float m_Temperature = -1.0f;
  int32_t m_Status = PI::STATUS_OK;
  std::vector<int32_t> m_Warnings;
  int32_t m_SpareState = PI::SPARE_NORMAL;
  uint64_t m_DataUnitsRead = kUnknown64;
  uint64_t m_DataUnitsWritten = kUnknown64;
  uint64_t m_PowerOnHours = kUnknown64;
  int32_t m_AvailableSpare = 100;
  uint64_t m_RatedEndurance = kUnknown64;
  int32_t m_SmartState = PI::SMART_OK;
  int32_t m_SpareThreshold = 10;
  std::string m_RawModelNumber;
  std::string m_EndOfLifeDate;
};

// Sets the health values the light pass refreshes (those of the field list with a health
// source) from a drive's health record.
void ApplyHealth(const HealthInfo& health, CVedidEVUAdapter& adapter);

// True for model numbers whose first 12 characters are "INTEL SSDPED" or "INTEL SSDPEC".
bool IsSupportedModel(const std::string& model);
// The model number shown to the host: without a leading "INTEL" (any case) and the character
// after it.
std::string ModelText(const std::string& model);
// The estimated end-of-life date "YYYY-MM-DD": today plus the hours of life left that the
// adapter's power-on hours, units written, percentage used and rated endurance predict.
std::string EndOfLifeDate(const CVedidEVUAdapter& adapter);

}  // namespace NAMESPACE_Varnock
