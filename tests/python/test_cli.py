"""The tarnwick-graph command line front end."""

import json
import re
import shutil
import subprocess
import sys

import pytest

import tarnwick_cli
from tarnwick_cli import Progress, main

FILES = {
    "app.py": "import helper\nimport sys\n",
    "helper.py": "import keyword\n",
    # Two chains of the same length to `shared`, a longer one to `keyword`.
    "why.py": "import right\nimport left\n",
    "left.py": "import shared\n",
    "right.py": "import shared\n",
    "shared.py": "import keyword\n",
    "lost.py": "import no_such_mod\nfrom pkg import sibling, no_such_name\n",
    "pkg/__init__.py": "",
    "pkg/rel.py": "from . import sibling\n",
    "pkg/sibling.py": "import also_missing\n",
}


@pytest.fixture
def project(tmp_path, monkeypatch):
    for rel, text in FILES.items():
        (tmp_path / rel).parent.mkdir(exist_ok=True)
        (tmp_path / rel).write_text(text)
    (tmp_path / "bad.py").write_bytes(b"\xff\xfe not utf-8")
    monkeypatch.chdir(tmp_path)
    yield tmp_path
    for name in ("helper", "left", "right", "shared", "pkg", "pkg.rel", "pkg.sibling"):
        sys.modules.pop(name, None)


def run(capsys, *argv):
    try:
        code = main(list(argv))
    except SystemExit as e:  # argparse: usage errors, --help, --version
        code = e.code
    return (code, *capsys.readouterr())


def cli(*argv, cwd, stdin=""):
    """A fresh interpreter: logging configuration starts clean there."""
    return subprocess.run([sys.executable, "-m", "tarnwick_cli", *argv], input=stdin,
                          capture_output=True, text=True, cwd=cwd, timeout=120)


def read_dot(text):
    """Nodes with their attributes, and edges, of the DOT the CLI writes."""
    nodes = {m[0]: dict(re.findall(r'(\w+)=("[^"]*"|\w+)', m[1]))
             for m in re.findall(r'^\s*"([^"]+)" \[(.*)\];$', text, re.M)}
    edges = set(re.findall(r'^\s*"([^"]+)" -> "([^"]+)";$', text, re.M))
    return nodes, edges


def test_listing_json_and_dot_outputs(project, capsys):
    code, out, err = run(capsys, "app.py")
    assert code == 0, err
    lines = out.splitlines()
    assert lines[:2] == ["depth 0", "  <terminal>"]
    assert lines.index("depth 1") < lines.index("depth 2")
    assert next(l for l in lines if l.split()[0] == "helper").split()[1] == str(project / "helper.py")
    assert re.fullmatch(r"\d+ modules, \d+ imports", lines[-1])

    code, out, _ = run(capsys, "--json", "app.py")
    assert code == 0
    data = json.loads(out)
    nodes = {n["name"]: n for n in data["nodes"]}
    assert data["root"] == "<terminal>"
    assert [nodes[n]["depth"] for n in ("<terminal>", "helper", "keyword")] == [0, 1, 2]
    assert (nodes["<terminal>"]["dependencies"], nodes["helper"]["dependencies"]) == (["helper", "sys"], ["keyword"])
    assert nodes["sys"]["origin"] == "built-in"

    code, out, _ = run(capsys, "--dot", "app.py")
    assert code == 0 and out.startswith("digraph imports {") and out.rstrip().endswith("}")
    nodes, edges = read_dot(out)
    assert {("<terminal>", "helper"), ("<terminal>", "sys"), ("helper", "keyword")} <= edges
    assert nodes["<terminal>"]["shape"] == "doubleoctagon"
    assert [nodes[n]["fillcolor"] for n in ("helper", "keyword")] == ['"/blues9/7"', '"/blues9/6"']


@pytest.mark.parametrize("argv, want", [
    (["shared"], ["left shared"]),
    (["shared", "--all"], ["left shared", "right shared"]),
    (["keyword", "--all"], ["left shared keyword", "right shared keyword"]),
    (["<terminal>"], [""]),
])
def test_why_prints_shortest_chains(project, capsys, argv, want):
    code, out, err = run(capsys, "--why", *argv, "why.py")
    assert code == 0, err
    assert [block.splitlines() for block in out.rstrip("\n").split("\n\n")] == [
        ["<terminal>", *chain.split()] for chain in want]


def test_why_does_not_trust_recorded_depths():
    # b's recorded depth is 2 (found through a first); c, walked from b before
    # the text's own `import b` was met, keeps depth 3 though 2 steps suffice.
    g = tarnwick_cli.Graph.__new__(tarnwick_cli.Graph)
    g.depth = {"<terminal>": 0, "a": 1, "b": 1, "c": 3}
    g.dependents = {"<terminal>": set(), "a": {"<terminal>"}, "b": {"a", "<terminal>"}, "c": {"b"}}
    g.dependencies = {"<terminal>": {"a", "b"}, "a": {"b"}, "b": {"c"}, "c": set()}
    assert g.shortest_chains("c", every=True) == [["<terminal>", "b", "c"]]


@pytest.mark.parametrize("argv, kept", [
    (["--max-depth", "0"], {"<terminal>"}),
    (["--max-depth", "1"], {"<terminal>", "left", "right"}),
    (["--scope", "sh"], {"<terminal>", "shared"}),
    (["--scope", "r", "--max-depth", "1"], {"<terminal>", "right"}),
])
def test_filters_keep_root_and_edges_between_kept(project, capsys, argv, kept):
    code, out, _ = run(capsys, "--json", *argv, "why.py")
    assert code == 0
    nodes = {n["name"]: n for n in json.loads(out)["nodes"]}
    assert set(nodes) == kept
    assert all(set(n["dependencies"]) <= kept for n in nodes.values())
    assert nodes["<terminal>"]["dependencies"] == sorted(kept & {"left", "right"})


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz's dot is not installed (apt-get install graphviz)")
def test_svg_written_through_dot(project, capsys):
    code, out, err = run(capsys, "--svg", "graph.svg", "--max-depth", "1", "why.py")
    assert (code, out, err) == (0, "", "")
    svg = (project / "graph.svg").read_text()
    assert "<svg" in svg and "&lt;terminal&gt;" in svg and "left" in svg and "shared" not in svg


@pytest.mark.parametrize("argv, code, message", [
    (["missing.py"], 2, "tarnwick-graph: cannot read missing.py"),
    (["bad.py"], 2, "tarnwick-graph: cannot read bad.py"),
    (["pkg/rel.py"], 1, "tarnwick-graph: build failed: Attempted relative import from terminal node"),
    (["--why", "nowhere", "why.py"], 3, "tarnwick-graph: nowhere is not in the graph"),
    (["--svg", "g.svg", "why.py"], 4, "tarnwick-graph: --svg needs Graphviz's dot program"),
    (["--all", "why.py"], 2, "usage:"),
    (["--why", "left", "--scope", "l", "why.py"], 2, "usage:"),
    (["--max-depth", "-1", "why.py"], 2, "usage:"),
])
def test_errors_and_exit_codes(project, capsys, monkeypatch, argv, code, message):
    monkeypatch.setattr(tarnwick_cli.shutil, "which", lambda name: None)
    got, out, err = run(capsys, *argv)
    assert (got, out) == (code, "") and err.startswith(message)


@pytest.mark.parametrize("argv, pattern", [(["--version"], r"tarnwick-graph \S+"),
                                           (["--help"], r"(?s).*--why MODULE.*exit codes:.*3  --why")])
def test_version_and_help(capsys, argv, pattern):
    code, out, _ = run(capsys, *argv)
    assert code == 0 and re.match(pattern, out)


def test_unresolved_names_with_their_importer(project):
    proc = cli("--unresolved", "lost.py", cwd=project)
    assert proc.returncode == 0, proc.stderr
    assert [l.split() for l in proc.stdout.splitlines()] == [
        ["<terminal>", "no_such_mod"],
        ["pkg.sibling", "also_missing"],
        ["<terminal>", "pkg.no_such_name", "(from", "pkg", "import", "no_such_name)"],
        "3 names not found, 1 of them in from-import lists (often attributes, not modules)".split(),
    ]
    assert proc.stderr == ""  # the debug records stay out of the terminal


@pytest.mark.parametrize("times, shown", [
    ([0.5, 0.9], []),                  # fast builds print nothing
    ([1.0, 1.05, 1.1, 1.15], [1, 3]),  # then at most every 0.1 s
    ([2.0, 2.5], [1, 2]),
])
def test_progress_line_is_delayed_and_throttled(times, shown):
    class Out(list):
        write = list.append
        flush = lambda self: None

    clock = iter([0.0, *times]).__next__
    out = Out()
    progress = Progress(out, clock=clock)
    for count in range(1, len(times) + 1):
        progress.update(count)
    assert [int(re.search(r"(\d+) modules", w)[1]) for w in out] == shown
    progress.clear()
    assert out[-1].strip("\r ") == "" if shown else out == []


def test_standard_input(project):
    proc = cli("--json", "-", cwd=project, stdin="import helper\n")
    assert proc.returncode == 0, proc.stderr
    assert {n["name"] for n in json.loads(proc.stdout)["nodes"]} >= {"<terminal>", "helper", "keyword"}
