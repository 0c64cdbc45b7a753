"""tarnwick-graph: print the module dependency graph of a Python file.

The graph is built by ``tarnwick.GraphBuilder`` exactly as a library user
would build it; this module only reads the file, runs one build and formats
the returned graph. What the graph itself does not carry (names the host could
not find, progress) is read from the builder's debug records through
``logging``.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import shutil
import subprocess
import sys
import time
from collections import deque
from typing import Callable, Iterable, TextIO

ROOT = "<terminal>"
BUILDER_LOGGER = "tarnwick.core.builder"

EXIT_OK = 0
EXIT_BUILD_FAILED = 1
EXIT_USAGE = 2
EXIT_NOT_IN_GRAPH = 3
EXIT_NO_GRAPHVIZ = 4

EPILOG = """\
examples:
  tarnwick-graph examples/report.py              listing grouped by depth
  tarnwick-graph --why enum examples/report.py   how the script comes to import enum
  tarnwick-graph --why enum --all examples/report.py   every shortest chain
  tarnwick-graph --max-depth 1 examples/report.py      only the direct imports
  tarnwick-graph --scope json. --json examples/report.py
  tarnwick-graph --svg graph.svg examples/report.py    picture (needs Graphviz's dot)
  tarnwick-graph --unresolved app.py             imported names that were not found
  echo 'import json' | tarnwick-graph -          read the source from standard input
  tarnwick-graph --package mypkg mypkg/cli.py    resolve relative imports in mypkg

filters:
  --max-depth and --scope apply to the listing, --json, --dot and --svg. A
  module is kept when its depth is at most N and its name starts with PREFIX;
  the root <terminal> is always kept; only imports between kept modules remain.

exit codes:
  0  done
  1  the build failed (the message says why)
  2  bad usage, or the file could not be read
  3  --why: the module is not in the graph
  4  --svg: Graphviz's dot is not installed, or it failed
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

    def filtered(self, max_depth: int | None, scope: str | None) -> "Graph":
        """The modules with depth <= max_depth whose names start with scope,
        the root always, and the imports between them."""

        def keep(name: str) -> bool:
            if name == ROOT:
                return True
            depth = self.depth[name]
            if max_depth is not None and (depth is None or depth > max_depth):
                return False
            return scope is None or name.startswith(scope)

        kept = {name for name in self.depth if keep(name)}
        sub = Graph.__new__(Graph)
        sub.depth = {n: self.depth[n] for n in kept}
        sub.origin = {n: self.origin[n] for n in kept}
        sub.dependents = {n: self.dependents[n] & kept for n in kept}
        sub.dependencies = {n: self.dependencies[n] & kept for n in kept}
        return sub

    def shortest_chains(self, target: str, every: bool) -> list[list[str]]:
        """Chains root -> ... -> target of the least length, in name order;
        only the first unless `every`. Recorded depths are not trusted (they
        are the shortest found during the walk): this is a breadth-first search."""
        dist = {ROOT: 0}
        queue = deque([ROOT])
        while queue and target not in dist:
            name = queue.popleft()
            for dep in self.dependencies[name]:
                if dep not in dist:
                    dist[dep] = dist[name] + 1
                    queue.append(dep)
        if target not in dist:
            return []
        # Modules from which the target is reached in the remaining steps.
        on_path = {target}
        layer = {target}
        for _ in range(dist[target]):
            layer = {p for n in layer for p in self.dependents[n] if dist.get(p) == dist[n] - 1}
            on_path |= layer
        chains: list[list[str]] = []

        def walk(chain: list[str]) -> bool:
            name = chain[-1]
            if name == target:
                chains.append(list(chain))
                return not every
            for dep in sorted(self.dependencies[name]):
                if dep in on_path and dist.get(dep) == dist[name] + 1:
                    chain.append(dep)
                    if walk(chain):
                        return True
                    chain.pop()
            return False

        walk([ROOT])
        return chains


class BuildRecords(logging.Handler):
    """Reads the builder's debug records while a build runs.

    Tracks the module being expanded ("Expanding 'm'" ... "Done 'm'"), so a
    name the host could not find is paired with the module importing it, and
    counts expanded modules for the progress line."""

    def __init__(self, progress: "Progress | None" = None) -> None:
        super().__init__(logging.DEBUG)
        self.stack: list[str] = []
        self.unresolved: set[tuple[str, str]] = set()
        self.expanded = 0
        self.progress = progress

    @staticmethod
    def _quoted(message: str) -> str:
        return message.split("'", 2)[1]

    def emit(self, record: logging.LogRecord) -> None:
        message = record.getMessage()
        if message.startswith("Expanding '"):
            self.stack.append(self._quoted(message))
            self.expanded += 1
            if self.progress is not None:
                self.progress.update(self.expanded)
        elif message.startswith("Done '"):
            if self.stack:
                self.stack.pop()
        elif message.startswith("!!!! Unable to find spec for name: '") and self.stack:
            self.unresolved.add((self.stack[-1], self._quoted(message)))


class Progress:
    """"N modules processed" on one terminal line, shown once a build has run
    `delay` seconds and redrawn at most every `interval` seconds."""

    def __init__(self, out: TextIO, delay: float = 1.0, interval: float = 0.1,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.out = out
        self.delay = delay
        self.interval = interval
        self.clock = clock
        self.start = clock()
        self.shown_at: float | None = None
        self.width = 0

    def update(self, count: int) -> None:
        now = self.clock()
        if now - self.start < self.delay:
            return
        if self.shown_at is not None and now - self.shown_at < self.interval:
            return
        self.shown_at = now
        text = f"tarnwick-graph: {count} modules processed"
        self.out.write("\r" + text.ljust(self.width))
        self.out.flush()
        self.width = len(text)

    def clear(self) -> None:
        if self.width:
            self.out.write("\r" + " " * self.width + "\r")
            self.out.flush()
            self.width = 0


def build_graph(source: str, package: str | None, search_dir: str,
                records: BuildRecords | None = None):
    """Builds as `python FILE` would see it: the file's directory first on sys.path.

    With `records`, the builder's logger is set to DEBUG and feeds them (and
    nothing else) for the build. This must happen before the logger's first
    record in the process: the level it accepts then is kept for good."""
    import tarnwick

    logger = logging.getLogger(BUILDER_LOGGER)
    saved = (logger.level, logger.propagate)
    if records is not None:
        logger.setLevel(logging.DEBUG)
        logger.propagate = False
        logger.addHandler(records)
    sys.path.insert(0, search_dir)
    try:
        return tarnwick.GraphBuilder().build(source, package)
    finally:
        sys.path.remove(search_dir)
        if records is not None:
            logger.removeHandler(records)
            logger.setLevel(saved[0])
            logger.propagate = saved[1]
            if records.progress is not None:
                records.progress.clear()


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


def node_style(name: str, depth: int | None) -> list[str]:
    """The root stands out; other modules are shaded from dark (depth 1)
    to light (depth 7 and beyond) in Graphviz's blues9 scheme."""
    if name == ROOT:
        return ["shape=doubleoctagon", 'fillcolor="#f2c14e"', "penwidth=2"]
    shade = 8 - min(depth if depth is not None else 7, 7)
    attrs = [f'fillcolor="/blues9/{shade}"']
    if shade >= 6:
        attrs.append("fontcolor=white")
    return attrs


def write_dot(graph: Graph, out: TextIO) -> None:
    out.write("digraph imports {\n  rankdir=LR;\n"
              "  node [shape=box, style=filled, fontname=Helvetica];\n")
    for name in graph.ordered():
        attrs = [f"label={_dot_id(name)}"] + node_style(name, graph.depth[name])
        out.write(f"  {_dot_id(name)} [{', '.join(attrs)}];\n")
    for name in graph.ordered():
        for dep in sorted(graph.dependencies[name]):
            out.write(f"  {_dot_id(name)} -> {_dot_id(dep)};\n")
    out.write("}\n")


def no_graphviz() -> int:
    print("tarnwick-graph: --svg needs Graphviz's dot program, which is not on PATH "
          "(Debian: apt-get install graphviz); --dot prints the DOT text instead",
          file=sys.stderr)
    return EXIT_NO_GRAPHVIZ


def write_svg(graph: Graph, path: str) -> int:
    dot = shutil.which("dot")
    if dot is None:
        return no_graphviz()
    from io import StringIO

    text = StringIO()
    write_dot(graph, text)
    proc = subprocess.run([dot, "-Tsvg", "-o", path], input=text.getvalue(),
                          capture_output=True, text=True)
    if proc.returncode != 0:
        print(f"tarnwick-graph: dot failed: {proc.stderr.strip()}", file=sys.stderr)
        return EXIT_NO_GRAPHVIZ
    return EXIT_OK


def write_why(graph: Graph, target: str, every: bool, out: TextIO) -> int:
    chains = graph.shortest_chains(target, every) if target in graph.depth else []
    if not chains:
        print(f"tarnwick-graph: {target} is not in the graph", file=sys.stderr)
        return EXIT_NOT_IN_GRAPH
    out.write("\n\n".join("\n".join(chain) for chain in chains) + "\n")
    return EXIT_OK


def plain_imports(source: str) -> set[str]:
    """Names of `import a.b` statements (not of `from a import b`)."""
    import tarnwick

    return {alias["name"] for stmt in tarnwick.parser.parse(source)
            if stmt["type"] == "import" for alias in stmt["names"]}


def write_unresolved(graph: Graph, pairs: set[tuple[str, str]], source: str, out: TextIO) -> None:
    """One line per (importer, name); a name from a `from PKG import NAME` list
    (often an attribute of PKG rather than a module) is marked as such."""
    imports: dict[str, set[str]] = {}
    for importer in {i for i, _ in pairs}:
        text = source if importer == ROOT else _read(graph.origin.get(importer))
        imports[importer] = plain_imports(text)
    in_from_list = {p for p in pairs if p[1] not in imports[p[0]]}
    # Plain misses first, then the from-import lists; the root first in each.
    ordered = sorted(pairs, key=lambda p: (p in in_from_list, p[0] != ROOT, p))
    width = max((len(i) for i, _ in ordered), default=0)
    for importer, name in ordered:
        line = f"{importer.ljust(width)}  {name}"
        if (importer, name) in in_from_list:
            package, _, member = name.rpartition(".")
            line += f"  (from {package} import {member})"
        out.write(line + "\n")
    from_lists = len(in_from_list)
    out.write(f"{len(ordered)} names not found")
    if from_lists:
        out.write(f", {from_lists} of them in from-import lists (often attributes, not modules)")
    out.write("\n")


def _read(path: str | None) -> str:
    try:
        with open(path or "", encoding="utf-8") as f:
            return f.read()
    except (OSError, UnicodeDecodeError):
        return ""


def version() -> str:
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as dist_version

    try:
        return f"tarnwick-graph {dist_version('tarnwick')}"
    except PackageNotFoundError:
        return "tarnwick-graph (tarnwick is not installed as a distribution; version unknown)"


def parse_args(argv: Iterable[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="tarnwick-graph",
        description="Print the module dependency graph of a Python file, without running it.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("file", help="the Python file to start from, or - for standard input")
    parser.add_argument("--version", action="version", version=version())
    parser.add_argument("--package", help="the package the file belongs to (for relative imports)")
    out = parser.add_mutually_exclusive_group()
    out.add_argument("--json", action="store_true", help="print JSON: nodes with depth, origin, dependencies")
    out.add_argument("--dot", action="store_true", help="print the graph in Graphviz DOT")
    out.add_argument("--svg", metavar="FILE", help="write the graph as SVG (runs Graphviz's dot)")
    out.add_argument("--why", metavar="MODULE", help="print a shortest import chain from the file to MODULE")
    out.add_argument("--unresolved", action="store_true",
                     help="print the imported names that could not be found, with their importer")
    parser.add_argument("--all", action="store_true", help="with --why: every chain of the shortest length")
    parser.add_argument("--max-depth", type=int, metavar="N", help="keep modules of depth at most N")
    parser.add_argument("--scope", metavar="PREFIX", help="keep modules whose name starts with PREFIX")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress line on standard error")
    args = parser.parse_args(None if argv is None else list(argv))
    if args.all and not args.why:
        parser.error("--all goes with --why")
    if (args.why or args.unresolved) and (args.max_depth is not None or args.scope is not None):
        parser.error("--max-depth and --scope apply to the listing, --json, --dot and --svg")
    if args.max_depth is not None and args.max_depth < 0:
        parser.error("--max-depth must be 0 or more")
    return args


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
    if args.svg and shutil.which("dot") is None:
        return no_graphviz()  # said before a long build, not after
    progress = None
    if not args.quiet and sys.stderr.isatty():
        progress = Progress(sys.stderr)
    records = BuildRecords(progress) if (args.unresolved or progress) else None
    try:
        dep_graph = build_graph(source, args.package, search_dir, records)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # PanicException derives from BaseException
        print(f"tarnwick-graph: build failed: {e}", file=sys.stderr)
        return EXIT_BUILD_FAILED
    try:
        return write_output(args, Graph(dep_graph), records, source, sys.stdout)
    except BrokenPipeError:  # `tarnwick-graph FILE | head`: the reader has enough
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK


def write_output(args: argparse.Namespace, graph: Graph, records: BuildRecords | None,
                 source: str, out: TextIO) -> int:
    if args.why:
        return write_why(graph, args.why, args.all, out)
    if args.unresolved:
        write_unresolved(graph, records.unresolved, source, out)
        return EXIT_OK
    if args.max_depth is not None or args.scope is not None:
        graph = graph.filtered(args.max_depth, args.scope)
    if args.svg:
        return write_svg(graph, args.svg)
    if args.json:
        write_json(graph, out)
    elif args.dot:
        write_dot(graph, out)
    else:
        write_listing(graph, out)
    return EXIT_OK
