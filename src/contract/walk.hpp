// The tarnwick module's walk: from a root text's import statements through
// every module they reach, asking the Host where each module lives and
// reading the source of each new one, logging every step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/import_stmt.hpp"
#include "common/module_spec.hpp"
#include "contract/dep_graph.hpp"
#include "contract/host.hpp"

namespace tarnwick {

// The name of the root text, which is also its parent
// package when none is given: a relative import from it has nowhere to go.
inline constexpr std::string_view kRootName = "<terminal>";

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};
using NameTable = std::unordered_set<std::string, NameHash, std::equal_to<>>;

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

struct WalkOptions {
  bool verbose = false;             // dump every module's statements to stdout
  const DepGraph* cache = nullptr;  // modules found here are attached, not walked
};

// Walks from `root`, whose node the caller has added to state.graph with
// depth 0, over `statements` (its import statements). Modules are added to
// state.graph as they are reached.
//
// Throws InternalError on broken invariants, impossible relative imports and
// undecodable files, and passes on whatever the host throws; `state` is then
// left mid-walk for the caller to reset.
void walk_imports(WalkState& state, Host& host, const WalkOptions& options, ModuleSpec root,
                  std::shared_ptr<const ImportList> statements);

// The records of a module's text for the walk. Names a
// statement writes again are counted rather than kept (ImportList::
// count_repeats) unless something reads each of them: the dump of
// `verbose`, or the debug records of the walk, the graph or the lookups.
ImportList module_records(std::string_view text, bool verbose);

}  // namespace tarnwick
