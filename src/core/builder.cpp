#include "core/builder.hpp"

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>
#include <variant>
#include <vector>

#include "core/error.hpp"
#include "core/import_dump.hpp"
#include "core/import_stmt.hpp"
#include "core/log.hpp"
#include "core/parser.hpp"
#include "core/resolve_name.hpp"
#include "core/str_cat.hpp"

namespace tarnwick {

namespace {

constexpr std::string_view kTarget = log::kBuilderTarget;
constexpr std::string_view kOpenLine = ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>";
constexpr std::string_view kCloseLine = "<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<";
static_assert(kOpenLine.size() == 36 && kCloseLine.size() == 36);

std::string os_error(int err) {
  return str_cat(std::strerror(err), " (os error ", err, ")");
}

// The enclosing package of a dotted name: "a.b.c" gives "a.b", "a" gives "".
std::string_view enclosing_package(std::string_view name) noexcept {
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(0, dot);
}

}  // namespace

// ---- file reading ----------------------------------------------------------

bool is_valid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = p + bytes.size();
  while (p < end) {
    // Source text is mostly ASCII: skip it eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if ((word & 0x8080808080808080ULL) != 0) break;
      p += 8;
    }
    if (p == end) break;
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // no overlong forms
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;  // no overlong forms
      if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < len) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (std::size_t i = 2; i < len; ++i) {
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    }
    p += len;
  }
  return true;
}

ReadResult read_source_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {ReadResult::Status::kCannotOpen, os_error(errno)};

  // Read straight into the text, sized from fstat plus one byte so that the
  // end of the file is seen without growing; a file that grows meanwhile
  // still reads whole.
  std::string text;
  struct stat st {};
  const bool sized = ::fstat(fd, &st) == 0 && st.st_size > 0;
  text.resize(sized ? static_cast<std::size_t>(st.st_size) + 1 : 65536);
  std::size_t size = 0;
  for (;;) {
    if (size == text.size()) text.resize(2 * text.size());
    const ssize_t n = ::read(fd, text.data() + size, text.size() - size);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return {ReadResult::Status::kReadFailed,
              str_cat("Failed to read file '", path, "': ", os_error(err))};
    }
    size += static_cast<std::size_t>(n);
  }
  ::close(fd);
  text.resize(size);
  if (!is_valid_utf8(text)) {
    return {ReadResult::Status::kReadFailed,
            str_cat("Failed to read file '", path, "': stream did not contain valid UTF-8")};
  }
  return {ReadResult::Status::kOk, std::move(text)};
}

std::optional<std::string_view> path_extension(std::string_view path) noexcept {
  // The final component, ignoring separators and "." components at the end.
  std::string_view last;
  bool found = false;
  std::size_t end = path.size();
  while (end > 0) {
    const std::size_t slash = path.rfind('/', end - 1);
    const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
    const std::string_view comp = path.substr(begin, end - begin);
    if (!comp.empty() && comp != ".") {
      last = comp;
      found = true;
      break;
    }
    if (slash == std::string_view::npos) break;
    end = slash;
  }
  if (!found || last == "..") return std::nullopt;
  const std::size_t dot = last.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  return last.substr(dot + 1);
}

void Host::write_system_error(std::string_view description) {
  const std::string line = str_cat("System error: ", description, "\n");
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(2, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// ---- the walk --------------------------------------------------------------
//
// The walk is the recursion of three steps, _process_imports (walk one
// module's statements), _process_dependency (handle one imported name) and
// _process_parent (handle the enclosing package first), unrolled onto an
// explicit stack of frames. Each frame records where its step was suspended
// when it handed control to a nested step, so lookups, reads, log records and
// edges happen in exactly the order of the recursive formulation.

class GraphBuilder::Walk {
 public:
  Walk(GraphBuilder& builder, Host& host) : b_(builder), host_(host) {}

  void run(ModuleSpec root, std::string_view source) {
    begin_imports(std::move(root), source);
    while (!stack_.empty()) {
      if (std::holds_alternative<ImportsFrame>(stack_.back())) {
        step_imports();
      } else {
        step_dependency();
      }
    }
  }

 private:
  // _process_imports of one module, suspended between imported names.
  struct ImportsFrame {
    enum class Phase : std::uint8_t { kStatement, kAfterTarget, kFromAliases };
    ModuleSpec spec;
    std::vector<ImportStmt> stmts;
    std::size_t stmt = 0;   // current statement
    std::size_t alias = 0;  // next alias of the current statement
    Phase phase = Phase::kStatement;
    std::string target;  // the module of the current `from` statement
  };

  // _process_dependency of one name whose module is new to the graph,
  // suspended while its enclosing package is handled.
  struct DependencyFrame {
    std::size_t importer;  // stack index of the importer's ImportsFrame
    ModuleSpec found;
    bool cache_path;
    bool parent_done = false;
  };

  using Frame = std::variant<ImportsFrame, DependencyFrame>;

  const std::string& importer_name(std::size_t importer) const {
    return std::get<ImportsFrame>(stack_[importer]).spec.name;
  }

  // _process_imports, up to its loop over statements.
  void begin_imports(ModuleSpec spec, std::string_view source) {
    TW_LOG_DEBUG(kTarget, kOpenLine);
    TW_LOG_DEBUG(kTarget, "Expanding '", spec.name, "'");
    TW_LOG_DEBUG(kTarget, kOpenLine);
    if (b_.in_progress.contains(spec.name)) {
      fail("Double processing detected for name: '", spec.name, "'");
    }
    b_.in_progress.insert(spec.name);
    std::vector<ImportStmt> stmts = parse(source);
    if (b_.verbose) dump_imports(stmts);
    ImportsFrame frame;
    frame.spec = std::move(spec);
    frame.stmts = std::move(stmts);
    stack_.emplace_back(std::move(frame));
  }

  // Runs the top ImportsFrame until it hands a name to _process_dependency
  // or finishes.
  void step_imports() {
    const std::size_t self = stack_.size() - 1;
    auto& f = std::get<ImportsFrame>(stack_[self]);
    while (f.stmt < f.stmts.size()) {
      const ImportStmt& stmt = f.stmts[f.stmt];
      if (const auto* imp = std::get_if<Import>(&stmt)) {
        if (f.alias < imp->names.size()) {
          std::string name = imp->names[f.alias++].name;
          begin_dependency(self, std::move(name));  // may grow the stack: `f` is stale now
          return;
        }
        next_statement(f);
        continue;
      }
      const auto& from = std::get<ImportFrom>(stmt);
      switch (f.phase) {
        case ImportsFrame::Phase::kStatement: {
          if (!from.level || !from.module) fail(kAbsentValue);
          if (*from.level == 0) {
            f.target = *from.module;
          } else {
            if (f.spec.parent == kRootName) {
              fail("Attempted relative import from terminal node (no known parent package)");
            }
            f.target = resolve_name(*from.module, f.spec.parent, *from.level);
          }
          f.phase = ImportsFrame::Phase::kAfterTarget;
          std::string target = f.target;
          begin_dependency(self, std::move(target));
          return;
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
          if (f.alias < from.names.size()) {
            std::string name = str_cat(f.target, '.', from.names[f.alias++].name);
            begin_dependency(self, std::move(name));
            return;
          }
          next_statement(f);
          continue;
      }
    }
    finish_imports();
  }

  static void next_statement(ImportsFrame& f) {
    ++f.stmt;
    f.alias = 0;
    f.phase = ImportsFrame::Phase::kStatement;
  }

  // The end of _process_imports.
  void finish_imports() {
    const std::string name = std::move(std::get<ImportsFrame>(stack_.back()).spec.name);
    stack_.pop_back();
    b_.in_progress.erase(name);
    TW_LOG_DEBUG(kTarget, kCloseLine);
    TW_LOG_DEBUG(kTarget, "Done '", name, "'");
    TW_LOG_DEBUG(kTarget, kCloseLine);
  }

  // _process_dependency up to the handling of the enclosing package. Pushes a
  // DependencyFrame when the module is new to the graph.
  void begin_dependency(std::size_t importer, std::string name) {
    host_.check_interrupts();
    std::optional<ModuleSpec> found = host_.find_spec(name);
    if (!found) {
      TW_LOG_DEBUG(kTarget, "!!!! Unable to find spec for name: '", name, "' !!!!");
      return;
    }
    const std::string& from = importer_name(importer);
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

    ++b_.processed_count;
    TW_LOG_DEBUG(kTarget, "Processing dependency: ", from, " -> ", found->name);
    if (b_.graph.has_node(found->name)) {
      b_.graph.add_dependency(from, found->name);
      return;
    }
    const bool cache_path = found->name != kRootName && b_.cache && b_.cache->has_node(found->name);
    stack_.emplace_back(DependencyFrame{importer, std::move(*found), cache_path, false});
  }

  static std::size_t components(std::string_view name) {
    return static_cast<std::size_t>(std::count(name.begin(), name.end(), '.')) + 1;
  }

  // Resumes the top DependencyFrame: first hands its enclosing package to
  // _process_dependency, then (when that is done) attaches the module.
  void step_dependency() {
    auto& f = std::get<DependencyFrame>(stack_.back());
    if (!f.parent_done) {
      f.parent_done = true;
      const std::string_view parent = enclosing_package(f.found.name);
      if (!parent.empty()) begin_dependency(f.importer, std::string(parent));
      return;
    }

    const std::size_t importer = f.importer;
    const std::string& from = importer_name(importer);
    const std::string& dep = f.found.name;
    if (b_.graph.has_node(dep)) {
      b_.graph.add_dependency(from, dep);
      stack_.pop_back();
      return;
    }

    if (f.cache_path) {
      // add_graph(from, dep, cache.clone_from(dep)) in one pass.
      const std::uint64_t n = b_.graph.add_graph_from(from, *b_.cache, dep);
      b_.cached_count += static_cast<std::size_t>(n) + 1;
      b_.processed_count += static_cast<std::size_t>(n);
      stack_.pop_back();
      return;
    }

    std::optional<std::string> source = read_module_source(f.found);
    b_.graph.add(DepNode(f.found, std::nullopt));
    b_.graph.add_dependency(from, dep);
    ModuleSpec found = std::move(f.found);
    stack_.pop_back();
    if (source) begin_imports(std::move(found), *source);
  }

  // The source text of a module, when it has a readable .py origin.
  std::optional<std::string> read_module_source(const ModuleSpec& spec) {
    if (!spec.origin) return std::nullopt;
    const std::string& origin = *spec.origin;
    if (origin == "frozen" || origin == "built-in") return std::nullopt;
    const std::optional<std::string_view> ext = path_extension(origin);
    if (!ext) {
      TW_LOG_WARN(kTarget, "Unable to load extension for spec '", spec.name, "' with origin '",
                  origin, "' skipping.");
      return std::nullopt;
    }
    if (*ext != "py") return std::nullopt;

    TW_LOG_DEBUG(kTarget, "Loading file: ", origin);
    ReadResult read = host_.read_source(origin);
    switch (read.status) {
      case ReadResult::Status::kOk:
        return std::move(read.text);
      case ReadResult::Status::kCannotOpen:
        TW_LOG_WARN(kTarget, "Unable to load file for spec '", spec.name, "' with origin '", origin,
                    "' skipping.");
        host_.write_system_error(read.text);
        return std::nullopt;
      case ReadResult::Status::kReadFailed:
        break;
    }
    throw InternalError(std::move(read.text));
  }

  GraphBuilder& b_;
  Host& host_;
  std::vector<Frame> stack_;
};

// ---- build -----------------------------------------------------------------

void GraphBuilder::reset_build_state() noexcept {
  graph = DepGraph();
  in_progress.clear();
  processed_count = 0;
  cached_count = 0;
}

DepGraph GraphBuilder::build(Host& host, std::string_view source,
                             std::optional<std::string_view> package) {
  try {
    ModuleSpec root;
    root.name = std::string(kRootName);
    if (package) {
      root.parent = std::string(*package);
      root.submodule_search_locations.emplace();
    } else {
      root.parent = std::string(kRootName);
    }
    graph.add(DepNode(root, 0));

    Walk(*this, host).run(std::move(root), source);

    if (cached_count == 0) {
      TW_LOG_INFO(kTarget, "Processed ", processed_count, " dependency relationships.");
    } else {
      TW_LOG_INFO(kTarget, "Processed ", processed_count, " dependency relationships (",
                  cached_count, " from cache).");
    }
    in_progress = NameTable();
    processed_count = 0;
    cached_count = 0;
    DepGraph result = std::exchange(graph, DepGraph());

    // The merge cannot meet conflicting origins: a module present in the
    // cache is always taken from it (cache path), so every node of `result`
    // that the cache holds carries the cache's own spec. Hence a failure
    // cannot leave the cache half merged.
    if (!cache) {
      cache.emplace(result);
    } else {
      cache->merge(result);
    }
    return result;
  } catch (...) {
    reset_build_state();
    throw;
  }
}

}  // namespace tarnwick
