// The system's own copy of what an import machinery knows about one module.
// A plain value: copying it copies every field.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// What kind of module a spec describes, as far as the finder that produced it
// knows. Specs copied from the interpreter's find_spec leave it kUnknown and
// are told apart by their origin instead.
enum class ModuleKind : std::uint8_t {
  kUnknown,
  kSource,     // a .py file
  kPackage,    // a package whose __init__ is a .py file
  kNamespace,  // a namespace package: directories, no __init__
  kExtension,  // a compiled extension module (or a package whose __init__ is one)
  kBytecode,   // a .pyc file without source (or a package whose __init__ is one)
  kBuiltin,    // compiled into the interpreter
  kFrozen,     // frozen into the interpreter; origin is its source file when known
  kForeign,    // answered by a finder the core does not model (the host's own)
};

// Whether the exact engine reads a module's source: modules and packages
// with a .py origin, and frozen modules (or any a foreign finder gave)
// whose origin is a .py file.
struct ModuleSpec;
bool has_python_source(const ModuleSpec& spec) noexcept;

// The lower-case name of a kind, as the exact engine shows it ("source",
// "package", ...; "unknown" for kUnknown).
std::string_view kind_name(ModuleKind kind) noexcept;

struct ModuleSpec {
  std::string name;                   // fully qualified module name
  std::optional<std::string> origin;  // where it was found, usually a path
  std::string parent;                 // the enclosing package ("" if top level)
  std::optional<std::vector<std::string>> submodule_search_locations;  // packages only
  ModuleKind kind = ModuleKind::kUnknown;

  bool operator==(const ModuleSpec&) const = default;
};

}  // namespace tarnwick
