#include "writer/python_values.h"

#include <cstring>

#include "module/args.h"
#include "module/errors.h"

namespace brivane {

Result<PyRef> get_attribute(PyObject* object, const char* name) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(object, name));
  if (!value) return python_failure();
  return value;
}

Result<std::uint64_t> to_u64(PyObject* object) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return python_failure();
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return python_failure();
  return static_cast<std::uint64_t>(value);
}

std::optional<bool> bool_value(PyObject* object) {
  if (PyBool_Check(object)) return object == Py_True;
  // NumPy's scalar type is "numpy.bool" (2.x) or "numpy.bool_" (1.x); matched
  // by name so that NumPy is never imported here.
  const char* name = Py_TYPE(object)->tp_name;
  if (std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0) {
    int truth = PyObject_IsTrue(object);
    if (truth >= 0) return truth == 1;
    PyErr_Clear();
  }
  return std::nullopt;
}

Result<bool> to_bool(PyObject* object) {
  if (std::optional<bool> value = bool_value(object)) return *value;
  raise_type_mismatch(object, "bool");
  return python_failure();
}

Result<std::string> to_utf8(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    raise_type_mismatch(object, "str");
    return python_failure();
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return python_failure();
  return std::string(text, static_cast<std::size_t>(size));
}

}  // namespace brivane
