// What the builder's walk needs from its surroundings: where a module lives,
// the text of a file, and a chance to stop. The binding implements it with
// the interpreter (the tarnwick module) or with the static finder (the exact
// engine); tests implement it in memory.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/import_stmt.hpp"
#include "core/module_spec.hpp"

namespace tarnwick {

// The outcome of reading a module's source file.
struct ReadResult {
  enum class Status {
    kOk,          // `text` holds the whole file, valid UTF-8
    kCannotOpen,  // `text` holds the operating system's description of why
    kReadFailed,  // opened, but reading or decoding failed; `text` describes the error
  };
  Status status;
  std::string text;
};

class Host {
 public:
  virtual ~Host() = default;

  // Where the absolute module `name` lives; nullopt when it cannot be found
  // (or the lookup failed in any way).
  virtual std::optional<ModuleSpec> find_spec(std::string_view name) = 0;

  // The source text of the module file at `path`.
  virtual ReadResult read_source(const std::string& path) = 0;

  // The import statements of the module file at `path` as the exact scanner
  // finds them: what the exact walk asks instead of read_source. A failure
  // carries its status and the description in `error`. The default reads
  // with read_source and scans; a host may keep what it scanned.
  struct Imports {
    ReadResult::Status status = ReadResult::Status::kOk;
    std::string error;
    std::shared_ptr<const ImportList> statements;
  };
  virtual Imports read_imports(const std::string& path);

  // Called as the walk starts on the statements of `module`: a host may
  // prepare the lookups and reads they will ask for.
  virtual void walking(const ModuleSpec& module, const ImportList& statements) {
    (void)module;
    (void)statements;
  }

  // Called before every module lookup; may throw to abort the build (for
  // example on a pending KeyboardInterrupt).
  virtual void check_interrupts() {}

  // Writes "System error: {description}" and a newline to standard error.
  virtual void write_system_error(std::string_view description);
};

}  // namespace tarnwick
