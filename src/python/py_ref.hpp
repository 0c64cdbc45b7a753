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
