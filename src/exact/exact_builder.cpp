#include "exact/exact_builder.hpp"

#include <algorithm>
#include <span>
#include <unordered_map>
#include <utility>

namespace tarnwick {

namespace {

// Files below this many are read on the building thread alone: starting
// threads would cost more than they save.
constexpr std::size_t kFilesWorthThreads = 16;

constexpr std::string_view kUnnamedModule =
    "file name is not valid UTF-8, so no import can name it: skipped";

bool same_file(const fs::FileStat& a, const fs::FileStat& b) noexcept {
  return a.same(b);
}

}  // namespace

std::size_t ExactBuilder::pool_threads(std::size_t files) const noexcept {
  if (files < kFilesWorthThreads) return 0;
  const std::size_t workers = workers_ == 0 ? ScanPool::available_cpus() : workers_;
  // The building thread reads too while it waits.
  return workers > 1 ? workers - 1 : 0;
}

void ExactBuilder::request_packages(const std::vector<std::string>& names, ExactWalk& walk,
                                    RootRecord& roots) {
  std::vector<std::string> unnamed;
  std::vector<std::string> todo(names.rbegin(), names.rend());
  while (!todo.empty()) {
    const std::string name = std::move(todo.back());
    todo.pop_back();
    const ModuleSpec* spec = walk.request(name, roots);
    if (spec == nullptr || !spec->submodule_search_locations) continue;
    unnamed.clear();
    std::vector<std::string> inside = finder_.submodule_names(*spec, &unnamed);
    for (std::string& path : unnamed) {
      roots.problems.push_back(Problem{Problem::Kind::kUnreadable, name, std::move(path), 0,
                                       std::string(kUnnamedModule)});
    }
    todo.insert(todo.end(), std::make_move_iterator(inside.rbegin()),
                std::make_move_iterator(inside.rend()));
  }
}

ModuleSpec ExactBuilder::main_spec(const ExactRequest& request) {
  ModuleSpec root;
  root.kind = ModuleKind::kSource;
  root.name = std::string(kMainName);
  root.parent = request.package;
  if (request.kind == ExactRequest::Kind::kScript) root.origin = request.path;
  return root;
}

WalkRequest ExactBuilder::walk_request(const ExactRequest& request, const ModuleSpec& main) {
  WalkRequest w;
  w.keep_statements = keep_;
  w.read_within = &request.read_within;
  w.skip_context = request.skip_context;
  if (request.kind == ExactRequest::Kind::kScript || request.kind == ExactRequest::Kind::kText) {
    w.main = names_.intern(kMainName);
    w.main_spec = &main;
    if (!request.package.empty()) w.main_package = names_.intern(request.package);
  }
  return w;
}

void ExactBuilder::start_watching() {
  // Watches go on everything read so far, before the stat check that
  // follows, so each change is either statted or noticed.
  finder_.set_watch(&watch_);
  finder_.watch_all();
  unwatched_files_.clear();
  // Most files share their folder with many others, and the finder has
  // just watched it: each folder is asked once.
  std::unordered_map<std::string_view, bool> folder_watched;
  for (const auto& [path, modules] : files_) {
    const std::string_view folder = fs::folder_of(path);
    auto [at, added] = folder_watched.try_emplace(folder, false);
    if (added) at->second = watch_.watched(folder) || watch_.watch(std::string(folder));
    if (!at->second || fs::is_symlink(path)) unwatched_files_.push_back(path);
  }
  watching_ = true;
  generation_ = watch_.generation();
}

void ExactBuilder::index_files() {
  if (files_ready_) return;
  files_.clear();
  unwatched_files_.clear();
  for (ModuleId id = 0; id < records_.size(); ++id) {
    const ModuleRecord& r = records_[id];
    if (r.node && r.scan && r.origin) files_[*r.origin].push_back(id);
  }
  if (watching_) {
    std::unordered_map<std::string_view, bool> folder_watched;
    for (const auto& [path, modules] : files_) {
      const std::string_view folder = fs::folder_of(path);
      auto [at, added] = folder_watched.try_emplace(folder, false);
      if (added) at->second = watch_.watched(folder);
      if (!at->second || fs::is_symlink(path)) unwatched_files_.push_back(path);
    }
  }
  files_ready_ = true;
  replan_ = true;
}

bool ExactBuilder::check(std::vector<std::string>& changed, bool same_request) {
  index_files();
  const auto stat_changed = [&](const std::string& path, const fs::FileStat& now) {
    const auto it = files_.find(path);
    if (it == files_.end()) return;
    const ModuleRecord& r = records_[it->second.front()];
    if (!r.scan || !same_file(r.scan->stat, now)) changed.push_back(path);
  };

  bool stat_all = true;
  bool folders = false;
  if (!watching_ && watch_enabled_ && last_graph_) {
    start_watching();
  } else if (watching_) {
    std::vector<fs::FolderWatch::Notice> notices;
    if (watch_.take(notices) && watch_.generation() == generation_) {
      // Notices say what changed under the watched folders; the rest is
      // statted. A folder that went itself makes the finder drop it.
      folders = finder_.refresh(notices);
      for (const fs::FolderWatch::Notice& n : notices) {
        if (!n.name.empty()) noticed_.insert(fs::join_path(n.folder, n.name));
      }
      stat_all = false;
    } else {
      // Notices were lost: everything is statted, and the watches set anew
      // on the next rebuild.
      finder_.forget_watches();
      unwatched_files_.clear();
      watching_ = false;
    }
  }
  if (stat_all) {
    // One plan stats the folders the finder holds and the files the last
    // build read, together, so the threads share all of it out.
    if (replan_ || check_version_ != finder_.tracked_version()) {
      std::vector<std::string> paths = finder_.tracked_paths();
      check_folders_ = paths.size();
      check_version_ = finder_.tracked_version();
      for (const auto& [path, modules] : files_) paths.push_back(path);
      check_plan_ = fs::StatPlan(paths);
      replan_ = false;
    }
    std::vector<fs::FileStat> now;
    check_plan_.run(now);
    const std::span<const fs::FileStat> stats(now);
    const std::vector<std::string>& paths = check_plan_.paths();
    folders = finder_.refresh(std::span(paths).first(check_folders_), stats.first(check_folders_));
    if (same_request) {
      for (std::size_t i = check_folders_; i < paths.size(); ++i) stat_changed(paths[i], now[i]);
    }
  } else if (same_request) {
    // The files notices named, and those no notice covers.
    for (const std::string& path : noticed_) stat_changed(path, fs::stat_path(path));
    for (const std::string& path : unwatched_files_) stat_changed(path, fs::stat_path(path));
    std::sort(changed.begin(), changed.end());
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
  }
  // Kept until a build completes: a rebuild that fails must not take what
  // it found changed with it (the next may learn of changes only by notice).
  noticed_.insert(changed.begin(), changed.end());
  folders_changed_ = folders_changed_ || folders;
  return folders_changed_;
}

std::shared_ptr<const ExactGraph> ExactBuilder::build(const ExactRequest& request,
                                                      HostServices* services) {
  const bool same_request = last_graph_ && request == last_request_;
  std::vector<std::string> changed;
  // The finder's listings are checked whenever it holds any, even from a
  // build that did not complete.
  const bool folders_changed =
      last_graph_ || finder_.tracked_count() > 0 ? check(changed, same_request) : false;
  if (same_request && !folders_changed) {
    if (changed.empty()) {
      stats_ = Stats{true, 0, files_.size()};
      noticed_.clear();
      return last_graph_;
    }
    return patch(request, changed, services);
  }
  return walk_all(request, services);
}

std::shared_ptr<const ExactGraph> ExactBuilder::walk_all(const ExactRequest& request,
                                                         HostServices* services) {
  const ModuleSpec main = main_spec(request);
  const WalkRequest w = walk_request(request, main);
  std::vector<ModuleRecord> records;
  RootRecord roots;
  ScanPool pool(pool_threads(last_graph_ ? files_.size() : kFilesWorthThreads));
  WalkRequest held = w;
  held.held = &records_;
  ExactWalk walk(names_, finder_, services, pool, held, records, nullptr);
  switch (request.kind) {
    case ExactRequest::Kind::kScript:
      walk.add_module(w.main, main);
      roots.roots.push_back(w.main);
      break;
    case ExactRequest::Kind::kText: {
      walk.add_module(w.main, main);
      roots.roots.push_back(w.main);
      auto scan = std::make_shared<FileScan>();
      scan->statements = std::make_shared<const ImportList>(scan_source(request.text, services));
      walk.resolve_with(w.main, std::move(scan));
      break;
    }
    case ExactRequest::Kind::kModules:
      for (const std::string& name : request.names) walk.request(name, roots);
      break;
    case ExactRequest::Kind::kPackages:
      request_packages(request.names, walk, roots);
      break;
  }
  walk.run();
  auto graph = std::make_shared<const ExactGraph>(ExactGraph::assemble(names_, records, roots));

  // Complete: taken in.
  records_.swap(records);
  roots_ = std::move(roots);
  files_.clear();
  unwatched_files_.clear();
  files_ready_ = false;  // indexed by the first rebuild that needs them
  stats_ = Stats{false, walk.files_read(), walk.files_read()};
  replan_ = true;
  commit(request, graph);
  return graph;
}

std::shared_ptr<const ExactGraph> ExactBuilder::patch(const ExactRequest& request,
                                                      const std::vector<std::string>& changed,
                                                      HostServices* services) {
  // A file whose statements stay the same changes nothing but the stat its
  // modules' records hold.
  std::vector<std::pair<std::string, std::shared_ptr<const FileScan>>> redo;
  for (const std::string& path : changed) {
    auto scan = std::make_shared<const FileScan>(read_scan(path, services));
    const std::vector<ModuleId>& modules = files_.at(path);
    const ModuleRecord& r = records_[modules.front()];
    if (r.scan && r.scan->same_statements(*scan)) {
      for (const ModuleId id : modules) records_[id].scan = scan;
    } else {
      redo.emplace_back(path, std::move(scan));
    }
  }
  if (redo.empty()) {
    stats_ = Stats{true, changed.size(), files_.size()};
    commit(request, last_graph_);
    return last_graph_;
  }

  const ModuleSpec main = main_spec(request);
  const WalkRequest w = walk_request(request, main);
  ExactWalk::Undo undo;
  ScanPool pool(pool_threads(redo.size()));
  std::shared_ptr<const ExactGraph> graph;
  std::size_t files_before = files_.size();
  try {
    ExactWalk walk(names_, finder_, services, pool, w, records_, &undo);
    for (const auto& [path, scan] : redo) {
      for (const ModuleId id : files_.at(path)) walk.resolve_with(id, scan);
    }
    walk.run();
    if (std::optional<ExactGraph> quick =
            ExactGraph::patched(*last_graph_, records_, walk.touched())) {
      graph = std::make_shared<const ExactGraph>(std::move(*quick));
    } else {
      std::vector<std::uint8_t> touched(records_.size(), 0);
      for (const ModuleId id : walk.touched()) touched[id] = 1;
      graph = std::make_shared<const ExactGraph>(
          ExactGraph::assemble(names_, records_, roots_, last_graph_.get(), &touched));
    }
    // Complete: the files of modules met for the first time are taken in.
    for (const ModuleId id : walk.touched()) {
      const ModuleRecord& r = records_[id];
      if (!r.node || !r.scan || !r.origin) continue;
      std::vector<ModuleId>& modules = files_[*r.origin];
      if (std::find(modules.begin(), modules.end(), id) != modules.end()) continue;
      modules.push_back(id);
      if (watching_ && modules.size() == 1 &&
          (!watch_.watched(fs::folder_of(*r.origin)) || fs::is_symlink(*r.origin))) {
        unwatched_files_.push_back(*r.origin);
      }
    }
    stats_ = Stats{false, changed.size() + walk.files_read(), files_.size()};
  } catch (...) {
    // Every record the walk changed goes back as it was, newest copy first.
    for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
      if (it->first < records_.size()) records_[it->first] = std::move(it->second);
    }
    throw;
  }
  if (files_.size() != files_before) replan_ = true;
  commit(request, graph);
  return graph;
}

void ExactBuilder::commit(const ExactRequest& request, std::shared_ptr<const ExactGraph> graph) {
  if (!(last_graph_ && request == last_request_)) {
    last_request_ = request;
    replan_ = true;
  }
  last_graph_ = std::move(graph);
  folders_changed_ = false;
  noticed_.clear();
  if (keep_ && last_graph_) last_graph_->prepare_spare();
}

}  // namespace tarnwick
