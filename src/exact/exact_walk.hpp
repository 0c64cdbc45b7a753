// The exact engine's walk: from the roots' import statements through every
// module they reach, over interned module ids. Each module the walk meets
// gets a record of what it imports (one edge per statement and imported
// module, enclosing packages included, their sites marked context::kImplied
// where the statement does not name the module) and of what it could not
// follow.
// Source files are read and scanned on the worker pool while the walk goes
// on; the records do not depend on the order in which files come back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/import_stmt.hpp"
#include "common/module_spec.hpp"
#include "exact/module_finder.hpp"
#include "exact/module_names.hpp"
#include "exact/source_scans.hpp"

namespace tarnwick {

// Something the exact walk could not follow.
struct Problem {
  enum class Kind : std::uint8_t {
    kNotFound,         // no module of that name (`name`)
    kNoParentPackage,  // a relative import in a module that is not in a package
    kBeyondTopLevel,   // a relative import with more dots than the package has levels
    kUnreadable,       // the module's source could not be read or decoded (`detail` says why)
  };
  Kind kind;
  std::string importer;  // the module whose statement it is ("" for a requested name)
  std::string name;      // the absolute name, or the relative one as written; the file, unreadable
  std::uint32_t line = 0;
  std::string detail;  // kUnreadable: why; kNotFound: "parent is not a package" or ""
  bool operator==(const Problem&) const = default;
};

// One statement's import of one module.
struct OutEdge {
  ModuleId to;
  Site site;
};

// What the walk knows of one module: its spec's kind and origin, and, once
// it is read, the scan it read and what its statements import.
struct ModuleRecord {
  bool node = false;      // the walk met it: a module of the graph, if reachable
  bool resolved = false;  // its statements were followed (or it has none to follow)
  ModuleKind kind = ModuleKind::kUnknown;
  std::optional<std::string> origin;
  std::shared_ptr<const FileScan> scan;  // the file its statements came from, when read
  std::vector<OutEdge> edges;            // in statement order
  std::vector<Problem> problems;         // in statement order
};

// The modules a walk starts from besides a script or text: the names
// requested (as `import name` would import them) and what they could not be.
struct RootRecord {
  std::vector<ModuleId> roots;  // every module the request imports, enclosing packages included
  std::vector<Problem> problems;
};

struct WalkRequest {
  // When given, only modules inside these packages (or named so) are read;
  // the others stay leaves.
  const std::optional<std::vector<std::string>>* read_within = nullptr;
  std::uint8_t skip_context = 0;  // statements with any of these flags are not followed
  // Whether records keep the statements they were resolved from (for
  // rebuilds) or only the file's stat (a builder used once).
  bool keep_statements = true;
  // The records of the last completed build, whose scans serve again for
  // the files that did not change (may be null).
  const std::vector<ModuleRecord>* held = nullptr;
  // The module run as __main__ (kNoModule when none): `import __main__`
  // gives it, it is always read, and its package is `main_package`.
  ModuleId main = kNoModule;
  const ModuleSpec* main_spec = nullptr;
  ModuleId main_package = kNoModule;
};

// Whether `name` is one of `packages` or inside one; with no list, always.
bool reads_within(const std::optional<std::vector<std::string>>& packages,
                  std::string_view name) noexcept;

class ExactWalk {
 public:
  // `records` is indexed by module id and grows with `names`; records
  // already resolved are kept as they are (a rebuild walks only from what
  // changed). `pool` reads the files. With `undo`, each record gets copied
  // there before the walk first changes it, so the caller can put back what
  // a walk that failed changed.
  using Undo = std::vector<std::pair<ModuleId, ModuleRecord>>;
  ExactWalk(ModuleNames& names, ModuleFinder& finder, HostServices* services, ScanPool& pool,
            const WalkRequest& request, std::vector<ModuleRecord>& records, Undo* undo);

  // The module `name` as a statement of the request imports it; its spec,
  // or null when it was not found.
  const ModuleSpec* request(std::string_view name, RootRecord& root);
  // Makes `id` a node with `spec`, to be read (when it has source).
  void add_module(ModuleId id, const ModuleSpec& spec);
  // Resolves `id` again from `scan` (a module whose file changed).
  void resolve_with(ModuleId id, std::shared_ptr<const FileScan> scan);
  // Follows every module met until none is left to read.
  void run();

  // The records this walk changed, in the order first changed.
  const std::vector<ModuleId>& touched() const noexcept { return touched_; }
  // How many files this walk read (not served from memory unchanged).
  std::size_t files_read() const noexcept { return reads_; }

 private:
  struct Found {  // 16 bytes: one per name the walk meets
    const ModuleSpec* spec = nullptr;
    ModuleId module = kNoModule;  // the module found (kNoModule: none)
    Miss miss = Miss::kNone;
    bool asked = false;  // the finder was asked (this walk)
  };
  const Found& lookup(ModuleId id);
  ModuleRecord& record(ModuleId id);
  void touch(ModuleId id);
  void mark_node(ModuleId id);
  // Hands `id` to be read, or resolves it as a leaf.
  void queue(ModuleId id);
  void resolve(ModuleId id, const ImportList& statements);
  void prefetch_names(const ImportList& statements);
  void unreadable(ModuleId id, const FileScan& scan);
  // One imported name: an edge to it and to each enclosing package (whose
  // sites are marked context::kImplied). Whether the name was found.
  enum class Ask : std::uint8_t { kStatement, kFromList };
  bool import_name(ModuleId importer, ModuleId name, const Site& site, Ask ask, bool names_itself,
                   std::vector<OutEdge>& edges, std::vector<Problem>& problems);
  ModuleId package_of(ModuleId id);
  std::string_view importer_name(ModuleId importer) const;
  void take(ScanPool::Result result);
  // The scan the last completed build read for `id` from the same file.
  std::shared_ptr<const FileScan> held(ModuleId id) const;

  ModuleNames& names_;
  ModuleFinder& finder_;
  HostServices* services_;
  ScanPool& pool_;
  const WalkRequest& request_;
  std::vector<ModuleRecord>& records_;
  std::vector<Found> found_;        // by id, for this walk
  std::vector<std::uint8_t> node_;  // by id: the record is a node (a copy of ModuleRecord::node)
  std::vector<ModuleId> touched_;
  std::vector<std::uint8_t> touched_mark_;
  // The module each job of the pool reads for, by job number.
  std::vector<ModuleId> jobs_;
  Undo* undo_;
  std::string buffer_;               // a from-list's full names are built here
  std::vector<ModuleId> ancestors_;  // the enclosing packages of a name not found
  // The names prefetch_names() asks for, as spans of `ahead_text_`.
  struct Ahead {
    std::size_t at = 0;
    std::size_t size = 0;
    std::uint64_t hash = 0;
    bool sure = false;  // resolve() looks it up whatever it finds
  };
  std::vector<Ahead> ahead_;
  std::string ahead_text_;
  // What resolve() collects for one module, before it is copied to its record.
  std::vector<OutEdge> edges_;
  std::vector<Problem> problems_;
  std::size_t resolved_count_ = 0;
  std::size_t reads_ = 0;
};

}  // namespace tarnwick
