// Module definition of _brivane: multi-phase initialisation with one execution
// step that registers the public names in their fixed order.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

int exec_module(PyObject* module) { return 0; }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_brivane", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__brivane(void) { return PyModuleDef_Init(&module_def); }
