// The Python class GraphBuilder.
#include "python/args.hpp"
#include "python/class_support.hpp"

namespace tarnwick::py {
namespace {

struct BuilderValue {
  bool verbose = false;
};

constexpr const char* kNewParams[] = {"verbose"};
constexpr Signature kNewSignature{"GraphBuilder.__new__", true, kNewParams, 0};

PyObject* builder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    PyObject* bound[1];
    bind_tuple(kNewSignature, args, kwargs, bound);
    const bool verbose = arg_optional_bool(bound[0], "verbose");
    return make_instance(type, BuilderValue{verbose}).release();
  });
}

constexpr const char* kBuildParams[] = {"source", "package"};
constexpr Signature kBuildSignature{"GraphBuilder.build", true, kBuildParams, 1};

PyObject* builder_build(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2];
    bind_fastcall(kBuildSignature, args, nargs, kwnames, bound);
    (void)arg_str(bound[0], "source");
    (void)arg_optional_str(bound[1], "package");
    ExclusiveBorrow borrow(as_instance<BuilderValue>(self)->flag);
    raise(PyExc_NotImplementedError, "GraphBuilder.build is not available yet");
  });
}

PyMethodDef kMethods[] = {
    {"build", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(builder_build)),
     METH_FASTCALL | METH_KEYWORDS, "build($self, source, package=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<BuilderValue>)},
    {Py_tp_new, reinterpret_cast<void*>(builder_new)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("GraphBuilder(verbose=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kSpec = {"GraphBuilder", sizeof(Instance<BuilderValue>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* graph_builder_type() noexcept {
  static PyTypeObject* type = nullptr;
  return cached_type(type, kSpec);
}

}  // namespace tarnwick::py
