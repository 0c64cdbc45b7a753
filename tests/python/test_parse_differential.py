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


def categories(source):
    return sorted((kind, category) for kind, category, _ in differential.compare_file("x.py", source))


KNOWN = [
    ("no difference", "import os\nfrom . import a\n", []),
    ("star form", "from m import *\n", [("missed", "star form")]),
    ("semicolon", "import a; import b\n", [("missed", "statement after ';'")]),
    ("colon", "if x: import a\n", [("missed", "after ':' on the same line")]),
    ("tab indentation", "if x:\n\timport a\n", [("missed", "indentation with a tab or form feed")]),
    (
        "closing triple quote quirk",
        'x = """\n"""\nimport a\ny = """\n"""\n',
        [("missed", "inside a literal opened by a closing triple quote (quote quirk)")],
    ),
    (
        "string not starting its line",
        'x = """\nimport hidden\n"""\n',
        [("extra", "import-like line inside a string literal the grammar does not see as one")],
    ),
    ("continued comment", "# note \\\nimport a\n", [("missed", "after a backslash-continued comment")]),
    ("comment before a comma", "from a import (b  # c\n, d)\n", [("missed", "comment between a name and its comma")]),
    ("non-ASCII name", "import caf\u00e9\n", [("extra", "non-ASCII name cut short"), ("missed", "non-ASCII name")]),
]


@pytest.mark.parametrize("source,expected", [k[1:] for k in KNOWN], ids=[k[0] for k in KNOWN])
def test_known_differences_are_categorised(source, expected):
    assert categories(source) == sorted(expected)


def _sample(step=25):
    root = os.environ.get("TARNWICK_STDLIB") or sysconfig.get_paths()["stdlib"]
    files = list(differential.stdlib_files(root))
    return files[::step]


def test_no_unexplained_difference_on_a_stdlib_sample():
    files = _sample()
    if not files:
        pytest.skip("no standard library found")
    out = io.StringIO()
    counts = differential.run(files, stream=out)
    unexplained = {k: n for k, n in counts.items() if k[1] == differential.UNEXPLAINED}
    assert not unexplained, out.getvalue()
    assert "files compared:" in out.getvalue()
