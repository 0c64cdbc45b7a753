// The exact engine's builder: the shared walk in its exact dialect over the
// static finder, with everything it read and found kept for the next build.
// A rebuild re-stats the folders the finder listed and the files the last
// build read. When no folder changed, it returns the last graph as it is if
// no statement changed, and otherwise walks only from the modules whose
// statements changed, patching the last graph; when a folder changed (a
// module may have appeared or gone), it walks again from the roots, with
// every unchanged file served from memory.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/exact_graph.hpp"
#include "core/exact_host.hpp"
#include "core/module_finder.hpp"
#include "core/prefetch.hpp"
#include "core/walk.hpp"

namespace tarnwick {

// What to graph.
struct ExactRequest {
  enum class Kind : std::uint8_t {
    kScript,    // the file `path` run as __main__ (in `package`, if not empty)
    kText,      // the source `text` run as __main__ (in `package`, if not empty)
    kModules,   // the modules `names`, imported as by `import name`
    kPackages,  // every module of the packages `names` (a plain module stands for itself)
  };
  Kind kind = Kind::kText;
  std::string path;
  std::string text;
  std::string package;
  std::vector<std::string> names;
  std::optional<std::vector<std::string>> read_within;  // when given: only these packages are read
  std::uint8_t skip_context = 0;  // statements with any of these context:: flags are not followed

  bool operator==(const ExactRequest&) const = default;
};

// The name of the root module of a script or a text.
inline constexpr std::string_view kMainName = "__main__";

class ExactBuilder {
 public:
  // With `watch`, the first rebuild sets watches on what the builds read,
  // and later ones learn what changed from their notices (where the system
  // has them) instead of statting it all. A builder used once never pays for
  // watches.
  explicit ExactBuilder(FinderConfig config, bool watch = true)
      : watch_enabled_(watch), finder_(std::move(config)) {}

  // Builds the graph of `request`. `services` (which may be null) is asked
  // for what only the interpreter knows; what it throws ends the build and
  // leaves the builder ready for the next one.
  std::shared_ptr<const ExactGraph> build(const ExactRequest& request, HostServices* services);

  // Where `name` lives, as the builds see it.
  const Lookup& find(std::string_view name, HostServices* services) {
    return finder_.find(name, services);
  }

  // What the last build did: whether it returned the graph before it as it
  // was, and how many files it read (scanned anew).
  struct Stats {
    bool reused = false;
    std::size_t files_read = 0;
    std::size_t files = 0;  // source files the graph's modules have
  };
  const Stats& last_stats() const noexcept { return stats_; }

 private:
  static ModuleSpec main_spec(const ExactRequest& request);
  static WalkOptions options(const ExactRequest& request);
  void replan();
  // Whether the folders the finder holds changed, and the files of the last
  // build whose statements changed (in `changed`), from the watch's notices
  // where they can be trusted and by statting the rest.
  bool check(std::vector<std::string>& changed, bool same_request, HostServices* services);
  // Says in kNotFound problems when the name's parent is no package.
  void explain_misses(std::vector<Problem>& problems, HostServices* services);
  std::vector<std::string> package_modules(const std::vector<std::string>& names,
                                           HostServices* services);
  bool patch(const ExactRequest& request, const std::vector<std::string>& changed,
             HostServices* services);

  // Declared first, so the finder and the cache that hold it go before it.
  fs::FolderWatch watch_;
  bool watch_enabled_;
  bool watching_ = false;         // the finder and the cache set watches as they read
  std::uint64_t generation_ = 0;  // of the watches the finder and the cache count on
  ModuleFinder finder_;
  ScanCache scans_;
  Prefetcher prefetch_;  // runs during a full walk only
  Stats stats_;
  ExactRequest last_request_;
  std::shared_ptr<const ExactGraph> last_graph_;
  std::vector<std::string> last_files_;
  // What a rebuild stats: the finder's tracked paths (the first
  // check_folders_ of the plan), then last_files_.
  fs::StatPlan check_plan_;
  std::size_t check_folders_ = 0;
};

}  // namespace tarnwick
