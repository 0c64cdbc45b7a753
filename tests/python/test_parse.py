"""tarnwick.parser.parse: the dict form of the records (tested in C++) and argument errors."""

import pytest

import tarnwick

parse = tarnwick.parser.parse

# Compared through repr(), so key order and types count: "level" is an int and
# present when 0, "module" is "" after bare dots, "asname" is left out when absent.
CASES = [
    ("", []),
    ("import a.b as c, d", [{"type": "import", "names": [{"name": "a.b", "asname": "c"}, {"name": "d"}]}]),
    ("from a import b", [{"type": "import_from", "module": "a", "level": 0, "names": [{"name": "b"}]}]),
    (
        "# caf\u00e9\r\nfrom .. import (x as y,)\rimport caf\u00e9\nfrom m import *\n",
        [
            {"type": "import_from", "module": "", "level": 2, "names": [{"name": "x", "asname": "y"}]},
            {"type": "import", "names": [{"name": "caf"}]},
        ],
    ),
]


@pytest.mark.parametrize("source,expected", CASES)
def test_parse(source, expected):
    assert repr(parse(source)) == repr(expected)
    assert parse(source=source) == expected
