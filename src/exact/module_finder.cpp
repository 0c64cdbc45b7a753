#include "exact/module_finder.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "common/error.hpp"
#include "common/source_file.hpp"
#include "common/str_cat.hpp"

namespace tarnwick {

namespace {

constexpr std::string_view kFrozenSourceSuffix = ".py";

// The enclosing package of a dotted name, as str.rpartition('.') gives it:
// "a.b.c" gives "a.b"; "a" and ".a" give "".
std::string_view parent_of(std::string_view name) noexcept {
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(0, dot);
}

}  // namespace

ModuleFinder::ModuleFinder(FinderConfig config) : config_(std::move(config)) {
  for (const auto* group :
       {&config_.extension_suffixes, &config_.source_suffixes, &config_.bytecode_suffixes}) {
    suffixes_.insert(suffixes_.end(), group->begin(), group->end());
  }
  loader_suffixes_ = suffixes_.size();
  py_suffix_ = loader_suffixes_;
  for (std::size_t i = 0; i < loader_suffixes_; ++i) {
    if (suffixes_[i] == kFrozenSourceSuffix) {
      py_suffix_ = i;
      break;
    }
  }
  if (py_suffix_ == loader_suffixes_) suffixes_.emplace_back(kFrozenSourceSuffix);
  if (suffixes_.size() > 64) fail("module finder: at most 64 file suffixes are supported");
  loader_mask_ =
      loader_suffixes_ == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << loader_suffixes_) - 1;

  builtins_.insert(config_.builtin_names.begin(), config_.builtin_names.end());
  for (std::size_t i = 0; i < config_.frozen.size(); ++i) {
    frozen_.emplace(config_.frozen[i].name, i);
  }
}

const Lookup& ModuleFinder::find(std::string_view fullname, ForeignFinders* foreign) {
  if (const auto it = answers_.find(fullname); it != answers_.end()) return it->second;
  // Most names come after their package was answered: one lookup of it
  // stands for the walk over every enclosing package.
  if (const std::string_view parent = parent_of(fullname); !parent.empty()) {
    if (const auto up = answers_.find(parent); up != answers_.end()) {
      Lookup answer = up->second.spec ? search(fullname, foreign, &up->second)
                                      : Lookup{std::nullopt, Miss::kParentNotFound};
      return answers_.try_emplace(std::string(fullname), std::move(answer)).first->second;
    }
  }
  // Each enclosing package first, outermost first, as the interpreter
  // imports them, so that search() finds its parent answered: no recursion.
  // Below a package that is missing nothing is looked for, and the name is
  // answered without an answer kept for each part between: a name of many
  // parts costs its length, not its square.
  for (std::size_t dot = fullname.find('.'); dot != std::string_view::npos;
       dot = fullname.find('.', dot + 1)) {
    const std::string_view package = fullname.substr(0, dot);
    auto it = answers_.find(package);
    if (it == answers_.end()) {
      Lookup answer = search(package, foreign);
      it = answers_.try_emplace(std::string(package), std::move(answer)).first;
    }
    if (!it->second.spec && fullname.find('.', dot + 1) != std::string_view::npos) {
      return answers_
          .try_emplace(std::string(fullname), Lookup{std::nullopt, Miss::kParentNotFound})
          .first->second;
    }
  }
  Lookup answer = search(fullname, foreign);
  return answers_.try_emplace(std::string(fullname), std::move(answer)).first->second;
}

Lookup ModuleFinder::search(std::string_view fullname, ForeignFinders* foreign, const Lookup* up) {
  if (fullname.empty()) return {std::nullopt, Miss::kNotFound};
  const std::string_view parent = parent_of(fullname);
  const std::string_view tail = fullname.substr(fullname.rfind('.') + 1);  // npos + 1 == 0

  const std::vector<std::string>* parent_path = nullptr;
  if (!parent.empty()) {
    if (up == nullptr) up = &find(parent, foreign);
    if (!up->spec) return {std::nullopt, Miss::kParentNotFound};
    if (!up->spec->submodule_search_locations) {
      // A module that is not a package can still put submodules into
      // sys.modules as it runs, as `os` does with `os.path`. The frozen table
      // lists those aliases, so it is the one place still asked.
      if (auto spec = find_frozen(fullname)) return {std::move(spec), Miss::kNone};
      return {std::nullopt, Miss::kParentNotPackage};
    }
    parent_path = &*up->spec->submodule_search_locations;
  }

  for (const FinderConfig::MetaStep& step : config_.meta_path) {
    std::optional<ModuleSpec> spec;
    switch (step.step) {
      case FinderConfig::Step::kBuiltin:
        spec = find_builtin(fullname);
        break;
      case FinderConfig::Step::kFrozen:
        spec = find_frozen(fullname);
        break;
      case FinderConfig::Step::kPath:
        spec =
            find_on_path(fullname, tail, parent_path ? *parent_path : config_.search_path, foreign);
        break;
      case FinderConfig::Step::kForeign:
        if (foreign != nullptr &&
            (step.only.empty() ||
             (parent_path == nullptr &&
              std::find(step.only.begin(), step.only.end(), fullname) != step.only.end()))) {
          spec = foreign->find(step.foreign_index, fullname, parent_path);
        }
        break;
    }
    if (spec) return {std::move(spec), Miss::kNone};
  }
  return {std::nullopt, Miss::kNotFound};
}

std::optional<ModuleSpec> ModuleFinder::find_builtin(std::string_view fullname) const {
  if (builtins_.find(fullname) == builtins_.end()) return std::nullopt;
  ModuleSpec spec;
  spec.name = fullname;
  spec.origin = "built-in";
  spec.parent = parent_of(fullname);
  spec.kind = ModuleKind::kBuiltin;
  return spec;
}

std::optional<ModuleSpec> ModuleFinder::find_frozen(std::string_view fullname) {
  const auto it = frozen_.find(fullname);
  if (it == frozen_.end()) return std::nullopt;
  const FinderConfig::Frozen& frozen = config_.frozen[it->second];

  ModuleSpec spec;
  spec.name = fullname;
  spec.origin = "frozen";
  spec.parent = frozen.package ? fullname : parent_of(fullname);
  spec.kind = ModuleKind::kFrozen;
  if (frozen.package) spec.submodule_search_locations.emplace();
  if (frozen.origname.empty() || config_.stdlib_dir.empty()) return spec;

  // The source file the module was frozen from, named as FrozenImporter
  // names it: an alias ("os.path" frozen from "posixpath") is a plain module
  // file, except that "<pkg" stands for the package pkg's __init__.
  std::string_view origname = frozen.origname;
  bool package_file = frozen.package;
  std::string_view init;
  if (origname != fullname) {
    if (origname.front() == '<') {
      origname.remove_prefix(1);
      if (!frozen.package) init = ".__init__";
    } else {
      package_file = false;
    }
  }
  std::string relative = str_cat(origname, init);
  for (char& c : relative) {
    if (c == '.') c = '/';
  }
  // Plain concatenation, as FrozenImporter does: stdlib_dir is used as given.
  std::string dir;
  std::string file;
  if (package_file) {
    dir = str_cat(config_.stdlib_dir, '/', relative);
    file = str_cat(dir, "/__init__", kFrozenSourceSuffix);
  } else {
    file = str_cat(config_.stdlib_dir, '/', relative, kFrozenSourceSuffix);
    dir = file.substr(0, file.rfind('/'));
  }
  const std::string_view name = std::string_view(file).substr(file.rfind('/') + 1);
  if (has_frozen_source(dir, name.substr(0, name.size() - kFrozenSourceSuffix.size()))) {
    spec.origin = std::move(file);
  }
  if (package_file && path_state(dir).type == fs::EntryType::kDirectory) {
    spec.submodule_search_locations->push_back(std::move(dir));
  }
  return spec;
}

bool ModuleFinder::has_frozen_source(const std::string& dir, std::string_view stem) {
  const PathState& state = path_state(dir);
  const auto it = state.names.find(stem);
  return it != state.names.end() && ((it->second.files >> py_suffix_) & 1) != 0;
}

std::optional<ModuleSpec> ModuleFinder::find_on_path(std::string_view fullname,
                                                     std::string_view tail,
                                                     const std::vector<std::string>& entries,
                                                     ForeignFinders* foreign) {
  std::vector<std::string> portions;
  for (const std::string& entry : entries) {
    const PathState& state = path_state(entry);
    if (state.type != fs::EntryType::kDirectory && !state.archive) {
      // Not a directory nor a zip archive: another archive, or a path into
      // one, is the host's business; anything else has no finder.
      if (foreign == nullptr || !(state.type == fs::EntryType::kFile || state.inside_file)) {
        continue;
      }
      std::optional<ModuleSpec> spec = foreign->find_in_entry(entry, fullname);
      if (!spec) continue;
      if (spec->kind != ModuleKind::kNamespace) return spec;
      if (auto& locations = spec->submodule_search_locations) {
        for (std::string& location : *locations) portions.push_back(std::move(location));
      }
      continue;
    }

    const auto found = state.names.find(tail);
    if (found == state.names.end()) continue;
    const Candidates& candidates = found->second;  // stays valid as paths_ grows

    // A directory of that name is a package when it has an __init__ file,
    // and otherwise a namespace portion unless a module file answers below.
    std::string package_dir;
    bool portion = false;
    if (candidates.directory) {
      package_dir = fs::join_path(entry, tail);
      const PathState& package = path_state(package_dir);
      if (package.type == fs::EntryType::kDirectory) {
        if (const std::optional<std::size_t> suffix = init_suffix(package_dir, package)) {
          std::string origin = fs::join_path(package_dir, str_cat("__init__", suffixes_[*suffix]));
          return file_spec(fullname, std::move(origin), *suffix, std::move(package_dir));
        }
        portion = true;
      }
    }
    if (const std::uint64_t files = candidates.files & loader_mask_) {
      const auto suffix = static_cast<std::size_t>(std::countr_zero(files));
      return file_spec(fullname, fs::join_path(entry, str_cat(tail, suffixes_[suffix])), suffix,
                       std::nullopt);
    }
    if (portion) portions.push_back(std::move(package_dir));
  }
  if (portions.empty()) return std::nullopt;
  ModuleSpec spec;
  spec.name = fullname;
  spec.parent = fullname;
  spec.submodule_search_locations = std::move(portions);
  spec.kind = ModuleKind::kNamespace;
  return spec;
}

std::optional<std::size_t> ModuleFinder::init_suffix(const std::string& dir,
                                                     const PathState& state) const {
  if (state.listed) {
    const auto init = state.names.find(std::string_view("__init__"));
    const std::uint64_t files = init == state.names.end() ? 0 : init->second.files & loader_mask_;
    if (files == 0) return std::nullopt;
    return static_cast<std::size_t>(std::countr_zero(files));
  }
  // A directory that may be searched but not read: FileFinder stats each
  // __init__ file rather than listing, so a package's __init__ is still seen.
  for (std::size_t i = 0; i < loader_suffixes_; ++i) {
    const std::string file = fs::join_path(dir, str_cat("__init__", suffixes_[i]));
    if (fs::stat_path(file).type == fs::EntryType::kFile) return i;
  }
  return std::nullopt;
}

ModuleSpec ModuleFinder::file_spec(std::string_view fullname, std::string origin,
                                   std::size_t suffix,
                                   std::optional<std::string> package_dir) const {
  const std::size_t extensions = config_.extension_suffixes.size();
  const std::size_t sources = extensions + config_.source_suffixes.size();
  ModuleSpec spec;
  spec.name = fullname;
  spec.origin = std::move(origin);
  if (package_dir) {
    spec.parent = fullname;
    spec.submodule_search_locations.emplace(1, std::move(*package_dir));
  } else {
    spec.parent = parent_of(fullname);
  }
  if (suffix < extensions) {
    spec.kind = ModuleKind::kExtension;
  } else if (suffix < sources) {
    spec.kind = package_dir ? ModuleKind::kPackage : ModuleKind::kSource;
  } else {
    spec.kind = ModuleKind::kBytecode;
  }
  return spec;
}

const ModuleFinder::PathState& ModuleFinder::path_state(const std::string& path) {
  if (const auto it = paths_.find(path); it != paths_.end()) return it->second;
  PathState state;
  // Watched before it is read, so no change after the read goes unnoticed.
  state.watched = watch_ != nullptr && watch_->watch(path);
  if (!state.watched) unwatched_.insert(path);
  const fs::FileStat info = fs::stat_path(path);
  state.type = info.type;
  state.mtime_ns = info.mtime_ns;
  state.inode = info.inode;

  if (info.type == fs::EntryType::kDirectory || info.type == fs::EntryType::kFile) {
    // A folder that cannot be listed offers no names, as FileFinder takes it
    // to be empty; only its __init__ is still found (see init_suffix). A zip
    // archive is searched as the folder its members make, as a folder inside
    // one is; any other file is the host's.
    std::vector<fs::DirEntry> entries;
    int error = 0;
    bool in_archive = false;
    state.listed = fs::list_directory(path, entries, error, &in_archive);
    state.archive = info.type == fs::EntryType::kFile && state.listed;
    index_listing(entries, in_archive, state.names);
  } else if (info.type == fs::EntryType::kMissing) {
    // zipimporter takes "archive.zip/sub/dir" too: it backs up to the
    // nearest path that exists and accepts it when that is a regular file.
    std::string_view up = path;
    for (std::size_t slash = up.rfind('/'); slash != std::string_view::npos && slash > 0;
         slash = up.rfind('/')) {
      up = up.substr(0, slash);
      const fs::EntryType type = fs::stat_path(std::string(up)).type;
      if (type == fs::EntryType::kMissing) continue;
      state.inside_file = type == fs::EntryType::kFile;
      break;
    }
  }
  ++tracked_version_;
  return paths_.try_emplace(path, std::move(state)).first->second;
}

void ModuleFinder::index_listing(const std::vector<fs::DirEntry>& entries, bool in_archive,
                                 NameMap<Candidates>& names) const {
  // zipimport loads source and bytecode, no extension module.
  const std::uint64_t loadable =
      in_archive ? ~((std::uint64_t{1} << config_.extension_suffixes.size()) - 1)
                 : ~std::uint64_t{0};
  // Module names have no dots, so neither does any name worth keeping.
  const auto keep = [](std::string_view stem) { return stem.find('.') == std::string_view::npos; };
  for (const fs::DirEntry& entry : entries) {
    const std::string_view name = entry.name;
    if (entry.type == fs::EntryType::kDirectory) {
      if (keep(name)) names[entry.name].directory = true;
    } else if (entry.type == fs::EntryType::kFile) {
      for (std::size_t i = 0; i < suffixes_.size(); ++i) {
        if (!name.ends_with(suffixes_[i])) continue;
        const std::string_view stem = name.substr(0, name.size() - suffixes_[i].size());
        if (!keep(stem)) continue;
        auto it = names.find(stem);
        if (it == names.end()) it = names.try_emplace(std::string(stem)).first;
        it->second.files |= (std::uint64_t{1} << i) & loadable;
      }
    }
  }
}

std::vector<std::string> ModuleFinder::tracked_paths() const {
  std::vector<std::string> paths;
  paths.reserve(paths_.size());
  for (const auto& [path, state] : paths_) paths.push_back(path);
  return paths;
}

bool ModuleFinder::refresh() {
  // Paths are only added between refreshes, and only removed by one (which
  // drops the plan), so an unchanged count means the plan still fits.
  if (plan_.paths().size() != paths_.size()) plan_ = fs::StatPlan(tracked_paths());
  std::vector<fs::FileStat> now;
  plan_.run(now);
  return refresh(plan_.paths(), now);
}

bool ModuleFinder::refresh(std::span<const fs::FolderWatch::Notice> notices) {
  bool changed = false;
  // The folders whose entries changed, and the entries created, deleted or
  // moved. An entry that is a folder takes the paths below it along: their
  // watches went with the folder, not with the path.
  std::unordered_set<std::string, NameHash, std::equal_to<>> gone;
  for (const fs::FolderWatch::Notice& n : notices) {
    if (!n.entries) continue;  // an entry written: listings stay as they are
    gone.insert(n.folder);
    if (!n.name.empty()) gone.insert(fs::join_path(n.folder, n.name));
  }
  if (!gone.empty()) {
    const auto below_gone = [&](std::string_view path) {
      for (std::string_view p = path; !p.empty(); p = fs::folder_of(p)) {
        if (gone.contains(p)) return true;
      }
      return false;
    };
    for (auto it = paths_.begin(); it != paths_.end();) {
      if (below_gone(it->first)) {
        it = paths_.erase(it);
        changed = true;
      } else {
        ++it;
      }
    }
    if (changed) ++tracked_version_;
  }
  // What no watch covers: missing paths, files, folders that could not be
  // watched. (A state that went keeps its entry here until tidied.)
  std::erase_if(unwatched_, [&](const std::string& p) { return !paths_.contains(p); });
  const std::vector<std::string> unwatched(unwatched_.begin(), unwatched_.end());
  std::vector<fs::FileStat> now(unwatched.size());
  for (std::size_t i = 0; i < unwatched.size(); ++i) now[i] = fs::stat_path(unwatched[i]);
  if (refresh(std::span<const std::string>(unwatched), now)) changed = true;
  if (changed) {
    answers_.clear();
    plan_ = fs::StatPlan();
  }
  return changed;
}

bool ModuleFinder::refresh(std::span<const std::string> paths, std::span<const fs::FileStat> now) {
  bool changed = false;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const auto it = paths_.find(paths[i]);
    if (it == paths_.end()) continue;
    const PathState& was = it->second;
    if (now[i].type == was.type &&
        (now[i].type == fs::EntryType::kMissing ||
         (now[i].mtime_ns == was.mtime_ns && now[i].inode == was.inode))) {
      continue;
    }
    paths_.erase(it);
    ++tracked_version_;
    changed = true;
  }
  if (changed) {
    answers_.clear();
    plan_ = fs::StatPlan();
  }
  return changed;
}

void ModuleFinder::watch_all() {
  if (watch_ == nullptr) return;
  for (auto& [path, state] : paths_) {
    if (state.watched || state.type != fs::EntryType::kDirectory) continue;
    state.watched = watch_->watch(path);
    if (state.watched) unwatched_.erase(path);
  }
}

void ModuleFinder::forget_watches() {
  for (auto& [path, state] : paths_) {
    if (state.watched) {
      state.watched = false;
      unwatched_.insert(path);
    }
  }
}

std::vector<std::string> ModuleFinder::submodule_names(const ModuleSpec& package,
                                                       std::vector<std::string>* unnamed) {
  std::vector<std::string> out;
  if (!package.submodule_search_locations) return out;
  for (const std::string& location : *package.submodule_search_locations) {
    // Copies the names first: looking into subdirectories adds path states.
    std::vector<std::pair<std::string, Candidates>> names;
    for (const auto& [name, candidates] : path_state(location).names) {
      if (name != "__init__") names.emplace_back(name, candidates);
    }
    for (const auto& [name, candidates] : names) {
      bool found = (candidates.files & loader_mask_) != 0;
      if (!found && candidates.directory) {
        const std::string dir = fs::join_path(location, name);
        const PathState& sub = path_state(dir);
        found = sub.type == fs::EntryType::kDirectory && init_suffix(dir, sub).has_value();
      }
      if (!found) continue;
      if (is_valid_utf8(name)) {
        out.push_back(str_cat(package.name, '.', name));
      } else if (unnamed != nullptr) {
        const std::uint64_t files = candidates.files & loader_mask_;
        const std::string entry =
            files == 0 ? name : str_cat(name, suffixes_[std::countr_zero(files)]);
        unnamed->push_back(fs::join_path(location, entry));
      }
    }
  }
  if (unnamed != nullptr) std::sort(unnamed->begin(), unnamed->end());
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::size_t ModuleFinder::cached_directories() const noexcept {
  std::size_t count = 0;
  for (const auto& [path, state] : paths_) {
    if (state.type == fs::EntryType::kDirectory) ++count;
  }
  return count;
}

}  // namespace tarnwick
