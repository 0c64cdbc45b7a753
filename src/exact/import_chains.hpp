// Shortest import chains between two groups of modules, each chain's edges
// taken away before the next is sought: what an architecture check asks
// (which ways lead from one package to another). Everything here reads
// ExactGraph through its public interface, on a private copy of its edges.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "exact/exact_graph.hpp"

namespace tarnwick {

using Chain = std::vector<std::uint32_t>;

// The module `i` and, with `descendants`, every module of the graph whose
// name is inside it (a.b.c inside a), ascending.
std::vector<std::uint32_t> package_members(const ExactGraph& graph, std::uint32_t i,
                                           bool descendants);

// Shortest chains from any of `sources` to any of `targets`, each from a
// source to a target through neither: the shortest one (breadth first from
// the sources, each module's imports in index order, so ties always break
// alike), then its edges removed and the shortest one left, and so on until
// none is left or `limit` were found (0: no limit). In the order found. The
// two groups must not share a module.
std::vector<Chain> successive_chains(const ExactGraph& graph,
                                     std::span<const std::uint32_t> sources,
                                     std::span<const std::uint32_t> targets, std::size_t limit = 0);

// The chains as the squashed groups see them: every edge touching a module
// whose `excluded` byte is non-zero dropped (an empty span excludes none);
// the sources one module S, the targets one module T (edges within either
// ignored), the direct S -> T edges removed. Then, repeatedly, a shortest
// S -> T chain (S's imports, the union of the sources', in index order),
// its middle reported (the modules strictly between S and T, never empty)
// and its edges removed: the first hop S -> m1 is every edge from a source
// to m1, the last hop mk -> T every edge from mk to a target. Middles in
// the order found. The two groups must not share a module.
std::vector<Chain> pop_chains(const ExactGraph& graph, std::span<const std::uint32_t> sources,
                              std::span<const std::uint32_t> targets,
                              std::span<const std::uint8_t> excluded);

// `chains` sorted by their modules' names, as lists of strings compare.
void sort_by_names(const ExactGraph& graph, std::vector<Chain>& chains);

}  // namespace tarnwick
