// The builder's walk: from a root module's import statements through every
// module they reach, asking the Host where each module lives and reading the
// source of each new one. Both faces run this one walk; the dialect decides
// the few rules in which they differ.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/dep_graph.hpp"
#include "core/host.hpp"
#include "core/import_stmt.hpp"
#include "core/module_spec.hpp"

namespace tarnwick {

enum class Dialect : std::uint8_t {
  // The tarnwick module: statements from the import grammar, debug records
  // for every step, and an InternalError for an impossible relative import
  // or a file that is not UTF-8.
  kModule,
  // The exact engine: statements from the exact scanner; a module is read
  // when its kind says it has source; what cannot be resolved or read
  // becomes a Problem and the walk goes on; every edge keeps its sites.
  kExact,
};

// The name of the root text in the module dialect, which is also its parent
// package when none is given: a relative import from it has nowhere to go.
inline constexpr std::string_view kRootName = "<terminal>";

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};
using NameTable = std::unordered_set<std::string, NameHash, std::equal_to<>>;

// Something the exact walk could not follow.
struct Problem {
  enum class Kind : std::uint8_t {
    kNotFound,         // no module of that name (`name`)
    kNoParentPackage,  // a relative import in a module that is not in a package
    kBeyondTopLevel,   // a relative import with more dots than the package has levels
    kUnreadable,       // the module's source could not be read or decoded (`detail` says why)
  };
  Kind kind;
  std::string importer;  // the module whose statement it is (for kUnreadable: the module itself)
  std::string name;      // the absolute name, or the relative one as written
  std::uint32_t line = 0;
  std::string detail;  // kUnreadable: why; kNotFound: "parent is not a package" or ""
  bool operator==(const Problem&) const = default;
};

// One statement that gave an edge: node positions (DepGraph::index_of) and
// where the statement stands.
struct EdgeSite {
  std::uint32_t from;
  std::uint32_t to;
  Site site;
};

// The state a walk works on. Between walks: `graph` and `in_progress` empty
// and both counts 0.
struct WalkState {
  DepGraph graph;                   // the graph of the walk in progress
  NameTable in_progress;            // modules whose imports are being walked
  std::size_t processed_count = 0;  // dependency relationships handled
  std::size_t cached_count = 0;     // of those, taken from a cache
  // Cache hits attached without their per-node records; their edges are not
  // in the counts yet (add them with count_attached).
  SettledAttach attached;

  // Adds to both counts what the hits in `attached` took from `cache`, as
  // the plain attach counts them, and forgets the hits.
  void count_attached(const DepGraph& cache);
};

// Whether `name` is one of `packages` or inside one; with no list, always.
bool reads_within(const std::optional<std::vector<std::string>>& packages,
                  std::string_view name) noexcept;

struct WalkOptions {
  Dialect dialect = Dialect::kModule;
  bool verbose = false;             // dump every module's statements to stdout
  const DepGraph* cache = nullptr;  // modules found here are attached, not walked
  // Exact dialect: when given, only modules inside these packages (or named
  // so) are read; others stay leaves.
  std::optional<std::vector<std::string>> read_within;
  // Exact dialect: modules the caller already holds, with their edges (a
  // rebuild walks from a changed module only). The walk links to them,
  // adding each as a node when it first meets it, and never reads them.
  std::function<bool(std::string_view)> known;
  // Statements whose Site::context has any of these flags are not followed.
  std::uint8_t skip_context = 0;
};

// What an exact walk found besides the graph.
struct WalkFindings {
  std::vector<Problem> problems;
  std::vector<EdgeSite> sites;
};

// Walks from `root`, whose node the caller has added to state.graph with
// depth 0, over `statements` (its import statements). Modules are added to
// state.graph as they are reached. `findings` receives the problems and
// sites of an exact walk (it may be null for the module dialect).
//
// Throws InternalError on broken invariants (and, in the module dialect, on
// impossible relative imports and undecodable files) and passes on whatever
// the host throws; `state` is then left mid-walk for the caller to reset.
void walk_imports(WalkState& state, Host& host, const WalkOptions& options, ModuleSpec root,
                  std::shared_ptr<const ImportList> statements, WalkFindings* findings);

// The records of a module's text for a walk of the module dialect. Names a
// statement writes again are counted rather than kept (ImportList::
// count_repeats) unless something reads each of them: the dump of
// `verbose`, or the debug records of the walk, the graph or the lookups.
ImportList module_records(std::string_view text, bool verbose);

}  // namespace tarnwick
