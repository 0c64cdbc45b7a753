"""GraphBuilder.build end to end, on temporary package trees."""

import json
import threading

import pytest

import tarnwick

R = "<terminal>"


def depths(graph):
    return {n.name: n.depth for n in graph.get_all_scoped("")}


def test_package_argument_anchors_relative_imports(tree):
    # How relative names resolve is the core's (tests/core/test_builder.cpp);
    # here the package argument reaches it.
    tree({"p/__init__.py": "", "p/sub.py": ""})
    graph = tarnwick.GraphBuilder().build("from . import sub", "p")
    assert depths(graph) == {R: 0, "p": 1, "p.sub": 1}
    assert {(i, n.name) for n in graph.get_all_scoped("") for i in n.dependents} == {(R, "p"), (R, "p.sub")}
    assert graph.num_dependencies() == 2


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
        return {"gone": ModuleSpec("gone", None, origin="/definitely/not/here/gone.py")}.get(name)
sys.meta_path.insert(0, Odd())
import tarnwick
builder = tarnwick.GraphBuilder()
for text in sys.argv[1:]:
    builder.build(text)
    print(json.dumps(lines))
    lines.clear()
"""


def logged_builds(run_python, root, *texts, level="DEBUG"):
    """Record lists ("logger|LEVEL|message") of successive builds by one builder."""
    script = LOGGED.replace("sys.argv[1:]", repr(list(texts))).replace("logging.DEBUG", f"logging.{level}")
    proc = run_python(script, extra_path=str(root))
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


def test_summaries_warnings_and_the_cache(run_python, tree):
    # Summaries and reads of cached builds: tests/core/test_builder.cpp.
    root = tree({"p/__init__.py": "def f(): pass\n", "me.py": "import me\nimport p\n"})
    # The first build makes the cache the second folds into.
    builds, stderr = logged_builds(run_python, root, "", "from p import f\nimport me", "import gone")
    messages = [[r.split("|", 2)[2] for r in b] for b in builds]
    summary = next(m for m in messages[1] if m.startswith("Processed "))
    assert "!!!! Unable to find spec for name: 'p.f' !!!!" in messages[1]
    assert summary == "Processed 3 dependency relationships."  # p, me, me -> p; not me -> me
    # Folding a build into the cache logs the modules new to it, after the summary.
    after = messages[1][messages[1].index(summary):]
    assert {"Adding node to graph: me", "Adding node to graph: p"} <= set(after)
    # The warning through the bridge, the read error on the process's stderr.
    assert "Unable to load file for spec 'gone' with origin '/definitely/not/here/gone.py' skipping." in messages[2]
    assert any(line.startswith("System error: ") for line in stderr.splitlines())


def test_verbose_dumps_every_parsed_list(tree, capfd):
    tree({"m.py": "from . import x\n"})
    tarnwick.GraphBuilder(verbose=True).build("import m as n, sys", "pkg")
    tarnwick.GraphBuilder(None).build("import m")
    assert capfd.readouterr().out == (
        "Import: {\n  {\n    name: m\n    asname: n\n    name: sys\n  }\n}\n"
        "ImportFrom: {\n  level: 1\n  module: \n  {\n    name: x\n  }\n}\n"
    )


def test_keyboard_interrupt_in_spec_lookup_ends_the_build(tree, finder):
    tree({"calm.py": ""})
    finder({"boom": KeyboardInterrupt()})
    builder = tarnwick.GraphBuilder()
    with pytest.raises(KeyboardInterrupt):
        builder.build("import calm\nimport boom\nimport sys")
    assert depths(builder.build("import calm")) == {R: 0, "calm": 1}


def test_keyboard_interrupt_in_a_log_handler_ends_the_build(run_python, tree):
    root = tree({"calm.py": ""})
    proc = run_python("""
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
    """, extra_path=str(root))
    assert proc.stdout.splitlines() == ["interrupted", "['<terminal>', 'calm']"]


def test_long_import_chain_in_a_small_thread_stack(tree):
    n = 5000
    tree({f"chain{i}.py": f"import chain{i + 1}\n" for i in range(n)} | {f"chain{n}.py": ""})
    built = []  # stays empty if the build fails
    old = threading.stack_size(256 * 1024)
    try:
        t = threading.Thread(target=lambda: built.append(tarnwick.GraphBuilder().build("import chain0")))
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    (graph,) = built
    assert (graph.size(), graph.get(f"chain{n}").depth) == (n + 2, n + 1)
