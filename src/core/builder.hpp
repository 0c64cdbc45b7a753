// The graph builder: walks the imports of a source text and of every Python
// file it reaches, depth-first, and returns the dependency graph with depths.
// It talks to the outside world only through Host, so the walk can run
// against the interpreter's import machinery or against a test double.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "core/dep_graph.hpp"
#include "core/module_spec.hpp"

namespace tarnwick {

// The name of the node standing for the text handed to build(), and the parent
// package of that text when no package is given.
inline constexpr std::string_view kRootName = "<terminal>";

// The outcome of reading a module's source file.
struct ReadResult {
  enum class Status {
    kOk,          // `text` holds the whole file, valid UTF-8
    kCannotOpen,  // `text` holds the operating system's description of why
    kReadFailed,  // opened, but reading failed or the bytes are not UTF-8;
                  // `text` describes the error
  };
  Status status;
  std::string text;
};

// Reads `path` as UTF-8 text with the operating system's file calls: the
// ordinary implementation of Host::read_source.
ReadResult read_source_file(const std::string& path);

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

// The extension of `path` read as a file path: the part of its final
// component after the last "."; absent when the final component has no ".",
// when its only "." is its first character, or when there is no final file
// name (the path ends in ".." or names a root or the current directory).
std::optional<std::string_view> path_extension(std::string_view path) noexcept;

// What the builder needs from its surroundings.
class Host {
 public:
  virtual ~Host() = default;

  // Where the absolute module `name` lives; nullopt when it cannot be found
  // (or the lookup failed in any way).
  virtual std::optional<ModuleSpec> find_spec(std::string_view name) = 0;

  // The source text of the file at `path`.
  virtual ReadResult read_source(const std::string& path) = 0;

  // Called before every module lookup; may throw to abort the build (for
  // example on a pending KeyboardInterrupt).
  virtual void check_interrupts() {}

  // Writes "System error: {description}" and a newline to standard error.
  virtual void write_system_error(std::string_view description);
};

// The builder. Fields as they stand between calls: `graph` and `in_progress`
// empty and both counts 0; `cache` absent until the first successful build,
// then the union of every graph returned.
class GraphBuilder {
 public:
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  using NameTable = std::unordered_set<std::string, NameHash, std::equal_to<>>;

  DepGraph graph;                   // the graph of the build in progress
  NameTable in_progress;            // modules whose imports are being walked
  std::optional<DepGraph> cache;    // everything returned so far
  std::size_t processed_count = 0;  // dependency relationships handled this build
  std::size_t cached_count = 0;     // of those, taken from the cache
  bool verbose = false;             // dump every parsed statement list to stdout

  explicit GraphBuilder(bool verbose_output = false) : verbose(verbose_output) {}

  // Builds the graph of `source` (Python text, the body of a module stored
  // nowhere) belonging to `package`, if given. Logs progress on target
  // "tarnwick::core::builder". The walk keeps its own stack, so import chains
  // of any depth build without deep native recursion.
  //
  // Throws InternalError on broken invariants, unparsable text, unreadable
  // files and impossible relative imports, and passes on whatever the host
  // throws. A build that throws leaves `graph` empty, `in_progress` empty and
  // both counts 0, and `cache` exactly as it was, so the next build starts
  // afresh.
  DepGraph build(Host& host, std::string_view source, std::optional<std::string_view> package);

 private:
  class Walk;
  void reset_build_state() noexcept;
};

}  // namespace tarnwick
