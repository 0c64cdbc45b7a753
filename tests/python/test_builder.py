"""GraphBuilder.build end to end, on temporary package trees."""

import json
import sys
import threading

import pytest

import tarnwick

LOGGED = """
import json, logging, sys
lines = []
class Keep(logging.Handler):
    def emit(self, r):
        lines.append(f"{r.name}|{r.levelname}|{r.getMessage()}")
logging.basicConfig(level=logging.DEBUG, handlers=[Keep()])
import tarnwick
builder = tarnwick.GraphBuilder()
def show():
    print(json.dumps(lines))
    lines.clear()
"""


def logged(run_python, root, body):
    """Runs `body` after LOGGED in a fresh interpreter; returns the printed record lists."""
    proc = run_python(LOGGED + body, extra_path=str(root))
    return [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("[")], proc


def messages(records, logger=None):
    return [r.split("|", 2)[2] for r in records if logger is None or r.startswith(logger + "|")]


def edges(graph):
    """{(importer, imported)} from the dependents sets of all nodes."""
    return {(importer, node.name) for node in graph.get_all_scoped("") for importer in node.dependents}


def depths(graph):
    return {node.name: node.depth for node in graph.get_all_scoped("")}


def test_empty_text_gives_the_root_alone(run_python, tree):
    root = tree({})
    (records,), _ = logged(run_python, root, "builder.build(''); show()")
    assert messages(records, "tarnwick.core.builder")[-1] == "Processed 0 dependency relationships."
    graph = tarnwick.GraphBuilder().build("")
    assert graph.names() == ["<terminal>"]
    assert graph.get("<terminal>").depth == 0
    assert graph.get("<terminal>").spec == {"name": "<terminal>", "origin": None}


def test_builtin_module_is_a_leaf():
    graph = tarnwick.GraphBuilder().build("import sys")
    assert depths(graph) == {"<terminal>": 0, "sys": 1}
    assert graph.get("sys").spec == {"name": "sys", "origin": "built-in"}
    assert edges(graph) == {("<terminal>", "sys")}


def test_package_comes_before_submodule(run_python, tree):
    root = tree({"a/__init__.py": "", "a/b.py": ""})
    graph = tarnwick.GraphBuilder().build("import a.b")
    assert depths(graph) == {"<terminal>": 0, "a": 1, "a.b": 1}
    assert edges(graph) == {("<terminal>", "a"), ("<terminal>", "a.b")}
    (records,), _ = logged(run_python, root, "builder.build('import a.b'); show()")
    added = [m for m in messages(records) if m.startswith("Adding node to graph: ")]
    assert added == ["Adding node to graph: <terminal>", "Adding node to graph: a", "Adding node to graph: a.b"]
    assert messages(records)[-1] == "Processed 2 dependency relationships."


def test_known_enclosing_package_gets_the_edge_not_its_parent(tree):
    tree({"a/__init__.py": "", "a/b/__init__.py": "", "a/b/c.py": "", "x.py": "import a.b.c"})
    graph = tarnwick.GraphBuilder().build("import a.b\nimport x")
    assert {e for e in edges(graph) if e[0] == "x"} == {("x", "a.b"), ("x", "a.b.c")}


def test_shortest_depth_is_kept_and_lowered(tree):
    tree({"deep1.py": "import deep2", "deep2.py": "import shared", "shared.py": "import leaf", "leaf.py": ""})
    graph = tarnwick.GraphBuilder().build("import deep1\nimport shared")
    # shared is first reached at depth 3, then lowered to 1; leaf keeps 4.
    assert depths(graph) == {"<terminal>": 0, "deep1": 1, "deep2": 2, "shared": 1, "leaf": 4}


def test_self_import_and_cycles(run_python, tree):
    root = tree({"selfish.py": "import selfish", "ping.py": "import pong", "pong.py": "import ping"})
    graph = tarnwick.GraphBuilder().build("import selfish\nimport ping")
    assert edges(graph) == {
        ("<terminal>", "selfish"), ("<terminal>", "ping"), ("ping", "pong"), ("pong", "ping"),
    }
    assert graph.num_dependencies() == 4
    (records,), _ = logged(run_python, root, "builder.build('import selfish'); show()")
    assert messages(records)[-1] == "Processed 1 dependency relationships."


@pytest.mark.parametrize(
    "source, package, expected",
    [
        ("from . import sub", "p", {"<terminal>", "p", "p.sub"}),
        ("from .sub import thing", "p", {"<terminal>", "p", "p.sub"}),
        ("from .. import sub", "p.inner", {"<terminal>", "p", "p.sub"}),
    ],
)
def test_relative_imports_with_package(tree, source, package, expected):
    tree({"p/__init__.py": "", "p/sub.py": "", "p/inner/__init__.py": ""})
    graph = tarnwick.GraphBuilder().build(source, package)
    assert set(graph.names()) == expected


@pytest.mark.parametrize(
    "source, package, message",
    [
        ("from . import x", None, "Attempted relative import from terminal node (no known parent package)"),
        ("from .. import x", "p", "Attempted relative import beyond top-level package"),
    ],
)
def test_relative_import_failures(tree, source, package, message):
    tree({"p/__init__.py": ""})
    with pytest.raises(BaseException) as info:
        tarnwick.GraphBuilder().build(source, package)
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    assert info.value.args == (message,)


def test_from_package_import_function_and_from_module_import_name(run_python, tree):
    root = tree({"p/__init__.py": "def f(): pass\n", "m.py": "x = 1\n"})
    graph = tarnwick.GraphBuilder().build("from p import f\nfrom m import x")
    assert set(graph.names()) == {"<terminal>", "p", "m"}
    (records,), _ = logged(run_python, root, "builder.build('from p import f\\nfrom m import x'); show()")
    found = messages(records, "tarnwick.core.builder")
    assert "!!!! Unable to find spec for name: 'p.f' !!!!" in found
    assert not any("m.x" in m for m in found)


def test_extension_and_extensionless_origins_are_leaves(run_python, tree):
    root = tree({"fastmod.cpython-311-x86_64-linux-gnu.so": b"", "fastmod.abi3.so": b""})
    graph = tarnwick.GraphBuilder().build("import fastmod")
    assert graph.get("fastmod").spec["origin"].endswith(".so")
    assert graph.size() == 2
    proc = run_python(
        """
import logging, sys
from importlib.machinery import ModuleSpec
class F:
    def find_spec(self, name, path=None, target=None):
        return {"noext": ModuleSpec("noext", None, origin="/x/noext"),
                "gone": ModuleSpec("gone", None, origin="/definitely/not/here/gone.py"),
                "compiled": ModuleSpec("compiled", None, origin="/x/compiled.pyc")}.get(name)
sys.meta_path.insert(0, F())
import tarnwick
g = tarnwick.GraphBuilder().build("import noext\\nimport gone\\nimport compiled")
print(sorted(g.names()))
""",
    )
    assert proc.stdout.strip() == "['<terminal>', 'compiled', 'gone', 'noext']"
    err = proc.stderr.splitlines()
    assert "Unable to load extension for spec 'noext' with origin '/x/noext' skipping." in err
    assert "Unable to load file for spec 'gone' with origin '/definitely/not/here/gone.py' skipping." in err
    assert any(line.startswith("System error: ") for line in err)
    assert not any("compiled" in line for line in err)


def test_second_build_is_served_from_cache(run_python, tree):
    root = tree({"a/__init__.py": "import a.b\n", "a/b.py": "import c\n", "c.py": "import sys\n"})
    first, second = logged(
        run_python,
        root,
        "builder.build('import a'); show(); builder.build('import a'); show()",
    )[0]
    assert any(m.startswith("Loading file: ") for m in messages(first))
    assert not any(m.startswith("Loading file: ") for m in messages(second))
    summary = messages(second)[-1]
    assert summary.startswith("Processed ") and summary.endswith(" from cache).")
    builder = tarnwick.GraphBuilder()
    g1 = builder.build("import a")
    g2 = builder.build("import a")
    assert edges(g1) == edges(g2)
    assert depths(g2) == {"<terminal>": 0, "a": 1, "a.b": 2, "c": 3, "sys": 4}


def test_record_order_for_one_package(run_python, tree):
    root = tree({"a/__init__.py": ""})
    (records,), _ = logged(run_python, root, "builder.build('import a'); show()")
    init = str(root / "a" / "__init__.py")
    gt, lt = ">" * 36, "<" * 36
    assert records == [
        "tarnwick.core.types|DEBUG|Adding node to graph: <terminal>",
        f"tarnwick.core.builder|DEBUG|{gt}",
        "tarnwick.core.builder|DEBUG|Expanding '<terminal>'",
        f"tarnwick.core.builder|DEBUG|{gt}",
        f'tarnwick.importlib.util|DEBUG|Loaded spec: a Some("{init}")',
        "tarnwick.core.builder|DEBUG|Processing dependency: <terminal> -> a",
        f"tarnwick.core.builder|DEBUG|Loading file: {init}",
        "tarnwick.core.types|DEBUG|Adding node to graph: a",
        "tarnwick.core.types|DEBUG|Add dependency '<terminal>' -> 'a'",
        "tarnwick.core.types|DEBUG|Initializing depth of node 'a' to 1",
        f"tarnwick.core.builder|DEBUG|{gt}",
        "tarnwick.core.builder|DEBUG|Expanding 'a'",
        f"tarnwick.core.builder|DEBUG|{gt}",
        f"tarnwick.core.builder|DEBUG|{lt}",
        "tarnwick.core.builder|DEBUG|Done 'a'",
        f"tarnwick.core.builder|DEBUG|{lt}",
        f"tarnwick.core.builder|DEBUG|{lt}",
        "tarnwick.core.builder|DEBUG|Done '<terminal>'",
        f"tarnwick.core.builder|DEBUG|{lt}",
        "tarnwick.core.builder|INFO|Processed 1 dependency relationships.",
    ]


def test_verbose_dumps_every_parsed_list(run_python, tree):
    root = tree({"m.py": "from . import x\n"})
    proc = run_python(
        """
import tarnwick
tarnwick.GraphBuilder(verbose=True).build("import m as n, sys", "pkg")
tarnwick.GraphBuilder(None).build("import m")
""",
        extra_path=str(root),
        check=False,
    )
    # m's own relative import has parent "" -> resolves to ".x", which is not found.
    assert proc.stdout == (
        "Import: {\n  {\n    name: m\n    asname: n\n    name: sys\n  }\n}\n"
        "ImportFrom: {\n  level: 1\n  module: \n  {\n    name: x\n  }\n}\n"
    )


def test_builder_survives_a_failed_build(tree):
    tree({"ok.py": "", "p/__init__.py": ""})
    builder = tarnwick.GraphBuilder()
    first = builder.build("import ok")
    with pytest.raises(BaseException, match="no known parent package"):
        builder.build("import p\nfrom . import nothing")
    again = builder.build("import ok")
    assert sorted(again.names()) == sorted(first.names()) == ["<terminal>", "ok"]


def test_keyboard_interrupt_in_spec_lookup_ends_the_build(tree, finder):
    tree({"calm.py": ""})
    finder({"boom": KeyboardInterrupt()})
    builder = tarnwick.GraphBuilder()
    with pytest.raises(KeyboardInterrupt):
        builder.build("import calm\nimport boom\nimport sys")
    assert sorted(builder.build("import calm").names()) == ["<terminal>", "calm"]


def test_other_lookup_errors_are_discarded(finder):
    finder({"broken": ValueError("lookup failed")})
    graph = tarnwick.GraphBuilder().build("import broken\nimport sys")
    assert sorted(graph.names()) == ["<terminal>", "sys"]


def test_reentrant_build_is_refused(tree):
    tree(
        {
            "reenter/__init__.py": """
                import builtins
                try:
                    builtins._tarnwick_builder.build("")
                except RuntimeError as e:
                    builtins._tarnwick_seen = str(e)
            """,
            "reenter/sub.py": "",
        }
    )
    import builtins

    builder = tarnwick.GraphBuilder()
    builtins._tarnwick_builder = builder
    try:
        graph = builder.build("import reenter.sub")
        assert builtins._tarnwick_seen == "Already borrowed"
        assert "reenter.sub" in graph.names()
    finally:
        del builtins._tarnwick_builder
        builtins.__dict__.pop("_tarnwick_seen", None)


def test_long_import_chain_in_a_small_thread_stack(tree):
    n = 5000
    tree({f"chain{i}.py": f"import chain{i + 1}\n" for i in range(n)} | {f"chain{n}.py": ""})
    result = {}

    def work():
        try:
            result["graph"] = tarnwick.GraphBuilder().build("import chain0")
        except BaseException as e:  # reported below
            result["error"] = e

    old = threading.stack_size(256 * 1024)
    try:
        t = threading.Thread(target=work)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    assert "error" not in result
    graph = result["graph"]
    assert graph.size() == n + 2
    assert graph.get(f"chain{n}").depth == n + 1
