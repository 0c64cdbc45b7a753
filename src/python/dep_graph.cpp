// The Python class DepGraph: a read-only dependency graph.
#include "python/class_support.hpp"

namespace tarnwick::py {
namespace {

struct GraphValue {};  // replaced by the graph once it lands

PyObject* not_yet(PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_NotImplementedError, "DepGraph methods are not available yet");
  return nullptr;
}

PyObject* not_yet_fast(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
  PyErr_SetString(PyExc_NotImplementedError, "DepGraph methods are not available yet");
  return nullptr;
}

PyMethodDef kMethods[] = {
    {"size", not_yet, METH_NOARGS, "size($self)\n--\n\n"},
    {"num_dependencies", not_yet, METH_NOARGS, "num_dependencies($self)\n--\n\n"},
    {"keys", not_yet, METH_NOARGS, "keys($self)\n--\n\n"},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(not_yet_fast)),
     METH_FASTCALL | METH_KEYWORDS, "get($self, name)\n--\n\n"},
    {"get_all_scoped", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(not_yet_fast)),
     METH_FASTCALL | METH_KEYWORDS, "get_all_scoped($self, scope)\n--\n\n"},
    {"origins", not_yet, METH_NOARGS, "origins($self)\n--\n\n"},
    {"names", not_yet, METH_NOARGS, "names($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<GraphValue>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"DepGraph", sizeof(Instance<GraphValue>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* dep_graph_type() noexcept {
  static PyTypeObject* type = nullptr;
  return cached_type(type, kSpec);
}

}  // namespace tarnwick::py
