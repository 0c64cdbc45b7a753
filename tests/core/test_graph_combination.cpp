#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/dep_graph.hpp"
#include "core/error.hpp"
#include "support/capture_log.hpp"
#include "support/graph_fixtures.hpp"

namespace tarnwick {
namespace {

using testing::captured;
using testing::captured_messages;
using testing::Edge;
using testing::failure_of;
using testing::GraphState;
using testing::make_graph;
using testing::make_node;
using testing::make_spec;
using testing::NodeInit;
using testing::NodeState;
using testing::snapshot;
using testing::start_capture;
using testing::TitleName;

using Deps = std::set<std::string>;
using Depth = std::optional<std::int32_t>;
constexpr std::string_view kTypes = log::kTypesTarget;
constexpr const char* kOriginMismatch = "assertion failed: origin == &other.spec.origin.unwrap()";

NodeState st(Depth depth, Deps dependencies, Deps dependents,
             std::optional<std::string> origin = std::nullopt) {
  return NodeState{depth, std::move(dependencies), std::move(dependents), std::move(origin)};
}

std::vector<std::string> adding(std::initializer_list<const char*> names) {
  std::vector<std::string> out;
  for (const char* n : names) out.push_back(std::string("Adding node to graph: ") + n);
  return out;
}

// ---- clone_from ---------------------------------------------------------------

struct CloneCase {
  std::string title;
  std::vector<NodeInit> nodes;
  std::vector<Edge> edges;
  std::string start;
  std::vector<std::string> logs;  // in order
  GraphState expected;
};

std::ostream& operator<<(std::ostream& os, const CloneCase& c) {
  return os << c.title;
}

class CloneFrom : public ::testing::TestWithParam<CloneCase> {};

TEST_P(CloneFrom, CopiesReachablePartInNameOrder) {
  const CloneCase& c = GetParam();
  const DepGraph graph = make_graph(c.nodes, c.edges);
  const GraphState before = snapshot(graph);

  start_capture();
  const DepGraph sub = graph.clone_from(c.start);
  EXPECT_EQ(captured_messages(kTypes), c.logs);
  EXPECT_EQ(captured().size(), c.logs.size());
  EXPECT_EQ(snapshot(sub), c.expected);
  EXPECT_EQ(snapshot(graph), before);
  EXPECT_TRUE(testing::invariant_violations(sub).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CloneFrom,
    ::testing::Values(
        CloneCase{
            "DropsImportersOutside",
            {{"a", 0}, {"b", std::nullopt}, {"c", std::nullopt}, {"x", 0}, {"d", std::nullopt}},
            {{"a", "b"}, {"b", "c"}, {"x", "b"}, {"a", "d"}},
            "b",
            adding({"b", "c"}),
            {{"b", st(1, Deps{"c"}, {})}, {"c", st(2, {}, Deps{"b"})}}},
        CloneCase{"LeafGivesSingleNode",
                  {{"a", 0}, {"b", std::nullopt}},
                  {{"a", "b"}},
                  "b",
                  adding({"b"}),
                  {{"b", st(1, {}, {})}}},
        CloneCase{"SmallestPendingNameFirst",
                  {{"r", 0}, {"m.z", std::nullopt}, {"m.a", std::nullopt}, {"b", std::nullopt}},
                  {{"r", "m.z"}, {"r", "m.a"}, {"m.a", "b"}},
                  "r",
                  adding({"r", "m.a", "b", "m.z"}),
                  {{"r", st(0, Deps{"m.a", "m.z"}, {})},
                   {"m.a", st(1, Deps{"b"}, Deps{"r"})},
                   {"m.z", st(1, {}, Deps{"r"})},
                   {"b", st(2, {}, Deps{"m.a"})}}},
        CloneCase{"OrderIsByUnsignedBytes",
                  {{"r", 0},
                   {"\xc3\xa9t\xc3\xa9", std::nullopt},
                   {"z", std::nullopt},
                   {"Z", std::nullopt},
                   {"a", std::nullopt}},
                  {{"r", "\xc3\xa9t\xc3\xa9"}, {"r", "z"}, {"r", "Z"}, {"r", "a"}},
                  "r",
                  adding({"r", "Z", "a", "z", "\xc3\xa9t\xc3\xa9"}),
                  {{"r", st(0, Deps{"\xc3\xa9t\xc3\xa9", "z", "Z", "a"}, {})},
                   {"\xc3\xa9t\xc3\xa9", st(1, {}, Deps{"r"})},
                   {"z", st(1, {}, Deps{"r"})},
                   {"Z", st(1, {}, Deps{"r"})},
                   {"a", st(1, {}, Deps{"r"})}}},
        CloneCase{"PrefixSortsFirst",
                  {{"r", 0}, {"ab", std::nullopt}, {"a", std::nullopt}, {"a.b", std::nullopt}},
                  {{"r", "ab"}, {"r", "a.b"}, {"r", "a"}},
                  "r",
                  adding({"r", "a", "a.b", "ab"}),
                  {{"r", st(0, Deps{"a", "a.b", "ab"}, {})},
                   {"a", st(1, {}, Deps{"r"})},
                   {"a.b", st(1, {}, Deps{"r"})},
                   {"ab", st(1, {}, Deps{"r"})}}},
        CloneCase{"CycleKeepsInnerImporters",
                  {{"root", 0}, {"a", std::nullopt}, {"b", std::nullopt}, {"c", std::nullopt}},
                  {{"root", "a"}, {"a", "b"}, {"b", "c"}, {"c", "a"}},
                  "b",
                  adding({"b", "c", "a"}),
                  {{"a", st(1, Deps{"b"}, Deps{"c"})},
                   {"b", st(2, Deps{"c"}, Deps{"a"})},
                   {"c", st(3, Deps{"a"}, Deps{"b"})}}},
        CloneCase{"DiamondCopiesSharedNodeOnce",
                  {{"t", 0}, {"u", std::nullopt}, {"v", std::nullopt}, {"w", std::nullopt}},
                  {{"t", "v"}, {"t", "u"}, {"u", "w"}, {"v", "w"}},
                  "t",
                  adding({"t", "u", "v", "w"}),
                  {{"t", st(0, Deps{"u", "v"}, {})},
                   {"u", st(1, Deps{"w"}, Deps{"t"})},
                   {"v", st(1, Deps{"w"}, Deps{"t"})},
                   {"w", st(2, {}, Deps{"u", "v"})}}},
        CloneCase{"KeepsOriginsAndAbsentDepths",
                  {{"p", std::nullopt, "/p/__init__.py"}, {"q", std::nullopt, "/q.py"}},
                  {{"p", "q"}},
                  "p",
                  adding({"p", "q"}),
                  {{"p", st(std::nullopt, Deps{"q"}, {}, "/p/__init__.py")},
                   {"q", st(std::nullopt, {}, Deps{"p"}, "/q.py")}}}),
    TitleName());

TEST(CloneFromFailure, MissingNameLeavesGraphAndLogAlone) {
  const DepGraph graph = make_graph({{"a", 0}, {"b", std::nullopt}}, {{"a", "b"}});
  const GraphState before = snapshot(graph);
  start_capture();
  for (std::string_view missing : {"c", "", "a.b", "B"}) {
    EXPECT_EQ(failure_of([&] { graph.clone_from(missing); }),
              "assertion failed: self.has_node(name)");
  }
  EXPECT_TRUE(captured().empty());
  EXPECT_EQ(snapshot(graph), before);
}

TEST(CloneFromValue, CloneIsIndependentOfItsSource) {
  DepGraph graph = make_graph({{"a", 0}, {"b", std::nullopt}}, {{"a", "b"}});
  const GraphState before = snapshot(graph);
  DepGraph sub = graph.clone_from("a");
  const DepNode* spec_holder = sub.find("b");
  ASSERT_NE(spec_holder, nullptr);
  EXPECT_NE(spec_holder, graph.find("b"));
  sub.add(make_node("c", std::nullopt));
  sub.add_dependency("b", "c");
  EXPECT_EQ(snapshot(graph), before);
}

// ---- node-level merge -----------------------------------------------------------

struct NodeMergeCase {
  std::string title;
  NodeInit m;
  Deps m_dependencies, m_dependents;
  NodeInit n;
  Deps n_dependencies, n_dependents;
  std::optional<std::string> error;
  NodeState expected;  // M afterwards (M's state before, when the merge fails)
};

DepNode node_with(const NodeInit& init, const Deps& dependencies, const Deps& dependents) {
  DepNode node = make_node(init.name, init.depth, init.origin);
  for (const auto& d : dependencies) node.dependencies.insert(d);
  for (const auto& d : dependents) node.dependents.insert(d);
  return node;
}

std::ostream& operator<<(std::ostream& os, const NodeMergeCase& c) {
  return os << c.title;
}

class NodeMerge : public ::testing::TestWithParam<NodeMergeCase> {};

TEST_P(NodeMerge, UnitesSetsAndOrdersDepths) {
  const NodeMergeCase& c = GetParam();
  DepNode m = node_with(c.m, c.m_dependencies, c.m_dependents);
  m.spec.parent = "m-parent";
  DepNode n = node_with(c.n, c.n_dependencies, c.n_dependents);
  n.spec.parent = "n-parent";
  n.spec.submodule_search_locations = std::vector<std::string>{"/n"};

  start_capture();
  EXPECT_EQ(failure_of([&] { m.merge(std::move(n)); }), c.error);
  EXPECT_TRUE(captured().empty());
  EXPECT_EQ(testing::state_of(m), c.expected);
  // M keeps its own spec whatever happens.
  EXPECT_EQ(m.spec.parent, "m-parent");
  EXPECT_FALSE(m.spec.submodule_search_locations.has_value());
  EXPECT_EQ(m.name, c.m.name);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NodeMerge,
    ::testing::Values(
        NodeMergeCase{"SmallerDepthOfOtherWins",
                      {"m", 5},
                      {"y"},
                      {"p"},
                      {"m", 2},
                      {"x"},
                      {"q"},
                      std::nullopt,
                      st(2, Deps{"x", "y"}, Deps{"p", "q"})},
        NodeMergeCase{"OwnSmallerDepthStays",
                      {"m", 2},
                      {"y"},
                      {},
                      {"m", 5},
                      {"y", "z"},
                      {},
                      std::nullopt,
                      st(2, Deps{"y", "z"}, {})},
        NodeMergeCase{"TieKeepsDepth",
                      {"m", 3},
                      {},
                      {"a"},
                      {"m", 3},
                      {},
                      {"a"},
                      std::nullopt,
                      st(3, {}, Deps{"a"})},
        NodeMergeCase{"AbsentInOtherClearsDepth",
                      {"m", 2},
                      {},
                      {},
                      {"m", std::nullopt},
                      {"x"},
                      {},
                      std::nullopt,
                      st(std::nullopt, Deps{"x"}, {})},
        NodeMergeCase{"AbsentInSelfStaysAbsent",
                      {"m", std::nullopt},
                      {},
                      {},
                      {"m", 2},
                      {},
                      {},
                      std::nullopt,
                      st(std::nullopt, {}, {})},
        NodeMergeCase{"SameOriginAccepted",
                      {"m", 1, "/m.py"},
                      {},
                      {},
                      {"m", 0, "/m.py"},
                      {},
                      {},
                      std::nullopt,
                      st(0, {}, {}, "/m.py")},
        NodeMergeCase{"NoOwnOriginAcceptsAnyOrigin",
                      {"m", 1},
                      {},
                      {},
                      {"m", 4, "/other.py"},
                      {"d"},
                      {},
                      std::nullopt,
                      st(1, Deps{"d"}, {})},
        NodeMergeCase{
            "BothWithoutOrigin", {"m", 1}, {}, {}, {"m", 0}, {}, {}, std::nullopt, st(0, {}, {})},
        NodeMergeCase{"OriginAbsentInOtherFails",
                      {"m", 5, "/m.py"},
                      {"y"},
                      {},
                      {"m", 1},
                      {"x"},
                      {},
                      kAbsentValue,
                      st(5, Deps{"y"}, {}, "/m.py")},
        NodeMergeCase{"DifferentOriginFails",
                      {"m", 5, "/m.py"},
                      {"y"},
                      {},
                      {"m", 1, "/n.py"},
                      {"x"},
                      {},
                      kOriginMismatch,
                      st(5, Deps{"y"}, {}, "/m.py")},
        NodeMergeCase{"OriginComparedByBytes",
                      {"m", 5, "/m.py"},
                      {},
                      {},
                      {"m", 1, "/M.py"},
                      {},
                      {},
                      kOriginMismatch,
                      st(5, {}, {}, "/m.py")},
        NodeMergeCase{"DifferentNameFails",
                      {"m", 5},
                      {"y"},
                      {},
                      {"n", 1},
                      {"x"},
                      {},
                      "assertion failed: self.name == other.name",
                      st(5, Deps{"y"}, {})},
        NodeMergeCase{"NameCheckedBeforeOrigin",
                      {"m", 5, "/m.py"},
                      {},
                      {},
                      {"n", 1},
                      {},
                      {},
                      "assertion failed: self.name == other.name",
                      st(5, {}, {}, "/m.py")}),
    TitleName());

// ---- merge ------------------------------------------------------------------------

TEST(Merge, NewNodesAreAddedOneLogEachAndExistingNodesUntouched) {
  DepGraph graph = make_graph({{"root", 0}, {"a", std::nullopt}}, {{"root", "a"}});
  const GraphState before = snapshot(graph);
  DepGraph other =
      make_graph({{"x", 0}, {"y", std::nullopt}, {"z", std::nullopt}}, {{"x", "y"}, {"y", "z"}});
  const GraphState other_state = snapshot(other);

  start_capture();
  graph.merge(std::move(other));
  std::vector<std::string> logs = captured_messages(kTypes);
  std::sort(logs.begin(), logs.end());  // merge takes nodes in no defined order
  EXPECT_EQ(logs, adding({"x", "y", "z"}));
  EXPECT_EQ(captured().size(), 3u);

  GraphState expected = before;
  expected.insert(other_state.begin(), other_state.end());
  EXPECT_EQ(snapshot(graph), expected);
}

TEST(Merge, SharedNodesAreMergedWithoutLogging) {
  DepGraph graph = make_graph({{"root", 0}, {"a", std::nullopt, "/a.py"}, {"b", std::nullopt}},
                              {{"root", "a"}, {"a", "b"}});
  DepGraph other = make_graph(
      {{"r2", 0}, {"a", std::nullopt, "/a.py"}, {"c", std::nullopt}, {"b", std::nullopt}},
      {{"r2", "b"}, {"r2", "a"}, {"a", "c"}});

  start_capture();
  graph.merge(std::move(other));
  std::vector<std::string> logs = captured_messages(kTypes);
  std::sort(logs.begin(), logs.end());
  EXPECT_EQ(logs, adding({"c", "r2"}));
  EXPECT_EQ(snapshot(graph), (GraphState{
                                 {"root", st(0, Deps{"a"}, {})},
                                 {"r2", st(0, Deps{"a", "b"}, {})},
                                 {"a", st(1, Deps{"b", "c"}, Deps{"root", "r2"}, "/a.py")},
                                 {"b", st(1, {}, Deps{"a", "r2"})},
                                 {"c", st(2, {}, Deps{"a"})},
                             }));
  EXPECT_TRUE(testing::invariant_violations(graph).empty());
}

TEST(Merge, IntoACopyOfItselfChangesNothing) {
  DepGraph graph = make_graph(
      {{"root", 0}, {"a", std::nullopt, "/a.py"}, {"b", std::nullopt}, {"c", std::nullopt}},
      {{"root", "a"}, {"a", "b"}, {"b", "c"}, {"c", "a"}, {"root", "c"}});
  const GraphState before = snapshot(graph);
  start_capture();
  graph.merge(graph);
  EXPECT_TRUE(captured().empty());
  EXPECT_EQ(snapshot(graph), before);
}

TEST(Merge, FailedNodeMergeKeepsEarlierNodesAndDropsTheRest) {
  // This implementation takes the nodes of `other` in the order they were
  // added to it; the test leans on that to know which ones came earlier.
  DepGraph graph = make_graph({{"root", 0}, {"m", std::nullopt, "/m.py"}}, {{"root", "m"}});
  DepGraph other = make_graph(
      {{"early", 3}, {"root", 0}, {"m", std::nullopt, "/elsewhere/m.py"}, {"late", std::nullopt}},
      {{"root", "early"}, {"early", "m"}, {"m", "late"}});
  const GraphState before = snapshot(graph);

  start_capture();
  EXPECT_EQ(failure_of([&] { graph.merge(std::move(other)); }), kOriginMismatch);
  EXPECT_EQ(captured_messages(kTypes), adding({"early"}));

  GraphState expected = before;
  expected["early"] = st(1, Deps{"m"}, Deps{"root"});  // added as it came
  expected["root"] = st(0, Deps{"m", "early"}, {});    // merged
  EXPECT_EQ(snapshot(graph), expected);                // m unchanged, late dropped
}

// ---- add_graph -------------------------------------------------------------------

struct AttachCase {
  std::string title;
  std::vector<NodeInit> nodes;  // this graph
  std::vector<Edge> edges;
  std::vector<NodeInit> other_nodes;  // in the order the walk/merge sees them
  std::vector<Edge> other_edges;
  Edge link;
  std::optional<std::string> error;
  std::vector<std::string> logs;
  GraphState expected;  // this graph afterwards; empty means "unchanged"
};

std::ostream& operator<<(std::ostream& os, const AttachCase& c) {
  return os << c.title;
}

class AddGraph : public ::testing::TestWithParam<AttachCase> {};

TEST_P(AddGraph, AttachesWithFreshDepths) {
  const AttachCase& c = GetParam();
  DepGraph graph = make_graph(c.nodes, c.edges);
  const GraphState before = snapshot(graph);
  DepGraph other = make_graph(c.other_nodes, c.other_edges);

  start_capture();
  EXPECT_EQ(failure_of([&] { graph.add_graph(c.link.first, c.link.second, std::move(other)); }),
            c.error);
  EXPECT_EQ(captured_messages(kTypes), c.logs);
  EXPECT_EQ(captured().size(), c.logs.size());
  EXPECT_EQ(snapshot(graph), c.expected.empty() ? before : c.expected);
  // A merge stopped half-way may leave one-sided edges; otherwise all is sound.
  if (!c.error) {
    EXPECT_TRUE(testing::invariant_violations(graph).empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AddGraph,
    ::testing::Values(
        AttachCase{"MissingFromFailsFirst",
                   {{"root", 0}},
                   {},
                   {{"t", 0}},
                   {},
                   {"nope", "absent"},
                   "Node does not exist on graph: nope",
                   {"Adding graph with 1 nodes linked by nope -> absent"},
                   {}},
        AttachCase{"MissingToFails",
                   {{"root", 0}},
                   {},
                   {{"t", 0}, {"u", 1}},
                   {{"t", "u"}},
                   {"root", "absent"},
                   "Node does not exist on graph: absent",
                   {"Adding graph with 2 nodes linked by root -> absent"},
                   {}},
        AttachCase{"FromWithoutDepthFails",
                   {{"root", 0}, {"f", std::nullopt}},
                   {},
                   {{"t", 0}},
                   {},
                   {"f", "t"},
                   kAbsentValue,
                   {"Adding graph with 1 nodes linked by f -> t"},
                   {}},
        AttachCase{"BreadthFirstDistancesBelowFrom",
                   {{"root", 0}, {"a", std::nullopt}},
                   {{"root", "a"}},
                   // Cached depths are stale and replaced.
                   {{"t", 4}, {"u", std::nullopt}, {"v", std::nullopt}, {"w", std::nullopt}},
                   {{"t", "u"}, {"u", "v"}, {"t", "v"}, {"v", "w"}},
                   {"a", "t"},
                   std::nullopt,
                   {"Adding graph with 4 nodes linked by a -> t", "Adding node to graph: t",
                    "Adding node to graph: u", "Adding node to graph: v", "Adding node to graph: w",
                    "Add dependency 'a' -> 't'"},
                   {{"root", st(0, Deps{"a"}, {})},
                    {"a", st(1, Deps{"t"}, Deps{"root"})},
                    {"t", st(2, Deps{"u", "v"}, Deps{"a"})},
                    {"u", st(3, Deps{"v"}, Deps{"t"})},
                    {"v", st(3, Deps{"w"}, Deps{"t", "u"})},
                    {"w", st(4, {}, Deps{"v"})}}},
        AttachCase{"ShallowerExistingNodeKeepsDepth",
                   {{"root", 0}, {"a", std::nullopt}, {"v", std::nullopt, "/v.py"}},
                   {{"root", "a"}, {"root", "v"}},
                   {{"t", 0}, {"v", std::nullopt, "/v.py"}, {"w", std::nullopt}},
                   {{"t", "v"}, {"v", "w"}},
                   {"a", "t"},
                   std::nullopt,
                   {"Adding graph with 3 nodes linked by a -> t", "Adding node to graph: t",
                    "Adding node to graph: w", "Add dependency 'a' -> 't'"},
                   {{"root", st(0, Deps{"a", "v"}, {})},
                    {"a", st(1, Deps{"t"}, Deps{"root"})},
                    {"t", st(2, Deps{"v"}, Deps{"a"})},
                    {"v", st(1, Deps{"w"}, Deps{"root", "t"}, "/v.py")},
                    {"w", st(4, {}, Deps{"v"})}}},
        AttachCase{"DeeperExistingNodeIsLowered",
                   {{"root", 0},
                    {"a", std::nullopt},
                    {"b", std::nullopt},
                    {"c", std::nullopt},
                    {"v", std::nullopt}},
                   {{"root", "a"}, {"a", "b"}, {"b", "c"}, {"c", "v"}},
                   {{"t", 0}, {"v", std::nullopt}},
                   {{"t", "v"}},
                   {"root", "t"},
                   std::nullopt,
                   {"Adding graph with 2 nodes linked by root -> t", "Adding node to graph: t",
                    "Add dependency 'root' -> 't'"},
                   {{"root", st(0, Deps{"a", "t"}, {})},
                    {"a", st(1, Deps{"b"}, Deps{"root"})},
                    {"b", st(2, Deps{"c"}, Deps{"a"})},
                    {"c", st(3, Deps{"v"}, Deps{"b"})},
                    {"t", st(1, Deps{"v"}, Deps{"root"})},
                    {"v", st(2, {}, Deps{"c", "t"})}}},
        AttachCase{
            "ToAlreadyPresentIsLoweredByTheEdge",
            {{"root", 0}, {"a", std::nullopt}, {"b", std::nullopt}, {"t", std::nullopt}},
            {{"root", "a"}, {"a", "b"}, {"b", "t"}},
            {{"t", 0}},
            {},
            {"root", "t"},
            std::nullopt,
            {"Adding graph with 1 nodes linked by root -> t", "Add dependency 'root' -> 't'"},
            {{"root", st(0, Deps{"a", "t"}, {})},
             {"a", st(1, Deps{"b"}, Deps{"root"})},
             {"b", st(2, Deps{"t"}, Deps{"a"})},
             {"t", st(1, {}, Deps{"b", "root"})}}},
        AttachCase{"OriginConflictStopsInMerge",
                   {{"root", 0}, {"v", std::nullopt, "/v.py"}},
                   {{"root", "v"}},
                   {{"t", 0}, {"v", std::nullopt, "/other/v.py"}},
                   {{"t", "v"}},
                   {"root", "t"},
                   kOriginMismatch,
                   {"Adding graph with 2 nodes linked by root -> t", "Adding node to graph: t"},
                   {{"root", st(0, Deps{"v"}, {})},
                    {"t", st(1, Deps{"v"}, {})},
                    {"v", st(1, {}, Deps{"root"}, "/v.py")}}}),
    TitleName());

TEST(AddGraphDepth, NodesNotReachableFromToGetNoDepth) {
  // The builder only attaches graphs made by clone_from(to); a node outside
  // the walk from `to` is merged without a depth.
  DepGraph graph = make_graph({{"root", 0}});
  DepGraph other = make_graph({{"t", 0}, {"island", 0}});
  graph.add_graph("root", "t", std::move(other));
  EXPECT_EQ(graph.at("t").depth, 1);
  EXPECT_EQ(graph.at("island").depth, std::nullopt);
}

TEST(AddGraphDepth, ClonedSubgraphKeepsImportStepsFromTheRoot) {
  // A cache where `lib` sits deep; attached right below a new root it gets
  // depths counted from that root.
  DepGraph cache = make_graph({{"<terminal>", 0},
                               {"app", std::nullopt},
                               {"lib", std::nullopt},
                               {"lib.core", std::nullopt},
                               {"lib.util", std::nullopt}},
                              {{"<terminal>", "app"},
                               {"app", "lib"},
                               {"lib", "lib.core"},
                               {"lib.core", "lib.util"},
                               {"lib", "lib.util"}});
  DepGraph graph = make_graph({{"<terminal>", 0}});
  graph.add_graph("<terminal>", "lib", cache.clone_from("lib"));
  EXPECT_EQ(snapshot(graph),
            (GraphState{{"<terminal>", st(0, Deps{"lib"}, {})},
                        {"lib", st(1, Deps{"lib.core", "lib.util"}, Deps{"<terminal>"})},
                        {"lib.core", st(2, Deps{"lib.util"}, Deps{"lib"})},
                        {"lib.util", st(2, {}, Deps{"lib", "lib.core"})}}));
}

}  // namespace
}  // namespace tarnwick
