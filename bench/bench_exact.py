"""Benchmarks of the exact engine (tarnwick_graph) against its peers.

Every timed measurement runs in a fresh interpreter and times the build call
alone; each figure is the min and the median of N runs (the tools' runs are
interleaved, so both see the same machine). Run it with the bench venv's
python, which holds the packages and the peers:

    build/bench-venv/bin/python bench/bench_exact.py    # N = 5; venv: bench/requirements.txt
    build/bench-venv/bin/python bench/bench_exact.py --quick   # N = 2
    ... bench_exact.py --sections b --runs 9                              # one section

Sections:
  a. first builds of bench_builder's three scripts against modulefinder
     (bar: 50x on every script), and the two tools' module sets compared,
     with the cause of every difference
  b. every module of django and of sympy (packages=[p], within=[p]) against
     grimp's uncached build_graph, internal-only and with external packages;
     `ruff analyze graph` for reference
  c. rebuilds of a copied package after an edit (a comment appended; an
     `import os` added), against the first build (bar: 20x)
"""

from __future__ import annotations

import argparse
import json
import math
import modulefinder
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import time
from collections import defaultdict
from collections.abc import Callable
from importlib.metadata import version
from typing import NamedTuple

import tarnwick_graph
from bench_builder import SCRIPTS  # beside this file, first on the path

STDLIB = os.path.realpath(sysconfig.get_paths()["stdlib"])
PURELIB = os.path.realpath(sysconfig.get_paths()["purelib"])
FIRST_BUILD_BAR = 50.0
REBUILD_BAR = 20.0
PACKAGES = ("django", "sympy")

# One timed build in a fresh interpreter: prints wall and CPU seconds of the
# build call (CPU of every thread, and of child processes) and what it found.
CHILD = r"""
import json, resource, sys, time
mode, target = sys.argv[1], sys.argv[2]

def cpu():
    s, c = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return s.ru_utime + s.ru_stime + c.ru_utime + c.ru_stime

if mode == "modulefinder":
    import modulefinder
    def run():
        finder = modulefinder.ModuleFinder()
        finder.run_script(target)
        return len(finder.modules), None
elif mode == "tarnwick":
    import tarnwick_graph
    def run():
        graph = tarnwick_graph.build(target)
        return len(graph), graph.edge_count
elif mode == "tarnwick-package":
    import tarnwick_graph
    def run():
        graph = tarnwick_graph.build(packages=[target], within=[target])
        return len(graph), graph.edge_count
elif mode in ("grimp", "grimp-external"):
    import grimp
    def run():
        graph = grimp.build_graph(target, cache_dir=None,
                                  include_external_packages=mode == "grimp-external")
        return len(graph.modules), graph.count_imports()
else:
    raise SystemExit(f"unknown mode {mode}")

c0, t0 = cpu(), time.perf_counter()
modules, edges = run()
t1, c1 = time.perf_counter(), cpu()
print(json.dumps({"seconds": t1 - t0, "cpu": c1 - c0, "modules": modules, "edges": edges}))
"""


# ---- measuring ---------------------------------------------------------------


class Runs(NamedTuple):
    """The results of one tool's repeated runs."""

    seconds: list[float]
    cpu: list[float]
    last: dict

    @property
    def min(self) -> float:
        return min(self.seconds)

    @property
    def median(self) -> float:
        return statistics.median(self.seconds)


def run_child(mode: str, target: str, cwd: str | None = None) -> dict:
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, mode, target],
        capture_output=True,
        text=True,
        cwd=cwd,
        check=False,
    )
    if proc.returncode != 0:
        raise RuntimeError(f"{mode} {target} failed:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def interleaved(n: int, jobs: dict[str, Callable[[], dict]]) -> dict[str, Runs]:
    """Runs every job n times, taking turns, so that slow spells of the
    machine fall on all of them."""
    results: dict[str, list[dict]] = defaultdict(list)
    for _ in range(n):
        for name, job in jobs.items():
            results[name].append(job())
    return {
        name: Runs([r["seconds"] for r in rs], [r["cpu"] for r in rs], rs[-1]) for name, rs in results.items()
    }


def timed_command(argv: list[str]) -> dict:
    """Wall time of a whole command, for tools without an in-process API."""
    t0 = time.perf_counter()
    proc = subprocess.run(argv, capture_output=True, text=True, check=False)
    seconds = time.perf_counter() - t0
    if proc.returncode != 0:
        raise RuntimeError(f"{argv[0]} failed:\n{proc.stderr}")
    return {"seconds": seconds, "cpu": float("nan"), "stdout": proc.stdout}


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:8.1f}"


def verdict(value: float, bar: float) -> str:
    return "PASS" if value >= bar else "FAIL"


def heading(title: str) -> None:
    print(f"\n{title}")


# ---- a. first builds against modulefinder -----------------------------------


class RecordingFinder(modulefinder.ModuleFinder):
    """A ModuleFinder that remembers which module's code first brought in
    each module, so that a module's path from the script can be told."""

    def __init__(self, *args, **kwargs) -> None:
        super().__init__(*args, **kwargs)
        self._scanning: list[str] = []
        self.first_importer: dict[str, str | None] = {}

    def scan_code(self, co, m):
        self._scanning.append(m.__name__)
        try:
            return super().scan_code(co, m)
        finally:
            self._scanning.pop()

    def add_module(self, fqname):
        if fqname not in self.modules:
            self.first_importer[fqname] = self._scanning[-1] if self._scanning else None
        return super().add_module(fqname)

    def chain(self, name: str) -> list[str]:
        """The modules through which `name` was first reached, from the script."""
        out = [name]
        while (parent := self.first_importer.get(out[-1])) is not None and parent not in out:
            out.append(parent)
        return out[::-1]


def file_of(origin: str | None) -> str | None:
    return os.path.realpath(origin) if origin and os.path.isabs(origin) else None


class Side(NamedTuple):
    """One tool's view of a script's modules: name -> file, and how each was reached."""

    label: str
    files: dict[str, str | None]
    chain: Callable[[str], list[str]]
    looked_for_in_vain: set[str]


def sides_of(script: str) -> tuple[Side, Side, tarnwick_graph.Graph]:
    graph = tarnwick_graph.build(script)
    ours = Side(
        "tarnwick",
        {n: file_of(graph[n].origin) for n in graph if n != "__main__"},
        graph.why,
        {p.name for p in graph.unresolved},
    )
    finder = RecordingFinder(path=[os.path.dirname(script), *sys.path[1:]])
    finder.run_script(script)
    theirs = Side(
        "modulefinder",
        {n: file_of(m.__file__) for n, m in finder.modules.items() if n != "__main__"},
        finder.chain,
        set(finder.badmodules),
    )
    return ours, theirs, graph


def short(path: str) -> str:
    """A path with the standard library and site-packages folders named."""
    for folder, label in ((PURELIB, "<site-packages>"), (STDLIB, "<stdlib>")):
        if path.startswith(folder + os.sep):
            return label + path[len(folder) :]
    return path


def package_root(name: str, side: Side) -> str:
    top = name.split(".")[0]
    path = side.files.get(top) or side.files.get(name) or "?"
    return short(os.path.dirname(path) if path.endswith("__init__.py") else path)


def shim_note(top: str, ours: Side) -> str:
    path = ours.files.get(top) or ""
    if top == "distutils" and "setuptools" in path and "_distutils_hack" in sys.modules:
        return (
            " (setuptools' _distutils_hack, enabled in this interpreter by its"
            " distutils-precedence.pth, answers `import distutils` with setuptools._distutils;"
            " modulefinder searches sys.path only)"
        )
    return ""


def cause(name: str, this: Side, other: Side, ours: Side, graph: tarnwick_graph.Graph) -> str:
    """Why `name`, found by `this` tool, is not among `other`'s modules: the
    first module on the way to it that the other tool lacks or reads from
    another file."""
    chain = [m for m in this.chain(name) if m != "__main__"]
    for i, m in enumerate(chain):
        if m in other.files and other.files[m] == this.files.get(m):
            continue
        if m in other.files:
            top = m.split(".")[0]
            return (
                f"reached through {top}, which {this.label} reads from {package_root(top, this)}"
                f" and {other.label} from {package_root(top, other)}{shim_note(top, ours)}"
            )
        importer = chain[i - 1] if i else "the script"
        file = this.files.get(m)
        aliases = sorted(n for n, f in other.files.items() if file and f == file)
        if aliases:
            kind = f"a {graph[m].kind} module, " if m in graph else ""
            searched = "looked for it in vain" if m in other.looked_for_in_vain else "did not look for it"
            return (
                f"{kind}the file {short(file)}, which {other.label} has as {', '.join(aliases)};"
                f" {other.label} {searched}"
            )
        if m in other.looked_for_in_vain:
            kind = graph[m].kind if m in graph else "?"
            if other is ours:
                reasons = {p.reason for p in graph.unresolved if p.name == m}
                return f"imported by {importer}; tarnwick reports it unresolved: {'; '.join(sorted(reasons))}"
            return f"{other.label} looked for it and did not find it (a {kind} module)"
        return f"imported by {importer} (read by both); {other.label} did not look for {m}"
    return "same path in both (should not happen)"


def module_set_differences(script: str) -> tuple[int, int, list[tuple[str, str, list[str]]]]:
    """(modulefinder's count, ours, [(which side, cause, names)]) for one script."""
    ours, theirs, graph = sides_of(script)
    out = []
    for title, this, other in (
        ("missing from ours", theirs, ours),
        ("found by tarnwick only", ours, theirs),
    ):
        groups: dict[str, list[str]] = defaultdict(list)
        for n in sorted(set(this.files) - set(other.files)):
            groups[cause(n, this, other, ours, graph)].append(n)
        out += [(title, text, names) for text, names in sorted(groups.items(), key=lambda kv: -len(kv[1]))]
    return len(theirs.files), len(ours.files), out


def compare_module_sets(paths: dict[str, str]) -> None:
    print("\n   module sets: modulefinder's found modules vs the graph's names, __main__ left out")
    shown: dict[str, list] = {}
    for name, path in paths.items():
        mf, tw, groups = module_set_differences(path)
        missing = sum(len(g[2]) for g in groups if g[0] == "missing from ours")
        print(
            f"   {name}: modulefinder {mf}, tarnwick {tw}; {missing} of modulefinder's missing from ours,"
            f" {sum(len(g[2]) for g in groups) - missing} found by tarnwick only"
        )
        same = next((other for other, seen in shown.items() if seen == groups), None)
        if same is not None:
            print(f"     the same modules, for the same causes, as for {same}")
            continue
        shown[name] = groups
        for title, text, names in groups:
            print(f"     {title}, {len(names)}: {text}")
            print(
                textwrap.fill(", ".join(names), width=100, initial_indent=" " * 8, subsequent_indent=" " * 8)
            )


def section_first_builds(n: int, tmp: str) -> bool:
    heading(
        f"a. first build of a script vs modulefinder (fresh process per run, {n} runs each;"
        f" the build call alone: tarnwick_graph.build(path) vs ModuleFinder().run_script(path))"
    )
    print(f"   bar: tarnwick >= {FIRST_BUILD_BAR:.0f}x faster on every script (ratio of medians)")
    print(
        f"   {'script':7} {'modulefinder min':>16} {'median':>8}   {'tarnwick min':>12} {'median':>8}"
        f"   {'ratio med':>9} {'ratio min':>9}  modules(mf/tw)"
    )
    ok = True
    paths = {}
    for name, text in SCRIPTS.items():
        path = paths[name] = os.path.join(tmp, f"{name}.py")
        with open(path, "w") as f:
            f.write(text)
        runs = interleaved(
            n,
            {
                "mf": lambda path=path: run_child("modulefinder", path, cwd=tmp),
                "tw": lambda path=path: run_child("tarnwick", path, cwd=tmp),
            },
        )
        mf, tw = runs["mf"], runs["tw"]
        ratio = mf.median / tw.median
        ok &= ratio >= FIRST_BUILD_BAR
        print(
            f"   {name:7} {ms(mf.min)} ms {ms(mf.median)} ms   {ms(tw.min)} ms {ms(tw.median)} ms"
            f"   {ratio:8.1f}x {mf.min / tw.min:8.1f}x  {mf.last['modules']}/{tw.last['modules']}"
            f"  {verdict(ratio, FIRST_BUILD_BAR)}"
        )
    print(f"   first builds: {'PASS' if ok else 'FAIL'}")
    compare_module_sets(paths)
    return ok


# ---- b. whole packages against grimp ------------------------------------------


def internal_edges(pkg: str) -> tuple[set, set]:
    """(ours, grimp's) import pairs between modules of `pkg`."""

    def inside(n: str) -> bool:
        return n == pkg or n.startswith(pkg + ".")

    graph = tarnwick_graph.build(packages=[pkg], within=[pkg])
    ours = {(a, b) for a in graph if inside(a) for b in graph[a].imports if inside(b)}
    import grimp

    g = grimp.build_graph(pkg, cache_dir=None)
    theirs = {(a, b) for a in g.modules for b in g.find_modules_directly_imported_by(a)}
    return ours, theirs


def enclosing(name: str) -> set[str]:
    parts = name.split(".")
    return {".".join(parts[:i]) for i in range(1, len(parts))}


def sanity_edges(pkg: str) -> None:
    ours, theirs = internal_edges(pkg)
    targets: dict[str, set[str]] = defaultdict(set)
    for a, b in theirs:
        targets[a].add(b)
    only_ours = ours - theirs
    packages = {(a, b) for a, b in only_ours if any(b in enclosing(t) for t in targets[a])}
    self_edges = {(a, b) for a, b in theirs - ours if a == b}
    print(
        f"   {pkg} internal imports: tarnwick {len(ours)}, grimp {len(theirs)};"
        f" grimp's not in ours: {len(theirs - ours)}"
        f" ({len(self_edges)} a module importing itself{': ' + ', '.join(sorted(a for a, _ in self_edges)) if self_edges else ''});"
        f" ours not in grimp's: {len(only_ours)}, of which {len(packages)} are enclosing packages of"
        f" an import grimp has (import a.b.c runs a and a.b)"
    )
    rest = sorted(only_ours - packages)
    if rest:
        shown = ", ".join(f"{a}->{b}" for a, b in rest[:6])
        print(f"     the other {len(rest)}: {shown}{' ...' if len(rest) > 6 else ''}")


def package_dir(pkg: str) -> str:
    found = tarnwick_graph.Builder().find(pkg)
    if found is None or found[1] is None:
        raise SystemExit(f"package {pkg} not found")
    return os.path.dirname(found[1])


def ruff_graph(pkg: str) -> dict:
    ruff = shutil.which("ruff", path=os.path.dirname(sys.executable)) or "ruff"
    r = timed_command([ruff, "analyze", "graph", package_dir(pkg)])
    data = json.loads(r["stdout"])
    return {**r, "modules": len(data), "edges": sum(len(v) for v in data.values())}


def section_packages(n: int) -> None:
    heading(
        f"b. every module of a package (fresh process per run, {n} runs each; wall ms of the"
        f" build call, and CPU ms of all its threads, median)"
    )
    print(
        "   no bar. tarnwick: build(packages=[p], within=[p]) (reads only p; other imports are"
        " leaves; a second thread reads ahead).\n   grimp: build_graph(p, cache_dir=None), its default internal-only"
        " graph and include_external_packages=True (its Rust core has a thread pool: see the cpu column)."
    )
    print(
        f"   {'package':8} {'tool':28} {'min':>8} {'median':>8} {'cpu':>8}  {'modules':>7} {'edges':>6}"
        f"  {'peer/tarnwick (median, min)':>28}"
    )
    for pkg in PACKAGES:
        runs = interleaved(
            n,
            {
                "tarnwick packages+within": lambda pkg=pkg: run_child("tarnwick-package", pkg),
                "grimp internal-only": lambda pkg=pkg: run_child("grimp", pkg),
                "grimp include_external": lambda pkg=pkg: run_child("grimp-external", pkg),
                "ruff analyze graph (whole cmd)": lambda pkg=pkg: ruff_graph(pkg),
            },
        )
        tw = runs["tarnwick packages+within"]
        for label, r in runs.items():
            ratio = "" if r is tw else f"{r.median / tw.median:13.2f}x {r.min / tw.min:6.2f}x"
            cpu = statistics.median(r.cpu)
            cpu_text = "       -" if math.isnan(cpu) else ms(cpu)
            print(
                f"   {pkg:8} {label:28} {ms(r.min)} {ms(r.median)} {cpu_text}  {r.last['modules']:7}"
                f" {r.last['edges']:6}  {ratio}"
            )
    print(
        "   modules/edges: tarnwick counts the leaves outside the package and every edge to them;"
        " grimp internal-only counts the package's modules, with external packages their top"
        " names; ruff counts files and resolved file dependencies"
    )
    for pkg in PACKAGES:
        sanity_edges(pkg)


# ---- c. rebuilds after an edit ------------------------------------------------

REBUILD_CHILD = r"""
import json, os, sys, time
import tarnwick_graph
top, pkg, edits = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
builder = tarnwick_graph.Builder(sys_path=[top, *[os.path.abspath(p) for p in sys.path[1:]]])

def build():
    t0 = time.perf_counter()
    graph = builder.build(packages=[pkg], within=[pkg])
    seconds = time.perf_counter() - t0
    (native,) = builder._natives.values()
    reused, reads, files = native.stats()  # previous graph returned, files read, files in all
    return graph, seconds, reused, reads

def touch(path):
    # A later mtime than any before, whatever the clock's resolution.
    st = os.stat(path)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 2_000_000_000))

graph, first, _, first_reads = build()
out = {"first": first, "modules": len(graph), "first_reads": first_reads, "unchanged": [],
       "comment": [], "import": [], "reused": [], "reads": [], "edge_added": []}
for _ in range(3):
    _, seconds, reused, reads = build()
    out["unchanged"].append(seconds)
for module, path in edits:
    with open(path, "a") as f:
        f.write("# an edit that changes no import\n")
    touch(path)
    graph, seconds, reused, reads = build()
    out["comment"].append(seconds)
    out["reused"].append(reused)
    out["reads"].append(reads)
    with open(path, "a") as f:
        f.write("import os\n")
    touch(path)
    new, seconds, reused, reads = build()
    out["import"].append(seconds)
    out["reads"].append(reads)
    out["edge_added"].append("os" in new[module].imports and "os" not in graph[module].imports)
    graph = new
print(json.dumps(out))
"""


def modules_to_edit(pkg: str, root: str, count: int) -> list[tuple[str, str]]:
    """`count` modules spread over the package (by file name order) whose
    statements import no `os` yet, as (name, file)."""
    graph = tarnwick_graph.build(packages=[pkg], within=[pkg], sys_path=[root, *sys.path[1:]])
    candidates = sorted(
        (graph[n].origin, n)
        for n in graph
        if (n == pkg or n.startswith(pkg + "."))
        and graph[n].kind == "source"
        and "os" not in graph[n].imports
    )
    step = max(1, len(candidates) // count)
    return [(n, path) for path, n in candidates[::step][:count]]


def rebuild_runs(pkg: str, top: str, chosen: list[tuple[str, str]], n: int) -> dict[str, list]:
    """Runs REBUILD_CHILD n times, each fresh process on its own share of
    the chosen modules; the lists of all runs, joined."""
    joined: dict[str, list] = defaultdict(list)
    share = len(chosen) // n
    for i in range(n):
        proc = subprocess.run(
            [sys.executable, "-c", REBUILD_CHILD, top, pkg, json.dumps(chosen[i * share : (i + 1) * share])],
            capture_output=True,
            text=True,
            check=False,
        )
        if proc.returncode != 0:
            raise RuntimeError(f"rebuild child failed:\n{proc.stderr}")
        for key, value in json.loads(proc.stdout.strip().splitlines()[-1]).items():
            joined[key] += value if isinstance(value, list) else [value]
    return joined


def section_rebuilds(n: int, tmp: str) -> bool:
    edits = 3
    heading(
        f"c. rebuild of a copied package after an edit ({n} fresh processes per package, each a first"
        f" build, then {edits} edits of each kind, each followed by a rebuild with the same Builder)"
    )
    print(
        f"   bar: first build / rebuild >= {REBUILD_BAR:.0f}x, best against best (min/min);"
        " median/median shown too"
    )
    ok = True
    for pkg in PACKAGES:
        top = os.path.join(tmp, f"tree-{pkg}")
        shutil.copytree(package_dir(pkg), os.path.join(top, pkg))
        chosen = modules_to_edit(pkg, top, edits * n)
        r = rebuild_runs(pkg, top, chosen, n)
        first = r["first"]
        print(
            f"   {pkg}: first build min {ms(min(first)).strip()} ms, median"
            f" {ms(statistics.median(first)).strip()} ms ({r['modules'][0]} modules,"
            f" {r['first_reads'][0]} files read); rebuild with nothing changed: min"
            f" {ms(min(r['unchanged'])).strip()} ms; files read per rebuild after an edit:"
            f" {sorted(set(r['reads']))}"
        )
        for key, label, check in (
            ("comment", "comment appended", f"previous graph kept: {sum(r['reused'])}/{len(r['reused'])}"),
            (
                "import",
                "`import os` added",
                f"new edge to os seen: {sum(r['edge_added'])}/{len(r['edge_added'])}",
            ),
        ):
            ratio = min(first) / min(r[key])
            ok &= ratio >= REBUILD_BAR
            print(
                f"     {label:18} rebuild min {ms(min(r[key]))} ms, median {ms(statistics.median(r[key]))} ms;"
                f" first/rebuild {ratio:6.1f}x (median {statistics.median(first) / statistics.median(r[key]):.1f}x)"
                f"  {verdict(ratio, REBUILD_BAR)}; {check}"
            )
        names = [name for name, _ in chosen]
        print(f"     edited ({len(names)}): {', '.join(names[:4])}{', ...' if len(names) > 4 else ''}")
    print(f"   rebuilds: {'PASS' if ok else 'FAIL'}")
    return ok


# ---- main ---------------------------------------------------------------------


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="2 runs instead of 5")
    ap.add_argument("--runs", type=int, help="runs per measurement")
    ap.add_argument("--sections", default="abc", help="which sections to run, e.g. 'ac'")
    args = ap.parse_args()
    n = args.runs or (2 if args.quick else 5)

    peers = ", ".join(f"{p} {version(p)}" for p in ("grimp", "ruff", "django", "sympy"))
    print(
        f"python {sys.version.split()[0]}, tarnwick_graph {tarnwick_graph.__version__} from"
        f" {os.path.dirname(tarnwick_graph.__file__)}; {peers}; {os.cpu_count()} CPUs"
    )
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        if "a" in args.sections:
            ok &= section_first_builds(n, tmp)
        if "b" in args.sections:
            section_packages(n)
        if "c" in args.sections:
            ok &= section_rebuilds(n, tmp)
    print(f"\nbars: {'all PASS' if ok else 'some FAIL'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
