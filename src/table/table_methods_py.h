// The CachedDataset methods that hand the active sample table to Python and
// take a replacement back, both as Arrow IPC file bytes. The dataset type's
// method table calls these with the GIL held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "dataset/dataset_core.h"
#include "module/text_signature.h"

namespace brivane {

inline constexpr const char kMetadataIpcDoc[] =
    BRV_DOC("metadata_ipc", "($self)", "Return Arrow IPC metadata for the current active sample table.");
inline constexpr const char kSamplesMetadataIpcDoc[] = BRV_DOC(
    "samples_metadata_ipc", "($self)", "Return Arrow IPC metadata using the compatibility native method name.");
inline constexpr const char kUpdateMetadataIpcDoc[] =
    BRV_DOC("update_metadata_ipc", "($self, ipc)",
            "Replace the active metadata table after the native side has validated identities and weights.");
inline constexpr const char kSetSamplesMetadataIpcDoc[] = BRV_DOC(
    "set_samples_metadata_ipc", "($self, ipc)", "Replace metadata using the compatibility native method name.");

// The current active table as a new bytes object holding an Arrow IPC file:
// the stored replacement's bytes unchanged, or else the default table built
// from every cache's metadata. nullptr with an exception set on failure.
PyObject* dataset_metadata_ipc(DatasetCore& core);

// Validates `ipc_bytes` (a bytes object, checked by the caller) as a
// replacement table and installs it, restarting both sampling counters.
// Nothing changes unless every check passes. Returns a new reference to None,
// or nullptr with an exception set.
PyObject* dataset_update_metadata_ipc(DatasetCore& core, PyObject* ipc_bytes);

}  // namespace brivane
