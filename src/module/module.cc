// Module definition of _brivane: multi-phase initialisation with one execution
// step that registers the public names in their fixed order.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/errors.h"
#include "module/registry.h"

namespace {

using Registration = int (*)(PyObject*);

constexpr Registration registrations[] = {
    brivane::add_write_cache,
    brivane::add_validate_source_paths,
    brivane::add_dataset_runtime,
    brivane::add_cached_dataset,
};

int exec_module(PyObject* module) {
  return brivane::guard_entry([&]() -> int {
    // InternalFault exists before any entry point can need it, and
    // _brivane_internal is importable as soon as _brivane is.
    if (brivane::internal_fault_type() == nullptr) return -1;
    for (Registration add : registrations) {
      if (add(module) < 0) return -1;
    }
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_brivane", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__brivane(void) { return PyModuleDef_Init(&module_def); }
