"""The module frame: attributes, classes, signatures and argument errors."""

import pydoc
import sys

import pytest

import tarnwick
from tarnwick import parser

CLASSES = ("DepNode", "DepGraph", "GraphBuilder")


def test_module_attributes_and_help():
    assert tarnwick.__doc__.startswith("The import graph of Python source text")
    assert parser.__doc__.startswith("The import grammar")
    assert tarnwick.__all__ == [*CLASSES, "parser"]
    assert (parser.__all__, parser.__name__, parser.parse.__module__) == (["parse"], "parser", "parser")
    assert tarnwick.parser is parser
    assert type(parser.parse).__name__ == "builtin_function_or_method"
    assert "tarnwick.parser" not in sys.modules and sys.modules.get("parser") is not parser
    # help() shows the classes under their bare names.
    text = pydoc.render_doc(tarnwick, renderer=pydoc.plaintext)
    for name in CLASSES:
        cls = getattr(tarnwick, name)
        assert (cls.__name__, cls.__module__) == (name, "tarnwick")
        assert f"class {name}(builtins.object)" in text
    assert "in module tarnwick" in pydoc.render_doc(tarnwick.GraphBuilder, renderer=pydoc.plaintext)


@pytest.mark.parametrize("obj, signature", [
    (tarnwick.GraphBuilder, "(verbose=None)"),
    (tarnwick.GraphBuilder.build, "($self, source, package=None)"),
    (parser.parse, "(source)"),
    (tarnwick.DepGraph.get, "($self, name)"),
    (tarnwick.DepGraph.get_all_scoped, "($self, scope)"),
    *[(getattr(tarnwick.DepGraph, name), "($self)")
      for name in ("size", "num_dependencies", "keys", "origins", "names")],
])
def test_text_signatures_and_docs(obj, signature):
    assert obj.__text_signature__ == signature
    assert len(obj.__doc__) > 20  # a description besides the signature


@pytest.mark.parametrize("cls, doc", [(tarnwick.DepNode, "One module of a DepGraph"),
                                      (tarnwick.DepGraph, "A read-only import graph"),
                                      (tarnwick.GraphBuilder, "")])
def test_class_shapes(cls, doc):
    # Instances carry no __dict__ and no weak references.
    assert (cls.__name__, cls.__bases__, cls.__weakrefoffset__, cls.__dictoffset__) == (
        cls.__qualname__, (object,), 0, 0)
    assert "__dict__" not in dir(cls) and cls.__doc__.startswith(doc)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    if cls is not tarnwick.GraphBuilder:
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls()
    if cls is tarnwick.DepNode:  # documented data descriptors, read-only
        for attr in ("name", "spec", "dependents", "depth", "dependencies"):
            assert len(vars(cls)[attr].__doc__) > 20 and vars(cls)[attr].__set__ is not None


GRAPH = tarnwick.GraphBuilder().build("")


@pytest.mark.parametrize("call, exc, message", [
    (lambda: parser.parse(), TypeError, "parse() missing 1 required positional argument: 'source'"),
    (lambda: parser.parse("a", "b"), TypeError, "parse() takes 1 positional argument but 2 were given"),
    (lambda: parser.parse(src="a"), TypeError, "parse() got an unexpected keyword argument 'src'"),
    (lambda: parser.parse("a", source="b"), TypeError, "parse() got multiple values for argument 'source'"),
    (lambda: parser.parse(b"x"), TypeError, "argument 'source': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: tarnwick.GraphBuilder(1), TypeError, "argument 'verbose': 'int' object cannot be converted to 'PyBool'"),
    (lambda: tarnwick.GraphBuilder(True, 1), TypeError, "GraphBuilder.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: tarnwick.GraphBuilder(x=1), TypeError, "GraphBuilder.__new__() got an unexpected keyword argument 'x'"),
    (lambda: tarnwick.GraphBuilder().build(), TypeError, "GraphBuilder.build() missing 1 required positional argument: 'source'"),
    (lambda: tarnwick.GraphBuilder().build("", None, 1), TypeError, "GraphBuilder.build() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: tarnwick.GraphBuilder().build(None), TypeError, "argument 'source': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: tarnwick.GraphBuilder().build("", 3.5), TypeError, "argument 'package': 'float' object cannot be converted to 'PyString'"),
    (lambda: GRAPH.get(1), TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda: GRAPH.get_all_scoped(None), TypeError, "argument 'scope': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: GRAPH.get(), TypeError, "DepGraph.get() missing 1 required positional argument: 'name'"),
    (lambda: GRAPH.get_all_scoped(x="a"), TypeError, "DepGraph.get_all_scoped() got an unexpected keyword argument 'x'"),
    (lambda: GRAPH.get("a", "b"), TypeError, "DepGraph.get() takes 2 positional arguments but 3 were given"),
    (lambda: GRAPH.size(1), TypeError, "DepGraph.size() takes no arguments (1 given)"),
    (lambda: parser.parse("import os\n\ud800"), UnicodeEncodeError,  # the host's own error
     "'utf-8' codec can't encode character '\\ud800' in position 10: surrogates not allowed"),
])
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


def test_imports_from_any_directory_once_per_process(run_python, tmp_path):
    proc = run_python(f"""
        import os, sys
        os.chdir({str(tmp_path)!r})
        import tarnwick
        print(tarnwick.__all__)
        del sys.modules["tarnwick"]
        try:
            import tarnwick
        except ImportError as e:
            print("ImportError:", e)
    """)
    shown, failed = proc.stdout.splitlines()
    assert "GraphBuilder" in shown
    assert failed.startswith("ImportError:") and "once per interpreter process" in failed
