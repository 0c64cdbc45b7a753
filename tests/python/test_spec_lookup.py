"""Spec lookup through importlib: what is extracted from the host's spec objects. Which fields
are refused is checked on the extraction itself (through the probe); a build treats a refused
spec as not found. How found specs are logged: test_builder.py."""

import sys
from importlib.machinery import ModuleSpec
from types import SimpleNamespace

import tarnwick


def good(module, **overrides):
    """A spec-like object with the fields a build reads."""
    return SimpleNamespace(**dict(name=module, origin="built-in", parent="", submodule_search_locations=None) | overrides)


def test_what_a_build_takes_from_the_specs_it_finds(finder, tree):
    tree({"nspkg/mod.py": ""})  # no __init__.py: a namespace package
    finder({
        # a real spec, so the host can import the package while looking up nsp.part
        "nsp": ModuleSpec("nsp", None, is_package=True),
        "nsp.part": good("nsp.part", parent="nsp"),
        "alias_name": good("real_name"),  # the node takes the name the host reports
        "raises": RuntimeError("nope"), "odd": good("odd", parent=None),  # both not found
    })
    graph = tarnwick.GraphBuilder().build("from nsp import part\nimport alias_name, raises, odd, nspkg.mod")
    assert graph.keys() == {"<terminal>", "nsp", "nsp.part", "real_name", "nspkg", "nspkg.mod"}
    assert graph.get("nsp").spec == {"name": "nsp", "origin": None}
    assert graph.get("nspkg").spec["origin"] is None and graph.get("nspkg.mod").depth == 1
    assert sys.exc_info() == (None, None, None)


def test_extraction_failures_name_the_field(run_python, probe_dir):
    proc = run_python("""
        import _tarnwick_logprobe as probe
        from types import SimpleNamespace as NS
        def Spec(**attrs):
            return NS(**dict(name="m", origin="/m.py", parent="", submodule_search_locations=None) | attrs)
        class Raising(NS):
            parent = property(lambda self: {}["parent"])  # raises KeyError('parent')
        for spec in [Spec(), Spec(origin=None), Spec(submodule_search_locations=("x", "y")), Spec(name=3),
                     Spec(origin=b"/m.py"), Spec(parent=None), Spec(submodule_search_locations="ab"),
                     Spec(submodule_search_locations=[1]), Spec(submodule_search_locations=5),
                     Raising(name="m", origin=None), NS(name="m", origin=None)]:  # the last with no parent
            try:
                print(probe.extract(spec))
            except BaseException as e:
                print(type(e).__name__, e, type(e.__cause__).__name__)
    """, extra_path=probe_dir)
    field = "TypeError failed to extract field ModuleSpec."
    assert proc.stdout.splitlines() == [
        "('m', '/m.py')", "('m', None)", "('m', '/m.py')", field + "name TypeError",
        field + "origin TypeError", field + "parent TypeError",
        *[field + "submodule_search_locations TypeError"] * 3, "KeyError 'parent' NoneType",
        "AttributeError 'types.SimpleNamespace' object has no attribute 'parent' NoneType",
    ]
