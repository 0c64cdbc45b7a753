// The tarnwick module's classes: DepNode, DepGraph and GraphBuilder.
#pragma once

#include "python/common/class_support.hpp"

namespace tarnwick {
struct DepNode;
class DepGraph;
}  // namespace tarnwick

namespace tarnwick::py {

// The three classes, created on first use.
PyTypeObject* dep_node_type() noexcept;
PyTypeObject* dep_graph_type() noexcept;
PyTypeObject* graph_builder_type() noexcept;

// New Python objects holding a copy of `node` / the graph.
PyRef wrap_node(const DepNode& node);
PyRef wrap_graph(DepGraph&& graph);

}  // namespace tarnwick::py
