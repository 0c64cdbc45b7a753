// Module spec lookup through the host's importlib.util.find_spec.
#pragma once

#include <optional>
#include <string_view>

#include "common/module_spec.hpp"
#include "python/common/py_ref.hpp"

namespace tarnwick::py {

// Reads name, origin, parent and submodule_search_locations from `obj`, in
// that order. An attribute that cannot be read fails with the error reading
// raised; a value of the wrong type with TypeError "failed to extract field
// ModuleSpec.<field>" caused by the conversion error. Throws ErrorAlreadySet.
ModuleSpec extract_spec(PyObject* obj);

// Asks the host where the absolute module `name` lives. Every error yields
// no spec and leaves no Python error set, except KeyboardInterrupt, which
// stays set and ends the caller's operation (ErrorAlreadySet is thrown).
std::optional<ModuleSpec> find_spec(std::string_view name);

}  // namespace tarnwick::py
