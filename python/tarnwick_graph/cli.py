"""tarnwick-graph: print the import graph of Python code, without running it.

The graph comes from the exact engine (tarnwick_graph.build); ``--legacy``
builds it with the tarnwick module instead, for comparison. This module reads
the command line, runs one build and formats the result: it prints nothing
but its output on standard output, and messages on standard error.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
from collections import deque
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import TextIO

from . import Builder, Error, Graph, Problem

EXIT_OK = 0
EXIT_BUILD_FAILED = 1
EXIT_USAGE = 2
EXIT_NOT_IN_GRAPH = 3
EXIT_NO_GRAPHVIZ = 4

LEGACY_ROOT = "<terminal>"

EPILOG = """\
targets:
  FILE           a Python file, graphed as `python FILE` would run it (a file
                 inside a package runs as `python -m` would run it)
  DIRECTORY      a package directory: every module of the package
  -              Python source read from standard input
  -m NAME        a package (every module in it) or a module, found on the path

examples:
  tarnwick-graph examples/report.py              listing grouped by depth
  tarnwick-graph --why enum examples/report.py   how the script comes to import enum
  tarnwick-graph -m json --cycles                import cycles inside the json package
  tarnwick-graph mypkg/ --external collapse      mypkg's modules and what they use
  tarnwick-graph mypkg/ --affected mypkg/util.py modules a change to util.py can affect
  tarnwick-graph --unresolved app.py             imports that resolve to no module
  echo 'import json' | tarnwick-graph -          read the source from standard input
  tarnwick-graph --legacy examples/report.py     the same file through the tarnwick module

external modules (--external), for package and file graphs:
  follow    read every module reached (default for a file or source)
  leaves    show what the graphed package imports from outside it, unread
            (default for a package directory or -m)
  collapse  like leaves, with each outside module shown as its top-level name

exit codes:
  0  done
  1  the build failed (the message says why)
  2  bad usage, or the target could not be read
  3  --why or --affected: the module or file is not in the graph
  4  --svg: Graphviz's dot is not installed, or it failed
"""


# ---- a plain view of a graph ---------------------------------------------------


@dataclass
class View:
    """What the outputs need: each module's depth, kind and origin, the
    imports between modules, the roots, and the problems."""

    depth: dict[str, int] = field(default_factory=dict)
    kind: dict[str, str] = field(default_factory=dict)
    origin: dict[str, str | None] = field(default_factory=dict)
    imports: dict[str, set[str]] = field(default_factory=dict)
    roots: list[str] = field(default_factory=list)
    problems: tuple[Problem, ...] = ()

    @classmethod
    def of(cls, graph: Graph) -> View:
        view = cls(roots=list(graph.roots), problems=graph.problems)
        for name in graph:
            module = graph[name]
            view.depth[name] = module.depth
            view.kind[name] = module.kind
            view.origin[name] = module.origin
            view.imports[name] = set(module.imports)
        return view

    def ordered(self) -> list[str]:
        return sorted(self.depth, key=lambda n: (self.depth[n], n))

    def edge_count(self) -> int:
        return sum(len(deps) for deps in self.imports.values())

    def filtered(self, max_depth: int | None, scope: str | None) -> View:
        """The roots and the modules of depth at most `max_depth` in `scope`
        (a package and its submodules; with a trailing '.', the submodules
        only), and the imports between them."""

        def keep(name: str) -> bool:
            if name in self.roots:
                return True
            if max_depth is not None and self.depth[name] > max_depth:
                return False
            if scope is None:
                return True
            if scope.endswith("."):
                return name.startswith(scope)
            return name == scope or name.startswith(scope + ".")

        kept = {n for n in self.depth if keep(n)}
        return View(
            {n: self.depth[n] for n in kept},
            {n: self.kind[n] for n in kept},
            {n: self.origin[n] for n in kept},
            {n: self.imports[n] & kept for n in kept},
            list(self.roots),
            tuple(p for p in self.problems if p.importer is None or p.importer in kept),
        )

    def collapsed(self, inside: list[str]) -> View:
        """Each module outside the packages `inside` replaced by its
        top-level name (its distribution, where one is installed)."""

        def top(name: str) -> str:
            if any(name == p or name.startswith(p + ".") for p in inside):
                return name
            return name.partition(".")[0]

        view = View(roots=[top(r) for r in self.roots], problems=self.problems)
        dists = _distributions()
        for name, depth in self.depth.items():
            t = top(name)
            if t != name or t not in view.depth:
                view.depth[t] = min(depth, view.depth.get(t, depth))
                if t == name:
                    view.kind[t], view.origin[t] = self.kind[name], self.origin[name]
                else:
                    view.kind.setdefault(t, "external")
                    view.origin.setdefault(t, dists.get(t))
            view.imports.setdefault(t, set())
        for name, deps in self.imports.items():
            view.imports[top(name)] |= {top(d) for d in deps if top(d) != top(name)}
        return view

    def chains(self, target: str, every: bool) -> list[list[str]]:
        """Shortest import chains from a root to `target`, found breadth-first,
        in name order; only the first unless `every`."""
        dist = {r: 0 for r in self.roots}
        queue = deque(self.roots)
        while queue and target not in dist:
            name = queue.popleft()
            for dep in sorted(self.imports[name]):
                if dep not in dist:
                    dist[dep] = dist[name] + 1
                    queue.append(dep)
        if target not in dist:
            return []
        importers: dict[str, list[str]] = {}
        for name, deps in self.imports.items():
            for dep in deps:
                importers.setdefault(dep, []).append(name)
        chains: list[list[str]] = []

        def back(chain: list[str]) -> bool:
            first = chain[0]
            if dist[first] == 0:
                chains.append(list(chain))
                return not every
            for p in sorted(importers.get(first, ())):
                if dist.get(p) == dist[first] - 1:
                    chain.insert(0, p)
                    if back(chain):
                        return True
                    chain.pop(0)
            return False

        back([target])
        return sorted(chains)


def _distributions() -> dict[str, str]:
    """Top-level import names -> the installed distribution providing them."""
    from importlib.metadata import packages_distributions

    try:
        return {top: ", ".join(sorted(set(d))) for top, d in packages_distributions().items()}
    except Exception:  # broken metadata of some installed distribution
        return {}


# ---- outputs -------------------------------------------------------------------


def describe(view: View, name: str) -> str:
    origin = view.origin[name]
    kind = view.kind[name]
    if origin is None or origin in ("built-in", "frozen"):
        return f"({kind})"
    return origin


def write_listing(view: View, out: TextIO) -> None:
    names = view.ordered()
    width = max((len(n) for n in names), default=0)
    current = -1
    for name in names:
        if view.depth[name] != current:
            current = view.depth[name]
            out.write(f"depth {current}\n")
        out.write(f"  {name.ljust(width)}  {describe(view, name)}".rstrip() + "\n")
    summary = f"{len(names)} modules, {view.edge_count()} imports"
    unresolved = sum(1 for p in view.problems if p.kind != "unreadable")
    if unresolved:
        summary += f", {unresolved} unresolved (--unresolved lists them)"
    unreadable = len(view.problems) - unresolved
    if unreadable:
        summary += f", {unreadable} unreadable"
    out.write(summary + "\n")


def write_json(view: View, out: TextIO) -> None:
    data = {
        "roots": view.roots,
        "modules": [
            {
                "name": name,
                "kind": view.kind[name],
                "origin": view.origin[name],
                "depth": view.depth[name],
                "imports": sorted(view.imports[name]),
            }
            for name in view.ordered()
        ],
        "problems": [p._asdict() for p in view.problems],
    }
    json.dump(data, out, indent=2)
    out.write("\n")


def _dot_id(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def node_style(view: View, name: str) -> list[str]:
    """Roots stand out; other modules are shaded from dark (depth 1) to light
    (depth 7 and beyond) in Graphviz's blues9 scheme."""
    if name in view.roots:
        return ["shape=doubleoctagon", 'fillcolor="#f2c14e"', "penwidth=2"]
    shade = 8 - min(view.depth[name], 7)
    attrs = [f'fillcolor="/blues9/{shade}"']
    if shade >= 6:
        attrs.append("fontcolor=white")
    return attrs


def write_dot(view: View, out: TextIO) -> None:
    out.write(
        "digraph imports {\n  rankdir=LR;\n"
        "  node [shape=box, style=filled, fontname=Helvetica];\n"
    )
    names = view.ordered()
    for name in names:
        attrs = [f"label={_dot_id(name)}", *node_style(view, name)]
        out.write(f"  {_dot_id(name)} [{', '.join(attrs)}];\n")
    for name in names:
        for dep in sorted(view.imports[name]):
            out.write(f"  {_dot_id(name)} -> {_dot_id(dep)};\n")
    out.write("}\n")


def no_graphviz() -> int:
    print(
        "tarnwick-graph: --svg needs Graphviz's dot program, which is not on PATH "
        "(Debian: apt-get install graphviz); --dot prints the DOT text instead",
        file=sys.stderr,
    )
    return EXIT_NO_GRAPHVIZ


def write_svg(view: View, path: str) -> int:
    dot = shutil.which("dot")
    if dot is None:
        return no_graphviz()
    from io import StringIO

    text = StringIO()
    write_dot(view, text)
    proc = subprocess.run(
        [dot, "-Tsvg", "-o", path], input=text.getvalue(), capture_output=True, text=True
    )
    if proc.returncode != 0:
        print(f"tarnwick-graph: dot failed: {proc.stderr.strip()}", file=sys.stderr)
        return EXIT_NO_GRAPHVIZ
    return EXIT_OK


def write_why(view: View, target: str, every: bool, out: TextIO) -> int:
    chains = view.chains(target, every) if target in view.depth else []
    if not chains:
        print(f"tarnwick-graph: {target} is not in the graph", file=sys.stderr)
        return EXIT_NOT_IN_GRAPH
    out.write("\n\n".join("\n".join(chain) for chain in chains) + "\n")
    return EXIT_OK


def write_unresolved(problems: Iterable[Problem], out: TextIO) -> None:
    """One line per name that resolves to no module: the name, where it is
    imported, and why it is not found."""
    rows = sorted(
        ((p.name, f"{p.importer or '(requested)'}:{p.line}", p.reason) for p in problems),
        key=lambda r: r,
    )
    widths = [max((len(r[i]) for r in rows), default=0) for i in range(2)]
    for name, where, reason in rows:
        out.write(f"{name.ljust(widths[0])}  {where.ljust(widths[1])}  {reason}\n")
    out.write(f"{len(rows)} unresolved\n")


def write_cycles(graph: Graph, out: TextIO) -> None:
    out.write("\n\n".join("\n".join(group) for group in graph.cycles()))
    if graph.cycles():
        out.write("\n")


def write_affected(graph: Graph, files: Sequence[str], out: TextIO) -> int:
    by_origin = {
        os.path.realpath(m.origin): name
        for name, m in graph.items()
        if m.origin and os.path.isabs(m.origin)
    }
    targets = []
    for f in files:
        name = by_origin.get(os.path.realpath(f))
        if name is None:
            print(f"tarnwick-graph: {f} is not a module of the graph", file=sys.stderr)
            return EXIT_NOT_IN_GRAPH
        targets.append(name)
    for name in sorted(graph.importers(targets)):
        out.write(name + "\n")
    return EXIT_OK


# ---- building ------------------------------------------------------------------


def legacy_view(source: str, package: str | None, search_dir: str) -> View:
    """The graph the tarnwick module builds, as `python FILE` would see its
    imports: the file's directory first on sys.path. It asks the
    interpreter's importlib, in this process, where each module lives."""
    import tarnwick

    sys.path.insert(0, search_dir)
    try:
        graph = tarnwick.GraphBuilder().build(source, package)
    finally:
        sys.path.remove(search_dir)
    view = View(roots=[LEGACY_ROOT])
    for node in graph.get_all_scoped(""):
        view.depth[node.name] = node.depth if node.depth is not None else 0
        view.kind[node.name] = "module"
        view.origin[node.name] = node.spec["origin"]
        view.imports.setdefault(node.name, set())
        for importer in node.dependents:
            view.imports.setdefault(importer, set()).add(node.name)
    return view


def legacy_search_dir(path: str, package: str | None) -> str:
    """The file's own directory, or the one holding the top-level package
    when the file lies inside the directories of `package`."""
    directory = os.path.dirname(path)
    if package:
        parts = package.split(".")
        trail = directory.split(os.sep)[-len(parts):]
        if trail == parts:
            directory = os.sep.join(directory.split(os.sep)[: -len(parts)]) or os.sep
    return directory


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
        description="Print the import graph of Python code, found without running it.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("target", nargs="?", help="a Python file, a package directory, or -")
    parser.add_argument("-m", dest="modules", action="append", metavar="NAME",
                        help="graph the package (or module) NAME; may be repeated")
    parser.add_argument("--version", action="version", version=version())
    parser.add_argument("--package", help="the package a file or - belongs to (for relative imports)")
    out = parser.add_mutually_exclusive_group()
    out.add_argument("--json", action="store_true", help="print JSON: roots, modules, problems")
    out.add_argument("--dot", action="store_true", help="print the graph in Graphviz DOT")
    out.add_argument("--svg", metavar="FILE", help="write the graph as SVG (runs Graphviz's dot)")
    out.add_argument("--why", metavar="MODULE", help="print a shortest import chain to MODULE")
    out.add_argument("--cycles", action="store_true", help="print the import cycles")
    out.add_argument("--affected", nargs="+", metavar="FILE",
                     help="print every module that imports one of the FILEs, directly or not")
    out.add_argument("--unresolved", action="store_true",
                     help="print the imported names that resolve to no module")
    parser.add_argument("--all", action="store_true", help="with --why: every shortest chain")
    parser.add_argument("--max-depth", type=int, metavar="N", help="keep modules of depth at most N")
    parser.add_argument("--scope", metavar="PREFIX",
                        help="keep PREFIX and its submodules (PREFIX. : the submodules only)")
    parser.add_argument("--external", choices=("follow", "leaves", "collapse"),
                        help="what to do with modules outside the graphed package")
    parser.add_argument("--skip", action="append", default=[], metavar="CONTEXT",
                        choices=("function", "class", "guarded", "type_checking"),
                        help="do not follow imports standing in CONTEXT: function, class, "
                        "guarded (try/except ImportError), type_checking; may be repeated")
    parser.add_argument("--legacy", action="store_true",
                        help="build with the tarnwick module (asks importlib in this process, "
                        "which may import packages; its own grammar and depths)")
    parser.add_argument("-q", "--quiet", action="store_true", help="accepted for compatibility")
    args = parser.parse_args(None if argv is None else list(argv))
    if (args.target is None) == (not args.modules):
        parser.error("give one target (FILE, DIRECTORY or -) or -m NAME")
    if args.all and not args.why:
        parser.error("--all goes with --why")
    if args.max_depth is not None and args.max_depth < 0:
        parser.error("--max-depth must be 0 or more")
    filters = args.max_depth is not None or args.scope is not None
    if filters and (args.why or args.unresolved or args.cycles or args.affected):
        parser.error("--max-depth and --scope apply to the listing, --json, --dot and --svg")
    if args.legacy:
        if args.modules or (args.target != "-" and os.path.isdir(args.target)):
            parser.error("--legacy takes a file or -")
        if args.cycles or args.affected or args.external or args.unresolved or args.skip:
            parser.error("--cycles, --affected, --unresolved, --external and --skip need the "
                         "exact engine")
    if args.package is not None and args.modules:
        parser.error("--package applies to a file or -")
    return args


def build_exact(args: argparse.Namespace) -> tuple[Graph, list[str]]:
    """The graph, and the packages whose modules are graphed (empty for a
    file or source)."""
    builder = Builder()
    packages: list[str] = []
    if args.modules:
        packages = list(args.modules)
        within = packages if (args.external or "leaves") != "follow" else None
        return builder.build(packages=packages, within=within, skip=args.skip), packages
    if args.target == "-":
        source = sys.stdin.read()
        within = [] if args.external in ("leaves", "collapse") else None
        return builder.build(source=source, package=args.package, within=within, skip=args.skip), packages
    if os.path.isdir(args.target):
        from ._config import package_of

        name, _ = package_of(args.target)
        packages = [name] if name else []
        within = packages if (args.external or "leaves") != "follow" else None
        return builder.build(args.target, within=within, skip=args.skip), packages
    within = None
    if args.external in ("leaves", "collapse"):
        from ._config import package_of

        name = args.package or package_of(args.target)[0]
        within = [name.partition(".")[0]] if name else []
        packages = within
    return builder.build(args.target, package=args.package, within=within, skip=args.skip), packages


def main(argv: Iterable[str] | None = None) -> int:
    args = parse_args(argv)
    if args.svg and shutil.which("dot") is None:
        return no_graphviz()  # said before the build, not after
    try:
        if args.legacy:
            view = _legacy(args)
            graph = None
        else:
            graph, packages = build_exact(args)
            view = View.of(graph)
            if args.external == "collapse":
                view = view.collapsed(packages)
    except Error as e:
        print(f"tarnwick-graph: {e}", file=sys.stderr)
        return EXIT_USAGE
    except (OSError, UnicodeDecodeError) as e:
        print(f"tarnwick-graph: cannot read {args.target}: {e}", file=sys.stderr)
        return EXIT_USAGE
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # the tarnwick module's PanicException derives from BaseException
        print(f"tarnwick-graph: build failed: {e}", file=sys.stderr)
        return EXIT_BUILD_FAILED
    try:
        return write_output(args, graph, view, sys.stdout)
    except BrokenPipeError:  # `tarnwick-graph FILE | head`: the reader has enough
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK


def _legacy(args: argparse.Namespace) -> View:
    if args.target == "-":
        return legacy_view(sys.stdin.read(), args.package, os.getcwd())
    with open(args.target, encoding="utf-8") as f:
        source = f.read()
    return legacy_view(source, args.package, legacy_search_dir(os.path.abspath(args.target), args.package))


def write_output(args: argparse.Namespace, graph: Graph | None, view: View, out: TextIO) -> int:
    if args.why:
        return write_why(view, args.why, args.all, out)
    if graph is not None and args.cycles:
        write_cycles(graph, out)
        return EXIT_OK
    if graph is not None and args.affected:
        return write_affected(graph, args.affected, out)
    if graph is not None and args.unresolved:
        write_unresolved(graph.unresolved, out)
        return EXIT_OK
    if args.max_depth is not None or args.scope is not None:
        view = view.filtered(args.max_depth, args.scope)
    if args.svg:
        return write_svg(view, args.svg)
    if args.json:
        write_json(view, out)
    elif args.dot:
        write_dot(view, out)
    else:
        write_listing(view, out)
    return EXIT_OK
