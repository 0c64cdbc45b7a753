// The `parser` submodule and its function `parse`.
#pragma once

#include "python/py_ref.hpp"

namespace tarnwick::py {

// Creates the submodule "parser" holding `parse`. Throws ErrorAlreadySet.
PyRef create_parser_module();

// Adds `value` to `module` under `name` and appends `name` to the module's
// `__all__` (created on first use). Throws ErrorAlreadySet.
void add_to_module(PyObject* module, const char* name, PyObject* value);

}  // namespace tarnwick::py
