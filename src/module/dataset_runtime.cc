#include "module/dataset_runtime.h"

#include <array>
#include <new>
#include <utility>

#include "module/args.h"
#include "module/errors.h"
#include "module/py_ref.h"
#include "module/registry.h"
#include "module/text_signature.h"
#include "runtime/worker_pool.h"

namespace brivane {
namespace {

struct RuntimeObject {
  PyObject_HEAD
  std::shared_ptr<WorkerPool> pool;
  std::uint64_t num_workers;
};

RuntimeObject* as_runtime(PyObject* object) { return reinterpret_cast<RuntimeObject*>(object); }

PyObject* runtime_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_entry([&]() -> PyObject* {
    static const Parameters<1> params("DatasetRuntime", {"num_workers"});
    std::array<PyObject*, 1> values{};
    if (!params.match(args, kwargs, &values)) return nullptr;
    std::uint64_t num_workers = 0;
    if (!arg_u64(values[0], "num_workers", &num_workers)) return nullptr;
    if (num_workers == 0) {
      return raise_module_error(ModuleError::invalid_argument("num_workers must be greater than zero"));
    }
    Result<std::shared_ptr<WorkerPool>> pool = WorkerPool::start(num_workers);
    if (!pool.ok()) return raise_module_error(pool.error());
    // If allocation fails the pool is dropped here and its threads wind down.
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_runtime(self)->pool) std::shared_ptr<WorkerPool>(std::move(pool).value());
    as_runtime(self)->num_workers = num_workers;
    return self;
  });
}

void runtime_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Releasing the pool never waits: the workers are detached and finish the
  // queue on their own.
  as_runtime(self)->pool.~shared_ptr<WorkerPool>();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot runtime_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(runtime_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(runtime_dealloc)},
    {Py_tp_doc, const_cast<char*>(BRV_DOC("DatasetRuntime", "(num_workers)", ""))},
    {0, nullptr},
};

PyType_Spec runtime_spec = {
    "_brivane.DatasetRuntime",
    static_cast<int>(sizeof(RuntimeObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    runtime_slots,
};

}  // namespace

bool is_dataset_runtime(PyObject* object) {
  // Each module object makes its own type, so the check is by layout: some
  // class in the MRO was made from runtime_spec. Python subclasses replace
  // tp_dealloc, but their MRO still holds the native base.
  PyObject* mro = Py_TYPE(object)->tp_mro;
  if (mro == nullptr) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (base->tp_dealloc == runtime_dealloc) return true;
  }
  return false;
}

const std::shared_ptr<WorkerPool>& runtime_pool(PyObject* runtime) { return as_runtime(runtime)->pool; }

std::uint64_t runtime_num_workers(PyObject* runtime) { return as_runtime(runtime)->num_workers; }

int add_dataset_runtime(PyObject* module) {
  PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &runtime_spec, nullptr));
  if (!type) return -1;
  return PyModule_AddObjectRef(module, "DatasetRuntime", type.get());
}

}  // namespace brivane
