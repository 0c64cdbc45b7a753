"""Spec lookup through importlib: what is extracted from the host's spec objects. Which fields
are refused is checked on the extraction itself (through the probe); a build treats a refused
spec as not found."""

import tarnwick


class Spec:
    """A spec-like object with whatever attributes a test gives it."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)


def good(module, **overrides):
    attrs = dict(name=module, origin="built-in", parent="", submodule_search_locations=None)
    attrs.update(overrides)
    return Spec(**attrs)


def test_origin_none_converts_to_none_and_package_aliases_are_followed(finder):
    from importlib.machinery import ModuleSpec

    finder({
        # a real spec, so the host can import the package while looking up nsp.part
        "nsp": ModuleSpec("nsp", None, is_package=True),
        "nsp.part": good("nsp.part", parent="nsp"),
    })
    graph = tarnwick.GraphBuilder().build("from nsp import part")
    assert graph.get("nsp").spec == {"name": "nsp", "origin": None}
    assert graph.keys() == {"<terminal>", "nsp", "nsp.part"}


def test_node_uses_the_name_the_host_reports(finder):
    finder({"alias_name": good("real_name")})
    graph = tarnwick.GraphBuilder().build("import alias_name")
    assert graph.keys() == {"<terminal>", "real_name"}


def test_lookup_errors_and_refused_specs_are_not_found(finder):
    finder({"raises": RuntimeError("nope"), "odd": good("odd", parent=None)})
    graph = tarnwick.GraphBuilder().build("import raises\nimport odd")
    assert graph.keys() == {"<terminal>"}
    import sys

    assert sys.exc_info() == (None, None, None)


def test_namespace_package_is_a_leaf(tree):
    tree({"nspkg/mod.py": ""})  # no __init__.py: a namespace package
    graph = tarnwick.GraphBuilder().build("import nspkg.mod")
    assert graph.get("nspkg").spec["origin"] is None
    assert graph.get("nspkg.mod").depth == 1


def test_loaded_spec_is_logged_with_debug_origin(run_python):
    proc = run_python(
        """
import logging, sys
from importlib.machinery import ModuleSpec
class F:
    def find_spec(self, name, path=None, target=None):
        return {"q": ModuleSpec("q", None, origin='C:\\\\dir\\\\"q".so'),
                "n": ModuleSpec("n", None, origin=None)}.get(name)
sys.meta_path.insert(0, F())
logging.basicConfig(level=logging.DEBUG, stream=sys.stdout, format="%(name)s %(message)s")
import tarnwick
tarnwick.GraphBuilder().build("import q, n, missing_module_xyz")
""",
    )
    lines = [l for l in proc.stdout.splitlines() if l.startswith("tarnwick.importlib.util")]
    assert lines == [
        'tarnwick.importlib.util Loaded spec: q Some("C:\\\\dir\\\\\\"q\\".so")',
        "tarnwick.importlib.util Loaded spec: n None",
    ]


def test_extraction_failures_name_the_field(run_python, probe_dir):
    proc = run_python(
        """
import _tarnwick_logprobe as probe
class Spec:
    def __init__(self, **attrs):
        self.__dict__.update(dict(name="m", origin="/m.py", parent="", submodule_search_locations=None) | attrs)
class Raising(Spec):
    @property
    def parent(self):
        raise KeyError("parent")
class Bare:  # no parent, no submodule_search_locations
    name, origin = "m", None
for spec in [Spec(), Spec(origin=None), Spec(submodule_search_locations=("x", "y")), Spec(name=3),
             Spec(origin=b"/m.py"), Spec(parent=None), Spec(submodule_search_locations="ab"),
             Spec(submodule_search_locations=[1]), Spec(submodule_search_locations=5), Raising(),
             Bare()]:
    try:
        print(probe.extract(spec))
    except BaseException as e:
        print(type(e).__name__, e, type(e.__cause__).__name__)
""",
        extra_path=probe_dir,
    )
    field = "TypeError failed to extract field ModuleSpec."
    assert proc.stdout.splitlines() == [
        "('m', '/m.py')", "('m', None)", "('m', '/m.py')", field + "name TypeError",
        field + "origin TypeError", field + "parent TypeError",
        *[field + "submodule_search_locations TypeError"] * 3, "KeyError 'parent' NoneType",
        "AttributeError 'Bare' object has no attribute 'parent' NoneType",
    ]
