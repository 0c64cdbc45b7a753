#include "exact/import_chains.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/exact_fixtures.hpp"

namespace tarnwick {
namespace {

using testing::split;

// "a>b a>c:3i": modules named by the edges (and by `more`, blank-separated),
// sites "line" plus "i" for an implied one (line 1 when none is given).
ExactGraph graph_of(std::string_view edges, std::string_view more = "") {
  ExactGraph::Parts parts;
  std::map<std::string, std::uint32_t> index;
  const auto add = [&](const std::string& name) {
    const auto [at, added] = index.emplace(name, static_cast<std::uint32_t>(parts.nodes.size()));
    if (added) parts.nodes.push_back({name, ModuleKind::kSource, std::nullopt});
    return at->second;
  };
  for (const std::string& name : split(more, ' ')) add(name);
  for (const std::string& token : split(edges, ' ')) {
    const std::vector<std::string> at = split(token, ':');
    const std::vector<std::string> ends = split(at[0], '>');
    Site site{1, 0};
    if (at.size() > 1) {
      site.line = static_cast<std::uint32_t>(std::stoul(at[1]));
      if (at[1].back() == 'i') site.context = context::kImplied;
    }
    parts.edges.push_back({add(ends[0]), add(ends[1]), site});
  }
  for (std::uint32_t i = 0; i < parts.nodes.size(); ++i) parts.roots.push_back(i);  // all kept
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

struct RowsCase {
  const char* what;
  const char* edges;
  const char* written;  // edges_text of as_written()
  const char* removed;  // pairs "a>b" for without()
  const char* without;  // edges_text of without(removed)
};

const RowsCase kRowsCases[] = {
    {"implied sites go, edges left without any go", "a>b:1i a>b:2 a>c:3i c>b:4", "a>b:2 c>b:4",
     "a>c c>b", "a>b:1i,2"},
    {"an implied site on a line that names the module is one site", "a>b:1i a>b:1 b>c:2i", "a>b:1",
     "", "a>b:1 b>c:2i"},
    {"pairs that are no edge are passed over", "a>b b>a", "a>b:1 b>a:1", "a>a b>c c>b b>a",
     "a>b:1"},
};

TEST(ImportChains, WrittenRowsAndRowsWithout) {
  for (const RowsCase& c : kRowsCases) {
    SCOPED_TRACE(c.what);
    const ExactGraph g = graph_of(c.edges, "c");
    const ExactGraph written = g.as_written();
    EXPECT_EQ(testing::edges_text(written), c.written);
    EXPECT_TRUE(written.same_modules(g));
    std::vector<ExactGraph::Edge> pairs;
    for (const std::string& pair : split(c.removed, ' ')) {
      const std::vector<std::string> ends = split(pair, '>');
      pairs.push_back({*g.find(ends[0]), *g.find(ends[1])});
    }
    const ExactGraph less = g.without(pairs);
    EXPECT_EQ(testing::edges_text(less), c.without);
    // The importers index is made afresh, not the whole graph's.
    for (std::uint32_t i = 0; i < g.size(); ++i) {
      for (const std::uint32_t j : less.importers_of(i)) {
        const std::span<const std::uint32_t> out = less.imports(j);
        EXPECT_TRUE(std::find(out.begin(), out.end(), i) != out.end());
      }
    }
  }
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

TEST(ImportChains, PackageMembersAreTheModuleAndItsDescendants) {
  const ExactGraph g = graph_of("a>a.b a.b>a.b.c ab>a.bc", "a.x");
  const auto names = [&](std::uint32_t i, bool descendants) {
    std::string out;
    for (const std::uint32_t j : package_members(g, i, descendants)) {
      out += (out.empty() ? "" : " ") + g.module(j).name;
    }
    return out;
  };
  EXPECT_EQ(names(*g.find("a"), true), "a a.b a.b.c a.bc a.x");
  EXPECT_EQ(names(*g.find("a.b"), true), "a.b a.b.c");
  EXPECT_EQ(names(*g.find("a"), false), "a");
}

// A chain as long as the graph is found without recursion.
TEST(ImportChains, LongChains) {
  std::string edges;
  constexpr int kLength = 200000;
  for (int k = 0; k < kLength; ++k)
    edges += "m" + std::to_string(k) + ">m" + std::to_string(k + 1) + " ";
  edges.pop_back();
  const ExactGraph g = graph_of(edges);
  const std::vector<Chain> found =
      successive_chains(g, indices(g, "m0"), indices(g, "m" + std::to_string(kLength)));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].size(), static_cast<std::size_t>(kLength + 1));
}

}  // namespace
}  // namespace tarnwick
