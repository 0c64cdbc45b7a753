// The Python class DepNode: a read-only copy of one graph node, taken when the
// object was made. Every attribute read builds a fresh Python value.

#include "common/platform_fs.hpp"
#include "contract/dep_graph.hpp"
#include "python/contract/classes.hpp"
#include "python/contract/convert.hpp"

namespace tarnwick::py {
namespace {

using NodeInstance = Instance<DepNode>;

// Runs `read` on the node under a shared borrow, as an attribute getter.
template <class Read>
PyObject* read_node(PyObject* self, Read&& read) noexcept {
  return guarded([&]() -> PyObject* {
    NodeInstance* inst = as_instance<DepNode>(self);
    SharedBorrow borrow(inst->flag);
    return read(inst->value).release();
  });
}

PyObject* get_name(PyObject* self, void*) noexcept {
  return read_node(self, [](const DepNode& n) { return to_py_str(n.name); });
}

PyObject* get_spec(PyObject* self, void*) noexcept {
  return read_node(self, [](const DepNode& n) { return spec_to_dict(n.spec); });
}

PyObject* get_dependents(PyObject* self, void*) noexcept {
  return read_node(self, [](const DepNode& n) { return to_py_set(n.dependents); });
}

PyObject* get_depth(PyObject* self, void*) noexcept {
  return read_node(self, [](const DepNode& n) {
    if (!n.depth) return PyRef::borrow(Py_None);
    return check_build(PyLong_FromLong(*n.depth), "PyLong_FromLong");
  });
}

PyObject* get_dependencies(PyObject* self, void*) noexcept {
  return read_node(self, [](const DepNode& n) {
    const std::size_t count = n.dependencies.size();
    fs::write_stdout(str_cat(count, "\n"));  // past sys.stdout
    return check_build(PyLong_FromSize_t(count), "PyLong_FromSize_t");
  });
}

PyGetSetDef kGetSet[] = {
    {"name", get_name, nullptr, const_cast<char*>("The module's full dotted name."), nullptr},
    {"spec", get_spec, nullptr,
     const_cast<char*>("A new dict {'name': ..., 'origin': ...}: where the module was found "
                       "(origin None when it has none)."),
     nullptr},
    {"dependents", get_dependents, nullptr,
     const_cast<char*>("A new set of the names of the modules that import this one."), nullptr},
    {"depth", get_depth, nullptr,
     const_cast<char*>("The fewest import steps from the root to this module, or None when "
                       "unknown."),
     nullptr},
    {"dependencies", get_dependencies, nullptr,
     const_cast<char*>("The number of modules this one imports (also written on standard "
                       "output)."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<DepNode>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(
                    "One module of a DepGraph, copied when it was read from the graph: its name, "
                    "spec,\ndependents, depth and number of dependencies.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"DepNode", sizeof(NodeInstance), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* dep_node_type() noexcept {
  static PyTypeObject* type = nullptr;
  return cached_type(type, kSpec);
}

PyRef wrap_node(const DepNode& node) {
  PyTypeObject* type = dep_node_type();
  if (type == nullptr) throw ErrorAlreadySet{};
  return make_instance(type, DepNode(node));
}

}  // namespace tarnwick::py
