#include "table/table_methods_py.h"

#include <cstddef>
#include <cstdint>
#include <span>

#include "module/errors.h"
#include "module/py_ref.h"
#include "table/table_exchange.h"

namespace brivane {

PyObject* dataset_metadata_ipc(DatasetCore& core) {
  return guard_entry([&]() -> PyObject* {
    PyRef bytes;
    bool python_raised = false;
    // The file is written straight into the bytes object: its one copy.
    const Status exported = export_active_table(core, [&](std::size_t size) -> Result<std::uint8_t*> {
      if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        return ModuleError::invalid_argument("metadata IPC size overflowed usize");
      }
      bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
      if (!bytes) {
        python_raised = true;  // MemoryError stays the exception Python sees
        return ModuleError::internal_fault("bytes allocation failed");
      }
      return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
    });
    if (!exported.ok()) return python_raised ? nullptr : raise_module_error(exported.error());
    return bytes.release();
  });
}

PyObject* dataset_update_metadata_ipc(DatasetCore& core, PyObject* ipc_bytes) {
  return guard_entry([&]() -> PyObject* {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(ipc_bytes));
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(ipc_bytes));
    const Status replaced = replace_active_table(core, std::span<const std::uint8_t>(data, size));
    if (!replaced.ok()) return raise_module_error(replaced.error());
    Py_RETURN_NONE;
  });
}

}  // namespace brivane
