// The two operations on a dataset's active sample table that Python reaches:
// exporting it as Arrow IPC file bytes and installing a checked replacement.
#pragma once

#include <cstdint>
#include <span>

#include "dataset/dataset_core.h"
#include "runtime/error.h"
#include "table/default_export.h"

namespace brivane {

// Writes the active table to `destination`: the stored replacement's bytes
// unchanged, or else the default table built from the caches. The sampling
// lock is held throughout; the state is never changed.
Status export_active_table(DatasetCore& core, const IpcDestination& destination);

// Checks `ipc` without the lock, then, only if every check passed, installs
// it with a copy of the bytes and restarts both sampling counters.
Status replace_active_table(DatasetCore& core, std::span<const std::uint8_t> ipc);

}  // namespace brivane
