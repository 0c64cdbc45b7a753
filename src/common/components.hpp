// Strongly connected components of a directed graph held as compressed rows:
// the targets of node i are targets[begin[i]] .. targets[begin[i + 1] - 1].
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tarnwick {

struct Components {
  std::vector<std::uint32_t> of;  // the component of each node
  std::uint32_t count = 0;
};

// Numbers the components as they complete (Tarjan's algorithm, with an
// explicit stack), so every edge goes to a component of the same or a lower
// number: counting down visits them in topological order.
Components strong_components(std::span<const std::uint32_t> begin,
                             std::span<const std::uint32_t> targets);

}  // namespace tarnwick
