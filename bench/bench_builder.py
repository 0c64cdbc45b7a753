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

PROFILE = r"""
import importlib.util, json, sys, time
source = open(sys.argv[1]).read()
import tarnwick
spent = {"lookup": 0.0, "read": 0.0, "parse": 0.0}
origins = []
real = importlib.util.find_spec
def timed_find_spec(name, package=None):
    t0 = time.perf_counter()
    try:
        return real(name, package)
    finally:
        spent["lookup"] += time.perf_counter() - t0
importlib.util.find_spec = timed_find_spec
t0 = time.perf_counter()
graph = tarnwick.GraphBuilder().build(source)
total = time.perf_counter() - t0
importlib.util.find_spec = real
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


if __name__ == "__main__":
    main()
