#include "python/contract/spec_lookup.hpp"

#include <string>
#include <vector>

#include "common/log.hpp"
#include "contract/debug_repr.hpp"
#include "python/common/errors.hpp"
#include "python/contract/args.hpp"
#include "python/contract/convert.hpp"

namespace tarnwick::py {
namespace {

// Raises TypeError "failed to extract field ModuleSpec.<field>" whose cause is
// a TypeError carrying `reason`.
[[noreturn]] void field_error(const char* field, const std::string& reason) {
  PyRef cause = check(PyObject_CallFunction(PyExc_TypeError, "s", reason.c_str()));
  PyRef error = check(PyObject_CallFunction(
      PyExc_TypeError, "s", str_cat("failed to extract field ModuleSpec.", field).c_str()));
  PyException_SetCause(error.get(), cause.release());  // steals the cause
  PyErr_SetObject(PyExc_TypeError, error.get());
  throw ErrorAlreadySet{};
}

std::string as_text(PyObject* value, const char* field) {
  if (!PyUnicode_Check(value)) {
    field_error(field,
                str_cat("'", type_name(value), "' object cannot be converted to 'PyString'"));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) {
    PyErr_Clear();
    field_error(field, "string is not valid UTF-8");
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::vector<std::string> as_text_list(PyObject* value, const char* field) {
  if (PyUnicode_Check(value)) field_error(field, "a str is not accepted as a sequence of str");
  if (!PySequence_Check(value)) {
    field_error(field,
                str_cat("'", type_name(value), "' object cannot be converted to 'Sequence'"));
  }
  PyRef items = check(PySequence_Fast(value, "expected a sequence"));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i)
    out.push_back(as_text(PySequence_Fast_GET_ITEM(items.get(), i), field));
  return out;
}

InternedName kName("name");
InternedName kOrigin("origin");
InternedName kParent("parent");
InternedName kLocations("submodule_search_locations");
InternedName kFindSpec("find_spec");

}  // namespace

ModuleSpec extract_spec(PyObject* obj) {
  ModuleSpec spec;
  {
    PyRef value = check(PyObject_GetAttr(obj, kName.get()));
    spec.name = as_text(value.get(), "name");
  }
  {
    PyRef value = check(PyObject_GetAttr(obj, kOrigin.get()));
    if (value.get() != Py_None) spec.origin = as_text(value.get(), "origin");
  }
  {
    PyRef value = check(PyObject_GetAttr(obj, kParent.get()));
    spec.parent = as_text(value.get(), "parent");
  }
  {
    PyRef value = check(PyObject_GetAttr(obj, kLocations.get()));
    if (value.get() != Py_None) {
      spec.submodule_search_locations = as_text_list(value.get(), "submodule_search_locations");
    }
  }
  return spec;
}

std::optional<ModuleSpec> find_spec(std::string_view name) {
  PyGILState_STATE gil = PyGILState_Ensure();
  struct Release {
    PyGILState_STATE state;
    ~Release() { PyGILState_Release(state); }
  } release{gil};
  try {
    PyRef util = check(PyImport_ImportModule("importlib.util"));
    PyRef function = check(PyObject_GetAttr(util.get(), kFindSpec.get()));
    PyRef py_name =
        check(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
    PyRef found = check(PyObject_CallOneArg(function.get(), py_name.get()));
    if (found.get() == Py_None) return std::nullopt;
    ModuleSpec spec = extract_spec(found.get());
    TW_LOG_DEBUG(log::kImportlibTarget, "Loaded spec: ", spec.name, ' ',
                 debug_optional(spec.origin));
    return spec;
  } catch (const ErrorAlreadySet&) {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) throw;
    PyErr_Clear();
    return std::nullopt;
  }
}

}  // namespace tarnwick::py
