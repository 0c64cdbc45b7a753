#include "core/exact_graph.hpp"

#include <algorithm>
#include <deque>
#include <tuple>
#include <utility>

#include "core/error.hpp"

namespace tarnwick {

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

struct PendingSite {
  std::uint32_t from;
  std::uint32_t to;
  Site site;
  auto key() const noexcept { return std::tuple(from, to, site.line, site.context); }
};

}  // namespace

ExactGraph::Parts ExactGraph::parts_of(const DepGraph& graph, const WalkFindings& findings,
                                       std::optional<std::string_view> drop) {
  const auto n = static_cast<std::uint32_t>(graph.size());
  const std::uint32_t dropped = drop ? graph.index_of(*drop).value_or(kNone) : kNone;
  Parts parts;
  std::vector<std::uint32_t> index(n, kNone);
  for (std::uint32_t p = 0; p < n; ++p) {
    if (p == dropped) continue;
    const DepNode& node = graph.node_at(p);
    index[p] = static_cast<std::uint32_t>(parts.nodes.size());
    parts.nodes.push_back(Node{node.name, node.spec.kind, node.spec.origin, -1});
  }
  for (const EdgeSite& s : findings.sites) {
    if (s.from == dropped || s.to == dropped) continue;
    parts.edges.push_back(EdgeSite{index[s.from], index[s.to], s.site});
  }
  if (dropped != kNone) {
    for (const std::string_view dep : graph.node_at(dropped).dependencies) {
      const std::optional<std::uint32_t> p = graph.index_of(dep);
      if (p && index[*p] != kNone) parts.roots.push_back(index[*p]);
    }
  } else if (n > 0) {
    parts.roots.push_back(index[0]);  // the walk adds its root first
  }
  parts.problems = findings.problems;
  if (drop) {
    for (Problem& p : parts.problems) {
      if (p.importer == *drop) p.importer.clear();
    }
  }
  return parts;
}

ExactGraph ExactGraph::assemble(Parts parts) {
  const auto n = static_cast<std::uint32_t>(parts.nodes.size());

  // What the roots reach, over the parts' edges.
  std::vector<std::uint32_t> begin(n + 1, 0);
  for (const EdgeSite& e : parts.edges) ++begin[e.from + 1];
  for (std::uint32_t i = 0; i < n; ++i) begin[i + 1] += begin[i];
  std::vector<std::uint32_t> targets(parts.edges.size());
  {
    std::vector<std::uint32_t> fill(begin.begin(), begin.end() - 1);
    for (const EdgeSite& e : parts.edges) targets[fill[e.from]++] = e.to;
  }
  std::vector<bool> reached(n, false);
  std::vector<std::uint32_t> stack;
  for (const std::uint32_t r : parts.roots) {
    if (!reached[r]) stack.push_back(r);
    reached[r] = true;
  }
  while (!stack.empty()) {
    const std::uint32_t i = stack.back();
    stack.pop_back();
    for (std::uint32_t k = begin[i]; k < begin[i + 1]; ++k) {
      if (!reached[targets[k]]) {
        reached[targets[k]] = true;
        stack.push_back(targets[k]);
      }
    }
  }

  // The reached nodes in name order.
  std::vector<std::uint32_t> order;
  order.reserve(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    if (reached[i]) order.push_back(i);
  }
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return parts.nodes[a].name < parts.nodes[b].name;
  });
  std::vector<std::uint32_t> index(n, kNone);
  for (std::uint32_t k = 0; k < order.size(); ++k) index[order[k]] = k;

  ExactGraph g;
  g.nodes_.reserve(order.size());
  for (const std::uint32_t i : order) {
    g.nodes_.push_back(std::move(parts.nodes[i]));
    g.nodes_.back().depth = -1;
  }

  // Sites bucketed by importer (a counting sort), then each bucket in
  // order of imported module and line, without duplicates: no comparison
  // sort over all the sites, which a rebuild would pay each time.
  const auto m = static_cast<std::uint32_t>(order.size());
  std::vector<std::uint32_t> bucket(m + 1, 0);
  for (const EdgeSite& e : parts.edges) {
    if (index[e.from] != kNone && index[e.to] != kNone) ++bucket[index[e.from] + 1];
  }
  for (std::uint32_t i = 0; i < m; ++i) bucket[i + 1] += bucket[i];
  std::vector<PendingSite> pending(bucket[m]);
  {
    std::vector<std::uint32_t> fill(bucket.begin(), bucket.end() - 1);
    for (const EdgeSite& e : parts.edges) {
      if (index[e.from] != kNone && index[e.to] != kNone) {
        pending[fill[index[e.from]]++] = PendingSite{index[e.from], index[e.to], e.site};
      }
    }
  }
  g.out_begin_.assign(m + 1, 0);
  g.sites_.reserve(pending.size());
  for (std::uint32_t i = 0; i < m; ++i) {
    const auto first = pending.begin() + bucket[i];
    const auto last = pending.begin() + bucket[i + 1];
    std::sort(first, last,
              [](const PendingSite& a, const PendingSite& b) { return a.key() < b.key(); });
    for (auto it = first; it != last; ++it) {
      if (it != first && it->key() == (it - 1)->key()) continue;
      if (it == first || it->to != (it - 1)->to) {
        g.out_.push_back(it->to);
        g.site_begin_.push_back(static_cast<std::uint32_t>(g.sites_.size()));
      }
      g.sites_.push_back(it->site);
    }
    g.out_begin_[i + 1] = static_cast<std::uint32_t>(g.out_.size());
  }
  g.site_begin_.push_back(static_cast<std::uint32_t>(g.sites_.size()));

  for (const std::uint32_t r : parts.roots) g.roots_.push_back(index[r]);
  std::sort(g.roots_.begin(), g.roots_.end());
  g.roots_.erase(std::unique(g.roots_.begin(), g.roots_.end()), g.roots_.end());

  // True depths: breadth-first from the roots.
  std::deque<std::uint32_t> queue;
  for (const std::uint32_t r : g.roots_) {
    g.nodes_[r].depth = 0;
    queue.push_back(r);
  }
  while (!queue.empty()) {
    const std::uint32_t i = queue.front();
    queue.pop_front();
    for (const std::uint32_t j : g.imports(i)) {
      if (g.nodes_[j].depth >= 0) continue;
      g.nodes_[j].depth = g.nodes_[i].depth + 1;
      queue.push_back(j);
    }
  }

  for (Problem& p : parts.problems) {
    if (p.importer.empty() || g.find(p.importer)) g.problems_.push_back(std::move(p));
  }
  g.index_importers();
  return g;
}

ExactGraph::Parts ExactGraph::parts() const {
  Parts parts;
  parts.nodes = nodes_;
  parts.edges.reserve(sites_.size());
  for (std::uint32_t i = 0; i < nodes_.size(); ++i) {
    for (std::uint32_t e = out_begin_[i]; e < out_begin_[i + 1]; ++e) {
      for (std::uint32_t s = site_begin_[e]; s < site_begin_[e + 1]; ++s) {
        parts.edges.push_back(EdgeSite{i, out_[e], sites_[s]});
      }
    }
  }
  parts.roots = roots_;
  parts.problems = problems_;
  return parts;
}

void ExactGraph::index_importers() {
  const std::size_t n = nodes_.size();
  in_begin_.assign(n + 1, 0);
  for (const std::uint32_t j : out_) ++in_begin_[j + 1];
  for (std::size_t i = 0; i < n; ++i) in_begin_[i + 1] += in_begin_[i];
  in_.assign(out_.size(), 0);
  std::vector<std::uint32_t> fill(in_begin_.begin(), in_begin_.end() - 1);
  for (std::uint32_t i = 0; i < n; ++i) {
    for (const std::uint32_t j : imports(i)) in_[fill[j]++] = i;  // ascending i: sorted
  }
}

std::optional<std::uint32_t> ExactGraph::find(std::string_view name) const noexcept {
  const auto it =
      std::lower_bound(nodes_.begin(), nodes_.end(), name,
                       [](const Node& node, std::string_view n) { return node.name < n; });
  if (it == nodes_.end() || it->name != name) return std::nullopt;
  return static_cast<std::uint32_t>(it - nodes_.begin());
}

std::span<const std::uint32_t> ExactGraph::imports(std::uint32_t i) const noexcept {
  return {out_.data() + out_begin_[i], out_begin_[i + 1] - out_begin_[i]};
}

std::span<const std::uint32_t> ExactGraph::importers_of(std::uint32_t i) const noexcept {
  return {in_.data() + in_begin_[i], in_begin_[i + 1] - in_begin_[i]};
}

std::span<const Site> ExactGraph::sites(std::uint32_t from, std::uint32_t to) const noexcept {
  const std::span<const std::uint32_t> out = imports(from);
  const auto it = std::lower_bound(out.begin(), out.end(), to);
  if (it == out.end() || *it != to) return {};
  const std::size_t e = out_begin_[from] + static_cast<std::size_t>(it - out.begin());
  return {sites_.data() + site_begin_[e], site_begin_[e + 1] - site_begin_[e]};
}

std::vector<std::vector<std::uint32_t>> ExactGraph::cycles() const {
  // Tarjan's algorithm with an explicit stack of (node, next edge).
  const auto n = static_cast<std::uint32_t>(nodes_.size());
  std::vector<std::uint32_t> order(n, kNone);
  std::vector<std::uint32_t> low(n, 0);
  std::vector<bool> on_stack(n, false);
  std::vector<std::uint32_t> stack;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> calls;
  std::vector<std::vector<std::uint32_t>> out;
  std::uint32_t counter = 0;
  for (std::uint32_t start = 0; start < n; ++start) {
    if (order[start] != kNone) continue;
    calls.emplace_back(start, out_begin_[start]);
    order[start] = low[start] = counter++;
    stack.push_back(start);
    on_stack[start] = true;
    while (!calls.empty()) {
      auto& [v, e] = calls.back();
      if (e < out_begin_[v + 1]) {
        const std::uint32_t w = out_[e++];
        if (order[w] == kNone) {
          order[w] = low[w] = counter++;
          stack.push_back(w);
          on_stack[w] = true;
          calls.emplace_back(w, out_begin_[w]);
        } else if (on_stack[w]) {
          low[v] = std::min(low[v], order[w]);
        }
        continue;
      }
      const std::uint32_t done = v;
      calls.pop_back();
      if (!calls.empty()) low[calls.back().first] = std::min(low[calls.back().first], low[done]);
      if (low[done] != order[done]) continue;
      std::vector<std::uint32_t> component;
      std::uint32_t w = kNone;
      do {
        w = stack.back();
        stack.pop_back();
        on_stack[w] = false;
        component.push_back(w);
      } while (w != done);
      if (component.size() > 1) {
        std::sort(component.begin(), component.end());
        out.push_back(std::move(component));
      }
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::uint32_t> ExactGraph::importers(std::span<const std::uint32_t> targets,
                                                 bool transitive) const {
  std::vector<bool> seen(nodes_.size(), false);
  std::vector<std::uint32_t> frontier(targets.begin(), targets.end());
  std::vector<std::uint32_t> out;
  while (!frontier.empty()) {
    std::vector<std::uint32_t> next;
    for (const std::uint32_t t : frontier) {
      for (const std::uint32_t i : importers_of(t)) {
        if (seen[i]) continue;
        seen[i] = true;
        out.push_back(i);
        next.push_back(i);
      }
    }
    if (!transitive) break;
    frontier = std::move(next);
  }
  std::sort(out.begin(), out.end());
  return out;
}

ExactGraph ExactGraph::subgraph(const std::vector<bool>& keep) const {
  ExactGraph g;
  std::vector<std::uint32_t> index(nodes_.size(), kNone);
  for (std::uint32_t i = 0; i < nodes_.size(); ++i) {
    if (!keep[i]) continue;
    index[i] = static_cast<std::uint32_t>(g.nodes_.size());
    g.nodes_.push_back(nodes_[i]);
  }
  g.out_begin_.push_back(0);
  g.site_begin_.push_back(0);
  for (std::uint32_t i = 0; i < nodes_.size(); ++i) {
    if (!keep[i]) continue;
    for (std::uint32_t e = out_begin_[i]; e < out_begin_[i + 1]; ++e) {
      if (index[out_[e]] == kNone) continue;
      g.out_.push_back(index[out_[e]]);
      g.sites_.insert(g.sites_.end(), sites_.begin() + site_begin_[e],
                      sites_.begin() + site_begin_[e + 1]);
      g.site_begin_.push_back(static_cast<std::uint32_t>(g.sites_.size()));
    }
    g.out_begin_.push_back(static_cast<std::uint32_t>(g.out_.size()));
  }
  for (const std::uint32_t r : roots_) {
    if (index[r] != kNone) g.roots_.push_back(index[r]);
  }
  for (const Problem& p : problems_) {
    const std::optional<std::uint32_t> at = find(p.importer);
    if (p.importer.empty() || (at && keep[*at])) g.problems_.push_back(p);
  }
  g.index_importers();
  return g;
}

}  // namespace tarnwick
