#include "python/exact/exact_services.hpp"

#include "common/source_file.hpp"
#include "python/common/errors.hpp"

namespace tarnwick::py {

namespace {

// A module of the calling interpreter (importlib.machinery, codecs,
// unicodedata): nothing is kept across calls, as each interpreter has its own.
PyRef module(const char* name) {
  return check(PyImport_ImportModule(name));
}

// Clears the pending error unless it is one that must end the build
// (KeyboardInterrupt, SystemExit and the like): those are passed on.
void swallow_ordinary_error() {
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
    return;
  }
  throw ErrorAlreadySet{};
}

// A spec's origin: a path, or a word such as "built-in", as bytes.
std::optional<std::string> optional_path(PyObject* obj, const char* attr) {
  PyRef value = check(PyObject_GetAttrString(obj, attr));
  if (value.get() == Py_None || !PyUnicode_Check(value.get())) return std::nullopt;
  return path_bytes(value.get());
}

// The kind of module a foreign spec describes, from its origin.
ModuleKind kind_of(const ModuleSpec& spec) {
  if (!spec.origin) {
    return spec.submodule_search_locations ? ModuleKind::kNamespace : ModuleKind::kForeign;
  }
  const std::string& origin = *spec.origin;
  if (origin == "built-in") return ModuleKind::kBuiltin;
  if (origin == "frozen") return ModuleKind::kFrozen;
  const std::optional<std::string_view> ext = path_extension(origin);
  if (ext && *ext == "py") {
    return spec.submodule_search_locations ? ModuleKind::kPackage : ModuleKind::kSource;
  }
  if (ext && *ext == "pyc") return ModuleKind::kBytecode;
  if (ext && (*ext == "so" || *ext == "pyd")) return ModuleKind::kExtension;
  return ModuleKind::kForeign;
}

// Holds the interpreter lock for one call of the services, when the build
// gave it up.
class WithGil {
 public:
  explicit WithGil(ReleasedGil* released) : released_(released) {
    if (released_ != nullptr) PyEval_RestoreThread(released_->state);
  }
  ~WithGil() {
    if (released_ != nullptr) released_->state = PyEval_SaveThread();
  }
  WithGil(const WithGil&) = delete;
  WithGil& operator=(const WithGil&) = delete;

 private:
  ReleasedGil* released_;
};

}  // namespace

PyRef str_of(std::string_view text) {
  return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

std::string_view text_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) throw ErrorAlreadySet{};
  return {data, static_cast<std::size_t>(size)};
}

PyRef path_str(std::string_view path) {
  return check(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

std::string path_bytes(PyObject* str) {
  PyRef bytes = check(PyUnicode_EncodeFSDefault(str));
  return {PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))};
}

std::optional<ModuleSpec> PythonServices::spec_from(PyObject* finder, std::string_view fullname,
                                                    PyObject* path) {
  PyRef name = str_of(fullname);
  PyRef result = PyRef::steal(PyObject_CallMethod(finder, "find_spec", "OO", name.get(), path));
  if (!result) {
    swallow_ordinary_error();  // a finder that fails finds nothing
    return std::nullopt;
  }
  if (result.get() == Py_None) return std::nullopt;
  ModuleSpec spec;
  spec.name = std::string(fullname);
  spec.origin = optional_path(result.get(), "origin");
  PyRef locations = check(PyObject_GetAttrString(result.get(), "submodule_search_locations"));
  if (locations.get() != Py_None) {
    PyRef items = check(PySequence_List(locations.get()));
    spec.submodule_search_locations.emplace();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* item = PyList_GET_ITEM(items.get(), i);
      if (PyUnicode_Check(item)) spec.submodule_search_locations->push_back(path_bytes(item));
    }
  }
  const std::size_t dot = fullname.rfind('.');
  spec.parent = spec.submodule_search_locations
                    ? spec.name
                    : std::string(dot == std::string_view::npos ? std::string_view()
                                                                : fullname.substr(0, dot));
  spec.kind = kind_of(spec);
  return spec;
}

std::optional<ModuleSpec> PythonServices::find(int index, std::string_view fullname,
                                               const std::vector<std::string>* parent_path) {
  const WithGil gil(released_);
  if (index < 0 || static_cast<std::size_t>(index) >= finders_.size()) return std::nullopt;
  PyRef path = PyRef::borrow(Py_None);
  if (parent_path != nullptr) {
    path = check(PyList_New(0));
    for (const std::string& entry : *parent_path) {
      PyRef item = path_str(entry);
      check_status(PyList_Append(path.get(), item.get()));
    }
  }
  return spec_from(finders_[static_cast<std::size_t>(index)].get(), fullname, path.get());
}

std::optional<ModuleSpec> PythonServices::find_in_entry(const std::string& entry,
                                                        std::string_view fullname) {
  const WithGil gil(released_);
  // PathFinder over this one entry: its path hook (zipimport) reads the
  // archive's directory and runs nothing.
  PyRef finder = check(PyObject_GetAttrString(module("importlib.machinery").get(), "PathFinder"));
  PyRef path = check(PyList_New(0));
  PyRef item = path_str(entry);
  check_status(PyList_Append(path.get(), item.get()));
  return spec_from(finder.get(), fullname, path.get());
}

std::optional<std::string> PythonServices::decode(std::string_view bytes,
                                                  const std::string& encoding, std::string& error) {
  const WithGil gil(released_);
  PyRef data =
      check(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  PyRef text = PyRef::steal(
      PyObject_CallMethod(module("codecs").get(), "decode", "Os", data.get(), encoding.c_str()));
  if (!text) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw ErrorAlreadySet{};
    const TakenError failure = TakenError::take();
    error = str_cat("cannot decode with the encoding '", encoding, "'");
    if (PyObject* shown = failure.shown()) {
      if (PyRef message = PyRef::steal(PyObject_Str(shown))) {
        Py_ssize_t size = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(message.get(), &size)) {
          str_append(error, ": ", std::string_view(s, static_cast<std::size_t>(size)));
        }
      }
    }
    PyErr_Clear();
    return std::nullopt;
  }
  if (!PyUnicode_Check(text.get())) {
    error = str_cat("the codec '", encoding, "' does not decode to text");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) {  // lone surrogates
    PyErr_Clear();
    error = str_cat("the codec '", encoding, "' gives text that is not valid Unicode");
    return std::nullopt;
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string PythonServices::normalize_name(std::string_view name) {
  const WithGil gil(released_);
  PyRef text = str_of(name);
  PyRef normal = check(
      PyObject_CallMethod(module("unicodedata").get(), "normalize", "sO", "NFKC", text.get()));
  return std::string(text_of(normal.get()));
}

void PythonServices::check_interrupts() {
  const WithGil gil(released_);
  if (PyErr_CheckSignals() < 0) throw ErrorAlreadySet{};
}

}  // namespace tarnwick::py
