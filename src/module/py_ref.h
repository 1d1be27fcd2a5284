// An owning reference to a Python object. Every PyRef must be created, copied
// and destroyed with the GIL held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace brivane {

class PyRef {
 public:
  PyRef() noexcept = default;

  // Takes over a new reference (nullptr allowed, e.g. a failed call's result).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference of its own to a borrowed one.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller (e.g. as an entry point's return value).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept { Py_CLEAR(object_); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace brivane
