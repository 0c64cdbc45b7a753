// The system's own copy of what the host's import machinery knows about one
// module. A plain value: copying it copies every field.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

struct ModuleSpec {
  std::string name;                   // fully qualified module name
  std::optional<std::string> origin;  // where it was found, usually a path
  std::string parent;                 // the enclosing package ("" if top level)
  std::optional<std::vector<std::string>> submodule_search_locations;  // packages only

  bool operator==(const ModuleSpec&) const = default;
};

}  // namespace tarnwick
