"""The exact engine: resolution that runs nothing, problems instead of
failures, true depths, and rebuilds that read only what changed."""

import importlib.machinery
import os
import sys

import pytest

import tarnwick_graph as tg
from tarnwick_graph import _config


def build_in(root, *args, extra=(), **kw):
    path = [str(root), *(str(root / e) for e in extra), *_config.base_path()]
    return tg.Builder(sys_path=path).build(*args, **kw)


EVIL_INIT = """
import pathlib
pathlib.Path(__file__).with_name("RAN").write_text("ran")
print("evil ran")
raise ImportError("never importable")
"""

# (files, build arguments, expectations) where expectations map a module to
# (kind, origin relative to the folder or None, depth), or to None when the
# module must not be in the graph.
RESOLUTION = {
    "a package is found, never run": (
        {"main.py": "import evil.sub\n", "evil/__init__.py": EVIL_INIT, "evil/sub.py": "import json\n"},
        ("main.py",),
        {"evil": ("package", "evil/__init__.py", 1), "evil.sub": ("source", "evil/sub.py", 1),
         "json": ("package", None, 2)},
    ),
    "a namespace package over two folders": (
        {"main.py": "import ns.a, ns.b\n", "ns/a.py": "", "extra/ns/b.py": ""},
        ("main.py",),
        {"ns": ("namespace", None, 1), "ns.a": ("source", "ns/a.py", 1),
         "ns.b": ("source", "extra/ns/b.py", 1)},
    ),
    "depths are shortest distances": (
        {"main.py": "import a\nimport c\n", "a.py": "import b\n", "b.py": "import c\n", "c.py": ""},
        ("main.py",),
        {"a": ("source", "a.py", 1), "b": ("source", "b.py", 2), "c": ("source", "c.py", 1)},
    ),
    "a file inside a package runs as python -m runs it": (
        {"pkg/__init__.py": "", "pkg/tool.py": "from . import helper\nfrom .. import x\n",
         "pkg/helper.py": ""},
        ("pkg/tool.py",),
        {"pkg.helper": ("source", "pkg/helper.py", 1), "pkg": ("package", "pkg/__init__.py", 1)},
    ),
    "every module of a package directory, the rest as leaves": (
        {"lib/__init__.py": "", "lib/a.py": "import json\nfrom . import b\n", "lib/b.py": "",
         "lib/sub/__init__.py": "", "lib/sub/c.py": "import lib.a\n", "lib/data/x.txt": ""},
        ("lib",),
        {"lib.a": ("source", "lib/a.py", 0), "lib.sub.c": ("source", "lib/sub/c.py", 0),
         "json": ("package", None, 1), "json.decoder": None},
    ),
}


@pytest.mark.parametrize("case", RESOLUTION, ids=list(RESOLUTION))
def test_resolution(project, case):
    files, args, want = RESOLUTION[case]
    root = project(files)
    before = set(sys.modules)
    graph = build_in(root, *(str(root / a) for a in args), extra=["extra"])
    assert not set(graph) & (set(sys.modules) - before)  # found, never imported into the tool
    for name, expected in want.items():
        if expected is None:
            assert name not in graph, name
            continue
        kind, origin, depth = expected
        module = graph[name]
        got_origin = module.origin if origin is None else os.path.relpath(module.origin, root)
        assert (module.kind, module.depth) == (kind, depth), name
        if origin is not None:
            assert got_origin == origin, name
    assert not (root / "evil" / "RAN").exists()
    if args == ("lib",):  # within="*" reads what a package directory imports
        assert "json.decoder" in build_in(root, str(root / "lib"), within="*")


def test_problems_never_stop_a_build(project):
    root = project({
        "main.py": "import missing\nimport sys.nope\nfrom . import x\nimport pkg.deep\nimport bad\n",
        "pkg/__init__.py": "", "pkg/deep.py": "from ... import y\n",
        "bad.py": b"\xff\xfe not utf-8\n",
    })
    graph = build_in(root, str(root / "main.py"))
    problems = {(p.importer, p.name, p.line, p.kind): p.reason for p in graph.problems}
    assert problems == {
        ("__main__", "missing", 1, "not_found"): "No module named 'missing'",
        ("__main__", "sys.nope", 2, "not_found"): "No module named 'sys.nope'; 'sys' is not a package",
        ("__main__", ".", 3, "no_parent_package"): "attempted relative import with no known parent package",
        ("pkg.deep", "...", 1, "beyond_top_level"): "attempted relative import beyond top-level package",
        ("bad", str(root / "bad.py"), 0, "unreadable"):
            "not valid UTF-8, and no coding cookie names another encoding",
    }
    assert {p.kind for p in graph.unresolved} == {"not_found", "no_parent_package", "beyond_top_level"}
    assert graph["bad"].imports == frozenset() and "pkg.deep" in graph


def test_frozen_standard_modules_are_read_from_their_source():
    graph = tg.build(source="import os\n")
    os_module = graph["os"]
    if os_module.kind != "frozen":
        pytest.skip("this interpreter does not freeze os (-X frozen_modules=off)")
    assert os_module.origin.endswith("os.py") and {"abc", "stat"} <= os_module.imports


def test_a_meta_path_finder_of_the_host_is_asked(project, finder):
    root = project({"served.py": "import json\n"})
    spec = importlib.machinery.ModuleSpec("magic", None, origin=str(root / "served.py"))
    asked = finder({"magic": spec})
    graph = build_in(root, source="import magic\n")
    assert "magic" in asked.asked
    assert (graph["magic"].kind, graph["magic"].origin) == ("source", str(root / "served.py"))
    assert "json" in graph["magic"].imports


def test_rebuilds_read_only_what_changed(project):
    root = project({"main.py": "import a\n", "a.py": "import json\n"})
    builder = tg.Builder(sys_path=[str(root), *_config.base_path()])
    first = builder.build(str(root / "main.py"))
    native = next(iter(builder._natives.values()))
    assert native.stats()[0] is False

    again = builder.build(str(root / "main.py"))
    assert again == first and native.stats()[:2] == (True, 0)

    (root / "a.py").write_text("import json  # a comment only\n")
    os.utime(root / "a.py", ns=(1, 1))
    unchanged = builder.build(str(root / "main.py"))
    assert native.stats()[:2] == (True, 1) and unchanged == first

    (root / "a.py").write_text("import json\nimport b\n")
    os.utime(root / "a.py", ns=(2, 2))
    missing = builder.build(str(root / "main.py"))
    assert [p.name for p in missing.unresolved if p.importer == "a"] == ["b"]

    (root / "b.py").write_text("")  # a new file: the folder changed
    found = builder.build(str(root / "main.py"))
    assert found["b"].depth == 2 and not [p for p in found.unresolved if p.importer == "a"]


E, T, N = tg.Error, TypeError, tg.NotFound


@pytest.mark.parametrize("kwargs, error, message", [
    ({}, E, "give exactly one of path, source, modules or packages"),
    ({"path": "x.py", "source": "import os"}, E, "give exactly one"),
    ({"modules": [".rel"]}, E, "modules must be absolute module names"),
    ({"modules": "json", "package": "p"}, E, "package applies to a path or a source"),
    ({"path": "/no/such/file.py"}, E, "no such file or directory"),
    ({"path": "/dev/null"}, E, "/dev/null: not a regular file"),
    ({"path": "a\0b.py"}, E, "cannot hold a NUL"),
    ({"source": "", "package": "p\0"}, E, "package must be an absolute package name"),
    ({"source": "", "skip": "loops"}, E, "skip takes class, function, guarded, type_checking"),
    ({"source": "", "workers": 0}, E, "workers must be None or a positive int, not 0"),
    ({"source": "", "workers": -2}, E, "workers must be None or a positive int"),
    ({"packages": "no_such"}, N, "No module named 'no_such'"),
    ({"modules": ["json", "json.nope"]}, N, "No module named 'json.nope'"),
    ({"source": b"import os"}, T, "source must be a str, not bytes"),
    ({"path": 3}, T, "expected str, bytes or os.PathLike object, not int"),
    ({"source": "", "within": [3]}, T, "within must be absolute module names"),
    ({"source": "", "package": 1}, T, "package must be a str"),
    ({"source": "", "skip": 1}, T, "skip must be a str or an iterable of str"),
    ({"source": "", "sys_path": "/usr/lib"}, T, "sys_path must be a sequence of str"),
    ({"source": "", "workers": 1.5}, T, "workers must be None or an int, not float"),
    ({"source": "", "workers": True}, T, "workers must be None or an int, not bool"),
])
def test_bad_arguments(kwargs, error, message):
    with pytest.raises(error, match=message) as e:
        tg.build(**kwargs)
    assert (e.type is TypeError) == (error is TypeError)  # a wrong type is no Error


def test_public_names_are_documented():
    for name in tg.__all__:
        value = getattr(tg, name)
        assert value.__doc__ and value.__doc__ is not getattr(type(value), "__doc__", None), name
        for attr, member in vars(value).items() if isinstance(value, type) else ():
            documented = attr.startswith("_") or attr in getattr(value, "__slots__", ())
            if not documented and callable(getattr(member, "__get__", None)):
                assert getattr(member, "__doc__", None), f"{name}.{attr}"
    for field in ("name", "kind", "origin", "depth", "imports", "imported_by"):
        assert f"\n    {field}\n" in tg.Module.__doc__, field
    with pytest.raises(TypeError, match="graphs come from"):
        tg.Graph()


@pytest.mark.parametrize("workers", [None, 1, 3])
def test_workers_give_the_same_graph(workers):
    graph = tg.build(source="import json\n", workers=workers)
    assert graph.to_json() == tg.build(source="import json\n").to_json()


def test_import_loads_only_what_a_build_needs(run_python):
    proc = run_python("""
        import sys
        before = set(sys.modules)
        import tarnwick_graph
        print(*sorted(set(sys.modules) - before))
        print(tarnwick_graph.__version__ == tarnwick_graph.__version__ != "")
        print("importlib.metadata" in sys.modules)
        try:
            tarnwick_graph.no_such_name
        except AttributeError as e:
            print(e)
    """)
    loaded, version_read, metadata, missing = proc.stdout.splitlines()
    heavy = {"importlib.metadata", "json", "typing", "dataclasses", "threading", "tokenize",
             "argparse", "sysconfig", "inspect", "re", "email"}
    assert not heavy & set(loaded.split())
    assert (version_read, metadata) == ("True", "True")  # read on first use
    assert missing == "module 'tarnwick_graph' has no attribute 'no_such_name'"
