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

# The exact engine's package, typed inline.
import tarnwick_graph as tg

g: tg.Graph = tg.build(source="import json", within=(), skip=("function", "guarded"))
b = tg.Builder(sys_path=None)
g = b.build(modules=["json"]) if "json" in g else b.build(packages="json", within=["json"])
m: tg.Module = g["json"]
kids: frozenset[str] = m.imports | m.imported_by
chain: list[str] = g.why("json")
chains: list[list[str]] = g.why("json", all=True)
cycles: list[list[str]] = g.cycles() + [list(g.importers("json"))]
problems: tuple[tg.Problem, ...] = g.unresolved + g.problems
sub: tg.Graph = g.subgraph(max_depth=1, scope=["json"])
sites: tuple[tg.Site, ...] = g.sites("json", "json.decoder")
text: str = g.to_json(indent=2) + g.to_dot() + (g.root or "")
stmts: list[tg.ImportStatement] = tg.scan(b"import os")
first: tg.Alias = stmts[0].names[0]
