// The graph the exact engine returns: modules in name order with their kind,
// origin and true depth; imports and importers as index lists; the sites of
// every edge; the problems met. Immutable once assembled, and queried by
// index. The module table is shared between a graph and the ones a rebuild
// derives from it while the modules stay the same.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/dep_graph.hpp"
#include "core/import_stmt.hpp"
#include "core/module_spec.hpp"
#include "core/walk.hpp"

namespace tarnwick {

class ExactGraph {
 public:
  struct Module {
    std::string name;
    ModuleKind kind = ModuleKind::kUnknown;
    std::optional<std::string> origin;
    bool operator==(const Module&) const = default;
  };

  // A graph taken apart: modules in any order, one edge per site, roots and
  // problems, by index into `nodes`. A rebuild that meets new modules
  // patches the parts of the last graph and assembles them again.
  struct Parts {
    std::vector<Module> nodes;
    std::vector<EdgeSite> edges;
    std::vector<std::uint32_t> roots;
    std::vector<Problem> problems;
  };

  // The parts of the graph a walk built, without the node `drop` (a
  // stand-in root whose imports become the roots); with no `drop`, the
  // walk's root (the node it added first) is the one root.
  static Parts parts_of(const DepGraph& graph, const WalkFindings& findings,
                        std::optional<std::string_view> drop);

  // The graph of `parts`: the modules reachable from the roots, in name
  // order, with breadth-first depths; the problems of modules no longer
  // reachable are dropped (those of no module, importer "", are kept).
  static ExactGraph assemble(Parts parts);

  Parts parts() const;

  // This graph with the imports of some modules replaced: each entry of
  // `replaced` is a module and its new edges (to modules of this graph, one
  // per site), and `problems` replaces the problems. The module table is
  // shared. Absent when a module would no longer be reachable from the roots
  // (the caller then assembles parts instead).
  std::optional<ExactGraph> with_imports(
      const std::vector<std::pair<std::uint32_t, std::vector<EdgeSite>>>& replaced,
      std::vector<Problem> problems) const;

  std::size_t size() const noexcept { return modules_ ? modules_->size() : 0; }
  const Module& module(std::uint32_t i) const noexcept { return (*modules_)[i]; }
  // Fewest imports from a root (roots: 0).
  std::int32_t depth(std::uint32_t i) const noexcept { return depths_[i]; }
  // Whether both graphs hold the same modules (names, kinds, origins).
  bool same_modules(const ExactGraph& other) const noexcept {
    return modules_ == other.modules_ ||
           (modules_ && other.modules_ && *modules_ == *other.modules_);
  }
  std::optional<std::uint32_t> find(std::string_view name) const noexcept;
  std::span<const std::uint32_t> roots() const noexcept { return roots_; }

  // Modules `i` imports, and modules importing `i`, ascending.
  std::span<const std::uint32_t> imports(std::uint32_t i) const noexcept;
  std::span<const std::uint32_t> importers_of(std::uint32_t i) const noexcept;
  std::size_t edge_count() const noexcept { return out_.size(); }

  // Where the statements that make `from` import `to` stand (empty when it
  // does not).
  std::span<const Site> sites(std::uint32_t from, std::uint32_t to) const noexcept;

  const std::vector<Problem>& problems() const noexcept { return problems_; }

  // The import cycles: strongly connected components of more than one
  // module (a module importing itself is no cycle), each ascending, ordered
  // by their first module.
  std::vector<std::vector<std::uint32_t>> cycles() const;

  // Every module that imports one of `targets` directly, or with
  // `transitive` through any chain of imports; ascending. A target is in the
  // answer only when it imports (a module importing) a target itself.
  std::vector<std::uint32_t> importers(std::span<const std::uint32_t> targets,
                                       bool transitive) const;

  // The modules for which `keep[i]` holds and the edges between them, with
  // their depths, sites and problems (those of kept importers) as they are.
  ExactGraph subgraph(const std::vector<bool>& keep) const;

 private:
  std::shared_ptr<const std::vector<Module>> modules_;
  std::vector<std::int32_t> depths_;
  std::vector<std::uint32_t> roots_;
  std::vector<std::uint32_t> out_begin_, out_;  // CSR: imports of node i
  std::vector<std::uint32_t> in_begin_, in_;    // CSR: importers of node i
  std::vector<std::uint32_t> site_begin_;       // sites of the edge at out_[e]
  std::vector<Site> sites_;
  std::vector<Problem> problems_;

  void index_importers();
  // Breadth-first depths from the roots; false when some module is unreached.
  bool compute_depths();
};

}  // namespace tarnwick
