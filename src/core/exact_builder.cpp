#include "core/exact_builder.hpp"

#include <utility>

#include "core/walk.hpp"

namespace tarnwick {

namespace {

// The stand-in root of a build whose roots are modules: a name no module
// can have.
constexpr std::string_view kRootsName = "<roots>";

}  // namespace

bool ExactBuilder::unchanged_since_last(const ExactRequest& request, HostServices* services) {
  if (!last_graph_ || !(request == last_request_)) {
    finder_.refresh();
    return false;
  }
  bool changed = finder_.refresh();
  for (const std::string& path : last_files_) {
    // Every file is looked at, so that each is read again once when it changed.
    if (scans_.statements_changed(path, services)) changed = true;
  }
  return !changed;
}

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

std::shared_ptr<const ExactGraph> ExactBuilder::build(const ExactRequest& request,
                                                      HostServices* services) {
  const std::size_t reads_before = scans_.reads();
  if (unchanged_since_last(request, services)) {
    stats_ = Stats{true, scans_.reads() - reads_before, last_files_.size()};
    return last_graph_;
  }
  last_graph_.reset();

  ExactHost host(finder_, scans_, services);
  ModuleSpec root;
  root.kind = ModuleKind::kSource;
  std::vector<ImportStmt> statements;
  std::optional<std::string_view> drop;
  switch (request.kind) {
    case ExactRequest::Kind::kScript:
    case ExactRequest::Kind::kText:
      root.name = std::string(kMainName);
      root.parent = request.package;
      host.set_main(root);
      if (request.kind == ExactRequest::Kind::kScript) {
        root.origin = request.path;
        Host::Imports read = host.read_imports(request.path);
        if (read.statements) statements = *read.statements;
      } else {
        statements = scan_source(request.text, services);
      }
      break;
    case ExactRequest::Kind::kModules:
    case ExactRequest::Kind::kPackages: {
      root.name = std::string(kRootsName);
      drop = kRootsName;
      Import imp;
      const std::vector<std::string> names = request.kind == ExactRequest::Kind::kModules
                                                 ? request.names
                                                 : package_modules(request.names, services);
      for (const std::string& name : names) imp.names.push_back(Alias{name, std::nullopt});
      statements.emplace_back(std::move(imp));
      break;
    }
  }

  WalkState state;
  state.graph.add(DepNode(root, 0));
  WalkFindings findings;
  WalkOptions options;
  options.dialect = Dialect::kExact;
  options.read_within = request.read_within;
  walk_imports(state, host, options, std::move(root), std::move(statements), &findings);

  if (request.kind == ExactRequest::Kind::kScript) {
    // A script that cannot be read is a problem of its own.
    Host::Imports read = scans_.get(request.path, services);
    if (read.status != ReadResult::Status::kOk) {
      findings.problems.insert(
          findings.problems.begin(),
          Problem{Problem::Kind::kUnreadable, std::string(kMainName), request.path, 0, read.error});
    }
  }

  auto graph =
      std::make_shared<const ExactGraph>(ExactGraph::assemble(state.graph, findings, drop));
  stats_ = Stats{false, scans_.reads() - reads_before, host.files().size()};
  last_request_ = request;
  last_files_ = host.files();
  last_graph_ = graph;
  return graph;
}

}  // namespace tarnwick
