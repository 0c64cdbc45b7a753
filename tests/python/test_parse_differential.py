"""The differential comparison of tarnwick.parser.parse with ast: every
difference must fall into a category the import grammar explains."""

import importlib.util
import io
import os
import pathlib
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("parse_differential", ROOT / "bench" / "parse_differential.py")
differential = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(differential)


@pytest.mark.parametrize(
    "source,expected",
    [
        ("import os\nfrom . import a\n", []),
        ("from m import *\n", [("missed", "star form")]),
        ("import caf\u00e9\n", [("extra", "non-ASCII name cut short"), ("missed", "non-ASCII name")]),
    ],
)
def test_known_differences_are_categorised(source, expected):
    assert sorted((kind, category) for kind, category, _ in differential.compare_file("x.py", source)) == expected


def test_no_unexplained_difference_on_a_stdlib_sample():
    root = os.environ.get("TARNWICK_STDLIB") or sysconfig.get_paths()["stdlib"]
    every = list(differential.stdlib_files(root))
    assert len(every) >= 20, f"standard library not found at {root}"
    files = every[:: len(every) // 20]
    out = io.StringIO()
    counts = differential.run(files, stream=out)
    assert not [k for k in counts if k[1] == differential.UNEXPLAINED], out.getvalue()
