#include "core/module_spec.hpp"

namespace tarnwick {

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
