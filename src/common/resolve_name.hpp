// Turns a relative module reference (`from ..pkg import x`) into an absolute
// module name, given the package of the importing module. Pure text work.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick {

// `name` is the module text after the leading dots (may be empty), `package`
// the importing module's parent package and `level` the number of dots.
//
// `package` is split at every "." keeping empty components (so "" is one empty
// component and "a..b" is three). One dot keeps the whole package; each
// further dot drops one trailing component. The result is that base, followed
// by "." and `name` when `name` is not empty.
//
// Throws InternalError "This method has no meaning when level == 0" for level
// 0 and "Attempted relative import beyond top-level package" when `level` is
// larger than the number of components.
std::string resolve_name(std::string_view name, std::string_view package, std::uint64_t level);

}  // namespace tarnwick
