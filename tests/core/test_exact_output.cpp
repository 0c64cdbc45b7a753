#include "exact/exact_output.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/str_cat.hpp"
#include "support/exact_fixtures.hpp"

namespace tarnwick {
namespace {

using testing::split;

using Node = ExactGraph::Module;

struct Edge {
  std::string from, to;
  std::uint32_t line = 1;
};

// The modules in `nodes`, then any other a root or an edge names, as a
// source of no origin.
ExactGraph graph_of(const std::vector<Node>& nodes, const std::vector<Edge>& edges,
                    const std::vector<std::string>& roots, std::vector<Problem> problems = {}) {
  ExactGraph::Parts parts;
  std::map<std::string, std::uint32_t> index;
  const auto id = [&](const std::string& name, const Node* node = nullptr) {
    const auto [it, fresh] = index.try_emplace(name, parts.nodes.size());
    if (fresh) parts.nodes.push_back(node ? *node : Node{name, ModuleKind::kSource, std::nullopt});
    return it->second;
  };
  for (const Node& n : nodes) id(n.name, &n);
  for (const std::string& r : roots) parts.roots.push_back(id(r));
  for (const Edge& e : edges) parts.edges.push_back({id(e.from), id(e.to), {e.line, 0}});
  parts.problems = std::move(problems);
  return ExactGraph::assemble(std::move(parts));
}

// "r>a a>b" with root "r".
ExactGraph graph_of(std::string_view edges, std::string_view roots) {
  std::vector<Edge> list;
  for (const std::string& token : split(edges, ' ')) {
    const std::vector<std::string> ends = split(token, '>');
    list.push_back({ends[0], ends[1]});
  }
  return graph_of({}, list, split(roots, ' '));
}

std::vector<bool> keep_all_but(const ExactGraph& g, std::string_view dropped) {
  std::vector<bool> keep(g.size(), true);
  for (const std::string& name : split(dropped, ' ')) keep[*g.find(name)] = false;
  return keep;
}

// Every chain to `target`, as "r a t" strings, at most `limit` of them.
std::vector<std::string> chains_to(const ExactGraph& g, std::string_view target,
                                   std::size_t limit = 100) {
  ShortestChains walk(g, *g.find(target));
  std::vector<std::string> out;
  std::vector<std::uint32_t> chain;
  while (out.size() < limit && walk.next(chain)) {
    std::string text;
    for (const std::uint32_t i : chain) text += (text.empty() ? "" : " ") + g.module(i).name;
    out.push_back(text);
  }
  return out;
}

TEST(ExactOutput, PythonRepr) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "'plain'"},
      {"it's", R"("it's")"},
      {R"(say "hi")", R"('say "hi"')"},
      {R"(both ' and ")", R"('both \' and "')"},
      {R"(back\slash)", R"('back\\slash')"},
      {"t\tn\nr\r", R"('t\tn\nr\r')"},
      {"\x01\x7f", R"('\x01\x7f')"},
      {"\u00e9t\u00e9", "'\u00e9t\u00e9'"},        // printable: as it is
      {"\U0001F600", "'\U0001F600'"},              // outside the BMP, printable
      {"\u00ad", R"('\xad')"},                     // a format character
      {"\u00a0", R"('\xa0')"},                     // a space other than U+0020
      {"\u2028", R"('\u2028')"},                   // a line separator
      {"\ue000", R"('\ue000')"},                   // private use
      {"\ufdd0", R"('\ufdd0')"},                   // a noncharacter
      {"\U000E0001", R"('\U000e0001')"},           // a tag
      {"\U0010FFFF", R"('\U0010ffff')"},           // the last code point
      {"a\xff", R"('a\udcff')"},                   // not UTF-8: surrogateescape
      {"\xe2\x82z", R"('\udce2\udc82z')"},         // a truncated sequence, byte by byte
      {"\xed\xa0\x80", R"('\udced\udca0\udc80')"}  // an encoded surrogate is not UTF-8
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(python_repr(text), want) << want;
}

TEST(ExactOutput, DotShadesByDepthAndMarksRoots) {
  // Depths 0 to 8 along one chain, and a second root.
  const ExactGraph g =
      graph_of("r>d1 d1>d2 d2>d3 d3>d4 d4>d5 d5>d6 d6>d7 d7>d8 q\"\\>d1", "r q\"\\");
  EXPECT_EQ(to_dot(g), R"(digraph imports {
  rankdir=LR;
  node [shape=box, style=filled, fontname=Helvetica];
  "d1" [label="d1", fillcolor="/blues9/7", fontcolor=white];
  "d2" [label="d2", fillcolor="/blues9/6", fontcolor=white];
  "d3" [label="d3", fillcolor="/blues9/5"];
  "d4" [label="d4", fillcolor="/blues9/4"];
  "d5" [label="d5", fillcolor="/blues9/3"];
  "d6" [label="d6", fillcolor="/blues9/2"];
  "d7" [label="d7", fillcolor="/blues9/1"];
  "d8" [label="d8", fillcolor="/blues9/1"];
  "q\"\\" [label="q\"\\", shape=doubleoctagon, fillcolor="#f2c14e", penwidth=2];
  "r" [label="r", shape=doubleoctagon, fillcolor="#f2c14e", penwidth=2];
  "d1" -> "d2";
  "d2" -> "d3";
  "d3" -> "d4";
  "d4" -> "d5";
  "d5" -> "d6";
  "d6" -> "d7";
  "d7" -> "d8";
  "q\"\\" -> "d1";
  "r" -> "d1";
}
)");
}

TEST(ExactOutput, WritersReadTablesAsTheyReadGraphs) {
  const ExactGraph g =
      graph_of({{"__main__", ModuleKind::kSource, "/m.py"}, {"a", ModuleKind::kNamespace, {}}},
               {{"__main__", "a"}}, {"__main__"}, {{Problem::Kind::kNotFound, "a", "b", 1, ""}});
  OutputGraph table = output_of(g);
  EXPECT_EQ(to_json(table, 2), to_json(g, 2));
  EXPECT_EQ(to_dot(table), to_dot(g));
  table.modules[0].kind = "module";
  table.modules[1].depth = 5;
  table.problems.clear();
  EXPECT_EQ(to_json(table, std::nullopt),
            R"({"roots": ["__main__"], "modules": [{"name": "__main__", "kind": "module", )"
            R"("origin": "/m.py", "depth": 0, "imports": ["a"]}, {"name": "a", "kind": )"
            R"("namespace", "origin": null, "depth": 5, "imports": []}], "problems": []})");
}

TEST(ExactOutput, ShortestChainsInOrderFromTheTargetsEnd) {
  // r imports a and b; both import x and y; both of those import t.
  const ExactGraph lattice = graph_of("r>a r>b a>x b>x a>y b>y x>t y>t", "r");
  // As lattice, and r imports t through a longer way too.
  const ExactGraph longer = graph_of("r>a a>b b>t r>c c>t", "r");
  const ExactGraph two_roots = graph_of("r2>m r1>m m>t", "r1 r2");
  // r->a->c->t and r->b->d->t; without a, c keeps its depth but no chain.
  const ExactGraph dead = graph_of("r>a r>b a>c b>d c>t d>t", "r");
  const ExactGraph no_a = dead.subgraph(keep_all_but(dead, "a"));
  const ExactGraph no_cd = dead.subgraph(keep_all_but(dead, "c d"));
  const struct {
    const ExactGraph* graph;
    std::string target;
    std::vector<std::string> want;
  } cases[] = {
      {&lattice, "t", {"r a x t", "r b x t", "r a y t", "r b y t"}},
      {&lattice, "x", {"r a x", "r b x"}},
      {&lattice, "r", {"r"}},
      {&longer, "t", {"r c t"}},
      {&two_roots, "t", {"r1 m t", "r2 m t"}},
      {&two_roots, "r2", {"r2"}},
      {&dead, "t", {"r a c t", "r b d t"}},
      {&no_a, "t", {"r b d t"}},
      {&no_a, "c", {}},
      {&no_cd, "t", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(chains_to(*c.graph, c.target), c.want) << c.target;
}

TEST(ExactOutput, ChainsComeOneAtATime) {
  // 40 levels of two modules, each importing both of the next level: 2^40
  // chains to the end, of which the first few are asked for.
  std::string edges = "r>a0 r>b0";
  for (int k = 0; k + 1 < 40; ++k) {
    for (const char* from : {"a", "b"}) {
      for (const char* to : {"a", "b"}) edges += str_cat(" ", from, k, ">", to, k + 1);
    }
  }
  edges += " a39>t b39>t";
  const ExactGraph g = graph_of(edges, "r");
  const std::vector<std::string> first = chains_to(g, "t", 3);
  ASSERT_EQ(first.size(), 3u);
  EXPECT_TRUE(first[0].starts_with("r a0 a1 a2 ") && first[0].ends_with(" a38 a39 t"));
  // The step nearest the root changes first, then the one after it.
  EXPECT_TRUE(first[1].starts_with("r b0 a1 a2 ") && first[1].ends_with(" a38 a39 t"));
  EXPECT_TRUE(first[2].starts_with("r a0 b1 a2 ") && first[2].ends_with(" a38 a39 t"));
}

TEST(ExactOutput, LongChainsNeedNoRecursion) {
  constexpr std::uint32_t kLength = 100000;
  std::string edges;
  for (std::uint32_t k = 1; k < kLength; ++k) str_append(edges, " c", k - 1, ">c", k);
  const ExactGraph g = graph_of(edges, "c0");
  ShortestChains walk(g, *g.find(str_cat("c", kLength - 1)));
  std::vector<std::uint32_t> chain;
  ASSERT_TRUE(walk.next(chain));
  ASSERT_EQ(chain.size(), kLength);
  EXPECT_EQ(g.module(chain.front()).name, "c0");
  EXPECT_EQ(g.module(chain[kLength / 2]).name, str_cat("c", kLength / 2));
  EXPECT_FALSE(walk.next(chain));
  EXPECT_FALSE(walk.next(chain));  // stays done
}

TEST(ExactOutput, CollapsedFoldsOutsideModulesIntoTopLevelNames) {
  const std::vector<Node> nodes = {
      {"__main__", ModuleKind::kSource, "/app/main.py"},
      {"app", ModuleKind::kPackage, "/app/app/__init__.py"},
      {"app.core", ModuleKind::kSource, "/app/app/core.py"},
      {"json", ModuleKind::kPackage, "/lib/json/__init__.py"},
      {"json.decoder", ModuleKind::kSource, "/lib/json/decoder.py"},
      {"re", ModuleKind::kSource, "/lib/re.py"},
  };
  const std::vector<Edge> edges = {
      {"__main__", "app", 1},          {"__main__", "app.core", 1}, {"app.core", "json", 3},
      {"app.core", "json.decoder", 3}, {"json", "json.decoder", 7}, {"json.decoder", "re", 9},
  };
  const ExactGraph g = graph_of(nodes, edges, {"__main__"},
                                {{Problem::Kind::kNotFound, "json.decoder", "_json", 4, ""},
                                 {Problem::Kind::kNotFound, "app.core", "gone", 2, ""}});
  const std::string inside[] = {"app"};
  const ExactGraph folded = collapsed(g, inside);

  std::string listing;
  for (std::uint32_t i = 0; i < folded.size(); ++i) {
    const ExactGraph::Module& m = folded.module(i);
    str_append(listing, m.name, "@", folded.depth(i), " ", kind_name(m.kind), " ",
               m.origin.value_or("-"), "\n");
  }
  EXPECT_EQ(listing,
            "__main__@0 source /app/main.py\n"
            "app@1 package /app/app/__init__.py\n"
            "app.core@1 source /app/app/core.py\n"
            "json@2 package /lib/json/__init__.py\n"
            "re@3 source /lib/re.py\n");
  EXPECT_EQ(testing::edges_text(folded),
            "__main__>app:1 __main__>app.core:1 app.core>json:3 json>re:9");
  // Each problem goes with its folded module, in name order.
  EXPECT_EQ(testing::problems_text(folded, "/none"),
            "not_found app.core gone 2; not_found json _json 4");

  // Without the package module itself, the fold keeps no kind or origin.
  const ExactGraph no_json = g.subgraph(keep_all_but(g, "json"));
  const ExactGraph refolded = collapsed(no_json, inside);
  const ExactGraph::Module& json = refolded.module(*refolded.find("json"));
  EXPECT_EQ(json.kind, ModuleKind::kUnknown);
  EXPECT_FALSE(json.origin.has_value());
}

}  // namespace
}  // namespace tarnwick
