#include "exact/import_chains.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/exact_fixtures.hpp"

namespace tarnwick {
namespace {

using testing::split;

// "a>b b>c": modules named by the edges, each a root.
ExactGraph graph_of(std::string_view edges) {
  ExactGraph::Parts parts;
  std::map<std::string, std::uint32_t> index;
  const auto add = [&](const std::string& name) {
    const auto [at, added] = index.emplace(name, static_cast<std::uint32_t>(parts.nodes.size()));
    if (added) parts.nodes.push_back({name, ModuleKind::kSource, std::nullopt});
    return at->second;
  };
  for (const std::string& token : split(edges, ' ')) {
    const std::vector<std::string> ends = split(token, '>');
    parts.edges.push_back({add(ends[0]), add(ends[1]), Site{1, 0}});
  }
  for (std::uint32_t i = 0; i < parts.nodes.size(); ++i) parts.roots.push_back(i);
  return ExactGraph::assemble(std::move(parts));
}

std::vector<std::uint32_t> indices(const ExactGraph& g, std::string_view names) {
  std::vector<std::uint32_t> out;
  for (const std::string& name : split(names, ' ')) out.push_back(*g.find(name));
  return out;
}

std::string chains_text(const ExactGraph& g, const std::vector<Chain>& chains) {
  std::string out;
  for (const Chain& chain : chains) {
    if (!out.empty()) out += " | ";
    for (std::size_t k = 0; k < chain.size(); ++k) {
      out += (k == 0 ? "" : ">") + g.module(chain[k]).name;
    }
  }
  return out;
}

struct ChainCase {
  const char* what;
  const char* edges;
  const char* sources;
  const char* targets;
  const char* successive;  // successive_chains, sorted by names
  const char* popped;      // pop_chains' middles, in the order found
  const char* excluded = "";
};

const ChainCase kChainCases[] = {
    {"a direct import is a chain, not a middle", "a>b", "a", "b", "a>b", ""},
    {"a chain's imports go before the next: one through y is left", "a>x x>y y>b a>z z>y", "a", "b",
     "a>x>y>b", "x>y"},
    {"ties break by index", "a>y y>b a>x x>b", "a", "b", "a>x>b | a>y>b", "x | y"},
    {"chains start at any source and end at the first target", "a>a1 a1>x x>b1 b1>b a>y y>b",
     "a a1", "b b1", "a>y>b | a1>x>b1", "x | y"},
    {"the squashed source loses every edge of its first hop", "a1>m a2>m m>b a1>n n>b", "a1 a2",
     "b", "a1>m>b | a1>n>b", "m | n"},
    {"the last hop takes every edge from the module to a target", "a>m m>b1 m>b2", "a", "b1 b2",
     "a>m>b1", "m"},
    {"excluded modules take no part", "a>x x>b a>y y>z z>b", "a", "b", "a>x>b | a>y>z>b", "y>z",
     "x"},
    {"imports back into a source lead nowhere", "a>x x>a x>y y>b", "a", "b", "a>x>y>b", "x>y"},
    {"no way at all", "b>a", "a", "b", "", ""},
};

TEST(ImportChains, SuccessiveAndPoppedChains) {
  for (const ChainCase& c : kChainCases) {
    SCOPED_TRACE(c.what);
    const ExactGraph g = graph_of(c.edges);
    const std::vector<std::uint32_t> sources = indices(g, c.sources);
    const std::vector<std::uint32_t> targets = indices(g, c.targets);
    std::vector<Chain> found = successive_chains(g, sources, targets);
    sort_by_names(g, found);
    EXPECT_EQ(chains_text(g, found), c.successive);
    std::vector<std::uint8_t> excluded(g.size(), 0);
    for (const std::uint32_t x : indices(g, c.excluded)) excluded[x] = 1;
    EXPECT_EQ(chains_text(g, pop_chains(g, sources, targets, excluded)), c.popped);
    if (!found.empty()) {
      EXPECT_EQ(successive_chains(g, sources, targets, 1).size(), 1u);
    }
  }
}

}  // namespace
}  // namespace tarnwick
