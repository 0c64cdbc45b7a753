"""The Graph the exact engine returns: a read-only mapping with queries."""

import json
import re

import pytest

import tarnwick_graph as tg
from conftest import write_files
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


def builder_of(root, files):
    return tg.Builder(sys_path=[str(write_files(root, files)), *_config.base_path()])


@pytest.fixture(scope="module")
def build(tmp_path_factory):
    root = tmp_path_factory.mktemp("graph")
    builder = builder_of(root, FILES)
    # Only the files above are read; typing is a leaf.
    return lambda **kw: builder.build(str(root / "main.py"), within=[n[:-3] for n in FILES], **kw)


@pytest.fixture(scope="module")
def graph(build):
    return build()


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


def test_why_and_chains(graph):
    # Which chains, in which order: tests/core/test_exact_output.cpp; several
    # at once: the command line's --why --all.
    assert graph.why("c") == ["__main__", "d", "c"] and graph.why("__main__") == ["__main__"]
    assert graph.why("b", all=True) == [["__main__", "a", "b"]]
    chains = graph.chains("c")
    assert next(chains) == ["__main__", "d", "c"] and next(chains, None) is None


def test_cycles_and_importers(graph):
    assert graph.cycles() == [["a", "b"]]
    assert graph.importers("c", transitive=False) == {"b", "c", "d"}
    assert graph.importers("c") == {"__main__", "a", "b", "c", "d"}
    assert graph.importers("a") == {"__main__", "a", "b"}  # through the cycle
    assert graph.importers(["e", "typing"]) == {"__main__", "d"}


@pytest.fixture(scope="module")
def app(tmp_path_factory):
    return builder_of(tmp_path_factory.mktemp("app"), {
        "app/__init__.py": "", "app/util.py": "import email.mime.text\n",
        "app/core.py": "import json.decoder\nimport gone\nfrom . import util\n",
    }).build(packages="app", within="app")


APP = {"app", "app.core", "app.util"}


@pytest.mark.parametrize("which, kwargs, kept", [
    ("graph", {"max_depth": 1}, {"__main__", "a", "d"}),
    ("graph", {"scope": "c"}, {"__main__", "c"}),
    ("graph", {"scope": ["a", "b"], "max_depth": 1}, {"__main__", "a"}),
    ("graph", {"scope": "typ"}, {"__main__"}),  # a prefix of a name is no package of it
    ("app", {"scope": "app."}, APP),  # the roots stay
    ("app", {"scope": "json."}, APP | {"json.decoder"}),
    ("app", {"scope": "email.mime"}, APP | {"email.mime", "email.mime.text"}),
])
def test_subgraph(request, which, kwargs, kept):
    whole = request.getfixturevalue(which)
    sub = whole.subgraph(**kwargs)
    assert set(sub) == kept
    assert all(sub[n].imports <= kept and sub[n].depth == whole[n].depth for n in sub)


def test_collapsed_folds_outside_modules(app):
    # How modules fold: tests/core/test_exact_output.cpp.
    folded = app.collapsed("app")
    assert set(folded) == APP | {"json", "email"}
    assert folded["app.core"].imports == {"app", "app.util", "json"}
    assert folded.sites("app.core", "json") == app.sites("app.core", "json.decoder")
    assert [p.importer for p in folded.problems] == ["app.core"]
    assert set(app.collapsed(["app", "json", "email"])) == set(app)


def test_sites_carry_line_and_context(graph):
    (site,) = graph.sites("d", "c")
    assert (site.line, site.type_checking, site.module_level) == (3, True, True)
    (site,) = graph.sites("d", "e")
    assert (site.line, site.in_function, site.module_level) == (5, True, False)
    assert graph.sites("a", "c") == ()


def as_data(graph):
    """What to_json writes, from the graph's public surface."""
    return {"roots": list(graph.roots),
            "modules": [{"name": m.name, "kind": m.kind, "origin": m.origin, "depth": m.depth,
                         "imports": sorted(m.imports)} for m in graph.values()],
            "problems": [p._asdict() for p in graph.problems]}


@pytest.fixture(scope="module")
def odd(tmp_path_factory):
    """A graph whose names, origins and problems hold quotes, backslashes,
    tabs, characters outside ASCII and outside the BMP."""
    builder = builder_of(tmp_path_factory.mktemp("odd") / 'dir "q" \\ \u00fc\tx', {
        'we"ird.py': "import \u00fcn\u00ef\n",
        "\u00fcn\u00ef/__init__.py": "from . import sub\nimport gone\u00ad, \U0001F600\n",
        "\u00fcn\u00ef/sub.py": "from ... import x\nimport \u00fcn\u00ef.sub.deep\n",
        "\U0001F600.py": "",
        "back\\slash.py": "from .x import y\n",
        "bad.py": b"\xff\xfe\n",
    })
    modules = ['we"ird', "back\\slash", "bad", "it's", 'both \' and "', "t\tab\x7f"]
    with pytest.raises(tg.NotFound) as e:  # the names not found are problems of its graph
        builder.build(modules=modules)
    assert e.value.names == tuple(modules[3:])
    return e.value.graph


def test_json_is_what_json_dumps_writes(graph, odd):
    assert {p.kind for p in odd.problems} == {
        "not_found", "beyond_top_level", "no_parent_package", "unreadable"}
    assert odd.unresolved == tuple(p for p in odd.problems if p.kind != "unreadable")
    assert {p.reason for p in odd.problems if p.kind == "not_found"} >= {
        "No module named 'both \\' and \"'", "No module named 't\\tab\\x7f'",
        "No module named '\u00fcn\u00ef.sub.deep'; '\u00fcn\u00ef.sub' is not a package"}
    for g in (graph, odd, graph.subgraph(max_depth=0)):
        for indent in (None, 0, 2, 5):
            assert g.to_json(indent) == json.dumps(as_data(g), indent=indent)


@pytest.mark.parametrize("call, error, message", [
    (lambda g: g.to_json(-1), tg.Error, "indent must be None or an int"),
    (lambda g: g.to_json(1.5), TypeError, "indent must be None or an int"),
    (lambda g: g.to_json("  "), TypeError, "indent must be None or an int"),
    (lambda g: g.to_json(True), TypeError, "indent must be None or an int"),
    (lambda g: g.collapsed([""]), tg.Error, "packages must be package names"),
    (lambda g: g.chains("nowhere"), tg.NotInGraph, "nowhere"),
    (lambda g: tg.scan(3), tg.Error, "source must be str or bytes"),
])
def test_bad_arguments(graph, call, error, message):
    with pytest.raises(error, match=message) as e:
        call(graph)
    assert (e.type is TypeError) == (error is TypeError)


@pytest.mark.parametrize("source, want", [
    (b"# coding: latin-1\nimport \xe9t\xe9", [(False, None, 0, (("\xe9t\xe9", None),), 2, False)]),
    ("import \uff41", [(False, None, 0, (("a", None),), 1, False)]),  # NFKC, as the parser does
    ("try:\n    import a\nexcept ImportError:\n    pass\n", [(False, None, 0, (("a", None),), 2, True)]),
])
def test_scan(source, want):
    assert want == [(s.is_from, s.module, s.level, tuple(s.names), s.site.line, s.site.guarded)
                    for s in tg.scan(source)]


def test_skipped_contexts_are_not_followed(build):
    graph = build(skip=("function", "type_checking"))
    assert graph["d"].imports == {"typing"} and "e" not in graph
