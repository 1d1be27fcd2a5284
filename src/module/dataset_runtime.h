// DatasetRuntime: the Python object that owns a share of a WorkerPool.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>

namespace brivane {

class WorkerPool;

// True if `object` is a DatasetRuntime, of any module object, or of a subclass.
bool is_dataset_runtime(PyObject* object);

// The pool and worker count of an object for which is_dataset_runtime holds.
const std::shared_ptr<WorkerPool>& runtime_pool(PyObject* runtime);
std::uint64_t runtime_num_workers(PyObject* runtime);

}  // namespace brivane
