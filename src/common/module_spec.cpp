#include "common/module_spec.hpp"

#include "common/source_file.hpp"

namespace tarnwick {

bool has_python_source(const ModuleSpec& spec) noexcept {
  if (!spec.origin) return false;
  switch (spec.kind) {
    case ModuleKind::kSource:
    case ModuleKind::kPackage:
      return true;
    case ModuleKind::kFrozen:
    case ModuleKind::kForeign:
    case ModuleKind::kUnknown: {
      const std::optional<std::string_view> ext = path_extension(*spec.origin);
      return ext && *ext == "py";
    }
    default:
      return false;
  }
}

std::string_view kind_name(ModuleKind kind) noexcept {
  switch (kind) {
    case ModuleKind::kSource:
      return "source";
    case ModuleKind::kPackage:
      return "package";
    case ModuleKind::kNamespace:
      return "namespace";
    case ModuleKind::kExtension:
      return "extension";
    case ModuleKind::kBytecode:
      return "bytecode";
    case ModuleKind::kBuiltin:
      return "builtin";
    case ModuleKind::kFrozen:
      return "frozen";
    case ModuleKind::kForeign:
      return "foreign";
    case ModuleKind::kUnknown:
      break;
  }
  return "unknown";
}

}  // namespace tarnwick
