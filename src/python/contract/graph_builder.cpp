// The Python class GraphBuilder: runs the core builder against the host
// interpreter's import machinery, holding the builder exclusively for the
// whole build.
#include "common/source_file.hpp"
#include "contract/builder.hpp"
#include "python/contract/args.hpp"
#include "python/contract/classes.hpp"
#include "python/contract/spec_lookup.hpp"

namespace tarnwick::py {
namespace {

// The interpreter as the builder's host: spec lookup through importlib,
// files read from disk, and pending signals (Ctrl-C) honoured between modules.
class InterpreterHost final : public Host {
 public:
  std::optional<ModuleSpec> find_spec(std::string_view name) override {
    return py::find_spec(name);
  }
  ReadResult read_source(const std::string& path) override { return read_source_file(path); }
  void check_interrupts() override {
    if (PyErr_CheckSignals() < 0) throw ErrorAlreadySet{};
  }
};

using BuilderInstance = Instance<GraphBuilder>;

constexpr const char* kNewParams[] = {"verbose"};
constexpr Signature kNewSignature{"GraphBuilder.__new__", true, kNewParams, 0};

PyObject* builder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    PyObject* bound[1];
    bind_tuple(kNewSignature, args, kwargs, bound);
    const bool verbose = arg_optional_bool(bound[0], "verbose");
    return make_instance(type, GraphBuilder(verbose)).release();
  });
}

constexpr const char* kBuildParams[] = {"source", "package"};
constexpr Signature kBuildSignature{"GraphBuilder.build", true, kBuildParams, 1};

PyObject* builder_build(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2];
    bind_fastcall(kBuildSignature, args, nargs, kwnames, bound);
    const std::string_view source = arg_str(bound[0], "source");
    const std::optional<std::string_view> package = arg_optional_str(bound[1], "package");
    BuilderInstance* inst = as_instance<GraphBuilder>(self);
    ExclusiveBorrow borrow(inst->flag);
    InterpreterHost host;
    return wrap_graph(inst->value.build(host, source, package)).release();
  });
}

PyMethodDef kMethods[] = {
    {"build", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(builder_build)),
     METH_FASTCALL | METH_KEYWORDS,
     "build($self, source, package=None)\n--\n\n"
     "The DepGraph of `source`, Python text run as a module stored nowhere (the root\n"
     "node '<terminal>', depth 0), inside the package `package` when given, so that its\n"
     "relative imports resolve. Every module it imports, directly or not, is looked up\n"
     "with importlib.util.find_spec and its file read; a module this builder has seen\n"
     "before is copied from its cache with everything below it. Ctrl-C stops the build."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<GraphBuilder>)},
    {Py_tp_new, reinterpret_cast<void*>(builder_new)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc,
     const_cast<char*>("GraphBuilder(verbose=None)\n--\n\n"
                       "Builds dependency graphs from source text and keeps the union of every\n"
                       "graph it returned, so later builds reuse what it has found. With a true\n"
                       "`verbose`, the statements parsed from each text are printed on standard\n"
                       "output. A builder serves one build at a time.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"GraphBuilder", sizeof(BuilderInstance), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* graph_builder_type() noexcept {
  static PyTypeObject* type = nullptr;
  return cached_type(type, kSpec);
}

}  // namespace tarnwick::py
