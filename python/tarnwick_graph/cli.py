"""tarnwick-graph: print the import graph of Python code, without running it.

The graph comes from the exact engine (tarnwick_graph.build); ``--legacy``
builds it with the tarnwick module instead, for comparison. This module reads
the command line, runs one build and formats what the graph gives: it prints
nothing but its output on standard output, and messages on standard error.
"""

from __future__ import annotations

import os
import sys

# Annotations only (they are strings): typing costs a start-up it need not.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Iterator, Sequence
    from typing import TextIO

from . import Builder, Error, Graph, Module, Problem, _native
from ._graph import _selector

EXIT_OK = 0
EXIT_BUILD_FAILED = 1
EXIT_USAGE = 2
EXIT_NOT_IN_GRAPH = 3
EXIT_NO_GRAPHVIZ = 4
EXIT_CANNOT_WRITE = 5
EXIT_INTERRUPTED = 130  # as a shell reports a program that SIGINT ended

# The widest name column of a listing: longer names push their origin along.
NAME_COLUMN = 40

LEGACY_ROOT = "<terminal>"
LEGACY_KINDS = {"built-in": "builtin", "frozen": "frozen"}

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
  tarnwick-graph --problems app.py               those and the files that cannot be read
  echo 'import json' | tarnwick-graph -          read the source from standard input
  tarnwick-graph --legacy examples/report.py     the same file through the tarnwick module
  tarnwick-graph mypkg/ --html graph.html        a page to explore the graph in a browser
  tarnwick-graph check                           import-linter's contracts (check --help)

The listing gives each module's origin relative to the search path entry
it was found in; the entries it names are listed first.

external modules (--external), for package and file graphs:
  follow    read every module reached (default for a file or source)
  leaves    show what the graphed package imports from outside it, unread
            (default for a package directory or -m)
  collapse  like leaves, with each outside module shown as its top-level name

exit codes:
  0    done
  1    the build failed (the message says why)
  2    bad usage, or the target could not be found or read
  3    --why or --affected: the module or file is not in the graph
  4    --svg: Graphviz's dot is not installed, or it failed
  5    the output could not be written (a full disk, a closed output)
  130  interrupted (Ctrl-C)
"""


# ---- the tarnwick module's graph ----------------------------------------------


class Legacy:
    """The graph the tarnwick module builds, with what the outputs ask of a
    Graph: modules in name order with the depths of its walk (not import
    distances), no problems. Its kinds are "builtin" and "frozen" where the
    origin says so, "module" otherwise."""

    problems: tuple[Problem, ...] = ()
    unresolved: tuple[Problem, ...] = ()

    def __init__(
        self,
        names: list[str],
        origins: list[str | None],
        depths: list[int],
        imports: list[list[int]],
        roots: list[int],
    ) -> None:
        self.names, self.origins, self.depths, self.imports, self.roots = (
            names, origins, depths, imports, roots)
        self.edge_count = sum(map(len, imports))
        self.kinds = [LEGACY_KINDS.get(origin or "", "module") for origin in origins]

    @classmethod
    def build(cls, source: str, package: str | None, search_dir: str) -> Legacy:
        """As `python FILE` would see its imports: the file's directory first
        on sys.path. It asks the interpreter's importlib, in this process,
        where each module lives."""
        import tarnwick

        sys.path.insert(0, search_dir)
        try:
            graph = tarnwick.GraphBuilder().build(source, package)
        finally:
            sys.path.remove(search_dir)
        nodes = sorted(graph.get_all_scoped(""), key=lambda n: n.name)
        index = {node.name: i for i, node in enumerate(nodes)}
        imports: list[list[int]] = [[] for _ in nodes]
        for i, node in enumerate(nodes):
            for importer in node.dependents:
                imports[index[importer]].append(i)
        return cls(
            [n.name for n in nodes],
            [n.spec["origin"] for n in nodes],
            [n.depth or 0 for n in nodes],
            [sorted(deps) for deps in imports],
            [index[LEGACY_ROOT]],
        )

    def __contains__(self, name: object) -> bool:
        return name in self.names

    def values(self) -> Iterator[Module]:
        for name, kind, origin, depth in zip(self.names, self.kinds, self.origins, self.depths):
            empty: frozenset[str] = frozenset()
            yield Module(name, kind, origin, depth, empty, empty)  # type: ignore[arg-type]

    def subgraph(self, max_depth: int | None, scope: str | None) -> Legacy:
        keep = _selector(max_depth, scope)
        kept = [i for i, name in enumerate(self.names)
                if i in self.roots or keep(name, self.depths[i])]
        index = {old: new for new, old in enumerate(kept)}
        return Legacy(
            [self.names[i] for i in kept],
            [self.origins[i] for i in kept],
            [self.depths[i] for i in kept],
            [[index[j] for j in self.imports[i] if j in index] for i in kept],
            [index[r] for r in self.roots],
        )

    def chains(self, name: str, every: bool) -> list[list[str]]:
        """The shortest chains from the root to `name` (the first only
        unless `every`), in Graph.chains' order. The walk's depths are not
        distances, so they are found breadth-first."""
        distance = [-1] * len(self.names)
        queue = list(self.roots)
        for r in queue:
            distance[r] = 0
        for i in queue:  # grows as it goes: breadth-first
            for j in self.imports[i]:
                if distance[j] < 0:
                    distance[j] = distance[i] + 1
                    queue.append(j)
        importers: list[list[int]] = [[] for _ in self.names]
        for i, deps in enumerate(self.imports):
            for j in deps:
                importers[j].append(i)
        target = self.names.index(name)
        if distance[target] < 0:
            return []
        # Depth first from the target, one importer a step nearer each time.
        chains, path, tried = [], [target], [0]
        while path:
            i = path[-1]
            if distance[i] == 0:
                chains.append([self.names[k] for k in reversed(path)])
                if not every:
                    break
                path.pop()
                tried.pop()
                continue
            nearer = [p for p in importers[i] if distance[p] == distance[i] - 1]
            if tried[-1] == len(nearer):
                path.pop()
                tried.pop()
                continue
            path.append(nearer[tried[-1]])
            tried[-1] += 1
            tried.append(0)
        return chains

    def to_json(self, indent: int | None = None) -> str:
        return self._render("json", indent)

    def write_json(self, file: TextIO, indent: int | None = None) -> None:
        file.write(self.to_json(indent))

    def to_dot(self) -> str:
        return self._render("dot", None)

    def _render(self, format: str, indent: int | None) -> str:
        return _native.render(format, self.names, self.kinds, self.origins, self.depths,
                              self.imports, self.roots, indent)


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


# ---- outputs -------------------------------------------------------------------


def count(n: int, noun: str) -> str:
    return f"{n} {noun}" if n == 1 else f"{n} {noun}s"


def entry_labels(entries: Sequence[str]) -> dict[str, str]:
    """A short label for each search path entry: its last folder name, or as
    many of its last folder names as tell it from the others."""
    labels: dict[str, str] = {}
    for entry in dict.fromkeys(entries):
        parts = [p for p in entry.split(os.sep) if p]
        for n in range(1, len(parts) + 1):
            label = os.path.join(*parts[-n:])
            if label not in labels.values() and not any(
                e != entry and e.endswith(os.sep + label) for e in entries
            ):
                break
        else:
            label = entry
        labels[entry] = label
    return labels


class Origins:
    """Where modules live, as the listing shows it: relative to the search
    path entry each was found in (the deepest entry holding it), the entries
    named once, before the modules."""

    def __init__(self, search_path: Sequence[str]) -> None:
        entries = [os.path.normpath(e) for e in search_path]
        self._labels = entry_labels(entries)
        self._entries = sorted(self._labels, key=len, reverse=True)  # deepest first
        self.used: dict[str, None] = {}

    def describe(self, module: Module) -> str:
        origin = module.origin
        if origin is None or not os.path.isabs(origin):
            return f"({module.kind})"
        for entry in self._entries:
            if origin.startswith(entry.rstrip(os.sep) + os.sep):
                self.used[entry] = None
                return f"{self._labels[entry]}: {origin[len(entry.rstrip(os.sep)) + 1:]}"
        return origin

    def legend(self) -> list[str]:
        order = [e for e in self._labels if e in self.used]  # search path order
        width = max((len(self._labels[e]) for e in order), default=0)
        return [f"  {self._labels[e].ljust(width)}  {e}" for e in order]


def write_listing(graph: Graph | Legacy, search_path: Sequence[str], out: TextIO) -> None:
    """The search path entries the origins are relative to, the modules
    grouped by depth, each with where it lives, and a summary."""
    modules = sorted(graph.values(), key=lambda m: m.depth)  # stable: names stay in order
    width = min(max((len(m.name) for m in modules), default=0), NAME_COLUMN)
    origins = Origins(search_path)
    rows = [(m.depth, m.name, origins.describe(m)) for m in modules]
    legend = origins.legend()
    if legend:
        out.write("search path\n" + "\n".join(legend) + "\n")
    current = -1
    for depth, name, where in rows:
        if depth != current:
            current = depth
            out.write(f"depth {current}\n")
        out.write(f"  {name.ljust(width)}  {where}".rstrip() + "\n")
    summary = f"{count(len(modules), 'module')}, {count(graph.edge_count, 'import')}"
    unresolved = len(graph.unresolved)
    unreadable = len(graph.problems) - unresolved
    if unresolved:
        summary += f", {unresolved} unresolved"
    if unreadable:
        summary += f", {unreadable} unreadable"
    if graph.problems:
        summary += " (--problems lists them)"
    out.write(summary + "\n")


def no_graphviz() -> int:
    print(
        "tarnwick-graph: --svg needs Graphviz's dot program, which is not on PATH "
        "(Debian: apt-get install graphviz); --dot prints the DOT text instead",
        file=sys.stderr,
    )
    return EXIT_NO_GRAPHVIZ


def write_svg(graph: Graph | Legacy, path: str) -> int:
    import shutil
    import subprocess

    dot = shutil.which("dot")
    if dot is None:
        return no_graphviz()
    proc = subprocess.run(
        [dot, "-Tsvg", "-o", path], input=graph.to_dot(), capture_output=True, text=True
    )
    if proc.returncode != 0:
        print(f"tarnwick-graph: dot failed: {proc.stderr.strip()}", file=sys.stderr)
        return EXIT_NO_GRAPHVIZ
    return EXIT_OK


def write_html(graph: Graph | Legacy, path: str) -> int:
    assert isinstance(graph, Graph)  # check_args keeps --legacy from --html
    text = graph.to_html()
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    except OSError as e:
        print(f"tarnwick-graph: cannot write {path}: {e.strerror or e}", file=sys.stderr)
        return EXIT_CANNOT_WRITE
    return EXIT_OK


def write_why(graph: Graph | Legacy, target: str, every: bool, out: TextIO) -> int:
    chains: list[list[str]] = []
    if target not in graph:
        pass
    elif isinstance(graph, Graph):
        chains = graph.why(target, all=True) if every else [graph.why(target)]
    else:
        chains = graph.chains(target, every)
    if not any(chains):
        print(f"tarnwick-graph: {target} is not in the graph", file=sys.stderr)
        return EXIT_NOT_IN_GRAPH
    out.write("\n\n".join("\n".join(chain) for chain in chains) + "\n")
    return EXIT_OK


def write_problems(problems: Sequence[Problem], out: TextIO) -> None:
    """One line per problem: the name that resolves to no module (or the
    file that cannot be read), where it is imported (the module the file
    holds), and why; a summary last."""
    rows = sorted(
        (p.name, f"{p.importer or '(requested)'}" + (f":{p.line}" if p.line else ""), p.reason)
        for p in problems
    )
    widths = [min(max((len(r[i]) for r in rows), default=0), NAME_COLUMN) for i in range(2)]
    for name, where, reason in rows:
        out.write(f"{name.ljust(widths[0])}  {where.ljust(widths[1])}  {reason}\n")
    unresolved = sum(1 for p in problems if p.kind != "unreadable")
    summary = [f"{unresolved} unresolved"]
    if len(rows) > unresolved:
        summary.append(f"{len(rows) - unresolved} unreadable")
    out.write(", ".join(summary) + "\n")


def write_cycles(graph: Graph, out: TextIO) -> None:
    cycles = graph.cycles()
    if cycles:
        out.write("\n\n".join("\n".join(group) for group in cycles) + "\n")


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


def version() -> str:
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as dist_version

    try:
        return f"tarnwick-graph {dist_version('tarnwick')}"
    except PackageNotFoundError:
        return "tarnwick-graph (tarnwick is not installed as a distribution; version unknown)"


class Args:
    """The options of one run, as parse_args() or quick_args() read them."""

    target: str | None = None
    modules: list[str] | None = None
    package: str | None = None
    json = False
    dot = False
    svg: str | None = None
    html: str | None = None
    why: str | None = None
    cycles = False
    affected: list[str] | None = None
    unresolved = False
    problems = False
    all = False
    max_depth: int | None = None
    scope: str | None = None
    external: str | None = None
    skip: list[str]
    jobs: int | None = None
    legacy = False
    quiet = False

    def __init__(self) -> None:
        self.skip = []


EXTERNAL_CHOICES = ("follow", "leaves", "collapse")
SKIP_CHOICES = ("function", "class", "guarded", "type_checking")


class BadJobs(ValueError):
    pass


def _jobs(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = 0
    if n < 1:
        raise BadJobs(f"must be a positive integer, not {text!r}")
    return n


def check_args(args: Args) -> str | None:
    """What is wrong with a run's options taken together, if anything."""
    if (args.target is None) == (not args.modules):
        return "give one target (FILE, DIRECTORY or -) or -m NAME"
    if args.all and not args.why:
        return "--all goes with --why"
    if args.max_depth is not None and args.max_depth < 0:
        return "--max-depth must be 0 or more"
    filters = args.max_depth is not None or args.scope is not None
    if filters and (args.why or args.unresolved or args.problems or args.cycles or args.affected):
        return "--max-depth and --scope apply to the listing, --json, --dot, --svg and --html"
    if args.scope is not None and args.scope in ("", "."):
        return "--scope takes a module name"
    if args.legacy:
        if args.modules or (args.target != "-" and os.path.isdir(args.target or "")):
            return "--legacy takes a file or -"
        if (args.cycles or args.affected or args.external or args.unresolved or args.problems
                or args.skip or args.jobs or args.html):
            return ("--cycles, --affected, --unresolved, --problems, --external, --skip, "
                    "--jobs and --html need the exact engine")
    if args.package is not None and args.modules:
        return "--package applies to a file or -"
    return None


# The options of most runs, read without argparse: importing it (with re and
# enum) costs a run on a small package about a fifth of its time. Whatever
# else comes (help, --version, --affected, abbreviations, --name=value, a
# mistake) goes to argparse, which reads the same options to the same Args
# or says what is wrong.
_SWITCHES = {"--json": "json", "--dot": "dot", "--cycles": "cycles", "--unresolved": "unresolved",
             "--problems": "problems", "--all": "all", "--legacy": "legacy", "-q": "quiet",
             "--quiet": "quiet"}
_VALUED = {"-m": "modules", "--package": "package", "--svg": "svg", "--html": "html",
           "--why": "why",
           "--max-depth": "max_depth", "--scope": "scope", "--external": "external",
           "--skip": "skip", "--jobs": "jobs", "-j": "jobs"}
_OUTPUTS = ("json", "dot", "svg", "html", "why", "cycles", "unresolved", "problems")  # one at most


def quick_args(argv: Sequence[str]) -> Args | None:
    """The options of a common run, as parse_args() reads them; None for any
    other, which parse_args() reads."""
    args = Args()
    outputs = set()
    i = 0
    while i < len(argv):
        word = argv[i]
        i += 1
        switch = _SWITCHES.get(word)
        dest = _VALUED.get(word)
        if switch is not None:
            setattr(args, switch, True)
            dest = switch
        elif dest is None:
            if args.target is not None or (word.startswith("-") and word != "-"):
                return None
            args.target = word
            continue
        elif i == len(argv) or argv[i].startswith("-"):
            return None
        else:
            value = argv[i]
            i += 1
            if dest == "modules":
                args.modules = [*(args.modules or ()), value]
            elif dest == "skip":
                if value not in SKIP_CHOICES:
                    return None
                args.skip.append(value)
            elif dest == "external" and value not in EXTERNAL_CHOICES:
                return None
            elif dest in ("max_depth", "jobs"):
                try:
                    setattr(args, dest, int(value) if dest == "max_depth" else _jobs(value))
                except ValueError:
                    return None
            else:
                setattr(args, dest, value)
        if dest in _OUTPUTS:
            outputs.add(dest)
    if len(outputs) > 1 or check_args(args) is not None:
        return None
    return args


def parse_args(argv: Iterable[str] | None) -> Args:
    import argparse

    def jobs(text: str) -> int:
        try:
            return _jobs(text)
        except BadJobs as e:
            raise argparse.ArgumentTypeError(str(e)) from None

    parser = argparse.ArgumentParser(
        prog="tarnwick-graph",
        description="Print the import graph of Python code, found without running it.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("target", nargs="?", help="a Python file, a package directory, or -")
    parser.add_argument("-m", dest="modules", action="append", metavar="NAME",
                        help="graph the package (or module) NAME; may be repeated")
    parser.add_argument("--version", action="store_true",
                        help="print the installed version and exit")
    parser.add_argument("--package", help="the package a file or - belongs to (for relative imports)")
    out = parser.add_mutually_exclusive_group()
    out.add_argument("--json", action="store_true", help="print JSON: roots, modules, problems")
    out.add_argument("--dot", action="store_true", help="print the graph in Graphviz DOT")
    out.add_argument("--svg", metavar="FILE", help="write the graph as SVG (runs Graphviz's dot)")
    out.add_argument("--html", metavar="FILE",
                     help="write a page that explores the graph in a browser (one offline file)")
    out.add_argument("--why", metavar="MODULE", help="print a shortest import chain to MODULE")
    out.add_argument("--cycles", action="store_true", help="print the import cycles")
    out.add_argument("--affected", nargs="+", metavar="FILE",
                     help="print every module that imports one of the FILEs, directly or not")
    out.add_argument("--unresolved", action="store_true",
                     help="print the imported names that resolve to no module")
    out.add_argument("--problems", action="store_true",
                     help="print the unresolved names and the files that cannot be read, "
                     "with the reasons")
    parser.add_argument("--all", action="store_true", help="with --why: every shortest chain")
    parser.add_argument("--max-depth", type=int, metavar="N", help="keep modules of depth at most N")
    parser.add_argument("--scope", metavar="PREFIX",
                        help="keep PREFIX and its submodules (PREFIX. : the submodules only)")
    parser.add_argument("--external", choices=EXTERNAL_CHOICES,
                        help="what to do with modules outside the graphed package")
    parser.add_argument("--skip", action="append", default=[], metavar="CONTEXT",
                        choices=SKIP_CHOICES,
                        help="do not follow imports standing in CONTEXT: function, class, "
                        "guarded (try/except ImportError), type_checking; may be repeated")
    parser.add_argument("--jobs", "-j", type=jobs, metavar="N",
                        help="threads the build may use (default: as many as it may use)")
    parser.add_argument("--legacy", action="store_true",
                        help="build with the tarnwick module (asks importlib in this process, "
                        "which may import packages; its own grammar and depths)")
    parser.add_argument("-q", "--quiet", action="store_true", help="accepted for compatibility")
    args = parser.parse_args(None if argv is None else list(argv), namespace=Args())
    if getattr(args, "version", False):  # the version is read only when asked
        print(version())
        raise SystemExit(EXIT_OK)
    if args.target is None and not args.modules and args.affected and len(args.affected) > 1:
        args.target = args.affected.pop()  # `--affected FILE... TARGET`: the last is the target
    problem = check_args(args)
    if problem is not None:
        parser.error(problem)
    return args


def build_exact(args: Args) -> tuple[Graph, list[str]]:
    """The graph, with the modules outside the graphed packages folded into
    their top-level names under --external collapse, and the search path it
    was built with. A target that cannot be read is an Error."""
    path = args.target or ""  # a target when no -m
    builder = Builder(workers=args.jobs)
    builder._keep = False  # one build: nothing kept for a rebuild
    packages: list[str] = []
    within: str | list[str] | None
    if args.modules:
        packages = list(args.modules)
        within = packages if (args.external or "leaves") != "follow" else None
        graph = builder.build(packages=packages, within=within, skip=args.skip)
    elif path == "-":
        source = sys.stdin.read()
        within = [] if args.external in ("leaves", "collapse") else None
        graph = builder.build(source=source, package=args.package, within=within, skip=args.skip)
    elif os.path.isdir(path):
        from ._config import package_of

        name, _ = package_of(path)
        packages = [name] if name else []
        within = packages if (args.external or "leaves") != "follow" else "*"
        graph = builder.build(path, within=within, skip=args.skip)
    else:
        within = None
        if args.external in ("leaves", "collapse"):
            from ._config import package_of

            name = args.package or package_of(path)[0]
            within = [name.partition(".")[0]] if name else []
            packages = within
        graph = builder.build(path, package=args.package, within=within, skip=args.skip)
    # The modules that stand for the target: a problem of theirs is the target's.
    if args.modules:
        target = set(args.modules)
    elif path != "-" and os.path.isdir(path):
        target = set(packages)
    else:
        target = {"__main__"}
    for p in graph.problems:
        # The target's own file, not one inside a package it stands for (a
        # file no import can name is a problem of its package, and no error).
        if (p.kind == "unreadable" and p.importer in target
                and (path == "-" or graph[p.importer].origin == p.name)):
            shown = "standard input" if path == "-" else p.name
            raise Error(f"cannot read {shown}: {p.reason}")
    if args.external == "collapse":
        graph = graph.collapsed(packages)
    return graph, builder._last_search_path


def build_legacy(args: Args) -> tuple[Legacy, list[str]]:
    path = args.target or "-"  # a file or -
    if path == "-":
        search_dir = os.getcwd()
        graph = Legacy.build(sys.stdin.read(), args.package, search_dir)
    else:
        if os.path.exists(path) and not os.path.isfile(path):
            raise Error(f"{path}: not a regular file")
        with open(path, encoding="utf-8") as f:
            source = f.read()
        search_dir = legacy_search_dir(os.path.abspath(path), args.package)
        graph = Legacy.build(source, args.package, search_dir)
    from ._config import base_path

    return graph, [search_dir, *base_path()]


def main(argv: Iterable[str] | None = None) -> int:
    """The command: its exit code (see EPILOG). Ctrl-C ends it with one line
    on standard error, as does an output that cannot be written."""
    try:
        return run(argv)
    except KeyboardInterrupt:
        print("tarnwick-graph: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def run(argv: Iterable[str] | None) -> int:
    # File names that are not valid in the locale's encoding come back as
    # the bytes they were, as the interpreter carries them.
    for stream in (sys.stdout, sys.stderr):
        if stream is not None and hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="surrogateescape")
    words = sys.argv[1:] if argv is None else list(argv)
    if words and words[0] == "check":  # import-linter's contracts: a command of its own
        from . import _check_cli

        return _check_cli.main(words[1:])
    args = quick_args(words) or parse_args(words)
    if args.svg:
        import shutil

        if shutil.which("dot") is None:
            return no_graphviz()  # said before the build, not after
    if sys.stdout is None and not (args.svg or args.html):  # started with standard output closed
        print("tarnwick-graph: cannot write the output: standard output is closed",
              file=sys.stderr)
        return EXIT_CANNOT_WRITE
    try:
        graph, search_path = build_legacy(args) if args.legacy else build_exact(args)
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
    out = sys.stdout
    try:
        code = write_output(args, graph, search_path, out)
        if out is not None:
            out.flush()
        return code
    except BrokenPipeError:  # `tarnwick-graph FILE | head`: the reader has enough
        quiet_stdout()
        return EXIT_OK
    except OSError as e:
        quiet_stdout()
        print(f"tarnwick-graph: cannot write the output: {e.strerror or e}", file=sys.stderr)
        return EXIT_CANNOT_WRITE


def quiet_stdout() -> None:
    """Standard output onto /dev/null: what is still buffered for it goes
    there at exit, instead of failing again."""
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, AttributeError, ValueError):
        pass


def write_output(
    args: Args, graph: Graph | Legacy, search_path: Sequence[str], out: TextIO
) -> int:
    if args.why:
        return write_why(graph, args.why, args.all, out)
    if isinstance(graph, Graph):
        if args.cycles:
            write_cycles(graph, out)
            return EXIT_OK
        if args.affected:
            return write_affected(graph, args.affected, out)
        if args.unresolved or args.problems:
            write_problems(graph.unresolved if args.unresolved else graph.problems, out)
            return EXIT_OK
    if args.max_depth is not None or args.scope is not None:
        graph = graph.subgraph(args.max_depth, args.scope)
    if args.svg:
        return write_svg(graph, args.svg)
    if args.html:
        return write_html(graph, args.html)
    if args.json:
        graph.write_json(out, indent=2)
        out.write("\n")
    elif args.dot:
        out.write(graph.to_dot())
    else:
        write_listing(graph, search_path, out)
    return EXIT_OK
