// The pieces of a text between separators, empty pieces left out: how the
// tests' table rows spell lists.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::testing {

inline std::vector<std::string> split(std::string_view text, char sep) {
  std::vector<std::string> out;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find(sep), text.size());
    if (end > 0) out.emplace_back(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return out;
}

}  // namespace tarnwick::testing
