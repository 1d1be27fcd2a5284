// Matching Python call arguments to parameter lists and converting them.
//
// Every arg_* converter takes the argument's object and the parameter's name.
// On success it fills *out and returns true. On failure it leaves the
// conversion's own exception set, with the note "while processing '{name}'"
// added to it, and returns false. A type mismatch is a TypeError reading
// "'{type}' object is not an instance of '{expected}'" ("'None' is not an
// instance of '{expected}'" for None).
//
// Typical entry point (every parameter positional-or-keyword and required):
//   static const Parameters<2> params("validate_source_paths", {"sources", "base_cache_dir"});
//   std::array<PyObject*, 2> a;
//   if (!params.match(args, kwargs, &a)) return nullptr;
//   std::string base;
//   if (!arg_str(a[1], "base_cache_dir", &base)) return nullptr;
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace brivane {

class WorkerPool;

// A parameter list for a METH_VARARGS | METH_KEYWORDS function or a tp_new.
// Missing, surplus, duplicated and unexpected arguments fail with CPython's
// own TypeError wording, naming `callable`. Holds no Python objects, so it can
// be a function-local static.
template <std::size_t N>
class Parameters {
 public:
  Parameters(const char* callable, const std::array<const char*, N>& names)
      : format_(std::string(N, 'O') + ":" + callable) {
    for (std::size_t i = 0; i < N; ++i) keywords_[i] = const_cast<char*>(names[i]);
    keywords_[N] = nullptr;
  }

  // Fills `values` with borrowed references in parameter order.
  bool match(PyObject* args, PyObject* kwargs, std::array<PyObject*, N>* values) const {
    return match_impl(args, kwargs, values, std::make_index_sequence<N>{});
  }

 private:
  template <std::size_t... I>
  bool match_impl(PyObject* args, PyObject* kwargs, std::array<PyObject*, N>* values,
                  std::index_sequence<I...>) const {
    return PyArg_ParseTupleAndKeywords(args, kwargs, format_.c_str(), const_cast<char**>(keywords_.data()),
                                       &(*values)[I]...) != 0;
  }

  std::string format_;
  std::array<char*, N + 1> keywords_{};
};

// The name Python shows for the object's type (its __name__, e.g. "bool_").
std::string type_name(PyObject* object);

// Raises the TypeError for `object` not being an `expected`; returns false.
bool raise_type_mismatch(PyObject* object, const char* expected);

// Adds "while processing '{name}'" to the pending exception through its
// add_note method; if that fails, the exception is left as it was.
void note_argument(const char* name);

// int or any object with __index__ (True is 1). Negative or >= 2**64:
// OverflowError; not an integer: TypeError.
bool arg_u64(PyObject* object, const char* name, std::uint64_t* out);

// Exactly bool, or a NumPy boolean scalar. int and everything else: TypeError.
bool arg_bool(PyObject* object, const char* name, bool* out);

// A sequence (sequence protocol, or else collections.abc.Sequence) of str,
// as UTF-8 strings in iteration order. A str itself is refused.
bool arg_paths(PyObject* object, const char* name, std::vector<std::string>* out);

// A DatasetRuntime or subclass instance: its pool and worker count.
bool arg_runtime(PyObject* object, const char* name, std::shared_ptr<WorkerPool>* pool,
                 std::uint64_t* num_workers);

// bytes or a subclass; *out is borrowed.
bool arg_bytes(PyObject* object, const char* name, PyObject** out);

// str or a subclass, as UTF-8.
bool arg_str(PyObject* object, const char* name, std::string* out);

// list or a subclass; *out is borrowed.
bool arg_list(PyObject* object, const char* name, PyObject** out);

}  // namespace brivane
