"""GraphBuilder.build end to end, on temporary package trees."""

import json
import threading
from concurrent.futures import ThreadPoolExecutor

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


def test_records_of_successive_builds(run_python, tree):
    # Summaries and reads of cached builds: tests/core/test_builder.cpp.
    root = tree({"a/__init__.py": "", "p/__init__.py": "def f(): pass\n", "me.py": "import me\nimport p\n"})
    texts = ["import a", "from p import f\nimport me", "import gone, q, n, missing_module_xyz"]
    proc = run_python(f"""
        import json, logging, sys
        from importlib.machinery import ModuleSpec
        lines = []
        class Keep(logging.Handler):
            def emit(self, r):
                lines.append(f"{{r.name}}|{{r.levelname}}|{{r.getMessage()}}")
        logging.basicConfig(level=logging.DEBUG, handlers=[Keep()])
        class Odd:
            def find_spec(self, name, path=None, target=None):
                return {{"gone": ModuleSpec("gone", None, origin="/definitely/not/here/gone.py"),
                        "q": ModuleSpec("q", None, origin='C:\\\\dir\\\\"q".so'),
                        "n": ModuleSpec("n", None, origin=None)}}.get(name)
        sys.meta_path.insert(0, Odd())
        import tarnwick
        builder = tarnwick.GraphBuilder()
        for text in {texts!r}:
            builder.build(text)
            print(json.dumps(lines))
            lines.clear()
    """, extra_path=str(root))
    first, second, third = [json.loads(line) for line in proc.stdout.splitlines()]
    # A fresh builder's records for one package, in order.
    init = str(root / "a" / "__init__.py")
    T, B = "tarnwick.core.types|DEBUG|", "tarnwick.core.builder|DEBUG|"
    gt, lt = B + ">" * 36, B + "<" * 36
    assert first == [
        f"{T}Adding node to graph: {R}", gt, f"{B}Expanding '{R}'", gt,
        f'tarnwick.importlib.util|DEBUG|Loaded spec: a Some("{init}")',
        f"{B}Processing dependency: {R} -> a", f"{B}Loading file: {init}",
        f"{T}Adding node to graph: a", f"{T}Add dependency '{R}' -> 'a'", f"{T}Initializing depth of node 'a' to 1",
        gt, f"{B}Expanding 'a'", gt, lt, f"{B}Done 'a'", lt, lt, f"{B}Done '{R}'", lt,
        "tarnwick.core.builder|INFO|Processed 1 dependency relationships.",
    ]
    messages = [r.split("|", 2)[2] for r in second]
    summary = next(m for m in messages if m.startswith("Processed "))
    assert "!!!! Unable to find spec for name: 'p.f' !!!!" in messages
    assert summary == "Processed 3 dependency relationships."  # p, me, me -> p; not me -> me
    # Folding a build into the cache logs the modules new to it, after the summary.
    assert {"Adding node to graph: me", "Adding node to graph: p"} <= set(messages[messages.index(summary):])
    # The warning through the bridge, the read error on the process's stderr.
    assert ("tarnwick.core.builder|WARNING|Unable to load file for spec 'gone' with origin "
            "'/definitely/not/here/gone.py' skipping.") in third
    assert any(line.startswith("System error: ") for line in proc.stderr.splitlines())
    # Found specs only, origins as debug text (quoted and escaped, or None).
    assert [r for r in third if r.startswith("tarnwick.importlib.util")] == [
        'tarnwick.importlib.util|DEBUG|Loaded spec: gone Some("/definitely/not/here/gone.py")',
        'tarnwick.importlib.util|DEBUG|Loaded spec: q Some("C:\\\\dir\\\\\\"q\\".so")',
        "tarnwick.importlib.util|DEBUG|Loaded spec: n None",
    ]


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
    """, extra_path=str(tree({"calm.py": ""})))
    assert proc.stdout.splitlines() == ["interrupted", "['<terminal>', 'calm']"]


def test_long_import_chain_in_a_small_thread_stack(tree):
    n = 5000
    tree({f"chain{i}.py": f"import chain{i + 1}\n" for i in range(n)} | {f"chain{n}.py": ""})
    old = threading.stack_size(256 * 1024)  # for threads started from here on
    try:
        with ThreadPoolExecutor(1) as pool:
            graph = pool.submit(tarnwick.GraphBuilder().build, "import chain0").result()
    finally:
        threading.stack_size(old)
    assert (graph.size(), graph.get(f"chain{n}").depth) == (n + 2, n + 1)
