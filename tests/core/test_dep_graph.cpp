#include "core/dep_graph.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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
using testing::sorted;
using testing::start_capture;

constexpr std::string_view kTypes = log::kTypesTarget;
constexpr const char* kDuplicate = "assertion failed: !self.nodes.contains_key(&node.name)";

// ---- NameSet ----------------------------------------------------------------

TEST(NameSet, InsertKeepsEachNameOnce) {
  for (std::size_t n : {0u, 1u, 5u, 16u, 17u, 40u, 1000u}) {
    NameSet set;
    for (std::size_t round = 0; round < 2; ++round) {
      for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(set.insert("m" + std::to_string(i)), round == 0) << n << " " << i;
      }
    }
    EXPECT_EQ(set.size(), n);
    for (std::size_t i = 0; i < n; ++i) EXPECT_TRUE(set.contains("m" + std::to_string(i)));
    EXPECT_FALSE(set.contains("m" + std::to_string(n)));
    EXPECT_FALSE(set.contains(""));
    EXPECT_EQ(sorted(set).size(), n);
  }
}

TEST(NameSet, StoresAnyBytesAndAnyLength) {
  // Lengths past one and two length bytes, embedded NULs and high bytes.
  const std::vector<std::string> names = {std::string(127, 'a'),
                                          std::string(128, 'a'),
                                          std::string(20000, 'b'),
                                          std::string("x\0y", 3),
                                          "\x80\xff",
                                          "a.b"};
  for (std::size_t extra : {0u, 30u}) {  // without and with the hashed index
    NameSet set;
    for (std::size_t i = 0; i < extra; ++i) set.insert("filler" + std::to_string(i));
    for (const auto& n : names) EXPECT_TRUE(set.insert(n));
    for (const auto& n : names) EXPECT_FALSE(set.insert(n));
    EXPECT_EQ(set.size(), names.size() + extra);
    for (const auto& n : names) EXPECT_TRUE(set.contains(n)) << n.size();
    EXPECT_FALSE(set.contains(std::string(129, 'a')));
    EXPECT_FALSE(set.contains("x"));
    std::vector<std::string> seen;
    for (std::string_view n : set) {
      if (n.substr(0, 6) != "filler") seen.emplace_back(n);
    }
    EXPECT_EQ(seen, names);  // members come back intact, in insertion order here
  }
}

TEST(NameSet, InsertingAViewOfItsOwnMemberIsSafe) {
  NameSet set;
  set.insert("a.module.name.well.past.the.small.string.size");
  for (int i = 0; i < 40; ++i) {
    const std::string_view own = *set.begin();
    EXPECT_FALSE(set.insert(own));
    set.insert(std::string(own) + std::to_string(i));
  }
  EXPECT_EQ(set.size(), 41u);
  EXPECT_TRUE(set.contains("a.module.name.well.past.the.small.string.size39"));
}

TEST(NameSet, EmptyNameIsAName) {
  NameSet set;
  EXPECT_FALSE(set.contains(""));
  EXPECT_TRUE(set.insert(std::string_view("")));
  EXPECT_FALSE(set.insert(std::string_view()));
  EXPECT_TRUE(set.contains(""));
  EXPECT_EQ(set.size(), 1u);
}

TEST(NameSet, RetainIfKeepsMatchingNamesAndLookupWorks) {
  for (std::size_t n : {3u, 20u, 300u}) {
    NameSet set;
    for (std::size_t i = 0; i < n; ++i) set.insert(std::to_string(i));
    set.retain_if([](std::string_view s) { return (s.back() - '0') % 2 == 0; });
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_EQ(set.contains(std::to_string(i)), i % 2 == 0) << n << " " << i;
    }
    EXPECT_EQ(set.size(), (n + 1) / 2);
    EXPECT_TRUE(set.insert("1"));  // dropped names may come back
    EXPECT_TRUE(set.contains("1"));
  }
}

TEST(NameSet, EqualityIgnoresOrderAndInsertAllUnites) {
  EXPECT_EQ((NameSet{"a", "b", "c"}), (NameSet{"c", "a", "b"}));
  EXPECT_NE((NameSet{"a", "b"}), (NameSet{"a", "b", "c"}));
  EXPECT_NE((NameSet{"a", "b"}), (NameSet{"a", "c"}));

  NameSet left{"a", "b"};
  left.insert_all(NameSet{"b", "c"});
  EXPECT_EQ(left, (NameSet{"a", "b", "c"}));
  NameSet empty;
  empty.insert_all(NameSet{"x"});
  EXPECT_EQ(empty, NameSet{"x"});

  NameSet big;
  NameSet other;
  for (int i = 0; i < 50; ++i) big.insert("n" + std::to_string(i));
  for (int i = 25; i < 75; ++i) other.insert("n" + std::to_string(i));
  big.insert_all(std::move(other));
  EXPECT_EQ(big.size(), 75u);
  for (int i = 0; i < 75; ++i) EXPECT_TRUE(big.contains("n" + std::to_string(i)));
}

// ---- DepNode ----------------------------------------------------------------

TEST(DepNode, ConstructionCopiesTheSpecNameAndStartsWithoutEdges) {
  ModuleSpec spec = make_spec("a.b", "/x/a/b.py");
  spec.parent = "a";
  spec.submodule_search_locations = std::vector<std::string>{"/x/a/b"};
  for (std::optional<std::int32_t> depth :
       {std::optional<std::int32_t>{}, std::optional{0}, std::optional{7}, std::optional{-3}}) {
    const DepNode node(spec, depth);
    EXPECT_EQ(node.name, "a.b");
    EXPECT_EQ(node.spec, spec);
    EXPECT_TRUE(node.dependencies.empty());
    EXPECT_TRUE(node.dependents.empty());
    EXPECT_EQ(node.depth, depth);
  }
}

// ---- add / has_node / lookup ------------------------------------------------

TEST(DepGraphAdd, AddsLogsAndFinds) {
  start_capture();
  DepGraph graph;
  const DepNode& stored = graph.add(make_node("a.b", 3, "/x/a/b.py"));
  EXPECT_EQ(captured_messages(kTypes), std::vector<std::string>{"Adding node to graph: a.b"});
  ASSERT_EQ(captured().size(), 1u);
  EXPECT_EQ(captured()[0].level, log::Level::Debug);

  EXPECT_EQ(stored.name, "a.b");
  EXPECT_EQ(stored.depth, 3);
  EXPECT_TRUE(graph.has_node("a.b"));
  EXPECT_EQ(graph.find("a.b"), &stored);
  EXPECT_EQ(&graph.at("a.b"), &stored);
  EXPECT_EQ(graph.size(), 1u);
  for (std::string_view missing : {"a", "a.b.c", "", "A.B", "a.b "}) {
    EXPECT_FALSE(graph.has_node(missing)) << missing;
    EXPECT_EQ(graph.find(missing), nullptr);
    EXPECT_EQ(failure_of([&] { graph.at(missing); }),
              "Node does not exist on graph: " + std::string(missing));
  }
}

TEST(DepGraphAdd, DuplicateFailsWithoutLogAndKeepsFirstNode) {
  DepGraph graph;
  graph.add(make_node("a.b", 1, "/first.py"));
  graph.add(make_node("c", 0));
  graph.add_dependency("c", "a.b");
  const GraphState before = snapshot(graph);

  start_capture();
  for (std::optional<std::int32_t> depth : {std::optional<std::int32_t>{}, std::optional{9}}) {
    EXPECT_EQ(failure_of([&] { graph.add(make_node("a.b", depth, "/second.py")); }), kDuplicate);
  }
  EXPECT_TRUE(captured().empty());
  EXPECT_EQ(snapshot(graph), before);
  EXPECT_EQ(graph.size(), 2u);
}

TEST(DepGraphAdd, StoredNodesKeepTheirAddressAsTheGraphGrows) {
  DepGraph graph;
  graph.add(make_node("", 0));  // the empty name is a name like any other
  const DepNode* first = &graph.add(make_node("first", 0));
  for (int i = 0; i < 5000; ++i) graph.add(make_node("m" + std::to_string(i), std::nullopt));
  EXPECT_EQ(graph.find("first"), first);
  EXPECT_EQ(first->name, "first");
  EXPECT_TRUE(graph.has_node(""));
  EXPECT_EQ(graph.size(), 5002u);
  for (int i = 0; i < 5000; i += 97) EXPECT_TRUE(graph.has_node("m" + std::to_string(i)));
  EXPECT_FALSE(graph.has_node("m5000"));
}

// ---- add_dependency ---------------------------------------------------------

struct EdgeCase {
  std::string title;
  std::vector<NodeInit> nodes;
  std::vector<Edge> setup;  // applied before capturing
  Edge edge;                // the edge under test
  std::vector<std::string> logs;
  std::optional<std::string> error;
  // Expected state of the named nodes afterwards (others must be unchanged).
  std::vector<std::pair<std::string, NodeState>> expect;
};

std::ostream& operator<<(std::ostream& os, const EdgeCase& c) {
  return os << c.title;
}

class AddDependency : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(AddDependency, StepsLogsAndState) {
  const EdgeCase& c = GetParam();
  DepGraph graph = make_graph(c.nodes, c.setup);
  GraphState expected = snapshot(graph);
  for (const auto& [name, state] : c.expect) expected[name] = state;

  start_capture();
  const auto error = failure_of([&] { graph.add_dependency(c.edge.first, c.edge.second); });
  EXPECT_EQ(error, c.error);
  EXPECT_EQ(captured_messages(kTypes), c.logs);
  EXPECT_EQ(captured().size(), c.logs.size());
  EXPECT_EQ(snapshot(graph), expected);
}

using Deps = std::set<std::string>;

NodeState st(std::optional<std::int32_t> depth, Deps dependencies, Deps dependents) {
  return NodeState{depth, std::move(dependencies), std::move(dependents), std::nullopt};
}
constexpr std::int32_t kMaxDepth = std::numeric_limits<std::int32_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Cases, AddDependency,
    ::testing::Values(
        EdgeCase{"FirstEdgeInitializesDepth",
                 {{"a", 0}, {"b", std::nullopt}},
                 {},
                 {"a", "b"},
                 {"Add dependency 'a' -> 'b'", "Initializing depth of node 'b' to 1"},
                 std::nullopt,
                 {{"a", st(0, Deps{"b"}, {})}, {"b", st(1, {}, Deps{"a"})}}},
        EdgeCase{"RepeatedEdgeChangesNothing",
                 {{"a", 0}, {"b", std::nullopt}},
                 {{"a", "b"}},
                 {"a", "b"},
                 {"Add dependency 'a' -> 'b'"},
                 std::nullopt,
                 {{"a", st(0, Deps{"b"}, {})}, {"b", st(1, {}, Deps{"a"})}}},
        EdgeCase{"LargerCandidateKeepsDepth",
                 {{"a", 0}, {"c", 5}, {"b", 3}},
                 {},
                 {"c", "b"},
                 {"Add dependency 'c' -> 'b'"},
                 std::nullopt,
                 {{"c", st(5, Deps{"b"}, {})}, {"b", st(3, {}, Deps{"c"})}}},
        EdgeCase{"ShorterPathLowersOnlyTheTarget",
                 {{"a", 0}, {"c", 5}, {"b", 3}, {"d", std::nullopt}},
                 {{"b", "d"}, {"c", "b"}},
                 {"a", "b"},
                 {"Add dependency 'a' -> 'b'", "Found shorter depth to 'b' new depth is 1"},
                 std::nullopt,
                 {{"a", st(0, Deps{"b"}, {})},
                  {"b", st(1, Deps{"d"}, Deps{"a", "c"})},
                  {"d", st(4, {}, Deps{"b"})}}},
        EdgeCase{"EqualCandidateLogsNoDepthMessage",
                 {{"a", 0}, {"x", 0}, {"b", std::nullopt}},
                 {{"a", "b"}},
                 {"x", "b"},
                 {"Add dependency 'x' -> 'b'"},
                 std::nullopt,
                 {{"x", st(0, Deps{"b"}, {})}, {"b", st(1, {}, Deps{"a", "x"})}}},
        EdgeCase{"BothMissingNamesFrom",
                 {{"a", 0}},
                 {},
                 {"x", "y"},
                 {"Add dependency 'x' -> 'y'"},
                 "Node does not exist on graph: x",
                 {}},
        EdgeCase{"MissingFromNamesFrom",
                 {{"b", 0}},
                 {},
                 {"x", "b"},
                 {"Add dependency 'x' -> 'b'"},
                 "Node does not exist on graph: x",
                 {}},
        EdgeCase{"MissingToNamesTo",
                 {{"a", 0}},
                 {},
                 {"a", "y"},
                 {"Add dependency 'a' -> 'y'"},
                 "Node does not exist on graph: y",
                 {}},
        EdgeCase{"FromWithoutDepthRecordsEdgeThenFails",
                 {{"a", std::nullopt}, {"b", 4}},
                 {},
                 {"a", "b"},
                 {"Add dependency 'a' -> 'b'"},
                 "Attempted to add dependency from node with uninitialized depth named: a",
                 {{"a", st(std::nullopt, Deps{"b"}, {})}, {"b", st(4, {}, Deps{"a"})}}},
        EdgeCase{"FromWithoutDepthLeavesAbsentTargetDepth",
                 {{"a", std::nullopt}, {"b", std::nullopt}},
                 {},
                 {"a", "b"},
                 {"Add dependency 'a' -> 'b'"},
                 "Attempted to add dependency from node with uninitialized depth named: a",
                 {{"a", st(std::nullopt, Deps{"b"}, {})}, {"b", st(std::nullopt, {}, Deps{"a"})}}},
        EdgeCase{"SelfEdgeIsRecordedAndKeepsDepth",
                 {{"a", 2}},
                 {},
                 {"a", "a"},
                 {"Add dependency 'a' -> 'a'"},
                 std::nullopt,
                 {{"a", st(2, Deps{"a"}, Deps{"a"})}}},
        EdgeCase{"NegativeDepthsCountUp",
                 {{"a", -5}, {"b", 0}},
                 {},
                 {"a", "b"},
                 {"Add dependency 'a' -> 'b'", "Found shorter depth to 'b' new depth is -4"},
                 std::nullopt,
                 {{"a", st(-5, Deps{"b"}, {})}, {"b", st(-4, {}, Deps{"a"})}}},
        EdgeCase{"DepthSaturatesAtTheTop",
                 {{"a", kMaxDepth}, {"b", std::nullopt}},
                 {},
                 {"a", "b"},
                 {"Add dependency 'a' -> 'b'", "Initializing depth of node 'b' to 2147483647"},
                 std::nullopt,
                 {{"a", st(kMaxDepth, Deps{"b"}, {})}, {"b", st(kMaxDepth, {}, Deps{"a"})}}},
        EdgeCase{"DottedAndEmptyNames",
                 {{"", 0}, {"a.b.c", std::nullopt}},
                 {},
                 {"", "a.b.c"},
                 {"Add dependency '' -> 'a.b.c'", "Initializing depth of node 'a.b.c' to 1"},
                 std::nullopt,
                 {{"", st(0, Deps{"a.b.c"}, {})}, {"a.b.c", st(1, {}, Deps{""})}}}),
    testing::TitleName());

TEST(AddDependency, NamesMayViewStoredNodesAndSetMembers) {
  // Views into the graph's own storage stay usable as arguments.
  DepGraph graph = make_graph({{"root", 0}, {"a", std::nullopt}, {"b", std::nullopt}},
                              {{"root", "a"}, {"root", "b"}});
  const DepNode& a = graph.at("a");
  for (int i = 0; i < 40; ++i) {
    const std::string name = "long.module.name.number." + std::to_string(i);
    graph.add(make_node(name, std::nullopt));
    graph.add_dependency(*a.dependents.begin(), name);
    graph.add_dependency(graph.at(name).name, "a");
  }
  EXPECT_EQ(graph.at("a").dependents.size(), 41u);
  EXPECT_TRUE(testing::invariant_violations(graph).empty());
}

// ---- num_dependencies --------------------------------------------------------

struct CountCase {
  std::string title;
  std::vector<NodeInit> nodes;
  std::vector<Edge> edges;
  std::uint64_t expected;
};

std::ostream& operator<<(std::ostream& os, const CountCase& c) {
  return os << c.title;
}

class NumDependencies : public ::testing::TestWithParam<CountCase> {};

TEST_P(NumDependencies, CountsEdgesOnce) {
  const CountCase& c = GetParam();
  const DepGraph graph = make_graph(c.nodes, c.edges);
  EXPECT_EQ(graph.num_dependencies(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NumDependencies,
    ::testing::Values(CountCase{"EmptyGraph", {}, {}, 0},
                      CountCase{
                          "NodesWithoutEdges", {{"a", 0}, {"b", 1}, {"c", std::nullopt}}, {}, 0},
                      CountCase{"Triangle",
                                {{"a", 0}, {"b", std::nullopt}, {"c", std::nullopt}},
                                {{"a", "b"}, {"a", "c"}, {"b", "c"}},
                                3},
                      CountCase{"RepeatedEdgesCountOnce",
                                {{"a", 0}, {"b", std::nullopt}},
                                {{"a", "b"}, {"a", "b"}, {"a", "b"}},
                                1},
                      CountCase{"CycleCountsBothDirections",
                                {{"a", 0}, {"b", std::nullopt}},
                                {{"a", "b"}, {"b", "a"}},
                                2},
                      CountCase{"EdgesFromNodesWithoutDepthCount",
                                {{"a", std::nullopt}, {"b", std::nullopt}},
                                {{"a", "b"}},
                                1}),
    testing::TitleName());

// ---- copying, moving, iteration and the log filter --------------------------

TEST(DepGraphValue, CopyIsDeepAndMoveKeepsContent) {
  DepGraph original =
      make_graph({{"a", 0}, {"b", std::nullopt}, {"c", std::nullopt}}, {{"a", "b"}, {"b", "c"}});
  const GraphState before = snapshot(original);

  DepGraph copy = original;
  copy.add(make_node("d", std::nullopt));
  copy.add_dependency("c", "d");
  copy.add_dependency("a", "c");
  EXPECT_EQ(snapshot(original), before);
  EXPECT_EQ(copy.size(), 4u);
  EXPECT_EQ(copy.at("c").depth, 1);
  EXPECT_NE(copy.find("a"), original.find("a"));

  DepGraph moved = std::move(copy);
  EXPECT_EQ(moved.size(), 4u);
  EXPECT_TRUE(moved.has_node("d"));
  EXPECT_EQ(moved.num_dependencies(), 4u);

  DepGraph assigned;
  assigned = original;
  EXPECT_EQ(snapshot(assigned), before);
  assigned.add(make_node("e", 0));  // the copy's index is its own
  EXPECT_FALSE(original.has_node("e"));
  EXPECT_TRUE(assigned.has_node("e"));
}

TEST(DepGraphValue, IterationVisitsEveryNodeOnce) {
  DepGraph graph;
  std::set<std::string> expected;
  for (int i = 0; i < 300; ++i) {
    expected.insert("n" + std::to_string(i));
    graph.add(make_node("n" + std::to_string(i), i));
  }
  std::set<std::string> seen;
  std::size_t visits = 0;
  for (const DepNode& node : graph) {
    seen.insert(node.name);
    ++visits;
  }
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(visits, 300u);
}

TEST(DepGraphLogging, MessagesRespectTheGlobalFilter) {
  for (auto filter : {log::LevelFilter::Off, log::LevelFilter::Error, log::LevelFilter::Info}) {
    start_capture();
    testing::with_filter(filter, [] {
      DepGraph graph = make_graph({{"a", 0}, {"b", std::nullopt}}, {{"a", "b"}});
      graph.add(make_node("c", 3));
      graph.add_dependency("a", "c");
      DepGraph sub = graph.clone_from("a");
      DepGraph other = make_graph({{"z", std::nullopt}});
      graph.add_graph("a", "z", std::move(other));
      graph.merge(std::move(sub));
    });
    EXPECT_TRUE(captured().empty());
  }
}

}  // namespace
}  // namespace tarnwick
