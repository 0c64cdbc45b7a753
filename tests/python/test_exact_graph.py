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


@pytest.fixture(scope="module")
def lattice(tmp_path_factory):
    # main imports p and q; p imports y, q imports x; both import t; the
    # first chain by the module before t goes through q.
    root = tmp_path_factory.mktemp("lattice")
    for name, text in {"main": "import p, q\n", "p": "import y\n", "q": "import x\n",
                       "x": "import t\n", "y": "import t\n", "t": ""}.items():
        (root / f"{name}.py").write_text(text)
    return tg.Builder(sys_path=[str(root)]).build(modules="main")


def test_chains_come_from_the_targets_end(lattice):
    assert lattice.why("t") == ["main", "q", "x", "t"]
    chains = lattice.chains("t")
    assert next(chains) == ["main", "q", "x", "t"]
    assert list(chains) == [["main", "p", "y", "t"]] and next(chains, None) is None
    with pytest.raises(tg.NotInGraph):
        lattice.chains("nowhere")


@pytest.fixture(scope="module")
def long_chain(tmp_path_factory):
    root = tmp_path_factory.mktemp("long")
    n = 20_000
    for k in range(n):
        with open(root / f"c{k}.py", "w") as f:
            f.write(f"import c{k + 1}\n" if k + 1 < n else "")
    return tg.Builder(sys_path=[str(root)]).build(modules="c0"), n


def test_long_chains_without_recursion(long_chain):
    graph, n = long_chain
    chain = graph.why(f"c{n - 1}")
    assert chain == [f"c{k}" for k in range(n)]
    assert graph.why(f"c{n - 1}", all=True) == [chain]
    assert graph[f"c{n - 1}"].depth == n - 1


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
    ({"scope": "typ"}, {"__main__"}),  # a prefix of a name is no package of it
])
def test_subgraph(graph, kwargs, kept):
    sub = graph.subgraph(**kwargs)
    assert set(sub) == kept
    assert all(sub[n].imports <= kept and sub[n].depth == graph[n].depth for n in sub)


@pytest.fixture(scope="module")
def app(tmp_path_factory):
    root = tmp_path_factory.mktemp("app")
    files = {
        "app/__init__.py": "",
        "app/core.py": "import json.decoder\nimport gone\nfrom . import util\n",
        "app/util.py": "import email.mime.text\n",
    }
    for name, text in files.items():
        (root / name).parent.mkdir(exist_ok=True)
        (root / name).write_text(text)
    builder = tg.Builder(sys_path=[str(root), *_config.base_path()])
    return builder.build(packages="app", within="app")


@pytest.mark.parametrize("scope, kept", [
    ("app", {"app", "app.core", "app.util"}),
    ("app.", {"app", "app.core", "app.util"}),  # the roots stay
    ("json.", {"app", "app.core", "app.util", "json.decoder"}),
    ("email.mime", {"app", "app.core", "app.util", "email.mime", "email.mime.text"}),
])
def test_subgraph_scope_with_a_dot_is_the_submodules(app, scope, kept):
    assert set(app.subgraph(scope=scope)) == kept


def test_collapsed_folds_outside_modules(app):
    folded = app.collapsed("app")
    assert set(folded) == {"app", "app.core", "app.util", "json", "email"}
    assert folded["app.core"].imports == {"app", "app.util", "json"}
    assert folded["email"].imports == frozenset()  # email.mime and email.mime.text are email
    assert (folded["json"].kind, folded["json"].origin) == (app["json"].kind, app["json"].origin)
    assert folded.sites("app.core", "json") == app.sites("app.core", "json.decoder")
    assert [p.importer for p in folded.problems] == ["app.core"]
    assert set(app.collapsed(["app", "json", "email"])) == set(app)
    with pytest.raises(tg.Error, match="packages must be"):
        app.collapsed([""])


def test_sites_carry_line_and_context(graph):
    (site,) = graph.sites("d", "c")
    assert (site.line, site.type_checking, site.module_level) == (3, True, True)
    (site,) = graph.sites("d", "e")
    assert (site.line, site.in_function, site.module_level) == (5, True, False)
    assert graph.sites("a", "c") == ()


def as_data(graph):
    """What to_json writes, from the graph's public surface."""
    return {
        "roots": list(graph.roots),
        "modules": [{"name": m.name, "kind": m.kind, "origin": m.origin, "depth": m.depth,
                     "imports": sorted(m.imports)} for m in graph.values()],
        "problems": [p._asdict() for p in graph.problems],
    }


@pytest.fixture(scope="module")
def odd(tmp_path_factory):
    """A graph whose names, origins and problems hold quotes, backslashes,
    tabs, characters outside ASCII and outside the BMP."""
    root = tmp_path_factory.mktemp("odd") / 'dir "q" \\ \u00fc\tx'
    files = {
        'we"ird.py': "import \u00fcn\u00ef\n",
        "\u00fcn\u00ef/__init__.py": "from . import sub\nimport gone\u00ad, \U0001F600\n",
        "\u00fcn\u00ef/sub.py": "from ... import x\nimport \u00fcn\u00ef.sub.deep\n",
        "\U0001F600.py": "",
        "back\\slash.py": "from .x import y\n",
        "bad.py": b"\xff\xfe\n",
    }
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text if isinstance(text, bytes) else text.encode())
    modules = ['we"ird', "back\\slash", "bad", "it's", 'both \' and "', "t\tab\x7f"]
    builder = tg.Builder(sys_path=[str(root), *_config.base_path()])
    with pytest.raises(tg.NotFound) as e:  # the names not found are problems of its graph
        builder.build(modules=modules)
    assert e.value.names == tuple(modules[3:])
    return e.value.graph


def test_json_is_what_json_dumps_writes(graph, odd):
    assert {p.kind for p in odd.problems} == {
        "not_found", "beyond_top_level", "no_parent_package", "unreadable"}
    for g in (graph, odd, graph.subgraph(max_depth=0)):
        for indent in (None, 0, 2, 5):
            assert g.to_json(indent) == json.dumps(as_data(g), indent=indent)


def test_problem_reasons_are_pythons(odd):
    not_found = [p for p in odd.problems if p.kind == "not_found"]
    assert {p.name for p in not_found} >= {"gone\u00ad", "it's", 'both \' and "', "t\tab\x7f"}
    for p in not_found:
        parent = p.name.rpartition(".")[0]
        want = f"No module named {p.name!r}"
        assert p.reason in (want, f"{want}; {parent!r} is not a package"), p
    assert "No module named '\u00fcn\u00ef.sub.deep'; '\u00fcn\u00ef.sub' is not a package" in {
        p.reason for p in not_found}


@pytest.mark.parametrize("indent, error", [
    (-1, tg.Error), (1.5, TypeError), ("  ", TypeError), (True, TypeError)])
def test_bad_indent(graph, indent, error):
    with pytest.raises(error, match="indent must be None or an int"):
        graph.to_json(indent)


@pytest.mark.parametrize("source, want", [
    ("from ..m import (x,\n  y as z)", [(True, "m", 2, (("x", None), ("y", "z")), 1)]),
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
