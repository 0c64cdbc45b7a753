// The graph the exact engine returns: modules in name order with their kind,
// origin and true depth; imports and importers as index lists; the sites of
// every edge; the problems met. Immutable once assembled, and queried by
// index. The module table is shared between a graph and the ones a rebuild
// derives from it while the modules stay the same.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/import_stmt.hpp"
#include "common/module_spec.hpp"
#include "exact/exact_walk.hpp"
#include "exact/module_names.hpp"

namespace tarnwick {

class ExactGraph {
 public:
  struct Module {
    std::string name;
    ModuleKind kind = ModuleKind::kUnknown;
    std::optional<std::string> origin;
    bool operator==(const Module&) const = default;
  };

  // The graph of what a walk found: the modules the roots reach over the
  // records' edges, in name order, with breadth-first depths, the sites of
  // every edge in order of line, and the problems (the roots' first, then
  // each module's in name order, each in statement order). When `like`
  // holds the same modules, its module table is shared and the rows of the
  // modules not in `changed` (ids flagged non-zero) are copied from it.
  static ExactGraph assemble(const ModuleNames& names, const std::vector<ModuleRecord>& records,
                             const RootRecord& roots, const ExactGraph* like = nullptr,
                             const std::vector<std::uint8_t>* changed = nullptr);

  // A graph from plain parts, for graphs made from other graphs (and for
  // tests): modules by index, one edge per site, roots, and problems, which
  // go with their importer's module (the roots', when it has none here).
  struct EdgeSite {
    std::uint32_t from;
    std::uint32_t to;
    Site site;
  };
  struct Parts {
    std::vector<Module> nodes;
    std::vector<EdgeSite> edges;
    std::vector<std::uint32_t> roots;
    std::vector<Problem> problems;
  };
  static ExactGraph assemble(Parts parts);

  // `like` with the rows and problems of the modules `changed` taken from
  // their records, when that is all that changed: the same modules, every
  // one still reached from the roots. The module table is shared, and so
  // are the depths when none changed. Absent otherwise (the caller
  // assembles).
  static std::optional<ExactGraph> patched(const ExactGraph& like,
                                           const std::vector<ModuleRecord>& records,
                                           std::span<const ModuleId> changed);

  ExactGraph() = default;
  ExactGraph(ExactGraph&&) noexcept = default;
  ExactGraph& operator=(ExactGraph&&) noexcept = default;
  // Hands its rows to the graphs patched from the same assembly, if any
  // remain, for the next patch to fill.
  ~ExactGraph();

  // Makes spare rows ready for the next graph patched from this one, on a
  // thread of their own, when none are: a patch then writes into memory
  // already mapped, not into fresh pages (whose faults cost more than the
  // copy). For a graph that will be patched; a no-op for a subgraph.
  void prepare_spare() const;

  std::size_t size() const noexcept { return modules_ ? modules_->size() : 0; }
  const Module& module(std::uint32_t i) const noexcept { return (*modules_)[i]; }
  // Fewest imports from a root (roots: 0).
  std::int32_t depth(std::uint32_t i) const noexcept { return (*depths_)[i]; }
  // Whether both graphs share their depths (a rebuild that changed no depth).
  bool same_depths(const ExactGraph& other) const noexcept { return depths_ == other.depths_; }
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

  // The graph as its statements are written: the same modules, depths,
  // roots and problems, with only the edges some statement names (a site
  // without context::kImplied), each with only those sites.
  ExactGraph as_written() const;

  // The graph less the edges `removed` (importer, imported), everything
  // else as it is; pairs that are no edge of it are passed over.
  struct Edge {
    std::uint32_t from;
    std::uint32_t to;
    auto operator<=>(const Edge&) const = default;
  };
  ExactGraph without(std::vector<Edge> removed) const;

 private:
  std::shared_ptr<const std::vector<Module>> modules_;
  std::shared_ptr<const std::vector<ModuleId>>
      ids_;  // of the modules, as the builder interned them
  std::shared_ptr<const std::vector<std::int32_t>> depths_;
  std::vector<std::uint32_t> roots_;
  std::vector<std::uint32_t> out_begin_, out_;  // CSR: imports of node i
  std::vector<std::uint32_t> site_begin_;       // sites of the edge at out_[e]
  std::vector<Site> sites_;
  std::vector<Problem> problems_;
  // The roots' problems come first; module i's follow at
  // [problem_begin_[i], problem_begin_[i + 1]) (empty in a subgraph).
  std::vector<std::uint32_t> problem_begin_;
  // Importers of each module (CSR), made on the first question.
  struct Importers {
    std::once_flag once;
    std::vector<std::uint32_t> begin, of;
  };
  std::unique_ptr<Importers> importers_ = std::make_unique<Importers>();
  // The rows of a dead graph, shared by an assembled graph and the graphs
  // patched from it. A patch writes into memory already mapped and touched:
  // fresh arrays of a large graph cost more in page faults than the copy.
  struct SpareRows;
  std::shared_ptr<SpareRows> spare_;

  const Importers& importers_index() const;
  // A graph of the same modules, depths, roots and problems, whose row of
  // each edge e = (i, j) holds the sites `keep(i, j, sites of e)` gives
  // into its last argument (the edge goes when it gives none).
  template <class Keep>
  ExactGraph with_rows(Keep&& keep) const;
  // Breadth-first depths from the roots.
  void compute_depths();
};

}  // namespace tarnwick
