// validate_source_paths(sources, base_cache_dir): the writer's duplicate
// destination check, offered to Python code that spreads sources over
// several processes.
#include <array>

#include "module/args.h"
#include "module/errors.h"
#include "module/registry.h"
#include "module/text_signature.h"
#include "writer/destination_check.h"
#include "writer/python_inputs.h"

namespace brivane {

Status check_destinations(PyObject* list, const std::string& base_cache_dir) {
  DestinationSet seen;
  const Py_ssize_t initial = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(list); ++i) {
    // Reading the name may run Python code that shrinks the list.
    PyRef entry = PyRef::borrow(PyList_GET_ITEM(list, i));
    Result<std::string> name = read_source_name(entry.get());
    if (!name.ok()) continue;  // reported per source by the writer's walk
    BRV_TRY(seen.add(base_cache_dir, name.value()));
  }
  return ok_status();
}

namespace {

PyObject* validate_source_paths(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guard_entry([&]() -> PyObject* {
    static const Parameters<2> params("validate_source_paths", {"sources", "base_cache_dir"});
    std::array<PyObject*, 2> a{};
    if (!params.match(args, kwargs, &a)) return nullptr;
    PyObject* sources = nullptr;
    std::string base_cache_dir;
    if (!arg_list(a[0], "sources", &sources)) return nullptr;
    if (!arg_str(a[1], "base_cache_dir", &base_cache_dir)) return nullptr;
    Status checked = check_destinations(sources, base_cache_dir);
    if (!checked.ok()) return raise_module_error(checked.error());
    Py_RETURN_NONE;
  });
}

PyMethodDef functions[] = {
    {"validate_source_paths", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(validate_source_paths)),
     METH_VARARGS | METH_KEYWORDS,
     BRV_DOC("validate_source_paths", "(sources, base_cache_dir)",
             "Share native destination validation with Python source-level process orchestration.")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_validate_source_paths(PyObject* module) {
  return PyModule_AddFunctions(module, functions);
}

}  // namespace brivane
