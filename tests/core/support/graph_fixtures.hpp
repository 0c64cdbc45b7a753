// Helpers for graph tests. Graphs are written and compared as text: one
// token per node, separated by blanks, of the form
//   name[@depth][=origin][:dependency,dependency,...]
// so "r@0:a a@1=/a.py" is r at depth 0 importing a, which has depth 1 and
// origin /a.py. Dependents follow from the dependencies; whether the two
// sides agree is broken_invariant's business.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/str_cat.hpp"
#include "contract/dep_graph.hpp"
#include "split.hpp"

namespace tarnwick::testing {

// A node from one token, without dependents.
inline DepNode node_of(std::string_view token) {
  const std::size_t colon = std::min(token.find(':'), token.size());
  std::string head(token.substr(0, colon));
  ModuleSpec spec;
  std::optional<std::int32_t> depth;
  if (const std::size_t eq = head.find('='); eq != std::string::npos) {
    spec.origin = head.substr(eq + 1);
    head.resize(eq);
  }
  if (const std::size_t at = head.find('@'); at != std::string::npos) {
    depth = std::stoi(head.substr(at + 1));
    head.resize(at);
  }
  spec.name = head;
  DepNode node(std::move(spec), depth);
  for (const auto& dep : split(token.substr(std::min(colon + 1, token.size())), ',')) {
    node.dependencies.insert(dep);
  }
  return node;
}

// The graph the text describes, nodes added in the order written.
inline DepGraph graph_of(std::string_view text) {
  std::vector<DepNode> nodes;
  std::map<std::string, std::vector<std::string>> importers;
  for (const auto& token : split(text, ' ')) {
    nodes.push_back(node_of(token));
    for (std::string_view dep : nodes.back().dependencies) {
      importers[std::string(dep)].push_back(nodes.back().name);
    }
  }
  DepGraph graph;
  for (DepNode& node : nodes) {
    for (const auto& importer : importers[node.name]) node.dependents.insert(importer);
    graph.add(std::move(node));
  }
  return graph;
}

inline std::string token_of(const DepNode& node, bool with_origin = true) {
  // str_cat rather than `"x" + string`, on which GCC 12 at -O3 warns
  // falsely (-Wrestrict).
  std::string out = node.name;
  if (node.depth) str_append(out, '@', *node.depth);
  if (with_origin && node.spec.origin) str_append(out, '=', *node.spec.origin);
  const std::set<std::string> deps(node.dependencies.begin(), node.dependencies.end());
  for (const auto& dep : deps) str_append(out, dep == *deps.begin() ? ':' : ',', dep);
  return out;
}

// The graph as text, nodes in name order.
inline std::string describe(const DepGraph& graph, bool with_origins = true) {
  std::map<std::string, std::string> tokens;
  for (const DepNode& node : graph) tokens[node.name] = token_of(node, with_origins);
  std::string out;
  for (const auto& [name, token] : tokens) out += (out.empty() ? "" : " ") + token;
  return out;
}

// Runs `op` and returns the message of the InternalError it threw, or "".
template <class Op>
std::string failure_of(Op&& op) {
  try {
    op();
  } catch (const InternalError& e) {
    return e.message();
  }
  return "";
}

// The first broken invariant of `graph`, or "" when it is sound: every name in
// an edge set is a node holding the edge on its end too, and num_dependencies
// is the number of edges (each counted once, on its `dependencies` side).
inline std::string broken_invariant(const DepGraph& graph) {
  std::uint64_t edges = 0;
  for (const DepNode& node : graph) {
    edges += node.dependencies.size();
    for (std::string_view dep : node.dependencies) {
      const DepNode* other = graph.find(dep);
      if (other == nullptr || !other->dependents.contains(node.name)) {
        return "edge " + node.name + " -> " + std::string(dep) + " is one-sided";
      }
    }
    for (std::string_view importer : node.dependents) {
      const DepNode* other = graph.find(importer);
      if (other == nullptr || !other->dependencies.contains(node.name)) {
        return "edge " + std::string(importer) + " -> " + node.name + " is one-sided";
      }
    }
  }
  if (edges != graph.num_dependencies()) return "num_dependencies differs from the edge count";
  return "";
}

}  // namespace tarnwick::testing
