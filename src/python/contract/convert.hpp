// Native values -> fresh Python objects. A failed host call while building a
// result ends the call with PanicException naming that call.
#pragma once

#include <string_view>
#include <vector>

#include "common/import_stmt.hpp"
#include "common/module_spec.hpp"
#include "python/common/py_ref.hpp"

namespace tarnwick::py {

PyRef to_py_str(std::string_view text);

// {"type": "import", "names": [...]} / {"type": "import_from", "module": ...,
// "level": ..., "names": [...]}; absent values and empty name lists leave
// their key out.
PyRef import_to_dict(const ImportStmt& stmt);
PyRef imports_to_list(const ImportList& stmts);
PyRef alias_vec_to_list(Names aliases);

// {"name": ..., "origin": str or None}
PyRef spec_to_dict(const ModuleSpec& spec);

// A new set / list of str from any range of string-like values.
template <class Range>
PyRef to_py_set(const Range& names);

}  // namespace tarnwick::py

#include "python/common/errors.hpp"

namespace tarnwick::py {

template <class Range>
PyRef to_py_set(const Range& names) {
  PyRef set = check_build(PySet_New(nullptr), "PySet_New");
  for (const auto& name : names) {
    PyRef item = to_py_str(std::string_view(name));
    check_build_status(PySet_Add(set.get(), item.get()), "PySet_Add");
  }
  return set;
}

}  // namespace tarnwick::py
