#include "python/contract/convert.hpp"

#include <type_traits>

#include "python/common/errors.hpp"

namespace tarnwick::py {
namespace {

// Dictionary keys, interned once for the life of the process.
struct Keys {
  PyObject* type;
  PyObject* names;
  PyObject* module;
  PyObject* level;
  PyObject* name;
  PyObject* asname;
  PyObject* origin;
  PyObject* import_value;
  PyObject* import_from_value;
};

const Keys& keys() {
  static Keys k = [] {
    auto intern = [](const char* text) {
      PyObject* s = PyUnicode_InternFromString(text);
      if (s == nullptr) check_build(nullptr, "PyUnicode_InternFromString");
      return s;
    };
    return Keys{intern("type"),   intern("names"),  intern("module"),
                intern("level"),  intern("name"),   intern("asname"),
                intern("origin"), intern("import"), intern("import_from")};
  }();
  return k;
}

void set_item(PyObject* dict, PyObject* key, PyObject* value) {
  check_build_status(PyDict_SetItem(dict, key, value), "PyDict_SetItem");
}

}  // namespace

PyRef to_py_str(std::string_view text) {
  return check_build(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr),
      "PyUnicode_DecodeUTF8");
}

PyRef alias_vec_to_list(Names aliases) {
  const Keys& k = keys();
  PyRef list = check_build(PyList_New(static_cast<Py_ssize_t>(aliases.size())), "PyList_New");
  Py_ssize_t i = 0;
  for (const Alias& alias : aliases) {
    PyRef dict = check_build(PyDict_New(), "PyDict_New");
    set_item(dict.get(), k.name, to_py_str(alias.name).get());
    if (!alias.asname.empty()) set_item(dict.get(), k.asname, to_py_str(alias.asname).get());
    PyList_SET_ITEM(list.get(), i++, dict.release());
  }
  return list;
}

PyRef import_to_dict(const ImportStmt& stmt) {
  const Keys& k = keys();
  PyRef dict = check_build(PyDict_New(), "PyDict_New");
  std::visit(
      [&](const auto& s) {
        using T = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<T, Import>) {
          set_item(dict.get(), k.type, k.import_value);
        } else {
          set_item(dict.get(), k.type, k.import_from_value);
          set_item(dict.get(), k.module, to_py_str(s.module).get());
          PyRef level =
              check_build(PyLong_FromUnsignedLongLong(s.level), "PyLong_FromUnsignedLongLong");
          set_item(dict.get(), k.level, level.get());
        }
        if (!s.names.empty()) set_item(dict.get(), k.names, alias_vec_to_list(s.names).get());
      },
      stmt);
  return dict;
}

PyRef imports_to_list(const ImportList& stmts) {
  PyRef list = check_build(PyList_New(static_cast<Py_ssize_t>(stmts.size())), "PyList_New");
  Py_ssize_t i = 0;
  for (const ImportStmt& stmt : stmts)
    PyList_SET_ITEM(list.get(), i++, import_to_dict(stmt).release());
  return list;
}

PyRef spec_to_dict(const ModuleSpec& spec) {
  const Keys& k = keys();
  PyRef dict = check_build(PyDict_New(), "PyDict_New");
  set_item(dict.get(), k.name, to_py_str(spec.name).get());
  set_item(dict.get(), k.origin, spec.origin ? to_py_str(*spec.origin).get() : Py_None);
  return dict;
}

}  // namespace tarnwick::py
