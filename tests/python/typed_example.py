# Type-checked by test_stubs.py with `mypy --strict`: every entry point of the
# extension, with the types its stub promises.
import tarnwick
from tarnwick import DepGraph, DepNode, GraphBuilder, parser

builder: GraphBuilder = tarnwick.GraphBuilder(verbose=None)
GraphBuilder(True)
graph: DepGraph = builder.build("import json", package=None)
builder.build(source="import os", package="pkg")
count: int = graph.size() + graph.num_dependencies()
names: set[str] = graph.keys()
listed: list[str] = graph.names() + graph.origins()
node: DepNode = graph.get(name="json")
scoped: list[DepNode] = graph.get_all_scoped("json.")
label: str = node.name
origin: str | None = node.spec["origin"]
importers: set[str] = node.dependents
depth: int | None = node.depth
imports: int = node.dependencies
exported: list[str] = tarnwick.__all__ + parser.__all__

for record in tarnwick.parser.parse(source="from ..pkg import a as b"):
    if record["type"] == "import_from":
        module: str = record["module"]
        level: int = record["level"]
    for alias in record["names"]:
        asname: str | None = alias.get("asname")
        label = alias["name"]
