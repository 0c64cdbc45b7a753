// The exact engine's builder: requests, the walk over the worker pool, and
// what a build keeps for the next one. A build commits its records, its
// graph and what it knows of the file system only when it completes; one
// that ends with an exception leaves the builder as it was before it
// started, so the next build sees every change since the last completed one.
//
// A rebuild of the same request first asks what changed: the folders the
// finder listed and the files the last build read, from the folder watch's
// notices where they can be trusted and by stat otherwise. When no folder
// changed, it returns the last graph as it is if no file changed, and
// otherwise resolves only the modules of the changed files (and the modules
// they newly reach) and assembles the graph again. When a folder changed (a
// module may have appeared or gone), it walks again from the roots, with
// every unchanged file served from memory.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/platform_fs.hpp"
#include "exact/exact_graph.hpp"
#include "exact/exact_walk.hpp"
#include "exact/module_finder.hpp"
#include "exact/module_names.hpp"
#include "exact/source_scans.hpp"

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
  // has them) instead of statting it all. `workers` threads read and scan
  // (0: as many as the process may use; 1: the building thread alone).
  // With `keep` false the builder keeps no statements once it resolved
  // them (a rebuild that walks again reads every file again): for a
  // builder used once, whose memory is then mostly the graph's.
  explicit ExactBuilder(FinderConfig config, bool watch = true, std::size_t workers = 0,
                        bool keep = true)
      : watch_enabled_(watch), keep_(keep), workers_(workers), finder_(std::move(config)) {}

  // Builds the graph of `request`. `services` (which may be null) is asked
  // for what only the interpreter knows, from the calling thread only; what
  // it throws ends the build and leaves the builder as it was.
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

  // How many modules the builder holds records of.
  std::size_t held_modules() const noexcept { return records_.size(); }

 private:
  // The spec of __main__ for a script or text request.
  static ModuleSpec main_spec(const ExactRequest& request);
  WalkRequest walk_request(const ExactRequest& request, const ModuleSpec& main);
  // Asks `walk` for each package of `names` and every module inside it, in
  // the order the package's folders list them; each is asked as soon as it
  // is found, so the workers read the first files while the rest are listed.
  // The files in them that no name can import are problems of the roots.
  void request_packages(const std::vector<std::string>& names, ExactWalk& walk, RootRecord& roots);
  // Whether a folder the finder holds changed since the last completed
  // build; the paths of the files it read whose size or modification time
  // changed since then go to `changed`.
  bool check(std::vector<std::string>& changed, bool same_request);
  void start_watching();
  void index_files();
  std::shared_ptr<const ExactGraph> walk_all(const ExactRequest& request, HostServices* services);
  std::shared_ptr<const ExactGraph> patch(const ExactRequest& request,
                                          const std::vector<std::string>& changed,
                                          HostServices* services);
  // Takes in a completed build's records and graph.
  void commit(const ExactRequest& request, std::shared_ptr<const ExactGraph> graph);
  std::size_t pool_threads(std::size_t files) const noexcept;

  // Declared first, so the finder that holds it goes before it.
  fs::FolderWatch watch_;
  bool watch_enabled_;
  bool keep_;
  bool watching_ = false;         // the finder sets watches as it lists
  std::uint64_t generation_ = 0;  // of the watches the finder and the files count on
  std::size_t workers_;
  ModuleFinder finder_;
  ModuleNames names_;
  Stats stats_;

  // What the last completed build left.
  ExactRequest last_request_;
  std::shared_ptr<const ExactGraph> last_graph_;
  std::vector<ModuleRecord> records_;
  RootRecord roots_;
  // The files its modules were read from, and the modules read from each;
  // made when a rebuild first needs them (index_files), so a builder used
  // once never pays for them.
  std::unordered_map<std::string, std::vector<ModuleId>> files_;
  bool files_ready_ = true;
  // What a full check stats: the finder's tracked paths (the first
  // check_folders_ of the plan), then the files.
  fs::StatPlan check_plan_;
  std::size_t check_folders_ = 0;
  std::uint64_t check_version_ = 0;  // the finder's tracked_version() the plan was made at
  bool replan_ = true;
  // Files whose changes come as no notice (their folder not watched, or a
  // link): statted on every rebuild.
  std::vector<std::string> unwatched_files_;

  // What the file system told since the last completed build, kept until
  // one completes: a folder changed, or notices named these files.
  bool folders_changed_ = false;
  std::unordered_set<std::string> noticed_;
};

}  // namespace tarnwick
