"""Rebuilds after random edits of a small tree equal fresh builds: imports
added, removed and changed; modules, packages and folders created, deleted,
renamed, swapped, and replaced by new ones of the same name; some rebuilds
stopped part way by a meta-path finder that raises."""

import os
import random
import shutil
import sys

import pytest

import tarnwick_graph as tg

START = {
    "main.py": "import m0\nimport pk.a.x\nfrom pk import b\n",
    "m0.py": "import pk.b.x\n",
    "m1.py": "",
    "pk/__init__.py": "",
    "pk/a/__init__.py": "from . import x\n",
    "pk/a/x.py": "from .. import b\nimport m1\n",
    "pk/b/__init__.py": "",
    "pk/b/x.py": "import m1\n",
    "ns/z.py": "from ns import y\n",
}
NAMES = ["m0", "m1", "m2", "pk", "pk.a", "pk.a.x", "pk.a.y", "pk.b", "pk.b.x", "pk.c", "pk.c.z",
         "ns", "ns.y", "ns.z", "nope", "pk.nope"]
FOLDERS = ["pk/a", "pk/b", "pk/c", "pk/a/d", "ns", "ns/q"]
STEM = ["m2", "x", "y", "z", "d"]


class Stop(BaseException):
    """Ends a build as a KeyboardInterrupt would, without being one."""


class Tripwire:
    """A meta-path finder that finds nothing, and raises once armed: when
    asked for `name`, or at its `count`-th question."""

    def __init__(self):
        self.error = None
        self.name = None
        self.count = None

    def arm(self, error, name=None, count=None):
        self.error, self.name, self.count = error, name, count

    def find_spec(self, name, path=None, target=None):
        if self.error is not None:
            if self.count is not None:
                self.count -= 1
            if name == self.name or self.count == -1:
                error, self.error = self.error, None
                raise error
        return None


@pytest.fixture
def tripwire():
    wire = Tripwire()
    sys.meta_path.insert(0, wire)
    yield wire
    sys.meta_path.remove(wire)


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
        """Gives each path a modification time of its own."""
        for rel in rels:
            Tree.clock += 10**9
            os.utime(self.root / rel, ns=(Tree.clock, Tree.clock))

    def parent_of(self, rel):
        return os.path.dirname(rel) or "."

    def write(self, rel, text):
        path = self.root / rel
        new = not path.exists()
        if not path.parent.is_dir():
            self.mkdir(os.path.dirname(rel))
        path.write_text(text)
        self.stamp(rel, *([self.parent_of(rel)] if new else []))

    def mkdir(self, rel):
        if not (self.root / rel).parent.is_dir():
            self.mkdir(os.path.dirname(rel))
        (self.root / rel).mkdir()
        self.stamp(rel, self.parent_of(rel))

    def remove(self, rel):
        path = self.root / rel
        if path.is_dir():
            shutil.rmtree(path)
        else:
            path.unlink()
        self.stamp(self.parent_of(rel))

    def move(self, src, dst):
        os.rename(self.root / src, self.root / dst)
        self.stamp(self.parent_of(src), self.parent_of(dst))

    def files(self):
        return sorted(str(p.relative_to(self.root)) for p in self.root.rglob("*.py"))

    def folders(self):
        return sorted(str(p.relative_to(self.root)) for p in self.root.rglob("*") if p.is_dir())

    def line(self, rel):
        rng = self.rng
        name = rng.choice(NAMES)
        form = rng.randrange(8)
        if form == 0 and "/" in rel:
            return f"from {'.' * rng.randrange(1, 4)} import {rng.choice(STEM)}"
        if form == 1 and "/" in rel:
            return f"from .{rng.choice(STEM)} import *"
        if form == 2:
            return f"from {name} import {rng.choice(STEM)}, {rng.choice(STEM)} as w"
        if form == 3:
            return f"def f():\n    import {name}"
        return f"import {name}"

    def edit(self):
        """One random edit; returns what it did, for failure messages."""
        rng = self.rng
        files, folders = self.files(), [f for f in self.folders() if f != "."]
        kind = rng.randrange(10)
        if kind <= 2 and files:  # a line added, removed or changed
            rel = rng.choice(files)
            lines = (self.root / rel).read_text().splitlines()
            at = rng.randrange(len(lines) + 1)
            if kind == 0 or not lines:
                lines.insert(at, self.line(rel))
            elif kind == 1:
                del lines[min(at, len(lines) - 1)]
            else:
                lines[min(at, len(lines) - 1)] = self.line(rel)
            self.write(rel, "\n".join(lines) + "\n")
            return f"edited {rel}"
        if kind == 3:  # a module or package made
            folder = rng.choice(["", *FOLDERS])
            rel = os.path.join(folder, rng.choice([f"{rng.choice(STEM)}.py", "__init__.py"]))
            self.write(rel, self.line(rel) + "\n")
            return f"made {rel}"
        if kind == 4 and len(files) > 1:
            rel = rng.choice([f for f in files if f != "main.py"])
            self.remove(rel)
            return f"removed {rel}"
        if kind == 5 and len(files) > 1:
            src = rng.choice([f for f in files if f != "main.py"])
            dst = os.path.join(os.path.dirname(rng.choice(files)), f"{rng.choice(STEM)}.py")
            if (self.root / dst).exists():
                return "nothing"
            self.move(src, dst)
            return f"moved {src} to {dst}"
        if kind == 6:
            rel = rng.choice(FOLDERS)
            if (self.root / rel).exists():
                self.remove(rel)
                return f"removed {rel}/"
            self.mkdir(rel)
            return f"made {rel}/"
        if not folders:
            return "nothing"
        src = rng.choice(folders)
        free = [f for f in FOLDERS if not (self.root / f).exists() and not f.startswith(src + "/")
                and (self.root / f).parent.is_dir()]
        if kind == 7 and free:  # moved away, and a new folder of the same name made
            dst = rng.choice(free)
            self.move(src, dst)
            self.mkdir(src)
            self.write(f"{src}/__init__.py", self.line(f"{src}/__init__.py") + "\n")
            return f"replaced {src}/, the old one now {dst}/"
        if kind == 8:  # swapped with another
            other = rng.choice(folders)
            if other.startswith(src) or src.startswith(other):
                return "nothing"
            self.move(src, "swap")
            self.move(other, src)
            self.move("swap", other)
            return f"swapped {src}/ and {other}/"
        if free:
            dst = rng.choice(free)
            self.move(src, dst)
            return f"moved {src}/ to {dst}/"
        return "nothing"


def snapshot(graph):
    """Everything a graph says, in its order."""
    modules = [(n, m.kind, m.origin, m.depth, sorted(m.imports), sorted(m.imported_by))
               for n, m in graph.items()]
    sites = {(a, b): graph.sites(a, b) for a in graph for b in sorted(graph[a].imports)}
    return modules, graph.roots, sites, graph.problems


def built(build):
    """The graph a build gives, also when a requested module is missing."""
    try:
        return build()
    except tg.NotFound as e:
        return e.graph


REQUESTS = [lambda root: ((str(root / "main.py"),), {}),
            lambda root: ((), {"modules": ["m0", "pk.a.x", "ns.z"]}),
            lambda root: ((), {"packages": ["pk"], "skip": ["function"]}),
            lambda root: ((str(root / "main.py"),), {"within": ["pk", "m0"]})]


def run_edits(tmp_path, tripwire, seed, steps=40):
    rng = random.Random(seed)
    root = tmp_path / "tree"
    root.mkdir()
    tree = Tree(root, rng)
    args, kwargs = REQUESTS[seed % len(REQUESTS)](root)
    sys_path = [str(root)]
    builder = tg.Builder(sys_path=sys_path)
    last = built(lambda: builder.build(*args, **kwargs))
    # The first rebuild sets the watches (stopped: see below).
    built(lambda: builder.build(*args, **kwargs))
    done = []
    trips = 0
    for _ in range(steps):
        done.append(tree.edit())
        if rng.random() < 0.3:
            trips += 1
            error = rng.choice([KeyboardInterrupt(), Stop(), RuntimeError("a finder that fails")])
            if rng.random() < 0.5:
                tripwire.arm(error, count=rng.randrange(12))
            else:
                # A module the last build read imports a name only this build asks for.
                trip = f"trip{trips}"
                read = [os.path.relpath(m.origin, root) for m in last.values()
                        if m.origin and m.origin.startswith(str(root))]
                rel = rng.choice([r for r in read if (root / r).is_file()] or ["main.py"])
                lines = (root / rel).read_text().splitlines()
                lines.insert(rng.randrange(len(lines) + 1), f"import {trip}")
                tree.write(rel, "\n".join(lines) + "\n")
                tripwire.arm(error, name=trip)
            try:
                builder.build(*args, **kwargs)
                done.append("completed")
            except (KeyboardInterrupt, Stop):
                done.append("stopped")
            except tg.NotFound:
                done.append("completed, a requested module missing")
            tripwire.error = None
            if rng.random() < 0.5:
                continue  # the next edit comes on top
        last = built(lambda: builder.build(*args, **kwargs))
        fresh = built(lambda: tg.build(*args, sys_path=sys_path, **kwargs))
        assert snapshot(last) == snapshot(fresh), done


@pytest.mark.parametrize("seed", range(8))
def test_rebuilds_after_random_edits_equal_fresh_builds(tmp_path, tripwire, seed):
    run_edits(tmp_path, tripwire, seed)


def test_a_stopped_first_rebuild_keeps_what_it_found_changed(tmp_path, tripwire):
    tree = Tree(tmp_path, random.Random(0))
    builder = tg.Builder(sys_path=[str(tmp_path)])
    main = str(tmp_path / "main.py")
    builder.build(main)
    tree.write("m1.py", "import m2\n")  # a name no build asked for yet
    tripwire.arm(KeyboardInterrupt(), count=0)
    with pytest.raises(KeyboardInterrupt):
        builder.build(main)
    assert snapshot(builder.build(main)) == snapshot(tg.build(main, sys_path=[str(tmp_path)]))
