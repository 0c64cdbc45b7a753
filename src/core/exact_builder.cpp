#include "core/exact_builder.hpp"

#include <deque>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/walk.hpp"

namespace tarnwick {

namespace {

// The stand-in root of a build whose roots are modules: a name no module
// can have.
constexpr std::string_view kRootsName = "<roots>";

}  // namespace

std::vector<std::string> ExactBuilder::package_modules(const std::vector<std::string>& names,
                                                       HostServices* services) {
  std::vector<std::string> out;
  std::vector<std::string> todo(names.rbegin(), names.rend());
  while (!todo.empty()) {
    const std::string name = std::move(todo.back());
    todo.pop_back();
    out.push_back(name);
    const Lookup& found = finder_.find(name, services);
    if (!found.spec || !found.spec->submodule_search_locations) continue;
    std::vector<std::string> inside = finder_.submodule_names(*found.spec);
    todo.insert(todo.end(), std::make_move_iterator(inside.rbegin()),
                std::make_move_iterator(inside.rend()));
  }
  return out;
}

ModuleSpec ExactBuilder::main_spec(const ExactRequest& request) {
  ModuleSpec root;
  root.kind = ModuleKind::kSource;
  root.name = std::string(kMainName);
  root.parent = request.package;
  if (request.kind == ExactRequest::Kind::kScript) root.origin = request.path;
  return root;
}

void ExactBuilder::explain_misses(std::vector<Problem>& problems, HostServices* services) {
  for (Problem& p : problems) {
    if (p.kind == Problem::Kind::kNotFound && p.detail.empty() &&
        finder_.find(p.name, services).miss == Miss::kParentNotPackage) {
      p.detail = "parent is not a package";
    }
  }
}

bool ExactBuilder::check(std::vector<std::string>& changed, bool same_request,
                         HostServices* services) {
  std::vector<fs::FolderWatch::Notice> notices;
  if (!watching_ && watch_enabled_ && last_graph_) {
    // The first rebuild: watches go on everything read so far, before the
    // stat check below, so each change is either statted or noticed.
    finder_.set_watch(&watch_);
    scans_.set_watch(&watch_);
    finder_.watch_all();
    scans_.watch_all();
    watching_ = true;
    generation_ = watch_.generation();
  } else if (!watch_.take(notices) || watch_.generation() != generation_) {
    // Watches were dropped: what they covered is statted from now on.
    finder_.forget_watches();
    scans_.forget_watches();
    generation_ = watch_.generation();
  } else if (watch_.active()) {
    // Notices say what changed under the watched folders; the rest is
    // statted. A folder that went itself sends everything to the stat path.
    const bool folders_changed = finder_.refresh(notices);
    if (!same_request || folders_changed) return folders_changed;
    if (std::optional<std::vector<std::string>> files = scans_.changed(notices, services)) {
      changed = std::move(*files);
      return false;
    }
  }
  // One plan stats the folders the finder holds and the files the last
  // build read, together, so one second thread shares all of it out.
  std::vector<fs::FileStat> now;
  check_plan_.run(now);
  const std::span<const fs::FileStat> stats(now);
  const std::size_t folders = check_folders_;
  const std::vector<std::string>& paths = check_plan_.paths();
  const bool folders_changed =
      folders != finder_.tracked_count()
          ? finder_.refresh()  // no plan yet for what the finder holds
          : finder_.refresh(std::span(paths).first(folders), stats.first(folders));
  if (same_request && !folders_changed) {
    // Every file read last time is looked at, so each changed one is read
    // again once.
    changed = scans_.changed(std::span(paths).subspan(folders), stats.subspan(folders), services);
  }
  return folders_changed;
}

void ExactBuilder::replan() {
  std::vector<std::string> paths = finder_.tracked_paths();
  check_folders_ = paths.size();
  paths.insert(paths.end(), last_files_.begin(), last_files_.end());
  check_plan_ = fs::StatPlan(paths);
}

WalkOptions ExactBuilder::options(const ExactRequest& request) {
  WalkOptions options;
  options.dialect = Dialect::kExact;
  options.read_within = request.read_within;
  options.skip_context = request.skip_context;
  return options;
}

std::shared_ptr<const ExactGraph> ExactBuilder::build(const ExactRequest& request,
                                                      HostServices* services) {
  const std::size_t reads_before = scans_.reads();
  const bool same_request = last_graph_ && request == last_request_;
  std::vector<std::string> changed;
  const bool folders_changed = check(changed, same_request, services);
  if (same_request && !folders_changed) {
    if (changed.empty()) {
      stats_ = Stats{true, scans_.reads() - reads_before, last_files_.size()};
      return last_graph_;
    }
    if (patch(request, changed, services)) {
      stats_ = Stats{false, scans_.reads() - reads_before, last_files_.size()};
      return last_graph_;
    }
  }
  last_graph_.reset();

  // The second thread reads ahead of the walk for as long as it runs.
  struct PrefetchRun {
    Prefetcher& prefetch;
    explicit PrefetchRun(Prefetcher& p) : prefetch(p) { prefetch.start(); }
    ~PrefetchRun() { prefetch.stop(); }
    PrefetchRun(const PrefetchRun&) = delete;
    PrefetchRun& operator=(const PrefetchRun&) = delete;
  } run(prefetch_);
  ExactHost host(finder_, scans_, services, &prefetch_, &request.read_within, request.skip_context);
  ModuleSpec root;
  std::shared_ptr<const ImportList> statements;
  std::optional<std::string_view> drop;
  switch (request.kind) {
    case ExactRequest::Kind::kScript:
    case ExactRequest::Kind::kText:
      root = main_spec(request);
      host.set_main(root);
      if (request.kind == ExactRequest::Kind::kScript) {
        Host::Imports read = host.read_imports(request.path);
        statements = std::move(read.statements);
      } else {
        statements = std::make_shared<const ImportList>(scan_source(request.text, services));
      }
      break;
    case ExactRequest::Kind::kModules:
    case ExactRequest::Kind::kPackages: {
      root.name = std::string(kRootsName);
      drop = kRootsName;
      const std::vector<std::string> names = request.kind == ExactRequest::Kind::kModules
                                                 ? request.names
                                                 : package_modules(request.names, services);
      ImportList imports;
      for (const std::string& name : names) imports.add_alias(name);
      imports.add_import();
      imports.finish();
      statements = std::make_shared<const ImportList>(std::move(imports));
      break;
    }
  }

  WalkState state;
  state.graph.add(DepNode(root, 0));
  WalkFindings findings;
  const WalkOptions walk_options = options(request);
  walk_imports(state, host, walk_options, std::move(root), std::move(statements), &findings);

  if (request.kind == ExactRequest::Kind::kScript) {
    // A script that cannot be read is a problem of its own.
    Host::Imports read = scans_.get(request.path, services);
    if (read.status != ReadResult::Status::kOk) {
      findings.problems.insert(
          findings.problems.begin(),
          Problem{Problem::Kind::kUnreadable, std::string(kMainName), request.path, 0, read.error});
    }
  }

  explain_misses(findings.problems, services);
  auto graph = std::make_shared<const ExactGraph>(
      ExactGraph::assemble(ExactGraph::parts_of(state.graph, findings, drop)));
  stats_ = Stats{false, scans_.reads() - reads_before, host.files().size()};
  last_request_ = request;
  last_files_ = host.files();
  last_graph_ = graph;
  replan();
  return graph;
}

// Walks again only from the modules whose files changed, keeping everything
// else of the last graph: each changed module loses its edges, sites and
// problems and gets those of a walk from its new statements, in which the
// modules the graph already holds are linked to but not read again; modules
// that walk meets for the first time come with their own edges. When no new
// module comes in, the last graph's module table is kept and only the
// changed modules' imports are replaced; otherwise the parts are assembled
// again, which also drops what is no longer reachable. Returns false when a
// changed module cannot be found again (the caller then builds afresh).
bool ExactBuilder::patch(const ExactRequest& request, const std::vector<std::string>& changed,
                         HostServices* services) {
  const ExactGraph& last = *last_graph_;
  // Names are viewed in the last graph (which outlives the patch) and, for
  // modules new to it, in `added`, whose entries never move.
  std::unordered_map<std::string_view, std::uint32_t> index;
  for (std::uint32_t i = 0; i < last.size(); ++i) index.emplace(last.module(i).name, i);
  std::deque<ExactGraph::Module> added;  // index: last.size() + position

  ExactHost host(finder_, scans_, services);
  if (request.kind == ExactRequest::Kind::kScript || request.kind == ExactRequest::Kind::kText) {
    host.set_main(main_spec(request));
  }
  WalkOptions walk_options = options(request);
  walk_options.known = [&](std::string_view name) { return index.contains(name); };

  std::vector<std::pair<std::uint32_t, std::vector<EdgeSite>>> replaced;
  NameTable walked;  // modules whose problems are replaced
  std::vector<Problem> problems;
  for (const std::string& path : changed) {
    // The modules read from that file (a frozen alias shares its source).
    std::vector<std::uint32_t> owners;
    for (std::uint32_t i = 0; i < last.size(); ++i) {
      if (last.module(i).origin == path) owners.push_back(i);
    }
    for (const std::uint32_t m : owners) {
      const std::string& name = last.module(m).name;
      std::optional<ModuleSpec> spec;
      if (name == kMainName && request.kind == ExactRequest::Kind::kScript) {
        spec = main_spec(request);
      } else {
        spec = finder_.find(name, services).spec;
      }
      if (!spec || !spec->origin || *spec->origin != path) return false;
      if (name != kMainName && !reads_within(request.read_within, name)) continue;  // a leaf still

      WalkState state;
      state.graph.add(DepNode(*spec, 0));
      WalkFindings findings;
      Host::Imports read = host.read_imports(path);
      std::shared_ptr<const ImportList> statements = std::move(read.statements);
      if (!statements) {
        findings.problems.push_back(
            Problem{Problem::Kind::kUnreadable, name, path, 0, std::move(read.error)});
      }
      walk_imports(state, host, walk_options, std::move(*spec), std::move(statements), &findings);

      // The walk's nodes by index into the patched graph; its edges grouped
      // by importer: the changed module and any module new to the graph.
      std::vector<std::uint32_t> to_index(state.graph.size());
      std::vector<std::uint32_t> entry(state.graph.size(), ~0u);
      for (std::uint32_t p = 0; p < state.graph.size(); ++p) {
        const DepNode& node = state.graph.node_at(p);
        auto it = index.find(node.name);
        if (it == index.end()) {
          const auto at = static_cast<std::uint32_t>(last.size() + added.size());
          added.push_back(ExactGraph::Module{node.name, node.spec.kind, node.spec.origin});
          it = index.emplace(added.back().name, at).first;
          walked.insert(node.name);
        }
        to_index[p] = it->second;
      }
      walked.insert(name);
      for (const EdgeSite& s : findings.sites) {
        if (entry[s.from] == ~0u) {
          entry[s.from] = static_cast<std::uint32_t>(replaced.size());
          replaced.emplace_back(to_index[s.from], std::vector<EdgeSite>{});
        }
        replaced[entry[s.from]].second.push_back(
            EdgeSite{to_index[s.from], to_index[s.to], s.site});
      }
      if (entry[0] == ~0u)
        replaced.emplace_back(m, std::vector<EdgeSite>{});  // imports nothing now
      explain_misses(findings.problems, services);
      for (Problem& p : findings.problems) problems.push_back(std::move(p));
    }
  }

  std::vector<Problem> kept;
  for (const Problem& p : last.problems()) {
    if (!walked.contains(p.importer)) kept.push_back(p);
  }
  kept.insert(kept.end(), std::make_move_iterator(problems.begin()),
              std::make_move_iterator(problems.end()));

  std::optional<ExactGraph> patched;
  if (added.empty()) patched = last.with_imports(replaced, kept);
  if (!patched) {
    ExactGraph::Parts parts = last.parts();
    std::vector<bool> redone(last.size() + added.size(), false);
    for (const auto& [m, edges] : replaced) redone[m] = true;
    std::erase_if(parts.edges, [&](const EdgeSite& e) { return redone[e.from]; });
    for (auto& [m, edges] : replaced)
      parts.edges.insert(parts.edges.end(), edges.begin(), edges.end());
    parts.nodes.insert(parts.nodes.end(), added.begin(), added.end());
    parts.problems = std::move(kept);
    patched = ExactGraph::assemble(std::move(parts));
  }
  last_graph_ = std::make_shared<const ExactGraph>(std::move(*patched));

  const NameTable seen(last_files_.begin(), last_files_.end());
  for (const std::string& file : host.files()) {
    if (!seen.contains(file)) last_files_.push_back(file);
  }
  // A patch only adds: the plan still fits when it added nothing.
  if (finder_.tracked_count() != check_folders_ ||
      check_plan_.paths().size() != check_folders_ + last_files_.size()) {
    replan();
  }
  return true;
}

}  // namespace tarnwick
