#include "contract/builder.hpp"

#include <utility>

#include "common/log.hpp"
#include "contract/parser.hpp"

namespace tarnwick {

void GraphBuilder::reset_build_state() noexcept {
  graph = DepGraph();
  in_progress.clear();
  processed_count = 0;
  cached_count = 0;
  attached = SettledAttach();
}

DepGraph GraphBuilder::build(Host& host, std::string_view source,
                             std::optional<std::string_view> package) {
  try {
    ModuleSpec root;
    root.name = std::string(kRootName);
    if (package) {
      root.parent = std::string(*package);
      root.submodule_search_locations.emplace();
    } else {
      root.parent = std::string(kRootName);
    }
    graph.add(DepNode(root, 0));

    WalkOptions options;
    options.verbose = verbose;
    options.cache = cache ? &*cache : nullptr;
    walk_imports(*this, host, options, std::move(root),
                 std::make_shared<const ImportList>(module_records(source, verbose)));
    if (cache) count_attached(*cache);

    constexpr std::string_view kTarget = log::kBuilderTarget;
    if (cached_count == 0) {
      TW_LOG_INFO(kTarget, "Processed ", processed_count, " dependency relationships.");
    } else {
      TW_LOG_INFO(kTarget, "Processed ", processed_count, " dependency relationships (",
                  cached_count, " from cache).");
    }
    in_progress = NameTable();
    processed_count = 0;
    cached_count = 0;
    attached = SettledAttach();
    DepGraph result = std::exchange(graph, DepGraph());

    // The merge cannot meet conflicting origins: a module present in the
    // cache is always taken from it (cache path), so every node of `result`
    // that the cache holds carries the cache's own spec. Hence a failure
    // cannot leave the cache half merged.
    if (!cache) {
      cache.emplace(result);
    } else {
      cache->merge(result);
    }
    return result;
  } catch (...) {
    reset_build_state();
    throw;
  }
}

}  // namespace tarnwick
