// The physical-drive object: the storage medium beneath one adapter object. A value type held
// in the plug-in's drive list and guarded by the plug-in's data lock like the list.
#pragma once

#include <cstdint>
#include <string>

#include "PI.h"

namespace NAMESPACE_Varnock {

class CVedidEVUPhysicalDrive : public PI::CObject {
 public:
  // Equal when the host objects are equal and every field of the drive's field list is.
  bool operator==(const CVedidEVUPhysicalDrive& other) const;
  bool operator!=(const CVedidEVUPhysicalDrive& other) const { return !(*this == other); }

  int32_t m_AdapterNumber = -1;
  int32_t m_GlobalAdapterNumber = -1;
  std::string m_SerialNumber;
  std::string m_Vendor;
  std::string m_ModelNumber;
  std::string m_Name;
  std::string m_IdText;
  std::string m_DevicePath;
  int32_t m_Status = PI::STATUS_DRIVE_OK;
  int32_t m_SectorSize = 512;
  uint64_t m_UsableMiB = 0;
  uint64_t m_UsablePercent = 100;
  uint64_t m_CapacityMiB = 0;
  uint64_t m_ReportedCapacityMiB = 0;
  float m_Temperature = -1.0f;
};

}  // namespace NAMESPACE_Varnock
