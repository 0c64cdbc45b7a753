// Property test: random sequences of graph operations, checked after every
// step against the graph invariants and against a plain model of the nodes
// and edges each operation should leave.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <random>
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

using testing::failure_of;
using testing::invariant_violations;
using testing::make_node;
using testing::snapshot;

// Nodes and edges a graph should hold.
struct Model {
  std::map<std::string, std::set<std::string>> edges;  // every node, with its dependencies

  void add_edge(const std::string& from, const std::string& to) { edges[from].insert(to); }
  void unite(const Model& other) {
    for (const auto& [name, deps] : other.edges) edges[name].insert(deps.begin(), deps.end());
  }
  std::set<std::string> reachable(const std::string& start) const {
    std::set<std::string> seen{start};
    std::vector<std::string> todo{start};
    while (!todo.empty()) {
      const std::string cur = todo.back();
      todo.pop_back();
      for (const auto& d : edges.at(cur)) {
        if (seen.insert(d).second) todo.push_back(d);
      }
    }
    return seen;
  }
  // The order in which clone_from must add nodes: the smallest discovered
  // name not yet copied, every time.
  std::vector<std::string> clone_order(const std::string& start) const {
    std::set<std::string> pending{start};
    std::set<std::string> done;
    std::vector<std::string> out;
    while (!pending.empty()) {
      const std::string cur = *pending.begin();
      pending.erase(pending.begin());
      done.insert(cur);
      out.push_back(cur);
      for (const auto& d : edges.at(cur)) {
        if (!done.count(d)) pending.insert(d);
      }
    }
    return out;
  }
};

Model model_of(const DepGraph& graph) {
  Model m;
  for (const DepNode& node : graph) m.edges[node.name] = testing::sorted(node.dependencies);
  return m;
}

class Fuzzer {
 public:
  explicit Fuzzer(std::uint32_t seed) : rng_(seed) {
    for (int i = 0; i < 24; ++i) pool_.push_back("m" + std::to_string(i));
    for (int i = 0; i < 12; ++i) pool_.push_back("pkg.sub" + std::to_string(i));
    for (int i = 0; i < 6; ++i)
      pool_.push_back("a.rather.long.module.name.number" + std::to_string(i));
    pool_.push_back("");
    for (DepGraph* g : {&work_, &cache_}) {
      g->add(make_node("<terminal>", 0));
    }
    work_model_.edges["<terminal>"];
    cache_model_.edges["<terminal>"];
  }

  void step() {
    const int op = pick(0, 99);
    const bool on_cache = pick(0, 2) == 0;
    DepGraph& g = on_cache ? cache_ : work_;
    Model& m = on_cache ? cache_model_ : work_model_;
    if (op < 30) {
      do_add(g, m);
    } else if (op < 70) {
      do_edge(g, m);
    } else if (op < 85) {
      do_attach();
    } else if (op < 95) {
      do_merge();
    } else {
      do_self_merge(g);
    }
    check(work_, work_model_, "work");
    check(cache_, cache_model_, "cache");
  }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  const std::string& any_name() {
    return pool_[static_cast<std::size_t>(pick(0, static_cast<int>(pool_.size()) - 1))];
  }
  std::string existing(const Model& m) {
    auto it = m.edges.begin();
    std::advance(it, pick(0, static_cast<int>(m.edges.size()) - 1));
    return it->first;
  }
  // Origins depend on the name only, so merges never meet conflicting ones.
  static std::optional<std::string> origin_of(const std::string& name) {
    if (name.size() % 3 == 0) return std::nullopt;
    return "/site/" + name + ".py";
  }

  void do_add(DepGraph& g, Model& m) {
    const std::string name = any_name();
    std::optional<std::int32_t> depth;
    if (pick(0, 3) == 0) depth = pick(0, 6);
    const auto error = failure_of([&] { g.add(make_node(name, depth, origin_of(name))); });
    if (m.edges.count(name)) {
      EXPECT_EQ(error, "assertion failed: !self.nodes.contains_key(&node.name)");
    } else {
      EXPECT_EQ(error, std::nullopt);
      m.edges[name];
      EXPECT_EQ(g.at(name).depth, depth);
    }
  }

  void do_edge(DepGraph& g, Model& m) {
    const std::string from = pick(0, 19) == 0 ? any_name() : existing(m);
    const std::string to = pick(0, 19) == 0 ? any_name() : existing(m);
    const bool from_has_depth = g.has_node(from) && g.at(from).depth.has_value();
    const std::int32_t from_depth = from_has_depth ? *g.at(from).depth : 0;
    const auto error = failure_of([&] { g.add_dependency(from, to); });
    if (!m.edges.count(from)) {
      EXPECT_EQ(error, "Node does not exist on graph: " + from);
      return;
    }
    if (!m.edges.count(to)) {
      EXPECT_EQ(error, "Node does not exist on graph: " + to);
      return;
    }
    m.add_edge(from, to);
    if (!from_has_depth) {
      EXPECT_EQ(error,
                "Attempted to add dependency from node with uninitialized depth named: " + from);
    } else {
      EXPECT_EQ(error, std::nullopt);
      ASSERT_TRUE(g.at(to).depth.has_value());
      EXPECT_LE(*g.at(to).depth, from_depth + 1);
    }
  }

  // What the builder does with a cache hit: copy the subgraph below `to` out
  // of the cache and attach it below a node of the working graph.
  void do_attach() {
    const std::string to = existing(cache_model_);
    testing::start_capture();
    DepGraph sub = cache_.clone_from(to);
    std::vector<std::string> expected_logs;
    for (const auto& n : cache_model_.clone_order(to))
      expected_logs.push_back("Adding node to graph: " + n);
    EXPECT_EQ(testing::captured_messages(log::kTypesTarget), expected_logs);
    log::facade().set_max_level(log::LevelFilter::Off);

    const std::set<std::string> reach = cache_model_.reachable(to);
    Model sub_model;
    for (const auto& n : reach) sub_model.edges[n] = cache_model_.edges.at(n);
    EXPECT_EQ(model_of(sub).edges, sub_model.edges);
    EXPECT_TRUE(invariant_violations(sub).empty());

    std::vector<std::string> with_depth;
    for (const DepNode& node : work_) {
      if (node.depth) with_depth.push_back(node.name);
    }
    const std::string from =
        with_depth[static_cast<std::size_t>(pick(0, static_cast<int>(with_depth.size()) - 1))];
    const std::int32_t from_depth = *work_.at(from).depth;
    work_.add_graph(from, to, std::move(sub));
    work_model_.unite(sub_model);
    work_model_.add_edge(from, to);
    ASSERT_TRUE(work_.at(to).depth.has_value());
    EXPECT_LE(*work_.at(to).depth, from_depth + 1);
    for (const auto& n : reach) EXPECT_TRUE(work_.has_node(n)) << n;
  }

  void do_merge() {
    if (pick(0, 1) == 0) {
      cache_.merge(work_);
      cache_model_.unite(work_model_);
    } else {
      work_.merge(cache_);
      work_model_.unite(cache_model_);
    }
  }

  void do_self_merge(DepGraph& g) {
    const testing::GraphState before = snapshot(g);
    g.merge(g);
    EXPECT_EQ(snapshot(g), before);
  }

  static void check(const DepGraph& g, const Model& m, const char* which) {
    const auto violations = invariant_violations(g);
    EXPECT_TRUE(violations.empty()) << which << ": " << violations.front();
    EXPECT_EQ(model_of(g).edges, m.edges) << which;
    std::uint64_t count = 0;
    for (const auto& [name, deps] : m.edges) count += deps.size();
    EXPECT_EQ(g.num_dependencies(), count) << which;
    EXPECT_EQ(g.size(), m.edges.size()) << which;
  }

  std::mt19937 rng_;
  std::vector<std::string> pool_;
  DepGraph work_, cache_;
  Model work_model_, cache_model_;
};

class GraphProperties : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(GraphProperties, RandomOperationSequencesKeepInvariants) {
  log::facade().set_max_level(log::LevelFilter::Off);
  for (int sequence = 0; sequence < 25; ++sequence) {
    Fuzzer fuzzer(GetParam() * 1000 + static_cast<std::uint32_t>(sequence));
    for (int i = 0; i < 200; ++i) {
      fuzzer.step();
      if (HasFailure())
        FAIL() << "seed " << GetParam() << " sequence " << sequence << " step " << i;
    }
  }
  log::facade().set_max_level(log::LevelFilter::Debug);
}

INSTANTIATE_TEST_SUITE_P(Seeds, GraphProperties, ::testing::Range<std::uint32_t>(1, 9));

}  // namespace
}  // namespace tarnwick
