"""Imports as statements write them, imports taken away, and the chains an
architecture check reports (compared with grimp too where it is installed)."""

import random
import sys

import pytest

import tarnwick_graph as tg
from conftest import write_files

EMPTY = ("__init__", "c", "sub/__init__", "pk/__init__", "pk/x")
APP = {f"app/{name}.py": "" for name in EMPTY} | {"ext/__init__.py": "", "ext/deep.py": ""}
APP |= {
    "app/a.py": "import app.sub.m\nfrom app import b\nfrom app import c, attr\n"
    "from app.pk import *\nfrom . import c\nfrom .sub import m\nimport app.nope\n"
    "from app.sub import nothing\nimport ext.deep\ndef f():\n    from app.pk import x\n",
    "app/b.py": "attr = 1\n",
    "app/sub/m.py": "from app import pk\nfrom app.pk import x\n",
}


def edges_of(graph):
    return {(a, b): graph.sites(a, b) for a in graph for b in graph[a].imports}


try:
    import grimp
except ImportError:  # the comparisons with grimp are left out
    grimp = None


def grimp_graph(root, package):
    sys.path.insert(0, str(root))
    try:
        return grimp.build_graph(package, cache_dir=None)
    finally:
        sys.path.remove(str(root))


def test_as_written_and_without_imports(tmp_path):
    graph = tg.build(packages="app", sys_path=[str(write_files(tmp_path, APP))])
    mine = graph.as_written()
    assert set(mine["app.a"].imports) == {"app", "app.b", "app.c", "app.pk", "app.pk.x", "app.sub",
                                          "app.sub.m", "ext.deep"}
    assert "ext" in graph["app.a"].imports and "app" not in mine["app.sub.m"].imports
    assert [s.line for s in mine.sites("app.a", "app")] == [3, 7]
    assert [(m.name, m.depth) for m in mine.values()] == [(m.name, m.depth) for m in graph.values()]
    assert (mine.roots, mine.problems) == (graph.roots, graph.problems)
    for one, other in [
        (mine.subgraph(scope="app"), graph.subgraph(scope="app").as_written()),
        (mine.collapsed("app"), graph.collapsed("app").as_written()),
    ]:
        assert list(one) == list(other) and edges_of(one) == edges_of(other)
    gone = {("app.a", "app.b"), ("app.a", "app.sub")}
    less = graph.without_imports([*gone, ("app.b", "app.a")])
    assert edges_of(less) == {k: v for k, v in edges_of(graph).items() if k not in gone}
    assert "app.a" not in less["app.b"].imported_by
    with pytest.raises(tg.NotInGraph, match="'nope'"):
        graph.without_imports([("app.a", "nope")])
    if grimp is None:
        return
    theirs = grimp_graph(tmp_path, "app")
    pairs = [(a, b) for a in theirs.modules for b in theirs.find_modules_directly_imported_by(a)]
    written = edges_of(mine.subgraph(scope="app"))
    assert {k: [s.line for s in v] for k, v in written.items()} == {
        (a, b): sorted(d["line_number"] for d in theirs.get_import_details(importer=a, imported=b))
        for a, b in pairs}


def test_chains_between_modules_and_packages(tmp_path):
    files = {"p/__init__.py": "", "p/a.py": "import x, y\n", "x.py": "import q.b\n"}
    files |= {"y.py": "import q.b\n", "q/__init__.py": "", "q/b.py": ""}
    graph = tg.build(packages="p", sys_path=[str(write_files(tmp_path, files))]).as_written()
    assert graph.chains("p.a", "q.b") == [["p.a", "x", "q.b"], ["p.a", "y", "q.b"]]
    assert graph.chain("p.a", "q.b") == ["p.a", "x", "q.b"]
    assert graph.chains("p", "q") == [] and graph.chain("p", "q") == []
    assert graph.chains("p", "q", as_packages=True) == graph.chains("p.a", "q.b")
    for args, kw in [(("p", "p"), {}), (("p", "p.a"), {"as_packages": True})]:
        with pytest.raises(tg.Error, match="share modules"):
            graph.chains(*args, **kw)
    with pytest.raises(tg.NotInGraph):
        graph.chain("p", "nope")
    with pytest.raises(TypeError, match="as_packages needs an imported name"):
        graph.chains("p", as_packages=True)


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


PACKAGES = {"p0": {"p0", "p0.a", "p0.b"}, "p1": {"p1", "p1.a", "p1.b"}, "p2": {"p2", "p2.a"}}
MODULES = sorted({*PACKAGES["p0"], *PACKAGES["p1"], *PACKAGES["p2"], "m0", "m1", "m2", "m3"})


def test_chains_on_random_graphs_where_shortest_chains_are_unique(tmp_path):
    compared = 0
    for seed in range(12):
        rng = random.Random(seed)
        edges = {(a, b) for a in MODULES for b in MODULES if a != b and rng.random() < 0.13}
        files = {m.replace(".", "/") + ("/__init__.py" if m in PACKAGES else ".py"):
                 "".join(f"import {b}\n" for a, b in sorted(edges) if a == m) for m in MODULES}
        root = write_files(tmp_path / str(seed), files)
        graph = tg.build(modules=MODULES, sys_path=[str(root)]).as_written()
        assert set(edges_of(graph)) == edges
        theirs = grimp.ImportGraph() if grimp else None
        for m in MODULES if theirs else ():
            theirs.add_module(m)
        for a, b in edges if theirs else ():
            theirs.add_import(importer=a, imported=b)
        cases = [(a, b, False) for a in MODULES for b in MODULES if a != b]
        cases += [(a, b, True) for a in PACKAGES for b in PACKAGES if a != b]
        for a, b, as_packages in cases:
            ends = (PACKAGES[a], PACKAGES[b]) if as_packages else ({a}, {b})
            expected = reference_chains(edges, *ends)
            if expected is None:
                continue
            compared += bool(expected)
            assert graph.chains(a, b, as_packages=as_packages) == sorted(expected), (seed, a, b)
            assert graph.chain(a, b, as_packages=as_packages) == (expected or [[]])[0]
            if theirs:
                grimps = theirs.find_shortest_chains(a, b, as_packages=as_packages)
                assert sorted(list(c) for c in grimps) == sorted(expected)
    assert compared > 100


LAYERS = {f"proj/{name}.py": "" for name in ("__init__", "high/__init__", "high/h1", "high/h2")}
LAYERS |= {"proj/mid/__init__.py": "", "proj/low/__init__.py": ""} | {
    "proj/mid/m1.py": "import proj.high.h1\n",
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

    def popped(excluded):
        found = graph._g.pop_chains(members("proj.low"), members("proj.high"), excluded)
        return [[names[i] for i in middle] for middle in found]

    found = sorted(popped(bytes(i in members("proj.mid") for i in range(len(names)))))
    assert found == [["proj.other"], ["proj.util"], ["proj.util2", "proj.util3"]]
    assert sorted(popped(None)) == [["proj.mid.m1"], *found]
    with pytest.raises(ValueError):
        graph._g.pop_chains([0], [0], None)
    if grimp is None:
        return
    layers = grimp_graph(tmp_path, "proj").find_illegal_dependencies_for_layers(
        ["proj.high", "proj.mid", "proj.low"])
    (low_high,) = [d for d in layers if (d.importer, d.imported) == ("proj.low", "proj.high")]
    assert sorted(list(r.middle) for r in low_high.routes if r.middle) == found


@pytest.mark.parametrize("data, text", [
    (b"x = 1\n  import m  # here\n", "import m  # here"),
    (b"# -*- coding: latin-1 -*-\nimport m; s = '\xe9'\n", "import m; s = '\xe9'"),
    (b"\xef\xbb\xbfx = 1\r\nimport m\r\n", "import m"),
    (b"x = 1\rimport m as \xff\xfe\r", "import m as \ufffd\ufffd"),
    (b"# coding: klingon\nimport m \xe9\n", "import m \ufffd"),
    (b"import m\n", None),
])
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
    text_graph = tg.build(source="import m\n", sys_path=[str(tmp_path)])
    assert text_graph.sites("__main__", "m")[0].text is None
    assert tg.scan("import m\n")[0].site.text is None
