#include <cstring>
#include <optional>

#include "module/errors.h"
#include "writer/python_inputs.h"
#include "writer/python_values.h"

namespace brivane {

namespace {

void copy_bytes(const char* data, Py_ssize_t size, SampleBytes& out) {
  out = SampleBytes(static_cast<std::size_t>(size));
  if (size > 0) std::memcpy(out.data(), data, static_cast<std::size_t>(size));
}

// A failed conversion attempt is forgotten, except an interrupt or exit
// request, which must not be lost: it ends the call.
std::optional<ModuleError> forget_failure() {
  if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit)) {
    return python_failure();
  }
  PyErr_Clear();
  return std::nullopt;
}

ModuleError data_refused() {
  if (std::optional<ModuleError> stop = forget_failure()) return std::move(*stop);
  return ModuleError::invalid_argument("data must be bytes-like");
}

// The bytes bytearray(data) would hold. Objects that bytearray() would read
// through the buffer protocol are copied straight from their buffer; the
// other cases (a count, an iterable of ints) go through bytearray() itself.
Status copy_data(PyObject* data, SampleBytes& out) {
  if (PyBytes_CheckExact(data)) {
    copy_bytes(PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data), out);
    return ok_status();
  }
  if (PyByteArray_CheckExact(data)) {
    copy_bytes(PyByteArray_AS_STRING(data), PyByteArray_GET_SIZE(data), out);
    return ok_status();
  }
  // bytearray() tries a str refusal, then the index protocol, then buffers.
  if (!PyUnicode_Check(data) && !PyIndex_Check(data) && PyObject_CheckBuffer(data)) {
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_FULL_RO) != 0) return data_refused();
    out = SampleBytes(static_cast<std::size_t>(view.len));
    int copied = view.len > 0 ? PyBuffer_ToContiguous(out.data(), &view, view.len, 'C') : 0;
    PyBuffer_Release(&view);
    if (copied != 0) return data_refused();
    return ok_status();
  }
  PyRef converted = PyRef::steal(PyByteArray_FromObject(data));
  if (!converted) return data_refused();
  copy_bytes(PyByteArray_AS_STRING(converted.get()), PyByteArray_GET_SIZE(converted.get()), out);
  return ok_status();
}

// An int value when `integer` fits 64 signed bits.
std::optional<MetadataValue> as_int64(PyObject* integer) {
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
  if (overflow != 0 || (value == -1 && PyErr_Occurred())) return std::nullopt;
  return MetadataValue(static_cast<std::int64_t>(value));
}

// The first of bool, int64, float, str that the value converts to; nullopt
// when none does. The integer and float attempts may run the value's own
// Python methods.
Result<std::optional<MetadataValue>> convert_value(PyObject* value) {
  using Converted = std::optional<MetadataValue>;
  if (std::optional<bool> flag = bool_value(value)) return Converted(*flag);
  if (PyLong_CheckExact(value)) {
    if (Converted integer = as_int64(value)) return integer;
  } else if (PyIndex_Check(value)) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (index) {
      if (Converted integer = as_int64(index.get())) return integer;
    }
  }
  if (PyErr_Occurred()) {
    if (std::optional<ModuleError> stop = forget_failure()) return std::move(*stop);
  }
  if (PyFloat_CheckExact(value)) return Converted(PyFloat_AS_DOUBLE(value));
  double real = PyFloat_AsDouble(value);
  if (real != -1.0 || !PyErr_Occurred()) return Converted(real);
  if (std::optional<ModuleError> stop = forget_failure()) return std::move(*stop);
  if (PyUnicode_Check(value)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text != nullptr) return Converted(std::string(text, static_cast<std::size_t>(size)));
    PyErr_Clear();
  }
  return Converted();
}

ModuleError size_changed() { return ModuleError::internal_fault("dictionary changed size during iteration"); }

// Walks the dict in place; value conversions can run Python code, so the
// entries are held while in use and a mutation is caught the way the dict's
// own iterator would catch it.
Status read_metadata(PyObject* dict, SampleMetadata& out) {
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  Py_ssize_t remaining = size;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (;;) {
    if (PyDict_GET_SIZE(dict) != size) return size_changed();
    if (!PyDict_Next(dict, &pos, &key, &value)) break;
    if (remaining == 0) return ModuleError::internal_fault("dictionary keys changed during iteration");
    --remaining;
    PyRef key_held = PyRef::borrow(key);
    PyRef value_held = PyRef::borrow(value);
    if (!PyUnicode_Check(key)) return ModuleError::invalid_argument("metadata keys must be strings");
    Py_ssize_t key_size = 0;
    const char* key_text = PyUnicode_AsUTF8AndSize(key, &key_size);
    if (key_text == nullptr) return python_failure();
    BRV_ASSIGN_OR_RETURN(std::optional<MetadataValue> converted, convert_value(value));
    if (!converted) return ModuleError::invalid_argument("metadata values must be bool, int, float, or str");
    out.emplace(std::string(key_text, static_cast<std::size_t>(key_size)), std::move(*converted));
  }
  return ok_status();
}

}  // namespace

Result<SampleInput> extract_sample(PyObject* item) {
  if (!PyTuple_Check(item)) return ModuleError::invalid_argument("CacheSource must yield CacheInput tuples");
  if (PyTuple_GET_SIZE(item) != 2) return ModuleError::invalid_argument("CacheInput must contain data and metadata");
  SampleInput sample;
  BRV_TRY(copy_data(PyTuple_GET_ITEM(item, 0), sample.data));
  PyObject* metadata = PyTuple_GET_ITEM(item, 1);
  if (!PyDict_Check(metadata)) return ModuleError::invalid_argument("metadata must be a dict");
  BRV_TRY(read_metadata(metadata, sample.metadata));
  return sample;
}

}  // namespace brivane
