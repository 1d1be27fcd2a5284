// The replacement population Python installs: which physical samples later
// iterators draw, with which weights, and the exact table bytes it came as.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace brivane {

// Physical index of each active row, shared by every iterator made from it.
using PhysicalRows = std::shared_ptr<const std::vector<std::uint64_t>>;

struct ActiveTableOverride {
  // Equal lengths, at least one row; every row below the physical count and
  // every weight finite and positive (the replacement checks all of this).
  PhysicalRows rows;
  std::shared_ptr<const std::vector<double>> weights;
  // The accepted Arrow IPC file bytes, handed back unchanged by every export.
  std::shared_ptr<const std::string> ipc;
};

}  // namespace brivane
