// Finds where a module lives the way CPython 3.11-3.13 would import it from a
// given sys.path, without running anything: built-in and frozen modules from
// tables, files from directory listings (PathFinder and FileFinder over the
// file system), and whatever the core does not model through ForeignFinders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/module_spec.hpp"
#include "common/platform_fs.hpp"

namespace tarnwick {

struct FinderConfig {
  std::vector<std::string> search_path;         // sys.path entries, in order, absolute
  std::vector<std::string> extension_suffixes;  // ".cpython-311-x86_64-linux-gnu.so", ".so", ...
  std::vector<std::string> source_suffixes{".py"};
  std::vector<std::string> bytecode_suffixes{".pyc"};
  std::vector<std::string> builtin_names;  // sys.builtin_module_names
  struct Frozen {
    std::string name;
    std::string origname;  // the stdlib module it was frozen from; "" when unknown
    bool package = false;
  };
  std::vector<Frozen> frozen;  // the frozen modules the interpreter would use
  std::string stdlib_dir;      // where frozen modules' source files live
  enum class Step : std::uint8_t { kBuiltin, kFrozen, kPath, kForeign };
  struct MetaStep {
    Step step;
    int foreign_index = -1;  // for kForeign: which ForeignFinders::find finder
    // For kForeign: when not empty, the finder answers only these top-level
    // names, and is not asked for any other.
    std::vector<std::string> only = {};
  };
  std::vector<MetaStep> meta_path{{Step::kBuiltin}, {Step::kFrozen}, {Step::kPath}};
};

// Finders the core does not model: the host's own meta-path finders, and
// sys.path entries that are not directories (zip archives). Implemented by
// the binding; tests use a fake.
class ForeignFinders {
 public:
  virtual ~ForeignFinders() = default;
  // finder.find_spec(fullname, parent_path) of meta-path finder `index`;
  // `parent_path` is null for top-level names. The answer is final.
  virtual std::optional<ModuleSpec> find(int index, std::string_view fullname,
                                         const std::vector<std::string>* parent_path) = 0;
  // The module `fullname` inside the non-directory path entry `entry` (a zip
  // archive, or a path into one), or nullopt. A kNamespace answer is a
  // namespace portion: its locations join those of the other entries and the
  // search goes on, as with a directory without __init__.
  virtual std::optional<ModuleSpec> find_in_entry(const std::string& entry,
                                                  std::string_view fullname) = 0;
};

enum class Miss : std::uint8_t { kNone, kNotFound, kParentNotFound, kParentNotPackage };

struct Lookup {
  std::optional<ModuleSpec> spec;
  Miss miss = Miss::kNone;
};

// Caches every directory listing it reads and every answer it gives, so it
// answers for one state of the file system until refresh(). Not safe to use
// from two threads at once.
class ModuleFinder {
 public:
  explicit ModuleFinder(FinderConfig config);

  // Where the absolute dotted module `fullname` lives. Its parents are found
  // first, as the interpreter imports `a` and `a.b` before `a.b.c`. Answers
  // are cached by name whatever `foreign` is, so pass the same one every
  // time. The reference stays valid until refresh() reports a change or the
  // finder dies.
  const Lookup& find(std::string_view fullname, ForeignFinders* foreign = nullptr);

  // Re-stats every path whose state is cached. A path whose type or mtime
  // changed loses its listing, and when anything changed every cached answer
  // is dropped. Returns whether anything changed.
  bool refresh();

  // The paths whose state the finder holds (what refresh() re-stats), and
  // refresh() with their stats taken by the caller, for a caller that stats
  // them together with other paths.
  std::vector<std::string> tracked_paths() const;

  // Folders are watched as they are listed (set before the first lookup).
  void set_watch(fs::FolderWatch* watch) noexcept { watch_ = watch; }
  // refresh() from notices: the states of the folders and entries named
  // drop, the paths no watch covers are statted. Returns whether anything
  // changed.
  bool refresh(std::span<const fs::FolderWatch::Notice> notices);
  // Counts every watch as gone (the caller saw them dropped): their states
  // are statted from now on.
  void forget_watches();
  // Watches every folder held so far (the caller then stats them all, which
  // covers any change between their reading and their watch).
  void watch_all();
  std::size_t tracked_count() const noexcept { return paths_.size(); }
  // Goes up whenever the set of paths the finder holds changes, so a
  // caller's plan over tracked_paths() knows when to make it again.
  std::uint64_t tracked_version() const noexcept { return tracked_version_; }
  bool refresh(std::span<const std::string> paths, std::span<const fs::FileStat> now);

  // The modules and packages directly inside `package` (a spec with search
  // locations): files with a loader suffix and directories with an __init__,
  // over all its locations, as full names in byte order without duplicates.
  // A file or folder whose name is not valid UTF-8 is no module (no import
  // can name it): its path goes to `unnamed`, when given, and not to the list.
  std::vector<std::string> submodule_names(const ModuleSpec& package,
                                           std::vector<std::string>* unnamed = nullptr);

  // How many directory listings are held.
  std::size_t cached_directories() const noexcept;

 private:
  struct NameHash {
    using is_transparent = void;
    // Not noexcept on purpose: libstdc++ then keeps each key's hash in its
    // node, so a lookup does not hash the keys of its bucket to find the
    // bucket's end, nor a rehash every key again.
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  template <class T>
  using NameMap = std::unordered_map<std::string, T, NameHash, std::equal_to<>>;

  // What one directory offers under one module name: a subdirectory of that
  // name, and a bit per suffix for which `name + suffix` is a file.
  struct Candidates {
    bool directory = false;
    std::uint64_t files = 0;
  };

  // One path as last seen. Directories carry their listing, indexed by
  // module name; names that no module can have (those with a dot) are left
  // out.
  struct PathState {
    fs::EntryType type = fs::EntryType::kMissing;
    std::int64_t mtime_ns = 0;
    std::uint64_t inode = 0;   // a folder replaced by another of the same name is another inode
    bool listed = false;       // a directory whose listing could be read
    bool inside_file = false;  // missing, but below a regular file: a path into an archive
    bool archive = false;      // a zip archive, listed as a folder
    bool watched = false;      // a directory whose changes come as notices
    NameMap<Candidates> names;
  };

  // `up`: the answer for the enclosing package, when the caller holds it.
  Lookup search(std::string_view fullname, ForeignFinders* foreign, const Lookup* up = nullptr);
  std::optional<ModuleSpec> find_builtin(std::string_view fullname) const;
  std::optional<ModuleSpec> find_frozen(std::string_view fullname);
  std::optional<ModuleSpec> find_on_path(std::string_view fullname, std::string_view tail,
                                         const std::vector<std::string>& entries,
                                         ForeignFinders* foreign);
  std::optional<std::size_t> init_suffix(const std::string& dir, const PathState& state) const;
  bool has_frozen_source(const std::string& dir, std::string_view stem);
  const PathState& path_state(const std::string& path);
  void index_listing(const std::vector<fs::DirEntry>& entries, bool in_archive,
                     NameMap<Candidates>& names) const;
  ModuleSpec file_spec(std::string_view fullname, std::string origin, std::size_t suffix,
                       std::optional<std::string> package_dir) const;

  FinderConfig config_;
  std::vector<std::string> suffixes_;  // loader order, then ".py" for frozen files if absent
  std::size_t loader_suffixes_ = 0;    // how many of suffixes_ the path search uses
  std::size_t py_suffix_ = 0;          // the index of ".py" in suffixes_
  std::uint64_t loader_mask_ = 0;
  std::unordered_set<std::string, NameHash, std::equal_to<>> builtins_;
  NameMap<std::size_t> frozen_;  // name -> index in config_.frozen
  NameMap<PathState> paths_;
  std::uint64_t tracked_version_ = 0;
  fs::FolderWatch* watch_ = nullptr;
  std::unordered_set<std::string, NameHash, std::equal_to<>> unwatched_;  // states no watch covers
  fs::StatPlan plan_;  // the keys of paths_ as of the last refresh, grouped for re-stating
  NameMap<Lookup> answers_;
};

}  // namespace tarnwick
