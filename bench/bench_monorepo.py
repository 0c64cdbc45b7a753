"""Benchmarks of the exact engine (tarnwick_graph) at scale: a synthetic
monorepo of 5,000 to 200,000 modules (bench/monorepo.py), and large real
packages, against grimp and ruff.

Every timed run is a fresh process; the two tools take turns (A B A B ...)
and each figure is the median of N such pairs, with the machine's load
average printed beside it. Files are read from a warm page cache. Run it with
the bench venv's python, which holds tarnwick and the peers:

    python3 -m venv build/bench-venv
    build/bench-venv/bin/pip install grimp import-linter ruff botocore django sympy pandas numpy .
    build/bench-venv/bin/python bench/bench_monorepo.py                      # every section, N = 5
    ... bench_monorepo.py --sections ab --sizes 5000,50000 --runs 3

Monorepos are generated once into build/monorepo-SIZE and kept for later
runs while their stamp matches (--no-cache: a temporary directory instead);
section c edits files, so it always works on a fresh copy in a temporary
directory.

Sections:
  a. API, at each size: tarnwick_graph.build(packages=[top], within=[top],
     sys_path=[root, ...]) against grimp.build_graph(top, cache_dir=None);
     time of the build call, CPU of all the process's threads, peak RSS; the
     cost per module of tarnwick should stay flat from the smallest size to
     the largest
  b. command line, at each size: `tarnwick-graph -m top --json` against
     `ruff analyze graph top`, both in the monorepo's root, output to
     /dev/null; wall time and peak RSS of the whole command
  c. rebuilds with one tarnwick_graph.Builder: nothing changed, and after
     `import os` is appended to one module (the garbage collector off while
     a rebuild is timed, as timeit has it: the child's own objects are not
     the builder's cost)
  d. the GIL: how often a Python thread sleeping 1 ms at a time wakes up
     while a build runs in another thread, against the same thread idle
     (bar: at least 0.5 of the idle rate)
  e. real packages, command line: `tarnwick-graph -m PKG --json` against
     `ruff analyze graph PKG` in the folder that holds PKG
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections import defaultdict
from collections.abc import Callable
from typing import NamedTuple

import monorepo  # beside this file, first on the path

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.path.dirname(os.path.abspath(sys.executable))
GIL_BAR = 0.5
REAL_PACKAGES = ("botocore", "django", "sympy", "pandas", "numpy")


class BenchError(Exception):
    """A measurement that could not be made; its message says why."""


# One timed build in a fresh interpreter, run in the monorepo's root: prints
# the wall and CPU seconds of the build call (CPU of every thread), what it
# found, and the process's peak RSS.
API_CHILD = r"""
import json, resource, sys, time
mode, top, root = sys.argv[1:4]

def cpu():
    s = resource.getrusage(resource.RUSAGE_SELF)
    return s.ru_utime + s.ru_stime

def inside(name):
    return name == top or name.startswith(top + ".")

if mode == "tarnwick":
    import tarnwick_graph
    def run():
        return tarnwick_graph.build(packages=[top], within=[top], sys_path=[root, *sys.path[1:]])
    def counts(graph):
        names = [n for n in graph if inside(n)]
        return len(names), sum(sum(map(inside, graph[n].imports)) for n in names)
else:
    sys.path.insert(0, root)
    import grimp
    def run():
        return grimp.build_graph(top, cache_dir=None)
    def counts(graph):
        return len(graph.modules), graph.count_imports()

c0, t0 = cpu(), time.perf_counter()
graph = run()
t1, c1 = time.perf_counter(), cpu()
modules, edges = counts(graph)
# The peak of this process's own memory (VmHWM): ru_maxrss would also count
# the parent's, copied into it before the exec.
rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
try:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                rss = int(line.split()[1]) * 1024
except OSError:
    pass
print(json.dumps({"seconds": t1 - t0, "cpu": c1 - c0, "rss": rss, "modules": modules, "edges": edges}))
"""

# A build in a background thread while the main thread sleeps 1 ms at a time:
# its wake-ups per ms, idle first and then during the build.
GIL_CHILD = r"""
import json, sys, threading, time
mode, top, root, idle = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
if mode == "tarnwick":
    import tarnwick_graph
    def run():
        tarnwick_graph.build(packages=[top], within=[top], sys_path=[root, *sys.path[1:]])
else:
    sys.path.insert(0, root)
    import grimp
    def run():
        grimp.build_graph(top, cache_dir=None)

def wakeups(busy):
    n, t0 = 0, time.perf_counter()
    while busy():
        time.sleep(0.001)
        n += 1
    return n / ((time.perf_counter() - t0) * 1e3)

end = time.perf_counter() + idle
idle_rate = wakeups(lambda: time.perf_counter() < end)
worker = threading.Thread(target=run)
t0 = time.perf_counter()
worker.start()
busy_rate = wakeups(worker.is_alive)
seconds = time.perf_counter() - t0
worker.join()
print(json.dumps({"seconds": seconds, "idle": idle_rate, "busy": busy_rate, "ratio": busy_rate / idle_rate}))
"""

# One Builder: a first build, rebuilds with nothing changed, then `import os`
# appended to modules that do not import os yet, each followed by a rebuild.
REBUILD_CHILD = r"""
import gc, json, os, sys, time
import tarnwick_graph
top, root, edits, offset, unchanged = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
builder = tarnwick_graph.Builder(sys_path=[root, *sys.path[1:]])

def build():
    # As timeit does, the collector is off while a build is timed: picking
    # the modules to edit makes 51,000 Module values, whose collection is
    # the caller's cost, not the builder's.
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        graph = builder.build(packages=[top], within=[top])
        return graph, time.perf_counter() - t0
    finally:
        gc.enable()

graph, first = build()
out = {"first": first, "modules": len(graph), "unchanged": [], "same": 0, "import": [], "seen": 0}
for _ in range(unchanged):
    again, seconds = build()
    out["unchanged"].append(seconds)
    out["same"] += again is graph
    graph = again
candidates = sorted(n for n in graph if n.startswith(top + ".") and graph[n].kind == "source"
                    and "os" not in graph[n].imports)
step = max(1, len(candidates) // (edits * 8))
for module in candidates[offset::step][:edits]:
    path = graph[module].origin
    with open(path, "a") as f:
        f.write("import os\n")
    st = os.stat(path)  # a later mtime than any before, whatever the clock's resolution
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 2_000_000_000))
    new, seconds = build()
    out["import"].append(seconds)
    out["seen"] += "os" in new[module].imports
    graph = new
print(json.dumps(out))
"""


# ---- measuring ---------------------------------------------------------------


class Runs(NamedTuple):
    """One tool's repeated runs: each run's figures, by name."""

    values: dict[str, list[float]]
    last: dict

    def median(self, key: str) -> float:
        return statistics.median(self.values[key])


def python_child(code: str, args: list[str], cwd: str | None = None) -> dict:
    """Runs `code` in a fresh interpreter of this venv; its last line of output, as JSON."""
    proc = subprocess.run(
        [sys.executable, "-c", code, *args], capture_output=True, text=True, cwd=cwd, check=False
    )
    if proc.returncode != 0:
        tail = "\n".join(proc.stderr.strip().splitlines()[-3:])
        raise BenchError(f"exit {proc.returncode}: {tail}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


# GNU time reports the peak RSS of the command it runs, from its own wait4:
# a process started from this one (forked, or spawned sharing its memory
# until the exec) counts this process's peak in its own.
GNU_TIME = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None


def command(argv: list[str], cwd: str, keep_output: bool = False) -> dict:
    """Runs a command as a user would; its wall time and the peak RSS of its
    process (reported by GNU time, which runs it; from wait4 without it), and
    its standard output if asked for."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, \
            tempfile.NamedTemporaryFile("r") as peak:
        wrapped = [GNU_TIME, "-f", "%M", "-o", peak.name, *argv] if GNU_TIME else argv
        t0 = time.perf_counter()
        try:
            proc = subprocess.Popen(wrapped, cwd=cwd, stdin=subprocess.DEVNULL, stderr=err,
                                    stdout=out if keep_output else subprocess.DEVNULL)
        except OSError as e:
            raise BenchError(f"{argv[0]}: {e.strerror}") from None
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.perf_counter() - t0
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            err.seek(0)
            tail = "\n".join(err.read().decode(errors="replace").strip().splitlines()[-3:])
            raise BenchError(f"{os.path.basename(argv[0])} exited {proc.returncode}: {tail}")
        rss_kb = usage.ru_maxrss
        if GNU_TIME:
            lines = peak.read().split()
            rss_kb = int(lines[-1]) if lines and lines[-1].isdigit() else rss_kb
        result = {"seconds": seconds, "rss": rss_kb * 1024}
        if keep_output:
            out.seek(0)
            result["stdout"] = out.read()
        return result


def paired(n: int, jobs: dict[str, Callable[[], dict]]) -> tuple[dict[str, Runs], dict[str, str]]:
    """Runs every job n times, taking turns, so that slow spells of the
    machine fall on all of them. A job that fails is dropped; the second
    dict says why."""
    results: dict[str, list[dict]] = defaultdict(list)
    failed: dict[str, str] = {}
    for _ in range(n):
        for name, job in jobs.items():
            if name in failed:
                continue
            try:
                results[name].append(job())
            except BenchError as e:
                failed[name] = str(e)
    runs = {
        name: Runs({k: [r[k] for r in rs] for k, v in rs[0].items() if isinstance(v, (int, float))}, rs[-1])
        for name, rs in results.items()
        if name not in failed
    }
    return runs, failed


def load() -> str:
    one, five, fifteen = os.getloadavg()
    return f"load average {one:.2f} {five:.2f} {fifteen:.2f} (1, 5, 15 min)"


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:9.1f}"


def fine(seconds: float) -> str:
    """A time in ms, with three significant digits for the short ones."""
    value = seconds * 1e3
    return f"{value:.{3 if value < 1 else 2 if value < 10 else 1 if value < 100 else 0}f} ms"


def mib(size: float) -> str:
    return f"{size / 2**20:7.0f}"


def heading(title: str) -> None:
    print(f"\n{title}\n   {load()}")


def footer() -> None:
    print(f"   {load()}")


def report_failures(failed: dict[str, str]) -> None:
    for name, why in failed.items():
        print(f"   {name} failed, left out: {why}")


# ---- tools -------------------------------------------------------------------


class Tools(NamedTuple):
    """Where the commands are, and which peers this interpreter has."""

    tarnwick_graph: str | None
    ruff: str | None
    grimp: bool

    @classmethod
    def find(cls) -> Tools:
        return cls(
            shutil.which("tarnwick-graph", path=BIN),
            shutil.which("ruff", path=BIN) or shutil.which("ruff"),
            importlib.util.find_spec("grimp") is not None,
        )


def version_of(argv: list[str]) -> str:
    try:
        proc = subprocess.run(argv, capture_output=True, text=True, check=False)
    except OSError:
        return "?"
    return proc.stdout.strip() or "?"


def describe(tools: Tools) -> str:
    import tarnwick_graph

    parts = [
        f"python {sys.version.split()[0]}",
        f"tarnwick_graph {tarnwick_graph.__version__} from {os.path.dirname(tarnwick_graph.__file__)}",
    ]
    if tools.grimp:
        from importlib.metadata import version

        parts.append(f"grimp {version('grimp')}")
    else:
        parts.append("grimp not installed (pip install grimp): left out")
    parts.append(version_of([tools.ruff, "--version"]) if tools.ruff else "ruff not found: left out")
    if tools.tarnwick_graph is None:
        parts.append(f"tarnwick-graph not in {BIN}: command-line sections left out")
    return "; ".join(parts) + f"; {os.cpu_count()} CPUs"


# ---- monorepos ---------------------------------------------------------------


class Monorepos:
    """The generated monorepos: cached in build/monorepo-SIZE, or made in a
    temporary directory that goes when the run ends."""

    def __init__(self, cache: bool, seed: int, top: str, tmp: str) -> None:
        self.cache, self.seed, self.top, self.tmp = cache, seed, top, tmp
        self.roots: dict[int, str] = {}

    def root(self, size: int) -> str:
        """The root (sys.path entry) of the monorepo of `size` modules, made
        if need be; says which, the first time."""
        if size in self.roots:
            return self.roots[size]
        base = os.path.join(REPO, "build") if self.cache else self.tmp
        out_dir = os.path.join(base, f"monorepo-{size}")
        if monorepo.read_stamp(out_dir, self.top) == monorepo.wanted_stamp(size, self.seed, self.top):
            print(f"   monorepo of {size:,} modules: {out_dir}, made by an earlier run")
            root = out_dir
        else:
            root = self.fresh(size, out_dir)
        self.roots[size] = root
        return root

    def fresh(self, size: int, out_dir: str) -> str:
        """A new monorepo of `size` modules in out_dir, whatever was there."""
        t0 = time.perf_counter()
        try:
            root = monorepo.generate(out_dir, size, seed=self.seed, top=self.top)
        except (OSError, ValueError) as e:
            raise BenchError(f"could not generate the monorepo in {out_dir}: {e}") from None
        seconds = time.perf_counter() - t0
        print(f"   monorepo of {size:,} modules: generated in {out_dir} in {seconds:.2f} s")
        return root


def sizes_text(sizes: list[int]) -> str:
    return ", ".join(f"{s:,}" for s in sizes)


# ---- a. the API against grimp ----------------------------------------------------


def section_api(n: int, sizes: list[int], repos: Monorepos, tools: Tools) -> None:
    heading(
        f"a. API: the whole monorepo at {sizes_text(sizes)} modules (fresh interpreter per run,"
        f" {n} paired runs; medians; the build call alone)"
    )
    print(
        "   tarnwick: tarnwick_graph.build(packages=[top], within=[top], sys_path=[root, *sys.path])\n"
        "   grimp:    grimp.build_graph(top, cache_dir=None), the root first on sys.path\n"
        "   cpu: user+system time of all the process's threads during the call;"
        " RSS: the process's peak, interpreter included"
    )
    for size in sizes:
        repos.root(size)
    print(
        f"   {'modules':>7} {'tool':8} {'wall ms':>9} {'cpu ms':>9} {'us/module':>9} {'RSS MiB':>7}"
        f"  {'found':>7} {'edges':>7}  {'grimp/tarnwick':>14}"
    )
    per_module: dict[int, float] = {}
    for size in sizes:
        root = repos.root(size)
        jobs = {"tarnwick": lambda root=root: python_child(API_CHILD, ["tarnwick", repos.top, root], cwd=root)}
        if tools.grimp:
            jobs["grimp"] = lambda root=root: python_child(API_CHILD, ["grimp", repos.top, root], cwd=root)
        runs, failed = paired(n, jobs)
        for name, r in runs.items():
            wall = r.median("seconds")
            ratio = ""
            if name != "tarnwick" and "tarnwick" in runs:
                ratio = f"{wall / runs['tarnwick'].median('seconds'):13.2f}x"
            else:
                per_module[size] = wall / size
            print(
                f"   {size:7} {name:8} {ms(wall)} {ms(r.median('cpu'))} {wall / size * 1e6:9.2f}"
                f" {mib(r.median('rss'))}  {r.last['modules']:7} {r.last['edges']:7}  {ratio}"
            )
        report_failures(failed)
    if len(per_module) > 1:
        costs = [per_module[s] for s in sorted(per_module)]
        print(
            f"   tarnwick's cost per module, largest size against smallest: {costs[-1] / costs[0]:.2f}x"
            f" ({min(per_module):,}: {costs[0] * 1e6:.2f} us, {max(per_module):,}: {costs[-1] * 1e6:.2f} us;"
            f" highest against lowest of all sizes {max(costs) / min(costs):.2f}x)"
        )
    print(
        "   found/edges: modules of the monorepo in the graph, and imports between them (tarnwick counts"
        " `import a.b.c` as importing a, a.b and a.b.c, as Python runs it; grimp the module named)"
    )
    footer()


# ---- b. the command line against ruff -------------------------------------------


def tarnwick_counts(stdout: bytes, top: str) -> tuple[int, int]:
    """Modules of `top` and imports between them in `tarnwick-graph --json` output."""

    def inside(name: str) -> bool:
        return name == top or name.startswith(top + ".")

    modules = [m for m in json.loads(stdout)["modules"] if inside(m["name"])]
    return len(modules), sum(sum(map(inside, m["imports"])) for m in modules)


def ruff_counts(stdout: bytes) -> tuple[int, int]:
    """Files and file dependencies in `ruff analyze graph` output."""
    data = json.loads(stdout)
    return len(data), sum(len(v) for v in data.values())


def cli_jobs(tools: Tools, cwd: str, target: str, ruff_target: str) -> dict[str, Callable[..., dict]]:
    jobs: dict[str, Callable[..., dict]] = {}
    if tools.tarnwick_graph:
        jobs["tarnwick"] = lambda keep=False: command([tools.tarnwick_graph, "-m", target, "--json"], cwd, keep)
    if tools.ruff:
        jobs["ruff"] = lambda keep=False: command([tools.ruff, "analyze", "graph", ruff_target], cwd, keep)
    return jobs


def cli_compare(n: int, label: str, jobs: dict[str, Callable[..., dict]], top: str) -> None:
    """One untimed run of each command, to check its output (and warm the
    cache), then n paired timed runs with the output thrown away."""
    counts: dict[str, str] = {}
    failed: dict[str, str] = {}
    for name, job in jobs.items():
        try:
            out = job(True)["stdout"]
            found, edges = tarnwick_counts(out, top) if name == "tarnwick" else ruff_counts(out)
            counts[name] = f"{found:7} {edges:7}"
        except BenchError as e:
            failed[name] = str(e)
        except (ValueError, KeyError, TypeError, AttributeError) as e:
            failed[name] = f"output not understood ({type(e).__name__}: {e})"
    runs, later = paired(n, {name: job for name, job in jobs.items() if name not in failed})
    for name, r in runs.items():
        wall = r.median("seconds")
        ratio = ""
        if name != "tarnwick" and "tarnwick" in runs:
            ratio = f"{wall / runs['tarnwick'].median('seconds'):12.2f}x"
        print(f"   {label:>9} {name:8} {ms(wall)} {mib(r.median('rss'))}  {counts[name]}  {ratio}")
    report_failures({**failed, **later})


def cli_header() -> None:
    print(f"   {'':>9} {'tool':8} {'wall ms':>9} {'RSS MiB':>7}  {'found':>7} {'edges':>7}  {'ruff/tarnwick':>13}")


def section_cli(n: int, sizes: list[int], repos: Monorepos, tools: Tools) -> None:
    heading(
        f"b. command line: the whole monorepo at {sizes_text(sizes)} modules (the monorepo's root as"
        f" working directory, output to /dev/null; {n} paired runs; medians)"
    )
    print(
        f"   tarnwick: tarnwick-graph -m {repos.top} --json\n   ruff:     ruff analyze graph {repos.top}\n"
        "   wall time and peak RSS of the whole command (GNU time's, else wait4's); found/edges, from one untimed run"
        " before: tarnwick's modules of the monorepo and imports between them, ruff's files and"
        " file dependencies"
    )
    if not tools.tarnwick_graph and not tools.ruff:
        print("   neither command is installed: section left out")
        return
    for size in sizes:
        repos.root(size)
    cli_header()
    for size in sizes:
        root = repos.root(size)
        cli_compare(n, f"{size}", cli_jobs(tools, root, repos.top, repos.top), repos.top)
    footer()


# ---- c. rebuilds -------------------------------------------------------------------


def section_rebuilds(n: int, size: int, repos: Monorepos, tmp: str) -> None:
    edits, unchanged = 3, 4
    heading(
        f"c. rebuilds of a {size:,}-module monorepo with one tarnwick_graph.Builder ({n} fresh processes,"
        f" each a first build, {unchanged} rebuilds with nothing changed, then {edits} times `import os`"
        f" appended to a module and a rebuild)"
    )
    print("   no peer: grimp's and ruff's caches are on disk and keyed by file, not a live builder")
    with tempfile.TemporaryDirectory(dir=tmp) as work:
        root = repos.fresh(size, work)  # edited below: never the cached copy
        all_runs: dict[str, list] = defaultdict(list)
        for i in range(n):
            try:
                r = python_child(REBUILD_CHILD, [repos.top, root, str(edits), str(i), str(unchanged)], cwd=root)
            except BenchError as e:
                print(f"   the rebuild run failed: {e}")
                footer()
                return
            for key, value in r.items():
                all_runs[key] += value if isinstance(value, list) else [value]
    first, same = all_runs["first"], sum(all_runs["same"])
    rebuilds = all_runs["unchanged"]
    later = [s for i, s in enumerate(rebuilds) if i % unchanged]
    print(f"   first build: median {fine(statistics.median(first))} ({all_runs['modules'][0]} modules)")
    print(
        f"   nothing changed: first rebuild median {fine(statistics.median(rebuilds[::unchanged]))},"
        f" later rebuilds median {fine(statistics.median(later)) if later else '-'};"
        f" the same graph object returned {same}/{len(rebuilds)} times"
    )
    imports = all_runs["import"]
    if imports:
        print(
            f"   `import os` appended: rebuild median {fine(statistics.median(imports))}, min {fine(min(imports))},"
            f" max {fine(max(imports))} over {len(imports)} edits; the new import seen"
            f" {sum(all_runs['seen'])}/{len(imports)} times; first build / rebuild"
            f" {statistics.median(first) / statistics.median(imports):.0f}x (medians)"
        )
    footer()


# ---- d. the GIL ------------------------------------------------------------------


def section_gil(n: int, size: int, repos: Monorepos, tools: Tools) -> bool:
    idle = 1.0
    heading(
        f"d. the GIL: a thread looping time.sleep(0.001), its wake-ups per ms while a build of the"
        f" {size:,}-module monorepo runs in another thread, against the same thread idle for {idle:.0f} s"
        f" just before ({n} paired fresh processes; medians)"
    )
    print(f"   bar: tarnwick's ratio >= {GIL_BAR}; grimp (build_graph) for reference")
    root = repos.root(size)
    print(f"   {'tool':8} {'build ms':>9} {'idle /ms':>8} {'busy /ms':>8} {'ratio':>6}")
    jobs = {"tarnwick": lambda: python_child(GIL_CHILD, ["tarnwick", repos.top, root, str(idle)], cwd=root)}
    if tools.grimp:
        jobs["grimp"] = lambda: python_child(GIL_CHILD, ["grimp", repos.top, root, str(idle)], cwd=root)
    runs, failed = paired(n, jobs)
    ok = False
    for name, r in runs.items():
        ratio = r.median("ratio")
        verdict = ""
        if name == "tarnwick":
            ok = ratio >= GIL_BAR
            verdict = "  PASS" if ok else "  FAIL"
        print(
            f"   {name:8} {ms(r.median('seconds'))} {r.median('idle'):8.3f} {r.median('busy'):8.3f}"
            f" {ratio:6.2f}{verdict}"
        )
    report_failures(failed)
    footer()
    return ok


# ---- e. real packages ------------------------------------------------------------


def section_packages(n: int, packages: list[str], tools: Tools) -> None:
    heading(
        f"e. command line, real packages ({n} paired runs; medians; the folder holding the package"
        f" as working directory, output to /dev/null)"
    )
    print("   tarnwick: tarnwick-graph -m PKG --json\n   ruff:     ruff analyze graph PKG")
    if not tools.tarnwick_graph and not tools.ruff:
        print("   neither command is installed: section left out")
        return
    cli_header()
    for pkg in packages:
        spec = importlib.util.find_spec(pkg)
        if spec is None or not spec.submodule_search_locations or not spec.origin:
            print(f"   {pkg}: not installed as a package in this interpreter (pip install {pkg}): left out")
            continue
        folder = os.path.dirname(os.path.dirname(spec.origin))
        cli_compare(n, pkg, cli_jobs(tools, folder, pkg, pkg), pkg)
    footer()


# ---- main ---------------------------------------------------------------------


def positive_ints(text: str) -> list[int]:
    try:
        values = [int(s) for s in text.split(",") if s.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a comma-separated list of numbers: {text!r}") from None
    if not values or min(values) < 1:
        raise argparse.ArgumentTypeError(f"sizes must be positive: {text!r}")
    return sorted(set(values))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sections", default="abcde", help="which sections to run, e.g. 'ab' (default abcde)")
    ap.add_argument(
        "--sizes", type=positive_ints, default=[5000, 50000, 200000], help="monorepo sizes for a and b"
    )
    ap.add_argument("--at", type=int, default=50000, help="monorepo size for c and d (default 50000)")
    ap.add_argument("--runs", type=int, default=5, help="paired runs per measurement (default 5)")
    ap.add_argument("--packages", default=",".join(REAL_PACKAGES), help="packages for e")
    ap.add_argument("--seed", type=int, default=1, help="seed of the generated monorepos")
    ap.add_argument("--no-cache", action="store_true", help="generate the monorepos in a temporary directory")
    args = ap.parse_args()
    if set(args.sections) - set("abcde"):
        ap.error(f"--sections takes letters of abcde, not {args.sections!r}")
    if args.runs < 1 or args.at < 1:
        ap.error("--runs and --at must be positive")
    if importlib.util.find_spec("tarnwick_graph") is None:
        print(
            f"bench_monorepo: tarnwick_graph is not installed for {sys.executable};"
            " run this with build/bench-venv/bin/python",
            file=sys.stderr,
        )
        return 2

    tools = Tools.find()
    print(describe(tools))
    print(load())
    ok = True
    with tempfile.TemporaryDirectory(prefix="bench-monorepo-") as tmp:
        repos = Monorepos(not args.no_cache, args.seed, "mono", tmp)
        if "a" in args.sections:
            section_api(args.runs, args.sizes, repos, tools)
        if "b" in args.sections:
            section_cli(args.runs, args.sizes, repos, tools)
        if "c" in args.sections:
            section_rebuilds(args.runs, args.at, repos, tmp)
        if "d" in args.sections:
            ok &= section_gil(args.runs, args.at, repos, tools)
        if "e" in args.sections:
            section_packages(args.runs, [p for p in args.packages.split(",") if p], tools)
    return 0 if ok else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BenchError as e:
        print(f"bench_monorepo: {e}", file=sys.stderr)
        sys.exit(1)
    except KeyboardInterrupt:
        sys.exit(130)
