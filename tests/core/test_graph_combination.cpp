#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "contract/dep_graph.hpp"
#include "support/capture_log.hpp"
#include "support/graph_fixtures.hpp"

namespace tarnwick {
namespace {

using testing::broken_invariant;
using testing::captured;
using testing::captured_messages;
using testing::describe;
using testing::failure_of;
using testing::graph_of;
using testing::split;
using testing::start_capture;

constexpr std::string_view kTypes = log::kTypesTarget;
constexpr const char* kOriginMismatch = "assertion failed: origin == &other.spec.origin.unwrap()";
constexpr const char* kNameMismatch = "assertion failed: self.name == other.name";

// The "Adding node to graph" records for the blank-separated names.
std::vector<std::string> adding(std::string_view names) {
  std::vector<std::string> out;
  for (const auto& n : split(names, ' ')) out.push_back("Adding node to graph: " + n);
  return out;
}

TEST(CloneFrom, CopiesTheReachablePartInByteOrderAndPrunesDependents) {
  struct Case {
    std::string graph, start, order;
    std::string copy;  // "" when everything is copied
  };
  const Case cases[] = {
      // a and x import b from outside the copy and are dropped from its dependents.
      {"a@0:b,d b@1=/b.py:c c@2 d@1 x@0:b", "b", "b c", "b@1=/b.py:c c@2"},
      {"a@0:b b@1", "b", "b", "b@1"},
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
    start_capture();
    const DepGraph copy = graph.clone_from(c.start);
    EXPECT_EQ(captured_messages(kTypes), adding(c.order));
    EXPECT_EQ(captured().size(), split(c.order, ' ').size());
    EXPECT_EQ(describe(copy), c.copy.empty() ? before : c.copy);
    EXPECT_EQ(broken_invariant(copy), "");  // no dependent outside the copy
    EXPECT_EQ(describe(graph), before);
  }
  const DepGraph graph = graph_of("a@0");
  start_capture();
  EXPECT_EQ(failure_of([&] { graph.clone_from("b"); }), "assertion failed: self.has_node(name)");
  EXPECT_TRUE(captured().empty());
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
      {"m@5:y", "n@1:x", kNameMismatch, "m@5:y"},
      {"m@5=/m.py", "n@1", kNameMismatch, "m@5=/m.py"},  // the name is checked first
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m + " <- " + c.n);
    DepNode m = testing::node_of(c.m);
    m.dependents.insert("p");
    m.spec.parent = "m-parent";
    DepNode n = testing::node_of(c.n);
    n.dependents.insert("q");
    n.spec.submodule_search_locations.emplace();
    const ModuleSpec spec = m.spec;
    start_capture();
    EXPECT_EQ(failure_of([&] { m.merge(std::move(n)); }), c.error);
    EXPECT_TRUE(captured().empty());
    EXPECT_EQ(testing::token_of(m), c.after);
    EXPECT_EQ(std::set<std::string>(m.dependents.begin(), m.dependents.end()),
              (c.error.empty() ? std::set<std::string>{"p", "q"} : std::set<std::string>{"p"}));
    EXPECT_EQ(m.spec, spec);
  }
}

TEST(Merge, AddsNewNodesAndMergesKnownOnesLoggingOnlyTheAdds) {
  DepGraph graph = graph_of("root@0:a a@1=/a.py:b b@2");
  DepGraph other = graph_of("r2@0:b,a a@1=/a.py:c c@2 b@1");
  start_capture();
  graph.merge(std::move(other));
  std::vector<std::string> logs = captured_messages(kTypes);
  std::sort(logs.begin(), logs.end());  // merge takes the nodes in no defined order
  EXPECT_EQ(logs, adding("c r2"));
  EXPECT_EQ(captured().size(), 2u);
  EXPECT_EQ(describe(graph), "a@1=/a.py:b,c b@1 c@2 r2@0:a,b root@0:a");
  EXPECT_EQ(broken_invariant(graph), "");
}

TEST(Merge, FailedNodeMergeKeepsEarlierNodesAndDropsTheRest) {
  // Merge takes the nodes of `other` in the order they were added to it here.
  DepGraph graph = graph_of("root@0:m m@1=/m.py");
  DepGraph other = graph_of("early@1:m root@0:early m@2=/elsewhere/m.py:late late@3");
  start_capture();
  EXPECT_EQ(failure_of([&] { graph.merge(std::move(other)); }), kOriginMismatch);
  EXPECT_EQ(captured_messages(kTypes), adding("early"));
  // early is added, root merged; m is unchanged and late dropped.
  EXPECT_EQ(describe(graph), "early@1:m m@1=/m.py root@0:early,m");
  EXPECT_EQ(broken_invariant(graph), "edge early -> m is one-sided");
}

TEST(AddGraph, FailureOrderAndBreadthFirstDepthsBelowFrom) {
  struct Case {
    std::string graph, other, from, to, error;
    std::string adds;  // the nodes the merge adds, in order
    std::string after;
    std::string depth_log = "";  // after the record of the final edge
  };
  const std::string kMissing = "Node does not exist on graph: ";
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
    std::vector<std::string> logs = {"Adding graph with " + std::to_string(other.size()) +
                                     " nodes linked by " + c.from + " -> " + c.to};
    for (const auto& add : adding(c.adds)) logs.push_back(add);
    if (c.error.empty()) logs.push_back("Add dependency '" + c.from + "' -> '" + c.to + "'");
    if (!c.depth_log.empty()) logs.push_back(c.depth_log);
    start_capture();
    EXPECT_EQ(failure_of([&] { graph.add_graph(c.from, c.to, std::move(other)); }), c.error);
    EXPECT_EQ(captured_messages(kTypes), logs);
    EXPECT_EQ(captured().size(), logs.size());
    EXPECT_EQ(describe(graph), c.after);
    EXPECT_EQ(broken_invariant(graph), "");
  }
}

}  // namespace
}  // namespace tarnwick
