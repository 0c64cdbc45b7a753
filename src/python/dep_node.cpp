// The Python class DepNode: a read-only copy of one graph node.
#include "python/class_support.hpp"

namespace tarnwick::py {
namespace {

struct NodeValue {};  // replaced by the graph node once the graph lands

PyObject* not_yet(PyObject*, void*) noexcept {
  PyErr_SetString(PyExc_NotImplementedError, "DepNode attributes are not available yet");
  return nullptr;
}

PyGetSetDef kGetSet[] = {
    {"name", not_yet, nullptr, nullptr, nullptr},
    {"spec", not_yet, nullptr, nullptr, nullptr},
    {"dependents", not_yet, nullptr, nullptr, nullptr},
    {"depth", not_yet, nullptr, nullptr, nullptr},
    {"dependencies", not_yet, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<NodeValue>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"DepNode", sizeof(Instance<NodeValue>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* dep_node_type() noexcept {
  static PyTypeObject* type = nullptr;
  return cached_type(type, kSpec);
}

}  // namespace tarnwick::py
