#include "python/common/errors.hpp"

#include <cstdio>

namespace tarnwick::py {

PyObject* panic_exception_type() noexcept {
  // Created once under the interpreter lock and never released.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "tarnwick.PanicException",
        "Raised when tarnwick meets a broken internal invariant; the argument is the "
        "failure message.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void set_panic(std::string_view message) noexcept {
  std::string line = str_cat("tarnwick: internal failure: ", message, "\n");
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the creation error stays set
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw ErrorAlreadySet{};
}

namespace {

[[noreturn]] void panic_from_pending(const char* call) {
  std::string message = str_cat("Python API call failed: ", call);
  const TakenError pending = TakenError::take();
  if (PyObject* shown = pending.shown()) {
    PyRef repr = PyRef::steal(PyObject_Repr(shown));
    if (repr) {
      Py_ssize_t size = 0;
      if (const char* text = PyUnicode_AsUTF8AndSize(repr.get(), &size)) {
        str_append(message, ": ", std::string_view(text, static_cast<std::size_t>(size)));
      }
    }
    PyErr_Clear();
  }
  throw InternalError(std::move(message));
}

}  // namespace

PyRef check_build(PyObject* obj, const char* call) {
  if (obj == nullptr) panic_from_pending(call);
  return PyRef::steal(obj);
}

void check_build_status(int status, const char* call) {
  if (status < 0) panic_from_pending(call);
}

}  // namespace tarnwick::py
