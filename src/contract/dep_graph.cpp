#include "contract/dep_graph.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <limits>
#include <utility>

#include "common/components.hpp"
#include "common/error.hpp"
#include "common/log.hpp"

namespace tarnwick {

namespace {

std::size_t hash_text(std::string_view text) noexcept {
  return std::hash<std::string_view>{}(text);
}

// `depth + steps` in 32-bit signed range; depths that large do not arise in
// practice, so the sum simply saturates instead of wrapping.
std::int32_t depth_plus(std::int32_t depth, std::uint64_t steps) noexcept {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  const std::int64_t sum = static_cast<std::int64_t>(depth) +
                           static_cast<std::int64_t>(std::min<std::uint64_t>(steps, kMax));
  return static_cast<std::int32_t>(std::min(sum, kMax));
}

}  // namespace

// ---- DepNode -------------------------------------------------------------

DepNode::DepNode(ModuleSpec module_spec, std::optional<std::int32_t> initial_depth)
    : name(module_spec.name), spec(std::move(module_spec)), depth(initial_depth) {}

namespace {

// A node merges only with a node of the same file.
void check_same_origin(const ModuleSpec& into, const ModuleSpec& other) {
  if (into.origin) {
    if (!other.origin) fail(kAbsentValue);
    if (*into.origin != *other.origin) {
      fail("assertion failed: origin == &other.spec.origin.unwrap()");
    }
  }
}

// The checks of a node-level merge, made before anything changes.
void check_mergeable(const DepNode& into, const DepNode& other) {
  if (into.name != other.name) fail("assertion failed: self.name == other.name");
  check_same_origin(into.spec, other.spec);
}

// Absent counts as smaller than every present depth.
void merge_depth(std::optional<std::int32_t>& into, std::optional<std::int32_t> other) {
  if (!other || (into && *other < *into)) into = other;
}

}  // namespace

void DepNode::merge(DepNode&& other) {
  check_mergeable(*this, other);
  dependencies.insert_all(std::move(other.dependencies));
  dependents.insert_all(std::move(other.dependents));
  merge_depth(depth, other.depth);
}

void DepNode::merge(const DepNode& other) {
  check_mergeable(*this, other);
  dependencies.insert_all(other.dependencies);
  dependents.insert_all(other.dependents);
  merge_depth(depth, other.depth);
}

// ---- DepGraph: index -----------------------------------------------------

std::uint32_t DepGraph::hash_name(std::string_view name) noexcept {
  const std::size_t h = hash_text(name);
  return static_cast<std::uint32_t>(h ^ (static_cast<std::uint64_t>(h) >> 32));
}

std::uint32_t DepGraph::position(std::string_view name) const noexcept {
  if (index_.empty()) return kMissing;
  const std::uint32_t hash = hash_name(name);
  const std::size_t mask = index_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& s = index_[i];
    if (s.node == kEmpty) return kMissing;
    if (s.hash == hash && nodes_[s.node].name == name) return s.node;
  }
}

void DepGraph::grow_index() {
  std::vector<Slot> old = std::move(index_);
  index_.assign(old.empty() ? 16 : 2 * old.size(), Slot{kEmpty, 0});
  const std::size_t mask = index_.size() - 1;
  for (const Slot& s : old) {
    if (s.node == kEmpty) continue;
    std::size_t i = s.hash & mask;
    while (index_[i].node != kEmpty) i = (i + 1) & mask;
    index_[i] = s;
  }
}

std::optional<std::uint32_t> DepGraph::index_of(std::string_view name) const noexcept {
  const std::uint32_t pos = position(name);
  if (pos == kMissing) return std::nullopt;
  return pos;
}

bool DepGraph::has_node(std::string_view name) const noexcept {
  return position(name) != kMissing;
}

const DepNode* DepGraph::find(std::string_view name) const noexcept {
  const std::uint32_t pos = position(name);
  return pos == kMissing ? nullptr : &nodes_[pos];
}

const DepNode& DepGraph::at(std::string_view name) const {
  const DepNode* node = find(name);
  if (node == nullptr) fail("Node does not exist on graph: ", name);
  return *node;
}

// ---- DepGraph: primitives ------------------------------------------------

const DepNode& DepGraph::add(DepNode node) {
  if (has_node(node.name)) fail("assertion failed: !self.nodes.contains_key(&node.name)");
  return add_new(std::move(node));
}

const DepNode& DepGraph::add_new(DepNode node) {
  TW_LOG_DEBUG(log::kTypesTarget, "Adding node to graph: ", node.name);

  // Keep the load factor at or below 3/4.
  if (4 * (nodes_.size() + 1) > 3 * index_.size()) grow_index();
  const std::uint32_t hash = hash_name(node.name);
  const auto pos = static_cast<std::uint32_t>(nodes_.size());
  nodes_.push_back(std::move(node));
  const std::size_t mask = index_.size() - 1;
  std::size_t i = hash & mask;
  while (index_[i].node != kEmpty) i = (i + 1) & mask;
  index_[i] = Slot{pos, hash};
  return nodes_.back();
}

std::pair<std::uint32_t, std::uint32_t> DepGraph::add_dependency(std::string_view from,
                                                                 std::string_view to) {
  TW_LOG_DEBUG(log::kTypesTarget, "Add dependency '", from, "' -> '", to, "'");
  const std::uint32_t from_pos = position(from);
  if (from_pos == kMissing) fail("Node does not exist on graph: ", from);
  const std::uint32_t to_pos = position(to);
  if (to_pos == kMissing) fail("Node does not exist on graph: ", to);

  // The stored names outlive the inserts below, whatever `from` and `to` view.
  DepNode& from_node = nodes_[from_pos];
  DepNode& to_node = nodes_[to_pos];
  to_node.dependents.insert(std::string_view(from_node.name));
  from_node.dependencies.insert(std::string_view(to_node.name));

  if (!from_node.depth) {
    fail("Attempted to add dependency from node with uninitialized depth named: ", from);
  }
  const std::int32_t candidate = depth_plus(*from_node.depth, 1);
  if (to_node.depth) {
    if (*to_node.depth <= candidate) return {from_pos, to_pos};
    TW_LOG_DEBUG(log::kTypesTarget, "Found shorter depth to '", to_node.name, "' new depth is ",
                 candidate);
  } else {
    TW_LOG_DEBUG(log::kTypesTarget, "Initializing depth of node '", to_node.name, "' to ",
                 candidate);
  }
  to_node.depth = candidate;
  return {from_pos, to_pos};
}

std::uint64_t DepGraph::num_dependencies() const noexcept {
  std::uint64_t count = 0;
  for (const DepNode& n : nodes_) count += n.dependencies.size();
  return count;
}

// ---- DepGraph: combination -----------------------------------------------

template <class Taken>
DepGraph::Reach DepGraph::reach_in_copy_order(std::uint32_t start, Taken&& taken) const {
  // Pending names form a min-heap in byte-wise name order; a node is pending
  // at most once. Each entry carries the name's first eight bytes as a
  // big-endian key, so most comparisons are one integer comparison; ties
  // fall back to the full names.
  struct Pending {
    std::uint64_t key;
    std::uint32_t pos;
  };
  const auto later = [this](const Pending& a, const Pending& b) {
    if (a.key != b.key) return b.key < a.key;
    return nodes_[b.pos].name < nodes_[a.pos].name;
  };
  const auto pending_of = [this](std::uint32_t pos) {
    const std::string& n = nodes_[pos].name;
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < 8; ++i) {
      key = (key << 8) | (i < n.size() ? static_cast<unsigned char>(n[i]) : 0u);
    }
    return Pending{key, pos};
  };
  constexpr std::uint32_t kUnseen = 0xFFFFFFFFu;
  constexpr std::uint32_t kPending = 0xFFFFFFFEu;
  std::vector<std::uint32_t> rank(nodes_.size(), kUnseen);  // position -> index in `order`
  std::vector<Pending> pending{pending_of(start)};
  rank[start] = kPending;

  Reach reach;
  std::vector<std::uint32_t> targets;  // dependency positions, translated to ranks below
  while (!pending.empty()) {
    std::pop_heap(pending.begin(), pending.end(), later);
    const std::uint32_t pos = pending.back().pos;
    pending.pop_back();
    rank[pos] = static_cast<std::uint32_t>(reach.order.size());
    reach.order.push_back(pos);
    reach.edge_begin.push_back(static_cast<std::uint32_t>(targets.size()));
    taken(pos);
    for (const std::string_view dep : nodes_[pos].dependencies) {
      const std::uint32_t dep_pos = position(dep);
      if (dep_pos == kMissing) fail("Node does not exist on graph: ", dep);
      targets.push_back(dep_pos);
      if (rank[dep_pos] != kUnseen) continue;
      rank[dep_pos] = kPending;
      pending.push_back(pending_of(dep_pos));
      std::push_heap(pending.begin(), pending.end(), later);
    }
  }
  reach.edge_begin.push_back(static_cast<std::uint32_t>(targets.size()));
  for (std::uint32_t& t : targets) t = rank[t];
  reach.edges = std::move(targets);
  return reach;
}

DepGraph DepGraph::clone_from(std::string_view name) const {
  const std::uint32_t start = position(name);
  if (start == kMissing) fail("assertion failed: self.has_node(name)");

  DepGraph result;
  const Reach reach =
      reach_in_copy_order(start, [&](std::uint32_t pos) { result.add_new(DepNode(nodes_[pos])); });

  // Where a node has fewer importers inside the copy than `dependents`, the
  // others lie outside it and are dropped.
  std::vector<std::uint32_t> inner_importers(reach.order.size(), 0);
  for (const std::uint32_t target : reach.edges) ++inner_importers[target];
  for (std::size_t i = 0; i < reach.order.size(); ++i) {
    DepNode& node = result.nodes_[i];
    if (inner_importers[i] == node.dependents.size()) continue;
    node.dependents.retain_if([&](std::string_view n) { return result.has_node(n); });
  }
  return result;
}

void DepGraph::merge(const DepGraph& other) {
  for (const DepNode& node : other.nodes_) {
    const std::uint32_t pos = position(node.name);
    if (pos == kMissing) {
      add_new(DepNode(node));
    } else {
      nodes_[pos].merge(node);
    }
  }
}

void DepGraph::merge(DepGraph&& other) {
  for (DepNode& node : other.nodes_) {
    const std::uint32_t pos = position(node.name);
    if (pos == kMissing) {
      add_new(std::move(node));
    } else {
      nodes_[pos].merge(std::move(node));
    }
  }
}

// Depth numbering of an attached graph: a breadth-first walk from `to` gives
// every node it reaches the depth of `from` plus one plus its distance from
// `to`. So `to` lands one step below `from`, and every attached node counts
// import steps from the root along the shortest path through `from` and
// `to` within `other`, the same meaning a depth has on the fresh path. The
// merge then keeps the smaller of this and any depth the node already had.
void DepGraph::add_graph(std::string_view from, std::string_view to, DepGraph other) {
  TW_LOG_DEBUG(log::kTypesTarget, "Adding graph with ", other.size(), " nodes linked by ", from,
               " -> ", to);
  const std::uint32_t from_pos = position(from);
  if (from_pos == kMissing) fail("Node does not exist on graph: ", from);
  const std::uint32_t to_pos = other.position(to);
  if (to_pos == kMissing) fail("Node does not exist on graph: ", to);

  for (DepNode& node : other.nodes_) node.depth.reset();

  const std::optional<std::int32_t> from_depth = nodes_[from_pos].depth;
  if (!from_depth) fail(kAbsentValue);

  // Breadth-first walk; `queue` doubles as the visit order, and a node's
  // distance is set on its first visit (depth present means visited).
  std::vector<std::uint32_t> queue{to_pos};
  other.nodes_[to_pos].depth = depth_plus(*from_depth, 1);
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const DepNode& node = other.nodes_[queue[head]];
    const std::int32_t next = depth_plus(*node.depth, 1);
    for (const std::string_view dep : node.dependencies) {
      const std::uint32_t pos = other.position(dep);
      if (pos == kMissing || other.nodes_[pos].depth) continue;
      other.nodes_[pos].depth = next;
      queue.push_back(pos);
    }
  }

  // `to` may view a name inside `other`, which the merge consumes.
  const std::string to_name(to);
  const std::string_view from_name = nodes_[from_pos].name;  // stable: nodes never move
  merge(std::move(other));
  add_dependency(from_name, to_name);
}

// Why stopping at a settled node changes nothing: the plain attach gives a
// node x it reaches the depth min(old, d + dist(to, x)), with d the depth of
// `from` plus one, and unites its dependencies. Take a shortest path from
// `to` to x and its first node u that this walk does not expand: u is met at
// its true distance and was settled at s <= d + dist(to, u), so x was
// already here, with its dependencies, at most s + dist(u, x) <= d + dist(to,
// x) deep. Importers are added from the importer's side: an importer that is
// not expanded has the edge already, on both ends. A node settled at s stays
// settled: depths only fall and sets only grow during a build.
void DepGraph::attach_settled(std::string_view from, const DepGraph& source, std::string_view to,
                              SettledAttach& attached) {
  constexpr std::int32_t kUnsettled = std::numeric_limits<std::int32_t>::max();
  const std::uint32_t start = source.position(to);
  if (start == kMissing) fail("assertion failed: self.has_node(name)");
  const std::uint32_t from_pos = position(from);
  if (from_pos == kMissing) fail("Node does not exist on graph: ", from);
  const std::optional<std::int32_t> from_depth = nodes_[from_pos].depth;
  if (!from_depth) fail(kAbsentValue);

  // Breadth-first from `to`, reading only: the nodes to expand, each with
  // its depth and its position here (kMissing for a new one).
  struct Visit {
    std::uint32_t source;
    std::int32_t depth;
    std::uint32_t here;
  };
  if (attached.seen.size() < source.size()) attached.seen.resize(source.size(), 0);
  const std::uint32_t mark = ++attached.attach;
  std::vector<Visit> walk{{start, depth_plus(*from_depth, 1), kMissing}};
  attached.seen[start] = mark;
  std::vector<Visit> expand;
  for (std::size_t head = 0; head < walk.size(); ++head) {
    Visit v = walk[head];
    const DepNode& src = source.nodes_[v.source];
    v.here = position(src.name);
    if (v.here != kMissing && v.here < attached.settled.size() &&
        attached.settled[v.here] != kUnsettled && attached.settled[v.here] <= v.depth) {
      continue;
    }
    expand.push_back(v);
    const std::int32_t next = depth_plus(v.depth, 1);
    for (const std::string_view dep : src.dependencies) {
      const std::uint32_t dep_pos = source.position(dep);
      if (dep_pos == kMissing) fail("Node does not exist on graph: ", dep);
      if (attached.seen[dep_pos] == mark) continue;
      attached.seen[dep_pos] = mark;
      walk.push_back({dep_pos, next, kMissing});
    }
  }

  const std::string to_name(to);
  const std::string_view from_name = nodes_[from_pos].name;  // stable: nodes never move
  for (Visit& v : expand) {
    const DepNode& src = source.nodes_[v.source];
    if (v.here == kMissing) {
      DepNode node(src.spec, v.depth);
      node.name = src.name;
      node.dependencies = src.dependencies;
      add_new(std::move(node));
      v.here = static_cast<std::uint32_t>(nodes_.size() - 1);
    } else {
      DepNode& node = nodes_[v.here];
      check_same_origin(node.spec, src.spec);
      node.dependencies.insert_all(src.dependencies);
      if (node.depth && v.depth < *node.depth) node.depth = v.depth;
    }
    if (attached.settled.size() < nodes_.size()) attached.settled.resize(nodes_.size(), kUnsettled);
    attached.settled[v.here] = v.depth;
  }
  for (const Visit& v : expand) {
    const std::string_view importer = nodes_[v.here].name;
    for (const std::string_view dep : source.nodes_[v.source].dependencies) {
      nodes_[position(dep)].dependents.insert(importer);
    }
  }
  attached.hits.push_back(start);
  add_dependency(from_name, to_name);
}

std::uint64_t DepGraph::edges_reached(const std::vector<std::uint32_t>& starts) const {
  if (starts.empty()) return 0;
  // The part reachable from any start, with local ids and resolved edges.
  constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  std::vector<std::uint32_t> local(nodes_.size(), kNone);
  std::vector<std::uint32_t> order;  // local id -> position
  for (const std::uint32_t s : starts) {
    if (local[s] != kNone) continue;
    local[s] = static_cast<std::uint32_t>(order.size());
    order.push_back(s);
  }
  std::vector<std::uint32_t> succ_begin{0};
  std::vector<std::uint32_t> succ;
  for (std::size_t i = 0; i < order.size(); ++i) {
    for (const std::string_view dep : nodes_[order[i]].dependencies) {
      const std::uint32_t pos = position(dep);
      if (pos == kMissing) fail("Node does not exist on graph: ", dep);
      if (local[pos] == kNone) {
        local[pos] = static_cast<std::uint32_t>(order.size());
        order.push_back(pos);
      }
      succ.push_back(local[pos]);
    }
    succ_begin.push_back(static_cast<std::uint32_t>(succ.size()));
  }
  const std::size_t m = order.size();

  const Components components = strong_components(succ_begin, succ);
  const std::vector<std::uint32_t>& comp = components.of;
  const std::uint32_t comps = components.count;
  std::vector<std::uint64_t> comp_edges(comps, 0);
  for (std::uint32_t v = 0; v < m; ++v) comp_edges[comp[v]] += succ_begin[v + 1] - succ_begin[v];
  std::vector<std::vector<std::uint32_t>> members(comps);
  for (std::uint32_t v = 0; v < m; ++v) members[comp[v]].push_back(v);

  // Which starts reach each component, 512 starts at a time: pushed along
  // the edges from the highest component number down.
  constexpr std::size_t kWords = 8;
  std::uint64_t total = 0;
  std::vector<std::uint64_t> bits(comps * kWords);
  for (std::size_t first = 0; first < starts.size(); first += kWords * 64) {
    const std::size_t batch = std::min(starts.size() - first, kWords * 64);
    std::fill(bits.begin(), bits.end(), 0);
    for (std::size_t k = 0; k < batch; ++k) {
      bits[comp[local[starts[first + k]]] * kWords + k / 64] |= std::uint64_t{1} << (k % 64);
    }
    for (std::uint32_t c = comps; c-- > 0;) {
      const std::uint64_t* from_bits = &bits[c * kWords];
      std::uint64_t reached = 0;
      for (std::size_t w = 0; w < kWords; ++w) reached += std::popcount(from_bits[w]);
      total += reached * comp_edges[c];
      for (const std::uint32_t v : members[c]) {
        for (std::uint32_t e = succ_begin[v]; e < succ_begin[v + 1]; ++e) {
          const std::uint32_t d = comp[succ[e]];
          if (d == c) continue;
          for (std::size_t w = 0; w < kWords; ++w) bits[d * kWords + w] |= from_bits[w];
        }
      }
    }
  }
  return total;
}

}  // namespace tarnwick
