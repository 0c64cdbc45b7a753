#include "contract/dep_graph.hpp"

#include "common/str_cat.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "support/capture_log.hpp"
#include "support/graph_fixtures.hpp"

namespace tarnwick {
namespace {

using testing::captured;
using testing::captured_messages;
using testing::describe;
using testing::failure_of;
using testing::graph_of;
using testing::start_capture;
using Names = std::set<std::string>;

constexpr std::string_view kTypes = log::kTypesTarget;
constexpr std::int32_t kMaxDepth = std::numeric_limits<std::int32_t>::max();

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
    std::size_t kept = 0;
    for (const auto& name : all) {
      EXPECT_EQ(set.contains(name), even(name)) << name.size();
      kept += even(name) ? 1 : 0;
    }
    EXPECT_EQ(set.size(), kept);
    EXPECT_TRUE(set.insert("m10"));  // a dropped name may come back
  }
  NameSet left{"a", "b"};
  left.insert_all(NameSet{"b", "c"});
  EXPECT_EQ(left, (NameSet{"c", "b", "a"}));
}

TEST(DepGraph, AddLogsFindsAndRefusesDuplicates) {
  DepGraph graph = graph_of("c@0");
  start_capture();
  const DepNode& stored = graph.add(testing::node_of("a.b@1=/first.py"));
  EXPECT_EQ(captured_messages(kTypes), std::vector<std::string>{"Adding node to graph: a.b"});
  ASSERT_EQ(captured().size(), 1u);
  EXPECT_EQ(captured()[0].level, log::Level::Debug);
  EXPECT_TRUE(graph.has_node("a.b"));
  EXPECT_EQ(graph.find("a.b"), &stored);
  EXPECT_EQ(&graph.at("a.b"), &stored);
  for (std::string_view missing : {"a", "a.b.c", "", "A.B"}) {
    EXPECT_FALSE(graph.has_node(missing));
    EXPECT_EQ(graph.find(missing), nullptr);
    EXPECT_EQ(failure_of([&] { graph.at(missing); }),
              "Node does not exist on graph: " + std::string(missing));
  }

  graph.add_dependency("c", "a.b");
  start_capture();
  EXPECT_EQ(failure_of([&] { graph.add(testing::node_of("a.b@9=/second.py")); }),
            "assertion failed: !self.nodes.contains_key(&node.name)");
  EXPECT_TRUE(captured().empty());
  EXPECT_EQ(describe(graph), "a.b@1=/first.py c@0:a.b");
  EXPECT_EQ(testing::broken_invariant(graph), "");
}

TEST(DepGraph, AddDependencyStepsLogsAndFailureStates) {
  struct Case {
    std::string from, to, error;
    std::string depth_log;  // logged after "Add dependency '{from}' -> '{to}'", if any
    std::string after;
  };
  const std::string kNoDepth =
      "Attempted to add dependency from node with uninitialized depth named: v";
  const std::string kMissing = "Node does not exist on graph: ";
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
      {"top", "u", "", kInit + std::to_string(kMaxDepth),
       "b@3:w k@1 r@0:k t@2 top@2147483647:u u@2147483647 v w@4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from + " -> " + c.to);
    DepGraph graph = graph_of(kBase);
    std::vector<std::string> logs = {"Add dependency '" + c.from + "' -> '" + c.to + "'"};
    if (!c.depth_log.empty()) logs.push_back(c.depth_log);
    start_capture();
    EXPECT_EQ(failure_of([&] { graph.add_dependency(c.from, c.to); }), c.error);
    EXPECT_EQ(captured_messages(kTypes), logs);
    for (const auto& record : captured()) EXPECT_EQ(record.level, log::Level::Debug);
    EXPECT_EQ(describe(graph), c.after);
    EXPECT_EQ(testing::broken_invariant(graph), "");
  }
}

}  // namespace
}  // namespace tarnwick
