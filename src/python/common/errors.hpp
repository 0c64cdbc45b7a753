// Python-facing failures: PanicException for internal failures, the standard
// argument-conversion TypeError, and the guard that every entry point runs
// its body under.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "common/error.hpp"
#include "python/common/py_ref.hpp"

namespace tarnwick::py {

// The PanicException class (derived from BaseException), created on first use
// and kept for the life of the process. Returns a borrowed reference, or NULL
// with an error set if it could not be created.
PyObject* panic_exception_type() noexcept;

// Reports `message` on standard error and raises PanicException(message).
void set_panic(std::string_view message) noexcept;

// Sets `type` with `message` and throws ErrorAlreadySet.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Throws ErrorAlreadySet if a host call that builds a result failed: the
// pending error becomes a PanicException naming the failed call.
PyRef check_build(PyObject* obj, const char* call);
void check_build_status(int status, const char* call);

// Runs `body` (returning a new reference or NULL) and turns every C++
// exception into the matching Python error, so nothing escapes into the host;
// an internal failure is handed to `report` (which sets the error).
template <class Report, class Body>
PyObject* guarded_with(Report&& report, Body&& body) noexcept {
  try {
    return body();
  } catch (const ErrorAlreadySet&) {
    return nullptr;
  } catch (const InternalError& e) {
    report(e.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    report(e.what());
  } catch (...) {
    report("unknown internal failure");
  }
  return nullptr;
}

// guarded_with for the tarnwick module: internal failures are PanicException.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return guarded_with([](std::string_view message) { set_panic(message); },
                      std::forward<Body>(body));
}

// Status-returning variant for slots that return int (0 on success, -1 on error).
template <class Body>
int guarded_status(Body&& body) noexcept {
  PyObject* result = guarded([&]() -> PyObject* {
    body();
    Py_RETURN_NONE;
  });
  if (result == nullptr) return -1;
  Py_DECREF(result);
  return 0;
}

}  // namespace tarnwick::py
