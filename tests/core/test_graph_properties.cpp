// Random sequences of graph operations on two graphs, checking the graph
// invariants after every step.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "common/str_cat.hpp"
#include "contract/dep_graph.hpp"
#include "support/graph_fixtures.hpp"

namespace tarnwick {
namespace {

using testing::broken_invariant;
using testing::describe;
using testing::failure_of;
using testing::node_of;

TEST(GraphProperties, RandomOperationsKeepTheInvariants) {
  log::facade().set_max_level(log::LevelFilter::Off);
  std::mt19937 rng(20240611);
  const auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  std::vector<std::string> pool = {"", "pkg.mod.alpha", "pkg.mod.zeta"};
  for (int i = 0; i < 30; ++i) pool.push_back((i % 3 == 0 ? "pkg.sub" : "m") + std::to_string(i));
  DepGraph graphs[2];
  for (DepGraph& g : graphs) g.add(node_of("<terminal>@0"));

  for (int step = 0; step < 4000; ++step) {
    DepGraph& g = graphs[pick(2)];
    DepGraph& other = &g == &graphs[0] ? graphs[1] : graphs[0];
    const std::string& a = pool[pick(pool.size())];
    const std::string& b = pool[pick(pool.size())];
    switch (pick(6)) {
      case 0:
      case 1:
        if (!g.has_node(a)) {
          // The origin depends on the name only, so merges never meet a conflict.
          const std::string token = pick(4) == 0 ? str_cat(a, '@', pick(6)) : a;
          g.add(node_of(a.size() % 3 == 0 ? token : str_cat(token, "=/site/", a, ".py")));
        }
        break;
      case 2:
        if (g.has_node(a) && g.has_node(b)) failure_of([&] { g.add_dependency(a, b); });
        break;
      case 3:  // what the builder does on a cache hit
        if (g.has_node(b) && other.has_node(a) && other.at(a).depth) {
          other.add_graph(a, b, g.clone_from(b));
          ASSERT_TRUE(other.at(b).dependents.contains(a));
        }
        break;
      case 4:
        g.merge(other);
        break;
      case 5: {
        const std::string before = describe(g);
        g.merge(g);
        ASSERT_EQ(describe(g), before) << "step " << step;
        break;
      }
    }
    for (const DepGraph& each : graphs) ASSERT_EQ(broken_invariant(each), "") << "step " << step;
  }
  log::facade().set_max_level(log::LevelFilter::Debug);
}

}  // namespace
}  // namespace tarnwick
