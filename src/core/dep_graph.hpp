// The dependency graph: one node per module, keyed by the module's dotted
// name, with every import edge recorded on both ends and a depth (import steps
// from the starting module) on every node.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/module_spec.hpp"

namespace tarnwick {

// A set of module names without duplicates and without a defined order.
//
// The names are packed one after another into a single byte buffer, each
// behind its length (LEB128), so a set costs one allocation and a member costs
// its bytes plus one length byte. Small sets are searched linearly, and once
// a set grows past kIndexThreshold names an open-addressing index of entry
// offsets makes membership tests O(1). Most modules have a handful of edges,
// so most sets never pay for an index. Iteration yields string_views into the
// buffer, valid until the set is next changed.
class NameSet {
 public:
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::string_view*;
    using reference = std::string_view;

    const_iterator() = default;
    std::string_view operator*() const noexcept { return current_; }
    const_iterator& operator++() noexcept {
      pos_ = next_;
      decode();
      return *this;
    }
    const_iterator operator++(int) noexcept {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept {
      return a.pos_ == b.pos_;
    }

   private:
    friend class NameSet;
    const_iterator(const char* pos, const char* end) noexcept : pos_(pos), end_(end) { decode(); }
    void decode() noexcept;

    const char* pos_ = nullptr;   // start of the current entry
    const char* next_ = nullptr;  // start of the following entry
    const char* end_ = nullptr;
    std::string_view current_;
  };

  NameSet() = default;
  NameSet(std::initializer_list<std::string_view> names);

  std::size_t size() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  const_iterator begin() const noexcept { return {buf_.data(), buf_.data() + buf_.size()}; }
  const_iterator end() const noexcept {
    return {buf_.data() + buf_.size(), buf_.data() + buf_.size()};
  }

  bool contains(std::string_view name) const noexcept;

  // Adds `name` unless present; returns whether it was added.
  bool insert(std::string_view name);

  // Adds every name of `other`.
  void insert_all(NameSet&& other);
  void insert_all(const NameSet& other);

  // Removes every name for which `pred(name)` is false.
  template <class Pred>
  void retain_if(Pred pred);

  // Set equality: same names, whatever the order.
  friend bool operator==(const NameSet& a, const NameSet& b) noexcept;

 private:
  static constexpr std::size_t kIndexThreshold = 16;
  static constexpr std::uint32_t kEmptySlot = 0;  // index slots hold offset + 1

  static std::string_view entry_at(const char* p, const char** next = nullptr) noexcept;
  std::size_t find_slot(std::string_view name, std::size_t hash) const noexcept;
  void rebuild_index(std::size_t capacity);
  void append(std::string_view name);
  void drop_index_if_small();

  std::string buf_;                   // packed entries
  std::uint32_t count_ = 0;           // number of names
  std::vector<std::uint32_t> index_;  // empty while the set is small
};

inline std::string_view NameSet::entry_at(const char* p, const char** next) noexcept {
  std::size_t len = 0;
  int shift = 0;
  for (;;) {
    const auto byte = static_cast<unsigned char>(*p++);
    len |= static_cast<std::size_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) break;
    shift += 7;
  }
  if (next != nullptr) *next = p + len;
  return {p, len};
}

inline void NameSet::const_iterator::decode() noexcept {
  if (pos_ == end_) return;
  current_ = entry_at(pos_, &next_);
}

template <class Pred>
void NameSet::retain_if(Pred pred) {
  // Compacts the buffer in place; entries only ever move towards the front.
  char* out = buf_.data();
  const char* p = buf_.data();
  const char* const end = buf_.data() + buf_.size();
  std::uint32_t kept = 0;
  while (p != end) {
    const char* next = nullptr;
    const std::string_view name = entry_at(p, &next);
    const auto entry_len = static_cast<std::size_t>(next - p);
    if (pred(name)) {
      if (out != p) std::memmove(out, p, entry_len);
      out += entry_len;
      ++kept;
    }
    p = next;
  }
  if (kept == count_) return;
  buf_.resize(static_cast<std::size_t>(out - buf_.data()));
  count_ = kept;
  index_.clear();
  if (count_ > kIndexThreshold) rebuild_index(std::max<std::size_t>(32, 4 * count_));
  drop_index_if_small();
}

// One module of a graph.
struct DepNode {
  std::string name;                   // always a copy of spec.name
  ModuleSpec spec;                    // where the module lives
  NameSet dependencies;               // modules this one imports
  NameSet dependents;                 // modules that import this one
  std::optional<std::int32_t> depth;  // import steps from the root; absent until known

  DepNode(ModuleSpec module_spec, std::optional<std::int32_t> initial_depth);

  // Folds `other` (a node of the same module from another graph) into this
  // node: checks name and origin, unites both name sets and keeps the smaller
  // depth, an absent depth counting as smaller than any present one. This
  // node keeps its own spec. Throws InternalError, leaving this node
  // unchanged, when the names differ, or when this node has an origin and
  // `other` has none or a different one.
  void merge(DepNode&& other);
  // The same for a node that stays where it is.
  void merge(const DepNode& other);
};

// What the cache attaches of one build remember between hits (see
// DepGraph::attach_settled). Empty at the start of each build.
struct SettledAttach {
  // By position in the graph being built: a depth s such that everything
  // the source reaches from the node is in the graph, with all its
  // dependencies, and at most s plus its distance from the node deep.
  std::vector<std::int32_t> settled;
  std::vector<std::uint32_t> seen;  // by source position: the last attach that met it
  std::uint32_t attach = 0;         // number of the attach under way
  std::vector<std::uint32_t> hits;  // source positions of the attached modules
};

// The graph: every node under its name. Nodes are never removed or replaced.
//
// Nodes live in a deque, so a stored node keeps its address for the life of
// the graph: references and pointers returned by add() and find() stay valid
// until the graph is destroyed or assigned to (not across moves of the graph
// object itself, as usual). Lookup by name goes through a hashed index of node
// positions; no name is stored twice for it.
//
// Every operation logs at debug level on target "tarnwick::core::types" and
// fails with InternalError as documented on each member.
class DepGraph {
 public:
  using const_iterator = std::deque<DepNode>::const_iterator;

  DepGraph() = default;

  // Number of nodes.
  std::size_t size() const noexcept { return nodes_.size(); }
  bool empty() const noexcept { return nodes_.empty(); }

  // Every node, in no defined order.
  const_iterator begin() const noexcept { return nodes_.begin(); }
  const_iterator end() const noexcept { return nodes_.end(); }

  bool has_node(std::string_view name) const noexcept;

  // The position of `name` in insertion order, or nullopt. Positions are
  // stable (nodes are never removed), so they serve as compact node ids.
  std::optional<std::uint32_t> index_of(std::string_view name) const noexcept;
  // The node at a position index_of gave.
  const DepNode& node_at(std::uint32_t index) const noexcept { return nodes_[index]; }

  // The node named `name`, or nullptr.
  const DepNode* find(std::string_view name) const noexcept;

  // The node named `name`; throws InternalError "Node does not exist on
  // graph: {name}" when there is none.
  const DepNode& at(std::string_view name) const;

  // Stores `node` under its name. Throws, leaving the graph unchanged, when
  // the name is already present.
  const DepNode& add(DepNode node);

  // Records that `from` imports `to` on both ends and updates the depth of
  // `to` to min(its depth, depth(from) + 1). Both must be nodes; `from` must
  // have a depth (when it has none the edge stays recorded and the call
  // throws). A self-edge is recorded like any other edge; since the candidate
  // depth is one more than the node's own, it never changes a depth.
  // Returns the positions (index_of) of `from` and `to`.
  std::pair<std::uint32_t, std::uint32_t> add_dependency(std::string_view from,
                                                         std::string_view to);

  // Number of edges: the sum of the sizes of all `dependencies` sets.
  std::uint64_t num_dependencies() const noexcept;

  // A new graph holding copies of `name` and of every node reachable from it
  // through `dependencies`, copied in byte-wise order of the names among
  // those discovered; `dependents` outside the result are dropped.
  DepGraph clone_from(std::string_view name) const;

  // Folds every node of `other` into this graph: new names are added, known
  // ones are merged node by node (DepNode::merge). On a failed node merge the
  // nodes handled before stay, the rest of `other` is dropped.
  void merge(DepGraph&& other);
  // The same, copying only what this graph lacks from a graph that stays as
  // it is (the builder folds each result into its cache this way).
  void merge(const DepGraph& other);

  // Attaches `other`, whose top node is `to`, below the node `from` of this
  // graph: gives the nodes of `other` fresh depths, merges `other` and adds
  // the edge from -> to.
  void add_graph(std::string_view from, std::string_view to, DepGraph other);

  // Does exactly what add_graph(from, to, source.clone_from(to)) does (the
  // same nodes, edges and depths, the same records in the same order, the
  // same failures) without building the copied graph in between: nodes this
  // graph already holds are merged straight from `source`. Returns the
  // number of edges of the copy, its num_dependencies().
  std::uint64_t add_graph_from(std::string_view from, const DepGraph& source, std::string_view to);

  // Leaves this graph as add_graph_from(from, source, to) leaves it (the same
  // nodes, edges and depths; new nodes may come in another order) without
  // going below a node that an earlier attach of the same build settled at a
  // depth no greater than this attach gives it: everything below such a node
  // is here already, at least as shallow, so the plain attach would change
  // nothing there. Emits none of the debug records of the copy (the caller
  // knows nobody reads them) and defers its count: `to` joins
  // `attached.hits`, for edges_reached().
  void attach_settled(std::string_view from, const DepGraph& source, std::string_view to,
                      SettledAttach& attached);

  // The sum over `starts` (positions in this graph) of the edges reachable
  // from each: of clone_from(start).num_dependencies(), for every start.
  std::uint64_t edges_reached(const std::vector<std::uint32_t>& starts) const;

 private:
  // The part of a graph reachable from one node, in the order clone_from
  // copies it, with its edges as positions in that order.
  struct Reach {
    std::vector<std::uint32_t> order;       // node positions, in copy order
    std::vector<std::uint32_t> edge_begin;  // edges of order[i]: [edge_begin[i], edge_begin[i+1])
    std::vector<std::uint32_t> edges;       // indices into `order`
  };
  // Walks from `start`, calling `taken(pos)` as each node is taken (before
  // its dependencies are looked up).
  template <class Taken>
  Reach reach_in_copy_order(std::uint32_t start, Taken&& taken) const;

  struct Slot {
    std::uint32_t node;  // position in nodes_, kEmpty when the slot is free
    std::uint32_t hash;  // the name's hash, to skip most string comparisons
  };
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
  static constexpr std::uint32_t kMissing = 0xFFFFFFFFu;

  static std::uint32_t hash_name(std::string_view name) noexcept;
  std::uint32_t position(std::string_view name) const noexcept;  // kMissing if absent
  void grow_index();

  const DepNode& add_new(DepNode node);  // add() for a name known to be absent

  std::deque<DepNode> nodes_;
  std::vector<Slot> index_;  // open addressing, linear probing, power-of-two size
};

}  // namespace tarnwick
