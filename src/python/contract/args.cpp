#include "python/contract/args.hpp"

#include <string>

#include "common/str_cat.hpp"
#include "python/common/errors.hpp"

namespace tarnwick::py {
namespace {

[[noreturn]] void conversion_error(PyObject* obj, const char* name, const char* target) {
  raise(PyExc_TypeError, str_cat("argument '", name, "': '", type_name(obj),
                                 "' object cannot be converted to '", target, "'"));
}

std::string_view utf8(PyObject* obj) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) throw ErrorAlreadySet{};
  return {data, static_cast<std::size_t>(size)};
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the host lists missing names.
std::string list_names(std::span<const char* const> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    str_append(out, "'", names[i], "'");
  }
  return out;
}

// Places one keyword argument, or raises the host's error for it.
void bind_keyword(const Signature& sig, PyObject* key, PyObject* value, std::span<PyObject*> out) {
  if (!PyUnicode_Check(key))
    raise(PyExc_TypeError, str_cat(sig.qualname, "() keywords must be strings"));
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
      if (out[i] != nullptr) {
        raise(PyExc_TypeError,
              str_cat(sig.qualname, "() got multiple values for argument '", sig.params[i], "'"));
      }
      out[i] = value;
      return;
    }
  }
  raise(PyExc_TypeError,
        str_cat(sig.qualname, "() got an unexpected keyword argument '", utf8(key), "'"));
}

// Checks the positional count and the required parameters once all
// arguments are placed, in the order the host checks them.
void finish(const Signature& sig, Py_ssize_t nargs, std::span<PyObject*> out) {
  const std::size_t receiver = sig.bound ? 1 : 0;
  const std::size_t total = sig.params.size() + receiver;
  if (static_cast<std::size_t>(nargs) > sig.params.size()) {
    const std::size_t given = static_cast<std::size_t>(nargs) + receiver;
    std::string message = str_cat(sig.qualname, "() takes ");
    if (sig.required < sig.params.size()) {
      str_append(message, "from ", sig.required + receiver, " to ", total);
    } else {
      str_append(message, total);
    }
    str_append(message, " positional argument", total == 1 ? "" : "s", " but ", given,
               given == 1 ? " was" : " were", " given");
    raise(PyExc_TypeError, message);
  }
  const char* missing[8];
  std::size_t count = 0;
  for (std::size_t i = 0; i < sig.required && count < 8; ++i) {
    if (out[i] == nullptr) missing[count++] = sig.params[i];
  }
  if (count > 0) {
    raise(PyExc_TypeError,
          str_cat(sig.qualname, "() missing ", count, " required positional argument",
                  count == 1 ? "" : "s", ": ", list_names({missing, count})));
  }
}

}  // namespace

void bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> out) {
  for (auto& slot : out) slot = nullptr;
  const std::size_t positional = std::min(static_cast<std::size_t>(nargs), sig.params.size());
  for (std::size_t i = 0; i < positional; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    }
  }
  finish(sig, nargs, out);
}

void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  for (auto& slot : out) slot = nullptr;
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const std::size_t positional = std::min(static_cast<std::size_t>(nargs), sig.params.size());
  for (std::size_t i = 0; i < positional; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(sig, key, value, out);
  }
  finish(sig, nargs, out);
}

std::string_view type_name(PyObject* obj) {
  std::string_view name = Py_TYPE(obj)->tp_name;
  auto dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

std::string_view arg_str(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) conversion_error(obj, name, "PyString");
  return utf8(obj);
}

std::optional<std::string_view> arg_optional_str(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return arg_str(obj, name);
}

bool arg_optional_bool(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return false;
  if (!PyBool_Check(obj)) conversion_error(obj, name, "PyBool");
  return obj == Py_True;
}

}  // namespace tarnwick::py
