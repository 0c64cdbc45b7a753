"""The type stubs: they match the runtime objects, ship installed, and type-check."""

import filecmp
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import tarnwick

ROOT = Path(__file__).resolve().parents[2]
STUBS = ROOT / "stubs" / "tarnwick-stubs"
STUB_FILES = ["__init__.pyi", "parser.pyi"]


# `parser` is an attribute of the extension, not an importable submodule;
# stubtest imports it by name, so it is registered first.
STUBTEST = (
    "import sys, tarnwick; sys.modules['tarnwick.parser'] = tarnwick.parser; "
    "from mypy.stubtest import main; sys.exit(main())"
)


def test_stubs_match_the_runtime(tmp_path):
    pytest.importorskip("mypy", reason="mypy is installed by scripts/test.sh")
    proc = subprocess.run(
        [sys.executable, "-c", STUBTEST, "tarnwick", "tarnwick_graph",
         "--allowlist", str(Path(__file__).with_name("stubtest_allowlist.txt"))],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_mypy_strict_on_typed_example(tmp_path):
    pytest.importorskip("mypy", reason="mypy is installed by scripts/test.sh")
    installed = Path(sysconfig.get_paths()["platlib"]) / "tarnwick-stubs"
    match, mismatch, missing = filecmp.cmpfiles(STUBS, installed, STUB_FILES, shallow=False)
    assert match == STUB_FILES, f"installed stubs differ from the tree ({installed}): pip install ."
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         str(ROOT / "python" / "tarnwick_graph"), str(ROOT / "tests" / "python" / "typed_example.py")],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
