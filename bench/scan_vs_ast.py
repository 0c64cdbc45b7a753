"""tarnwick_graph.scan as Python code sees it (records made and every field
read) against Python's own parser, in one run:

- over every UTF-8 .py file of the standard library (site-packages
  excluded) that ast.parse accepts: scan against ast.parse plus a walk that
  collects the import nodes (bar: at least 100x);
- over an import-dense text (20,000 lines of ``import a``): scan against
  ast.parse alone (bar: at least 5x).

Passes of the routes alternate and the best of each counts, so a busy
machine slows them alike.

    PYTHONPATH=build/release python3 bench/scan_vs_ast.py [--passes N]

Exits 1 when a bar is missed.
"""

from __future__ import annotations

import argparse
import ast
import os
import sys
import sysconfig
import time

import tarnwick_graph

STDLIB_BAR = 100.0
DENSE_BAR = 5.0
DENSE_TEXT = "import a\n" * 20000


def stdlib_texts() -> list[str]:
    root = os.environ.get("TARNWICK_STDLIB") or sysconfig.get_paths()["stdlib"]
    texts = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d != "site-packages")
        for name in sorted(filenames):
            if not name.endswith(".py"):
                continue
            try:
                with open(os.path.join(dirpath, name), "rb") as f:
                    text = f.read().decode("utf-8")
                ast.parse(text)
            except (OSError, UnicodeDecodeError, SyntaxError, ValueError):
                continue
            texts.append(text)
    return texts


def read_records(texts: list[str]) -> int:
    """Scans each text and reads every field of every record."""
    n = 0
    scan = tarnwick_graph.scan
    for text in texts:
        for stmt in scan(text):
            _ = (stmt.is_from, stmt.module, stmt.level, stmt.site.line, stmt.site.guarded)
            for alias in stmt.names:
                _ = (alias.name, alias.asname)
                n += 1
    return n


def ast_walk(texts: list[str]) -> int:
    n = 0
    for text in texts:
        for node in ast.walk(ast.parse(text)):
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                n += len(node.names)
    return n


def ast_parse(texts: list[str]) -> int:
    for text in texts:
        ast.parse(text)
    return 0


def best_times(passes: int, routes: dict, texts: list[str]) -> dict[str, float]:
    best = dict.fromkeys(routes, float("inf"))
    for _ in range(passes):
        for name, route in routes.items():
            start = time.perf_counter()
            route(texts)
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def report(title: str, texts: list[str], passes: int, baseline: str, route, bar: float) -> bool:
    mb = sum(len(t.encode("utf-8")) for t in texts) / 1e6
    times = best_times(passes, {"tarnwick_graph.scan": read_records, baseline: route}, texts)
    print(f"{title}: {len(texts)} texts, {mb:.2f} MB (best of {passes} passes)")
    for name, seconds in times.items():
        print(f"  {name:22} {seconds * 1e3:10.2f} ms  {mb / seconds:9.1f} MB/s")
    ratio = times[baseline] / times["tarnwick_graph.scan"]
    verdict = "PASS" if ratio >= bar else "FAIL"
    print(f"  ratio {baseline} / scan: {ratio:.1f}x  (bar >= {bar:.0f}x)  {verdict}")
    return ratio >= bar


def main() -> int:
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--passes", type=int, default=5, help="timed passes per route; the best counts")
    args = ap.parse_args()
    where = os.path.dirname(tarnwick_graph.__file__)
    print(f"python {sys.version.split()[0]}, tarnwick_graph from {where}")
    texts = stdlib_texts()
    if read_records(texts) != ast_walk(texts):
        print("the scan and ast disagree on the number of imported names", file=sys.stderr)
        return 1
    ok = report("standard library", texts, args.passes, "ast.parse + walk", ast_walk, STDLIB_BAR)
    dense = [DENSE_TEXT]
    ok &= report("import-dense text", dense, args.passes * 4, "ast.parse", ast_parse, DENSE_BAR)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
