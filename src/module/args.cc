#include "module/args.h"

#include <climits>
#include <cstring>

#include "module/dataset_runtime.h"
#include "module/process_cell.h"
#include "module/py_ref.h"

namespace brivane {
namespace {

ProcessCell sequence_abc_cell;

PyObject* import_sequence_abc() {
  PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
  if (!abc) return nullptr;
  return PyObject_GetAttrString(abc.get(), "Sequence");
}

// Either fails with the note or succeeds: the shape every converter returns.
bool noted(bool converted, const char* name) {
  if (!converted) note_argument(name);
  return converted;
}

bool is_numpy_bool(PyObject* object) {
  // Checked by name so that NumPy is never imported here; only NumPy's own
  // static type carries the dotted tp_name.
  const char* tp_name = Py_TYPE(object)->tp_name;
  return std::strcmp(tp_name, "numpy.bool_") == 0 || std::strcmp(tp_name, "numpy.bool") == 0;
}

bool convert_u64(PyObject* object, std::uint64_t* out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return false;
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (small == -1 && PyErr_Occurred()) return false;
  // The sign is checked here so that every negative value is an OverflowError.
  if (overflow < 0 || (overflow == 0 && small < 0)) {
    PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
    return false;
  }
  if (overflow == 0) {
    *out = static_cast<std::uint64_t>(small);
    return true;
  }
  const unsigned long long large = PyLong_AsUnsignedLongLong(index.get());
  if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = large;
  return true;
}

bool convert_bool(PyObject* object, bool* out) {
  if (!PyBool_Check(object) && !is_numpy_bool(object)) return raise_type_mismatch(object, "bool");
  const int truth = PyObject_IsTrue(object);
  if (truth < 0) return false;
  *out = truth != 0;
  return true;
}

bool convert_utf8(PyObject* text, std::string* out) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) return false;
  out->assign(utf8, static_cast<std::size_t>(size));
  return true;
}

bool convert_paths(PyObject* object, std::vector<std::string>* out) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "'str' object cannot be converted to a list of strings");
    return false;
  }
  if (!PySequence_Check(object)) {
    PyObject* sequence_abc = sequence_abc_cell.get(import_sequence_abc);
    if (sequence_abc == nullptr) return false;
    const int is_sequence = PyObject_IsInstance(object, sequence_abc);
    if (is_sequence < 0) return false;
    if (is_sequence == 0) return raise_type_mismatch(object, "Sequence");
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  std::vector<std::string> paths;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!PyUnicode_Check(item.get())) return raise_type_mismatch(item.get(), "str");
    std::string path;
    if (!convert_utf8(item.get(), &path)) return false;
    paths.push_back(std::move(path));
  }
  if (PyErr_Occurred()) return false;
  *out = std::move(paths);
  return true;
}

}  // namespace

std::string type_name(PyObject* object) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (utf8 != nullptr) return utf8;
  PyErr_Clear();
  const char* tp_name = Py_TYPE(object)->tp_name;
  const char* dot = std::strrchr(tp_name, '.');
  return dot != nullptr ? dot + 1 : tp_name;
}

bool raise_type_mismatch(PyObject* object, const char* expected) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", type_name(object).c_str(), expected);
  }
  return false;
}

void note_argument(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  if (value != nullptr) {
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", name));
    PyRef added = note ? PyRef::steal(PyObject_CallMethod(value, "add_note", "O", note.get())) : PyRef();
    if (!added) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

bool arg_u64(PyObject* object, const char* name, std::uint64_t* out) {
  return noted(convert_u64(object, out), name);
}

bool arg_bool(PyObject* object, const char* name, bool* out) { return noted(convert_bool(object, out), name); }

bool arg_paths(PyObject* object, const char* name, std::vector<std::string>* out) {
  return noted(convert_paths(object, out), name);
}

bool arg_runtime(PyObject* object, const char* name, std::shared_ptr<WorkerPool>* pool,
                 std::uint64_t* num_workers) {
  if (!is_dataset_runtime(object)) return noted(raise_type_mismatch(object, "DatasetRuntime"), name);
  *pool = runtime_pool(object);
  *num_workers = runtime_num_workers(object);
  return true;
}

bool arg_bytes(PyObject* object, const char* name, PyObject** out) {
  if (!PyBytes_Check(object)) return noted(raise_type_mismatch(object, "bytes"), name);
  *out = object;
  return true;
}

bool arg_str(PyObject* object, const char* name, std::string* out) {
  if (!PyUnicode_Check(object)) return noted(raise_type_mismatch(object, "str"), name);
  return noted(convert_utf8(object, out), name);
}

bool arg_list(PyObject* object, const char* name, PyObject** out) {
  if (!PyList_Check(object)) return noted(raise_type_mismatch(object, "list"), name);
  *out = object;
  return true;
}

}  // namespace brivane
