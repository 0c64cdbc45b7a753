"""tarnwick-graph: print the module dependency graph of a Python file.

The graph is built by ``tarnwick.GraphBuilder`` exactly as a library user
would build it; this module only reads the file, runs one build and formats
the returned graph.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Iterable, TextIO

ROOT = "<terminal>"

EXIT_OK = 0
EXIT_BUILD_FAILED = 1
EXIT_USAGE = 2

EPILOG = """\
examples:
  tarnwick-graph examples/report.py            listing grouped by depth
  tarnwick-graph --json examples/report.py     machine-readable nodes and edges
  tarnwick-graph --dot app.py | dot -Tsvg > graph.svg
  echo 'import json' | tarnwick-graph -        read the source from standard input
  tarnwick-graph --package mypkg mypkg/cli.py  resolve relative imports in mypkg

exit codes:
  0  the graph was printed
  1  the build failed (the message says why)
  2  bad usage, or the file could not be read
"""


class Graph:
    """A plain snapshot of a tarnwick.DepGraph: names, depths, origins, edges."""

    def __init__(self, dep_graph) -> None:
        self.depth: dict[str, int | None] = {}
        self.origin: dict[str, str | None] = {}
        self.dependents: dict[str, set[str]] = {}
        for node in dep_graph.get_all_scoped(""):
            self.depth[node.name] = node.depth
            self.origin[node.name] = node.spec["origin"]
            self.dependents[node.name] = node.dependents
        # DepNode exposes only the count of its dependencies; the names follow
        # from the dependents of every node.
        self.dependencies: dict[str, set[str]] = {name: set() for name in self.depth}
        for name, importers in self.dependents.items():
            for importer in importers:
                self.dependencies[importer].add(name)

    def ordered(self) -> list[str]:
        """Names by depth (absent depths last), then by name."""
        return sorted(self.depth, key=lambda n: (self.depth[n] is None, self.depth[n] or 0, n))

    def num_edges(self) -> int:
        return sum(len(deps) for deps in self.dependencies.values())


def build_graph(source: str, package: str | None, search_dir: str):
    """Builds as `python FILE` would see it: the file's directory first on sys.path."""
    import tarnwick

    sys.path.insert(0, search_dir)
    try:
        return tarnwick.GraphBuilder().build(source, package)
    finally:
        sys.path.remove(search_dir)


def search_root(path: str, package: str | None) -> str:
    """The directory to search first: the file's own, or, when the file lies
    inside the directories of `package`, the one holding the top-level package."""
    directory = os.path.dirname(path)
    if package:
        parts = package.split(".")
        trail = directory.split(os.sep)[-len(parts):]
        if trail == parts:
            directory = os.sep.join(directory.split(os.sep)[: -len(parts)]) or os.sep
    return directory


def write_listing(graph: Graph, out: TextIO) -> None:
    names = graph.ordered()
    width = max((len(n) for n in names), default=0)
    current = object()
    for name in names:
        depth = graph.depth[name]
        if depth != current:
            out.write(f"depth {depth if depth is not None else '?'}\n")
            current = depth
        origin = graph.origin[name]
        line = f"  {name.ljust(width)}  {origin}" if origin is not None else f"  {name}"
        out.write(line.rstrip() + "\n")
    out.write(f"{len(names)} modules, {graph.num_edges()} imports\n")


def write_json(graph: Graph, out: TextIO) -> None:
    nodes = [
        {
            "name": name,
            "depth": graph.depth[name],
            "origin": graph.origin[name],
            "dependencies": sorted(graph.dependencies[name]),
        }
        for name in graph.ordered()
    ]
    json.dump({"root": ROOT, "nodes": nodes}, out, indent=2)
    out.write("\n")


def _dot_id(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def write_dot(graph: Graph, out: TextIO) -> None:
    out.write("digraph imports {\n  rankdir=LR;\n  node [shape=box, fontname=Helvetica];\n")
    for name in graph.ordered():
        attrs = [f"label={_dot_id(name)}"]
        if name == ROOT:
            attrs.append("shape=doubleoctagon")
        out.write(f"  {_dot_id(name)} [{', '.join(attrs)}];\n")
    for name in graph.ordered():
        for dep in sorted(graph.dependencies[name]):
            out.write(f"  {_dot_id(name)} -> {_dot_id(dep)};\n")
    out.write("}\n")


def parse_args(argv: Iterable[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="tarnwick-graph",
        description="Print the module dependency graph of a Python file, without running it.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("file", help="the Python file to start from, or - for standard input")
    parser.add_argument("--package", help="the package the file belongs to (for relative imports)")
    fmt = parser.add_mutually_exclusive_group()
    fmt.add_argument("--json", action="store_true", help="print JSON: nodes with depth, origin, dependencies")
    fmt.add_argument("--dot", action="store_true", help="print the graph in Graphviz DOT")
    return parser.parse_args(None if argv is None else list(argv))


def main(argv: Iterable[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        if args.file == "-":
            source, search_dir = sys.stdin.read(), os.getcwd()
        else:
            with open(args.file, encoding="utf-8") as f:
                source = f.read()
            search_dir = search_root(os.path.abspath(args.file), args.package)
    except (OSError, UnicodeDecodeError) as e:
        print(f"tarnwick-graph: cannot read {args.file}: {e}", file=sys.stderr)
        return EXIT_USAGE
    try:
        dep_graph = build_graph(source, args.package, search_dir)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # PanicException derives from BaseException
        print(f"tarnwick-graph: build failed: {e}", file=sys.stderr)
        return EXIT_BUILD_FAILED
    graph = Graph(dep_graph)
    out = sys.stdout
    if args.json:
        write_json(graph, out)
    elif args.dot:
        write_dot(graph, out)
    else:
        write_listing(graph, out)
    return EXIT_OK
