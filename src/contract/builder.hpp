// The graph builder of the tarnwick module: walks the imports of a source
// text and of every Python file it reaches, depth-first, and returns the
// dependency graph with depths. It keeps the union of everything it returned
// as a cache from which later builds attach known modules.
#pragma once

#include <optional>
#include <string_view>

#include "contract/dep_graph.hpp"
#include "contract/host.hpp"
#include "contract/walk.hpp"

namespace tarnwick {

// The builder. The walk's state (WalkState) as it stands between calls:
// `graph` and `in_progress` empty and both counts 0; `cache` absent until the
// first successful build, then the union of every graph returned.
class GraphBuilder : public WalkState {
 public:
  std::optional<DepGraph> cache;  // everything returned so far
  bool verbose = false;           // dump every parsed statement list to stdout

  explicit GraphBuilder(bool verbose_output = false) : verbose(verbose_output) {}

  // Builds the graph of `source` (Python text, the body of a module stored
  // nowhere) belonging to `package`, if given. Logs progress on target
  // "tarnwick::core::builder".
  //
  // Throws InternalError on broken invariants, unparsable text, unreadable
  // files and impossible relative imports, and passes on whatever the host
  // throws. A build that throws leaves `graph` empty, `in_progress` empty and
  // both counts 0, and `cache` exactly as it was, so the next build starts
  // afresh.
  DepGraph build(Host& host, std::string_view source, std::optional<std::string_view> package);

 private:
  void reset_build_state() noexcept;
};

}  // namespace tarnwick
