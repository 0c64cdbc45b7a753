// The classes and functions of the exact engine's private module
// (tarnwick_graph._native): Builder, Graph and scan. The public package
// wraps them; arguments are checked there, so these take plain values.
#include "python/exact/exact_types.hpp"

#include <array>
#include <cstdio>
#include <memory>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "exact/exact_builder.hpp"
#include "exact/exact_output.hpp"
#include "exact/import_chains.hpp"
#include "exact/import_scan.hpp"
#include "exact/source_scans.hpp"
#include "python/common/class_support.hpp"
#include "python/exact/exact_services.hpp"

namespace tarnwick::py {

namespace {

ExactState& module_state(PyObject* module) noexcept {
  return *static_cast<ExactState*>(PyModule_GetState(module));
}

// The state of the module that defined `type` (one of its classes).
ExactState& state_of(PyTypeObject* type) {
  PyObject* module = PyType_GetModuleByDef(type, &exact_module_def);
  if (module == nullptr) throw ErrorAlreadySet{};
  return module_state(module);
}

ExactState& state_of(PyObject* self) {
  return state_of(Py_TYPE(self));
}

// An internal failure of the exact engine is its Error too: nothing it
// raises derives from BaseException alone. `owner` is the module, or the
// class of the object, whose entry point failed.
template <class Body>
PyObject* entry_of(PyObject* module, PyTypeObject* owner, Body&& body) noexcept {
  return guarded_with(
      [&](std::string_view message) {
        const std::string text = str_cat("internal failure: ", message);
        PyObject* error = nullptr;
        if (module == nullptr) module = PyType_GetModuleByDef(owner, &exact_module_def);
        if (module != nullptr) error = module_state(module).error;
        PyErr_Clear();
        PyErr_SetString(error != nullptr ? error : PyExc_RuntimeError, text.c_str());
      },
      std::forward<Body>(body));
}

// The entry point of a method of `self`.
template <class Body>
PyObject* entry(PyObject* self, Body&& body) noexcept {
  return entry_of(nullptr, Py_TYPE(self), std::forward<Body>(body));
}

// Raises the module's Error for a module name (or names) given as `what`
// that is not valid Unicode; passes any other failure on.
[[noreturn]] void bad_name(ExactState& state, PyObject* name, const char* what) {
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw ErrorAlreadySet{};
  PyErr_Clear();
  PyErr_Format(state.error, "%s: %R is not a module name (it holds a lone surrogate)", what, name);
  throw ErrorAlreadySet{};
}

// The UTF-8 text of a module name; the module's Error names `what` when it
// is not valid Unicode.
std::string_view name_of(ExactState& state, PyObject* name, const char* what) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(name, &size);
  if (data == nullptr) bad_name(state, name, what);
  return {data, static_cast<std::size_t>(size)};
}

// The UTF-8 text of a source text; the module's Error names `what` when the
// text holds a lone surrogate (no source file decodes to one).
std::string_view source_of(ExactState& state, PyObject* text, const char* what) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data != nullptr) return {data, static_cast<std::size_t>(size)};
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw ErrorAlreadySet{};
  PyErr_Clear();
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  Py_ssize_t at = 0;
  while (at < n && !Py_UNICODE_IS_SURROGATE(PyUnicode_READ_CHAR(text, at))) ++at;
  char code[16] = "";
  if (at < n) std::snprintf(code, sizeof code, "U+%04X", PyUnicode_READ_CHAR(text, at));
  PyErr_Format(state.error, "%s holds a lone surrogate (%s at index %zd): not valid Unicode", what,
               code, at);
  throw ErrorAlreadySet{};
}

PyRef int_of(long long value) {
  return check(PyLong_FromLongLong(value));
}

PyRef optional_path(const std::optional<std::string>& path) {
  return path ? path_str(*path) : PyRef::borrow(Py_None);
}

template <class Range>
PyRef index_tuple(const Range& items) {
  PyRef out = check(PyTuple_New(static_cast<Py_ssize_t>(std::size(items))));
  Py_ssize_t i = 0;
  for (const auto item : items) PyTuple_SET_ITEM(out.get(), i++, int_of(item).release());
  return out;
}

// A sequence of str as text: module names (the module's Error for one that
// is not valid Unicode) or, with `paths`, file-system paths as os.fsencode
// gives them.
std::vector<std::string> str_list(ExactState& state, PyObject* seq, const char* what,
                                  bool paths = false) {
  PyRef items = check(PySequence_Fast(seq, what));
  std::vector<std::string> out;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) raise(PyExc_TypeError, str_cat(what, ": expected str items"));
    if (paths) {
      out.push_back(path_bytes(item));
    } else {
      out.emplace_back(name_of(state, item, what));
    }
  }
  return out;
}

PyObject* config_item(PyObject* config, const char* key) {
  PyObject* value = PyDict_GetItemString(config, key);  // borrowed
  if (value == nullptr) raise(PyExc_KeyError, str_cat("config has no '", key, "'"));
  return value;
}

// ---- Graph ---------------------------------------------------------------------

struct GraphValue {
  std::shared_ptr<const ExactGraph> graph;
};

PyRef wrap(ExactState& state, std::shared_ptr<const ExactGraph> graph) {
  return make_instance(state.graph, GraphValue{std::move(graph)});
}

const ExactGraph& graph_of(PyObject* self) {
  return *as_instance<GraphValue>(self)->value.graph;
}

std::uint32_t node_index(const ExactGraph& g, PyObject* arg) {
  const long long i = PyLong_AsLongLong(arg);
  if (i == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
  if (i < 0 || static_cast<unsigned long long>(i) >= g.size()) {
    raise(PyExc_IndexError, "module index out of range");
  }
  return static_cast<std::uint32_t>(i);
}

Py_ssize_t graph_len(PyObject* self) noexcept {
  return static_cast<Py_ssize_t>(graph_of(self).size());
}

// (names, kinds, origins, depths): every module's fields, as four tuples.
PyObject* graph_table(PyObject* self, PyObject*) noexcept {
  return entry(self, [&] {
    const ExactGraph& g = graph_of(self);
    const auto n = static_cast<Py_ssize_t>(g.size());
    PyRef names = check(PyTuple_New(n)), kinds = check(PyTuple_New(n)),
          origins = check(PyTuple_New(n)), depths = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      const auto k = static_cast<std::uint32_t>(i);
      const ExactGraph::Module& module = g.module(k);
      PyTuple_SET_ITEM(names.get(), i, str_of(module.name).release());
      PyTuple_SET_ITEM(kinds.get(), i, str_of(kind_name(module.kind)).release());
      PyTuple_SET_ITEM(origins.get(), i, optional_path(module.origin).release());
      PyTuple_SET_ITEM(depths.get(), i, int_of(g.depth(k)).release());
    }
    return PyTuple_Pack(4, names.get(), kinds.get(), origins.get(), depths.get());
  });
}

PyObject* graph_find(PyObject* self, PyObject* name) noexcept {
  return entry(self, [&] {
    if (!PyUnicode_Check(name)) raise(PyExc_TypeError, "find() takes a str");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) {  // not valid Unicode: no module has that name
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw ErrorAlreadySet{};
      PyErr_Clear();
      return int_of(-1).release();
    }
    const std::optional<std::uint32_t> i =
        graph_of(self).find(std::string_view(text, static_cast<std::size_t>(size)));
    return int_of(i ? static_cast<long long>(*i) : -1).release();
  });
}

PyObject* graph_imports(PyObject* self, PyObject* arg) noexcept {
  return entry(self, [&] {
    const ExactGraph& g = graph_of(self);
    return index_tuple(g.imports(node_index(g, arg))).release();
  });
}

PyObject* graph_importers_of(PyObject* self, PyObject* arg) noexcept {
  return entry(self, [&] {
    const ExactGraph& g = graph_of(self);
    return index_tuple(g.importers_of(node_index(g, arg))).release();
  });
}

PyObject* graph_roots(PyObject* self, PyObject*) noexcept {
  return entry(self, [&] { return index_tuple(graph_of(self).roots()).release(); });
}

PyObject* graph_edge_count(PyObject* self, PyObject*) noexcept {
  return entry(
      self, [&] { return int_of(static_cast<long long>(graph_of(self).edge_count())).release(); });
}

// sites(i, j) -> ((line, context), ...)
PyObject* graph_sites(PyObject* self, PyObject* args) noexcept {
  return entry(self, [&] {
    PyObject *a = nullptr, *b = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &a, &b)) throw ErrorAlreadySet{};
    const ExactGraph& g = graph_of(self);
    const std::span<const Site> sites = g.sites(node_index(g, a), node_index(g, b));
    PyRef out = check(PyTuple_New(static_cast<Py_ssize_t>(sites.size())));
    for (std::size_t k = 0; k < sites.size(); ++k) {
      PyObject* pair =
          Py_BuildValue("(II)", sites[k].line, static_cast<unsigned>(sites[k].context));
      if (pair == nullptr) throw ErrorAlreadySet{};
      PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), pair);
    }
    return out.release();
  });
}

// problems() -> ((importer or None, name, line, reason, kind), ...)
PyObject* graph_problems(PyObject* self, PyObject*) noexcept {
  return entry(self, [&] {
    const std::vector<Problem>& problems = graph_of(self).problems();
    PyRef out = check(PyTuple_New(static_cast<Py_ssize_t>(problems.size())));
    for (std::size_t k = 0; k < problems.size(); ++k) {
      const Problem& p = problems[k];
      PyRef importer = p.importer.empty() ? PyRef::borrow(Py_None) : str_of(p.importer);
      // A problem may name a file (one no import can name): its name and
      // reason are decoded as paths.
      PyRef name = path_str(p.name), reason = path_str(problem_reason(p)),
            kind = str_of(problem_kind_name(p.kind));
      PyObject* item =
          Py_BuildValue("(OOIOO)", importer.get(), name.get(), p.line, reason.get(), kind.get());
      if (item == nullptr) throw ErrorAlreadySet{};
      PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), item);
    }
    return out.release();
  });
}

PyObject* graph_cycles(PyObject* self, PyObject*) noexcept {
  return entry(self, [&] {
    const std::vector<std::vector<std::uint32_t>> cycles = graph_of(self).cycles();
    PyRef out = check(PyList_New(static_cast<Py_ssize_t>(cycles.size())));
    for (std::size_t k = 0; k < cycles.size(); ++k) {
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), index_tuple(cycles[k]).release());
    }
    return out.release();
  });
}

// importers(targets, transitive) -> (index, ...)
PyObject* graph_importers(PyObject* self, PyObject* args) noexcept {
  return entry(self, [&] {
    PyObject* targets = nullptr;
    int transitive = 1;
    if (!PyArg_ParseTuple(args, "Op", &targets, &transitive)) throw ErrorAlreadySet{};
    const ExactGraph& g = graph_of(self);
    PyRef items = check(PySequence_Fast(targets, "importers() takes a sequence of indices"));
    std::vector<std::uint32_t> ids;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(items.get()); ++k) {
      ids.push_back(node_index(g, PySequence_Fast_GET_ITEM(items.get(), k)));
    }
    return index_tuple(g.importers(ids, transitive != 0)).release();
  });
}

// subgraph(keep: bytes, one byte per module) -> Graph
PyObject* graph_subgraph(PyObject* self, PyObject* keep) noexcept {
  return entry(self, [&] {
    const ExactGraph& g = graph_of(self);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(keep, &data, &size) < 0) throw ErrorAlreadySet{};
    if (static_cast<std::size_t>(size) != g.size()) {
      raise(PyExc_ValueError, "subgraph() takes one byte per module");
    }
    std::vector<bool> mask(g.size());
    for (std::size_t i = 0; i < g.size(); ++i) mask[i] = data[i] != 0;
    return wrap(state_of(self), std::make_shared<const ExactGraph>(g.subgraph(mask))).release();
  });
}

// The graph `make` gives from this one's, made without the interpreter lock.
template <class Make>
PyObject* derived(PyObject* self, Make&& make) {
  std::shared_ptr<const ExactGraph> graph = as_instance<GraphValue>(self)->value.graph;
  std::shared_ptr<const ExactGraph> out;
  {
    const ReleasedGil released;
    out = std::make_shared<const ExactGraph>(make(*graph));
  }
  return wrap(state_of(self), std::move(out)).release();
}

// as_written() -> Graph with only the imports statements name
PyObject* graph_as_written(PyObject* self, PyObject*) noexcept {
  return entry(self,
               [&] { return derived(self, [](const ExactGraph& g) { return g.as_written(); }); });
}

// without_imports(pairs) -> Graph less the edges (importer, imported), by index
PyObject* graph_without_imports(PyObject* self, PyObject* pairs) noexcept {
  return entry(self, [&] {
    const ExactGraph& g = graph_of(self);
    PyRef items = check(PySequence_Fast(pairs, "without_imports() takes a sequence of pairs"));
    std::vector<ExactGraph::Edge> removed;
    removed.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get())));
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(items.get()); ++k) {
      PyObject* pair = PySequence_Fast_GET_ITEM(items.get(), k);
      if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
        raise(PyExc_TypeError, "without_imports() takes (importer, imported) index pairs");
      }
      removed.push_back(
          {node_index(g, PyTuple_GET_ITEM(pair, 0)), node_index(g, PyTuple_GET_ITEM(pair, 1))});
    }
    return derived(self,
                   [&](const ExactGraph& graph) { return graph.without(std::move(removed)); });
  });
}

// Indices from a sequence of ints, each checked against the graph.
std::vector<std::uint32_t> index_list(const ExactGraph& g, PyObject* seq, const char* what) {
  PyRef items = check(PySequence_Fast(seq, what));
  std::vector<std::uint32_t> out;
  out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get())));
  for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(items.get()); ++k) {
    out.push_back(node_index(g, PySequence_Fast_GET_ITEM(items.get(), k)));
  }
  return out;
}

PyRef chain_list(const std::vector<Chain>& chains) {
  PyRef out = check(PyList_New(static_cast<Py_ssize_t>(chains.size())));
  for (std::size_t k = 0; k < chains.size(); ++k) {
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), index_tuple(chains[k]).release());
  }
  return out;
}

// chains_between(importer, imported, as_packages, limit) -> [(index, ...), ...]
PyObject* graph_chains_between(PyObject* self, PyObject* args) noexcept {
  return entry(self, [&] {
    PyObject *a = nullptr, *b = nullptr;
    int as_packages = 0;
    Py_ssize_t limit = 0;
    if (!PyArg_ParseTuple(args, "OOpn", &a, &b, &as_packages, &limit)) throw ErrorAlreadySet{};
    if (limit < 0) raise(PyExc_ValueError, "chains_between(): limit must be 0 or more");
    const ExactGraph& g = graph_of(self);
    const std::uint32_t importer = node_index(g, a), imported = node_index(g, b);
    std::vector<Chain> chains;
    {
      const ReleasedGil released;
      const std::vector<std::uint32_t> sources = package_members(g, importer, as_packages != 0);
      const std::vector<std::uint32_t> targets = package_members(g, imported, as_packages != 0);
      if (std::find_first_of(sources.begin(), sources.end(), targets.begin(), targets.end()) ==
          sources.end()) {
        chains = successive_chains(g, sources, targets, static_cast<std::size_t>(limit));
        sort_by_names(g, chains);
      }
    }
    return chain_list(chains).release();
  });
}

// pop_chains(sources, targets, excluded) -> [(index, ...), ...]: the middles
PyObject* graph_pop_chains(PyObject* self, PyObject* args) noexcept {
  return entry(self, [&] {
    PyObject *a = nullptr, *b = nullptr, *excluded = nullptr;
    if (!PyArg_ParseTuple(args, "OOO", &a, &b, &excluded)) throw ErrorAlreadySet{};
    const ExactGraph& g = graph_of(self);
    const std::vector<std::uint32_t> sources = index_list(g, a, "pop_chains(): sources");
    const std::vector<std::uint32_t> targets = index_list(g, b, "pop_chains(): targets");
    std::vector<std::uint8_t> bytes;
    if (excluded != Py_None) {
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(excluded, &data, &size) < 0) throw ErrorAlreadySet{};
      if (static_cast<std::size_t>(size) != g.size()) {
        raise(PyExc_ValueError, "pop_chains() takes one excluded byte per module");
      }
      bytes.assign(data, data + size);
    }
    std::vector<std::uint8_t> role(g.size(), 0);
    for (const std::uint32_t s : sources) role[s] = 1;
    for (const std::uint32_t t : targets) {
      if (role[t] == 1) raise(PyExc_ValueError, "pop_chains(): sources and targets overlap");
    }
    std::vector<Chain> chains;
    {
      const ReleasedGil released;
      chains = pop_chains(g, sources, targets, bytes);
    }
    return chain_list(chains).release();
  });
}

// same_modules(other) -> whether both graphs hold the same modules (names,
// kinds and origins), so a rebuild's wrapper can keep the last one's tables.
PyObject* graph_same_modules(PyObject* self, PyObject* other) noexcept {
  return entry(self, [&] {
    if (!PyObject_TypeCheck(other, Py_TYPE(self)))
      raise(PyExc_TypeError, "same_modules() takes a Graph");
    return PyBool_FromLong(graph_of(self).same_modules(graph_of(other)) ? 1 : 0);
  });
}

// same_problems(other) -> whether both graphs hold the same problems
PyObject* graph_same_problems(PyObject* self, PyObject* other) noexcept {
  return entry(self, [&] {
    if (!PyObject_TypeCheck(other, Py_TYPE(self)))
      raise(PyExc_TypeError, "same_problems() takes a Graph");
    return PyBool_FromLong(graph_of(self).problems() == graph_of(other).problems() ? 1 : 0);
  });
}

// same_depths(other) -> whether both graphs share their depths, so a
// rebuild's wrapper can keep the last one's.
PyObject* graph_same_depths(PyObject* self, PyObject* other) noexcept {
  return entry(self, [&] {
    if (!PyObject_TypeCheck(other, Py_TYPE(self)))
      raise(PyExc_TypeError, "same_depths() takes a Graph");
    return PyBool_FromLong(graph_of(self).same_depths(graph_of(other)) ? 1 : 0);
  });
}

// depths() -> (depth, ...) by module index
PyObject* graph_depths(PyObject* self, PyObject*) noexcept {
  return entry(self, [&] {
    const ExactGraph& g = graph_of(self);
    PyRef out = check(PyTuple_New(static_cast<Py_ssize_t>(g.size())));
    for (std::uint32_t i = 0; i < g.size(); ++i) {
      PyTuple_SET_ITEM(out.get(), i, int_of(g.depth(i)).release());
    }
    return out.release();
  });
}

// An indent of None or a non-negative int.
std::optional<std::size_t> indent_of(PyObject* indent) {
  if (indent == Py_None) return std::nullopt;
  const long long n = PyLong_AsLongLong(indent);
  if (n == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
  if (n < 0) raise(PyExc_ValueError, "indent must be None or at least 0");
  return static_cast<std::size_t>(n);
}

// to_json(indent) -> the graph as json.dumps writes it
PyObject* graph_to_json(PyObject* self, PyObject* indent) noexcept {
  return entry(self, [&] { return str_of(to_json(graph_of(self), indent_of(indent))).release(); });
}

// write_json(indent, write): the same text handed to write() in pieces, so
// a large graph's text is never held whole.
PyObject* graph_write_json(PyObject* self, PyObject* args) noexcept {
  return entry(self, [&] {
    PyObject *indent = nullptr, *write = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &indent, &write)) throw ErrorAlreadySet{};
    to_json(output_of(graph_of(self)), indent_of(indent), [&](std::string& piece) {
      PyRef text = str_of(piece);  // ASCII: json escapes the rest
      check(PyObject_CallOneArg(write, text.get()));
    });
    return PyRef::borrow(Py_None).release();
  });
}

PyObject* graph_to_dot(PyObject* self, PyObject*) noexcept {
  return entry(self, [&] { return str_of(to_dot(graph_of(self))).release(); });
}

// chains(index) -> an iterator of every shortest chain to the module, as
// lists of names
PyObject* graph_chains(PyObject* self, PyObject* arg) noexcept;

// collapsed(inside) -> Graph with the modules outside the packages `inside`
// folded into their top-level names
PyObject* graph_collapsed(PyObject* self, PyObject* inside) noexcept {
  return entry(self, [&] {
    ExactState& state = state_of(self);
    const std::vector<std::string> packages = str_list(state, inside, "packages");
    return wrap(state, std::make_shared<const ExactGraph>(collapsed(graph_of(self), packages)))
        .release();
  });
}

PyMethodDef kGraphMethods[] = {
    {"same_modules", graph_same_modules, METH_O,
     "same_modules(other, /) -> bool\n\n"
     "Whether both graphs hold the same modules (names, kinds and origins), by index."},
    {"depths", graph_depths, METH_NOARGS,
     "depths() -> (depth, ...)\n\nEvery module's depth, by index."},
    {"same_depths", graph_same_depths, METH_O,
     "same_depths(other, /) -> bool\n\nWhether both graphs give every module the same depth."},
    {"same_problems", graph_same_problems, METH_O,
     "same_problems(other, /) -> bool\n\nWhether both graphs hold the same problems."},
    {"table", graph_table, METH_NOARGS,
     "table() -> (names, kinds, origins, depths)\n\n"
     "Every module's fields as four tuples, by index; origins are file-system paths\n"
     "(os.fsdecode) or None."},
    {"find", graph_find, METH_O, "find(name, /) -> int\n\nThe index of the module `name`, or -1."},
    {"imports", graph_imports, METH_O,
     "imports(index, /) -> (index, ...)\n\nThe modules the module at `index` imports."},
    {"importers_of", graph_importers_of, METH_O,
     "importers_of(index, /) -> (index, ...)\n\nThe modules that import the module at `index`."},
    {"roots", graph_roots, METH_NOARGS, "roots() -> (index, ...)\n\nThe graph's roots."},
    {"edge_count", graph_edge_count, METH_NOARGS, "edge_count() -> int\n\nThe number of imports."},
    {"sites", graph_sites, METH_VARARGS,
     "sites(importer, imported, /) -> ((line, context), ...)\n\n"
     "Where the statements making one import stand: line and context flags."},
    {"problems", graph_problems, METH_NOARGS,
     "problems() -> ((importer, name, line, reason, kind), ...)\n\n"
     "What the build could not follow (importer None: a requested module)."},
    {"cycles", graph_cycles, METH_NOARGS,
     "cycles() -> [(index, ...), ...]\n\nThe import cycles: strongly connected components."},
    {"importers", graph_importers, METH_VARARGS,
     "importers(targets, transitive, /) -> (index, ...)\n\n"
     "The modules importing any of `targets`, directly or (with `transitive`) not."},
    {"subgraph", graph_subgraph, METH_O,
     "subgraph(keep, /) -> Graph\n\nThe graph of the modules whose byte in `keep` is not zero."},
    {"as_written", graph_as_written, METH_NOARGS,
     "as_written() -> Graph\n\n"
     "The same modules with only the imports some statement names, each with those sites."},
    {"without_imports", graph_without_imports, METH_O,
     "without_imports(pairs, /) -> Graph\n\n"
     "The graph less the imports given as (importer, imported) index pairs."},
    {"chains_between", graph_chains_between, METH_VARARGS,
     "chains_between(importer, imported, as_packages, limit, /) -> [(index, ...), ...]\n\n"
     "Shortest chains from importer to imported (with as_packages, from any module of\n"
     "one package to any of the other), each one's imports taken away before the next\n"
     "is sought, until none is left or `limit` were found (0: no limit); sorted by name.\n"
     "Empty when the two share a module."},
    {"pop_chains", graph_pop_chains, METH_VARARGS,
     "pop_chains(sources, targets, excluded, /) -> [(index, ...), ...]\n\n"
     "The middles of the shortest chains from the sources, squashed into one module, to\n"
     "the targets, squashed likewise, popped one at a time after the direct imports\n"
     "are removed; modules whose `excluded` byte is not zero take no part."},
    {"to_json", graph_to_json, METH_O,
     "to_json(indent, /) -> str\n\n"
     "The graph as JSON text, as json.dumps writes it (ASCII; a path that is not valid\n"
     "UTF-8 carries its bytes as \\udcXX escapes)."},
    {"write_json", graph_write_json, METH_VARARGS,
     "write_json(indent, write, /) -> None\n\nThe text to_json gives, handed to write() in "
     "pieces."},
    {"to_dot", graph_to_dot, METH_NOARGS, "to_dot() -> str\n\nThe graph as Graphviz DOT text."},
    {"chains", graph_chains, METH_O,
     "chains(index, /) -> Chains\n\n"
     "An iterator of every shortest import chain from a root to the module at `index`."},
    {"collapsed", graph_collapsed, METH_O,
     "collapsed(inside, /) -> Graph\n\n"
     "The graph with every module outside the packages `inside` folded into its\n"
     "top-level name."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kGraphSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<GraphValue>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_methods, kGraphMethods},
    {Py_mp_length, reinterpret_cast<void*>(graph_len)},
    {Py_tp_doc, const_cast<char*>("An import graph built by the exact engine: modules by index, "
                                  "with their imports, depths and problems. Read-only.")},
    {0, nullptr},
};

PyType_Spec kGraphSpec = {"tarnwick_graph._native.Graph", sizeof(Instance<GraphValue>), 0,
                          Py_TPFLAGS_DEFAULT, kGraphSlots};

// ---- Chains --------------------------------------------------------------------

// The walk holds the graph it walks.
struct ChainsValue {
  std::shared_ptr<const ExactGraph> graph;
  ShortestChains walk;
  std::vector<std::uint32_t> chain;
};

PyObject* chains_next(PyObject* self) noexcept {
  return entry(self, [&]() -> PyObject* {
    ChainsValue& v = as_instance<ChainsValue>(self)->value;
    if (!v.walk.next(v.chain)) return nullptr;  // no error set: StopIteration
    PyRef out = check(PyList_New(static_cast<Py_ssize_t>(v.chain.size())));
    for (std::size_t k = 0; k < v.chain.size(); ++k) {
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k),
                      str_of(v.graph->module(v.chain[k]).name).release());
    }
    return out.release();
  });
}

PyType_Slot kChainsSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ChainsValue>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(chains_next)},
    {Py_tp_doc, const_cast<char*>("The shortest import chains to one module, one at a time.")},
    {0, nullptr},
};

PyType_Spec kChainsSpec = {"tarnwick_graph._native.Chains", sizeof(Instance<ChainsValue>), 0,
                           Py_TPFLAGS_DEFAULT, kChainsSlots};

PyObject* graph_chains(PyObject* self, PyObject* arg) noexcept {
  return entry(self, [&] {
    PyTypeObject* type = state_of(self).chains;
    std::shared_ptr<const ExactGraph> graph = as_instance<GraphValue>(self)->value.graph;
    const std::uint32_t target = node_index(*graph, arg);
    ShortestChains walk(*graph, target);
    return make_instance(type, ChainsValue{std::move(graph), std::move(walk), {}}).release();
  });
}

// ---- Builder -------------------------------------------------------------------

// A builder that holds many modules is freed on a thread of its own: its
// memory is hundreds of thousands of small blocks, and the caller that drops
// it (build() returning, say) need not wait for them.
struct FreeAside {
  void operator()(ExactBuilder* builder) const noexcept {
    constexpr std::size_t kManyModules = 10000;
    if (builder->held_modules() >= kManyModules) {
      try {
        std::thread([builder] { delete builder; }).detach();
        return;
      } catch (...) {  // no thread to be had: freed here
      }
    }
    delete builder;
  }
};

struct BuilderValue {
  std::unique_ptr<ExactBuilder, FreeAside> builder;
  std::vector<PyRef> finders;  // the foreign meta-path finders, by index
};

FinderConfig finder_config(ExactState& state, PyObject* config, std::vector<PyRef>& finders) {
  if (!PyDict_Check(config)) raise(PyExc_TypeError, "Builder() takes a config dict");
  FinderConfig c;
  c.search_path = str_list(state, config_item(config, "search_path"), "sys_path", true);
  c.extension_suffixes =
      str_list(state, config_item(config, "extension_suffixes"), "extension_suffixes");
  c.source_suffixes = str_list(state, config_item(config, "source_suffixes"), "source_suffixes");
  c.bytecode_suffixes =
      str_list(state, config_item(config, "bytecode_suffixes"), "bytecode_suffixes");
  c.builtin_names = str_list(state, config_item(config, "builtin_names"), "builtin_names");
  PyObject* stdlib_dir = config_item(config, "stdlib_dir");
  if (!PyUnicode_Check(stdlib_dir)) raise(PyExc_TypeError, "stdlib_dir must be a str");
  c.stdlib_dir = path_bytes(stdlib_dir);

  PyRef frozen = check(PySequence_Fast(config_item(config, "frozen"), "frozen"));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(frozen.get()); ++i) {
    const char *name = nullptr, *origname = nullptr;
    int package = 0;
    if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(frozen.get(), i), "ssp", &name, &origname,
                          &package)) {
      throw ErrorAlreadySet{};
    }
    c.frozen.push_back(FinderConfig::Frozen{name, origname, package != 0});
  }

  c.meta_path.clear();
  PyRef steps = check(PySequence_Fast(config_item(config, "meta_path"), "meta_path"));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(steps.get()); ++i) {
    PyObject* step = PySequence_Fast_GET_ITEM(steps.get(), i);
    if (PyUnicode_Check(step)) {
      const std::string_view which = text_of(step);
      if (which == "builtin") {
        c.meta_path.push_back({FinderConfig::Step::kBuiltin});
      } else if (which == "frozen") {
        c.meta_path.push_back({FinderConfig::Step::kFrozen});
      } else if (which == "path") {
        c.meta_path.push_back({FinderConfig::Step::kPath});
      } else {
        raise(PyExc_ValueError, str_cat("unknown meta_path step '", which, "'"));
      }
    } else {
      // A finder, or (finder, names): a finder asked for those top-level
      // names only.
      FinderConfig::MetaStep foreign{
          FinderConfig::Step::kForeign, static_cast<int>(finders.size()), {}};
      PyObject* finder = step;
      if (PyTuple_Check(step) && PyTuple_GET_SIZE(step) == 2) {
        finder = PyTuple_GET_ITEM(step, 0);
        foreign.only = str_list(state, PyTuple_GET_ITEM(step, 1), "meta_path: names");
        if (foreign.only.empty()) continue;  // asked for nothing
      }
      c.meta_path.push_back(std::move(foreign));
      finders.push_back(PyRef::borrow(finder));
    }
  }
  return c;
}

PyObject* builder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return entry_of(nullptr, type, [&] {
    PyObject* config = nullptr;
    Py_ssize_t workers = 0;
    int keep = 1;
    static const char* kKeywords[] = {"config", "workers", "keep", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|np", const_cast<char**>(kKeywords), &config,
                                     &workers, &keep)) {
      throw ErrorAlreadySet{};
    }
    if (workers < 0) raise(PyExc_ValueError, "Builder(): workers must be 0 (all) or more");
    BuilderValue value;
    FinderConfig c = finder_config(state_of(type), config, value.finders);
    value.builder.reset(
        new ExactBuilder(std::move(c), true, static_cast<std::size_t>(workers), keep));
    return make_instance(type, std::move(value)).release();
  });
}

// The builder's flag, taken for one call: finders and codecs may run Python
// code that releases the interpreter lock, so another thread could reach the
// builder meanwhile; it then gets the module's Error rather than a race.
template <class Borrow>
Borrow borrow_builder(ExactState& state, PyObject* self, bool exclusive) {
  BorrowFlag& flag = as_instance<BuilderValue>(self)->flag;
  if (exclusive ? flag.borrowed() : flag.exclusive()) {
    raise(state.error, "this Builder is already building on another thread");
  }
  return Borrow(flag);
}

// build(kind, target, package, within, skip) -> Graph; kind is "script",
// "text", "modules" or "packages"; target a str for the first two, a
// sequence of str otherwise; within None (read everything) or a sequence of
// package names; skip the context flags of statements not to follow.
PyObject* builder_build(PyObject* self, PyObject* args) noexcept {
  return entry(self, [&] {
    const char* kind = nullptr;
    PyObject* target = nullptr;
    PyObject* package = nullptr;
    PyObject* within = nullptr;
    unsigned char skip = 0;
    if (!PyArg_ParseTuple(args, "sOUOb", &kind, &target, &package, &within, &skip)) {
      throw ErrorAlreadySet{};
    }
    ExactState& state = state_of(self);
    ExactRequest request;
    request.package = name_of(state, package, "package");
    request.skip_context = skip;
    if (within != Py_None) request.read_within = str_list(state, within, "within");
    const std::string_view k = kind;
    if (k == "script" || k == "text") {
      if (!PyUnicode_Check(target)) raise(PyExc_TypeError, "build(): target must be a str");
      if (k == "script") {
        request.kind = ExactRequest::Kind::kScript;
        request.path = path_bytes(target);
      } else {
        request.kind = ExactRequest::Kind::kText;
        request.text = source_of(state, target, "source");
      }
    } else if (k == "modules" || k == "packages") {
      request.kind = k == "modules" ? ExactRequest::Kind::kModules : ExactRequest::Kind::kPackages;
      request.names = str_list(state, target, k == "modules" ? "modules" : "packages");
    } else {
      raise(PyExc_ValueError, str_cat("build(): unknown kind '", k, "'"));
    }
    auto* inst = as_instance<BuilderValue>(self);
    const auto borrow = borrow_builder<ExclusiveBorrow>(state, self, true);
    std::shared_ptr<const ExactGraph> graph;
    {
      // The build runs without the interpreter lock; the services take it
      // back for each question only the interpreter can answer.
      ReleasedGil released;
      PythonServices services(inst->value.finders, &released);
      graph = inst->value.builder->build(request, &services);
    }
    // Whether it is the last build's graph, read under the same borrow: a
    // build on another thread may start as soon as this one returns.
    const bool reused = inst->value.builder->last_stats().reused;
    PyRef wrapped = wrap(state, std::move(graph));
    return PyTuple_Pack(2, wrapped.get(), reused ? Py_True : Py_False);
  });
}

// find(name) -> (kind, origin, locations) or the reason it was not found
PyObject* builder_find(PyObject* self, PyObject* name) noexcept {
  return entry(self, [&]() -> PyObject* {
    if (!PyUnicode_Check(name)) raise(PyExc_TypeError, "find() takes a str");
    ExactState& state = state_of(self);
    const std::string_view text = name_of(state, name, "name");
    auto* inst = as_instance<BuilderValue>(self);
    const auto borrow = borrow_builder<ExclusiveBorrow>(state, self, true);
    PythonServices services(inst->value.finders);
    const Lookup& found = inst->value.builder->find(text, &services);
    if (!found.spec) {
      switch (found.miss) {
        case Miss::kParentNotFound:
          return str_of("parent not found").release();
        case Miss::kParentNotPackage:
          return str_of("parent is not a package").release();
        default:
          return str_of("not found").release();
      }
    }
    const ModuleSpec& spec = *found.spec;
    PyRef locations = PyRef::borrow(Py_None);
    if (spec.submodule_search_locations) {
      locations =
          check(PyTuple_New(static_cast<Py_ssize_t>(spec.submodule_search_locations->size())));
      Py_ssize_t i = 0;
      for (const std::string& loc : *spec.submodule_search_locations) {
        PyTuple_SET_ITEM(locations.get(), i++, path_str(loc).release());
      }
    }
    PyRef kind = str_of(kind_name(spec.kind));
    PyRef origin = optional_path(spec.origin);
    return PyTuple_Pack(3, kind.get(), origin.get(), locations.get());
  });
}

// stats() -> (reused, files_read, files) of the last build
PyObject* builder_stats(PyObject* self, PyObject*) noexcept {
  return entry(self, [&] {
    const auto borrow = borrow_builder<SharedBorrow>(state_of(self), self, false);
    const ExactBuilder::Stats& s = as_instance<BuilderValue>(self)->value.builder->last_stats();
    return Py_BuildValue("(Onn)", s.reused ? Py_True : Py_False,
                         static_cast<Py_ssize_t>(s.files_read), static_cast<Py_ssize_t>(s.files));
  });
}

// The finders are the builder's only Python objects: a finder that refers
// back to its builder makes a cycle the collector must be able to see.
int builder_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  for (const PyRef& finder : as_instance<BuilderValue>(self)->value.finders) {
    Py_VISIT(finder.get());
  }
  return 0;
}

// Drops the finders (a builder without them finds nothing through them).
int builder_clear(PyObject* self) noexcept {
  std::vector<PyRef> dropped;
  dropped.swap(as_instance<BuilderValue>(self)->value.finders);
  return 0;  // released here, once the builder no longer refers to them
}

PyMethodDef kBuilderMethods[] = {
    {"build", builder_build, METH_VARARGS,
     "build(kind, target, package, within, skip, /) -> (Graph, reused)\n\n"
     "Builds a graph: kind is \"script\" (target a path), \"text\" (target a source text),\n"
     "\"modules\" or \"packages\" (target a sequence of names); package the package a script\n"
     "or text runs in (\"\" for none); within None or the package names whose modules are\n"
     "read; skip the context flags of the statements not to follow. reused: whether the\n"
     "graph is the last build's, nothing having changed. Raises Error when the\n"
     "builder is already building on another thread."},
    {"find", builder_find, METH_O,
     "find(name, /) -> (kind, origin, locations) | str\n\n"
     "Where the module `name` lives, as the builds find it, or why it was not found."},
    {"stats", builder_stats, METH_NOARGS,
     "stats() -> (reused, files_read, files)\n\n"
     "What the last build did: whether it returned the graph before it, how many files it\n"
     "read and how many files it holds."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kBuilderSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_gc_instance<BuilderValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(builder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(builder_clear)},
    {Py_tp_new, reinterpret_cast<void*>(builder_new)},
    {Py_tp_methods, kBuilderMethods},
    {Py_tp_doc,
     const_cast<char*>("Builder(config, workers=0, keep=True)\n\n"
                       "The exact engine's builder for one search path: it keeps what it read and "
                       "found\n"
                       "for the next build. `config` is the finder configuration (search_path, "
                       "suffixes,\n"
                       "builtin and frozen modules, meta_path), `workers` the threads a build may "
                       "use\n"
                       "(0: as many as the process may use), `keep` whether to keep what a rebuild "
                       "needs.")},
    {0, nullptr},
};

PyType_Spec kBuilderSpec = {"tarnwick_graph._native.Builder", sizeof(Instance<BuilderValue>), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kBuilderSlots};

// ---- scan ----------------------------------------------------------------------

// The classes scan() makes its records of, or plain tuples. A record class
// is a tuple class without fields of its own (a named tuple's subclass with
// empty __slots__), so a record is allocated as its class and filled as a
// tuple, without a call into Python for each.
struct RecordTypes {
  PyTypeObject* statement = &PyTuple_Type;
  PyTypeObject* alias = &PyTuple_Type;
  PyTypeObject* site = &PyTuple_Type;
};

PyTypeObject* record_type(PyObject* arg, Py_ssize_t fields, const char* what) {
  auto* type = reinterpret_cast<PyTypeObject*>(arg);
  if (!PyType_Check(arg) || !PyType_IsSubtype(type, &PyTuple_Type) ||
      type->tp_basicsize != PyTuple_Type.tp_basicsize ||
      type->tp_itemsize != PyTuple_Type.tp_itemsize) {
    raise(PyExc_TypeError, str_cat("scan(): ", what, " must be a tuple class with no slots"));
  }
  PyRef names = check(PyObject_GetAttrString(arg, "_fields"));
  const Py_ssize_t n = PyObject_Length(names.get());
  if (n < 0) throw ErrorAlreadySet{};
  if (n != fields) {
    raise(PyExc_TypeError, str_cat("scan(): ", what, " must have ", fields, " fields"));
  }
  return type;
}

// A record holds str, int, bool and None values and other records: nothing
// that can take part in a reference cycle, so the collector need not track
// it (it stops tracking such plain tuples itself once it has seen them).
void untrack(const PyRef& record) {
  if (PyObject_GC_IsTracked(record.get())) PyObject_GC_UnTrack(record.get());
}

// A record of `type` holding `items`.
template <std::size_t N>
PyRef record(PyTypeObject* type, std::array<PyRef, N>& items) {
  const auto n = static_cast<Py_ssize_t>(N);
  PyRef out;
  if (type == &PyTuple_Type) {
    out = check(PyTuple_New(n));
  } else {
#if PY_VERSION_HEX >= 0x030E0000
    // Tuples cache their hash from 3.14: the record is made by tuple's own
    // constructor, which resets it.
    PyRef plain = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(plain.get(), i, items[i].release());
    PyRef args = check(PyTuple_Pack(1, plain.get()));
    PyRef made = check(PyTuple_Type.tp_new(type, args.get(), nullptr));
    untrack(made);
    return made;
#else
    out = check(type->tp_alloc(type, n));
#endif
  }
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(out.get(), i, items[i].release());
  untrack(out);
  return out;
}

PyRef bool_ref(bool value) {
  return PyRef::borrow(value ? Py_True : Py_False);
}

// The values a scan shares between its records, as a text names the same
// modules again and again: one str per distinct name, and one alias record
// per name imported without `as` (records cannot change, so sharing them is
// safe). The views point into the scan's statements.
class SharedValues {
 public:
  explicit SharedValues(const RecordTypes& types) : types_(types) {}

  PyRef str(std::string_view name) {
    auto [at, added] = strs_.try_emplace(name);
    if (added) at->second = str_of(name);
    return at->second;
  }

  PyRef alias(const Alias& alias) {
    if (!alias.asname.empty()) {
      std::array<PyRef, 2> fields{str(alias.name), str(alias.asname)};
      return record(types_.alias, fields);
    }
    auto [at, added] = aliases_.try_emplace(alias.name);
    if (added) {
      std::array<PyRef, 2> fields{str(alias.name), PyRef::borrow(Py_None)};
      at->second = record(types_.alias, fields);
    }
    return at->second;
  }

 private:
  const RecordTypes& types_;
  std::unordered_map<std::string_view, PyRef> strs_;
  std::unordered_map<std::string_view, PyRef> aliases_;
};

PyRef names_tuple(SharedValues& shared, Names names) {
  PyRef out = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  for (std::size_t k = 0; k < names.size(); ++k) {
    PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), shared.alias(names[k]).release());
  }
  untrack(out);
  return out;
}

// One statement: its site as a record (line and the four context flags) or,
// without record classes, as the line and the flags, inline.
PyRef statement_record(const RecordTypes& types, bool is_from, PyRef module, long long level,
                       PyRef names, const Site& site) {
  const auto context = static_cast<unsigned>(site.context);
  if (types.site == &PyTuple_Type) {
    std::array<PyRef, 6> fields{bool_ref(is_from), std::move(module), int_of(level),
                                std::move(names),  int_of(site.line), int_of(context)};
    return record(types.statement, fields);
  }
  std::array<PyRef, 5> where{int_of(site.line), bool_ref((context & context::kFunction) != 0),
                             bool_ref((context & context::kClass) != 0),
                             bool_ref((context & context::kGuarded) != 0),
                             bool_ref((context & context::kTypeChecking) != 0)};
  std::array<PyRef, 5> fields{bool_ref(is_from), std::move(module), int_of(level), std::move(names),
                              record(types.site, where)};
  return record(types.statement, fields);
}

}  // namespace

PyObject* exact_scan(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return entry_of(module, nullptr, [&] {
    if (nargs != 1 && nargs != 4) {
      raise(PyExc_TypeError, "scan() takes a text, and optionally three record classes");
    }
    PyObject* text = args[0];
    if (!PyUnicode_Check(text)) raise(PyExc_TypeError, "scan() takes a str");
    RecordTypes types;
    if (nargs == 4) {
      types.statement = record_type(args[1], 5, "statement");
      types.alias = record_type(args[2], 2, "alias");
      types.site = record_type(args[3], 5, "site");
    }
    std::vector<PyRef> no_finders;
    PythonServices services(no_finders);
    const ImportList stmts =
        scan_source(source_of(module_state(module), text, "source"), &services);
    SharedValues shared(types);
    PyRef out = check(PyList_New(static_cast<Py_ssize_t>(stmts.size())));
    for (std::size_t k = 0; k < stmts.size(); ++k) {
      PyRef item;
      if (const auto* imp = std::get_if<Import>(&stmts[k])) {
        item = statement_record(types, false, PyRef::borrow(Py_None), 0,
                                names_tuple(shared, imp->names), imp->site);
      } else {
        const auto& from = std::get<ImportFrom>(stmts[k]);
        item = statement_record(
            types, true, !from.module.empty() ? shared.str(from.module) : PyRef::borrow(Py_None),
            static_cast<long long>(from.level), names_tuple(shared, from.names), from.site);
      }
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), item.release());
    }
    return out.release();
  });
}

// render(format, names, kinds, origins, depths, imports, roots, indent) -> the
// graph given as tables, as "json" or "dot" text, by the writers of the
// exact engine's graphs; modules by index, imports and roots as indices.
PyObject* exact_render(PyObject* module, PyObject* args) noexcept {
  return entry_of(module, nullptr, [&] {
    const char* format = nullptr;
    PyObject *names = nullptr, *kinds = nullptr, *origins = nullptr, *depths = nullptr,
             *imports = nullptr, *roots = nullptr, *indent = nullptr;
    if (!PyArg_ParseTuple(args, "sOOOOOOO", &format, &names, &kinds, &origins, &depths, &imports,
                          &roots, &indent)) {
      throw ErrorAlreadySet{};
    }
    const std::string_view which = format;
    if (which != "json" && which != "dot") {
      raise(PyExc_ValueError, str_cat("render(): unknown format '", which, "'"));
    }
    const std::optional<std::size_t> width = which == "json" ? indent_of(indent) : std::nullopt;
    // Views into the str objects, which the sequences below keep alive.
    const auto items = [](PyObject* seq, const char* what) {
      return check(PySequence_Fast(seq, what));
    };
    PyRef name_items = items(names, "render(): names"),
          kind_items = items(kinds, "render(): kinds"),
          origin_items = items(origins, "render(): origins"),
          depth_items = items(depths, "render(): depths"),
          import_items = items(imports, "render(): imports");
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(name_items.get());
    for (PyObject* seq :
         {kind_items.get(), origin_items.get(), depth_items.get(), import_items.get()}) {
      if (PySequence_Fast_GET_SIZE(seq) != n) {
        raise(PyExc_ValueError, "render(): every table needs one entry per module");
      }
    }
    const auto text = [](PyObject* item, const char* what) {
      if (!PyUnicode_Check(item))
        raise(PyExc_TypeError, str_cat("render(): ", what, " must be str"));
      return text_of(item);
    };
    const auto index = [&](PyObject* item) {
      const long long i = PyLong_AsLongLong(item);
      if (i == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
      if (i < 0 || i >= n) raise(PyExc_IndexError, "render(): module index out of range");
      return static_cast<std::uint32_t>(i);
    };
    std::vector<std::vector<std::uint32_t>> edges(static_cast<std::size_t>(n));
    // The origins' file-system bytes, one slot per module (never moved).
    std::vector<std::string> origin_bytes(static_cast<std::size_t>(n));
    OutputGraph graph;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyRef targets = items(PySequence_Fast_GET_ITEM(import_items.get(), i), "render(): imports");
      for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(targets.get()); ++k) {
        edges[i].push_back(index(PySequence_Fast_GET_ITEM(targets.get(), k)));
      }
      PyObject* origin = PySequence_Fast_GET_ITEM(origin_items.get(), i);
      const long long depth = PyLong_AsLongLong(PySequence_Fast_GET_ITEM(depth_items.get(), i));
      if (depth == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
      graph.modules.push_back({text(PySequence_Fast_GET_ITEM(name_items.get(), i), "names"),
                               text(PySequence_Fast_GET_ITEM(kind_items.get(), i), "kinds"),
                               std::nullopt, depth, edges[i]});
      if (origin != Py_None) {
        if (!PyUnicode_Check(origin)) raise(PyExc_TypeError, "render(): origins must be str");
        origin_bytes[i] = path_bytes(origin);
        graph.modules.back().origin = origin_bytes[i];
      }
    }
    PyRef root_items = items(roots, "render(): roots");
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(root_items.get()); ++k) {
      graph.roots.push_back(index(PySequence_Fast_GET_ITEM(root_items.get(), k)));
    }
    return str_of(which == "json" ? to_json(graph, width) : to_dot(graph)).release();
  });
}

// ---- the module's state ------------------------------------------------------

int exact_exec(PyObject* module) noexcept {
  PyObject* done = entry_of(module, nullptr, [&] {
    ExactState& state = module_state(module);
    state.error = check(PyErr_NewExceptionWithDoc("tarnwick_graph.Error",
                                                  "What the exact engine raises for every failure.",
                                                  PyExc_Exception, nullptr))
                      .release();
    const auto make = [&](PyType_Spec& spec) {
      return reinterpret_cast<PyTypeObject*>(
          check(PyType_FromModuleAndSpec(module, &spec, nullptr)).release());
    };
    state.builder = make(kBuilderSpec);
    state.graph = make(kGraphSpec);
    state.chains = make(kChainsSpec);
    add_to_module(module, "Error", state.error);
    add_to_module(module, "Builder", reinterpret_cast<PyObject*>(state.builder));
    add_to_module(module, "Graph", reinterpret_cast<PyObject*>(state.graph));
    add_to_module(module, "Chains", reinterpret_cast<PyObject*>(state.chains));
    Py_RETURN_NONE;
  });
  if (done == nullptr) return -1;
  Py_DECREF(done);
  return 0;
}

int exact_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
  ExactState& state = module_state(module);
  Py_VISIT(state.error);
  Py_VISIT(state.builder);
  Py_VISIT(state.graph);
  Py_VISIT(state.chains);
  return 0;
}

int exact_clear(PyObject* module) noexcept {
  ExactState& state = module_state(module);
  Py_CLEAR(state.error);
  Py_CLEAR(state.builder);
  Py_CLEAR(state.graph);
  Py_CLEAR(state.chains);
  return 0;
}

void exact_free(void* module) noexcept {
  exact_clear(static_cast<PyObject*>(module));
}

}  // namespace tarnwick::py
