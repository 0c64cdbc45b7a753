// The exact engine's private module (tarnwick_graph._native): its error
// class and classes live in the module's state, so each module object (one
// per interpreter) has its own.
#pragma once

#include "python/common/py_ref.hpp"

namespace tarnwick::py {

// The module's definition, which its classes find their module by.
extern PyModuleDef exact_module_def;

// What each module object holds: strong references to its classes.
struct ExactState {
  PyObject* error;  // tarnwick_graph.Error
  PyTypeObject* builder;
  PyTypeObject* graph;
  PyTypeObject* chains;
};

// The slots of the definition above that make and release the state.
int exact_exec(PyObject* module) noexcept;
int exact_traverse(PyObject* module, visitproc visit, void* arg) noexcept;
int exact_clear(PyObject* module) noexcept;
void exact_free(void* module) noexcept;

// scan(text[, statement, alias, site]) -> the import statements of a text:
// tuples (is_from, module, level, ((name, asname), ...), line, context), or
// records of the three given tuple classes.
PyObject* exact_scan(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// render(format, names, kinds, origins, depths, imports, roots, indent) ->
// a graph given as tables, as "json" or "dot" text
PyObject* exact_render(PyObject* module, PyObject* args) noexcept;

}  // namespace tarnwick::py
