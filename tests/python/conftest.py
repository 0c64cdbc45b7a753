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
