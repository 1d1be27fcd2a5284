// The crossing between ModuleError values and Python exceptions, in both
// directions, and the guard that keeps C++ exceptions out of the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <type_traits>
#include <utility>

#include "module/py_ref.h"
#include "runtime/error.h"

namespace brivane {

// Sets the Python exception of the error's kind, constructed with exactly one
// argument, error.text(). Always returns nullptr, so an entry point can
// `return raise_module_error(e);`.
//   InvalidArgument, InvalidCache            -> ValueError
//   Io, Json, Arrow, PythonError, WorkerFailed -> RuntimeError
//   PythonInterrupt -> KeyboardInterrupt, PythonExit -> SystemExit
//   InternalFault   -> InternalFault
PyObject* raise_module_error(const ModuleError& error);

// Takes the pending Python exception (raised by user code the module called)
// and turns it into a ModuleError; the exception and its traceback are dropped.
// The text is "{type.__qualname__}: {str(exc)}", e.g. "ValueError: boom" or
// "Outer.MyError: boom", without the defining module: the text names the type
// the way it was written in its class statement. KeyboardInterrupt and its
// subclasses become PythonInterrupt, SystemExit PythonExit, anything else
// PythonError. With no exception pending the result is an InternalFault.
ModuleError python_failure();

// The InternalFault class (borrowed reference, or nullptr with an exception
// set): derives directly from BaseException, qualified "_brivane.InternalFault".
// Created once per process together with the module "_brivane_internal", which
// is placed in sys.modules and holds it as `InternalFault`.
PyObject* internal_fault_type();

// Raises InternalFault for the C++ exception being handled. Call only inside
// a catch block.
void raise_cpp_exception();

// What an entry point of each return type gives back to signal an exception.
template <class R>
constexpr R entry_failure() {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    static_assert(std::is_integral_v<R>, "entry points return a pointer or an integer");
    return static_cast<R>(-1);
  }
}

// Runs an entry point's body, turning any escaping C++ exception into
// InternalFault:  return guard_entry([&] { ... return PyObject* or int; });
template <class Body>
auto guard_entry(Body&& body) noexcept -> decltype(body()) {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    raise_cpp_exception();
    return entry_failure<decltype(body())>();
  }
}

// An operation's result handed to Python: the object, or its error raised.
inline PyObject* to_python(Result<PyRef> result) {
  if (!result.ok()) return raise_module_error(result.error());
  return std::move(result).value().release();
}

}  // namespace brivane
