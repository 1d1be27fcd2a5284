// PyDatasetIterator: one epoch of a CachedDataset as Python tuples
// (data bytes, metadata dict, cache_id, sample_id).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "dataset/dataset_core.h"

namespace brivane {

// iter(dataset): plans the next epoch under the sampling lock, starts its
// read-ahead and returns a new iterator (new reference), or nullptr with the
// exception set. The iterator type is created on the first call in the process.
PyObject* iterate_dataset(DatasetCore& core);

}  // namespace brivane
