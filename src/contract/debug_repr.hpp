// Debug renderings of values in log messages: a text in double quotes with
// backslash escapes, and an optional text as Some("...") or None.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// `"a\"b"`: the text in double quotes; quote, backslash and control
// characters escaped.
std::string debug_quoted(std::string_view text);

// `Some("text")` or `None`.
std::string debug_optional(const std::optional<std::string>& value);

}  // namespace tarnwick
