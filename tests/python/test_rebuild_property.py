"""Rebuilds after random edits of a small tree equal fresh builds: imports
added, removed and changed; modules, packages and folders created, deleted,
renamed, swapped, and replaced by new ones of the same name; some rebuilds
stopped part way by a meta-path finder that raises."""

import functools
import os
import random
import shutil
import sys

import pytest

import tarnwick_graph as tg

START = {"main.py": "import m0\nimport pk.a.x\nfrom pk import b\n", "m0.py": "import pk.b.x\n", "m1.py": "",
         "pk/__init__.py": "", "pk/a/__init__.py": "from . import x\n", "pk/a/x.py": "from .. import b\nimport m1\n",
         "pk/b/__init__.py": "", "pk/b/x.py": "import m1\n", "ns/z.py": "from ns import y\n"}
# Where edits write, remove and move files (the first stays) and folders.
PATHS = ["main.py", "m0.py", "m1.py", "m2.py", "pk/__init__.py", "pk/a/__init__.py", "pk/a/x.py",
         "pk/a/y.py", "pk/b/__init__.py", "pk/b/x.py", "pk/c/__init__.py", "pk/c/z.py",
         "pk/a/d/x.py", "ns/y.py", "ns/z.py", "ns/q/__init__.py"]
FOLDERS = ["pk/a", "pk/b", "pk/c", "pk/a/d", "ns", "ns/q"]
# What imports name: the modules of those paths, and some never found.
NAMES = sorted({p[:-3].replace("/__init__", "").replace("/", ".") for p in PATHS[1:]}
               | {"ns", "nope", "pk.nope"})
STEM = ["m2", "x", "y", "z", "d"]
# What builds ask for: the files to build, and keyword arguments.
REQUESTS = [(["main.py"], {}), ([], {"modules": ["m0", "pk.a.x", "ns.z"]}),
            ([], {"packages": ["pk"], "skip": ["function"]}), (["main.py"], {"within": ["pk", "m0"]})]


class Stop(BaseException):
    """Ends a build as a KeyboardInterrupt would, without being one."""


class Tripwire:
    """A meta-path finder that finds nothing, and once armed raises its
    error when asked for `name`, or at its `count`-th question."""

    error, name, count = None, None, 0

    def find_spec(self, name, path=None, target=None):
        if self.error is not None:
            self.count -= 1
            if name == self.name or self.count == -1:
                error, self.error = self.error, None
                raise error


def parent(rel):
    return os.path.dirname(rel) or "."


class Tree:
    """The tree under edit; every path an edit makes or changes gets a
    modification time of its own, as if each edit came a while after the
    last (a rename keeps the times of what it moves)."""

    clock = 10**18

    def __init__(self, root, rng):
        self.root, self.rng = root, rng
        for rel, text in START.items():
            self.write(rel, text)

    def stamp(self, *rels):
        for rel in rels:
            Tree.clock += 10**9
            os.utime(self.root / rel, ns=(Tree.clock, Tree.clock))

    def write(self, rel, text):
        new = not (self.root / rel).exists()
        self.mkdir(os.path.dirname(rel))
        (self.root / rel).write_text(text)
        self.stamp(rel, *([parent(rel)] if new else []))

    def mkdir(self, rel):
        if rel and not (self.root / rel).is_dir():
            self.mkdir(os.path.dirname(rel))
            (self.root / rel).mkdir()
            self.stamp(rel, parent(rel))

    def remove(self, rel):
        (shutil.rmtree if (self.root / rel).is_dir() else os.remove)(self.root / rel)
        self.stamp(parent(rel))

    def move(self, src, dst):
        os.rename(self.root / src, self.root / dst)
        self.stamp(parent(src), parent(dst))

    def lines(self, rel):
        return (self.root / rel).read_text().splitlines() if (self.root / rel).is_file() else []

    def insert(self, rel, line):
        lines = self.lines(rel)
        lines.insert(self.rng.randrange(len(lines) + 1), line)
        self.write(rel, "\n".join(lines) + "\n")
        return f"added {line!r} to {rel}"

    def line(self, rel):
        rng, name, form = self.rng, self.rng.choice(NAMES), self.rng.randrange(8)
        if form == 0 and "/" in rel:
            return f"from {'.' * rng.randrange(1, 4)} import {rng.choice(STEM)}"
        if form == 1 and "/" in rel:
            return f"from .{rng.choice(STEM)} import *"
        if form == 2:
            return f"from {name} import {rng.choice(STEM)}, {rng.choice(STEM)} as w"
        return f"def f():\n    import {name}" if form == 3 else f"import {name}"

    def edit(self):
        """One random edit; returns what it did, for failure messages."""
        rng, root = self.rng, self.root
        kind = rng.randrange(6)
        if kind <= 2:  # a line added, removed or changed; a new file made so
            rel = rng.choice(PATHS)
            lines = self.lines(rel)
            if kind == 0 or not lines:
                return self.insert(rel, self.line(rel))
            at = rng.randrange(len(lines))
            lines[at:at + 1] = [self.line(rel)] if kind == 2 else []
            self.write(rel, "\n".join(lines) + "\n")
            return f"edited {rel}"
        pool = rng.choice([PATHS[1:], FOLDERS])  # main.py stays
        there = [p for p in pool if (root / p).exists()]
        if kind == 3:  # removed, or an empty folder made
            rel = rng.choice(pool)
            if rel in there:
                self.remove(rel)
            elif pool is FOLDERS:
                self.mkdir(rel)
            return f"removed or made {rel}"
        if not there:
            return "nothing"
        src = rng.choice(there)
        free = [p for p in pool if not (root / p).exists() and (root / p).parent.is_dir()
                and not p.startswith(src + "/")]
        if kind == 4 and free:
            dst = rng.choice(free)
            self.move(src, dst)
            if pool is FOLDERS and rng.random() < 0.5:  # a new folder of the old name
                self.write(f"{src}/__init__.py", self.line(f"{src}/__init__.py") + "\n")
            return f"moved {src} to {dst}, a new one made: {(root / src).exists()}"
        other = rng.choice(there)
        if other.startswith(src) or src.startswith(other):
            return "nothing"
        for a, b in [(src, "swap"), (other, src), ("swap", other)]:
            self.move(a, b)
        return f"swapped {src} and {other}"


def built(build, *args, **kwargs):
    """The graph a build gives, also when a requested module is missing."""
    try:
        return build(*args, **kwargs)
    except tg.NotFound as e:
        return e.graph


def snapshot(graph):
    """Everything a graph says, in its order."""
    return ([(n, m.kind, m.origin, m.depth, sorted(m.imports), sorted(m.imported_by)) for n, m in graph.items()],
            graph.roots, {(a, b): graph.sites(a, b) for a in graph for b in sorted(graph[a].imports)}, graph.problems)


# Even seeds settle before the first edit (the first rebuild sets the
# watches); odd ones may have that first rebuild stopped.
@pytest.mark.parametrize("seed", range(8))
def test_rebuilds_after_random_edits_equal_fresh_builds(tmp_path, monkeypatch, seed):
    wire = Tripwire()
    # Installed before the builder, which reads sys.meta_path once.
    monkeypatch.setattr(sys, "meta_path", [wire, *sys.meta_path])
    rng = random.Random(seed)
    tree = Tree(tmp_path, rng)
    files, kwargs = REQUESTS[seed % len(REQUESTS)]
    args = [str(tmp_path / f) for f in files]
    rebuild = functools.partial(built, tg.Builder(sys_path=[str(tmp_path)]).build, *args, **kwargs)
    last = rebuild()
    if seed % 2 == 0:
        rebuild()
    done = []
    for step in range(40):
        done.append(tree.edit())
        if rng.random() < 0.3:
            wire.error = rng.choice([KeyboardInterrupt(), Stop(), RuntimeError("a finder")])
            if rng.random() < 0.5:
                wire.name, wire.count = None, rng.randrange(12)
            else:  # a module the last build read imports a name only this build asks for
                read = [os.path.relpath(m.origin, tmp_path) for m in last.values()
                        if m.origin and m.origin.startswith(str(tmp_path))]
                rel = rng.choice([r for r in read if (tmp_path / r).is_file()] or ["main.py"])
                done.append(tree.insert(rel, f"import trip{step}"))
                wire.name, wire.count = f"trip{step}", float("inf")
            try:
                rebuild()
                done.append("completed")
            except (KeyboardInterrupt, Stop):
                done.append("stopped")
            wire.error = None
            if rng.random() < 0.5:
                continue  # the next edit comes on top
        last = rebuild()
        assert snapshot(last) == snapshot(built(tg.build, *args, sys_path=[str(tmp_path)], **kwargs)), done
