// Test-only extension: installs the logging bridge in its own process-wide
// facade and emits records through it, and extracts spec objects, so that
// behaviour the builder keeps to itself can be tested from Python. Never
// installed; built only by the test build.
#include <string>

#include "common/log.hpp"
#include "python/common/errors.hpp"
#include "python/common/logging_bridge.hpp"
#include "python/contract/args.hpp"
#include "python/contract/spec_lookup.hpp"

namespace {

using namespace tarnwick;
using namespace tarnwick::py;

long g_formatted = 0;  // how many messages the bridge asked to format

constexpr const char* kEmitParams[] = {"level", "target", "message", "line"};
constexpr Signature kEmitSignature{"emit", false, kEmitParams, 3};

// emit(level, target, message, line=None): level is 1..5 (Error..Trace).
PyObject* emit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[4];
    bind_fastcall(kEmitSignature, args, nargs, kwnames, bound);
    const long level = PyLong_AsLong(bound[0]);
    if (level == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
    if (level < 1 || level > 5) raise(PyExc_ValueError, "level must be 1..5");
    const std::string target(arg_str(bound[1], "target"));
    const std::string message(arg_str(bound[2], "message"));
    std::optional<std::uint32_t> line;
    if (bound[3] != nullptr && bound[3] != Py_None) {
      line = static_cast<std::uint32_t>(PyLong_AsUnsignedLong(bound[3]));
      if (PyErr_Occurred()) throw ErrorAlreadySet{};
    }
    const auto lvl = static_cast<log::Level>(level);
    log::Facade& facade = log::facade();
    if (facade.enabled(lvl)) {
      auto format = [&] {
        ++g_formatted;
        return message;
      };
      facade.log(log::Record{lvl, target, target, std::string_view("probe.cpp"), line,
                             log::MessageFn(format)});
    }
    Py_RETURN_NONE;
  });
}

PyObject* formatted(PyObject*, PyObject*) noexcept {
  return PyLong_FromLong(g_formatted);
}

// extract(obj): the name and origin extraction reads from a spec object, or
// the exception it fails with (the builder discards it).
PyObject* extract(PyObject*, PyObject* obj) noexcept {
  return guarded([&]() -> PyObject* {
    const ModuleSpec spec = extract_spec(obj);
    return Py_BuildValue("(sz)", spec.name.c_str(), spec.origin ? spec.origin->c_str() : nullptr);
  });
}

PyMethodDef kMethods[] = {
    {"extract", extract, METH_O, nullptr},
    {"emit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(emit)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"formatted", formatted, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {PyModuleDef_HEAD_INIT,
                          "_tarnwick_logprobe",
                          nullptr,
                          -1,
                          kMethods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__tarnwick_logprobe() {
  return guarded([]() -> PyObject* {
    PyRef module = check(PyModule_Create(&kModuleDef));
    init_logging();
    return module.release();
  });
}
