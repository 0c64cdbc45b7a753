"""The exact engine's binding: paths as file-system bytes, errors for text
that is not valid Unicode, native scan records, collectable builders and
module state."""

import gc
import importlib.util
import json
import os
import weakref

import pytest

import tarnwick_graph as tg
from tarnwick_graph import _config, _native
from tarnwick_graph.cli import main

# A folder whose name is not valid UTF-8, as the interpreter hands it out.
BAD = os.fsdecode(b"bad\xffdir")


@pytest.fixture
def bad_dir(project):
    return project({f"{BAD}/a.py": "import b\n", f"{BAD}/b.py": "import keyword\n"}) / BAD


def test_paths_that_are_not_utf8_round_trip(bad_dir, capsys, monkeypatch):
    a, b = str(bad_dir / "a.py"), str(bad_dir / "b.py")
    graph = tg.build(a)
    assert (graph["__main__"].origin, graph["b"].origin) == (a, b)
    # The JSON text carries the bytes as json.dumps carries the str.
    text = graph.to_json()
    assert "\\udcff" in text and json.loads(text)["modules"][1]["origin"] == b
    assert json.loads(_native.render("json", ["b"], ["source"], [b], [0], [[]], [0], None))["modules"][0]["origin"] == b
    builder = tg.Builder(sys_path=[str(bad_dir)])
    assert builder.find("b") == ("source", b)
    assert builder.build(modules="b")["b"].origin == b
    monkeypatch.chdir(bad_dir.parent)
    assert main(["--json", os.path.join(BAD, "a.py")]) == 0
    out, err = capsys.readouterr()
    assert err == "" and json.loads(out)["modules"][1]["origin"] == b


# Each argument that takes text says which one holds a lone surrogate.
@pytest.mark.parametrize("call,message", [
    (lambda: tg.scan("import a\udcff"), "source holds a lone surrogate (U+DCFF at index 8)"),
    (lambda: tg.build(source="import os  # \udc80"), "source holds a lone surrogate (U+DC80"),
    (lambda: tg.build(modules=["a\udcff"]), "modules: 'a\\udcff' is not a module name"),
    (lambda: tg.build(packages=["\udcff"]), "packages: '\\udcff' is not a module name"),
    (lambda: tg.build(source="", within=["p\udcff"]), "within: 'p\\udcff' is not a module"),
    (lambda: tg.build(source="", package="p\udcff"), "package: 'p\\udcff' is not a module"),
    (lambda: tg.Builder().find("m\udcff"), "name: 'm\\udcff' is not a module name"),
    (lambda: tg.build(source="").collapsed("p\udcff"), "packages: 'p\\udcff' is not a mod"),
    # A graph holds no such name.
    (lambda: tg.build(source="import os")["os\udcff"], "NotInGraph: 'os\\udcff'"),
])
def test_text_that_is_not_unicode_is_an_error(call, message):
    with pytest.raises(tg.Error) as caught:
        call()
    assert message in f"{type(caught.value).__name__}: {caught.value}"


def test_scan_records_are_the_package_classes():
    text = "import a.b as c, d\nif x:\n    from ..m import (e,)\n"
    records = tg.scan(text)
    assert records == [tuple(r) for r in records]  # tuples, field for field
    first, second = records
    assert type(first) is tg.ImportStatement and type(first.site) is tg.Site
    assert [type(n) for n in first.names] == [tg.Alias, tg.Alias]
    assert first == (False, None, 0, (("a.b", "c"), ("d", None)), (1, False, False, False, False))
    assert second._replace(level=0) == (True, "m", 0, (("e", None),), second.site)
    assert hash(second) == hash(tuple(second)) and second.site.module_level
    assert eval(repr(second), vars(tg)) == second
    assert second._asdict()["names"] == (tg.Alias("e", None),)
    # The native scan without classes: plain tuples, the site inline.
    assert _native.scan(text) == [(False, None, 0, (("a.b", "c"), ("d", None)), 1, 0),
                                  (True, "m", 2, (("e", None),), 3, 0)]


@pytest.mark.parametrize("classes,message", [
    ((list, tg.Alias, tg.Site), "statement must be a tuple class"),
    ((tg.ImportStatement, tg.Site, tg.Site), "alias must have 2 fields"),
    ((tg.ImportStatement, tg.Alias, tuple), "has no attribute '_fields'"),
])
def test_scan_checks_its_record_classes(classes, message):
    with pytest.raises((TypeError, AttributeError), match=message):
        _native.scan("import a", *classes)


def test_a_finder_that_refers_to_its_builder_is_collected():
    class Finder:
        def find_spec(self, name, path=None, target=None):
            return importlib.util.spec_from_loader(name, None, origin="somewhere") if name == "zz_found" else None

    finder = Finder()
    finder.builder = _native.Builder(_config.finder_config([]) | {"meta_path": [finder, "builtin"]})
    assert finder.builder.find("zz_found") == ("foreign", "somewhere", None)
    gone = weakref.ref(finder)
    del finder
    gc.collect()
    assert gone() is None


def test_each_module_object_has_its_own_classes_and_state():
    spec = importlib.util.find_spec("tarnwick_graph._native")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    assert other.Error is not _native.Error and other.Builder is not _native.Builder
    builder = other.Builder(_config.finder_config([]))
    graph, _ = builder.build("modules", ["sys"], "", None, 0)
    assert type(graph) is other.Graph and type(graph.chains(0)) is other.Chains
    with pytest.raises(other.Error, match="'m\\\\udcff' is not a module name"):
        builder.find("m\udcff")
    assert builder.stats()[2] == 0


def test_the_module_loads_in_a_subinterpreter(run_python):
    """From 3.12 the interpreter has a lock of its own, which only modules
    declaring support for it may be loaded in."""
    run_python("""
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            import _interpreters as interpreters
        interp = interpreters.create()
        # A failure raises (3.11) or comes back as the result (3.13).
        failure = interpreters.run_string(interp, "import tarnwick_graph as tg; assert len(tg.build(source='import os'))")
        assert failure is None, failure
        interpreters.destroy(interp)
    """)
