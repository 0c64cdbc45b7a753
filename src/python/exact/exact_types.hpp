// The exact engine's private module: its error class, its classes and its
// scan function.
#pragma once

#include "python/common/py_ref.hpp"

namespace tarnwick::py {

// tarnwick_graph.Error (an Exception), created on first use; NULL with an
// error set on failure.
PyObject* exact_error_type() noexcept;

PyTypeObject* exact_builder_type() noexcept;
PyTypeObject* exact_graph_type() noexcept;
PyTypeObject* exact_chains_type() noexcept;

// scan(text) -> [(is_from, module, level, ((name, asname), ...), line, context), ...]
PyObject* exact_scan(PyObject* module, PyObject* text) noexcept;

// render(format, names, kinds, origins, depths, imports, roots, indent) ->
// a graph given as tables, as "json" or "dot" text
PyObject* exact_render(PyObject* module, PyObject* args) noexcept;

}  // namespace tarnwick::py
