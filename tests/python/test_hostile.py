"""Bad files and hostile packages: each tree is built with one builder, which
must then still build a plain text correctly."""

import builtins
import json
import os
import re
import subprocess
import sys
import zipfile
from importlib.machinery import ModuleSpec
from types import SimpleNamespace

import pytest

import tarnwick
import tarnwick_graph as tg
from tarnwick_graph.cli import main as graph_main

R = "<terminal>"
AFTER = {"after.py": "import after_dep\n", "after_dep.py": ""}


# A build of the builder started inside its own build (from a package's
# __init__, run by the spec lookup) is refused; had it run, the package's
# import would fail and hide reenter.sub.
REENTER = ("import builtins\ntry:\n    builtins.hostile_builder.build('')\nexcept RuntimeError as e:\n"
           "    assert str(e) == 'Already borrowed', e\nelse:\n    raise AssertionError('the nested build ran')\n")
CASES = [
    # id, files, finder specs {name: (origin relative to the tree, parent)}, text, the
    # modules found or a pattern of the error raised
    ("not_utf8", {"latin.py": b"# caf\xe9\n"}, {}, "import latin",
     r"PanicException: Failed to read file '.*latin\.py': stream did not contain valid UTF-8"),
    ("nul_byte", {"nul.py": b"x = '\x00'\nimport nul_dep\x00\n", "nul_dep.py": ""}, {}, "import nul",
     {R, "nul", "nul_dep"}),
    # A line starting with a BOM is an ordinary line, not an import.
    ("bom", {"bom.py": "\ufeffimport hidden\nimport shown\n", "hidden.py": "", "shown.py": ""}, {},
     "import bom", {R, "bom", "shown"}),
    ("empty_file", {"empty.py": ""}, {}, "import empty", {R, "empty"}),
    ("ten_megabytes", {"big.py": "import big_a\n" + "x = 1  # filler\n" * 655_360 + "import big_b\n",
                       "big_a.py": "", "big_b.py": ""}, {}, "import big", {R, "big", "big_a", "big_b"}),
    # find_spec of a submodule imports the package; even a SystemExit there only hides the submodule.
    ("init_exits", {"quitter/__init__.py": "import sys\nsys.exit(3)\n", "quitter/sub.py": ""}, {},
     "import quitter\nimport quitter.sub", {R, "quitter", "sys"}),
    ("nested_build", {"reenter/__init__.py": REENTER, "reenter/sub.py": ""}, {}, "import reenter.sub",
     {R, "reenter", "reenter.sub", "builtins"}),
    # Modules sharing link.py, `from . import x`: with `parent` set to the next
    # module's name, each imports the next, the last the first.
    ("cycle_1000", {"link.py": "from . import x\n"}, {f"cy{i}": ("link.py", f"cy{(i + 1) % 1000}") for i in range(1000)},
     "import cy0", {R} | {f"cy{i}" for i in range(1000)}),
]


def outcome(call):
    try:
        graph = call()
    except BaseException as e:  # PanicException derives from BaseException
        return f"{type(e).__name__}: {e}"
    names = set(graph.names())
    for name in names - {R}:
        node = graph.get(name)
        assert node.depth >= 1 and set(node.dependents) <= names
    return names


@pytest.mark.parametrize("files, specs, text, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_hostile_tree_then_plain_build(tree, finder, monkeypatch, files, specs, text, expected):
    root = tree(files | AFTER)
    finder({name: SimpleNamespace(name=name, origin=str(root / origin), parent=parent,
                                  submodule_search_locations=None)
            for name, (origin, parent) in specs.items()})
    builder = tarnwick.GraphBuilder()
    monkeypatch.setattr(builtins, "hostile_builder", builder, raising=False)
    got = outcome(lambda: builder.build(text))
    assert got == expected if isinstance(expected, set) else re.fullmatch(expected, got), got
    assert outcome(lambda: builder.build("import after")) == {R, "after", "after_dep"}


class PackageAnsweredInside(dict):
    """Answers find_spec("loop") with a module inside "loop", as a sys.modules alias or a stateful
    finder can: the same name every time, or a new one each time; interrupts after 10,000 asks."""

    def __init__(self, shifting):
        super().__init__(loop=None)
        self.shifting, self.calls = shifting, 0

    def get(self, name, default=None):
        if name != "loop":
            return default
        self.calls += 1
        if self.calls > 10_000:
            raise KeyboardInterrupt
        return ModuleSpec(f"loop.inner{self.calls if self.shifting else ''}", None)


@pytest.mark.parametrize("shifting", [False, True], ids=["same_name", "new_name"])
def test_package_answered_by_a_module_inside_it_ends_the_build(finder, shifting):
    # The answer for the enclosing package has no fewer name components than
    # the module that asked, so it is ignored like a self-import.
    specs = finder(PackageAnsweredInside(shifting)).specs
    graph = tarnwick.GraphBuilder().build("import loop")
    assert specs.calls == 2
    assert graph.keys() == {R, "loop.inner1" if shifting else "loop.inner"}


def test_a_name_written_again_in_a_statement_is_looked_up_once(run_python):
    # Five million copies of one name must not cost five million lookups; the
    # graph and the counts still see every copy. Until a lookup record has
    # been dropped once, the bridge cannot tell whether such records are read,
    # and every copy is looked up: the first build is for that.
    proc = run_python("""
        import json, logging, sys
        from importlib.machinery import ModuleSpec
        asks, summaries = {}, []
        class Counted:
            specs = {"m": ModuleSpec("m", None), "p": ModuleSpec("p", None, is_package=True)}
            def find_spec(self, name, path=None, target=None):
                asks[name] = asks.get(name, 0) + 1
                return self.specs.get(name)
        sys.meta_path.insert(0, Counted())
        class Keep(logging.Handler):
            def emit(self, r):
                summaries.append(r.getMessage())
        log = logging.getLogger("tarnwick.core.builder")
        log.setLevel(logging.INFO)
        log.addHandler(Keep())
        import tarnwick
        tarnwick.GraphBuilder().build("import m")
        asks.clear()
        graph = tarnwick.GraphBuilder().build(
            "import m, m, m\\nimport m\\nfrom p import (gone, gone, gone)\\n")
        print(json.dumps([asks, sorted(graph.keys()), summaries[-1]]))
        """)
    asks, keys, summary = json.loads(proc.stdout)
    # p: for the statement, whether it is a package, and by importlib for p.gone
    assert asks == {"m": 2, "p": 3, "p.gone": 1}
    assert keys == [R, "m", "p"]
    assert summary == "Processed 5 dependency relationships."


# ---- the exact engine (tarnwick_graph) at its edges ----------------------------

DEEP = ".".join(["a"] * 100_000)


def graph_cli(capsys, *argv, code=0):
    got = graph_main([str(a) for a in argv])
    out, err = capsys.readouterr()
    assert got == code, err
    return out, err


def contents(graph):
    """The module names and the problems (importer, name, kind) of a Graph
    or of the command line's --json."""
    if isinstance(graph, dict):
        return ({m["name"] for m in graph["modules"]},
                [(p["importer"], p["name"], p["kind"]) for p in graph["problems"]])
    return set(graph), [(p.importer, p.name, p.kind) for p in graph.problems]


@pytest.mark.parametrize("how", ["source", "script", "modules", "cli_script", "cli_m"])
def test_a_name_of_100_000_parts_is_one_problem(project, capsys, how):
    root = project({"deep.py": f"import {DEEP}\n"})
    builder = tg.Builder(sys_path=[str(root)])
    if how == "cli_m":  # a target that names no module is an error
        _, err = graph_cli(capsys, "--json", "-m", DEEP, code=2)
        assert err.startswith("tarnwick-graph: No module named 'a.a.a.")
    elif how == "modules":
        with pytest.raises(tg.NotFound) as missing:
            builder.build(modules=[DEEP])
        assert missing.value.names == (DEEP,)
        assert contents(missing.value.graph) == (set(), [(None, DEEP, "not_found")])
    else:
        graph = {"source": lambda: builder.build(source=f"import {DEEP}"),
                 "script": lambda: builder.build(root / "deep.py"),
                 "cli_script": lambda: json.loads(graph_cli(capsys, "--json", root / "deep.py")[0]),
                 }[how]()
        assert contents(graph) == ({"__main__"}, [("__main__", DEEP, "not_found")])


@pytest.mark.parametrize("text, found", [
    # The core's tables hold the rest (tests/core/test_exact_builder.cpp).
    ("import json.decoder.nonexist", ["json", "json.decoder"]),
    ("from json.nonexist import x", ["json"]),
])
def test_a_missing_submodule_keeps_the_packages_imported_before_it(text, found):
    # Python imports each enclosing package before the import fails.
    name = text.split()[1]
    graph = tg.build(source=text, within=())
    assert contents(graph) == ({"__main__", *found}, [("__main__", name, "not_found")])
    assert sorted(graph["__main__"].imports) == found
    with pytest.raises(tg.NotFound) as missing:  # asked for by name: an error, with the rest
        tg.build(modules=[name], within=())
    requested = missing.value.graph
    assert sorted(requested) == found and sorted(requested.roots) == found


def zip_archive(path, files, compression, prefix=b""):
    with zipfile.ZipFile(path, "w", compression) as z:
        for name, text in files.items():
            z.writestr(name, text)
    path.write_bytes(prefix + path.read_bytes())  # a zipapp's #! line: offsets stay as they were
    return str(path)


@pytest.mark.parametrize("compression", [zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED],
                         ids=["stored", "deflated"])
@pytest.mark.parametrize("prefix", [b"", b"#!/usr/bin/env python3\n"], ids=["zip", "zipapp"])
def test_modules_in_a_zip_archive_are_read(tmp_path, compression, prefix):
    archive = zip_archive(tmp_path / "app.pyz", {
        "zm.py": "import zp\n",
        "zp/__init__.py": "from . import helper\n",
        "zp/helper.py": "import gone\nfrom . import inner\n",
        "zp/inner.py": "",
        "zp/sub/x.py": "",
    }, compression, prefix)
    builder = tg.Builder(sys_path=[archive])
    graph = builder.build(source="import zm\nimport zp.sub.x\n")
    assert contents(graph) == ({"__main__", "zm", "zp", "zp.helper", "zp.inner", "zp.sub", "zp.sub.x"},
                               [("zp.helper", "gone", "not_found")])
    assert graph["zp.helper"].origin == os.path.join(archive, "zp", "helper.py")
    assert graph["zp.sub"].kind == "namespace"
    assert sorted(graph["zp.helper"].imports) == ["zp", "zp.inner"]
    # A package's modules, as in a folder: zp.sub, with no __init__, is none.
    # And a rewritten archive is read again.
    assert sorted(tg.Builder(sys_path=[archive]).build(packages="zp")) == [
        "zp", "zp.helper", "zp.inner"]
    zip_archive(tmp_path / "app.pyz", {"zm.py": "import zq\n", "zq.py": ""}, compression, prefix)
    assert sorted(builder.build(source="import zm\n")) == ["__main__", "zm", "zq"]


def test_chains_and_why_along_a_chain_of_20_000(project, capsys):
    # Graph.why itself is checked along such a chain with the graph's queries.
    n = 20_000
    root = project({f"c{i}.py": f"import c{i + 1}\n" for i in range(n - 1)} | {f"c{n - 1}.py": ""})
    chain = ["__main__", *(f"c{i}" for i in range(1, n))]
    graph = tg.Builder(sys_path=[str(root)]).build(root / "c0.py")
    assert list(graph.chains(chain[-1])) == [chain]
    for every in ([], ["--all"]):
        assert graph_cli(capsys, "--why", chain[-1], *every, root / "c0.py")[0].split() == chain


# The core carries paths as bytes, and its JSON writer shows a byte that is
# not UTF-8 as a lone surrogate; the binding converts paths as os.fsencode
# and os.fsdecode do.
BAD = os.fsdecode(b"bad\xff")


def modules_and_problems(capsys, how, root):
    """The modules and problems (importer, name, kind) of the package p, by `how`."""
    if how == "cli_listing":  # the listing names no problem: only its modules are compared
        lines = graph_cli(capsys, "p")[0].splitlines()
        rows = lines[next(i for i, line in enumerate(lines) if line.startswith("depth")):]
        listed = {line.split()[0] for line in rows if line.startswith("  ")}
        return listed - {"json"}, None
    if how.startswith("cli"):
        target = ["-m", "p"] if how == "cli_m" else ["p"]
        return contents(json.loads(graph_cli(capsys, "--json", *target)[0]))
    builder = tg.Builder(sys_path=[str(root)])
    return contents(builder.build(packages="p") if how == "api_packages" else builder.build(root / "p"))


@pytest.mark.parametrize("how", ["api", "api_packages", "cli_listing", "cli", "cli_m"])
def test_a_file_name_no_import_can_write_is_a_problem_of_its_package(
        project, capsys, monkeypatch, how):
    root = project({"p/__init__.py": "", "p/good.py": "from . import other\n", "p/other.py": "",
                    f"p/{BAD}.py": "import never_read\n"})
    monkeypatch.chdir(root)
    modules, problems = modules_and_problems(capsys, how, root)
    assert modules == {"p", "p.good", "p.other"}
    if problems is not None:
        assert problems == [("p", os.path.join(root, "p", f"{BAD}.py"), "unreadable")]


def test_the_listing_prints_a_path_that_is_not_utf8_as_its_bytes(project):
    # Graphs, --json and sys_path entries in such a folder: test_binding.py.
    root = project({f"{BAD}dir/a.py": "import helper_b\n", f"{BAD}dir/helper_b.py": ""})
    proc = subprocess.run([sys.executable, "-m", "tarnwick_graph", os.path.join(f"{BAD}dir", "a.py")],
                          cwd=root, capture_output=True, timeout=120,
                          env=dict(os.environ, PYTHONIOENCODING="utf-8:strict"))
    assert (proc.returncode, proc.stderr) == (0, b"")
    assert os.fsencode(os.path.join(root, f"{BAD}dir")) in proc.stdout
