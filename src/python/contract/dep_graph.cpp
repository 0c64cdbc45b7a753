// The Python class DepGraph: a read-only dependency graph. Every method builds
// its result anew from the graph, as fresh Python objects.
#include "contract/dep_graph.hpp"
#include "python/contract/args.hpp"
#include "python/contract/classes.hpp"
#include "python/contract/convert.hpp"

namespace tarnwick::py {
namespace {

using GraphInstance = Instance<DepGraph>;

template <class Borrow, class Read>
PyObject* read_graph(PyObject* self, Read&& read) noexcept {
  return guarded([&]() -> PyObject* {
    GraphInstance* inst = as_instance<DepGraph>(self);
    Borrow borrow(inst->flag);
    return read(inst->value).release();
  });
}

PyObject* size(PyObject* self, PyObject*) noexcept {
  return read_graph<SharedBorrow>(self, [](const DepGraph& g) {
    return check_build(PyLong_FromSize_t(g.size()), "PyLong_FromSize_t");
  });
}

PyObject* num_dependencies(PyObject* self, PyObject*) noexcept {
  return read_graph<SharedBorrow>(self, [](const DepGraph& g) {
    return check_build(PyLong_FromUnsignedLongLong(g.num_dependencies()),
                       "PyLong_FromUnsignedLongLong");
  });
}

PyObject* keys(PyObject* self, PyObject*) noexcept {
  return read_graph<SharedBorrow>(self, [](const DepGraph& g) {
    PyRef set = check_build(PySet_New(nullptr), "PySet_New");
    for (const DepNode& node : g) {
      check_build_status(PySet_Add(set.get(), to_py_str(node.name).get()), "PySet_Add");
    }
    return set;
  });
}

constexpr const char* kGetParams[] = {"name"};
constexpr Signature kGetSignature{"DepGraph.get", true, kGetParams, 1};

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[1];
    bind_fastcall(kGetSignature, args, nargs, kwnames, bound);
    const std::string_view name = arg_str(bound[0], "name");
    GraphInstance* inst = as_instance<DepGraph>(self);
    SharedBorrow borrow(inst->flag);
    return wrap_node(inst->value.at(name)).release();
  });
}

constexpr const char* kScopedParams[] = {"scope"};
constexpr Signature kScopedSignature{"DepGraph.get_all_scoped", true, kScopedParams, 1};

PyObject* get_all_scoped(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[1];
    bind_fastcall(kScopedSignature, args, nargs, kwnames, bound);
    const std::string_view scope = arg_str(bound[0], "scope");
    GraphInstance* inst = as_instance<DepGraph>(self);
    SharedBorrow borrow(inst->flag);
    PyRef list = check_build(PyList_New(0), "PyList_New");
    for (const DepNode& node : inst->value) {
      if (!std::string_view(node.name).starts_with(scope)) continue;
      check_build_status(PyList_Append(list.get(), wrap_node(node).get()), "PyList_Append");
    }
    return list.release();
  });
}

PyObject* origins(PyObject* self, PyObject*) noexcept {
  return read_graph<ExclusiveBorrow>(self, [](const DepGraph& g) {
    PyRef list = check_build(PyList_New(0), "PyList_New");
    for (const DepNode& node : g) {
      if (!node.spec.origin) continue;
      check_build_status(PyList_Append(list.get(), to_py_str(*node.spec.origin).get()),
                         "PyList_Append");
    }
    return list;
  });
}

PyObject* names(PyObject* self, PyObject*) noexcept {
  return read_graph<ExclusiveBorrow>(self, [](const DepGraph& g) {
    PyRef list = check_build(PyList_New(static_cast<Py_ssize_t>(g.size())), "PyList_New");
    Py_ssize_t i = 0;
    for (const DepNode& node : g) PyList_SET_ITEM(list.get(), i++, to_py_str(node.name).release());
    return list;
  });
}

template <class F>
PyCFunction fastcall(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kMethods[] = {
    {"size", size, METH_NOARGS, "size($self)\n--\n\nThe number of modules (nodes) in the graph."},
    {"num_dependencies", num_dependencies, METH_NOARGS,
     "num_dependencies($self)\n--\n\nThe number of import edges in the graph."},
    {"keys", keys, METH_NOARGS, "keys($self)\n--\n\nA new set of every module name in the graph."},
    {"get", fastcall(get), METH_FASTCALL | METH_KEYWORDS,
     "get($self, name)\n--\n\n"
     "A DepNode copy of the module `name`; PanicException when the graph has no such node."},
    {"get_all_scoped", fastcall(get_all_scoped), METH_FASTCALL | METH_KEYWORDS,
     "get_all_scoped($self, scope)\n--\n\n"
     "A list of DepNode copies of the modules whose names start with the text `scope`\n"
     "(a plain prefix: \"\" gives every module)."},
    {"origins", origins, METH_NOARGS,
     "origins($self)\n--\n\nA list of the origins (file paths and the like) of the modules that "
     "have one."},
    {"names", names, METH_NOARGS, "names($self)\n--\n\nA list of every module name in the graph."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<DepGraph>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc,
     const_cast<char*>("A read-only import graph returned by GraphBuilder.build: modules by name, "
                       "each\nwith its spec, its imports both ways and its depth. Every query "
                       "returns fresh\nobjects.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"DepGraph", sizeof(GraphInstance), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* dep_graph_type() noexcept {
  static PyTypeObject* type = nullptr;
  return cached_type(type, kSpec);
}

PyRef wrap_graph(DepGraph&& graph) {
  PyTypeObject* type = dep_graph_type();
  if (type == nullptr) throw ErrorAlreadySet{};
  return make_instance(type, std::move(graph));
}

}  // namespace tarnwick::py
