"""The tarnwick-graph command line."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import tarnwick_graph as tg
from conftest import write_files
from tarnwick_graph.cli import main

LONG = "a_module_whose_name_is_longer_than_the_name_column"

FILES = {
    "app.py": f"import helper\nimport sys\nimport {LONG}\n",
    f"{LONG}.py": "",
    "empty.py": "",
    "helper.py": "import keyword\n",
    # Two chains of the same length to `shared`.
    "why.py": "import right\nimport left\nimport pkg.sibling\n",
    "left.py": "import shared\n",
    "right.py": "import shared\n",
    "shared.py": "import keyword\n",
    "lost.py": "import no_such_mod\nfrom pkg import sibling, no_such_name\nimport bad\n",
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


def command(*argv, cwd, **kw):
    """Runs the command in a fresh process: (exit code, stdout, stderr)."""
    kw.setdefault("stdout", subprocess.PIPE)
    proc = subprocess.run([sys.executable, "-m", "tarnwick_graph", *argv], cwd=cwd,
                          stderr=subprocess.PIPE, text=True, timeout=120, **kw)
    return proc.returncode, proc.stdout, proc.stderr


def run(capsys, *argv):
    try:
        code = main(list(argv))
    except SystemExit as e:  # argparse: usage errors, --help, --version
        code = e.code
    return (code, *capsys.readouterr())


def test_listing_json_and_dot(project, capsys):
    code, out, err = run(capsys, "app.py")
    lines, graph = out.splitlines(), tg.build("app.py")
    first = lines.index("depth 0")
    legend = dict(line.split() for line in lines[1:first])  # label -> search path entry
    assert (code, err, lines[0], legend[project.name]) == (0, "", "search path", str(project))
    assert lines[first + 1] == f"  {'__main__'.ljust(40)}  {project.name}: app.py"
    rows = {line.split()[0]: line for line in lines[first:-1] if line.startswith("  ")}
    assert list(rows) == sorted(graph, key=lambda n: (graph[n].depth, n))
    assert rows[LONG] == f"  {LONG}  {project.name}: {LONG}.py"
    assert rows["sys"].split()[1] == "(builtin)"
    for name, row in rows.items():
        label, _, rel = row.split(None, 1)[1].partition(": ")
        if rel:
            assert os.path.join(legend[label], rel) == graph[name].origin
    assert lines[-1] == f"{len(graph)} modules, {graph.edge_count} imports"
    assert run(capsys, "empty.py")[1].endswith("\n1 module, 0 imports\n")
    assert run(capsys, "--dot", "app.py")[1] == graph.to_dot()


LOUD = {"loud", "loud.inner", "json"}


# The modules --json gives, and for some the API call giving the same JSON.
@pytest.mark.parametrize("argv, kept, api", [
    (["--max-depth", "1", "why.py"], {"__main__", "left", "right", "pkg", "pkg.sibling"}, None),
    (["--scope", "shared", "why.py"], {"__main__", "shared"}, None),
    (["--scope", "pkg.", "why.py"], {"__main__", "pkg.sibling"}, None),
    (["loud"], LOUD, lambda: tg.build("loud")),  # leaves by default, in both
    (["-m", "loud"], LOUD, None),
    (["loud", "--external", "follow"], None, lambda: tg.build("loud", within="*")),
    (["loud", "--external", "collapse", "--scope", "json"], LOUD, None),
    (["loud", "--external", "follow", "--scope", "json.decoder"],
     {"loud", "loud.inner", "json.decoder"}, None),
    (["--external", "collapse", "lost.py"], {"__main__", "pkg", "bad"},
     lambda: tg.build("lost.py", within=[]).collapsed([])),
])
def test_json_filters_and_externals(project, capsys, argv, kept, api):
    code, out, err = run(capsys, "--json", *argv)
    modules = {m["name"]: m for m in json.loads(out)["modules"]}
    assert (code, err) == (0, "")
    if api is not None:
        assert out == api().to_json(indent=2) + "\n"
    if kept is None:
        kept = set(modules) | {"json.decoder"}
    assert set(modules) == kept and all(set(m["imports"]) <= kept for m in modules.values())
    if "loud" in kept:
        assert modules["loud"]["depth"] == modules["loud.inner"]["depth"] == 0


CHAINS = "__main__\nleft\nshared\n\n__main__\nright\nshared\n"


# The whole output, or a pattern it must match.
@pytest.mark.parametrize("argv, want", [
    (["--why", "shared", "--jobs", "1", "why.py"], "__main__\nleft\nshared\n"),
    (["--why", "shared", "--all", "why.py"], CHAINS),
    (["--why", "keyword", "--all", "why.py"], CHAINS.replace("shared\n", "shared\nkeyword\n")),
    (["--legacy", "--why", "shared", "--all", "why.py"], CHAINS.replace("__main__", "<terminal>")),
    (["why.py", "--affected", "shared.py"], "__main__\nleft\nright\n"),
    (["--affected", "shared.py", "why.py"], "__main__\nleft\nright\n"),
    (["--affected", "shared.py", "left.py", "why.py"], "__main__\nleft\nright\n"),
    (["--cycles", "loud"], "loud\nloud.inner\n"),
    (["--version"], re.compile(r"tarnwick-graph \S.*\n")),
    (["--help"], re.compile(r"(?s).*--affected FILE.*--problems.*exit codes:"
                            r".*3 +--why or --affected.*5 +the output.*")),
])
def test_chains_affected_cycles_version_and_help(project, capsys, argv, want):
    code, out, err = run(capsys, *argv)
    assert (code, err) == (0, "")
    assert want.fullmatch(out) if isinstance(want, re.Pattern) else out == want


def test_unresolved_and_problems(project, capsys):
    unresolved = [["also_missing", "pkg.sibling:1", "No module named 'also_missing'"],
                  ["no_such_mod", "__main__:1", "No module named 'no_such_mod'"]]
    unreadable = [str(project / "bad.py"), "bad",
                  "not valid UTF-8, and no coding cookie names another encoding"]

    def table(option):  # each row, split into its columns
        return [line.split(None, 2) for line in run(capsys, option, "lost.py")[1].splitlines()]

    assert table("--unresolved") == [*unresolved, ["2", "unresolved"]]
    assert table("--problems") == [unreadable, *unresolved, ["2", "unresolved,", "1 unreadable"]]
    assert run(capsys, "lost.py")[1].endswith(
        " imports, 2 unresolved, 1 unreadable (--problems lists them)\n")


def test_standard_input_and_legacy(project, capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdin", type("In", (), {"read": lambda self: "import helper\n"})())
    out = run(capsys, "--json", "-")[1]
    assert {m["name"] for m in json.loads(out)["modules"]} >= {"__main__", "helper", "keyword"}
    code, out, err = run(capsys, "--legacy", "--max-depth", "1", "app.py")
    rows = {line.split()[0]: line.split()[1] for line in out.splitlines() if line[:2] == "  "}
    assert (code, err, rows["<terminal>"], rows["sys"]) == (0, "", "(module)", "(builtin)")
    data = json.loads(run(capsys, "--legacy", "--json", "--scope", "helper", "app.py")[1])
    assert (data["roots"], data["problems"]) == (["<terminal>"], [])
    assert [(m["name"], m["kind"], m["imports"]) for m in data["modules"]] == [
        ("<terminal>", "module", ["helper"]), ("helper", "module", [])]
    assert '"<terminal>" -> "helper";' in run(capsys, "--legacy", "--dot", "app.py")[1]


# Runs read without argparse (quick) and those left to it: both readers must
# agree on every run the quick one reads.
@pytest.mark.parametrize("argv, quick", [(argv, True) for argv in (
    ["app.py"], ["-m", "json", "--json"], ["--why", "shared", "--all", "why.py"],
    ["-m", "json", "-m", "email", "-q", "--external", "collapse", "--skip", "function",
     "--skip", "guarded", "-j", "2", "--max-depth", "1", "--scope", "json."],
    ["-", "--package", "pkg", "--dot"], ["--svg", "g.svg", "--legacy", "app.py"],
    ["--problems", "--jobs", "3", "-m", "json"])] + [(argv, False) for argv in (
    ["--help"], ["--version"], ["--affected", "a.py", "app.py"], ["--js", "app.py"],
    ["--jobs=2", "app.py"], ["-mjson"], ["app.py", "other.py"], ["--json", "--dot", "app.py"],
    ["--max-depth", "-1", "app.py"], ["--max-depth", "x", "app.py"], ["--jobs", "0", "app.py"],
    ["--external", "all", "app.py"], ["--skip", "loops", "app.py"], ["--why"], [],
    ["app.py", "-m", "json"], ["--all", "app.py"], ["--", "app.py"])])
def test_quick_options_agree_with_argparse(argv, quick):
    from tarnwick_graph.cli import Args, parse_args, quick_args

    def options(args):
        return {name: getattr(args, name) for name in dir(Args) if not name.startswith("_")}

    fast = quick_args(argv)
    assert (fast is not None) == quick
    assert fast is None or options(fast) == options(parse_args(argv))


@pytest.mark.parametrize("argv, code, message", [
    (["missing.py"], 2, "tarnwick-graph: missing.py: no such file or directory"),
    (["/dev/null"], 2, "tarnwick-graph: /dev/null: not a regular file"),
    (["--legacy", "/dev/null"], 2, "tarnwick-graph: /dev/null: not a regular file"),
    (["plain"], 2, "tarnwick-graph: plain: not a package directory"),
    (["bad.py"], 2, "tarnwick-graph: cannot read {root}/bad.py: not valid UTF-8"),
    (["-m", "no_such_module"], 2, "tarnwick-graph: No module named 'no_such_module'"),
    (["-m", "json", "-m", "json.nope"], 2, "tarnwick-graph: No module named 'json.nope'"),
    (["--why", "nowhere", "why.py"], 3, "tarnwick-graph: nowhere is not in the graph"),
    (["app.py", "--affected", "bad.py"], 3, "tarnwick-graph: bad.py is not a module of the graph"),
    (["--svg", "g.svg", "why.py"], 4, "tarnwick-graph: --svg needs Graphviz's dot program"),
    *[(argv, 2, "usage:") for argv in (
        ["--all", "why.py"], ["why.py", "-m", "json"], ["--legacy", "--cycles", "why.py"],
        ["--why", "left", "--scope", "l", "why.py"], ["--jobs", "0", "why.py"],
        ["--jobs", "two", "why.py"], ["--legacy", "--jobs", "2", "why.py"])],
])
def test_errors_and_exit_codes(project, tmp_path_factory, argv, code, message):
    no_tools = tmp_path_factory.mktemp("bin")  # a PATH without Graphviz's dot
    got, out, err = command(*argv, cwd=project, env=dict(os.environ, PATH=str(no_tools)))
    assert (got, out) == (code, "") and err.startswith(message.format(root=project))
    assert len(err.splitlines()) == 1 or message == "usage:"


@pytest.mark.parametrize("stdout, message", [
    ("/dev/full", "No space left on device"), (None, "standard output is closed")])
def test_output_that_cannot_be_written(project, stdout, message):
    if stdout and not os.path.exists(stdout):
        pytest.skip(f"{stdout} is missing")
    with open(stdout or os.devnull, "w") as out:  # no file: the command starts with fd 1 closed
        got = command("app.py", cwd=project, stdout=out,
                      preexec_fn=None if stdout else lambda: os.close(1))
    assert got[0::2] == (5, f"tarnwick-graph: cannot write the output: {message}\n")


def test_a_pipe_closed_early_ends_cleanly(project):
    proc = subprocess.Popen([sys.executable, "-m", "tarnwick_graph", "-m", "json", "--external",
                             "follow"], cwd=project, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.readline()
    proc.stdout.close()
    with proc.stderr:
        assert (proc.wait(timeout=120), proc.stderr.read()) == (0, b"")


def test_interrupt_prints_one_line(project):
    # Reading the source from standard input, the command waits until told.
    proc = subprocess.Popen([sys.executable, "-m", "tarnwick_graph", "-"], cwd=project,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:  # until it blocks reading fd 0
        try:
            if Path(f"/proc/{proc.pid}/syscall").read_text().split()[:2] == ["0", "0x0"]:
                break
        except OSError:  # no such file here: give it time to start instead
            time.sleep(2)
            break
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert (proc.returncode, out, err) == (130, b"", b"tarnwick-graph: interrupted\n")


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz's dot is not installed")
def test_svg_written_through_dot(project, capsys):
    assert run(capsys, "--svg", "graph.svg", "--max-depth", "1", "why.py") == (0, "", "")
    assert "<svg" in (project / "graph.svg").read_text()


def test_nothing_runs_and_stdout_is_the_output(project):
    code, out, err = command("--json", "loud", cwd=project)  # no "ran" before the JSON
    assert (code, err, json.loads(out)["roots"]) == (0, "", ["loud", "loud.inner"])


# ---- the documented sessions -----------------------------------------------------

REPO = Path(__file__).resolve().parents[2]
# The docs show the installed command on the interpreter they name: the
# stdlib's size, and what the tarnwick module finds in the running program,
# vary with the interpreter and with the way the command is started.
DOCS_PYTHON = (3, 11, 7)
as_documented = pytest.mark.skipif(sys.version_info[:3] != DOCS_PYTHON or hasattr(
    sys, "gettotalrefcount"), reason="the docs show CPython %d.%d.%d's release build" % DOCS_PYTHON)
INSTALLED = os.path.join(os.path.dirname(sys.executable), "tarnwick-graph")


def documented_sessions():
    """(command, expected output) for each `$ tarnwick-graph` line of the
    console blocks of README.md and docs/GUIDE.md."""
    found = []
    for doc in ("README.md", "docs/GUIDE.md"):
        text = (REPO / doc).read_text(encoding="utf-8")
        for session in (s for block in re.findall(r"^```console\n(.*?)^```", text, re.M | re.S)
                        for s in re.split(r"^(?=\$ )", block, flags=re.M)):
            command, _, output = session.partition("\n")
            if command.startswith("$ tarnwick-graph "):
                found.append(pytest.param(command[2:], output, id=f"{doc}: {command[2:]}"))
    return found


@as_documented
@pytest.mark.skipif(not os.path.exists(INSTALLED), reason="tarnwick-graph is not installed")
@pytest.mark.parametrize("command, expected", documented_sessions())
def test_documented_sessions(tmp_path, command, expected):
    import sysconfig

    command, *pipe = command.split(" | ")
    stdlib = sysconfig.get_paths()["stdlib"]
    argv = [a.replace("…/lib/python3.11", stdlib) for a in command.split()[1:]]
    cwd = REPO
    if "main.py" in argv:  # the docs' small example, in a folder of that name
        cwd = write_files(tmp_path / "dtest", {"main.py": "import a\nimport b\n", "c.py": "",
                                               "a.py": "import b\n", "b.py": "import c\n"})
    proc = subprocess.run([INSTALLED, *argv], cwd=cwd, capture_output=True, text=True,
                          timeout=120)
    lines = proc.stdout.splitlines(keepends=True)
    for tool, n in (step.split() for step in pipe):
        lines = lines[: int(n[1:])] if tool == "head" else lines[-int(n[1:]):]
    # The search path entries as the docs show them: …/ and their last folder.
    shown = re.sub(r"^(  \S+ +)/\S*?([^/\s]+)$", r"\1…/\2", "".join(lines), flags=re.M)
    assert (proc.returncode, proc.stderr, shown) == (0, "", expected)


@as_documented
def test_documented_api_session(monkeypatch):
    import doctest

    api = (REPO / "README.md").read_text(encoding="utf-8").partition("## The Python API")[2]
    session = re.search(r"^```python\n(.*?)^```", api, re.M | re.S).group(1)
    monkeypatch.chdir(REPO)
    test = doctest.DocTestParser().get_doctest(session, {}, "README", "README.md", 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=lambda text: pytest.fail(text))
    assert runner.summarize(verbose=False).attempted == len(test.examples) > 5
