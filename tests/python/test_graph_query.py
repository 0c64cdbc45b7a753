"""The read-only query surface of DepGraph and DepNode."""

from importlib.machinery import ModuleSpec

import pytest

import tarnwick

NAMES = {"<terminal>", "a", "a.b", "ab", "twin1", "twin2"}


@pytest.fixture
def graph(tree, finder):
    # Nodes a, a.b, ab (plus the root), and two modules sharing one origin.
    tree({"a/__init__.py": "", "a/b.py": "import ab\n", "ab.py": ""})
    finder({name: ModuleSpec(name, None, origin="built-in") for name in ("twin1", "twin2")})
    return tarnwick.GraphBuilder().build("import a.b\nimport twin1, twin2")


def test_counts_names_and_origins(graph):
    # root->a, root->a.b, root->twin1, root->twin2, a.b->ab
    assert (graph.size(), graph.num_dependencies()) == (6, 5)
    assert isinstance(graph.keys(), set) and graph.keys() == NAMES
    listed = graph.names()
    assert isinstance(listed, list) and sorted(listed) == sorted(NAMES)
    origins = graph.origins()  # the twins' origin twice, none for the root
    assert origins.count("built-in") == 2 and len(origins) == 5


@pytest.mark.parametrize("scope, expected", [
    ("a", {"a", "a.b", "ab"}),
    ("a.", {"a.b"}),
    ("", NAMES),
    ("a.b.c.d", set()),
])
def test_get_all_scoped_is_a_plain_prefix_test(graph, scope, expected):
    nodes = graph.get_all_scoped(scope)
    assert isinstance(nodes, list) and len(nodes) == len(expected)
    assert {n.name for n in nodes} == expected
    assert graph.get_all_scoped(scope=scope) is not nodes


def test_node_attributes(graph, capfd):
    root = graph.get("<terminal>")
    assert (root.depth, root.spec, root.dependents) == (0, {"name": "<terminal>", "origin": None}, set())
    capfd.readouterr()
    assert root.dependencies == 4  # a, a.b, twin1, twin2
    assert capfd.readouterr().out == "4\n"
    ab = graph.get("ab")
    assert ab.depth == 2 and ab.dependents == {"a.b"} and ab.spec["origin"].endswith("ab.py")
    for attr in ("name", "spec", "dependents", "depth", "dependencies"):
        with pytest.raises(AttributeError):
            setattr(ab, attr, 1)


def test_results_are_fresh_copies_and_the_missing_name(graph):
    one, two = graph.get("a"), graph.get(name="a")
    assert one is not two
    assert (one.name, one.depth, one.spec, one.dependents) == (two.name, two.depth, two.spec, two.dependents)
    node = graph.get("ab")
    node.dependents.add("intruder")
    node.spec["name"] = "changed"
    graph.keys().clear()
    assert (node.dependents, node.spec["name"], graph.size()) == ({"a.b"}, "ab", 6)
    with pytest.raises(BaseException) as info:
        graph.get("missing")
    assert (type(info.value).__name__, info.value.args) == ("PanicException", ("Node does not exist on graph: missing",))

