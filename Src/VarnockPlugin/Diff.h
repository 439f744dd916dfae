// Change detection as a pure step: the objects of the last picture and those of a fresh scan in,
// the host events and the row changes out. It touches nothing but its arguments, so it is safe
// on any thread that owns them.
#pragma once

#include <cstdint>
#include <vector>

#include "CVedidEVUAdapter.h"
#include "CVedidEVUPhysicalDrive.h"
#include "PI.h"

namespace NAMESPACE_Varnock {

// What differs between two pictures of the system.
struct SystemChanges {
  std::vector<PI::CEvent> events;  // in the order they are raised
  // Rows to insert, rewrite or remove, as the objects stand for their rows.
  std::vector<CVedidEVUAdapter> appearedAdapters, changedAdapters, vanishedAdapters;
  std::vector<CVedidEVUPhysicalDrive> appearedDrives, changedDrives;
  uint32_t pluginChanges = 0;  // adapters that appeared or vanished
  bool changed = false;        // anything differs at all
};

// Compares the fresh scan with the last picture, matching objects by serial number. The drives
// of adapters that appeared take their adapter's global number in `fresh` too, as they are
// shown from then on.
[[nodiscard]] SystemChanges DiffSystem(const std::vector<CVedidEVUAdapter>& oldAdapters,
                                       const std::vector<CVedidEVUPhysicalDrive>& oldDrives,
                                       const std::vector<CVedidEVUAdapter>& freshAdapters,
                                       std::vector<CVedidEVUPhysicalDrive>& freshDrives);

}  // namespace NAMESPACE_Varnock
