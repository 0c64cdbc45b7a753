// The `parser` submodule and its function `parse`.
#pragma once

#include "python/common/py_ref.hpp"

namespace tarnwick::py {

// Creates the submodule "parser" holding `parse`. Throws ErrorAlreadySet.
PyRef create_parser_module();

}  // namespace tarnwick::py
