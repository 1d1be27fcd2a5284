// Small conversions of Python values met while reading a writer's inputs.
// Failures carry the Python exception converted the usual way (python_failure).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "module/py_ref.h"
#include "runtime/error.h"

namespace brivane {

// obj.name, a new reference.
Result<PyRef> get_attribute(PyObject* object, const char* name);

// An integer through the index protocol, as an unsigned 64-bit value.
Result<std::uint64_t> to_u64(PyObject* object);

// The value of a Python bool or a NumPy boolean scalar; nullopt for anything
// else (no exception set).
std::optional<bool> bool_value(PyObject* object);

// Like bool_value, but anything else is a TypeError.
Result<bool> to_bool(PyObject* object);

// The UTF-8 text of a str (subclasses included); anything else is a TypeError.
Result<std::string> to_utf8(PyObject* object);

}  // namespace brivane
