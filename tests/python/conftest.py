import os
import subprocess
import sys
import textwrap

import pytest


def _child_env(extra_path=None):
    env = dict(os.environ)
    paths = [p for p in sys.path if p]
    if extra_path:
        paths.insert(0, extra_path)
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


@pytest.fixture
def run_python():
    """Runs code in a fresh interpreter (process-wide state starts clean)."""

    def run(code, extra_path=None, check=True):
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=_child_env(extra_path),
            timeout=120,
        )
        if check and proc.returncode != 0:
            raise AssertionError(
                f"child failed ({proc.returncode}):\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
            )
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
    prefix = str(root)
    for name, module in list(sys.modules.items()):
        spec = getattr(module, "__spec__", None)
        origin = getattr(spec, "origin", None) or ""
        locations = list(getattr(spec, "submodule_search_locations", None) or [])
        if origin.startswith(prefix) or any(str(p).startswith(prefix) for p in locations):
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
