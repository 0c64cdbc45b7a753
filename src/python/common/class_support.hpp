// Shared pieces of the module's classes: the instance layout (native value
// plus access flag), type creation from a spec with a process-lifetime cache,
// and the constructor of classes that have none.
#pragma once

#include <new>
#include <utility>

#include "python/common/borrow.hpp"
#include "python/common/errors.hpp"

namespace tarnwick::py {

template <class T>
struct Instance {
  PyObject_HEAD BorrowFlag flag;
  T value;
};

template <class T>
Instance<T>* as_instance(PyObject* self) noexcept {
  return reinterpret_cast<Instance<T>*>(self);
}

// Allocates an instance of `type` holding `value`. Throws ErrorAlreadySet.
template <class T>
PyRef make_instance(PyTypeObject* type, T&& value) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) throw ErrorAlreadySet{};
  auto* inst = as_instance<std::decay_t<T>>(obj);
  new (&inst->flag) BorrowFlag();
  new (&inst->value) std::decay_t<T>(std::forward<T>(value));
  return PyRef::steal(obj);
}

// tp_dealloc of an Instance<T>: destroys the native value, frees the object
// and drops the reference the instance holds on its heap type.
template <class T>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  as_instance<T>(self)->value.~T();
  type->tp_free(self);
  Py_DECREF(type);
}

// tp_dealloc of an Instance<T> of a class the collector tracks: untracks it
// first, so the collector never sees it half destroyed.
template <class T>
void dealloc_gc_instance(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  dealloc_instance<T>(self);
}

// tp_new of the classes Python cannot construct.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// Adds `value` to `module` under `name` and appends `name` to the module's
// `__all__` (created on first use). Throws ErrorAlreadySet.
void add_to_module(PyObject* module, const char* name, PyObject* value);

// Creates a heap type from `spec` once and returns the cached object
// (borrowed) on every later call; NULL with an error set on failure.
PyTypeObject* cached_type(PyTypeObject*& cache, PyType_Spec& spec) noexcept;

}  // namespace tarnwick::py
