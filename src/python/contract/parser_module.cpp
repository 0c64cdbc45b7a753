#include "python/contract/parser_module.hpp"

#include "python/common/class_support.hpp"

#include "contract/parser.hpp"
#include "python/common/errors.hpp"
#include "python/contract/args.hpp"
#include "python/contract/convert.hpp"

namespace tarnwick::py {
namespace {

constexpr const char* kParseParams[] = {"source"};
constexpr Signature kParseSignature{"parse", false, kParseParams, 1};

PyObject* parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[1];
    bind_fastcall(kParseSignature, args, nargs, kwnames, bound);
    const std::string_view source = arg_str(bound[0], "source");
    return imports_to_list(tarnwick::parse(source)).release();
  });
}

PyMethodDef kParseDef = {"parse",
                         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse)),
                         METH_FASTCALL | METH_KEYWORDS,
                         "parse(source)\n--\n\n"
                         "The import statements the builder's grammar finds in `source`, in\n"
                         "order, as dicts: {'type': 'import', 'names': [...]} or\n"
                         "{'type': 'import_from', 'module': ..., 'level': ..., 'names': [...]},\n"
                         "each name {'name': ...} with an 'asname' when it has one."};

}  // namespace

PyRef create_parser_module() {
  PyRef module = check(PyModule_New("parser"));
  check_status(PyModule_SetDocString(
      module.get(),
      "The import grammar of tarnwick's builder: parse(source) gives the import "
      "statements it finds."));
  PyRef module_name = check(PyModule_GetNameObject(module.get()));
  PyRef function = check(PyCMethod_New(&kParseDef, module.get(), module_name.get(), nullptr));
  PyRef function_name = check(PyObject_GetAttrString(function.get(), "__name__"));
  const char* text = PyUnicode_AsUTF8(function_name.get());
  if (text == nullptr) throw ErrorAlreadySet{};
  add_to_module(module.get(), text, function.get());
  return module;
}

}  // namespace tarnwick::py
