"""Throughput of tarnwick.parser.parse against ast.parse plus a walk that
collects the same statements, over every UTF-8 .py file of the standard
library (site-packages excluded), in one run.

    PYTHONPATH=build/h-parser python3 bench/parse_vs_ast.py [--repeat N]
"""

import argparse
import ast
import os
import sys
import sysconfig
import time

import tarnwick


def stdlib_sources(root=None):
    root = root or os.environ.get("TARNWICK_STDLIB") or sysconfig.get_paths()["stdlib"]
    sources = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d != "site-packages")
        for name in sorted(filenames):
            if not name.endswith(".py"):
                continue
            path = os.path.join(dirpath, name)
            try:
                with open(path, "rb") as f:
                    sources.append((path, f.read().decode("utf-8")))
            except (OSError, UnicodeDecodeError):
                continue
    return sources


def ast_imports(source):
    """The import statements of `source` in the parser's dict form, via ast."""
    out = []
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Import):
            out.append({"type": "import", "names": [_alias(a) for a in node.names]})
        elif isinstance(node, ast.ImportFrom):
            out.append(
                {
                    "type": "import_from",
                    "module": node.module or "",
                    "level": node.level,
                    "names": [_alias(a) for a in node.names],
                }
            )
    return out


def _alias(a):
    return {"name": a.name, "asname": a.asname} if a.asname else {"name": a.name}


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--repeat", type=int, default=3, help="timed passes per route (best is kept)")
    args = ap.parse_args()

    sources = [(p, s) for p, s in stdlib_sources()]
    valid = []
    for path, text in sources:
        try:
            ast.parse(text)
        except (SyntaxError, ValueError):
            continue
        valid.append(text)
    total = sum(len(t.encode("utf-8")) for t in valid)
    parse = tarnwick.parser.parse

    def best(fn):
        times = []
        for _ in range(args.repeat):
            start = time.perf_counter()
            for text in valid:
                fn(text)
            times.append(time.perf_counter() - start)
        return min(times)

    t_parse = best(parse)
    t_ast = best(ast_imports)
    mb = total / 1e6
    print(f"files: {len(valid)}  size: {mb:.1f} MB  (python {sys.version.split()[0]})")
    print(f"tarnwick.parser.parse : {t_parse * 1e3:8.1f} ms  {mb / t_parse:8.1f} MB/s")
    print(f"ast.parse + walk      : {t_ast * 1e3:8.1f} ms  {mb / t_ast:8.1f} MB/s")
    print(f"ratio                 : {t_ast / t_parse:8.1f}x")


if __name__ == "__main__":
    main()
