// The dependency graph: one node per module, keyed by the module's dotted
// name, with every import edge recorded on both ends and a depth (import steps
// from the starting module) on every node.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/module_spec.hpp"
#include "contract/name_set.hpp"

namespace tarnwick {

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

  // Leaves this graph as add_graph(from, to, source.clone_from(to)) leaves it (the same
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
