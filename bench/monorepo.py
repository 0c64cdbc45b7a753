"""A synthetic monorepo of N modules, for timing import graphs at scale.

One top-level package (``mono`` by default) holds P packages of 20
subpackages of 50 modules each (P = N / 1000, the last package filled only
as far as N goes); every package and subpackage has an ``__init__.py``.
Each module imports one standard-library module, ``TYPE_CHECKING`` from
typing, four ``from mono.pkgA.subB import modC`` and three
``import mono.pkgA.subB.modC`` of modules drawn at random from the whole
repo, and one more module under ``if TYPE_CHECKING:``, then defines 30 small
functions: 50,000 modules come to about 80 MB of source. The same seed
gives the same files, byte for byte.

    python bench/monorepo.py OUT_DIR --modules 50000 [--seed 1] [--top NAME]

writes OUT_DIR/NAME/... and prints a one-line summary on standard error.
OUT_DIR is the directory to put first on the module search path.
``generate()`` does the same from Python.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import random
import shutil
import sys
import time

SUBPACKAGES = 20
MODULES = 50
PER_PACKAGE = SUBPACKAGES * MODULES
FUNCTIONS = 30
STDLIB = ("os", "json", "re", "collections", "functools", "itertools", "pathlib", "logging")
STAMP = ".monorepo.json"  # inside the top package: what made it, and whether it is complete
VARIANTS = 61  # function blocks to choose from; modules cycle through them


def _function(i: int, v: int) -> str:
    """The source of function number `i` in variant `v` of the block."""
    a, b = (i * 7 + v) % 13 + 2, (i + v * 3) % 5 + 2
    kind = (i + v) % 4
    if kind == 0:
        return f"def f{i}(x, y={b}):\n    return x * {a} + y\n"
    if kind == 1:
        return f"def f{i}(xs):\n    return [v for v in xs if v % {b}]\n"
    if kind == 2:
        return f"def f{i}(s):\n    if s:\n        return s.upper()\n"
    return f"def f{i}(x):\n    y = x * {a}\n    return y - {b}\n"


def _blocks() -> list[str]:
    return ["\n" + "\n".join(_function(i, v) for i in range(FUNCTIONS)) for v in range(VARIANTS)]


def _generator_hash() -> str:
    with open(__file__, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()[:16]


def layout(modules: int) -> tuple[int, int, int]:
    """(packages, subpackages per package, modules per subpackage) for `modules`."""
    return -(-modules // PER_PACKAGE), min(SUBPACKAGES, -(-modules // MODULES)), min(MODULES, modules)


def wanted_stamp(modules: int, seed: int, top: str) -> dict:
    """What the stamp of a complete monorepo made with these arguments holds."""
    return {"modules": modules, "seed": seed, "top": top, "generator": _generator_hash(), "complete": True}


def read_stamp(out_dir: str, top: str = "mono") -> dict | None:
    """The stamp of the monorepo in out_dir/top, or None if there is none."""
    try:
        with open(os.path.join(out_dir, top, STAMP)) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def _write_stamp(pkg_dir: str, stamp: dict) -> None:
    with open(os.path.join(pkg_dir, STAMP), "w") as f:
        json.dump(stamp, f)


def _write(path: str, text: str) -> int:
    data = text.encode()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        os.write(fd, data)
    finally:
        os.close(fd)
    return len(data)


def generate(out_dir: str, modules: int, seed: int = 1, top: str = "mono") -> str:
    """Writes the monorepo of `modules` modules to out_dir/top and returns
    out_dir, absolute: the entry to put on the module search path. A
    monorepo this module wrote there before is replaced; any other existing
    out_dir/top is an error (FileExistsError)."""
    return _generate(out_dir, modules, seed, top)[0]


def _generate(out_dir: str, modules: int, seed: int, top: str) -> tuple[str, int, int]:
    """generate(), returning also the number of __init__.py written and the bytes of all files."""
    if modules < 1:
        raise ValueError("modules must be at least 1")
    if not top.isidentifier():
        raise ValueError(f"top must be a Python identifier, not {top!r}")
    out_dir = os.path.abspath(out_dir)
    pkg_dir = os.path.join(out_dir, top)
    if os.path.lexists(pkg_dir):
        if read_stamp(out_dir, top) is None:
            raise FileExistsError(f"{pkg_dir} exists and is not a generated monorepo")
        shutil.rmtree(pkg_dir)
    os.makedirs(pkg_dir)
    _write_stamp(pkg_dir, {**wanted_stamp(modules, seed, top), "complete": False})

    rng = random.Random(seed)
    randrange = rng.randrange
    # Every module's dotted parts, in the order they are written.
    names = [(p, s, m) for p in range(layout(modules)[0]) for s in range(SUBPACKAGES) for m in range(MODULES)]
    del names[modules:]
    blocks = _blocks()
    written = _write(os.path.join(pkg_dir, "__init__.py"), f'"""The {top} monorepo: {modules} modules."""\n')
    inits = 1
    current = None
    for k, (p, s, m) in enumerate(names):
        sub_dir = os.path.join(pkg_dir, f"pkg{p}", f"sub{s}")
        if (p, s) != current:
            if s == 0:
                os.mkdir(os.path.dirname(sub_dir))
                written += _write(os.path.join(os.path.dirname(sub_dir), "__init__.py"), f'"""Package {p}."""\n')
                inits += 1
            os.mkdir(sub_dir)
            written += _write(os.path.join(sub_dir, "__init__.py"), f'"""Package {p}, subpackage {s}."""\n')
            inits += 1
            current = (p, s)
        picks = [names[j] for j in (randrange(modules) for _ in range(8)) if j != k]
        while len(picks) < 8:  # a module of its own has no need to import itself
            picks.append(names[(k + 1 + randrange(modules - 1)) % modules] if modules > 1 else names[k])
        lines = [
            f'"""Module {s * MODULES + m} of package {p}."""\n',
            "from __future__ import annotations\n",
            f"import {STDLIB[k % len(STDLIB)]}",
            "from typing import TYPE_CHECKING\n",
        ]
        lines += [f"from {top}.pkg{a}.sub{b} import mod{c}" for a, b, c in picks[:4]]
        lines += [f"import {top}.pkg{a}.sub{b}.mod{c}" for a, b, c in picks[4:7]]
        a, b, c = picks[7]
        lines.append(f"\nif TYPE_CHECKING:\n    from {top}.pkg{a}.sub{b}.mod{c} import f{k % FUNCTIONS}")
        written += _write(os.path.join(sub_dir, f"mod{m}.py"), "\n".join(lines) + "\n" + blocks[k % VARIANTS])

    _write_stamp(pkg_dir, wanted_stamp(modules, seed, top))
    return out_dir, inits, written


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out_dir", help="directory to write the top package into (the sys.path entry)")
    ap.add_argument("--modules", type=int, default=50_000, help="number of modules (default 50000)")
    ap.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    ap.add_argument("--top", default="mono", help="name of the top-level package (default mono)")
    args = ap.parse_args()
    if args.modules < 1:
        ap.error("--modules must be at least 1")
    if not args.top.isidentifier():
        ap.error(f"--top must be a Python identifier, not {args.top!r}")
    t0 = time.perf_counter()
    try:
        root, inits, written = _generate(args.out_dir, args.modules, args.seed, args.top)
    except (OSError, ValueError) as e:
        print(f"monorepo: {e}", file=sys.stderr)
        return 1
    seconds = time.perf_counter() - t0
    packages, subs, mods = layout(args.modules)
    print(
        f"monorepo: {args.modules} modules ({packages} packages x {subs} x {mods}) and {inits} __init__.py,"
        f" {written / 1e6:.1f} MB, in {os.path.join(root, args.top)} (seed {args.seed}), {seconds:.1f} s",
        file=sys.stderr,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
