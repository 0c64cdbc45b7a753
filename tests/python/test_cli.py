"""The tarnwick-graph command line front end."""

import json
import re
import subprocess
import sys

import pytest

from tarnwick_cli import main


@pytest.fixture
def project(tmp_path):
    (tmp_path / "app.py").write_text("import helper\nimport sys\n")
    (tmp_path / "helper.py").write_text("import keyword\n")
    (tmp_path / "bad.py").write_bytes(b"\xff\xfe not utf-8")
    pkg = tmp_path / "pkg"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    (pkg / "rel.py").write_text("from . import sibling\n")
    (pkg / "sibling.py").write_text("")
    yield tmp_path
    for name in ("helper", "pkg", "pkg.rel", "pkg.sibling"):
        sys.modules.pop(name, None)


def run(capsys, *argv):
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def test_listing_groups_by_depth(project, capsys):
    code, out, err = run(capsys, str(project / "app.py"))
    assert code == 0, err
    lines = out.splitlines()
    assert lines[0] == "depth 0"
    assert lines[1].strip() == "<terminal>"
    assert "depth 1" in lines and "depth 2" in lines
    assert lines.index("depth 1") < lines.index("depth 2")
    helper = next(l for l in lines if l.split()[0] == "helper")
    assert helper.split()[1] == str(project / "helper.py")
    assert re.fullmatch(r"\d+ modules, \d+ imports", lines[-1])


def test_json_output(project, capsys):
    code, out, _ = run(capsys, "--json", str(project / "app.py"))
    assert code == 0
    data = json.loads(out)
    nodes = {n["name"]: n for n in data["nodes"]}
    assert data["root"] == "<terminal>"
    assert nodes["<terminal>"]["depth"] == 0
    assert nodes["<terminal>"]["dependencies"] == ["helper", "sys"]
    assert nodes["helper"]["dependencies"] == ["keyword"]
    assert nodes["sys"]["origin"] == "built-in"
    assert nodes["keyword"]["depth"] == 2


def test_dot_output(project, capsys):
    code, out, _ = run(capsys, "--dot", str(project / "app.py"))
    assert code == 0
    assert out.startswith("digraph imports {") and out.rstrip().endswith("}")
    edges = set(re.findall(r'^\s*"([^"]+)" -> "([^"]+)";$', out, re.M))
    assert {("<terminal>", "helper"), ("<terminal>", "sys"), ("helper", "keyword")} <= edges
    assert '"<terminal>" [label="<terminal>", shape=doubleoctagon];' in out


def test_package_option_resolves_relative_imports(project, capsys):
    code, out, err = run(capsys, "--json", "--package", "pkg", str(project / "pkg" / "rel.py"))
    assert code == 0, err
    names = {n["name"] for n in json.loads(out)["nodes"]}
    assert {"pkg", "pkg.sibling"} <= names


@pytest.mark.parametrize(
    "argv, code, message",
    [
        (["missing.py"], 2, "tarnwick-graph: cannot read missing.py"),
        (["bad.py"], 2, "tarnwick-graph: cannot read bad.py"),
        (["pkg/rel.py"], 1, "tarnwick-graph: build failed: Attempted relative import from terminal node"),
    ],
)
def test_errors_and_exit_codes(project, capsys, monkeypatch, argv, code, message):
    monkeypatch.chdir(project)
    got, out, err = run(capsys, *argv)
    assert got == code
    assert out == ""
    assert err.startswith(message)


def test_standard_input_and_module_entry(project):
    proc = subprocess.run(
        [sys.executable, "-m", "tarnwick_cli", "--json", "-"],
        input="import helper\n",
        capture_output=True,
        text=True,
        cwd=project,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    names = {n["name"] for n in json.loads(proc.stdout)["nodes"]}
    assert names >= {"<terminal>", "helper", "keyword"}
