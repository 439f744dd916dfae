// One drive as the vendor tool reports it: the inventory record and its health part. Plain
// values, copied into and out of the plug-in's adapter-info list.
#pragma once

#include <cstdint>
#include <string>

namespace NAMESPACE_Varnock {

struct HealthInfo {
  uint32_t criticalWarnings = 0;
  bool spareBelowThreshold = false;
  uint32_t temperatureWarning = 0;
  bool reliabilityDegraded = false;
  bool readOnlyMode = false;
  bool volatileBackupFailed = false;
  uint32_t availableSpare = 100;
  uint32_t availableSpareThreshold = 10;
  uint32_t percentageUsed = 0;
  uint64_t dataUnitsRead = 0;
  uint64_t dataUnitsWritten = 0;
  uint64_t powerOnHours = 0;
  uint64_t mediaErrors = 0;
  uint64_t capacityBytes = 0;
  int32_t currentTemperature = 10;
  int32_t temperatureOffset = 0;
  uint64_t normalizedEA = 100;
  uint64_t normalizedAD = 0;
};

struct AdapterInfo {
  uint64_t number = 0;
  uint32_t index = 0xFFFFFFFFu;
  std::string bootloader;
  std::string controllerDescription;
  bool controllerIdeMode = false;
  std::string controllerManufacturer;
  std::string controllerService;
  std::string devicePath;
  std::string deviceStatus;
  std::string driverDescription;
  std::string driverMajorVersion;
  std::string driverManufacturer;
  std::string driverMinorVersion;
  std::string errorString;
  std::string firmware;
  int32_t lbaFormat = 0;
  std::string productFamily;
  uint64_t maximumLba = 0;
  std::string modelNumber;
  uint64_t nativeMaxLba = 0;
  uint32_t numLbaFormats = 0;
  uint32_t nvmePowerState = 0;
  uint64_t physicalSize = 0;
  std::string powerGovernorMode;
  uint32_t sectorSize = 0;
  std::string serialNumber;
  uint32_t tempThreshold = 0;
  HealthInfo health;
};

}  // namespace NAMESPACE_Varnock
