// An owning handle for a Python object reference, and the marker exception
// that carries "a Python error is set" through C++ frames to the entry point.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarnwick::py {

// Thrown when a Python error indicator has been set; the entry point returns
// NULL and the host raises the pending exception.
struct ErrorAlreadySet {};

class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef& other) noexcept : obj_(other.obj_) { Py_XINCREF(obj_); }
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  // Takes over a new reference (may be NULL).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Adds a reference to a borrowed one.
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyObject* get() const noexcept { return obj_; }
  // Gives up ownership: the caller now owns the reference.
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Takes over a new reference returned by the host, throwing ErrorAlreadySet
// when the host returned NULL with an error set.
inline PyRef check(PyObject* obj) {
  if (obj == nullptr) throw ErrorAlreadySet{};
  return PyRef::steal(obj);
}

// Throws ErrorAlreadySet when a host call that reports failure with -1 failed.
inline void check_status(int status) {
  if (status < 0) throw ErrorAlreadySet{};
}

// The pending exception, taken out of the interpreter (nothing is pending
// afterwards) and owned: PyErr_GetRaisedException where the interpreter has
// it (3.12), PyErr_Fetch before. restore() puts it back as it was.
class TakenError {
 public:
  static TakenError take() noexcept {
    TakenError e;
#if PY_VERSION_HEX >= 0x030C0000
    e.exc_ = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&e.type_, &e.exc_, &e.tb_);
#endif
    return e;
  }
  TakenError(TakenError&& other) noexcept
      : type_(std::exchange(other.type_, nullptr)),
        exc_(std::exchange(other.exc_, nullptr)),
        tb_(std::exchange(other.tb_, nullptr)) {}
  TakenError(const TakenError&) = delete;
  TakenError& operator=(const TakenError&) = delete;
  TakenError& operator=(TakenError&&) = delete;
  ~TakenError() {
    Py_XDECREF(type_);
    Py_XDECREF(exc_);
    Py_XDECREF(tb_);
  }

  // Sets it pending again (and gives it up).
  void restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(std::exchange(exc_, nullptr));
#else
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(exc_, nullptr),
                  std::exchange(tb_, nullptr));
#endif
  }

  // What to show for it: the exception's value as taken (before 3.12 it may
  // not be an exception object yet), else its type; null when none was pending.
  PyObject* shown() const noexcept {
    return exc_ != nullptr ? exc_ : type_;
  }

  // Makes the value an exception object (it is one already from 3.12).
  void normalize() noexcept {
#if PY_VERSION_HEX < 0x030C0000
    PyErr_NormalizeException(&type_, &exc_, &tb_);
#endif
  }

  // Prints it with its traceback, as the interpreter prints an uncaught one.
  void display() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (exc_ != nullptr) PyErr_DisplayException(exc_);
#else
    normalize();
    PyErr_Display(type_, exc_, tb_);
#endif
  }

 private:
  TakenError() = default;
  PyObject* type_ = nullptr;  // always null from 3.12
  PyObject* exc_ = nullptr;
  PyObject* tb_ = nullptr;  // always null from 3.12
};

// An attribute or method name as an interned str, made on first use and kept
// for the life of the process, so hot lookups neither build a new string each
// time nor fill the host's attribute cache with short-lived ones.
class InternedName {
 public:
  explicit constexpr InternedName(const char* text) noexcept : text_(text) {}
  // Throws ErrorAlreadySet if the string cannot be made.
  PyObject* get() {
    if (obj_ == nullptr) obj_ = PyUnicode_InternFromString(text_);
    if (obj_ == nullptr) throw ErrorAlreadySet{};
    return obj_;
  }

 private:
  const char* text_;
  PyObject* obj_ = nullptr;
};

}  // namespace tarnwick::py
