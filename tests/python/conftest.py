import os
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python():
    """Runs code in a fresh interpreter (process-wide state starts clean)."""

    def run(code, extra_path=None):
        paths = os.pathsep.join(p for p in [extra_path, *sys.path] if p)
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                              text=True, env=dict(os.environ, PYTHONPATH=paths), timeout=120)
        assert proc.returncode == 0, (
            f"child failed ({proc.returncode}):\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
        return proc

    return run


@pytest.fixture
def probe_dir():
    """Directory of the test-only logging probe extension, built by the test build."""
    path = os.environ.get("TARNWICK_PROBE_DIR")
    if not path:
        pytest.skip("TARNWICK_PROBE_DIR not set: the probe is built by scripts/test.sh")
    return path


def write_files(root, files):
    """Writes ``{relative path: text}`` under `root`: texts dedented in
    UTF-8, bytes as they are."""
    for rel, text in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(text, bytes):
            path.write_bytes(text)
        else:
            path.write_text(textwrap.dedent(text), encoding="utf-8")
    return root


@pytest.fixture
def project(tmp_path):
    """``project({"a.py": "..."})`` writes the files under a fresh folder
    (see write_files) and returns the folder; nothing goes on sys.path."""
    return lambda files: write_files(tmp_path, files)


@pytest.fixture
def tree(tmp_path):
    """Writes a package tree and puts it first on sys.path for one test.

    ``tree({"a/__init__.py": "", "a/b.py": "import os"})`` returns the root
    directory. Afterwards the directory leaves sys.path and every module
    imported from it leaves sys.modules, so trees of different tests never
    see each other.
    """
    import importlib

    root = tmp_path / "tree"
    root.mkdir()

    def make(files):
        write_files(root, files)
        importlib.invalidate_caches()
        return root

    sys.path.insert(0, str(root))
    yield make
    sys.path.remove(str(root))
    sys.path_importer_cache.pop(str(root), None)
    for name, module in list(sys.modules.items()):
        spec = getattr(module, "__spec__", None)
        where = [getattr(spec, "origin", None) or ""]
        where += getattr(spec, "submodule_search_locations", None) or []
        if any(str(p).startswith(str(root)) for p in where):
            del sys.modules[name]
    importlib.invalidate_caches()


class Finder:
    """A meta path finder serving hand-made spec objects by module name."""

    def __init__(self, specs):
        self.specs = specs
        self.asked = []

    def find_spec(self, name, path=None, target=None):
        self.asked.append(name)
        spec = self.specs.get(name)
        if isinstance(spec, BaseException):
            raise spec
        return spec


@pytest.fixture
def finder():
    """Installs a Finder first on sys.meta_path for one test."""
    installed = []

    def install(specs):
        f = Finder(specs)
        sys.meta_path.insert(0, f)
        installed.append(f)
        return f

    yield install
    for f in installed:
        sys.meta_path.remove(f)
        for name in f.specs:
            sys.modules.pop(name, None)


# Under a debug interpreter with TARNWICK_REFCOUNT_RUNS=N, every test runs N
# times, fixtures set up afresh each time, and fails if the interpreter's
# total reference count and its allocated block count both grow in every run
# after the first two (which fill the caches meant to fill once).
REFCOUNT_RUNS = int(os.environ.get("TARNWICK_REFCOUNT_RUNS", "0"))

if REFCOUNT_RUNS and hasattr(sys, "gettotalrefcount"):
    import gc

    from _pytest.runner import runtestprotocol

    def _totals():
        gc.collect()
        return sys.gettotalrefcount(), sys.getallocatedblocks()

    def _forget_spent(item, root):
        """Drops what each run leaves behind in pytest and the import system.

        A function-scoped fixture that uses a wider one (tmp_path uses
        tmp_path_factory) leaves its finalizer with the wider one until that
        ends; captured output is kept on the item for its report; each
        fresh tmp_path leaves a path in the import caches."""
        item._report_sections.clear()
        for defs in item._fixtureinfo.name2fixturedefs.values():
            for d in defs:
                d._finalizers[:] = [
                    f for f in d._finalizers
                    if getattr(getattr(f, "keywords", {}).get("request"), "node", None) is not item
                ]
        for key in [k for k in sys.path_importer_cache if k.startswith(root)]:
            del sys.path_importer_cache[key]
        for name, module in list(sys.modules.items()):
            if (getattr(module, "__file__", None) or "").startswith(root):
                del sys.modules[name]

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(item, nextitem):
        root = str(item.config._tmp_path_factory.getbasetemp())
        item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
        growth = []
        for run in range(REFCOUNT_RUNS):
            before = _totals()
            last = run + 1 == REFCOUNT_RUNS
            # Tearing down to the parent keeps the module's fixtures for the next run.
            reports = runtestprotocol(item, nextitem=nextitem if last else item.parent, log=False)
            _forget_spent(item, root)
            after = _totals()
            growth.append((after[0] - before[0], after[1] - before[1]))
            if any(r.failed or r.skipped for r in reports):
                item.session._setupstate.teardown_exact(nextitem)  # as the last run would
                break
        checked = growth[2:]
        if len(checked) == REFCOUNT_RUNS - 2 and all(r > 0 and b > 0 for r, b in checked):
            for r in reports:
                if r.when == "call":
                    r.outcome = "failed"
                    r.longrepr = f"references and blocks grew in every run after the second: {growth}"
        for r in reports:
            item.ihook.pytest_runtest_logreport(report=r)
        item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True
