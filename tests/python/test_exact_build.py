"""The exact engine's build: resolution that runs nothing, the arguments it
takes, and rebuilds that read only what changed."""

import importlib.machinery
import inspect
import os
import sys

import pytest

import tarnwick_graph as tg
from tarnwick_graph import _config


def build_in(root, *args, extra=(), workers=None, **kw):
    path = [str(root), *(str(root / e) for e in extra), *_config.base_path()]
    return tg.Builder(sys_path=path, workers=workers).build(*args, **kw)


FILES = {
    "main.py": "import evil.sub\nimport ns.a, ns.b\n",
    "evil/__init__.py": "import pathlib\npathlib.Path(__file__).with_name('RAN').write_text('')\n",
    "evil/sub.py": "import json\n",
    "ns/a.py": "", "extra/ns/b.py": "",
    "pkg/__init__.py": "", "pkg/tool.py": "from . import helper\n", "pkg/helper.py": "",
    "lib/__init__.py": "", "lib/a.py": "import json\nfrom . import b\n", "lib/b.py": "",
    "lib/sub/__init__.py": "", "lib/sub/c.py": "import lib.a\n", "lib/data/x.txt": "",
}


# What the build of a file or folder holds: module -> (kind, origin relative
# to the folder or None to leave it unchecked, depth), or None when it must
# not be in the graph.
@pytest.mark.parametrize("target, want", [
    ("main.py", {"evil": ("package", "evil/__init__.py", 1), "evil.sub": ("source", "evil/sub.py", 1),
                 "json": ("package", None, 2), "ns": ("namespace", None, 1),
                 "ns.b": ("source", "extra/ns/b.py", 1)}),
    # A file inside a package runs as python -m runs it.
    ("pkg/tool.py", {"pkg": ("package", "pkg/__init__.py", 1),
                     "pkg.helper": ("source", "pkg/helper.py", 1)}),
    # Every module of a package directory, what it imports from outside as leaves.
    ("lib", {"lib.a": ("source", "lib/a.py", 0), "lib.sub.c": ("source", "lib/sub/c.py", 0),
             "json": ("package", None, 1), "json.decoder": None}),
])
def test_resolution(project, target, want):
    root = project(FILES)
    before = set(sys.modules)
    graph = build_in(root, str(root / target), extra=["extra"])
    assert not set(graph) & (set(sys.modules) - before)  # found, never imported into the tool
    assert not (root / "evil" / "RAN").exists()
    for name, expected in want.items():
        module = graph.get(name)
        origin = expected and expected[1] and os.path.relpath(module.origin, root)
        assert expected == (module and (module.kind, origin, module.depth)), name
    one_worker = build_in(root, str(root / target), extra=["extra"], workers=1)
    assert one_worker.to_json() == graph.to_json()
    if target == "lib":  # within="*" reads what a package directory imports
        assert "json.decoder" in build_in(root, str(root / "lib"), within="*")


def test_frozen_standard_modules_are_read_from_their_source():
    os_module = tg.build(source="import os\n")["os"]
    if os_module.kind != "frozen":
        pytest.skip("this interpreter does not freeze os (-X frozen_modules=off)")
    assert os_module.origin.endswith("os.py") and {"abc", "stat"} <= os_module.imports


def test_a_meta_path_finder_of_the_host_is_asked(project, finder):
    root = project({"served.py": "import json\n"})
    asked = finder({"magic": importlib.machinery.ModuleSpec("magic", None,
                                                            origin=str(root / "served.py"))})
    magic = build_in(root, source="import magic\n")["magic"]
    assert "magic" in asked.asked and "json" in magic.imports
    assert (magic.kind, magic.origin) == ("source", str(root / "served.py"))


def test_rebuilds_read_only_what_changed(project):
    # Which rebuilds find what: tests/core/test_exact_rebuild.cpp.
    root = project({"main.py": "import a\n", "a.py": "import json\n"})
    builder = tg.Builder(sys_path=[str(root), *_config.base_path()])
    first = builder.build(str(root / "main.py"))
    native = next(iter(builder._natives.values()))
    assert native.stats()[0] is False
    assert builder.build(str(root / "main.py")) is first and native.stats()[:2] == (True, 0)
    (root / "a.py").write_text("import json  # a comment only\n")
    os.utime(root / "a.py", ns=(1, 1))
    assert builder.build(str(root / "main.py")) == first and native.stats()[:2] == (True, 1)


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
    fields = inspect.cleandoc(tg.Module.__doc__)  # 3.13 strips the indent itself
    for field in ("name", "kind", "origin", "depth", "imports", "imported_by"):
        assert f"\n{field}\n" in fields, field
    with pytest.raises(TypeError, match="graphs come from"):
        tg.Graph()


def test_import_loads_only_what_a_build_needs(run_python):
    proc = run_python("""
        import sys
        before = set(sys.modules)
        import tarnwick_graph
        print(*sorted(set(sys.modules) - before))
        print(tarnwick_graph.__version__ == tarnwick_graph.__version__ != "")
        print("importlib.metadata" in sys.modules)  # read on first use
        try:
            tarnwick_graph.no_such_name
        except AttributeError as e:
            print(e)
    """)
    loaded, *rest = proc.stdout.splitlines()
    assert not set(loaded.split()) & {"importlib.metadata", "json", "typing", "dataclasses",
                                      "threading", "tokenize", "argparse", "sysconfig", "inspect",
                                      "re", "email"}
    assert rest == ["True", "True", "module 'tarnwick_graph' has no attribute 'no_such_name'"]
