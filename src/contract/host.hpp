// What the tarnwick module's walk needs from its surroundings: where a
// module lives, the text of a file, and a chance to stop. The binding
// implements it with the interpreter; tests implement it in memory.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/import_stmt.hpp"
#include "common/module_spec.hpp"
#include "common/source_file.hpp"

namespace tarnwick {

class Host {
 public:
  virtual ~Host() = default;

  // Where the absolute module `name` lives; nullopt when it cannot be found
  // (or the lookup failed in any way).
  virtual std::optional<ModuleSpec> find_spec(std::string_view name) = 0;

  // The source text of the module file at `path`.
  virtual ReadResult read_source(const std::string& path) = 0;

  // Called before every module lookup; may throw to abort the build (for
  // example on a pending KeyboardInterrupt).
  virtual void check_interrupts() {}

  // Writes "System error: {description}" and a newline to standard error.
  virtual void write_system_error(std::string_view description);
};

}  // namespace tarnwick
