// The dependency graph: its name sets, nodes and edges with their depths,
// copying and combining graphs, and random sequences of all of these.
#include "contract/dep_graph.hpp"

#include "common/str_cat.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "support/capture_log.hpp"
#include "support/graph_fixtures.hpp"

namespace tarnwick {
namespace {

using namespace testing;
using Names = std::set<std::string>;

constexpr const char* kOriginMismatch = "assertion failed: origin == &other.spec.origin.unwrap()";
const std::string kMissing = "Node does not exist on graph: ";

// The "Adding node to graph" records for the blank-separated names.
std::vector<std::string> adding(std::string_view names) {
  std::vector<std::string> out;
  for (const auto& n : split(names, ' ')) out.push_back("Adding node to graph: " + n);
  return out;
}

// Runs `op`, expecting its failure message ("" for none) and exactly `logs`,
// all debug records of the types target (compared sorted when `any_order`).
template <class Op>
void expect_run(Op&& op, const std::string& error, std::vector<std::string> logs,
                bool any_order = false) {
  start_capture();
  EXPECT_EQ(failure_of(op), error);
  std::vector<std::string> got = captured_messages(log::kTypesTarget);
  if (any_order) {
    std::ranges::sort(got);
    std::ranges::sort(logs);
  }
  EXPECT_EQ(got, logs);
  EXPECT_EQ(captured().size(), logs.size());
  for (const auto& record : captured()) EXPECT_EQ(record.level, log::Level::Debug);
}

// Sizes on both sides of the hashed index, names of any bytes and length (one
// and two length bytes), filtering, and equality regardless of order.
TEST(NameSet, InsertContainsRetainAndCompare) {
  for (std::size_t n : {5u, 40u, 300u}) {
    SCOPED_TRACE(n);
    std::vector<std::string> all = {"", "\x80\xff", std::string("x\0y", 3)};
    for (std::size_t len : {127u, 128u, 20000u}) all.push_back(std::string(len, 'a'));
    for (std::size_t i = 0; i < n; ++i) all.push_back(str_cat("m", i));
    NameSet set;
    for (const auto& name : all) EXPECT_TRUE(set.insert(name));
    for (const auto& name : all) EXPECT_FALSE(set.insert(name));
    EXPECT_EQ(set.size(), all.size());
    EXPECT_EQ(Names(set.begin(), set.end()), Names(all.begin(), all.end()));
    EXPECT_FALSE(set.contains(std::string(129, 'a')));
    EXPECT_FALSE(set.contains(str_cat("m", n)));

    const auto even = [](std::string_view s) { return s.size() % 2 == 0; };
    set.retain_if(even);
    for (const auto& name : all) EXPECT_EQ(set.contains(name), even(name)) << name.size();
    EXPECT_EQ(set.size(), static_cast<std::size_t>(std::ranges::count_if(all, even)));
    EXPECT_TRUE(set.insert("m10"));  // a dropped name may come back
  }
  NameSet left{"a", "b"};
  left.insert_all(NameSet{"b", "c"});
  EXPECT_EQ(left, (NameSet{"c", "b", "a"}));
}

TEST(DepGraph, AddLogsFindsAndRefusesDuplicates) {
  DepGraph graph = graph_of("c@0");
  const DepNode* stored = nullptr;
  expect_run([&] { stored = &graph.add(node_of("a.b@1=/first.py")); }, "", adding("a.b"));
  EXPECT_TRUE(graph.has_node("a.b"));
  EXPECT_EQ(graph.find("a.b"), stored);
  EXPECT_EQ(&graph.at("a.b"), stored);
  for (std::string_view missing : {"a", "a.b.c", "", "A.B"}) {
    EXPECT_FALSE(graph.has_node(missing));
    EXPECT_EQ(graph.find(missing), nullptr);
    EXPECT_EQ(failure_of([&] { graph.at(missing); }), kMissing + std::string(missing));
  }
  graph.add_dependency("c", "a.b");
  expect_run([&] { graph.add(node_of("a.b@9=/second.py")); },
             "assertion failed: !self.nodes.contains_key(&node.name)", {});
  EXPECT_EQ(describe(graph), "a.b@1=/first.py c@0:a.b");
  EXPECT_EQ(broken_invariant(graph), "");
}

TEST(DepGraph, AddDependencyStepsLogsAndFailureStates) {
  struct Case {
    std::string from, to, error;
    std::string depth_log;  // logged after "Add dependency '{from}' -> '{to}'", if any
    std::string after;
  };
  const std::string kNoDepth =
      "Attempted to add dependency from node with uninitialized depth named: v";
  const std::string kInit = "Initializing depth of node 'u' to ";
  const std::string kBase = "b@3:w k@1 r@0:k t@2 top@2147483647 u v w@4";
  const Case cases[] = {
      {"r", "u", "", kInit + "1", "b@3:w k@1 r@0:k,u t@2 top@2147483647 u@1 v w@4"},
      {"r", "k", "", "", kBase},                                           // repeated
      {"b", "k", "", "", "b@3:k,w k@1 r@0:k t@2 top@2147483647 u v w@4"},  // deeper from
      {"t", "b", "", "", "b@3:w k@1 r@0:k t@2:b top@2147483647 u v w@4"},  // a tie
      // Only the target is lowered: w keeps the depth it got through b.
      {"k", "b", "", "Found shorter depth to 'b' new depth is 2",
       "b@2:w k@1:b r@0:k t@2 top@2147483647 u v w@4"},
      {"q", "zz", kMissing + "q", "", kBase},
      {"r", "zz", kMissing + "zz", "", kBase},
      // The edge stays recorded on both ends; no depth changes.
      {"v", "b", kNoDepth, "", "b@3:w k@1 r@0:k t@2 top@2147483647 u v:b w@4"},
      {"v", "u", kNoDepth, "", "b@3:w k@1 r@0:k t@2 top@2147483647 u v:u w@4"},
      {"b", "b", "", "", "b@3:b,w k@1 r@0:k t@2 top@2147483647 u v w@4"},
      // The depth saturates instead of wrapping.
      {"top", "u", "", kInit + std::to_string(std::numeric_limits<std::int32_t>::max()),
       "b@3:w k@1 r@0:k t@2 top@2147483647:u u@2147483647 v w@4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from + " -> " + c.to);
    DepGraph graph = graph_of(kBase);
    std::vector<std::string> logs = {"Add dependency '" + c.from + "' -> '" + c.to + "'"};
    if (!c.depth_log.empty()) logs.push_back(c.depth_log);
    expect_run([&] { graph.add_dependency(c.from, c.to); }, c.error, logs);
    EXPECT_EQ(describe(graph), c.after);
    EXPECT_EQ(broken_invariant(graph), "");
  }
}

TEST(CloneFrom, CopiesTheReachablePartInByteOrderAndPrunesDependents) {
  struct Case {
    std::string graph, start, order;
    std::string copy;  // "" when everything is copied
  };
  const Case cases[] = {
      // a and x import b from outside the copy and are dropped from its dependents.
      {"a@0:b,d b@1=/b.py:c c@2 d@1 x@0:b", "b", "b c", "b@1=/b.py:c c@2"},
      // Always the smallest name discovered and not yet copied: b before m.z.
      {"r@0:m.z,m.a m.z m.a:b b", "r", "r m.a b m.z", "b m.a:b m.z r@0:m.a,m.z"},
      // Unsigned bytes, prefixes first, names alike in their first 8 bytes, and
      // z pending twice (from r and from a) yet copied once.
      {"r@0:z,\xc3\xa9,Z,ab,a.b,a,pkg.mod.zeta,pkg.mod.alpha \xc3\xa9 z Z ab a.b a:z pkg.mod.zeta "
       "pkg.mod.alpha",
       "r", "r Z a a.b ab pkg.mod.alpha pkg.mod.zeta z \xc3\xa9", ""},
      // A cycle: the importers inside the copy stay.
      {"root@0:a a@1:b b@2:c c@3:a", "b", "b c a", "a@1:b b@2:c c@3:a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.graph);
    const DepGraph graph = graph_of(c.graph);
    const std::string before = describe(graph);
    DepGraph copy;
    expect_run([&] { copy = graph.clone_from(c.start); }, "", adding(c.order));
    EXPECT_EQ(describe(copy), c.copy.empty() ? before : c.copy);
    EXPECT_EQ(broken_invariant(copy), "");  // no dependent outside the copy
    EXPECT_EQ(describe(graph), before);
  }
  const DepGraph one = graph_of("a@0");
  expect_run([&] { one.clone_from("b"); }, "assertion failed: self.has_node(name)", {});
}

// M gets dependents {p} and a parent, N dependents {q} and search locations.
TEST(NodeMerge, DepthOrderOriginChecksAndFailures) {
  struct Case {
    std::string m, n, error, after;
  };
  const Case cases[] = {
      {"m@5:y", "m@2:x,y", "", "m@2:x,y"},  // the smaller depth wins, sets unite
      {"m@2:y", "m@5:z", "", "m@2:y,z"},
      {"m@2", "m", "", "m"},  // absent is smaller than any depth
      {"m", "m@2", "", "m"},
      {"m@1=/m.py", "m@0=/m.py", "", "m@0=/m.py"},
      {"m@1", "m@4=/o.py:d", "", "m@1:d"},  // without own origin any origin goes
      {"m@5=/m.py:y", "m@1:x", kAbsentValue, "m@5=/m.py:y"},
      {"m@5=/m.py:y", "m@1=/M.py:x", kOriginMismatch, "m@5=/m.py:y"},
      {"m@5:y", "n@1:x", "assertion failed: self.name == other.name", "m@5:y"},
      // The name is checked first.
      {"m@5=/m.py", "n@1", "assertion failed: self.name == other.name", "m@5=/m.py"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m + " <- " + c.n);
    DepNode m = node_of(c.m);
    m.dependents.insert("p");
    m.spec.parent = "m-parent";
    DepNode n = node_of(c.n);
    n.dependents.insert("q");
    n.spec.submodule_search_locations.emplace();
    const ModuleSpec spec = m.spec;
    expect_run([&] { m.merge(std::move(n)); }, c.error, {});
    EXPECT_EQ(token_of(m), c.after);
    EXPECT_EQ(Names(m.dependents.begin(), m.dependents.end()),
              (c.error.empty() ? Names{"p", "q"} : Names{"p"}));
    EXPECT_EQ(m.spec, spec);
  }
}

// Known nodes are merged, only the new ones logged (in no defined order). On a
// failed node merge, merge takes the nodes of `other` in the order they were
// added to it: early is added and root merged; m stays and late is dropped.
TEST(Merge, AddsNewNodesMergesKnownOnesAndStopsAtAFailure) {
  struct Case {
    std::string graph, other, error, adds, after, broken;
  };
  const Case cases[] = {
      {"root@0:a a@1=/a.py:b b@2", "r2@0:b,a a@1=/a.py:c c@2 b@1", "", "c r2",
       "a@1=/a.py:b,c b@1 c@2 r2@0:a,b root@0:a", ""},
      {"root@0:m m@1=/m.py", "early@1:m root@0:early m@2=/elsewhere/m.py:late late@3",
       kOriginMismatch, "early", "early@1:m m@1=/m.py root@0:early,m",
       "edge early -> m is one-sided"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.other);
    DepGraph graph = graph_of(c.graph), other = graph_of(c.other);
    expect_run([&] { graph.merge(std::move(other)); }, c.error, adding(c.adds), true);
    EXPECT_EQ(describe(graph), c.after);
    EXPECT_EQ(broken_invariant(graph), c.broken);
  }
}

TEST(AddGraph, FailureOrderAndBreadthFirstDepthsBelowFrom) {
  struct Case {
    std::string graph, other, from, to, error;
    std::string adds;  // the nodes the merge adds, in order
    std::string after;
    std::string depth_log = "";  // after the record of the final edge
  };
  const Case cases[] = {
      // `from` is checked first, then `to`, then the depth of `from`.
      {"root@0", "t@0", "nope", "absent", kMissing + "nope", "", "root@0"},
      {"f", "t@0", "f", "absent", kMissing + "absent", "", "f"},
      {"f", "t@0", "f", "t", kAbsentValue, "", "f"},
      // Stale depths become depth(from) + 1 + the distance from t; island,
      // which t does not reach, ends without depth.
      {"root@0:a a@1", "t@4:u,v u@5:v v@5:w w@6 island@7", "a", "t", "", "t u v w island",
       "a@1:t island root@0:a t@2:u,v u@3:v v@3:w w@4"},
      // v keeps its smaller depth; w is numbered through t, not through v.
      {"root@0:a,v a@1 v@1", "t@0:v v@1:w w@2", "a", "t", "", "t w",
       "a@1:t root@0:a,v t@2:v v@1:w w@4"},
      // A deeper v is lowered by the merge.
      {"root@0:a a@1:b b@2:v v@3", "t@0:v v@1", "root", "t", "", "t",
       "a@1:b b@2:v root@0:a,t t@1:v v@2"},
      // t, present without depth, stays so through the merge; the edge sets it.
      {"root@0 t", "t@0", "root", "t", "", "", "root@0:t t@1",
       "Initializing depth of node 't' to 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.graph + " <- " + c.other);
    DepGraph graph = graph_of(c.graph);
    DepGraph other = graph_of(c.other);
    std::vector<std::string> logs = adding(c.adds);
    logs.insert(logs.begin(), str_cat("Adding graph with ", other.size(), " nodes linked by ",
                                      c.from, " -> ", c.to));
    if (c.error.empty()) logs.push_back("Add dependency '" + c.from + "' -> '" + c.to + "'");
    if (!c.depth_log.empty()) logs.push_back(c.depth_log);
    expect_run([&] { graph.add_graph(c.from, c.to, std::move(other)); }, c.error, logs);
    EXPECT_EQ(describe(graph), c.after);
    EXPECT_EQ(broken_invariant(graph), "");
  }
}

// Random operations on two graphs, the invariants checked after every step.
TEST(GraphProperties, RandomOperationsKeepTheInvariants) {
  log::facade().set_max_level(log::LevelFilter::Off);
  std::mt19937 rng(20240611);
  const auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  std::vector<std::string> pool = {"", "pkg.mod.alpha", "pkg.mod.zeta"};
  for (int i = 0; i < 30; ++i) pool.push_back(str_cat(i % 3 == 0 ? "pkg.sub" : "m", i));
  DepGraph graphs[2];
  for (DepGraph& g : graphs) g.add(node_of("<terminal>@0"));
  for (int step = 0; step < 4000; ++step) {
    DepGraph& g = graphs[pick(2)];
    DepGraph& other = &g == &graphs[0] ? graphs[1] : graphs[0];
    const std::string& a = pool[pick(pool.size())];
    const std::string& b = pool[pick(pool.size())];
    const std::size_t op = pick(6);
    if (op < 2 && !g.has_node(a)) {
      // The origin depends on the name only, so merges never meet a conflict.
      const std::string token = pick(4) == 0 ? str_cat(a, '@', pick(6)) : a;
      g.add(node_of(a.size() % 3 == 0 ? token : str_cat(token, "=/site/", a, ".py")));
    } else if (op == 2 && g.has_node(a) && g.has_node(b)) {
      failure_of([&] { g.add_dependency(a, b); });
    } else if (op == 3 && g.has_node(b) && other.has_node(a) && other.at(a).depth) {
      other.add_graph(a, b, g.clone_from(b));  // what the builder does on a cache hit
      ASSERT_TRUE(other.at(b).dependents.contains(a));
    } else if (op == 4) {
      g.merge(other);
    } else if (op == 5) {
      const std::string before = describe(g);
      g.merge(g);
      ASSERT_EQ(describe(g), before) << "step " << step;
    }
    for (const DepGraph& each : graphs) ASSERT_EQ(broken_invariant(each), "") << "step " << step;
  }
  log::facade().set_max_level(log::LevelFilter::Debug);
}

}  // namespace
}  // namespace tarnwick
