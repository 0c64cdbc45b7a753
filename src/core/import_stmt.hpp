// Import statement records: one import statement and its names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tarnwick {

struct Alias {
  std::string name;                   // the imported name exactly as written
  std::optional<std::string> asname;  // the name after `as`, if any
  bool operator==(const Alias&) const = default;
};

// Where a statement stands in its text. The grammar's extraction leaves it
// zero; the exact scanner fills it.
struct Site {
  std::uint32_t line = 0;    // line of the `import` or `from` keyword, from 1
  std::uint8_t context = 0;  // the context:: flags below
  bool operator==(const Site&) const = default;
};

namespace context {
inline constexpr std::uint8_t kFunction = 1;      // inside a def, at any depth
inline constexpr std::uint8_t kClass = 2;         // directly in a class body
inline constexpr std::uint8_t kGuarded = 4;       // in a try body whose handler catches ImportError
inline constexpr std::uint8_t kTypeChecking = 8;  // under `if TYPE_CHECKING:`
inline constexpr std::uint8_t kNonAscii = 16;     // a name holds non-ASCII characters
}  // namespace context

// `import a.b as c, d`
struct Import {
  std::vector<Alias> names;
  Site site{};
  bool operator==(const Import&) const = default;
};

// `from ..m import x as y, z`
struct ImportFrom {
  std::string module;  // without the leading dots; may be empty
  std::vector<Alias> names;
  std::uint64_t level = 0;  // number of leading dots
  Site site{};
  bool operator==(const ImportFrom&) const = default;
};

using ImportStmt = std::variant<Import, ImportFrom>;

}  // namespace tarnwick
