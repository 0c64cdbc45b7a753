#include "common/components.hpp"

#include <algorithm>
#include <utility>

namespace tarnwick {

Components strong_components(std::span<const std::uint32_t> begin,
                             std::span<const std::uint32_t> targets) {
  constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  const auto n = static_cast<std::uint32_t>(begin.size() - 1);
  Components result;
  result.of.assign(n, kNone);
  std::vector<std::uint32_t> index(n, kNone);
  std::vector<std::uint32_t> low(n, 0);
  std::vector<std::uint32_t> stack;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> calls;  // node, next edge
  std::uint32_t next_index = 0;
  for (std::uint32_t root = 0; root < n; ++root) {
    if (index[root] != kNone) continue;
    calls.emplace_back(root, begin[root]);
    index[root] = low[root] = next_index++;
    stack.push_back(root);
    while (!calls.empty()) {
      const auto [v, e] = calls.back();
      if (e < begin[v + 1]) {
        calls.back().second = e + 1;
        const std::uint32_t w = targets[e];
        if (index[w] == kNone) {
          index[w] = low[w] = next_index++;
          stack.push_back(w);
          calls.emplace_back(w, begin[w]);
        } else if (result.of[w] == kNone) {  // still on the stack
          low[v] = std::min(low[v], index[w]);
        }
        continue;
      }
      calls.pop_back();
      if (!calls.empty()) low[calls.back().first] = std::min(low[calls.back().first], low[v]);
      if (low[v] != index[v]) continue;
      for (;;) {
        const std::uint32_t w = stack.back();
        stack.pop_back();
        result.of[w] = result.count;
        if (w == v) break;
      }
      ++result.count;
    }
  }
  return result;
}

}  // namespace tarnwick
