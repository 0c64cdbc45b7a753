"""The type stubs: they match the runtime objects, ship installed, and type-check."""

import ast
import filecmp
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import tarnwick

ROOT = Path(__file__).resolve().parents[2]
STUBS = ROOT / "stubs" / "tarnwick-stubs"
STUB_FILES = ["__init__.pyi", "parser.pyi"]


def stub(name):
    """Public top-level definitions of a stub file, by name; `__all__` as a list."""
    tree = ast.parse((STUBS / name).read_text())
    defs = {}
    for node in tree.body:
        if isinstance(node, ast.Assign):
            defs[node.targets[0].id] = ast.literal_eval(node.value)
        elif isinstance(node, (ast.ClassDef, ast.FunctionDef)) and not node.name.startswith("_"):
            defs[node.name] = node
    return defs


def text_signature(fn):
    """The host's `__text_signature__` form of a stub function."""
    args = fn.args
    names = [a.arg for a in args.args]
    defaults = [None] * (len(names) - len(args.defaults)) + args.defaults
    parts = [
        ("$self" if n == "self" else n) + ("" if d is None else "=" + ast.unparse(d))
        for n, d in zip(names, defaults)
    ]
    return "(" + ", ".join(parts) + ")"


def type_names(annotation):
    """Runtime type names an annotation admits: `set[str] | None` -> {'set', 'NoneType'}."""
    if isinstance(annotation, ast.BinOp):
        return type_names(annotation.left) | type_names(annotation.right)
    if isinstance(annotation, ast.Subscript):
        return type_names(annotation.value)
    if isinstance(annotation, ast.Constant):
        return {"NoneType"}
    return {annotation.id}


def test_stub_matches_runtime():
    module, parser = stub("__init__.pyi"), stub("parser.pyi")
    assert module.pop("__all__") == tarnwick.__all__
    assert parser.pop("__all__") == tarnwick.parser.__all__
    assert set(module) == set(tarnwick.__all__) - {"parser"}
    assert text_signature(parser["parse"]) == tarnwick.parser.parse.__text_signature__

    graph = tarnwick.GraphBuilder().build("import keyword")
    samples = {"DepGraph": graph, "DepNode": graph.get("keyword")}
    call_args = {"get": ("keyword",), "get_all_scoped": ("k",)}
    for name, cls in module.items():
        runtime = getattr(tarnwick, name)
        members = {f.name: f for f in cls.body if isinstance(f, ast.FunctionDef)}
        init = members.pop("__init__", None)
        assert (init and text_signature(init).replace("$self, ", "")) == runtime.__text_signature__
        public = {k for k in vars(runtime) if not k.startswith("_")}
        assert set(members) == public, name
        for member, fn in members.items():
            is_property = any(ast.unparse(d) == "property" for d in fn.decorator_list)
            if is_property:
                assert type(vars(runtime)[member]).__name__ == "getset_descriptor"
                value = getattr(samples[name], member)
            else:
                sig = getattr(runtime, member).__text_signature__
                assert text_signature(fn) == sig, f"{name}.{member}"
                if name in samples:
                    value = getattr(samples[name], member)(*call_args.get(member, ()))
            if name in samples:
                assert type(value).__name__ in type_names(fn.returns), f"{name}.{member}"


def test_mypy_strict_on_typed_example(tmp_path):
    pytest.importorskip("mypy", reason="mypy is installed by scripts/test.sh")
    installed = Path(sysconfig.get_paths()["platlib"]) / "tarnwick-stubs"
    match, mismatch, missing = filecmp.cmpfiles(STUBS, installed, STUB_FILES, shallow=False)
    assert match == STUB_FILES, f"installed stubs differ from the tree ({installed}): pip install ."
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         str(ROOT / "python" / "tarnwick_graph"), str(ROOT / "tests" / "python" / "typed_example.py")],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
