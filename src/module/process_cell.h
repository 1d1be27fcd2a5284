// A process-wide slot for an interpreter object that is created on first use
// and kept for the life of the process (type objects, looked-up classes).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <mutex>

namespace brivane {

class ProcessCell {
 public:
  // The cell's object as a borrowed reference, creating it with `create` (which
  // returns a new reference or nullptr with an exception set) if it does not
  // exist yet. Call with the GIL held. A failed creation is retried next time.
  template <class Create>
  PyObject* get(Create&& create) {
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    // The GIL is let go while waiting for the lock: creation may run Python code
    // that releases the GIL, and a second first-user holding the GIL while
    // blocked on the lock would then deadlock the creator.
    Py_BEGIN_ALLOW_THREADS
    lock_.lock();
    Py_END_ALLOW_THREADS
    std::lock_guard<std::mutex> held(lock_, std::adopt_lock);
    PyObject* value = value_.load(std::memory_order_acquire);
    if (value == nullptr) {
      value = create();
      if (value != nullptr) value_.store(value, std::memory_order_release);
    }
    return value;
  }

  // The object if it has been created, else nullptr; never creates.
  PyObject* peek() const { return value_.load(std::memory_order_acquire); }

 private:
  std::atomic<PyObject*> value_{nullptr};
  std::mutex lock_;
};

}  // namespace brivane
