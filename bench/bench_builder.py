"""Benchmarks of GraphBuilder.build against the standard library's modulefinder.

Every measurement runs in a fresh interpreter, so neither tool profits from
modules another run imported. Usage:

    python3 bench/bench_builder.py            # all sections
    python3 bench/bench_builder.py --quick    # fewer repetitions

Sections:
  1. first build vs modulefinder on a small, a medium and a large script
  2. second build of the same text with the same builder (served from the cache)
  3. where the time of a large first build goes
  4. peak memory of the large build and of a 20,000-module import chain
  5. whole packages (sympy, django when installed): a text importing every
     module of the package, first and second build, and the second build
     checked against the one taken while debug records are read (which
     attaches cache hits without skipping what earlier hits settled)
  6. hostile texts: one name written five million times in a from-list, and
     a dotted name of five million parts (time, peak memory, lookup share)
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap

SCRIPTS = {
    "small": "import json\n",
    "medium": "import asyncio\nimport email.mime.text, http.server\n",
    "large": "".join(
        f"import {m}\n"
        for m in (
            "os sys re json csv argparse logging pathlib collections itertools functools typing "
            "dataclasses datetime decimal fractions random statistics math hashlib hmac base64 "
            "struct io tempfile shutil subprocess threading asyncio socket ssl http.client "
            "urllib.request email.message xml.etree.ElementTree sqlite3 unittest pickle copy "
            "textwrap string"
        ).split()
    ),
}

CHILD = r"""
import json, resource, sys, time
mode, path = sys.argv[1], sys.argv[2]
source = open(path).read()
base_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
if mode == "modulefinder":
    import modulefinder
    t0 = time.perf_counter()
    finder = modulefinder.ModuleFinder()
    finder.run_script(path)
    elapsed = time.perf_counter() - t0
    count = len(finder.modules)
    extra = {}
else:
    import tarnwick
    builder = tarnwick.GraphBuilder()
    t0 = time.perf_counter()
    graph = builder.build(source)
    elapsed = time.perf_counter() - t0
    count = graph.size() - 1  # without the root text
    cached = []
    for _ in range(5):  # every build after the first is served from the cache
        t1 = time.perf_counter()
        builder.build(source)
        cached.append(time.perf_counter() - t1)
    extra = {"second": cached[0], "cached_best": min(cached)}
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": elapsed, "modules": count, "peak_kb": peak, "base_kb": base_rss, **extra}))
"""

# Prepended to the child programs that split a build's time: `lookup[0]`
# holds the seconds spent in importlib.util.find_spec.
TIMED_LOOKUP = r"""
import importlib.util, time
lookup = [0.0]
real_find_spec = importlib.util.find_spec
def timed_find_spec(name, package=None):
    t = time.perf_counter()
    try:
        return real_find_spec(name, package)
    finally:
        lookup[0] += time.perf_counter() - t
importlib.util.find_spec = timed_find_spec
"""

PROFILE = TIMED_LOOKUP + r"""
import json, sys
source = open(sys.argv[1]).read()
import tarnwick
spent = {"read": 0.0, "parse": 0.0}
t0 = time.perf_counter()
graph = tarnwick.GraphBuilder().build(source)
total = time.perf_counter() - t0
importlib.util.find_spec = real_find_spec
spent["lookup"] = lookup[0]
# Reading and parsing again, file by file, in the same way the builder does.
paths = [o for o in graph.origins() if o.endswith(".py")]
for p in paths:
    t0 = time.perf_counter()
    with open(p, encoding="utf-8") as f:
        text = f.read()
    t1 = time.perf_counter()
    tarnwick.parser.parse(text)
    t2 = time.perf_counter()
    spent["read"] += t1 - t0
    spent["parse"] += t2 - t1
spent["parse"] += 0  # the root text is tiny
print(json.dumps({"total": total, "files": len(paths), "modules": graph.size(), **spent}))
"""


WHOLE = TIMED_LOOKUP + r"""
import hashlib, json, logging, sys
mode, path = sys.argv[1], sys.argv[2]
source = open(path).read()
summaries = []

class Keep(logging.Handler):
    def emit(self, record):
        summaries.append(record.getMessage())

if mode == "records":
    # Every debug record is delivered (and dropped by the handler).
    logging.basicConfig(level=logging.DEBUG, handlers=[logging.NullHandler()])
builder_log = logging.getLogger("tarnwick.core.builder")
builder_log.setLevel(logging.DEBUG if mode == "records" else logging.INFO)
keep = Keep(level=logging.INFO)
builder_log.addHandler(keep)
import tarnwick
builder = tarnwick.GraphBuilder()
t0 = time.perf_counter()
builder.build(source)
t1 = time.perf_counter()
lookup[0] = 0.0
graph = builder.build(source)
t2 = time.perf_counter()
shape = {n: [graph.get(n).depth, sorted(graph.get(n).dependents), graph.get(n).dependencies]
         for n in graph.names()}
digest = hashlib.sha256(json.dumps(shape, sort_keys=True).encode()).hexdigest()[:16]
print(json.dumps({"first": t1 - t0, "second": t2 - t1, "lookup": lookup[0], "modules": graph.size(),
                  "digest": digest, "summary": summaries[-1]}))
"""


def whole_package_text(package):
    """`import m` for every module file of an installed package, found without importing it."""
    import importlib.util

    spec = importlib.util.find_spec(package)
    if spec is None or not spec.submodule_search_locations:
        return None
    root = list(spec.submodule_search_locations)[0]
    lines = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d.isidentifier())
        rel = os.path.relpath(dirpath, root)
        prefix = package if rel == "." else package + "." + rel.replace(os.sep, ".")
        if "__init__.py" not in filenames:
            continue
        for f in sorted(filenames):
            if not f.endswith(".py") or not f[:-3].isidentifier():
                continue
            lines.append(f"import {prefix}\n" if f == "__init__.py" else f"import {prefix}.{f[:-3]}\n")
    return "".join(lines)


def section_whole_packages(reps, tmp):
    print("\n5. whole packages: a text importing every module; second build on the same builder")
    print(f"   {'package':8} {'modules':>8} {'first':>10} {'second':>10} {'ratio':>7}  same as with records")
    for package in ("sympy", "django"):
        text = whole_package_text(package)
        if text is None:
            print(f"   {package:8} not installed")
            continue
        path = os.path.join(tmp, f"whole_{package}.py")
        with open(path, "w") as f:
            f.write(text)
        runs = [run_child(WHOLE, "quiet", path) for _ in range(reps)]
        firsts = sorted(r["first"] for r in runs)
        seconds = sorted(r["second"] for r in runs)
        first, second = firsts[len(firsts) // 2], seconds[len(seconds) // 2]
        records = run_child(WHOLE, "records", path)
        same = all(r["digest"] == records["digest"] and r["summary"] == records["summary"] for r in runs)
        lookup = sorted(r["lookup"] for r in runs)[len(runs) // 2]
        print(
            f"   {package:8} {runs[0]['modules']:8d} {first * 1e3:7.1f} ms {second * 1e3:7.1f} ms"
            f" {first / second:6.1f}x  {'yes' if same else 'NO'} (medians of {reps}; with records:"
            f" second {records['second'] * 1e3:.1f} ms)"
        )
        print(
            f"            second build: {lookup * 1e3:.1f} ms in find_spec, {(second - lookup) * 1e3:.1f} ms"
            f" the rest; {records['summary']}"
        )


HOSTILE = TIMED_LOOKUP + r"""
import json, resource, sys
kind, n = sys.argv[1], int(sys.argv[2])
if kind == "duplicates":
    source = "from json import (" + "a, " * n + ")\n"
else:
    source = "import " + ".".join(["a"] * n) + "\n"
import tarnwick
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.perf_counter()
tarnwick.GraphBuilder().build(source)
elapsed = time.perf_counter() - t0
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": elapsed, "lookup": lookup[0], "mb": len(source) / 1e6,
                  "peak_kb": peak, "base_kb": base}))
"""


def section_hostile():
    print("\n6. hostile texts (one build each, fresh process)")
    for kind in ("duplicates", "dotted"):
        r = run_child(HOSTILE, kind, "5000000")
        print(
            f"   {kind:10} {r['mb']:5.1f} MB text: {r['seconds'] * 1e3:7.1f} ms, of which"
            f" {r['lookup'] * 1e3:7.1f} ms in find_spec; peak {r['peak_kb'] / 1024:6.0f} MiB"
            f" (before the build {r['base_kb'] / 1024:.0f} MiB)"
        )


def run_child(code, *args):
    proc = subprocess.run(
        [sys.executable, "-c", code, *args], capture_output=True, text=True, check=True
    )
    return json.loads(proc.stdout.strip().splitlines()[-1])


def best_of(n, code, *args):
    runs = [run_child(code, *args) for _ in range(n)]
    return min(runs, key=lambda r: r["seconds"])


def section_compare(reps, tmp):
    print("1. first build vs modulefinder (best of %d fresh processes each)" % reps)
    print(f"   {'script':8} {'modulefinder':>14} {'tarnwick':>10} {'ratio':>7} {'mods(mf)':>9} {'mods(tw)':>9}")
    results = {}
    for name, text in SCRIPTS.items():
        path = os.path.join(tmp, f"{name}.py")
        with open(path, "w") as f:
            f.write(text)
        mf = best_of(reps, CHILD, "modulefinder", path)
        tw = best_of(reps, CHILD, "tarnwick", path)
        results[name] = tw
        print(
            f"   {name:8} {mf['seconds'] * 1e3:11.1f} ms {tw['seconds'] * 1e3:7.1f} ms"
            f" {mf['seconds'] / tw['seconds']:6.1f}x {mf['modules']:9d} {tw['modules']:9d}"
        )
    print("\n2. later builds of the same text, same builder (served from the cache)")
    for name, tw in results.items():
        print(
            f"   {name:8} first {tw['seconds'] * 1e3:7.1f} ms  second {tw['second'] * 1e3:6.2f} ms"
            f" ({tw['seconds'] / tw['second']:5.1f}x)  best of 5 cached"
            f" {tw['cached_best'] * 1e3:6.2f} ms ({tw['seconds'] / tw['cached_best']:5.1f}x)"
        )
    return results


def section_profile(tmp):
    path = os.path.join(tmp, "large.py")
    p = run_child(PROFILE, path)
    own = p["total"] - p["lookup"]
    rest = own - p["read"] - p["parse"]
    print(f"\n3. where a large first build goes ({p['modules']} modules, {p['files']} files read)")
    print(f"   total                       {p['total'] * 1e3:8.1f} ms")
    for label, value in (
        ("host spec lookup (find_spec)", p["lookup"]),
        ("reading files", p["read"]),
        ("parsing", p["parse"]),
        ("graph, logging, the rest", rest),
    ):
        print(f"   {label:28}{value * 1e3:8.1f} ms  {100 * value / p['total']:5.1f}%")
    print(f"   tarnwick's own share (total - lookup): {100 * own / p['total']:.1f}%")


def section_memory(results, tmp, chain):
    large = results["large"]
    print("\n4. peak memory (ru_maxrss of the build process)")
    print(f"   large build: peak {large['peak_kb'] / 1024:.1f} MiB (interpreter with tarnwick imported: {large['base_kb'] / 1024:.1f} MiB)")
    chain_dir = os.path.join(tmp, "chain")
    os.makedirs(chain_dir)
    for i in range(chain):
        with open(os.path.join(chain_dir, f"link{i}.py"), "w") as f:
            f.write(f"import link{i + 1}\n" if i + 1 < chain else "")
    code = textwrap.dedent(
        f"""
        import sys
        sys.path.insert(0, {chain_dir!r})
        """
    ) + CHILD
    path = os.path.join(tmp, "chain_root.py")
    with open(path, "w") as f:
        f.write("import link0\n")
    r = run_child(code, "tarnwick", path)
    print(
        f"   {chain}-module chain: build {r['seconds']:.2f} s, {r['modules']} modules, depth {chain},"
        f" peak {r['peak_kb'] / 1024:.1f} MiB (base {r['base_kb'] / 1024:.1f} MiB)"
    )


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--chain", type=int, default=20000)
    args = ap.parse_args()
    reps = 1 if args.quick else 3
    import tarnwick

    print(f"python {sys.version.split()[0]}, tarnwick from {tarnwick.__file__}\n")
    with tempfile.TemporaryDirectory() as tmp:
        results = section_compare(reps, tmp)
        section_profile(tmp)
        section_memory(results, tmp, args.chain)
        section_whole_packages(reps, tmp)
    section_hostile()


if __name__ == "__main__":
    main()
