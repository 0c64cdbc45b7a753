// Import statement records: one parsed import statement and its names.
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

// `import a.b as c, d`
struct Import {
  std::vector<Alias> names;
  bool operator==(const Import&) const = default;
};

// `from ..m import x as y, z`
struct ImportFrom {
  std::optional<std::string> module;  // without the leading dots; may be empty
  std::vector<Alias> names;
  std::optional<std::uint64_t> level;  // number of leading dots
  bool operator==(const ImportFrom&) const = default;
};

using ImportStmt = std::variant<Import, ImportFrom>;

}  // namespace tarnwick
