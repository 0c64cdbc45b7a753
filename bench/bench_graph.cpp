// Graph combination costs on large synthetic graphs: clone_from, add_graph,
// attach_settled, merge (into an empty graph and into one holding the same
// modules) and the full copy the builder makes of every result. Each runs at 25k, 50k and 100k
// nodes with five edges per node, and reports nodes+edges per second so the
// scaling can be read off directly. BM_GraphMemory reports heap bytes per
// node and the process's peak resident size.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "contract/dep_graph.hpp"
#include "contract/name_set.hpp"

namespace {

using tarnwick::DepGraph;
using tarnwick::DepNode;
using tarnwick::ModuleSpec;
using tarnwick::SettledAttach;

constexpr int kEdgesPerNode = 5;

std::string module_name(std::int64_t i) {
  return "pkg" + std::to_string(i / 1000) + ".sub" + std::to_string(i / 50) + ".module" +
         std::to_string(i);
}

// A graph shaped like a large import graph: node 0 is the root; every other
// node is first imported by a random earlier node (so the root reaches the
// whole graph), and the remaining edges join random pairs.
DepGraph make_graph(std::int64_t nodes) {
  std::mt19937_64 rng(42);
  DepGraph g;
  for (std::int64_t i = 0; i < nodes; ++i) {
    ModuleSpec spec;
    spec.name = module_name(i);
    spec.parent = spec.name.substr(0, spec.name.rfind('.'));
    spec.origin = "/usr/lib/python3.11/site-packages/" + spec.name + ".py";
    g.add(DepNode(std::move(spec), i == 0 ? std::optional<std::int32_t>(0) : std::nullopt));
  }
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(nodes));
  for (std::int64_t i = 0; i < nodes; ++i) names.push_back(module_name(i));
  for (std::int64_t i = 1; i < nodes; ++i) {
    const auto parent = std::uniform_int_distribution<std::int64_t>(0, i - 1)(rng);
    g.add_dependency(names[static_cast<std::size_t>(parent)], names[static_cast<std::size_t>(i)]);
  }
  std::uniform_int_distribution<std::int64_t> any(0, nodes - 1);
  auto edges = static_cast<std::uint64_t>(nodes - 1);
  const auto target = static_cast<std::uint64_t>(kEdgesPerNode * nodes);
  while (edges < target) {
    const std::string& a = names[static_cast<std::size_t>(any(rng))];
    const std::string& b = names[static_cast<std::size_t>(any(rng))];
    if (a == b || g.at(a).dependencies.contains(b)) continue;
    g.add_dependency(a, b);
    ++edges;
  }
  return g;
}

const DepGraph& graph_of(std::int64_t nodes) {
  static std::map<std::int64_t, DepGraph> graphs;
  auto it = graphs.find(nodes);
  if (it == graphs.end()) it = graphs.emplace(nodes, make_graph(nodes)).first;
  return it->second;
}

void set_counters(benchmark::State& state, const DepGraph& g) {
  const auto work = static_cast<std::int64_t>(g.size() + g.num_dependencies());
  state.SetItemsProcessed(state.iterations() * work);
  state.counters["nodes"] = static_cast<double>(g.size());
  state.counters["edges"] = static_cast<double>(g.num_dependencies());
}

void BM_CloneFrom(benchmark::State& state) {
  const DepGraph& g = graph_of(state.range(0));
  const std::string root = module_name(0);
  for (auto _ : state) {
    DepGraph sub = g.clone_from(root);
    benchmark::DoNotOptimize(sub);
    state.PauseTiming();  // freeing the copy is not part of the operation
    sub = DepGraph();
    state.ResumeTiming();
  }
  set_counters(state, g);
}

void BM_AddGraph(benchmark::State& state) {
  const DepGraph& g = graph_of(state.range(0));
  const std::string root = module_name(0);
  for (auto _ : state) {
    state.PauseTiming();
    DepGraph sub = g.clone_from(root);
    DepGraph target;
    ModuleSpec spec;
    spec.name = "<terminal>";
    target.add(DepNode(std::move(spec), 0));
    state.ResumeTiming();
    target.add_graph("<terminal>", root, std::move(sub));
    benchmark::DoNotOptimize(target);
    state.PauseTiming();
    target = DepGraph();
    state.ResumeTiming();
  }
  set_counters(state, g);
}

// The attach the builder runs on a cache hit when nobody reads the debug
// records: the first hit of a build expands the whole subgraph, as above,
// and a second hit below the same node stops at once (everything below is
// settled).
void BM_AttachSettled(benchmark::State& state) {
  const DepGraph& g = graph_of(state.range(0));
  const std::string root = module_name(0);
  for (auto _ : state) {
    state.PauseTiming();
    DepGraph target;
    SettledAttach attached;
    ModuleSpec spec;
    spec.name = "<terminal>";
    target.add(DepNode(std::move(spec), 0));
    state.ResumeTiming();
    target.attach_settled("<terminal>", g, root, attached);
    target.attach_settled("<terminal>", g, root, attached);
    benchmark::DoNotOptimize(target);
    state.PauseTiming();
    target = DepGraph();
    state.ResumeTiming();
  }
  set_counters(state, g);
}

// Merges `g` into a target that starts empty or as a copy of `g`. The second
// is the builder's cache upkeep after a second build of the same text: every
// node meets its twin and the name sets are united, from a graph that stays
// as it is.
void merge_into(benchmark::State& state, bool overlapping) {
  const DepGraph& g = graph_of(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    DepGraph target = overlapping ? g : DepGraph();
    state.ResumeTiming();
    target.merge(g);
    benchmark::DoNotOptimize(target);
    state.PauseTiming();
    target = DepGraph();
    state.ResumeTiming();
  }
  set_counters(state, g);
}

void BM_MergeIntoEmpty(benchmark::State& state) {
  merge_into(state, false);
}
void BM_MergeOverlapping(benchmark::State& state) {
  merge_into(state, true);
}

void BM_Copy(benchmark::State& state) {
  const DepGraph& g = graph_of(state.range(0));
  for (auto _ : state) {
    DepGraph copy = g;
    benchmark::DoNotOptimize(copy);
    state.PauseTiming();
    copy = DepGraph();
    state.ResumeTiming();
  }
  set_counters(state, g);
}

void BM_GraphMemory(benchmark::State& state) {
  const std::int64_t nodes = state.range(0);
  double per_node = 0;
  for (auto _ : state) {
    const std::size_t before = mallinfo2().uordblks;
    DepGraph g = make_graph(nodes);
    const std::size_t after = mallinfo2().uordblks;
    per_node = static_cast<double>(after - before) / static_cast<double>(nodes);
    benchmark::DoNotOptimize(g);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["heap_bytes_per_node"] = per_node;
  state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// The name sets against the standard container they replace: `sets` sets of
// `names` module names each (the graph's typical five, and a hub's hundreds),
// filled, then asked about every member and as many strangers. Reports the
// heap bytes per name next to the time.
template <class Set>
void name_sets(benchmark::State& state) {
  const auto names = static_cast<std::size_t>(state.range(0));
  const std::size_t sets = 200000 / names;
  std::vector<std::string> members, strangers;
  for (std::size_t i = 0; i < names; ++i) {
    members.push_back(module_name(static_cast<std::int64_t>(i * 7919 % 100000)));
    strangers.push_back(module_name(static_cast<std::int64_t>(100000 + i)));
  }
  double bytes_per_name = 0;
  for (auto _ : state) {
    const std::size_t before = mallinfo2().uordblks;
    std::vector<Set> all(sets);
    std::size_t found = 0;
    for (Set& set : all) {
      for (const std::string& m : members) set.insert(m);
    }
    bytes_per_name =
        static_cast<double>(mallinfo2().uordblks - before) / static_cast<double>(sets * names);
    for (const Set& set : all) {
      for (std::size_t i = 0; i < names; ++i) {
        found += set.count(members[i]) + set.count(strangers[i]);
      }
    }
    if (found != sets * names) state.SkipWithError("wrong membership");
    state.PauseTiming();
    all = std::vector<Set>();
    state.ResumeTiming();
  }
  state.counters["heap_bytes_per_name"] = bytes_per_name;
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(sets * names));
}

// NameSet with the two calls the benchmark makes of a standard set.
struct PackedNames {
  tarnwick::NameSet set;
  void insert(const std::string& name) { set.insert(std::string_view(name)); }
  std::size_t count(const std::string& name) const { return set.contains(name) ? 1 : 0; }
};

void BM_NameSet(benchmark::State& state) {
  name_sets<PackedNames>(state);
}
void BM_StdUnorderedSet(benchmark::State& state) {
  name_sets<std::unordered_set<std::string>>(state);
}

#define GRAPH_SIZES Arg(25000)->Arg(50000)->Arg(100000)->Unit(benchmark::kMillisecond)

BENCHMARK(BM_CloneFrom)->GRAPH_SIZES;
BENCHMARK(BM_AddGraph)->GRAPH_SIZES;
BENCHMARK(BM_AttachSettled)->GRAPH_SIZES;
BENCHMARK(BM_MergeIntoEmpty)->GRAPH_SIZES;
BENCHMARK(BM_MergeOverlapping)->GRAPH_SIZES;
BENCHMARK(BM_Copy)->GRAPH_SIZES;
BENCHMARK(BM_GraphMemory)->GRAPH_SIZES->Iterations(1);
BENCHMARK(BM_NameSet)->Arg(5)->Arg(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdUnorderedSet)->Arg(5)->Arg(200)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
