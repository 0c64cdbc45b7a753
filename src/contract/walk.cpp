#include "contract/walk.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <variant>

#include "common/error.hpp"
#include "common/log.hpp"
#include "common/platform_fs.hpp"
#include "common/resolve_name.hpp"
#include "common/source_file.hpp"
#include "common/str_cat.hpp"
#include "contract/import_dump.hpp"
#include "contract/parser.hpp"

namespace tarnwick {

namespace {

constexpr std::string_view kTarget = log::kBuilderTarget;
constexpr std::string_view kOpenLine = ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>";
constexpr std::string_view kCloseLine = "<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<";
static_assert(kOpenLine.size() == 36 && kCloseLine.size() == 36);

// The enclosing package of a dotted name: "a.b.c" gives "a.b", "a" gives "".
std::string_view enclosing_package(std::string_view name) noexcept {
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(0, dot);
}

std::size_t components(std::string_view name) noexcept {
  return static_cast<std::size_t>(std::count(name.begin(), name.end(), '.')) + 1;
}

}  // namespace

// ---- the walk --------------------------------------------------------------
//
// The walk is the recursion of three steps: walking one module's statements,
// handling one imported name, and handling that name's enclosing package
// first. It is unrolled onto an explicit stack of frames; each frame records
// where its step was suspended when it handed control to a nested step, so
// lookups, reads, log records and edges happen in exactly the order of the
// recursive formulation, and import chains of any length walk without deep
// native recursion.

class Walk {
 public:
  Walk(WalkState& state, Host& host, const WalkOptions& options)
      : s_(state), host_(host), opt_(options) {}

  void run(ModuleSpec root, std::shared_ptr<const ImportList> stmts) {
    begin_imports(std::move(root), std::move(stmts));
    while (!stack_.empty()) {
      if (std::holds_alternative<ImportsFrame>(stack_.back())) {
        step_imports();
      } else {
        step_dependency();
      }
    }
  }

 private:
  // The statements of one module, suspended between imported names.
  struct ImportsFrame {
    enum class Phase : std::uint8_t { kStatement, kAfterTarget, kFromAliases };
    ModuleSpec spec;
    std::shared_ptr<const ImportList> stmts;
    std::size_t stmt = 0;   // current statement
    std::size_t alias = 0;  // next alias of the current statement
    Phase phase = Phase::kStatement;
    std::string target;  // the module of the current `from` statement
    // The host's answers for the names of the current statement, so that a
    // name written again is not looked up again (up to kMaxAnswers names).
    std::unordered_map<std::string, std::optional<ModuleSpec>> answers;
    // A name handed on that its statement wrote `repeats` times more (the
    // records counted them): handed on again, once, after the first.
    std::string repeated;
    std::size_t repeats = 0;
    bool repeated_in_list = false;  // a name of a `from` list
  };
  static constexpr std::size_t kMaxAnswers = 4096;

  // What asked for a name: a statement names it, it follows a package in a
  // `from` list, or it encloses a module being added.
  enum class Ask : std::uint8_t { kStatement, kFromList, kEnclosing };

  // One name whose module is new to the graph, suspended while its
  // enclosing package is handled.
  struct DependencyFrame {
    std::size_t importer;  // stack index of the importer's ImportsFrame
    ModuleSpec found;
    bool cache_path;
    bool parent_done = false;
  };

  using Frame = std::variant<ImportsFrame, DependencyFrame>;

  ImportsFrame& importer_frame(std::size_t importer) {
    return std::get<ImportsFrame>(stack_[importer]);
  }

  // Records that the importer's current statement imports `dep`.
  void link(std::size_t importer, const std::string& dep) {
    s_.graph.add_dependency(importer_frame(importer).spec.name, dep);
  }

  void begin_imports(ModuleSpec spec, std::shared_ptr<const ImportList> stmts) {
    TW_LOG_DEBUG(kTarget, kOpenLine);
    TW_LOG_DEBUG(kTarget, "Expanding '", spec.name, "'");
    TW_LOG_DEBUG(kTarget, kOpenLine);
    if (s_.in_progress.contains(spec.name)) {
      fail("Double processing detected for name: '", spec.name, "'");
    }
    s_.in_progress.insert(spec.name);
    if (opt_.verbose) dump_imports(*stmts);
    ImportsFrame frame;
    frame.spec = std::move(spec);
    frame.stmts = std::move(stmts);
    stack_.emplace_back(std::move(frame));
  }

  // A name an ImportsFrame hands on, and what asked for it.
  struct Handoff {
    std::string name;
    Ask ask;
    std::size_t times = 0;  // the repeats of a name already handled, or 0
  };

  // Runs the top ImportsFrame until it hands a name on or finishes. The
  // hand-off may grow the stack, so it happens after the frame is let go.
  void step_imports() {
    const std::size_t self = stack_.size() - 1;
    if (std::optional<Handoff> next = next_name(self)) {
      if (next->times != 0) {
        repeat_dependency(self, std::move(*next));
      } else {
        begin_dependency(self, std::move(next->name), next->ask);
      }
    } else {
      finish_imports();
    }
  }

  // Moves the frame at `self` on to the next name it hands on; nullopt when
  // its statements are done.
  std::optional<Handoff> next_name(std::size_t self) {
    auto& f = std::get<ImportsFrame>(stack_[self]);
    if (f.repeats != 0) {
      Handoff again{std::move(f.repeated), f.repeated_in_list ? Ask::kFromList : Ask::kStatement,
                    f.repeats};
      f.repeats = 0;
      return again;
    }
    while (f.stmt < f.stmts->size()) {
      const ImportStmt& stmt = (*f.stmts)[f.stmt];
      if (const auto* imp = std::get_if<Import>(&stmt)) {
        if (f.alias < imp->names.size()) {
          const Alias& alias = imp->names[f.alias++];
          return hand_on(f, std::string(alias.name), Ask::kStatement, alias);
        }
        next_statement(f);
        continue;
      }
      const auto& from = std::get<ImportFrom>(stmt);
      switch (f.phase) {
        case ImportsFrame::Phase::kStatement: {
          f.target = from.level == 0 ? std::string(from.module) : relative_target(self, from);
          f.phase = ImportsFrame::Phase::kAfterTarget;
          return Handoff{f.target, Ask::kStatement};
        }
        case ImportsFrame::Phase::kAfterTarget: {
          host_.check_interrupts();
          const std::optional<ModuleSpec> spec = host_.find_spec(f.target);
          if (spec && spec->submodule_search_locations) {
            f.phase = ImportsFrame::Phase::kFromAliases;
            f.alias = 0;
          } else {
            next_statement(f);
          }
          continue;
        }
        case ImportsFrame::Phase::kFromAliases:
          while (f.alias < from.names.size() && from.names[f.alias].name == "*") ++f.alias;
          if (f.alias < from.names.size()) {
            const Alias& alias = from.names[f.alias++];
            return hand_on(f, str_cat(f.target, '.', alias.name), Ask::kFromList, alias);
          }
          next_statement(f);
          continue;
      }
    }
    return std::nullopt;
  }

  // Hands `name` (written as `alias`) on, and its repeats after it.
  static Handoff hand_on(ImportsFrame& f, std::string name, Ask ask, const Alias& alias) {
    if (const std::size_t repeats = f.stmts->repeats(alias); repeats != 0) {
      f.repeated = name;
      f.repeats = repeats;
      f.repeated_in_list = ask == Ask::kFromList;
    }
    return Handoff{std::move(name), ask};
  }

  // The absolute module of a relative `from` statement.
  std::string relative_target(std::size_t self, const ImportFrom& from) {
    const ModuleSpec& spec = importer_frame(self).spec;
    if (spec.parent == kRootName) {
      fail("Attempted relative import from terminal node (no known parent package)");
    }
    return resolve_name(from.module, spec.parent, from.level);
  }

  static void next_statement(ImportsFrame& f) {
    ++f.stmt;
    f.alias = 0;
    f.phase = ImportsFrame::Phase::kStatement;
    f.answers.clear();
  }

  // The host's answer for `name`: a name the statement writes again is not
  // looked up again. Enclosing packages are always asked, and so is every
  // name while the host's records of each lookup would be read.
  std::optional<ModuleSpec> find_spec(std::size_t importer, const std::string& name, Ask ask) {
    if (ask == Ask::kEnclosing || !log::facade().drops(log::Level::Debug, log::kImportlibTarget)) {
      return host_.find_spec(name);
    }
    auto& answers = importer_frame(importer).answers;
    if (const auto it = answers.find(name); it != answers.end()) return it->second;
    std::optional<ModuleSpec> found = host_.find_spec(name);
    if (answers.size() < kMaxAnswers) answers.emplace(name, found);
    return found;
  }

  // Handles the repeats of a name whose first writing is done, in their
  // place: right after it. Each finds what the first left (the module in
  // the graph, or nothing found) and does the same; when nothing records
  // the steps of each (the debug records of the walk, the graph and the
  // lookups), that is only the count of relationships handled, so one is
  // handled and the rest counted. Otherwise they go one at a time.
  void repeat_dependency(std::size_t importer, Handoff again) {
    if (again.times == 1) return begin_dependency(importer, std::move(again.name), again.ask);
    const std::size_t before = s_.processed_count;
    const std::size_t depth = stack_.size();
    std::string name = again.name;
    begin_dependency(importer, std::move(again.name), again.ask);
    if (stack_.size() != depth || each_step_recorded()) {
      // One at a time, also when the name was new to the graph even now (a
      // host that answers differently).
      ImportsFrame& f = importer_frame(importer);
      f.repeated = std::move(name);
      f.repeats = again.times - 1;
      f.repeated_in_list = again.ask == Ask::kFromList;
      return;
    }
    s_.processed_count += (again.times - 1) * (s_.processed_count - before);
  }

  static bool each_step_recorded() noexcept {
    const log::Facade& logs = log::facade();
    return !logs.drops(log::Level::Debug, kTarget) ||
           !logs.drops(log::Level::Debug, log::kTypesTarget) ||
           !logs.drops(log::Level::Debug, log::kImportlibTarget);
  }

  void finish_imports() {
    const std::string name = std::move(std::get<ImportsFrame>(stack_.back()).spec.name);
    stack_.pop_back();
    s_.in_progress.erase(name);
    TW_LOG_DEBUG(kTarget, kCloseLine);
    TW_LOG_DEBUG(kTarget, "Done '", name, "'");
    TW_LOG_DEBUG(kTarget, kCloseLine);
  }

  // Handles one imported name up to its enclosing package. Pushes a
  // DependencyFrame when the module is new to the graph.
  void begin_dependency(std::size_t importer, std::string name, Ask ask) {
    host_.check_interrupts();
    std::optional<ModuleSpec> found = find_spec(importer, name, ask);
    if (!found) {
      TW_LOG_DEBUG(kTarget, "!!!! Unable to find spec for name: '", name, "' !!!!");
      return;
    }
    const std::string& from = importer_frame(importer).spec.name;
    if (found->name == from) return;  // a module importing itself
    // An enclosing package must come back from the host with fewer name
    // components than the module that asked for it. A host that answers
    // otherwise (a sys.modules alias can make find_spec("p") answer "p.m")
    // would send the walk over enclosing packages round forever; such an
    // answer is ignored, like a self-import.
    if (const auto* asking = std::get_if<DependencyFrame>(&stack_.back());
        asking != nullptr && components(found->name) >= components(asking->found.name)) {
      return;
    }

    ++s_.processed_count;
    TW_LOG_DEBUG(kTarget, "Processing dependency: ", from, " -> ", found->name);
    if (s_.graph.has_node(found->name)) {
      link(importer, found->name);
      return;
    }
    const bool cache_path =
        opt_.cache != nullptr && found->name != kRootName && opt_.cache->has_node(found->name);
    stack_.emplace_back(DependencyFrame{importer, std::move(*found), cache_path, false});
  }

  // Resumes the top DependencyFrame: first hands its enclosing package on,
  // then (when that is done) attaches the module.
  void step_dependency() {
    auto& top = std::get<DependencyFrame>(stack_.back());
    if (!top.parent_done) {
      top.parent_done = true;
      const std::size_t importer = top.importer;
      std::string parent(enclosing_package(top.found.name));
      // The hand-off may grow the stack: `top` is not used past here.
      if (!parent.empty()) begin_dependency(importer, std::move(parent), Ask::kEnclosing);
      return;
    }
    attach_dependency();
  }

  // The second half of step_dependency, once the enclosing package is done.
  void attach_dependency() {
    auto& f = std::get<DependencyFrame>(stack_.back());

    const std::size_t importer = f.importer;
    const std::string& dep = f.found.name;
    if (s_.graph.has_node(dep)) {
      link(importer, dep);
      stack_.pop_back();
      return;
    }

    if (f.cache_path) {
      const std::string& from = importer_frame(importer).spec.name;
      if (log::facade().drops(log::Level::Debug, log::kTypesTarget)) {
        // Nobody reads the records of each copied node: attach without
        // going below what earlier hits settled; the counts follow at the
        // end of the build (WalkState::attached).
        s_.graph.attach_settled(from, *opt_.cache, dep, s_.attached);
      } else {
        // The plain attach, whose copy logs each node it takes.
        DepGraph copy = opt_.cache->clone_from(dep);
        const std::uint64_t n = copy.num_dependencies();
        s_.graph.add_graph(from, dep, std::move(copy));
        s_.cached_count += static_cast<std::size_t>(n) + 1;
        s_.processed_count += static_cast<std::size_t>(n);
      }
      stack_.pop_back();
      return;
    }

    std::shared_ptr<const ImportList> stmts = module_statements(f.found);
    s_.graph.add(DepNode(f.found, std::nullopt));
    link(importer, dep);
    ModuleSpec found = std::move(f.found);
    stack_.pop_back();
    if (stmts) begin_imports(std::move(found), std::move(stmts));
  }

  // The statements of a module for the module dialect, when it has a
  // readable .py origin.
  std::shared_ptr<const ImportList> module_statements(const ModuleSpec& spec) {
    if (!spec.origin) return nullptr;
    const std::string& origin = *spec.origin;
    if (origin == "frozen" || origin == "built-in") return nullptr;
    const std::optional<std::string_view> ext = path_extension(origin);
    if (!ext) {
      TW_LOG_WARN(kTarget, "Unable to load extension for spec '", spec.name, "' with origin '",
                  origin, "' skipping.");
      return nullptr;
    }
    if (*ext != "py") return nullptr;

    TW_LOG_DEBUG(kTarget, "Loading file: ", origin);
    ReadResult read = host_.read_source(origin);
    switch (read.status) {
      case ReadResult::Status::kOk:
        return std::make_shared<const ImportList>(module_records(read.text, opt_.verbose));
      case ReadResult::Status::kCannotOpen:
        TW_LOG_WARN(kTarget, "Unable to load file for spec '", spec.name, "' with origin '", origin,
                    "' skipping.");
        host_.write_system_error(read.text);
        return nullptr;
      case ReadResult::Status::kReadFailed:
        break;
    }
    throw InternalError(std::move(read.text));
  }

  WalkState& s_;
  Host& host_;
  const WalkOptions& opt_;
  std::vector<Frame> stack_;
};

void WalkState::count_attached(const DepGraph& cache) {
  if (attached.hits.empty()) return;
  const std::uint64_t edges = cache.edges_reached(attached.hits);
  processed_count += static_cast<std::size_t>(edges);
  cached_count += static_cast<std::size_t>(edges) + attached.hits.size();
  attached.hits.clear();
}

void Host::write_system_error(std::string_view description) {
  fs::write_stderr(str_cat("System error: ", description, "\n"));
}

ImportList module_records(std::string_view text, bool verbose) {
  return verbose ? parse(text) : parse_counting_repeats(text);
}

void walk_imports(WalkState& state, Host& host, const WalkOptions& options, ModuleSpec root,
                  std::shared_ptr<const ImportList> statements) {
  Walk(state, host, options)
      .run(std::move(root),
           statements ? std::move(statements) : std::make_shared<const ImportList>());
}

}  // namespace tarnwick
