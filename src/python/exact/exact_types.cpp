// The classes and functions of the exact engine's private module
// (tarnwick_graph._native): Builder, Graph and scan. The public package
// wraps them; arguments are checked there, so these take plain values.
#include "python/exact/exact_types.hpp"

#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "exact/exact_builder.hpp"
#include "exact/exact_output.hpp"
#include "exact/import_scan.hpp"
#include "exact/source_scans.hpp"
#include "python/common/class_support.hpp"
#include "python/exact/exact_services.hpp"

namespace tarnwick::py {

namespace {

PyObject* g_error = nullptr;  // tarnwick_graph._native.Error

// An internal failure of the exact engine is its Error too: nothing it
// raises derives from BaseException alone.
template <class Body>
PyObject* entry(Body&& body) noexcept {
  return guarded_with(
      [](std::string_view message) {
        const std::string text = str_cat("internal failure: ", message);
        PyErr_SetString(g_error != nullptr ? g_error : PyExc_RuntimeError, text.c_str());
      },
      std::forward<Body>(body));
}

PyRef int_of(long long value) {
  return check(PyLong_FromLongLong(value));
}

PyRef optional_str(const std::optional<std::string>& text) {
  return text ? str_of(*text) : PyRef::borrow(Py_None);
}

template <class Range>
PyRef index_tuple(const Range& items) {
  PyRef out = check(PyTuple_New(static_cast<Py_ssize_t>(std::size(items))));
  Py_ssize_t i = 0;
  for (const auto item : items) PyTuple_SET_ITEM(out.get(), i++, int_of(item).release());
  return out;
}

std::vector<std::string> str_list(PyObject* seq, const char* what) {
  PyRef items = check(PySequence_Fast(seq, what));
  std::vector<std::string> out;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) raise(PyExc_TypeError, str_cat(what, ": expected str items"));
    out.emplace_back(text_of(item));
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

PyTypeObject* graph_type() noexcept;

PyRef wrap(std::shared_ptr<const ExactGraph> graph) {
  PyTypeObject* type = graph_type();
  if (type == nullptr) throw ErrorAlreadySet{};
  return make_instance(type, GraphValue{std::move(graph)});
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
  return entry([&] {
    const ExactGraph& g = graph_of(self);
    const auto n = static_cast<Py_ssize_t>(g.size());
    PyRef names = check(PyTuple_New(n)), kinds = check(PyTuple_New(n)),
          origins = check(PyTuple_New(n)), depths = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      const auto k = static_cast<std::uint32_t>(i);
      const ExactGraph::Module& module = g.module(k);
      PyTuple_SET_ITEM(names.get(), i, str_of(module.name).release());
      PyTuple_SET_ITEM(kinds.get(), i, str_of(kind_name(module.kind)).release());
      PyTuple_SET_ITEM(origins.get(), i, optional_str(module.origin).release());
      PyTuple_SET_ITEM(depths.get(), i, int_of(g.depth(k)).release());
    }
    return PyTuple_Pack(4, names.get(), kinds.get(), origins.get(), depths.get());
  });
}

PyObject* graph_find(PyObject* self, PyObject* name) noexcept {
  return entry([&] {
    if (!PyUnicode_Check(name)) raise(PyExc_TypeError, "find() takes a str");
    const std::optional<std::uint32_t> i = graph_of(self).find(text_of(name));
    return int_of(i ? static_cast<long long>(*i) : -1).release();
  });
}

PyObject* graph_imports(PyObject* self, PyObject* arg) noexcept {
  return entry([&] {
    const ExactGraph& g = graph_of(self);
    return index_tuple(g.imports(node_index(g, arg))).release();
  });
}

PyObject* graph_importers_of(PyObject* self, PyObject* arg) noexcept {
  return entry([&] {
    const ExactGraph& g = graph_of(self);
    return index_tuple(g.importers_of(node_index(g, arg))).release();
  });
}

PyObject* graph_roots(PyObject* self, PyObject*) noexcept {
  return entry([&] { return index_tuple(graph_of(self).roots()).release(); });
}

PyObject* graph_edge_count(PyObject* self, PyObject*) noexcept {
  return entry(
      [&] { return int_of(static_cast<long long>(graph_of(self).edge_count())).release(); });
}

// sites(i, j) -> ((line, context), ...)
PyObject* graph_sites(PyObject* self, PyObject* args) noexcept {
  return entry([&] {
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
  return entry([&] {
    const std::vector<Problem>& problems = graph_of(self).problems();
    PyRef out = check(PyTuple_New(static_cast<Py_ssize_t>(problems.size())));
    for (std::size_t k = 0; k < problems.size(); ++k) {
      const Problem& p = problems[k];
      PyRef importer = p.importer.empty() ? PyRef::borrow(Py_None) : str_of(p.importer);
      PyRef name = str_of(p.name), reason = str_of(problem_reason(p)),
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
  return entry([&] {
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
  return entry([&] {
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
  return entry([&] {
    const ExactGraph& g = graph_of(self);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(keep, &data, &size) < 0) throw ErrorAlreadySet{};
    if (static_cast<std::size_t>(size) != g.size()) {
      raise(PyExc_ValueError, "subgraph() takes one byte per module");
    }
    std::vector<bool> mask(g.size());
    for (std::size_t i = 0; i < g.size(); ++i) mask[i] = data[i] != 0;
    return wrap(std::make_shared<const ExactGraph>(g.subgraph(mask))).release();
  });
}

// same_modules(other) -> whether both graphs hold the same modules (names,
// kinds and origins), so a rebuild's wrapper can keep the last one's tables.
PyObject* graph_same_modules(PyObject* self, PyObject* other) noexcept {
  return entry([&] {
    PyTypeObject* type = graph_type();
    if (type == nullptr) throw ErrorAlreadySet{};
    if (!PyObject_TypeCheck(other, type)) raise(PyExc_TypeError, "same_modules() takes a Graph");
    return PyBool_FromLong(graph_of(self).same_modules(graph_of(other)) ? 1 : 0);
  });
}

// same_problems(other) -> whether both graphs hold the same problems
PyObject* graph_same_problems(PyObject* self, PyObject* other) noexcept {
  return entry([&] {
    PyTypeObject* type = graph_type();
    if (type == nullptr) throw ErrorAlreadySet{};
    if (!PyObject_TypeCheck(other, type)) raise(PyExc_TypeError, "same_problems() takes a Graph");
    return PyBool_FromLong(graph_of(self).problems() == graph_of(other).problems() ? 1 : 0);
  });
}

// same_depths(other) -> whether both graphs share their depths, so a
// rebuild's wrapper can keep the last one's.
PyObject* graph_same_depths(PyObject* self, PyObject* other) noexcept {
  return entry([&] {
    PyTypeObject* type = graph_type();
    if (type == nullptr) throw ErrorAlreadySet{};
    if (!PyObject_TypeCheck(other, type)) raise(PyExc_TypeError, "same_depths() takes a Graph");
    return PyBool_FromLong(graph_of(self).same_depths(graph_of(other)) ? 1 : 0);
  });
}

// depths() -> (depth, ...) by module index
PyObject* graph_depths(PyObject* self, PyObject*) noexcept {
  return entry([&] {
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
  return entry([&] { return str_of(to_json(graph_of(self), indent_of(indent))).release(); });
}

// write_json(indent, write): the same text handed to write() in pieces, so
// a large graph's text is never held whole.
PyObject* graph_write_json(PyObject* self, PyObject* args) noexcept {
  return entry([&] {
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
  return entry([&] { return str_of(to_dot(graph_of(self))).release(); });
}

// chains(index) -> an iterator of every shortest chain to the module, as
// lists of names
PyObject* graph_chains(PyObject* self, PyObject* arg) noexcept;

// collapsed(inside) -> Graph with the modules outside the packages `inside`
// folded into their top-level names
PyObject* graph_collapsed(PyObject* self, PyObject* inside) noexcept {
  return entry([&] {
    const std::vector<std::string> packages = str_list(inside, "collapsed()");
    return wrap(std::make_shared<const ExactGraph>(collapsed(graph_of(self), packages))).release();
  });
}

PyMethodDef kGraphMethods[] = {
    {"same_modules", graph_same_modules, METH_O, "whether both graphs hold the same modules"},
    {"depths", graph_depths, METH_NOARGS, "(depth, ...) by module index"},
    {"same_depths", graph_same_depths, METH_O, "whether both graphs share their depths"},
    {"same_problems", graph_same_problems, METH_O, "whether both graphs hold the same problems"},
    {"table", graph_table, METH_NOARGS, "(names, kinds, origins, depths)"},
    {"find", graph_find, METH_O, "index of a module name, or -1"},
    {"imports", graph_imports, METH_O, "indices a module imports"},
    {"importers_of", graph_importers_of, METH_O, "indices of the modules importing one"},
    {"roots", graph_roots, METH_NOARGS, "indices of the roots"},
    {"edge_count", graph_edge_count, METH_NOARGS, "number of edges"},
    {"sites", graph_sites, METH_VARARGS, "((line, context), ...) of an edge"},
    {"problems", graph_problems, METH_NOARGS, "((importer, name, line, reason, kind), ...)"},
    {"cycles", graph_cycles, METH_NOARGS, "strongly connected components"},
    {"importers", graph_importers, METH_VARARGS, "modules importing any of the targets"},
    {"subgraph", graph_subgraph, METH_O, "the graph of the modules kept"},
    {"to_json", graph_to_json, METH_O, "the graph as JSON text"},
    {"write_json", graph_write_json, METH_VARARGS, "the JSON text handed to write() in pieces"},
    {"to_dot", graph_to_dot, METH_NOARGS, "the graph as Graphviz DOT text"},
    {"chains", graph_chains, METH_O, "iterator of the shortest chains to a module"},
    {"collapsed", graph_collapsed, METH_O, "outside modules folded into top-level names"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kGraphSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<GraphValue>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_methods, kGraphMethods},
    {Py_mp_length, reinterpret_cast<void*>(graph_len)},
    {Py_tp_doc, const_cast<char*>("An import graph built by the exact engine.")},
    {0, nullptr},
};

PyType_Spec kGraphSpec = {"tarnwick_graph._native.Graph", sizeof(Instance<GraphValue>), 0,
                          Py_TPFLAGS_DEFAULT, kGraphSlots};

PyTypeObject* graph_type() noexcept {
  static PyTypeObject* type = nullptr;
  return cached_type(type, kGraphSpec);
}

// ---- Chains --------------------------------------------------------------------

// The walk holds the graph it walks.
struct ChainsValue {
  std::shared_ptr<const ExactGraph> graph;
  ShortestChains walk;
  std::vector<std::uint32_t> chain;
};

PyObject* chains_next(PyObject* self) noexcept {
  return entry([&]() -> PyObject* {
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

PyTypeObject* chains_type() noexcept {
  static PyTypeObject* type = nullptr;
  return cached_type(type, kChainsSpec);
}

PyObject* graph_chains(PyObject* self, PyObject* arg) noexcept {
  return entry([&] {
    PyTypeObject* type = chains_type();
    if (type == nullptr) throw ErrorAlreadySet{};
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

FinderConfig finder_config(PyObject* config, std::vector<PyRef>& finders) {
  if (!PyDict_Check(config)) raise(PyExc_TypeError, "Builder() takes a config dict");
  FinderConfig c;
  c.search_path = str_list(config_item(config, "search_path"), "search_path");
  c.extension_suffixes = str_list(config_item(config, "extension_suffixes"), "extension_suffixes");
  c.source_suffixes = str_list(config_item(config, "source_suffixes"), "source_suffixes");
  c.bytecode_suffixes = str_list(config_item(config, "bytecode_suffixes"), "bytecode_suffixes");
  c.builtin_names = str_list(config_item(config, "builtin_names"), "builtin_names");
  c.stdlib_dir = std::string(text_of(config_item(config, "stdlib_dir")));

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
        foreign.only = str_list(PyTuple_GET_ITEM(step, 1), "meta_path: names");
        if (foreign.only.empty()) continue;  // asked for nothing
      }
      c.meta_path.push_back(std::move(foreign));
      finders.push_back(PyRef::borrow(finder));
    }
  }
  return c;
}

PyObject* builder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&] {
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
    FinderConfig c = finder_config(config, value.finders);
    value.builder.reset(
        new ExactBuilder(std::move(c), true, static_cast<std::size_t>(workers), keep));
    return make_instance(type, std::move(value)).release();
  });
}

// build(kind, target, package, within, skip) -> Graph; kind is "script",
// "text", "modules" or "packages"; target a str for the first two, a
// sequence of str otherwise; within None (read everything) or a sequence of
// package names; skip the context flags of statements not to follow.
PyObject* builder_build(PyObject* self, PyObject* args) noexcept {
  return entry([&] {
    const char* kind = nullptr;
    PyObject* target = nullptr;
    const char* package = nullptr;
    PyObject* within = nullptr;
    unsigned char skip = 0;
    if (!PyArg_ParseTuple(args, "sOsOb", &kind, &target, &package, &within, &skip)) {
      throw ErrorAlreadySet{};
    }
    ExactRequest request;
    request.package = package;
    request.skip_context = skip;
    if (within != Py_None) request.read_within = str_list(within, "build(): within");
    const std::string_view k = kind;
    if (k == "script" || k == "text") {
      if (!PyUnicode_Check(target)) raise(PyExc_TypeError, "build(): target must be a str");
      request.kind = k == "script" ? ExactRequest::Kind::kScript : ExactRequest::Kind::kText;
      (k == "script" ? request.path : request.text) = std::string(text_of(target));
    } else if (k == "modules" || k == "packages") {
      request.kind = k == "modules" ? ExactRequest::Kind::kModules : ExactRequest::Kind::kPackages;
      request.names = str_list(target, "build(): target");
    } else {
      raise(PyExc_ValueError, str_cat("build(): unknown kind '", k, "'"));
    }
    auto* inst = as_instance<BuilderValue>(self);
    // Finders and codecs may run Python code that releases the interpreter
    // lock, so another thread could reach this builder meanwhile.
    if (inst->flag.borrowed()) raise(g_error, "this Builder is already building on another thread");
    ExclusiveBorrow borrow(inst->flag);
    std::shared_ptr<const ExactGraph> graph;
    {
      // The build runs without the interpreter lock; the services take it
      // back for each question only the interpreter can answer.
      ReleasedGil released;
      PythonServices services(inst->value.finders, &released);
      graph = inst->value.builder->build(request, &services);
    }
    return wrap(std::move(graph)).release();
  });
}

// find(name) -> (kind, origin, locations) or the reason it was not found
PyObject* builder_find(PyObject* self, PyObject* name) noexcept {
  return entry([&]() -> PyObject* {
    if (!PyUnicode_Check(name)) raise(PyExc_TypeError, "find() takes a str");
    auto* inst = as_instance<BuilderValue>(self);
    if (inst->flag.borrowed()) raise(g_error, "this Builder is already building on another thread");
    ExclusiveBorrow borrow(inst->flag);
    PythonServices services(inst->value.finders);
    const Lookup& found = inst->value.builder->find(text_of(name), &services);
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
        PyTuple_SET_ITEM(locations.get(), i++, str_of(loc).release());
      }
    }
    PyRef kind = str_of(kind_name(spec.kind));
    PyRef origin = optional_str(spec.origin);
    return PyTuple_Pack(3, kind.get(), origin.get(), locations.get());
  });
}

// stats() -> (reused, files_read, files) of the last build
PyObject* builder_stats(PyObject* self, PyObject*) noexcept {
  return entry([&] {
    const ExactBuilder::Stats& s = as_instance<BuilderValue>(self)->value.builder->last_stats();
    return Py_BuildValue("(Onn)", s.reused ? Py_True : Py_False,
                         static_cast<Py_ssize_t>(s.files_read), static_cast<Py_ssize_t>(s.files));
  });
}

PyMethodDef kBuilderMethods[] = {
    {"build", builder_build, METH_VARARGS, "build(kind, target, package, within, skip) -> Graph"},
    {"find", builder_find, METH_O, "where a module lives"},
    {"stats", builder_stats, METH_NOARGS, "what the last build did"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kBuilderSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<BuilderValue>)},
    {Py_tp_new, reinterpret_cast<void*>(builder_new)},
    {Py_tp_methods, kBuilderMethods},
    {Py_tp_doc,
     const_cast<char*>("Builder(config, workers=0, keep=True): the exact engine's builder.")},
    {0, nullptr},
};

PyType_Spec kBuilderSpec = {"tarnwick_graph._native.Builder", sizeof(Instance<BuilderValue>), 0,
                            Py_TPFLAGS_DEFAULT, kBuilderSlots};

// ---- scan ----------------------------------------------------------------------

PyRef names_tuple(Names names) {
  PyRef out = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  for (std::size_t k = 0; k < names.size(); ++k) {
    PyRef name = str_of(names[k].name);
    PyRef as = names[k].asname.empty() ? PyRef::borrow(Py_None) : str_of(names[k].asname);
    PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k),
                     check(PyTuple_Pack(2, name.get(), as.get())).release());
  }
  return out;
}

}  // namespace

PyObject* exact_scan(PyObject*, PyObject* text) noexcept {
  return entry([&] {
    if (!PyUnicode_Check(text)) raise(PyExc_TypeError, "scan() takes a str");
    std::vector<PyRef> no_finders;
    PythonServices services(no_finders);
    const ImportList stmts = scan_source(text_of(text), &services);
    PyRef out = check(PyList_New(static_cast<Py_ssize_t>(stmts.size())));
    for (std::size_t k = 0; k < stmts.size(); ++k) {
      PyObject* item = nullptr;
      if (const auto* imp = std::get_if<Import>(&stmts[k])) {
        PyRef names = names_tuple(imp->names);
        item = Py_BuildValue("(OOiOII)", Py_False, Py_None, 0, names.get(), imp->site.line,
                             static_cast<unsigned>(imp->site.context));
      } else {
        const auto& from = std::get<ImportFrom>(stmts[k]);
        PyRef names = names_tuple(from.names);
        PyRef module = !from.module.empty() ? str_of(from.module) : PyRef::borrow(Py_None);
        item = Py_BuildValue("(OOKOII)", Py_True, module.get(),
                             static_cast<unsigned long long>(from.level), names.get(),
                             from.site.line, static_cast<unsigned>(from.site.context));
      }
      if (item == nullptr) throw ErrorAlreadySet{};
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), item);
    }
    return out.release();
  });
}

// render(format, names, kinds, origins, depths, imports, roots, indent) -> the
// graph given as tables, as "json" or "dot" text, by the writers of the
// exact engine's graphs; modules by index, imports and roots as indices.
PyObject* exact_render(PyObject*, PyObject* args) noexcept {
  return entry([&] {
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
    OutputGraph graph;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyRef targets = items(PySequence_Fast_GET_ITEM(import_items.get(), i), "render(): imports");
      for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(targets.get()); ++k) {
        edges[i].push_back(index(PySequence_Fast_GET_ITEM(targets.get(), k)));
      }
      PyObject* origin = PySequence_Fast_GET_ITEM(origin_items.get(), i);
      const long long depth = PyLong_AsLongLong(PySequence_Fast_GET_ITEM(depth_items.get(), i));
      if (depth == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
      graph.modules.push_back(
          {text(PySequence_Fast_GET_ITEM(name_items.get(), i), "names"),
           text(PySequence_Fast_GET_ITEM(kind_items.get(), i), "kinds"),
           origin == Py_None ? std::nullopt : std::optional(text(origin, "origins")), depth,
           edges[i]});
    }
    PyRef root_items = items(roots, "render(): roots");
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(root_items.get()); ++k) {
      graph.roots.push_back(index(PySequence_Fast_GET_ITEM(root_items.get(), k)));
    }
    return str_of(which == "json" ? to_json(graph, width) : to_dot(graph)).release();
  });
}

PyObject* exact_error_type() noexcept {
  if (g_error == nullptr) {
    g_error = PyErr_NewExceptionWithDoc("tarnwick_graph.Error",
                                        "What the exact engine raises for every failure.",
                                        PyExc_Exception, nullptr);
  }
  return g_error;
}

PyTypeObject* exact_builder_type() noexcept {
  static PyTypeObject* type = nullptr;
  return cached_type(type, kBuilderSpec);
}

PyTypeObject* exact_graph_type() noexcept {
  return graph_type();
}

PyTypeObject* exact_chains_type() noexcept {
  return chains_type();
}

}  // namespace tarnwick::py
