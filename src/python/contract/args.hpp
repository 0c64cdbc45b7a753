// Argument binding for the module's callables, with the host's own wording
// for missing, repeated, surplus and unexpected arguments, and the
// conversions of single arguments to native values.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "python/common/py_ref.hpp"

namespace tarnwick::py {

// The signature of a callable as Python shows it: `qualname(self, a, b=None)`.
struct Signature {
  const char* qualname;                 // e.g. "GraphBuilder.build"
  bool bound;                           // a method: the receiver counts as a positional
  std::span<const char* const> params;  // parameter names, in order
  std::size_t required;                 // the first `required` parameters have no default
};

// Binds vectorcall arguments to `out` (one borrowed slot per parameter,
// NULL when an optional one is not given). Throws ErrorAlreadySet on error.
void bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> out);

// The same for a classic (args tuple, kwargs dict) call.
void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// The name of the object's type without its module, as the host prints it in
// messages ("int", "NoneType").
std::string_view type_name(PyObject* obj);

// `str` -> UTF-8 text, borrowed from the object. A non-str raises TypeError
// "argument 'NAME': 'T' object cannot be converted to 'PyString'"; a str that
// is not encodable as UTF-8 raises the host's encoding error.
std::string_view arg_str(PyObject* obj, const char* name);

// Like arg_str, but None (or a missing optional argument) gives no value.
std::optional<std::string_view> arg_optional_str(PyObject* obj, const char* name);

// `bool` -> bool; None or missing gives false; anything else is a TypeError.
bool arg_optional_bool(PyObject* obj, const char* name);

}  // namespace tarnwick::py
