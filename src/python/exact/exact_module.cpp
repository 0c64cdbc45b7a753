// The entry point of tarnwick_graph._native, the exact engine's private
// module, built from the same core and binding layer as tarnwick.
#include "python/common/class_support.hpp"
#include "python/exact/exact_types.hpp"

namespace {

PyMethodDef kFunctions[] = {
    {"scan", tarnwick::py::exact_scan, METH_O,
     "scan(text) -> the import statements of a source text"},
    {"render", tarnwick::py::exact_render, METH_VARARGS,
     "render(format, names, kinds, origins, depths, imports, roots, indent) -> JSON or DOT text"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "tarnwick_graph._native",
    "The exact engine's native core; use the tarnwick_graph package.",
    0,
    kFunctions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() {
  using namespace tarnwick::py;
  PyObject* created = PyModule_Create(&kModuleDef);
  if (created == nullptr) return nullptr;
  PyRef module = PyRef::steal(created);
  return guarded_with(
      [](std::string_view message) {
        PyErr_SetString(PyExc_ImportError, std::string(message).c_str());
      },
      [&] {
        const auto add = [&](const char* name, PyObject* obj) {
          if (obj == nullptr) throw ErrorAlreadySet{};
          add_to_module(module.get(), name, obj);
        };
        add("Error", exact_error_type());
        add("Builder", reinterpret_cast<PyObject*>(exact_builder_type()));
        add("Graph", reinterpret_cast<PyObject*>(exact_graph_type()));
        add("Chains", reinterpret_cast<PyObject*>(exact_chains_type()));
        return module.release();
      });
}
