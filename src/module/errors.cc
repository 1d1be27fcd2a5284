#include "module/errors.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "module/process_cell.h"

namespace brivane {
namespace {

constexpr const char* kInternalFaultDoc =
    "Raised when native code called from Python fails unrecoverably.\n"
    "\n"
    "Like SystemExit, it derives from BaseException so that it normally\n"
    "propagates all the way up and ends the interpreter.";

ProcessCell internal_fault_cell;

PyObject* create_internal_fault() {
  PyRef type = PyRef::steal(PyErr_NewExceptionWithDoc("_brivane.InternalFault", kInternalFaultDoc,
                                                      PyExc_BaseException, nullptr));
  if (!type) return nullptr;
  // The class stays out of the _brivane namespace; this small module is where
  // Python code finds it.
  PyRef holder = PyRef::steal(PyModule_New("_brivane_internal"));
  if (!holder) return nullptr;
  if (PyModule_AddObjectRef(holder.get(), "InternalFault", type.get()) < 0) return nullptr;
  if (PyDict_SetItemString(PyImport_GetModuleDict(), "_brivane_internal", holder.get()) < 0) return nullptr;
  return type.release();
}

PyObject* exception_class(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::InvalidArgument:
    case ErrorKind::InvalidCache:
      return PyExc_ValueError;
    case ErrorKind::Io:
    case ErrorKind::Json:
    case ErrorKind::Arrow:
    case ErrorKind::PythonError:
    case ErrorKind::WorkerFailed:
      return PyExc_RuntimeError;
    case ErrorKind::PythonInterrupt:
      return PyExc_KeyboardInterrupt;
    case ErrorKind::PythonExit:
      return PyExc_SystemExit;
    case ErrorKind::InternalFault:
      return internal_fault_type();
  }
  return internal_fault_type();
}

// Raises `cls(text)` as an instance, so that the argument tuple is exactly
// (text,) whatever the class does with a bare value.
void raise_with_text(PyObject* cls, const char* text, Py_ssize_t size) {
  // Texts carry OS messages and paths; undecodable bytes must not hide the error.
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(text, size, "replace"));
  if (!message) return;
  PyRef exc = PyRef::steal(PyObject_CallOneArg(cls, message.get()));
  if (!exc) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

std::string type_qualname(PyObject* type) {
  if (!PyType_Check(type)) return "<unknown exception type>";
  PyRef qualname = PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
  const char* utf8 = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
  if (utf8 != nullptr) return utf8;
  PyErr_Clear();
  return reinterpret_cast<PyTypeObject*>(type)->tp_name;
}

// str(exc) as UTF-8; lone surrogates are escaped rather than losing the text.
bool exception_str(PyObject* value, std::string* out) {
  PyRef text = PyRef::steal(PyObject_Str(value));
  PyRef utf8 = text ? PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace")) : PyRef();
  if (!utf8) {
    PyErr_Clear();
    return false;
  }
  out->assign(PyBytes_AS_STRING(utf8.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(utf8.get())));
  return true;
}

}  // namespace

PyObject* internal_fault_type() { return internal_fault_cell.get(create_internal_fault); }

PyObject* raise_module_error(const ModuleError& error) {
  PyObject* cls = exception_class(error.kind());
  if (cls == nullptr) return nullptr;  // creating InternalFault failed; that error is set
  const std::string text = error.text();
  raise_with_text(cls, text.data(), static_cast<Py_ssize_t>(text.size()));
  return nullptr;
}

ModuleError python_failure() {
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  if (raw_type == nullptr) return ModuleError::internal_fault("a Python call failed without setting an exception");
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  const PyRef type = PyRef::steal(raw_type);
  const PyRef value = PyRef::steal(raw_value);
  const PyRef traceback = PyRef::steal(raw_traceback);

  std::string text = type_qualname(type.get()) + ": ";
  std::string str_text;
  text += exception_str(value.get(), &str_text) ? str_text : "<exception str() failed>";

  ErrorKind kind = ErrorKind::PythonError;
  if (PyErr_GivenExceptionMatches(type.get(), PyExc_KeyboardInterrupt)) {
    kind = ErrorKind::PythonInterrupt;
  } else if (PyErr_GivenExceptionMatches(type.get(), PyExc_SystemExit)) {
    kind = ErrorKind::PythonExit;
  }
  return ModuleError(kind, std::move(text));
}

void raise_cpp_exception() {
  // No allocation here: the exception may be bad_alloc itself.
  const char* text = "unknown C++ exception";
  try {
    throw;
  } catch (const std::bad_alloc&) {
    text = "out of memory";
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
  }
  if (PyObject* cls = internal_fault_type()) raise_with_text(cls, text, static_cast<Py_ssize_t>(std::strlen(text)));
}

}  // namespace brivane
