// The entry point of tarnwick_graph._native, the exact engine's private
// module, built from the same core and binding layer as tarnwick. It is
// initialised in phases: each module object (one per interpreter) creates
// its own classes and error class into its state.
#include "python/exact/exact_types.hpp"

namespace tarnwick::py {

namespace {

PyMethodDef kFunctions[] = {
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exact_scan)), METH_FASTCALL,
     "scan(text, statement=None, alias=None, site=None, /) -> the import statements of a "
     "text\n\n"
     "Each statement is (is_from, module, level, ((name, asname), ...), line, context), or,\n"
     "given the three tuple classes, statement(is_from, module, level, (alias(name, asname),\n"
     "...), site(line, in_function, in_class, guarded, type_checking))."},
    {"render", exact_render, METH_VARARGS,
     "render(format, names, kinds, origins, depths, imports, roots, indent, /) -> str\n\n"
     "A graph given as tables (modules by index, imports and roots as indices) as \"json\"\n"
     "or \"dot\" text."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exact_exec)},
#ifdef Py_mod_multiple_interpreters
    // Nothing is shared between module objects but native code that is
    // safe on any thread, so each interpreter may have its own lock.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef exact_module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwick_graph._native",
    "The exact engine's native core; use the tarnwick_graph package.",
    sizeof(ExactState),
    kFunctions,
    kSlots,
    exact_traverse,
    exact_clear,
    exact_free,
};

}  // namespace tarnwick::py

PyMODINIT_FUNC PyInit__native() {
  return PyModuleDef_Init(&tarnwick::py::exact_module_def);
}
