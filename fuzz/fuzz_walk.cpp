// Fuzz target for the builder's walk: the input describes a package tree
// (module names, packages and plain modules, origins of every kind, aliases
// under which the host reports another module, and source texts importing
// among the generated names, absolutely and relatively, with cycles), served
// by an in-memory host. One builder builds the text several times, through its
// cache and after an interrupted build, and every result must be a consistent
// graph equal to the first one. InternalError is an allowed outcome; a crash,
// an inconsistent graph or a builder left busy after a failure is not.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/log.hpp"
#include "common/source_file.hpp"
#include "contract/builder.hpp"

namespace {

using tarnwick::DepGraph;
using tarnwick::GraphBuilder;
using tarnwick::ModuleSpec;
using tarnwick::ReadResult;

// Reads the fuzz input as a stream of choices; zeros once it runs out.
class Choices {
 public:
  Choices(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
  std::uint8_t byte() { return p_ == end_ ? 0 : *p_++; }
  std::size_t below(std::size_t n) { return n <= 1 ? 0 : byte() % n; }
  bool flag() { return (byte() & 1) != 0; }
  std::string_view chunk(std::size_t max) {
    const std::size_t wanted = below(max + 1);  // consumes a byte: read it before the rest
    const std::size_t n = std::min<std::size_t>(wanted, static_cast<std::size_t>(end_ - p_));
    const std::string_view out(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return out;
  }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

struct Interrupted {};

[[noreturn]] void runaway(std::string_view name) {
  std::fprintf(stderr, "walk does not end; looking up '%.*s'\n", static_cast<int>(name.size()),
               name.data());
  std::abort();
}

class TreeHost final : public tarnwick::Host {
 public:
  std::optional<ModuleSpec> find_spec(std::string_view name) override {
    // No tree of this size needs this many lookups in one build: the walk
    // has lost its way.
    if (++lookups > kLookupLimit) runaway(name);
    const auto it = specs.find(std::string(name));
    return it == specs.end() ? std::nullopt : std::optional(it->second);
  }
  ReadResult read_source(const std::string& path) override {
    const auto it = files.find(path);
    if (it == files.end()) return {ReadResult::Status::kCannotOpen, "No such file"};
    if (!tarnwick::is_valid_utf8(it->second)) return {ReadResult::Status::kReadFailed, "not UTF-8"};
    return {ReadResult::Status::kOk, it->second};
  }
  void check_interrupts() override {
    if (interrupt_after && (*interrupt_after)-- == 0) throw Interrupted{};
  }
  void write_system_error(std::string_view) override {}

  std::map<std::string, ModuleSpec> specs;  // by the name asked for
  std::map<std::string, std::string> files;
  std::optional<std::size_t> interrupt_after;
  std::size_t lookups = 0;
  static constexpr std::size_t kLookupLimit = 100'000;
};

// Formats every record, so message building runs too.
class FormattingSink final : public tarnwick::log::Sink {
 public:
  void log(const tarnwick::log::Record& record) noexcept override {
    try {
      (void)record.message();
    } catch (...) {
    }
  }
};

struct Tree {
  TreeHost host;
  std::vector<std::string> names;  // every name worth importing
  std::vector<std::string> packages;
};

std::string py_path(std::string name, bool package) {
  for (char& c : name) {
    if (c == '.') c = '/';
  }
  return name + (package ? "/__init__.py" : ".py");
}

const char* const kOddNames[] = {"<terminal>", "", ".", "a..b", ".lead", "trail.", "m0.m1"};

Tree make_tree(Choices& in) {
  Tree t;
  const std::size_t count = 1 + in.below(24);
  for (std::size_t i = 0; i < count; ++i) {
    ModuleSpec spec;
    const std::size_t parent = in.below(t.packages.size() + 2);
    const std::string base = "m" + std::to_string(i);
    spec.parent = parent < t.packages.size() ? t.packages[parent] : "";
    spec.name = spec.parent.empty() ? base : spec.parent + "." + base;
    const bool package = in.flag();
    if (package) {
      spec.submodule_search_locations = std::vector<std::string>{spec.name};
      spec.parent = spec.name;
      t.packages.push_back(spec.name);
    }
    switch (in.below(12)) {
      case 0:
        spec.origin = "built-in";
        break;
      case 1:
        spec.origin = "frozen";
        break;
      case 2:  // no origin: namespace package
        break;
      case 3:
        spec.origin = "/lib/" + base + ".cpython-311-x86_64-linux-gnu.so";
        break;
      case 4:  // no extension
        spec.origin = "/lib/" + base;
        break;
      case 5:  // cannot be opened
        spec.origin = "/gone/" + py_path(spec.name, package);
        break;
      case 6:
        spec.origin = "/lib/" + base + ".PY";
        break;
      default:  // a source file, or none when the text is not UTF-8
        spec.origin = py_path(spec.name, package);
    }
    t.names.push_back(spec.name);
    t.host.specs[spec.name] = std::move(spec);
  }
  // Aliases: the host reports another module's spec (as for os.path), at
  // times with another origin.
  for (std::size_t n = in.below(4); n > 0; --n) {
    const std::size_t pick = in.below(std::size(kOddNames) + 1);
    std::string alias = pick < std::size(kOddNames) ? kOddNames[pick] : "alias" + std::to_string(n);
    ModuleSpec spec = t.host.specs[t.names[in.below(t.names.size())]];
    if (in.flag()) spec.origin = "/elsewhere/" + std::to_string(n) + ".so";
    if (in.flag()) spec.name = alias;  // a spec named oddly
    t.names.push_back(alias);
    t.host.specs[alias] = std::move(spec);
  }
  return t;
}

// One source text with imports among the tree's names.
std::string make_source(Choices& in, const Tree& t) {
  std::string text;
  auto any_name = [&] {
    const std::size_t i = in.below(t.names.size() + 1);
    return i < t.names.size() ? t.names[i] : std::string("missing");
  };
  for (std::size_t n = in.below(7); n > 0; --n) {
    switch (in.below(8)) {
      case 0:
      case 1:
        text += "import " + any_name();
        if (in.flag()) text += ", " + any_name() + " as alias";
        break;
      case 2:
        text += "import " + any_name() + ".m" + std::to_string(in.below(24));
        break;
      case 3:
        text += "from " + any_name() + " import m" + std::to_string(in.below(24)) + ", name";
        break;
      case 4: {
        text += "from " + std::string(1 + in.below(3), '.');
        if (in.flag()) text += "m" + std::to_string(in.below(24));
        text += " import m" + std::to_string(in.below(24));
        break;
      }
      case 5:
        text += "try:\n    import " + any_name() + "\nexcept ImportError:\n    pass";
        break;
      case 6:
        text += "from " + any_name() + " import (\n    m" + std::to_string(in.below(24)) + ",\n)";
        break;
      default:
        text += in.chunk(24);  // anything, even text that is not UTF-8
    }
    text += '\n';
  }
  return text;
}

// name -> (origin, dependencies, dependents, depth): everything a graph holds.
using Shape = std::map<std::string, std::tuple<std::optional<std::string>, std::set<std::string>,
                                               std::set<std::string>, std::optional<int>>>;

Shape shape(const DepGraph& g) {
  Shape out;
  for (const auto& node : g) {
    auto& [origin, deps, dependents, depth] = out[node.name];
    origin = node.spec.origin;
    deps.insert(node.dependencies.begin(), node.dependencies.end());
    dependents.insert(node.dependents.begin(), node.dependents.end());
    depth = node.depth;
  }
  return out;
}

void require(bool ok) {
  if (!ok) std::abort();
}

void check_graph(const DepGraph& g) {
  require(g.size() == shape(g).size());  // names are unique
  const tarnwick::DepNode* root = g.find(tarnwick::kRootName);
  require(root != nullptr && root->depth == 0);
  std::uint64_t edges = 0;
  for (const auto& node : g) {
    require(node.name == node.spec.name);
    require(node.depth.has_value() && *node.depth >= 0);
    edges += node.dependencies.size();
    for (const std::string_view d : node.dependencies) {
      const tarnwick::DepNode* to = g.find(d);
      require(to != nullptr && to->dependents.contains(node.name));
    }
    for (const std::string_view d : node.dependents) {
      const tarnwick::DepNode* from = g.find(d);
      require(from != nullptr && from->dependencies.contains(node.name));
    }
  }
  require(edges == g.num_dependencies());
}

// Nodes and edges without depths (depths reached through the cache may differ).
Shape edges_only(Shape s) {
  for (auto& [name, entry] : s) std::get<3>(entry).reset();
  return s;
}

void require_idle(const GraphBuilder& b) {
  require(b.graph.empty() && b.in_progress.empty() && b.processed_count == 0 &&
          b.cached_count == 0);
}

struct Outcome {
  std::optional<DepGraph> graph;
  std::optional<std::string> error;
};

Outcome build(GraphBuilder& b, TreeHost& host, const std::string& text,
              const std::optional<std::string>& package) {
  Outcome out;
  const std::optional<Shape> cache_before = b.cache ? std::optional(shape(*b.cache)) : std::nullopt;
  host.lookups = 0;
  try {
    out.graph = b.build(host, text, package);
    check_graph(*out.graph);
    require(b.cache.has_value());
    check_graph(*b.cache);
    return out;
  } catch (const tarnwick::InternalError& e) {
    out.error = e.message();
  } catch (const Interrupted&) {
    out.error = "interrupted";
  }
  // A failed build leaves the builder idle and its cache as it was.
  require_idle(b);
  require((b.cache ? std::optional(shape(*b.cache)) : std::nullopt) == cache_before);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool installed = [] {
    tarnwick::log::facade().set_boxed_logger(std::make_unique<FormattingSink>());
    tarnwick::log::facade().set_max_level(tarnwick::log::LevelFilter::Trace);
    return true;
  }();
  (void)installed;

  Choices in(data, size);
  Tree tree = make_tree(in);
  for (const auto& [name, spec] : tree.host.specs) {
    if (spec.origin && !spec.origin->starts_with('/') && spec.origin->ends_with(".py")) {
      tree.host.files.try_emplace(*spec.origin, make_source(in, tree));
    }
  }
  std::string text = make_source(in, tree);
  if (!tarnwick::is_valid_utf8(text)) text = "import " + tree.names.front();
  std::optional<std::string> package;
  if (in.flag()) package = tree.names[in.below(tree.names.size())];
  const std::string other_text = make_source(in, tree);
  const std::size_t interrupt_at = in.below(64);

  GraphBuilder builder;
  const Outcome first = build(builder, tree.host, text, package);
  const Outcome again = build(builder, tree.host, text, package);
  if (!first.graph) {
    require(again.error == first.error);  // no cache yet: the same walk fails the same way
    return 0;
  }
  require(again.graph && edges_only(shape(*again.graph)) == edges_only(shape(*first.graph)));

  // An interrupted build, then a build of another text that grows the cache,
  // then the first text again.
  tree.host.interrupt_after = interrupt_at;
  const Outcome cut = build(builder, tree.host, text, package);
  require(cut.graph ? edges_only(shape(*cut.graph)) == edges_only(shape(*first.graph))
                    : cut.error == "interrupted");
  tree.host.interrupt_after.reset();
  if (tarnwick::is_valid_utf8(other_text)) (void)build(builder, tree.host, other_text, package);
  const Outcome last = build(builder, tree.host, text, package);
  require(last.graph && edges_only(shape(*last.graph)) == edges_only(shape(*first.graph)));
  return 0;
}
