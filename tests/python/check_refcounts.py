"""Reference-count and allocation check of every entry point, for a debug interpreter
(python3.11-dbg, with tarnwick importable). Each scenario calls one part of the public
surface, error paths included, ROUNDS rounds of REPS calls; after each round the cycle
collector runs and the total reference and allocated block counts are recorded. Rounds
before WARM fill the caches meant to fill once (the builder's cache, the logging bridge's
logger cache, imported packages, interned strings); from round WARM on, neither may grow."""

import builtins
import contextlib
import gc
import importlib
import logging
import os
import sys
import tempfile
import types
from array import array

ROUNDS = int(os.environ.get("TARNWICK_REFCOUNT_ROUNDS", "6"))
WARM = 2
REPS = int(os.environ.get("TARNWICK_REFCOUNT_REPS", "30"))

# Logging goes to Python before the first record, so every build below also
# runs the bridge's delivery path. The handler's mode is switched per scenario.
class Handler(logging.Handler):
    mode = None

    def emit(self, record):
        record.getMessage()
        if self.mode is not None:
            raise self.mode("raised by a logging handler")


HANDLER = Handler()
logging.getLogger("tarnwick").setLevel(logging.DEBUG)
logging.getLogger("tarnwick").addHandler(HANDLER)
logging.getLogger("tarnwick").propagate = False

import tarnwick  # noqa: E402  (after logging is configured)

PARSE = tarnwick.parser.parse
Builder = tarnwick.GraphBuilder

TREE = {
    "pkg/__init__.py": "from . import a\n",
    "pkg/a.py": "from .b import thing\nimport sys, os.path as p\n",
    "pkg/b.py": "import pkg.a\nfrom pkg import c\n",
    "pkg/c.py": "",
    "badutf.py": b"import sys\n\xff\n",
    "reenter/__init__.py": "import builtins\ntry:\n    builtins._tw_builder.build('')\n"
                           "except RuntimeError as e:\n    builtins._tw_seen = str(e)\n",
    "reenter/sub.py": "",
}


def spec(name, origin=None, parent="", locations=None):
    return types.SimpleNamespace(name=name, origin=origin, parent=parent, submodule_search_locations=locations)


class RaisingList(list):
    def __iter__(self):
        raise ValueError("cannot iterate")


# Served by a meta path finder: lookups that raise and objects that are no
# usable spec. Every one of them makes the module "not found".
FAKE = {
    "fk_raises": ValueError,
    "fk_interrupt": KeyboardInterrupt,
    "fk_name": spec(1),
    "fk_origin": spec("fk_origin", "\ud800"),
    **{f"fk_locs_{kind}": spec(f"fk_locs_{kind}", None, "", locations) for kind, locations in
       [("str", "a"), ("int", 5), ("item", [1]), ("surrogate", ["\udc80"]), ("iter", RaisingList())]},
    "fk_no_attrs": object(),
    "fk_ok": spec("fk_ok", "/nonexistent/fk_ok.so", "", None),
}


class Finder:
    asked = None  # a list while a scenario wants the names asked for

    def find_spec(self, name, path=None, target=None):
        if self.asked is not None and name.startswith("fk_"):
            self.asked.append(name)
        found = FAKE.get(name)
        if isinstance(found, type):
            raise found(name)  # a fresh instance: a raised one keeps its traceback
        return found


def expect(error, f, *args, **kwargs):
    """Calls f; `error` is the name of the exception it must raise, or None."""
    try:
        f(*args, **kwargs)
    except BaseException as e:
        if type(e).__name__ != error:
            raise
        return
    if error is not None:
        raise AssertionError(f"{f!r}{args}{kwargs} did not raise {error}")


SOURCES = [
    "",
    "import os",
    "import a.b.c as d, e\nfrom ..x.y import (p as q, r,)\nfrom . import *\n",
    "if x:\n    import json  # comment\nelse:\n    from m import n\n",
    "def f(:\nimport\nfrom import\n\0\n",
    "\ufeffimport caf\u00e9, \U0001f600\n" * 20,
    "import x" * 200,
]

SHARED = Builder()
GRAPH = []  # the graph the query scenarios read, built on first use


def graph():
    if not GRAPH:
        GRAPH.append(Builder().build("import pkg\nfrom pkg import b"))
    return GRAPH[0]


def type_errors(f, *arg_tuples, **keywords):
    """f must raise TypeError for each tuple of arguments, and for each keyword argument alone."""
    for args in arg_tuples:
        expect("TypeError", f, *args)
    for key, value in keywords.items():
        expect("TypeError", f, **{key: value})


def parse_calls():
    for text in SOURCES:
        PARSE(text)
    PARSE(source="import a")
    expect("UnicodeEncodeError", PARSE, "import \ud800")
    type_errors(PARSE, (), (1,), (b"import a",), ("a", "b"), text="a")
    expect("TypeError", PARSE, "a", source="b")


def builder_new():
    Builder(), Builder(None), Builder(verbose=False)
    type_errors(Builder, (1,), ("yes",), (True, 2), nope=1)
    expect("TypeError", Builder, True, verbose=True)


def build_fresh():
    Builder().build("import pkg.a\nfrom pkg import c as d\nimport sys, fk_ok\n")
    Builder(verbose=True).build("from . import b", "pkg")


def build_cached():
    SHARED.build("import pkg")
    SHARED.build("from .a import x", package="pkg")


def build_errors():
    b = Builder()
    type_errors(b.build, (), (1,), ("", 1), ("", "a", "b"))
    expect("TypeError", b.build, "", nope=1)
    expect("TypeError", b.build, "", source="")
    for error, args in [("UnicodeEncodeError", ("import \udfff",)), ("UnicodeEncodeError", ("", "\ud800")),
                        ("PanicException", ("from . import x",)), ("PanicException", ("from .. import x", "pkg")),
                        ("PanicException", ("import badutf",))]:
        expect(error, b.build, *args)
    b.build("import sys")  # the builder is still usable


def graph_queries():
    g = graph()
    for query in (g.size, g.num_dependencies, g.keys, g.names, g.origins):
        query()
    g.get_all_scoped("pkg."), g.get_all_scoped(scope=""), g.get("pkg"), g.get(name="<terminal>")
    expect("PanicException", g.get, "missing")
    for method in (g.get, g.get_all_scoped):
        type_errors(method, (), (1,), ("a", "b"), nope="a")
        expect("UnicodeEncodeError", method, "\ud800")
    type_errors(g.size, (1,))
    type_errors(tarnwick.DepGraph, ())


def node_attributes():
    for node in graph().get_all_scoped(""):
        node.name, node.spec, node.dependents, node.depth, node.dependencies
    type_errors(tarnwick.DepNode, ())
    expect("AttributeError", setattr, graph().get("pkg"), "name", "x")


def already_borrowed():
    sys.modules.pop("reenter", None)
    builtins._tw_builder = b = Builder()
    try:
        g = b.build("import reenter.sub")
        assert builtins._tw_seen == "Already borrowed", builtins.__dict__.get("_tw_seen")
        assert "reenter.sub" in g.keys()
    finally:
        del builtins._tw_builder
        builtins.__dict__.pop("_tw_seen", None)


def bad_spec_lookups():
    names = [n for n in FAKE if n not in ("fk_interrupt", "fk_ok")]
    Finder.asked = []
    try:
        assert Builder().build("import " + ", ".join(names)).names() == ["<terminal>"]
        assert Finder.asked == names, Finder.asked
    finally:
        Finder.asked = None


def finder_interrupt():
    expect("KeyboardInterrupt", Builder().build, "import sys, fk_interrupt")


@contextlib.contextmanager
def handler_mode(mode):
    HANDLER.mode = mode
    try:
        yield
    finally:
        HANDLER.mode = None


def handler_raises():
    with handler_mode(ValueError):
        Builder().build("import pkg.c, fk_raises")


def handler_interrupts():
    with handler_mode(KeyboardInterrupt):
        # The interrupt is re-armed and raised at the build's next lookup.
        expect("KeyboardInterrupt", Builder().build, "import sys, pkg")


# First, while no logger is cached yet: with a handler that raises, every
# record takes the bridge's uncached path (the logger is looked up again).
SCENARIOS = [handler_raises, parse_calls, builder_new, build_fresh, build_cached, build_errors,
             graph_queries, node_attributes, already_borrowed, bad_spec_lookups,
             finder_interrupt, handler_interrupts]


def measure(scenario):
    refs, blocks = array("q", bytes(8 * ROUNDS)), array("q", bytes(8 * ROUNDS))
    for r in range(ROUNDS):
        for _ in range(REPS):
            scenario()
        # Attribute lookups by C-string name leave their temporary name objects
        # in the interpreter's type attribute cache (bounded, not a leak): the
        # cache is emptied before measuring, as CPython's own leak hunt does.
        sys._clear_type_cache()
        gc.collect()
        refs[r], blocks[r] = sys.gettotalrefcount(), sys.getallocatedblocks()
    return refs, blocks


def main():
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("needs a debug interpreter (sys.gettotalrefcount)")
    with tempfile.TemporaryDirectory(prefix="tarnwick-refcount-") as root:
        check(set(sys.argv[1:]), root)


def check(only, root):
    for rel, text in TREE.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode())
    sys.path.insert(0, root)
    sys.meta_path.insert(0, Finder())
    importlib.invalidate_caches()

    results, saved, null = [], (os.dup(1), os.dup(2)), os.open(os.devnull, os.O_WRONLY)
    for scenario in [s for s in SCENARIOS if not only or s.__name__ in only]:
        # `dependencies`, verbose builds and failure reports write to fds 1 and 2.
        sys.stdout.flush(), sys.stderr.flush()
        os.dup2(null, 1), os.dup2(null, 2)
        try:
            results.append((scenario.__name__, *measure(scenario)))
        finally:
            sys.stdout.flush(), sys.stderr.flush()
            os.dup2(saved[0], 1), os.dup2(saved[1], 2)
    os.close(null)

    failed = []
    print(f"{'scenario':<20} {'refs per round':<34} {'blocks per round':<34} verdict")
    for name, refs, blocks in results:
        steps_r, steps_b = ([c[i] - c[i - 1] for i in range(1, ROUNDS)] for c in (refs, blocks))
        grew = refs[-1] > refs[WARM - 1] or blocks[-1] > blocks[WARM - 1]
        failed += [name] if grew else []
        print(f"{name:<20} {str(steps_r):<34} {str(steps_b):<34} {'GROWS' if grew else 'ok'}")
    print(f"rounds of {REPS} calls; growth is measured from round {WARM} to round {ROUNDS}")
    if failed:
        print(f"reference or block growth in: {', '.join(failed)}")
        sys.exit(1)
    print(f"no growth in {len(results)} scenarios")


if __name__ == "__main__":
    main()
