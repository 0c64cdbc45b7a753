#include "common/resolve_name.hpp"

#include <algorithm>
#include <cstddef>

#include "common/error.hpp"
#include "common/str_cat.hpp"

namespace tarnwick {

std::string resolve_name(std::string_view name, std::string_view package, std::uint64_t level) {
  if (level == 0) fail("This method has no meaning when level == 0");

  const auto components =
      static_cast<std::uint64_t>(std::count(package.begin(), package.end(), '.')) + 1;
  if (components < level) fail("Attempted relative import beyond top-level package");

  // Drop `level - 1` trailing components: cut at the (level-1)-th dot from the
  // right. `level - 1 < components` holds, so there are enough dots.
  std::size_t end = package.size();
  for (std::uint64_t dropped = 0; dropped + 1 < level; ++dropped) {
    end = package.rfind('.', end - 1);
  }
  const std::string_view base = package.substr(0, end);

  if (name.empty()) return std::string(base);
  return str_cat(base, '.', name);
}

}  // namespace tarnwick
