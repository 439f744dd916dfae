// The system scan as a pure step: an inventory record (with its health) and the objects known
// so far in, one adapter and one drive object out. Known drives keep their
// identifiers and change counts; new ones take identifiers from the caller. Besides its
// arguments it reads only the host's PCI tree and driver versions, so it is safe on any thread
// that owns the lists it is given.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "AdapterInfo.h"
#include "CVedidEVUAdapter.h"
#include "CVedidEVUPhysicalDrive.h"
#include "PI.h"

namespace NAMESPACE_Varnock {

// What the scan needs besides the records.
struct ScanContext {
  // The objects of the last scan; null on the first scan, when every object is new.
  const std::vector<CVedidEVUAdapter>* knownAdapters = nullptr;
  const std::vector<CVedidEVUPhysicalDrive>* knownDrives = nullptr;
  // The host's adapter numbers (an adapter the host has numbered gets its name).
  const std::vector<PI::CAdapterID>* adapterIds = nullptr;
  // Hands out the identifier of a new object.
  std::function<uint64_t()> nextId;
  // The version of a driver by its module name.
  std::function<std::string(const std::string&)> driverVersion;
};

// The adapter and the drive beneath it that one record (with its health) describes.
struct ScannedDrive {
  CVedidEVUAdapter adapter;
  CVedidEVUPhysicalDrive drive;
};
ScannedDrive ScanRecord(const AdapterInfo& info, const ScanContext& context);

// The host's model name for a PCI function and device code.
std::string ModelName(uint64_t function, uint64_t device);

// True when the host has numbered the adapter's PCI location.
bool IsNumbered(const CVedidEVUAdapter& adapter, const PI::CAdapterID& id);

}  // namespace NAMESPACE_Varnock
