"""tarnwick.parser.parse: source text -> list of import statement dicts."""

import pytest

import tarnwick

parse = tarnwick.parser.parse


def imp(*names):
    return {"type": "import", "names": [alias(n) for n in names]}


def frm(module, level, *names):
    return {"type": "import_from", "module": module, "level": level, "names": [alias(n) for n in names]}


def alias(spec):
    name, _, asname = spec.partition(" as ")
    return {"name": name, "asname": asname} if asname else {"name": name}


CASES = [
    # Plain and from forms.
    ("empty", "", []),
    ("plain", "import os", [imp("os")]),
    ("dotted with as", "import a.b as c, d", [imp("a.b as c", "d")]),
    ("as on its own alias only", "import a as b, c", [imp("a as b", "c")]),
    ("two spaces", "import  os", [imp("os")]),
    ("absolute from", "from a.b import c", [frm("a.b", 0, "c")]),
    ("relative dot", "from . import a", [frm("", 1, "a")]),
    ("three dots", "from ... import x", [frm("", 3, "x")]),
    ("dots and module with as", "from ...pkg.sub import x as y", [frm("pkg.sub", 3, "x as y")]),
    ("future", "from __future__ import annotations", [frm("__future__", 0, "annotations")]),
    ("incomplete as", "import a as", [imp("a")]),
    ("trailing dot", "import a.", [imp("a")]),
    ("trailing comma", "from a import b,", [frm("a", 0, "b")]),
    # Parenthesised lists.
    ("parenthesised", "from .m import (a, b as c,)", [frm("m", 1, "a", "b as c")]),
    (
        "parenthesised over lines with comments",
        "from a import (  # first\n    b,  # after b\n    c,\n)\n",
        [frm("a", 0, "b", "c")],
    ),
    ("comment before a comma", "from a import (b  # note\n, c)\n", []),
    ("tab in the list", "from a import (b,\n\tc)\n", []),
    ("empty parentheses", "from a import ()\n", []),
    ("parenthesis glued to import", "from a import(b)\n", []),
    # Forms the grammar does not take.
    ("star form", "from m import *\n", []),
    ("space after dots", "from .. a import b\n", []),
    ("dot glued to import", "from .import x\n", []),
    ("no space after from", "from.a import b\n", []),
    ("tab after from", "from\ta import b\n", []),
    ("tab after import", "import\tos\n", []),
    ("parenthesis after import", "import(os)\n", []),
    ("backslash after import", "import\\\nos\n", []),
    # Position on the line.
    ("semicolon keeps the first", "import os; import sys\n", [imp("os")]),
    ("after a statement", "x = 1; import os\n", []),
    ("after a colon", "if x: import os\n", []),
    ("tab indentation", "\timport os\n", []),
    ("space indentation", "    import os\n", [imp("os")]),
    ("after a string literal", '"doc" import os\n', [imp("os")]),
    ("trailing comment", "import os  # import sys\n", [imp("os")]),
    ("non-ASCII name", "import caf\u00e9\n", [imp("caf")]),
    # Comments, strings and docstrings.
    ("comment", "# import os\n", []),
    ("continued comment", "# note \\\nimport os\nimport sys\n", [imp("sys")]),
    ("docstring", '"""\nimport os\n"""\nimport sys\n', [imp("sys")]),
    ("single-quoted docstring", "'''\nimport os\n'''\nimport sys\n", [imp("sys")]),
    ("string not at line start", 'x = """\nimport os\n"""\nimport sys\n', [imp("os"), imp("sys")]),
    (
        "closing quotes open a literal",
        'x = """\nimport os\n"""\nimport sys\ny = """\nimport z\n',
        [imp("os"), imp("z")],
    ),
    ("unterminated triple quote", '"""abc\nimport os\n', [imp("os")]),
    ("escaped quote", '"a\\"b" import os\n', []),
    ("prefixed strings", "r'x' import a\nRb\"y\" import b\nur'z' import c\n", [imp("a"), imp("b")]),
    ("space after prefix", 'r "x" import a\n', []),
    ("continued string literal", "'a\\\nimport b' import c\n", [imp("c")]),
    # Line breaks and continuations.
    ("crlf", "import a\r\nimport b\r\n", [imp("a"), imp("b")]),
    ("lone cr", "import a\rimport b", [imp("a"), imp("b")]),
    ("backslash continuation", "import a, \\\n    b\n", [imp("a", "b")]),
    ("from with backslash", "from a \\\nimport b\n", [frm("a", 0, "b")]),
    # Order and nesting.
    (
        "text order",
        "def f():\n    import a\n    if x:\n        from .b import c\nimport d\n",
        [imp("a"), frm("b", 1, "c"), imp("d")],
    ),
]


@pytest.mark.parametrize("source,expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_parse(source, expected):
    assert parse(source) == expected


def test_dict_key_order_and_level_zero():
    (stmt,) = parse("from a import b as c")
    assert list(stmt) == ["type", "module", "level", "names"]
    assert stmt["level"] == 0 and type(stmt["level"]) is int
    assert list(stmt["names"][0]) == ["name", "asname"]
    assert repr(parse("from . import a")) == (
        "[{'type': 'import_from', 'module': '', 'level': 1, 'names': [{'name': 'a'}]}]"
    )


def test_keyword_argument():
    assert parse(source="import os") == [imp("os")]


@pytest.mark.parametrize("bad", [1, b"import os", None])
def test_non_str_is_a_type_error(bad):
    with pytest.raises(TypeError, match="^argument 'source': "):
        parse(bad)


def test_lone_surrogate_fails_to_encode():
    with pytest.raises(UnicodeEncodeError):
        parse("import a\ud800")
