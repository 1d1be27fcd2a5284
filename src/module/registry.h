// The names the module's execution step adds, one function each, called in
// this order. Each returns 0, or -1 with a Python exception set (the import
// then fails with it).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace brivane {

int add_write_cache(PyObject* module);
int add_validate_source_paths(PyObject* module);
int add_dataset_runtime(PyObject* module);
int add_cached_dataset(PyObject* module);

}  // namespace brivane
