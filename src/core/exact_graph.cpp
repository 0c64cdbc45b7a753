#include "core/exact_graph.hpp"

#include <algorithm>
#include <deque>
#include <tuple>
#include <utility>

#include "core/components.hpp"
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
    parts.nodes.push_back(Module{node.name, node.spec.kind, node.spec.origin});
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
  auto modules = std::make_shared<std::vector<Module>>();
  modules->reserve(order.size());
  for (const std::uint32_t i : order) modules->push_back(std::move(parts.nodes[i]));
  g.modules_ = std::move(modules);

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

  g.compute_depths();  // all reached, by construction

  for (Problem& p : parts.problems) {
    if (p.importer.empty() || g.find(p.importer)) g.problems_.push_back(std::move(p));
  }
  g.index_importers();
  return g;
}

bool ExactGraph::compute_depths() {
  depths_.assign(size(), -1);
  std::deque<std::uint32_t> queue;
  for (const std::uint32_t r : roots_) {
    depths_[r] = 0;
    queue.push_back(r);
  }
  std::size_t reached = queue.size();
  while (!queue.empty()) {
    const std::uint32_t i = queue.front();
    queue.pop_front();
    for (const std::uint32_t j : imports(i)) {
      if (depths_[j] >= 0) continue;
      depths_[j] = depths_[i] + 1;
      queue.push_back(j);
      ++reached;
    }
  }
  return reached == size();
}

std::optional<ExactGraph> ExactGraph::with_imports(
    const std::vector<std::pair<std::uint32_t, std::vector<EdgeSite>>>& replaced,
    std::vector<Problem> problems) const {
  const auto n = static_cast<std::uint32_t>(size());
  std::vector<std::uint32_t> which(n, kNone);  // entry of `replaced` for a module
  for (std::uint32_t k = 0; k < replaced.size(); ++k) which[replaced[k].first] = k;

  ExactGraph g;
  g.modules_ = modules_;
  g.roots_ = roots_;
  g.out_begin_.reserve(n + 1);
  g.out_begin_.push_back(0);
  g.out_.reserve(out_.size());
  g.site_begin_.reserve(site_begin_.size());
  g.sites_.reserve(sites_.size());
  std::vector<PendingSite> pending;
  for (std::uint32_t i = 0; i < n; ++i) {
    if (which[i] == kNone) {  // unchanged: copied as it is
      for (std::uint32_t e = out_begin_[i]; e < out_begin_[i + 1]; ++e) {
        g.out_.push_back(out_[e]);
        g.site_begin_.push_back(static_cast<std::uint32_t>(g.sites_.size()));
        g.sites_.insert(g.sites_.end(), sites_.begin() + site_begin_[e],
                        sites_.begin() + site_begin_[e + 1]);
      }
    } else {
      pending.clear();
      for (const EdgeSite& e : replaced[which[i]].second) pending.push_back({i, e.to, e.site});
      std::sort(pending.begin(), pending.end(),
                [](const PendingSite& a, const PendingSite& b) { return a.key() < b.key(); });
      for (std::size_t k = 0; k < pending.size(); ++k) {
        if (k > 0 && pending[k].key() == pending[k - 1].key()) continue;
        if (k == 0 || pending[k].to != pending[k - 1].to) {
          g.out_.push_back(pending[k].to);
          g.site_begin_.push_back(static_cast<std::uint32_t>(g.sites_.size()));
        }
        g.sites_.push_back(pending[k].site);
      }
    }
    g.out_begin_.push_back(static_cast<std::uint32_t>(g.out_.size()));
  }
  g.site_begin_.push_back(static_cast<std::uint32_t>(g.sites_.size()));
  if (!g.compute_depths()) return std::nullopt;
  g.problems_ = std::move(problems);
  g.index_importers();
  return g;
}

ExactGraph::Parts ExactGraph::parts() const {
  Parts parts;
  parts.nodes = *modules_;
  parts.edges.reserve(sites_.size());
  for (std::uint32_t i = 0; i < size(); ++i) {
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
  const std::size_t n = size();
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
  if (!modules_) return std::nullopt;
  const std::vector<Module>& modules = *modules_;
  const auto it = std::lower_bound(modules.begin(), modules.end(), name,
                                   [](const Module& m, std::string_view n) { return m.name < n; });
  if (it == modules.end() || it->name != name) return std::nullopt;
  return static_cast<std::uint32_t>(it - modules.begin());
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
  const Components components = strong_components(out_begin_, out_);
  std::vector<std::vector<std::uint32_t>> members(components.count);
  for (std::uint32_t v = 0; v < components.of.size(); ++v) members[components.of[v]].push_back(v);
  std::vector<std::vector<std::uint32_t>> out;
  for (auto& component : members) {
    if (component.size() > 1) out.push_back(std::move(component));  // already in node order
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::uint32_t> ExactGraph::importers(std::span<const std::uint32_t> targets,
                                                 bool transitive) const {
  std::vector<bool> seen(size(), false);
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
  std::vector<std::uint32_t> index(size(), kNone);
  auto modules = std::make_shared<std::vector<Module>>();
  for (std::uint32_t i = 0; i < size(); ++i) {
    if (!keep[i]) continue;
    index[i] = static_cast<std::uint32_t>(modules->size());
    modules->push_back(module(i));
    g.depths_.push_back(depths_[i]);
  }
  g.modules_ = std::move(modules);
  g.out_begin_.push_back(0);
  g.site_begin_.push_back(0);
  for (std::uint32_t i = 0; i < size(); ++i) {
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
