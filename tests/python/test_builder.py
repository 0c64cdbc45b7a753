"""GraphBuilder.build end to end, on temporary package trees."""

import json
import threading

import pytest

import tarnwick

R = "<terminal>"


def edges(graph):
    """{(importer, imported)} read from the dependents of every node."""
    return {(i, n.name) for n in graph.get_all_scoped("") for i in n.dependents}


def depths(graph):
    return {n.name: n.depth for n in graph.get_all_scoped("")}


def panic_message(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    return info.value.args[0]


GRAPHS = [
    # id, files, source, package, expected {name: depth}, expected edges
    ("empty_text", {}, "", None, {R: 0}, set()),
    ("builtin_leaf", {}, "import sys", None, {R: 0, "sys": 1}, {(R, "sys")}),
    ("shortest_depth_lowered_not_propagated",
     {"d1.py": "import d2", "d2.py": "import shared", "shared.py": "import leaf", "leaf.py": ""},
     "import d1\nimport shared", None, {R: 0, "d1": 1, "d2": 2, "shared": 1, "leaf": 4},
     {(R, "d1"), ("d1", "d2"), ("d2", "shared"), ("shared", "leaf"), (R, "shared")}),
    ("from_package_import_module", {"p/__init__.py": "", "p/sub.py": ""}, "from . import sub", "p",
     {R: 0, "p": 1, "p.sub": 1}, {(R, "p"), (R, "p.sub")}),
    ("from_relative_module", {"p/__init__.py": "", "p/sub.py": ""}, "from .sub import f", "p",
     {R: 0, "p": 1, "p.sub": 1}, {(R, "p"), (R, "p.sub")}),
    ("two_dots", {"p/__init__.py": "", "p/sub.py": "", "p/inner/__init__.py": ""}, "from .. import sub",
     "p.inner", {R: 0, "p": 1, "p.sub": 1}, {(R, "p"), (R, "p.sub")}),
    ("extension_module_leaf", {"fast.cpython-311-x86_64-linux-gnu.so": b"", "fast.abi3.so": b""},
     "import fast", None, {R: 0, "fast": 1}, {(R, "fast")}),
]


@pytest.mark.parametrize("files, source, package, want_depths, want_edges",
                         [c[1:] for c in GRAPHS], ids=[c[0] for c in GRAPHS])
def test_graph_shapes(tree, files, source, package, want_depths, want_edges):
    tree(files)
    graph = tarnwick.GraphBuilder().build(source, package)
    assert depths(graph) == want_depths
    assert edges(graph) == want_edges
    assert graph.num_dependencies() == len(want_edges)
    assert graph.get(R).spec == {"name": R, "origin": None}


@pytest.mark.parametrize("source, package, message", [
    ("from . import x", None, "Attempted relative import from terminal node (no known parent package)"),
    ("from .. import x", "p", "Attempted relative import beyond top-level package"),
])
def test_relative_import_failures_leave_the_builder_usable(tree, source, package, message):
    tree({"p/__init__.py": "", "ok.py": ""})
    builder = tarnwick.GraphBuilder()
    assert panic_message(lambda: builder.build(source, package)) == message
    assert depths(builder.build("import ok")) == {R: 0, "ok": 1}


LOGGED = """
import json, logging, sys
from importlib.machinery import ModuleSpec
lines = []
class Keep(logging.Handler):
    def emit(self, r):
        lines.append(f"{r.name}|{r.levelname}|{r.getMessage()}")
logging.basicConfig(level=logging.DEBUG, handlers=[Keep()])
class Odd:
    def find_spec(self, name, path=None, target=None):
        return {"noext": ModuleSpec("noext", None, origin="/x/noext"),
                "gone": ModuleSpec("gone", None, origin="/definitely/not/here/gone.py")}.get(name)
sys.meta_path.insert(0, Odd())
import tarnwick
builder = tarnwick.GraphBuilder()
for text in sys.argv[1:]:
    builder.build(text)
    print(json.dumps(lines))
    lines.clear()
"""


def logged_builds(run_python, root, *texts):
    """Record lists ("logger|LEVEL|message") of successive builds by one builder."""
    proc = run_python(LOGGED.replace("sys.argv[1:]", repr(list(texts))), extra_path=str(root))
    return [json.loads(line) for line in proc.stdout.splitlines()], proc.stderr


def test_record_order_for_one_package(run_python, tree):
    root = tree({"a/__init__.py": ""})
    (records,), _ = logged_builds(run_python, root, "import a")
    init = str(root / "a" / "__init__.py")
    gt, lt = "tarnwick.core.builder|DEBUG|" + ">" * 36, "tarnwick.core.builder|DEBUG|" + "<" * 36
    assert records == [
        f"tarnwick.core.types|DEBUG|Adding node to graph: {R}",
        gt, f"tarnwick.core.builder|DEBUG|Expanding '{R}'", gt,
        f'tarnwick.importlib.util|DEBUG|Loaded spec: a Some("{init}")',
        f"tarnwick.core.builder|DEBUG|Processing dependency: {R} -> a",
        f"tarnwick.core.builder|DEBUG|Loading file: {init}",
        "tarnwick.core.types|DEBUG|Adding node to graph: a",
        f"tarnwick.core.types|DEBUG|Add dependency '{R}' -> 'a'",
        "tarnwick.core.types|DEBUG|Initializing depth of node 'a' to 1",
        gt, "tarnwick.core.builder|DEBUG|Expanding 'a'", gt,
        lt, "tarnwick.core.builder|DEBUG|Done 'a'", lt,
        lt, f"tarnwick.core.builder|DEBUG|Done '{R}'", lt,
        "tarnwick.core.builder|INFO|Processed 1 dependency relationships.",
    ]


SHAPES = """
import json, logging, sys
summaries = []
class Keep(logging.Handler):
    def emit(self, r):
        summaries.append(r.getMessage())
if sys.argv[1] == "debug":
    logging.basicConfig(level=logging.DEBUG, handlers=[logging.NullHandler()])
builder_log = logging.getLogger("tarnwick.core.builder")
builder_log.setLevel(logging.INFO)
builder_log.addHandler(Keep())
import tarnwick
builder = tarnwick.GraphBuilder()
for text in sys.argv[2:]:
    g = builder.build(text)
    print(json.dumps([summaries[-1], {n: [g.get(n).depth, sorted(g.get(n).dependents)]
                                      for n in g.names()}], sort_keys=True))
"""


def test_cache_hits_attach_alike_whether_or_not_debug_records_are_read(run_python, tree):
    # Unread debug records let a cache hit skip what earlier hits of the
    # build settled; graphs and counts must not show it. In the second build
    # z's hit settles c four steps down, and w's hit meets c at two: d and e
    # must come up with it.
    root = tree({"z.py": "import y", "y.py": "import x", "x.py": "import c", "c.py": "import d",
                 "d.py": "import e", "e.py": "", "w.py": "import c"})
    texts = ["import z\nimport w"] * 2

    def shapes(mode):
        code = SHAPES.replace("sys.argv[1]", repr(mode)).replace("sys.argv[2:]", repr(texts))
        return [json.loads(line) for line in run_python(code, extra_path=str(root)).stdout.splitlines()]

    quiet, debug = shapes("quiet"), shapes("debug")
    assert quiet == debug
    summary, nodes = quiet[1]
    assert summary == "Processed 10 dependency relationships (10 from cache)."
    assert {n: nodes[n][0] for n in "cde"} == {"c": 2, "d": 3, "e": 4}

def test_summaries_warnings_and_the_cache(run_python, tree):
    root = tree({"p/__init__.py": "def f(): pass\n", "me.py": "import me\nimport p\n"})
    builds, stderr = logged_builds(run_python, root, "", "from p import f\nimport me", "import me",
                                   "import noext\nimport gone")
    messages = [[r.split("|", 2)[2] for r in b] for b in builds]
    summary = [next(m for m in b if m.startswith("Processed ")) for b in messages]
    assert summary[0] == "Processed 0 dependency relationships."
    assert "!!!! Unable to find spec for name: 'p.f' !!!!" in messages[1]
    assert summary[1] == "Processed 3 dependency relationships."  # p, me, me -> p; not me -> me
    # Served from the cache: no file read again, the cache count in the summary.
    assert not any(m.startswith("Loading file: ") for m in messages[2])
    assert summary[2] == "Processed 2 dependency relationships (2 from cache)."
    # Folding a build into the cache logs the modules new to it, after the summary.
    after = messages[1][messages[1].index(summary[1]):]
    assert {"Adding node to graph: me", "Adding node to graph: p"} <= set(after)
    assert "Unable to load extension for spec 'noext' with origin '/x/noext' skipping." in messages[3]
    assert "Unable to load file for spec 'gone' with origin '/definitely/not/here/gone.py' skipping." in messages[3]
    assert any(line.startswith("System error: ") for line in stderr.splitlines())


def test_second_build_matches_the_first(tree):
    tree({"a/__init__.py": "import a.b\n", "a/b.py": "import c\n", "c.py": "import sys\n"})
    builder = tarnwick.GraphBuilder()
    first, second = builder.build("import a"), builder.build("import a")
    assert edges(first) == edges(second)
    assert depths(second) == {R: 0, "a": 1, "a.b": 2, "c": 3, "sys": 4}


def test_verbose_dumps_every_parsed_list(run_python, tree):
    root = tree({"m.py": "from . import x\n"})
    proc = run_python(
        """
import tarnwick
tarnwick.GraphBuilder(verbose=True).build("import m as n, sys", "pkg")
tarnwick.GraphBuilder(None).build("import m")
""",
        extra_path=str(root),
    )
    assert proc.stdout == (
        "Import: {\n  {\n    name: m\n    asname: n\n    name: sys\n  }\n}\n"
        "ImportFrom: {\n  level: 1\n  module: \n  {\n    name: x\n  }\n}\n"
    )


def test_keyboard_interrupt_in_spec_lookup_ends_the_build(tree, finder):
    tree({"calm.py": ""})
    finder({"boom": KeyboardInterrupt(), "broken": ValueError("lookup failed")})
    builder = tarnwick.GraphBuilder()
    assert depths(builder.build("import broken\nimport calm")) == {R: 0, "calm": 1}
    with pytest.raises(KeyboardInterrupt):
        builder.build("import calm\nimport boom\nimport sys")
    assert depths(builder.build("import calm")) == {R: 0, "calm": 1}


def test_keyboard_interrupt_in_a_log_handler_ends_the_build(run_python, tree):
    root = tree({"calm.py": ""})
    proc = run_python(
        """
import logging
class Stop(logging.Handler):
    def emit(self, record):
        raise KeyboardInterrupt
logging.basicConfig(level=logging.DEBUG, handlers=[Stop()])
import tarnwick
builder = tarnwick.GraphBuilder()
try:
    builder.build("import calm\\nimport sys")
except KeyboardInterrupt:
    print("interrupted")
logging.getLogger().handlers.clear()
print(sorted(builder.build("import calm").names()))
""",
        extra_path=str(root),
    )
    assert proc.stdout.splitlines() == ["interrupted", "['<terminal>', 'calm']"]


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
    assert result["graph"].size() == n + 2
    assert result["graph"].get(f"chain{n}").depth == n + 1
