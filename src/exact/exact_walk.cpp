#include "exact/exact_walk.hpp"

#include <utility>

#include "common/source_file.hpp"

namespace tarnwick {

namespace {

// How many modules are resolved between two chances for the host to stop
// the build (a pending KeyboardInterrupt, say).
constexpr std::size_t kInterruptEvery = 256;

// Below this many names the name table and the walk's answers stay in the
// caches, and looking ahead would only add work.
constexpr std::size_t kPrefetchFrom = 32 * 1024;

constexpr std::string_view kParentNotPackage = "parent is not a package";

}  // namespace

bool reads_within(const std::optional<std::vector<std::string>>& packages,
                  std::string_view name) noexcept {
  if (!packages) return true;
  for (const std::string& top : *packages) {
    if (name.starts_with(top) && (name.size() == top.size() || name[top.size()] == '.')) {
      return true;
    }
  }
  return false;
}

ExactWalk::ExactWalk(ModuleNames& names, ModuleFinder& finder, HostServices* services,
                     ScanPool& pool, const WalkRequest& request, std::vector<ModuleRecord>& records,
                     Undo* undo)
    : names_(names),
      finder_(finder),
      services_(services),
      pool_(pool),
      request_(request),
      records_(records),
      undo_(undo) {}

ModuleRecord& ExactWalk::record(ModuleId id) {
  if (id >= records_.size()) records_.resize(names_.size());
  return records_[id];
}

void ExactWalk::mark_node(ModuleId id) {
  if (id >= node_.size()) node_.resize(names_.size(), 0);
  node_[id] = 1;
}

void ExactWalk::touch(ModuleId id) {
  if (id >= touched_mark_.size()) touched_mark_.resize(names_.size(), 0);
  if (touched_mark_[id] != 0) return;
  touched_mark_[id] = 1;
  touched_.push_back(id);
  if (undo_ != nullptr) {
    undo_->emplace_back(id, id < records_.size() ? records_[id] : ModuleRecord{});
  }
}

const ExactWalk::Found& ExactWalk::lookup(ModuleId id) {
  if (id < found_.size() && found_[id].asked) return found_[id];
  Found f;
  if (id == request_.main) {
    f.module = id;
    f.spec = request_.main_spec;
  } else {
    const Lookup& answer = finder_.find(names_.name(id), services_);
    if (answer.spec) {
      f.spec = &*answer.spec;
      // A foreign finder may answer with another name (an alias).
      f.module = answer.spec->name.empty() || answer.spec->name == names_.name(id)
                     ? id
                     : names_.intern(answer.spec->name);
    } else {
      f.miss = answer.miss;
    }
  }
  if (found_.size() < names_.size()) found_.resize(names_.size());
  f.asked = true;
  found_[id] = f;
  return found_[id];
}

std::string_view ExactWalk::importer_name(ModuleId importer) const {
  return importer == kNoModule ? std::string_view() : names_.name(importer);
}

ModuleId ExactWalk::package_of(ModuleId id) {
  if (id == request_.main) return request_.main_package;
  const Found f = lookup(id);
  if (f.spec == nullptr || f.spec->parent.empty()) return kNoModule;
  // A package is its own; a module's is its enclosing package, interned
  // already. Only a host's odd answer costs a lookup.
  if (f.spec->parent == names_.name(id)) return id;
  const ModuleId up = names_.parent(id);
  if (up != kNoModule && f.spec->parent == names_.name(up)) return up;
  return names_.intern(f.spec->parent);
}

void ExactWalk::add_module(ModuleId id, const ModuleSpec& spec) {
  // Whether it is a node is read from a byte per module: the records are
  // large, and most names a walk meets are nodes already.
  if (id < node_.size() && node_[id] != 0) return;
  if (record(id).node) {
    mark_node(id);
    return;
  }
  touch(id);
  mark_node(id);
  ModuleRecord& r = records_[id];
  r.node = true;
  r.resolved = false;
  r.kind = spec.kind;
  r.origin = spec.origin;
  const bool read =
      id == request_.main
          ? spec.origin.has_value()
          : has_python_source(spec) && (request_.read_within == nullptr ||
                                        reads_within(*request_.read_within, names_.name(id)));
  if (!read) {
    r.resolved = true;  // a leaf
    return;
  }
  queue(id);
}

std::shared_ptr<const FileScan> ExactWalk::held(ModuleId id) const {
  if (request_.held == nullptr || id >= request_.held->size()) return nullptr;
  const ModuleRecord& was = (*request_.held)[id];
  if (!was.scan || (was.scan->status == FileScan::Status::kOk && !was.scan->statements)) {
    return nullptr;  // read by a builder that keeps no statements
  }
  return was.origin == records_[id].origin ? was.scan : nullptr;
}

void ExactWalk::queue(ModuleId id) {
  // One job a module: two modules from one file (a frozen alias and its
  // module) read it twice, which spares every other file a lookup by path.
  const std::size_t job = pool_.submit(*records_[id].origin, held(id), false);
  if (jobs_.size() <= job) jobs_.resize(job + 1, kNoModule);
  jobs_[job] = id;
}

void ExactWalk::take(ScanPool::Result result) {
  const ModuleId id = jobs_[result.job];
  std::shared_ptr<const FileScan> scan;
  if (!result.reused) ++reads_;
  if (result.reused) {
    scan = held(id);
  } else if (result.retry) {
    // The worker could not: read it here.
    scan = std::make_shared<const FileScan>(read_scan(*records_[id].origin, services_));
  } else if (result.finish) {
    scan = std::make_shared<const FileScan>(
        scan_bytes(result.scan.stat, std::move(result.bytes), services_));
  } else {
    scan = std::make_shared<const FileScan>(std::move(result.scan));
  }
  resolve_with(id, std::move(scan));
}

void ExactWalk::resolve_with(ModuleId id, std::shared_ptr<const FileScan> scan) {
  touch(id);
  record(id).scan = scan;
  if (scan->status != FileScan::Status::kOk) {
    ModuleRecord& r = records_[id];
    r.edges.clear();
    r.problems.clear();
    const Problem::Kind kind = Problem::Kind::kUnreadable;
    r.problems.push_back(
        Problem{kind, std::string(names_.name(id)), r.origin.value_or(""), 0, scan->error});
    r.resolved = true;
    return;
  }
  resolve(id, *scan->statements);
  if (!request_.keep_statements) {
    // Only the stat is kept: the statements' memory goes now.
    auto stat_only = std::make_shared<FileScan>();
    stat_only->stat = scan->stat;
    records_[id].scan = std::move(stat_only);
  }
}

void ExactWalk::resolve(ModuleId id, const ImportList& statements) {
  if (services_ != nullptr && resolved_count_++ % kInterruptEvery == 0) {
    services_->check_interrupts();
  }
  std::vector<OutEdge>& edges = edges_;
  std::vector<Problem>& problems = problems_;
  edges.clear();
  problems.clear();
  const ModuleId package = package_of(id);
  prefetch_names(statements);
  for (const ImportStmt& stmt : statements) {
    if (const auto* imp = std::get_if<Import>(&stmt)) {
      if ((imp->site.context & request_.skip_context) != 0) continue;
      for (const Alias& alias : imp->names) {
        import_name(id, names_.intern(alias.name), imp->site, Ask::kStatement, true, edges,
                    problems);
      }
      continue;
    }
    const auto& from = std::get<ImportFrom>(stmt);
    if ((from.site.context & request_.skip_context) != 0) continue;
    ModuleId target = kNoModule;
    if (from.level == 0) {
      target = names_.intern(from.module);
    } else {
      const auto written = [&] { return std::string(from.level, '.') + std::string(from.module); };
      if (package == kNoModule) {
        problems.push_back(Problem{Problem::Kind::kNoParentPackage,
                                   std::string(names_.name(id)),
                                   written(),
                                   from.site.line,
                                   {}});
        continue;
      }
      if (names_.parts(package) < from.level) {
        problems.push_back(Problem{Problem::Kind::kBeyondTopLevel,
                                   std::string(names_.name(id)),
                                   written(),
                                   from.site.line,
                                   {}});
        continue;
      }
      ModuleId base = package;
      for (std::uint64_t up = 1; up < from.level; ++up) base = names_.parent(base);
      if (from.module.empty()) {
        target = base;
      } else {
        buffer_.assign(names_.name(base));
        buffer_ += '.';
        buffer_ += from.module;
        target = names_.intern(buffer_);
      }
    }
    const std::size_t own = edges.size();
    import_name(id, target, from.site, Ask::kStatement, from.level == 0, edges, problems);
    const Found t = lookup(target);
    if (t.spec == nullptr || !t.spec->submodule_search_locations) continue;
    bool all_submodules = true;
    for (const Alias& alias : from.names) {
      if (alias.name == "*") {
        all_submodules = false;
        continue;
      }
      buffer_.assign(names_.name(target));
      buffer_ += '.';
      buffer_ += alias.name;
      all_submodules &= import_name(id, names_.intern(buffer_), from.site, Ask::kFromList, false,
                                    edges, problems);
    }
    // `from p import m` names the submodule p.m: p itself is only implied.
    if (all_submodules && edges.size() > own && edges[own].to == t.module) {
      edges[own].site.context |= context::kImplied;
    }
  }
  ModuleRecord& r = record(id);
  r.edges.assign(edges.begin(), edges.end());  // one allocation of the right size
  r.problems.assign(std::make_move_iterator(problems.begin()),
                    std::make_move_iterator(problems.end()));
  r.resolved = true;
}

void ExactWalk::prefetch_names(const ImportList& statements) {
  if (names_.size() < kPrefetchFrom) return;
  // In a large tree each name a module's statements look up costs a miss in
  // the name table's slots, another in its text and a third in the walk's
  // answers. Asked for together first, those misses overlap: the loop in
  // resolve() then finds them in the cache. The names of a from-list are
  // guesses (they are looked up only when the module is a package).
  ahead_text_.clear();
  ahead_.clear();
  const auto want = [&](std::string_view first, std::string_view second, bool sure) {
    const std::size_t at = ahead_text_.size();
    ahead_text_ += first;
    if (!second.empty()) {
      ahead_text_ += '.';
      ahead_text_ += second;
    }
    ahead_.push_back(Ahead{at, ahead_text_.size() - at, 0, sure});
  };
  for (const ImportStmt& stmt : statements) {
    if (const auto* imp = std::get_if<Import>(&stmt)) {
      if ((imp->site.context & request_.skip_context) != 0) continue;
      for (const Alias& alias : imp->names) want(alias.name, {}, true);
    } else if (const auto& from = std::get<ImportFrom>(stmt);
               from.level == 0 && (from.site.context & request_.skip_context) == 0) {
      want(from.module, {}, true);
      for (const Alias& alias : from.names) {
        if (alias.name != "*") want(from.module, alias.name, false);
      }
    }
  }
  const auto text = [&](const Ahead& a) {
    return std::string_view(ahead_text_).substr(a.at, a.size);
  };
  for (Ahead& a : ahead_) a.hash = names_.prefetch(text(a));
  for (const Ahead& a : ahead_) names_.prefetch_text(text(a), a.hash);
  for (const Ahead& a : ahead_) {
    const ModuleId id = a.sure ? names_.intern(text(a)) : names_.find(text(a));
    if (id == kNoModule) continue;
    names_.prefetch_links(id);
    if (id < found_.size()) __builtin_prefetch(&found_[id]);
  }
}

bool ExactWalk::import_name(ModuleId importer, ModuleId name, const Site& site, Ask ask,
                            bool names_itself, std::vector<OutEdge>& edges,
                            std::vector<Problem>& problems) {
  const Found f = lookup(name);
  Site implied = site;
  implied.context |= context::kImplied;
  if (f.module == kNoModule) {
    if (ask != Ask::kStatement) return false;  // the from-list's package has its edges already
    problems.push_back(
        Problem{Problem::Kind::kNotFound, std::string(importer_name(importer)),
                std::string(names_.name(name)), site.line,
                f.miss == Miss::kParentNotPackage ? std::string(kParentNotPackage) : ""});
    // The enclosing packages that exist were imported before the import
    // failed. They are looked up outermost first and the first one missing
    // ends it: a name of many parts below a missing one costs no lookups.
    // The innermost of them stands for the name: the statement names it.
    ancestors_.clear();
    for (ModuleId p = names_.parent(name); p != kNoModule; p = names_.parent(p)) {
      ancestors_.push_back(p);
    }
    std::size_t found = 0;
    for (auto it = ancestors_.rbegin(); it != ancestors_.rend(); ++it, ++found) {
      if (lookup(*it).module == kNoModule) break;
    }
    for (std::size_t i = ancestors_.size() - found; i < ancestors_.size(); ++i) {
      const ModuleId p = ancestors_[i];
      const Found e = lookup(p);
      if (p == importer || e.module == importer || names_.parts(e.module) >= names_.parts(name)) {
        continue;
      }
      add_module(e.module, *e.spec);
      edges.push_back(OutEdge{e.module, i == ancestors_.size() - found ? site : implied});
    }
    return false;
  }
  if (f.module == importer) {  // a module importing itself
    if (ask != Ask::kStatement || !names_itself) return true;
    edges.push_back(OutEdge{importer, site});
  } else {
    add_module(f.module, *f.spec);
    edges.push_back(OutEdge{f.module, site});
  }
  // Importing a.b.c imports a and a.b first: an edge to each, whatever
  // order the walk meets the modules in.
  for (ModuleId p = names_.parent(f.module); p != kNoModule; p = names_.parent(p)) {
    if (p == importer) continue;
    const Found e = lookup(p);
    // An answer that is no enclosing package (a host's alias) is ignored.
    if (e.module == kNoModule || e.module == importer ||
        names_.parts(e.module) >= names_.parts(f.module)) {
      continue;
    }
    add_module(e.module, *e.spec);
    edges.push_back(OutEdge{e.module, implied});
  }
  return true;
}

const ModuleSpec* ExactWalk::request(std::string_view name, RootRecord& root) {
  std::vector<OutEdge> edges;
  const ModuleId id = names_.intern(name);
  import_name(kNoModule, id, Site{}, Ask::kStatement, true, edges, root.problems);
  for (const OutEdge& e : edges) root.roots.push_back(e.to);
  return lookup(id).spec;
}

void ExactWalk::run() {
  if (services_ != nullptr) services_->check_interrupts();
  while (std::optional<ScanPool::Result> result = pool_.next()) take(std::move(*result));
}

}  // namespace tarnwick
