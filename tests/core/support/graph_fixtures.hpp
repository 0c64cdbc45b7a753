// Helpers for graph tests: building specs, nodes and graphs tersely, and an
// ordered snapshot of a graph that compares and prints well in assertions.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/dep_graph.hpp"
#include "core/error.hpp"
#include "core/log.hpp"
#include "core/module_spec.hpp"

namespace tarnwick::testing {

inline ModuleSpec make_spec(std::string name, std::optional<std::string> origin = std::nullopt) {
  ModuleSpec spec;
  spec.name = std::move(name);
  spec.origin = std::move(origin);
  return spec;
}

inline DepNode make_node(std::string name, std::optional<std::int32_t> depth,
                         std::optional<std::string> origin = std::nullopt) {
  return DepNode(make_spec(std::move(name), std::move(origin)), depth);
}

struct NodeInit {
  std::string name;
  std::optional<std::int32_t> depth;
  std::optional<std::string> origin = std::nullopt;
};

using Edge = std::pair<std::string, std::string>;

// Adds the nodes, then the edges in order with add_dependency. Edges from a
// node without depth are recorded (add_dependency records both ends before it
// complains) and the complaint is swallowed, so fixtures can hold them.
inline void populate(DepGraph& graph, const std::vector<NodeInit>& nodes,
                     const std::vector<Edge>& edges) {
  for (const NodeInit& n : nodes) graph.add(make_node(n.name, n.depth, n.origin));
  for (const auto& [from, to] : edges) {
    const DepNode* source = graph.find(from);
    if (source != nullptr && !source->depth) {
      try {
        graph.add_dependency(from, to);
      } catch (const InternalError&) {
      }
    } else {
      graph.add_dependency(from, to);
    }
  }
}

inline DepGraph make_graph(const std::vector<NodeInit>& nodes,
                           const std::vector<Edge>& edges = {}) {
  DepGraph graph;
  populate(graph, nodes, edges);
  return graph;
}

inline std::set<std::string> sorted(const NameSet& set) {
  std::set<std::string> out;
  for (std::string_view name : set) out.emplace(name);
  return out;
}

// What one node holds, in comparable form.
struct NodeState {
  std::optional<std::int32_t> depth;
  std::set<std::string> dependencies;
  std::set<std::string> dependents;
  std::optional<std::string> origin;
  bool operator==(const NodeState&) const = default;
};

using GraphState = std::map<std::string, NodeState>;

inline NodeState state_of(const DepNode& node) {
  return {node.depth, sorted(node.dependencies), sorted(node.dependents), node.spec.origin};
}

inline GraphState snapshot(const DepGraph& graph) {
  GraphState out;
  for (const DepNode& node : graph) out.emplace(node.name, state_of(node));
  return out;
}

inline std::ostream& operator<<(std::ostream& os, const NodeState& s) {
  os << "{depth=";
  if (s.depth) {
    os << *s.depth;
  } else {
    os << "None";
  }
  os << " deps=[";
  for (const auto& d : s.dependencies) os << d << ' ';
  os << "] dependents=[";
  for (const auto& d : s.dependents) os << d << ' ';
  os << "] origin=" << s.origin.value_or("None") << '}';
  return os;
}

// Names parameterised cases after their `title` field.
struct TitleName {
  template <class T>
  std::string operator()(const ::testing::TestParamInfo<T>& param) const {
    return param.param.title;
  }
};

// Runs `op` and returns the InternalError message it threw, or nullopt.
template <class Op>
std::optional<std::string> failure_of(Op&& op) {
  try {
    op();
  } catch (const InternalError& e) {
    return e.message();
  }
  return std::nullopt;
}

// Every broken invariant of `graph`, described; empty when it is sound.
inline std::vector<std::string> invariant_violations(const DepGraph& graph) {
  std::vector<std::string> out;
  std::uint64_t edges = 0;
  std::size_t count = 0;
  for (const DepNode& node : graph) {
    ++count;
    if (node.name != node.spec.name) out.push_back("name differs from spec name: " + node.name);
    const DepNode* self = graph.find(node.name);
    if (self != &node) out.push_back("lookup does not find the node itself: " + node.name);
    edges += node.dependencies.size();
    if (std::distance(node.dependencies.begin(), node.dependencies.end()) !=
        static_cast<std::ptrdiff_t>(node.dependencies.size())) {
      out.push_back("set size differs from its members in " + node.name);
    }
    if (sorted(node.dependencies).size() != node.dependencies.size()) {
      out.push_back("duplicate dependency in " + node.name);
    }
    if (sorted(node.dependents).size() != node.dependents.size()) {
      out.push_back("duplicate dependent in " + node.name);
    }
    for (const std::string_view dep_view : node.dependencies) {
      const std::string dep(dep_view);
      const DepNode* other = graph.find(dep);
      if (other == nullptr) {
        out.push_back("dangling dependency " + node.name + " -> " + dep);
      } else if (!other->dependents.contains(node.name)) {
        out.push_back("edge missing on the dependent side: " + node.name + " -> " + dep);
      }
    }
    for (const std::string_view imp_view : node.dependents) {
      const std::string imp(imp_view);
      const DepNode* other = graph.find(imp);
      if (other == nullptr) {
        out.push_back("dangling dependent " + imp + " -> " + node.name);
      } else if (!other->dependencies.contains(node.name)) {
        out.push_back("edge missing on the dependency side: " + imp + " -> " + node.name);
      }
    }
  }
  if (count != graph.size()) out.push_back("size() differs from the number of nodes iterated");
  if (edges != graph.num_dependencies()) out.push_back("num_dependencies differs from edge count");
  return out;
}

// Runs the body with the global log filter set to `filter`, restoring Debug
// (the capture default) afterwards.
template <class Body>
void with_filter(log::LevelFilter filter, Body&& body) {
  log::facade().set_max_level(filter);
  try {
    body();
  } catch (...) {
    log::facade().set_max_level(log::LevelFilter::Debug);
    throw;
  }
  log::facade().set_max_level(log::LevelFilter::Debug);
}

}  // namespace tarnwick::testing
