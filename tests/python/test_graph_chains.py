"""Imports as statements write them, imports taken away, and the chains an
architecture check reports (compared with grimp where it is installed)."""

import random
import sys

import pytest

import tarnwick_graph as tg
from conftest import write_files

APP = {
    "app/__init__.py": "",
    "app/b.py": "attr = 1\n",
    "app/c.py": "",
    "app/sub/__init__.py": "",
    "app/sub/m.py": "from app import pk\nfrom app.pk import x\n",
    "app/pk/__init__.py": "",
    "app/pk/x.py": "",
    "ext/__init__.py": "",
    "ext/deep.py": "",
}


def build_app(root, text):
    write_files(root, {**APP, "app/a.py": text})
    return tg.build(packages="app", sys_path=[str(root)])


@pytest.mark.parametrize(
    "text, written",
    [
        ("import app.sub.m", {"app.sub.m"}),
        ("from app import b", {"app.b"}),
        ("from app import b, attr", {"app", "app.b"}),
        ("from app import *", {"app"}),
        ("from . import b, c", {"app.b", "app.c"}),
        ("from .sub import m", {"app.sub.m"}),
        ("from app.sub import nothing", {"app.sub"}),
        ("import app.sub.nope.x", {"app.sub"}),
        ("import app.sub.m\nimport app.sub", {"app.sub", "app.sub.m"}),
    ],
)
def test_as_written_keeps_what_statements_name(tmp_path, text, written):
    graph = build_app(tmp_path, text)
    assert "app" in graph["app.a"].imports
    mine = graph.as_written()
    assert set(mine["app.a"].imports) == written
    assert [(m.name, m.depth, m.kind) for m in mine.values()] == [
        (m.name, m.depth, m.kind) for m in graph.values()
    ]
    assert (mine.roots, mine.problems) == (graph.roots, graph.problems)
    for name in written:
        assert mine.sites("app.a", name) and set(mine.sites("app.a", name)) <= set(
            graph.sites("app.a", name)
        )


def test_as_written_matches_grimp(tmp_path):
    grimp = pytest.importorskip("grimp")
    text = (
        "import app.sub.m\nfrom app import b\nfrom app import c, attr\nfrom app.pk import *\n"
        "from . import c\nfrom .sub import m\nimport app.nope\nfrom app.sub import nothing\n"
        "import app.sub.zz\ndef f():\n    from app.pk import x\n"
    )
    mine = build_app(tmp_path, text).as_written().subgraph(scope="app")
    sys.path.insert(0, str(tmp_path))
    try:
        theirs = grimp.build_graph("app", cache_dir=None)
    finally:
        sys.path.remove(str(tmp_path))
    lines = {}
    for a in theirs.modules:
        for b in theirs.find_modules_directly_imported_by(a):
            details = theirs.get_import_details(importer=a, imported=b)
            lines[a, b] = sorted(d["line_number"] for d in details)
    assert {k: [s.line for s in v] for k, v in edges_of(mine).items()} == lines


def edges_of(graph):
    return {(a, b): graph.sites(a, b) for a in graph for b in graph[a].imports}


def test_as_written_composes_with_the_other_views(tmp_path):
    graph = build_app(tmp_path, "import app.sub.m\nfrom app import b, pk\nimport ext.deep\n")
    pairs = [
        (graph.as_written().subgraph(scope="app"), graph.subgraph(scope="app").as_written()),
        (graph.as_written().collapsed("app"), graph.collapsed("app").as_written()),
    ]
    for one, other in pairs:
        assert list(one) == list(other) and edges_of(one) == edges_of(other)
    assert ("app.a", "ext") in edges_of(graph.as_written().collapsed("app"))


def test_without_imports(tmp_path):
    graph = build_app(tmp_path, "import app.sub.m\nfrom app import b\n")
    less = graph.without_imports([("app.a", "app.b"), ("app.b", "app.a"), ("app.a", "app.sub")])
    assert edges_of(less) == {
        k: v for k, v in edges_of(graph).items() if k not in {("app.a", "app.b"), ("app.a", "app.sub")}
    }
    assert less.edge_count == graph.edge_count - 2 and "app.a" not in less["app.b"].imported_by
    assert [m.depth for m in less.values()] == [m.depth for m in graph.values()]
    with pytest.raises(tg.NotInGraph, match="'nope'"):
        graph.without_imports([("app.a", "nope")])


def test_chains_between_modules_and_packages(tmp_path):
    write_files(
        tmp_path,
        {
            "p/__init__.py": "",
            "p/a.py": "import x\nimport y\n",
            "x.py": "import q.b\n",
            "y.py": "import q.b\n",
            "q/__init__.py": "",
            "q/b.py": "",
        },
    )
    graph = tg.build(packages="p", sys_path=[str(tmp_path)]).as_written()
    assert graph.chains("p.a", "q.b") == [["p.a", "x", "q.b"], ["p.a", "y", "q.b"]]
    assert graph.chain("p.a", "q.b") == ["p.a", "x", "q.b"]
    assert graph.chains("p", "q") == [] and graph.chain("p", "q") == []
    assert graph.chains("p", "q", as_packages=True) == graph.chains("p.a", "q.b")
    assert list(graph.chains("q.b")) == [["p.a", "x", "q.b"], ["p.a", "y", "q.b"]]
    for args, kw in [(("p", "p"), {}), (("p", "p.a"), {"as_packages": True})]:
        with pytest.raises(tg.Error, match="share modules"):
            graph.chains(*args, **kw)
    with pytest.raises(tg.NotInGraph):
        graph.chain("p", "nope")


def reference_chains(edges, sources, targets):
    """The chains in the order found, when each step's shortest chain is the
    only one (None otherwise): a shortest chain, its edges removed, and so on."""
    edges, found = set(edges), []
    while True:
        count, pred, layer, hits = {s: 1 for s in sources}, {}, sorted(sources), []
        while layer and not hits:
            reached = {}
            for u in layer:
                for b in sorted(b for a, b in edges if a == u and b not in count):
                    reached[b], pred[b] = reached.get(b, 0) + count[u], u
            count.update(reached)
            hits = [v for v in reached if v in targets]
            layer = [v for v in reached if v not in targets]
        if not hits:
            return found
        if sum(count[t] for t in hits) != 1:
            return None
        chain = [hits[0]]
        while chain[-1] not in sources:
            chain.append(pred[chain[-1]])
        found.append(chain[::-1])
        edges -= set(zip(found[-1], found[-1][1:]))


PACKAGES = {"p0": ["p0.a", "p0.b"], "p1": ["p1.a", "p1.b"], "p2": ["p2.a"]}
MODULES = [*PACKAGES, *(m for ms in PACKAGES.values() for m in ms), "m0", "m1", "m2", "m3"]


def random_graph(root, seed):
    rng = random.Random(seed)
    edges = {(a, b) for a in MODULES for b in MODULES if a != b and rng.random() < 0.13}
    files = {}
    for m in MODULES:
        path = m.replace(".", "/") + ("/__init__.py" if m in PACKAGES else ".py")
        files[path] = "".join(f"import {b}\n" for a, b in sorted(edges) if a == m)
    write_files(root, files)
    graph = tg.build(modules=MODULES, sys_path=[str(root)]).as_written()
    assert set(edges_of(graph)) == edges
    return graph, edges


def test_chains_match_grimp_where_shortest_chains_are_unique(tmp_path):
    grimp = pytest.importorskip("grimp")
    compared = 0
    for seed in range(12):
        graph, edges = random_graph(tmp_path / str(seed), seed)
        theirs = grimp.ImportGraph()
        for m in MODULES:
            theirs.add_module(m)
        for a, b in edges:
            theirs.add_import(importer=a, imported=b)
        members = {p: {p, *ms} for p, ms in PACKAGES.items()}
        cases = [(a, b, False) for a in MODULES for b in MODULES if a != b]
        cases += [(a, b, True) for a in PACKAGES for b in PACKAGES if a != b]
        for a, b, as_packages in cases:
            ends = (members[a], members[b]) if as_packages else ({a}, {b})
            expected = reference_chains(edges, *ends)
            mine = graph.chains(a, b, as_packages=as_packages)
            grimps = theirs.find_shortest_chains(a, b, as_packages=as_packages)
            if expected is None:
                continue
            compared += bool(expected)
            assert mine == sorted(expected) == sorted(list(c) for c in grimps), (seed, a, b)
            assert graph.chain(a, b, as_packages=as_packages) == (expected or [[]])[0]
    assert compared > 100


LAYERS = {
    "proj/__init__.py": "",
    "proj/high/__init__.py": "",
    "proj/high/h1.py": "",
    "proj/high/h2.py": "",
    "proj/mid/__init__.py": "",
    "proj/mid/m1.py": "import proj.high.h1\n",
    "proj/low/__init__.py": "",
    "proj/low/l1.py": "from proj import util, util2\nfrom proj.high import h2\n",
    "proj/low/l2.py": "import proj.util\nfrom proj.mid import m1\nimport proj.other\n",
    "proj/util.py": "from proj.high import h1\n",
    "proj/util2.py": "import proj.util3\nimport proj.util\n",
    "proj/util3.py": "from proj.high import h2\n",
    "proj/other.py": "import proj.high\n",
}


def test_popped_chains_are_the_layers_checks_middles(tmp_path):
    graph = tg.build(packages="proj", sys_path=[str(write_files(tmp_path, LAYERS))]).as_written()
    names = list(graph)

    def members(package):
        return [i for i, n in enumerate(names) if n == package or n.startswith(package + ".")]

    excluded = bytes(i in members("proj.mid") for i in range(len(names)))
    middles = graph._g.pop_chains(members("proj.low"), members("proj.high"), excluded)
    found = [[names[i] for i in middle] for middle in middles]
    assert found == [["proj.other"], ["proj.util"], ["proj.util2", "proj.util3"]]
    every = graph._g.pop_chains(members("proj.low"), members("proj.high"), None)
    assert [[names[i] for i in m] for m in every] == [["proj.mid.m1"], *found]
    with pytest.raises(ValueError):
        graph._g.pop_chains([0], [0], None)
    grimp = pytest.importorskip("grimp")
    sys.path.insert(0, str(tmp_path))
    try:
        theirs = grimp.build_graph("proj", cache_dir=None)
    finally:
        sys.path.remove(str(tmp_path))
    layers = theirs.find_illegal_dependencies_for_layers(["proj.high", "proj.mid", "proj.low"])
    (low_high,) = [d for d in layers if (d.importer, d.imported) == ("proj.low", "proj.high")]
    assert sorted(list(r.middle) for r in low_high.routes if r.middle) == found


@pytest.mark.parametrize(
    "data, text",
    [
        (b"x = 1\n  import m  # here\n", "import m  # here"),
        (b"# -*- coding: latin-1 -*-\nimport m; s = '\xe9'\n", "import m; s = '\xe9'"),
        (b"\xef\xbb\xbfx = 1\r\nimport m\r\n", "import m"),
        (b"x = 1\rimport m as \xff\xfe\r", "import m as \ufffd\ufffd"),
        (b"# coding: klingon\nimport m \xe9\n", "import m \ufffd"),
        (b"import m\n", None),
    ],
)
def test_site_text_is_the_statements_line_read_when_asked(tmp_path, data, text):
    write_files(tmp_path, {"main.py": "x = 1\nimport m\n", "m.py": ""})
    graph = tg.build(str(tmp_path / "main.py"), sys_path=[str(tmp_path)])
    (site,) = graph.sites("__main__", "m")
    (tmp_path / "main.py").write_bytes(data)
    assert (site.line, site.text, repr(site)) == (2, text, repr(tg.Site._make(site)))
    assert graph.as_written().subgraph(scope="m").sites("__main__", "m")[0].text == text
    assert graph.collapsed().sites("__main__", "m")[0].text is None
    (tmp_path / "main.py").unlink()
    assert graph.sites("__main__", "m")[0].text is None and site.text == text


def test_site_without_a_file_has_no_text():
    graph = tg.build(source="import sys\n")
    assert graph.sites("__main__", "sys")[0].text is None
    assert tg.scan("import sys\n")[0].site.text is None
