#include "python/common/class_support.hpp"

#include <cstring>

namespace tarnwick::py {

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

namespace {

// The classes carry bare names, for which the host warns that they have no
// `__module__`; the warning is silenced so strict warning filters do not turn
// the import into an error, and `__module__` is set right after.
PyObject* from_spec_quietly(PyType_Spec& spec) {
  PyRef warnings = check(PyImport_ImportModule("warnings"));
  PyRef context = check(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
  PyRef entered = check(PyObject_CallMethod(context.get(), "__enter__", nullptr));
  PyRef ignored = PyRef::steal(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore",
                                                   PyExc_DeprecationWarning));
  PyObject* type = ignored ? PyType_FromSpec(&spec) : nullptr;
  TakenError pending = TakenError::take();
  PyRef exited = PyRef::steal(
      PyObject_CallMethod(context.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  if (!exited) {
    Py_XDECREF(type);
    throw ErrorAlreadySet{};
  }
  pending.restore();
  if (type == nullptr) throw ErrorAlreadySet{};
  // A bare name stays bare; `__module__` (which pydoc and help() need) is
  // the extension's.
  PyRef owned = PyRef::steal(type);
  if (std::strchr(spec.name, '.') != nullptr) return owned.release();
  PyRef module_name = check(PyUnicode_FromString("tarnwick"));
  PyTypeObject* as_type = reinterpret_cast<PyTypeObject*>(type);
  if (PyDict_SetItemString(as_type->tp_dict, "__module__", module_name.get()) < 0) {
    throw ErrorAlreadySet{};
  }
  PyType_Modified(as_type);
  return owned.release();
}

}  // namespace

void add_to_module(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet{};
    PyErr_Clear();
    all = check(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  PyRef py_name = check(PyUnicode_FromString(name));
  check_status(PyList_Append(all.get(), py_name.get()));
  check_status(PyObject_SetAttr(module, py_name.get(), value));
}

PyTypeObject* cached_type(PyTypeObject*& cache, PyType_Spec& spec) noexcept {
  if (cache == nullptr) {
    try {
      cache = reinterpret_cast<PyTypeObject*>(from_spec_quietly(spec));
    } catch (const ErrorAlreadySet&) {
      return nullptr;
    }
  }
  return cache;
}

}  // namespace tarnwick::py
