"""The tarnwick-graph command line."""

import json
import re
import shutil
import subprocess
import sys

import pytest

import tarnwick_graph as tg
from tarnwick_graph.cli import main

FILES = {
    "app.py": "import helper\nimport sys\n",
    "helper.py": "import keyword\n",
    # Two chains of the same length to `shared`.
    "why.py": "import right\nimport left\n",
    "left.py": "import shared\n",
    "right.py": "import shared\n",
    "shared.py": "import keyword\n",
    "lost.py": "import no_such_mod\nfrom pkg import sibling, no_such_name\n",
    "loud/__init__.py": "print('ran')\nfrom . import inner\n",
    "loud/inner.py": "import loud\nimport json\n",
    "pkg/__init__.py": "",
    "pkg/rel.py": "from . import sibling\n",
    "pkg/sibling.py": "import also_missing\n",
}


@pytest.fixture
def project(project, monkeypatch):
    root = project(FILES | {"bad.py": b"\xff\xfe not utf-8", "plain/data.txt": ""})
    monkeypatch.chdir(root)
    return root


def run(capsys, *argv):
    try:
        code = main(list(argv))
    except SystemExit as e:  # argparse: usage errors, --help, --version
        code = e.code
    return (code, *capsys.readouterr())


def read_dot(text):
    nodes = {m[0]: dict(re.findall(r'(\w+)=("[^"]*"|\w+)', m[1]))
             for m in re.findall(r'^\s*"([^"]+)" \[(.*)\];$', text, re.M)}
    edges = set(re.findall(r'^\s*"([^"]+)" -> "([^"]+)";$', text, re.M))
    return nodes, edges


def test_listing_json_and_dot(project, capsys):
    code, out, err = run(capsys, "app.py")
    assert (code, err) == (0, "")
    lines = out.splitlines()
    graph = tg.build("app.py")
    assert lines[:2] == ["depth 0", f"  __main__  {project / 'app.py'}"]
    assert next(l for l in lines if l.split()[0] == "sys").split()[1] == "(builtin)"
    listed = [l.split()[0] for l in lines[1:-1] if l.startswith("  ")]
    assert listed == sorted(graph, key=lambda n: (graph[n].depth, n))
    assert lines[-1] == f"{len(graph)} modules, {graph.edge_count} imports"

    code, out, _ = run(capsys, "--json", "app.py")
    assert out == graph.to_json(indent=2) + "\n"
    code, out, _ = run(capsys, "--dot", "app.py")
    assert out == graph.to_dot()


@pytest.mark.parametrize("argv, want", [
    (["shared", "--jobs", "1"], ["left shared"]),
    (["shared", "--all"], ["left shared", "right shared"]),
    (["keyword", "--all"], ["left shared keyword", "right shared keyword"]),
])
def test_why_prints_shortest_chains(project, capsys, argv, want):
    code, out, err = run(capsys, "--why", *argv, "why.py")
    assert code == 0, err
    assert [b.splitlines() for b in out.rstrip("\n").split("\n\n")] == [
        ["__main__", *chain.split()] for chain in want]


@pytest.mark.parametrize("argv, kept", [
    (["--max-depth", "1"], {"__main__", "left", "right", "pkg", "pkg.sibling"}),
    (["--scope", "shared"], {"__main__", "shared"}),
    (["--scope", "pkg."], {"__main__", "pkg.sibling"}),
])
def test_filters_keep_roots_and_edges_between_kept(project, capsys, argv, kept):
    (project / "why.py").write_text("import right\nimport left\nimport pkg.sibling\n")
    code, out, _ = run(capsys, "--json", *argv, "why.py")
    modules = {m["name"]: m for m in json.loads(out)["modules"]}
    assert code == 0 and set(modules) == kept
    assert all(set(m["imports"]) <= kept for m in modules.values())


@pytest.mark.parametrize("argv, names", [
    (["loud"], {"loud", "loud.inner", "json"}),                         # leaves by default
    (["-m", "loud"], {"loud", "loud.inner", "json"}),
    (["loud", "--external", "collapse", "--scope", "json"], {"loud", "loud.inner", "json"}),
    (["loud", "--external", "follow", "--max-depth", "1"], {"loud", "loud.inner", "json"}),
    (["loud", "--external", "follow", "--scope", "json.decoder"], {"loud", "loud.inner", "json.decoder"}),
])
def test_package_graphs(project, capsys, argv, names):
    code, out, err = run(capsys, "--json", *argv)
    assert code == 0, err
    modules = {m["name"]: m for m in json.loads(out)["modules"]}
    assert set(modules) == names
    assert modules["loud"]["depth"] == modules["loud.inner"]["depth"] == 0


def test_collapse_folds_outside_modules(project, capsys):
    code, out, err = run(capsys, "--json", "--external", "collapse", "lost.py")
    assert (code, err) == (0, "")
    graph = tg.build("lost.py", within=[]).collapsed([])
    assert out == graph.to_json(indent=2) + "\n"
    assert {m["name"] for m in json.loads(out)["modules"]} == {"__main__", "pkg"}


def test_cycles_affected_and_unresolved(project, capsys):
    assert run(capsys, "--cycles", "loud") == (0, "loud\nloud.inner\n", "")
    code, out, _ = run(capsys, "why.py", "--affected", "shared.py")
    assert (code, out.split()) == (0, ["__main__", "left", "right"])
    code, out, _ = run(capsys, "--unresolved", "lost.py")
    rows = [line.split(None, 2) for line in out.splitlines()]
    assert rows[:2] == [["also_missing", "pkg.sibling:1", "No module named 'also_missing'"],
                        ["no_such_mod", "__main__:1", "No module named 'no_such_mod'"]]
    assert out.endswith("\n2 unresolved\n")
    code, out, _ = run(capsys, "lost.py")
    assert out.endswith(" imports, 2 unresolved (--unresolved lists them)\n")


def test_standard_input_and_legacy(project, capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdin", type("In", (), {"read": lambda self: "import helper\n"})())
    code, out, _ = run(capsys, "--json", "-")
    assert {m["name"] for m in json.loads(out)["modules"]} >= {"__main__", "helper", "keyword"}
    code, out, err = run(capsys, "--legacy", "--max-depth", "1", "app.py")
    assert (code, err) == (0, "") and out.splitlines()[:2] == ["depth 0", "  <terminal>  (module)"]
    assert re.fullmatch(r"\d+ modules, \d+ imports", out.splitlines()[-1])


def test_legacy_formats(project, capsys):
    code, out, _ = run(capsys, "--legacy", "--json", "--scope", "helper", "app.py")
    data = json.loads(out)
    assert code == 0 and data["roots"] == ["<terminal>"] and data["problems"] == []
    assert [(m["name"], m["kind"], m["imports"]) for m in data["modules"]] == [
        ("<terminal>", "module", ["helper"]), ("helper", "module", [])]
    code, out, _ = run(capsys, "--legacy", "--dot", "--max-depth", "1", "app.py")
    nodes, edges = read_dot(out)
    assert nodes["<terminal>"]["shape"] == "doubleoctagon" and ("<terminal>", "helper") in edges
    code, out, _ = run(capsys, "--legacy", "--why", "shared", "--all", "why.py")
    assert (code, out) == (0, "<terminal>\nleft\nshared\n\n<terminal>\nright\nshared\n")


@pytest.mark.parametrize("argv, code, message", [
    (["missing.py"], 2, "tarnwick-graph: missing.py: no such file or directory"),
    (["plain"], 2, "tarnwick-graph: plain: not a package directory"),
    (["--why", "nowhere", "why.py"], 3, "tarnwick-graph: nowhere is not in the graph"),
    (["app.py", "--affected", "bad.py"], 3, "tarnwick-graph: bad.py is not a module of the graph"),
    (["--svg", "g.svg", "why.py"], 4, "tarnwick-graph: --svg needs Graphviz's dot program"),
    (["--all", "why.py"], 2, "usage:"),
    (["why.py", "-m", "json"], 2, "usage:"),
    (["--legacy", "--cycles", "why.py"], 2, "usage:"),
    (["--why", "left", "--scope", "l", "why.py"], 2, "usage:"),
    (["--jobs", "0", "why.py"], 2, "usage:"),
    (["--jobs", "two", "why.py"], 2, "usage:"),
    (["--legacy", "--jobs", "2", "why.py"], 2, "usage:"),
])
def test_errors_and_exit_codes(project, capsys, monkeypatch, argv, code, message):
    monkeypatch.setattr(shutil, "which", lambda name: None)
    got, out, err = run(capsys, *argv)
    assert (got, out) == (code, "") and err.startswith(message)


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz's dot is not installed")
def test_svg_written_through_dot(project, capsys):
    assert run(capsys, "--svg", "graph.svg", "--max-depth", "1", "why.py") == (0, "", "")
    assert "<svg" in (project / "graph.svg").read_text()


def test_nothing_runs_and_stdout_is_the_output(project):
    proc = subprocess.run([sys.executable, "-m", "tarnwick_graph", "--json", "loud"],
                          capture_output=True, text=True, cwd=project, timeout=120)
    assert proc.returncode == 0 and proc.stderr == ""
    assert json.loads(proc.stdout)["roots"] == ["loud", "loud.inner"]  # no "ran" before it


@pytest.mark.parametrize("argv, pattern", [
    (["--version"], r"tarnwick-graph \S+"),
    (["--help"], r"(?s).*--affected FILE.*exit codes:.*3  --why or --affected"),
])
def test_version_and_help(capsys, argv, pattern):
    code, out, _ = run(capsys, *argv)
    assert code == 0 and re.match(pattern, out)
