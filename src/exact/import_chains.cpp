#include "exact/import_chains.hpp"

#include <algorithm>

namespace tarnwick {

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

enum Role : std::uint8_t { kOther = 0, kSource = 1, kTarget = 2 };

// A private copy of a graph's edges that edges can be taken from.
class Edges {
 public:
  explicit Edges(const ExactGraph& graph) : roles_(graph.size(), kOther) {
    begin_.reserve(graph.size() + 1);
    to_.reserve(graph.edge_count());
    for (std::uint32_t i = 0; i < graph.size(); ++i) {
      begin_.push_back(static_cast<std::uint32_t>(to_.size()));
      const std::span<const std::uint32_t> out = graph.imports(i);
      to_.insert(to_.end(), out.begin(), out.end());
    }
    begin_.push_back(static_cast<std::uint32_t>(to_.size()));
    alive_.assign(to_.size(), 1);
  }

  std::size_t size() const noexcept { return roles_.size(); }
  Role role(std::uint32_t i) const noexcept { return static_cast<Role>(roles_[i]); }
  void mark(std::span<const std::uint32_t> modules, Role role) {
    for (const std::uint32_t i : modules) roles_[i] = role;
  }

  // Calls `visit(j)` for each edge i -> j left, in order of j, until it
  // returns false.
  template <class Visit>
  void each(std::uint32_t i, Visit&& visit) const {
    for (std::uint32_t e = begin_[i]; e < begin_[i + 1]; ++e) {
      if (alive_[e] != 0 && !visit(to_[e])) return;
    }
  }
  // Takes the edges i -> j for which `drop(j)` holds.
  template <class Drop>
  void drop_if(std::uint32_t i, Drop&& drop) {
    for (std::uint32_t e = begin_[i]; e < begin_[i + 1]; ++e) {
      if (drop(to_[e])) alive_[e] = 0;
    }
  }
  void drop(std::uint32_t i, std::uint32_t j) {
    const auto first = to_.begin() + begin_[i], last = to_.begin() + begin_[i + 1];
    const auto at = std::lower_bound(first, last, j);
    if (at != last && *at == j) alive_[static_cast<std::size_t>(at - to_.begin())] = 0;
  }

 private:
  std::vector<std::uint32_t> begin_, to_;
  std::vector<std::uint8_t> alive_;
  std::vector<std::uint8_t> roles_;
};

// A breadth-first search over `edges` from the modules first in `queue`
// (marked in `parent` as their own parents) until a module `reaches` a
// target: that module, or kNone. Modules in `parent` are met once; sources
// are never entered again.
template <class Skip>
std::uint32_t search(const Edges& edges, std::vector<std::uint32_t>& queue,
                     std::vector<std::uint32_t>& parent, Skip&& skip) {
  for (std::size_t k = 0; k < queue.size(); ++k) {
    const std::uint32_t u = queue[k];
    bool reached = false;
    edges.each(u, [&](std::uint32_t v) {
      if (skip(v)) return true;
      if (edges.role(v) == kTarget) {
        reached = true;
        return false;
      }
      if (parent[v] != kNone || edges.role(v) == kSource) return true;
      parent[v] = u;
      queue.push_back(v);
      return true;
    });
    if (reached) return u;
  }
  return kNone;
}

// The modules from the first of the search to `last`, in order.
Chain path_to(std::uint32_t last, const std::vector<std::uint32_t>& parent) {
  Chain chain{last};
  while (parent[chain.back()] != chain.back()) chain.push_back(parent[chain.back()]);
  std::reverse(chain.begin(), chain.end());
  return chain;
}

std::vector<std::uint32_t> sorted_unique(std::vector<std::uint32_t> v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

}  // namespace

std::vector<std::uint32_t> package_members(const ExactGraph& graph, std::uint32_t i,
                                           bool descendants) {
  std::vector<std::uint32_t> out{i};
  if (!descendants) return out;
  const std::string& name = graph.module(i).name;
  for (std::uint32_t j = 0; j < graph.size(); ++j) {
    const std::string& other = graph.module(j).name;
    if (other.size() > name.size() && other[name.size()] == '.' && other.starts_with(name)) {
      out.push_back(j);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<Chain> successive_chains(const ExactGraph& graph,
                                     std::span<const std::uint32_t> sources,
                                     std::span<const std::uint32_t> targets, std::size_t limit) {
  Edges edges(graph);
  edges.mark(sources, kSource);
  edges.mark(targets, kTarget);
  const std::vector<std::uint32_t> starts =
      sorted_unique(std::vector<std::uint32_t>(sources.begin(), sources.end()));
  std::vector<Chain> found;
  std::vector<std::uint32_t> parent(graph.size(), kNone), queue;
  while (limit == 0 || found.size() < limit) {
    for (const std::uint32_t v : queue) parent[v] = kNone;  // what the last search met
    queue = starts;
    for (const std::uint32_t s : starts) parent[s] = s;
    const std::uint32_t last = search(edges, queue, parent, [](std::uint32_t) { return false; });
    if (last == kNone) break;
    Chain chain = path_to(last, parent);
    // The target: the first of `last`'s imports that is one.
    edges.each(last, [&](std::uint32_t v) {
      if (edges.role(v) != kTarget) return true;
      chain.push_back(v);
      return false;
    });
    for (std::size_t k = 0; k + 1 < chain.size(); ++k) edges.drop(chain[k], chain[k + 1]);
    found.push_back(std::move(chain));
  }
  return found;
}

std::vector<Chain> pop_chains(const ExactGraph& graph, std::span<const std::uint32_t> sources,
                              std::span<const std::uint32_t> targets,
                              std::span<const std::uint8_t> excluded) {
  Edges edges(graph);
  edges.mark(sources, kSource);
  edges.mark(targets, kTarget);
  const auto out = [&](std::uint32_t i) { return !excluded.empty() && excluded[i] != 0; };
  const auto is_target = [&](std::uint32_t j) { return edges.role(j) == kTarget; };
  for (const std::uint32_t s : sources) edges.drop_if(s, is_target);
  std::vector<Chain> found;
  std::vector<std::uint32_t> parent(graph.size(), kNone), queue;
  while (true) {
    for (const std::uint32_t v : queue) parent[v] = kNone;  // what the last search met
    // S's imports: every module a source imports that is neither a source
    // nor a target (those edges are gone), ascending.
    queue.clear();
    for (const std::uint32_t s : sources) {
      if (out(s)) continue;
      edges.each(s, [&](std::uint32_t v) {
        if (!out(v) && edges.role(v) == kOther) queue.push_back(v);
        return true;
      });
    }
    queue = sorted_unique(std::move(queue));
    for (const std::uint32_t v : queue) parent[v] = v;
    const std::uint32_t last = search(edges, queue, parent, out);
    if (last == kNone) break;
    Chain middle = path_to(last, parent);
    const std::uint32_t first = middle.front();
    for (const std::uint32_t s : sources) edges.drop(s, first);
    for (std::size_t k = 0; k + 1 < middle.size(); ++k) edges.drop(middle[k], middle[k + 1]);
    edges.drop_if(last, is_target);
    found.push_back(std::move(middle));
  }
  return found;
}

void sort_by_names(const ExactGraph& graph, std::vector<Chain>& chains) {
  std::sort(chains.begin(), chains.end(), [&](const Chain& a, const Chain& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](std::uint32_t x, std::uint32_t y) {
                                          return graph.module(x).name < graph.module(y).name;
                                        });
  });
}

}  // namespace tarnwick
