"""The Graph the exact engine returns: a read-only mapping with queries."""

import json
import re

import pytest

import tarnwick_graph as tg
from tarnwick_graph import _config

FILES = {
    # main -> a -> b -> c, main -> d -> c; a <-> b is a cycle; c imports
    # itself (an edge, but no cycle).
    "main.py": "import a\nimport d\n",
    "a.py": "import b\n",
    "b.py": "import a\nimport c\n",
    "c.py": "import c\n",
    "d.py": "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    import c\ndef f():\n    import e\n",
    "e.py": "",
}


@pytest.fixture(scope="module")
def graph(tmp_path_factory):
    root = tmp_path_factory.mktemp("graph")
    for name, text in FILES.items():
        (root / name).write_text(text)
    # Only the files above are read; typing is a leaf.
    within = [name[:-3] for name in FILES]
    return tg.Builder(sys_path=[str(root), *_config.base_path()]).build(str(root / "main.py"), within=within)


def test_mapping(graph):
    assert list(graph) == sorted(graph) == ["__main__", "a", "b", "c", "d", "e", "typing"]
    assert len(graph) == 7 and "a" in graph and "zz" not in graph and 3 not in graph
    assert graph.get("zz") is None and graph.root == "__main__" and graph.roots == ("__main__",)
    with pytest.raises(KeyError) as e:
        graph["zz"]
    assert isinstance(e.value, tg.Error) and str(e.value) == "'zz' is not in the graph"
    b = graph["b"]
    assert (b.imports, b.imported_by, b.depth, b.kind) == ({"a", "c"}, {"a"}, 2, "source")
    assert repr(b) == "Module('b', kind='source', depth=2)" and b == graph["b"]
    assert re.fullmatch(r"<Graph: 7 modules, 9 imports, root='__main__'>", repr(graph))


@pytest.mark.parametrize("name, one, every", [
    ("c", ["__main__", "d", "c"], [["__main__", "d", "c"]]),
    ("b", ["__main__", "a", "b"], [["__main__", "a", "b"]]),
    ("__main__", ["__main__"], [["__main__"]]),
])
def test_why(graph, name, one, every):
    assert graph.why(name) == one and graph.why(name, all=True) == every


def test_cycles_and_importers(graph):
    assert graph.cycles() == [["a", "b"]]
    assert graph.importers("c", transitive=False) == {"b", "c", "d"}
    assert graph.importers("c") == {"__main__", "a", "b", "c", "d"}
    assert graph.importers("a") == {"__main__", "a", "b"}  # through the cycle
    assert graph.importers(["e", "typing"]) == {"__main__", "d"}


@pytest.mark.parametrize("kwargs, kept", [
    ({"max_depth": 1}, {"__main__", "a", "d"}),
    ({"scope": "c"}, {"__main__", "c"}),
    ({"scope": ["a", "b"], "max_depth": 1}, {"__main__", "a"}),
])
def test_subgraph(graph, kwargs, kept):
    sub = graph.subgraph(**kwargs)
    assert set(sub) == kept
    assert all(sub[n].imports <= kept and sub[n].depth == graph[n].depth for n in sub)


def test_sites_carry_line_and_context(graph):
    (site,) = graph.sites("d", "c")
    assert (site.line, site.type_checking, site.module_level) == (3, True, True)
    (site,) = graph.sites("d", "e")
    assert (site.line, site.in_function, site.module_level) == (5, True, False)
    assert graph.sites("a", "c") == ()


def test_json_and_dot(graph):
    data = json.loads(graph.to_json())
    modules = {m["name"]: m for m in data["modules"]}
    assert data["roots"] == ["__main__"] and modules["b"]["imports"] == ["a", "c"]
    assert modules["typing"]["depth"] == 2 and modules["typing"]["kind"] in ("source", "frozen")
    dot = graph.to_dot()
    assert '"b" -> "c";' in dot and '"__main__" [label="__main__", peripheries=2];' in dot


@pytest.mark.parametrize("source, want", [
    ("import a.b as c, d", [(False, None, 0, (("a.b", "c"), ("d", None)), 1)]),
    ("from ..m import (x,\n  y as z)", [(True, "m", 2, (("x", None), ("y", "z")), 1)]),
    ("try:\n    from . import *\nexcept ImportError: pass", [(True, None, 1, (("*", None),), 2)]),
    (b"# coding: latin-1\nimport \xe9t\xe9", [(False, None, 0, (("\xe9t\xe9", None),), 2)]),
    ("import \uff41", [(False, None, 0, (("a", None),), 1)]),  # NFKC, as the parser stores names
])
def test_scan(source, want):
    got = [(s.is_from, s.module, s.level, tuple(s.names), s.site.line) for s in tg.scan(source)]
    assert got == want


def test_scan_flags():
    (stmt,) = tg.scan("try:\n    import a\nexcept ImportError:\n    pass\n")
    assert stmt.site.guarded and stmt.site.module_level
    with pytest.raises(tg.Error, match="source must be str or bytes"):
        tg.scan(3)


@pytest.mark.parametrize("skip, imports_of_d", [
    ((), {"c", "e", "typing"}),
    (("type_checking",), {"e", "typing"}),
    (("function", "type_checking"), {"typing"}),
])
def test_skipped_contexts_are_not_followed(tmp_path, skip, imports_of_d):
    for name, text in FILES.items():
        (tmp_path / name).write_text(text)
    builder = tg.Builder(sys_path=[str(tmp_path), *_config.base_path()])
    graph = builder.build(str(tmp_path / "main.py"), within=["a", "b", "c", "d", "e"], skip=skip)
    assert graph["d"].imports == imports_of_d
    assert ("e" in graph) == ("function" not in skip)
