// The extension's entry point: the once-per-process guard, the logging
// bridge, and registration of the classes and the `parser` submodule.
#include <atomic>

#include "python/common/logging_bridge.hpp"
#include "python/contract/classes.hpp"
#include "python/contract/parser_module.hpp"

namespace {

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "tarnwick",  // m_name
    // m_doc
    "The import graph of Python source text, as the running interpreter resolves it.\n\n"
    "GraphBuilder().build(source, package=None) finds the import statements of `source`\n"
    "with a small grammar of its own, asks importlib.util.find_spec where each imported\n"
    "module lives, reads the modules' files in turn and returns a DepGraph of DepNode\n"
    "values; parser.parse(source) gives the statements the grammar sees. Progress goes\n"
    "to the logging module under the 'tarnwick.*' loggers; a broken internal invariant\n"
    "raises PanicException.",
    0,        // m_size
    nullptr,  // m_methods
    nullptr,  // m_slots
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

std::atomic<bool> g_initialized{false};

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) throw tarnwick::py::ErrorAlreadySet{};
  tarnwick::py::add_to_module(module, name, reinterpret_cast<PyObject*>(type));
}

}  // namespace

PyMODINIT_FUNC PyInit_tarnwick() {
  using namespace tarnwick::py;
  PyObject* created = PyModule_Create2(&kModuleDef, 1013);
  if (created == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  PyRef module = PyRef::steal(created);
  if (g_initialized.exchange(true, std::memory_order_seq_cst)) {
    PyErr_SetString(PyExc_ImportError,
                    "tarnwick may only be initialized once per interpreter process");
    return nullptr;
  }
  return guarded([&] {
    init_logging();
    add_class(module.get(), "DepNode", dep_node_type());
    add_class(module.get(), "DepGraph", dep_graph_type());
    add_class(module.get(), "GraphBuilder", graph_builder_type());
    PyRef parser = create_parser_module();
    PyRef parser_name = check(PyModule_GetNameObject(parser.get()));
    const char* name = PyUnicode_AsUTF8(parser_name.get());
    if (name == nullptr) throw ErrorAlreadySet{};
    add_to_module(module.get(), name, parser.get());
    return module.release();
  });
}
