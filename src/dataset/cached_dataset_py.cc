// CachedDataset: the Python object holding one DatasetCore.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "dataset/dataset_core.h"
#include "dataset/dataset_iterator_py.h"
#include "dataset/dataset_open.h"
#include "dataset/sampling_state.h"
#include "module/args.h"
#include "module/errors.h"
#include "module/py_ref.h"
#include "module/registry.h"
#include "module/text_signature.h"
#include "runtime/worker_pool.h"
#include "table/table_methods_py.h"

namespace brivane {
namespace {

struct DatasetObject {
  PyObject_HEAD
  std::shared_ptr<DatasetCore> core;
};

DatasetCore& core_of(PyObject* self) { return *reinterpret_cast<DatasetObject*>(self)->core; }

PyObject* dataset_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_entry([&]() -> PyObject* {
    static const Parameters<6> params(
        "CachedDataset", {"runtime", "paths", "seed", "prefetch_size", "shuffle", "validate_cache"});
    std::array<PyObject*, 6> values{};
    if (!params.match(args, kwargs, &values)) return nullptr;
    std::shared_ptr<WorkerPool> pool;
    std::uint64_t num_workers = 0;
    std::vector<std::string> paths;
    DatasetSettings settings;
    if (!arg_runtime(values[0], "runtime", &pool, &num_workers) || !arg_paths(values[1], "paths", &paths) ||
        !arg_u64(values[2], "seed", &settings.seed) ||
        !arg_u64(values[3], "prefetch_size", &settings.prefetch_size) ||
        !arg_bool(values[4], "shuffle", &settings.shuffle) ||
        !arg_bool(values[5], "validate_cache", &settings.validate_cache)) {
      return nullptr;
    }
    Result<std::shared_ptr<DatasetCore>> core = open_dataset(std::move(pool), num_workers, paths, settings);
    if (!core.ok()) return raise_module_error(core.error());
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<DatasetObject*>(self)->core) std::shared_ptr<DatasetCore>(std::move(core).value());
    return self;
  });
}

void dataset_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Iterators keep what they read (pool, caches, offsets) on their own.
  reinterpret_cast<DatasetObject*>(self)->core.~shared_ptr<DatasetCore>();
  type->tp_free(self);
  Py_DECREF(type);
}

Py_ssize_t dataset_len(PyObject* self) {
  return guard_entry([&]() -> Py_ssize_t {
    Result<std::uint64_t> len = with_sampling_state(
        core_of(self), [](SamplingState& sampling) -> Result<std::uint64_t> { return sampling.epoch_len; });
    if (!len.ok()) {
      raise_module_error(len.error());
      return -1;
    }
    if (len.value() > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetNone(PyExc_OverflowError);
      return -1;
    }
    return static_cast<Py_ssize_t>(len.value());
  });
}

PyObject* dataset_iter(PyObject* self) {
  return guard_entry([&]() -> PyObject* { return iterate_dataset(core_of(self)); });
}

PyObject* dataset_set_epoch_len(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard_entry([&]() -> PyObject* {
    static const Parameters<1> params("set_epoch_len", {"epoch_len"});
    std::array<PyObject*, 1> values{};
    if (!params.match(args, kwargs, &values)) return nullptr;
    std::uint64_t epoch_len = 0;
    if (!arg_u64(values[0], "epoch_len", &epoch_len)) return nullptr;
    // A zero is refused before the lock, whatever state the lock is in.
    if (epoch_len == 0) return raise_module_error(ModuleError::invalid_argument("epoch_len must be at least 1"));
    Status set = with_sampling_state(core_of(self),
                                     [&](SamplingState& sampling) { return set_epoch_len(sampling, epoch_len); });
    if (!set.ok()) return raise_module_error(set.error());
    Py_RETURN_NONE;
  });
}

PyObject* dataset_metadata_ipc_method(PyObject* self, PyObject*) {
  return guard_entry([&]() -> PyObject* { return dataset_metadata_ipc(core_of(self)); });
}

// Both replacement methods take one argument, `ipc`, as bytes.
PyObject* update_with(PyObject* self, PyObject* args, PyObject* kwargs, const Parameters<1>& params) {
  std::array<PyObject*, 1> values{};
  if (!params.match(args, kwargs, &values)) return nullptr;
  PyObject* ipc = nullptr;
  if (!arg_bytes(values[0], "ipc", &ipc)) return nullptr;
  return dataset_update_metadata_ipc(core_of(self), ipc);
}

PyObject* dataset_update_metadata_ipc_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard_entry([&]() -> PyObject* {
    static const Parameters<1> params("update_metadata_ipc", {"ipc"});
    return update_with(self, args, kwargs, params);
  });
}

PyObject* dataset_set_samples_metadata_ipc_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard_entry([&]() -> PyObject* {
    static const Parameters<1> params("set_samples_metadata_ipc", {"ipc"});
    return update_with(self, args, kwargs, params);
  });
}

PyMethodDef dataset_methods[] = {
    {"metadata_ipc", dataset_metadata_ipc_method, METH_NOARGS, kMetadataIpcDoc},
    {"samples_metadata_ipc", dataset_metadata_ipc_method, METH_NOARGS, kSamplesMetadataIpcDoc},
    {"update_metadata_ipc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                dataset_update_metadata_ipc_method)),
     METH_VARARGS | METH_KEYWORDS, kUpdateMetadataIpcDoc},
    {"set_samples_metadata_ipc",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dataset_set_samples_metadata_ipc_method)),
     METH_VARARGS | METH_KEYWORDS, kSetSamplesMetadataIpcDoc},
    {"set_epoch_len", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dataset_set_epoch_len)),
     METH_VARARGS | METH_KEYWORDS,
     BRV_DOC("set_epoch_len", "($self, epoch_len)", "Set the finite number of samples emitted by future iterators.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot dataset_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(dataset_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dataset_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(dataset_iter)},
    {Py_sq_length, reinterpret_cast<void*>(dataset_len)},
    {Py_tp_methods, dataset_methods},
    {Py_tp_doc, const_cast<char*>(
                    BRV_DOC("CachedDataset", "(runtime, paths, seed, prefetch_size, shuffle, validate_cache)", ""))},
    {0, nullptr},
};

PyType_Spec dataset_spec = {
    "_brivane.CachedDataset",
    static_cast<int>(sizeof(DatasetObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    dataset_slots,
};

}  // namespace

int add_cached_dataset(PyObject* module) {
  PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &dataset_spec, nullptr));
  if (!type) return -1;
  return PyModule_AddObjectRef(module, "CachedDataset", type.get());
}

}  // namespace brivane
