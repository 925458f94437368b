"""NodeId, GraphNode and BuildGraph, and the stable hash against a reference."""

import hashlib
import inspect
import math
import operator
import struct
import subprocess
import sys

import pytest
import reference_hash as ref
from hypothesis import given
from hypothesis import strategies as st
from support import Hook

from tessarin import BuildGraph, GraphNode, ModelConfig, NodeId

U64_MAX = 2**64 - 1
EMPTY_HASH = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"


def config(name, version="1.0.0", **params):
    c = ModelConfig(name, version)
    for k, v in params.items():
        c = c.with_param(k, v)
    return c


def worked_example():
    g = BuildGraph()
    a = g.add_node("encoder", config("encoder"))
    b = g.add_node("decoder", config("decoder", layers=12))
    g.add_edge(a, b)
    return g


# -------------------------------------------------------------- stable hash


def test_worked_example_and_empty_graph():
    g = BuildGraph()
    assert g.stable_hash() == EMPTY_HASH
    assert repr(g) == "BuildGraph(nodes=0, edges=0, hash='e3b0c442')"
    g.add_node("encoder", config("encoder"))
    assert g.stable_hash() == "8d888713d257f2152ce0a955e70d031b29191786d73e577c81bdb27618235ffb"
    full = worked_example()
    assert full.stable_hash() == "fbbb9d71577e1f2d04aedec23df2205b2bb3eb5b021502794eb5db0b477f88af"
    assert repr(full) == str(full) == "BuildGraph(nodes=2, edges=1, hash='fbbb9d71')"
    assert (
        len(
            ref.canonical_bytes(
                [("encoder", "encoder", "1.0.0", {}), ("decoder", "decoder", "1.0.0", {"layers": 12})], [(1, 2)]
            )
        )
        == 153
    )


@pytest.mark.parametrize(
    "value, text",
    [
        (1, "1"),
        (1.0, "1.0"),
        (1e16, "1e+16"),
        (0.00001, "0.00001"),
        (1e-6, "1e-6"),
        (1e15, "1000000000000000.0"),
        (-0.0, "-0.0"),
        (float("nan"), "null"),
        (U64_MAX, "18446744073709551615"),
        (-(2**63), "-9223372036854775808"),
        ('q"b\\n\n\x01é', '"q\\"b\\\\n\\n\\u0001é"'),
        ((1, [True, None]), "[1,[true,null]]"),
        ({"b": 1, "a": {}, "é": 0, "Z": 0}, '{"Z":0,"a":{},"b":1,"é":0}'),
    ],
)
def test_parameter_texts(value, text):
    """Hand-written texts: they pin the writer and the reference alike."""
    g = BuildGraph()
    g.add_node("n", config("c", p=value))
    body = b"\x01" + b"\x00" * 7 + b"n" + ('{"name":"c","version":"1.0.0","params":{"p":' + text + "}}").encode()
    assert g.stable_hash() == hashlib.sha256(body).hexdigest()
    assert ref.json_value(normalize(value)) == text


def test_order_sensitivity_and_parameter_order_insensitivity():
    def two(first, second, edges):
        g = BuildGraph()
        ids = {n: g.add_node(n, config(n)) for n in (first, second)}
        for a, b in edges:
            g.add_edge(ids[a], ids[b])
        return g.stable_hash()

    assert two("a", "b", []) != two("b", "a", [])
    assert two("a", "b", [("a", "b"), ("b", "a")]) != two("a", "b", [("b", "a"), ("a", "b")])
    g1, g2 = BuildGraph(), BuildGraph()
    g1.add_node("n", config("c").with_param("x", 1).with_param("y", 2))
    g2.add_node("n", config("c").with_param("y", 2).with_param("x", 1))
    assert g1.stable_hash() == g2.stable_hash()
    g3 = BuildGraph()
    g3.add_node("n", config("c").with_param("x", 1.0).with_param("y", 2))
    assert g3.stable_hash() != g1.stable_hash()


# Random graphs against the reference. Floats cluster on the layout
# boundaries, integers on the 64-bit edges, strings on the escapes.
def _boundary_floats():
    out = [0.0, -0.0, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 0.1, 1 / 3]
    for e in range(-8, 19):
        p = 10.0**e
        out += [p, math.nextafter(p, 0), math.nextafter(p, math.inf), p * 1.5, -p]
    return out


FLOATS = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.sampled_from(_boundary_floats()))
INTS = st.one_of(
    st.integers(-(2**63), U64_MAX),
    st.sampled_from([0, 1, -1, 2**63 - 1, 2**63, U64_MAX, U64_MAX - 1, -(2**63), -(2**63) + 1]),
)
TEXT = st.text(
    st.one_of(
        st.sampled_from('"\\/\n\r\t\b\f\x00\x01\x1f\x7fé€😀'),
        st.characters(blacklist_categories=("Cs",)),
    ),
    max_size=8,
)
SCALARS = st.one_of(st.none(), st.booleans(), INTS, FLOATS, TEXT)
VALUES = st.recursive(
    SCALARS,
    lambda children: st.one_of(
        st.lists(children, max_size=4),
        st.tuples(children, children),
        st.dictionaries(TEXT, children, max_size=4),
    ),
    max_leaves=12,
)
NODES = st.lists(
    st.tuples(TEXT, TEXT, TEXT, st.lists(st.tuples(TEXT, VALUES), max_size=5)),
    max_size=6,
)


def normalize(value):
    """What a value reads back as: tuples become lists, non-finite floats None."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, (list, tuple)):
        return [normalize(v) for v in value]
    if isinstance(value, dict):
        return {k: normalize(v) for k, v in value.items()}
    return value


def same(a, b):
    """Structural equality that tells 1 from 1.0 from True and -0.0 from 0.0."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


@given(NODES, st.data())
def test_random_graphs_match_the_reference(nodes, data):
    g = BuildGraph()
    expected_nodes = []
    for name, cname, cversion, params in nodes:
        c = ModelConfig(cname, cversion)
        final = {}
        for key, value in params:
            c = c.with_param(key, value)
            final[key] = normalize(value)
        assert int(g.add_node(name, c)) == len(expected_nodes) + 1
        expected_nodes.append((name, cname, cversion, final))
    ids = st.one_of(st.integers(0, len(nodes) + 2), st.sampled_from([0, U64_MAX, 2**63]))
    edges = data.draw(st.lists(st.tuples(ids, ids), max_size=6))
    for a, b in edges:
        g.add_edge(NodeId(a), NodeId(b))
    assert g.stable_hash() == ref.stable_hash(expected_nodes, edges)
    assert repr(g) == f"BuildGraph(nodes={len(nodes)}, edges={len(edges)}, hash='{g.stable_hash()[:8]}')"

    # Nodes read back as they went in: names, configurations, float bits.
    got = g.nodes
    assert len(got) == len(expected_nodes)
    for i, (node, (name, cname, cversion, final)) in enumerate(zip(got, expected_nodes), 1):
        assert node.id == NodeId(i) and node.name == name and node.metadata == {}
        c = node.config
        assert (c.name, c.version) == (cname, cversion)
        assert same(c.params, final), (c.params, final)
        assert list(c.params) == sorted(final, key=lambda k: k.encode())
    assert [(int(a), int(b)) for a, b in g.edges] == edges


def test_same_hash_in_another_process():
    code = (
        "import tessarin as t\n"
        "g = t.BuildGraph()\n"
        "a = g.add_node('enc\\u00e9\"\\\\', t.ModelConfig('e', '1').with_param('f', 0.1)"
        ".with_param('m', {'z': [1, -2, 1e16, None], 'a': 'x\\n'}))\n"
        "b = g.add_node('dec', t.ModelConfig('d', '2').with_param('n', 2**64 - 1))\n"
        "g.add_edge(a, b); g.add_edge(b, t.NodeId(99))\n"
        "print(g.stable_hash())\n"
    )
    here = {}
    exec(code.replace("print(g.stable_hash())", "out['h'] = g.stable_hash()"), {"out": here})
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == here["h"]
    assert len(here["h"]) == 64 and int(here["h"], 16) >= 0


def test_large_nodes_and_many_nodes():
    g = BuildGraph()
    big = "n" * (3 * 1024 * 1024)
    nodes = []
    for i in range(3000):
        name = big if i % 1000 == 0 else f"node{i}"
        g.add_node(name, config("c", i=i))
        nodes.append((name, "c", "1.0.0", {"i": i}))
    assert g.stable_hash() == ref.stable_hash(nodes, [])
    assert g.nodes[1000].name == big


# --------------------------------------------------------- copies, metadata


def test_metadata_never_changes_the_hash():
    g = worked_example()
    before = g.stable_hash()
    node = g.nodes[0]
    tagged = node.with_metadata("layer_type", "attention").with_metadata("hint", [1, 2])
    assert tagged.metadata == {"layer_type": "attention", "hint": [1, 2]}
    assert node.metadata == {"layer_type": "attention"}
    assert g.nodes[0].metadata == {}
    assert g.stable_hash() == before


def test_getters_never_alias_the_graph():
    g = BuildGraph()
    c = config("c", x=[1])
    a = g.add_node("a", c)
    g.add_edge(a, a)
    before = g.stable_hash()
    c.with_param("x", 2)  # the graph keeps the configuration it was given
    n1, n2 = g.nodes, g.nodes
    assert n1 is not n2 and n1[0] is not n2[0]
    cfg = n1[0].config
    assert cfg is not n1[0].config
    cfg.with_param("y", 3)
    assert n1[0].config.params == {"x": [1]}
    n1[0].config.params["x"].append(9)
    ((src, dst),) = g.edges
    assert src == a and dst == a and src is not a and src is not dst
    assert g.edges[0][0] is not src
    assert g.stable_hash() == before
    assert g.nodes[0].config.params == {"x": [1]}


def test_counts_length_and_truth():
    g = BuildGraph()
    assert (g.node_count(), g.edge_count(), len(g), bool(g), g.nodes, g.edges) == (0, 0, 0, False, [], [])
    g.add_edge(NodeId(0), NodeId(99))
    g.add_edge(NodeId(0), NodeId(99))
    assert (len(g), bool(g), g.edge_count()) == (0, False, 2)
    assert g.edges == [(NodeId(0), NodeId(99))] * 2
    first = g.add_node("", config(""))
    second = g.add_node("", config(""))
    assert (first.value, int(second)) == (1, 2)
    g.add_edge(second, second)
    assert (len(g), bool(g), g.node_count(), g.edge_count()) == (2, True, 2, 3)


# ------------------------------------------------------------ bad input


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda g: g.add_node(1, config("c")), TypeError, "add_node() argument 'name' must be str, not int"),
        (lambda g: g.add_node("n", {}), TypeError, "add_node() argument 'config' must be ModelConfig, not dict"),
        (lambda g: g.add_node(1, {}), TypeError, "add_node() argument 'name' must be str, not int"),
        (lambda g: g.add_node("n"), TypeError, "add_node() missing required argument 'config' (pos 2)"),
        (lambda g: g.add_edge(1, NodeId(1)), TypeError, "add_edge() argument 'from_id' must be NodeId, not int"),
        (lambda g: g.add_edge(NodeId(1), None), TypeError, "add_edge() argument 'to_id' must be NodeId, not None"),
        (lambda g: g.add_edge(NodeId(1)), TypeError, "add_edge() missing required argument 'to_id' (pos 2)"),
        (lambda g: g.node_count(1), TypeError, None),
        (lambda g: g.stable_hash(x=1), TypeError, None),
        (lambda g: g.add_node("\ud800", config("c")), UnicodeEncodeError, None),
    ],
)
def test_bad_input_leaves_the_graph_unchanged(call, error, message):
    g = worked_example()
    before = (g.stable_hash(), g.node_count(), g.edge_count())
    with pytest.raises(error) as info:
        call(g)
    if message is not None:
        assert str(info.value) == message
    assert (g.stable_hash(), g.node_count(), g.edge_count()) == before


def test_keyword_arguments_and_constructor_errors():
    g = BuildGraph()
    a = g.add_node(config=config("c"), name="n")
    g.add_edge(to_id=a, from_id=a)
    assert g.edges == [(a, a)]
    with pytest.raises(TypeError, match=r"^BuildGraph\(\) takes no arguments \(1 given\)$"):
        BuildGraph(1)


def test_add_node_reads_the_config_under_shared_access():
    g = BuildGraph()
    c = config("c")
    with pytest.raises(ValueError) as info:
        c.with_param("k", Hook(lambda: g.add_node("n", c)))
    assert str(info.value) == "Failed to convert value: RuntimeError: Already mutably borrowed"
    assert g.node_count() == 0 and g.stable_hash() == EMPTY_HASH


# ------------------------------------------------------------------ NodeId


@given(st.integers(0, U64_MAX))
def test_node_id_hash_int_and_value(v):
    expected = v - 2**64 if v >= 2**63 else v
    if expected == -1:
        expected = -2
    n = NodeId(v)
    assert hash(n) == expected
    assert int(n) == n.value == v
    assert repr(n) == str(n) == f"NodeId({v})"


@pytest.mark.parametrize(
    "v, h", [(5, 5), (0, 0), (U64_MAX, -2), (U64_MAX - 1, -2), (2**63, -(2**63)), (2**63 - 1, 2**63 - 1)]
)
def test_node_id_hash_table(v, h):
    assert hash(NodeId(v)) == h


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        if isinstance(self.v, Exception):
            raise self.v
        return self.v


@pytest.mark.parametrize(
    "arg, error, message",
    [
        (1.0, TypeError, "NodeId() argument 'value' must be int, not float"),
        ("3", TypeError, "NodeId() argument 'value' must be int, not str"),
        (None, TypeError, "NodeId() argument 'value' must be int, not None"),
        (-1, OverflowError, "NodeId() argument 'value' must be in range 0..18446744073709551615"),
        (2**64, OverflowError, "NodeId() argument 'value' must be in range 0..18446744073709551615"),
        (-(2**100), OverflowError, "NodeId() argument 'value' must be in range 0..18446744073709551615"),
        (Index(-5), OverflowError, "NodeId() argument 'value' must be in range 0..18446744073709551615"),
        (Index(ValueError("boom")), ValueError, "boom"),
        (NodeId(3), TypeError, "NodeId() argument 'value' must be int, not NodeId"),
    ],
)
def test_node_id_refused_values(arg, error, message):
    with pytest.raises(error) as info:
        NodeId(arg)
    assert str(info.value) == message


def test_node_id_accepted_values():
    assert NodeId(0).value == 0 and NodeId(U64_MAX).value == U64_MAX
    assert NodeId(True).value == 1 and type(NodeId(True).value) is int
    assert NodeId(Index(7)) == NodeId(7)
    assert NodeId(value=4).value == 4


class EqualsEverything:
    def __eq__(self, other):
        return True

    __hash__ = None


def test_node_id_equality_and_ordering():
    a, b, c = NodeId(7), NodeId(7), NodeId(8)
    assert a == b and not (a != b) and a is not b
    assert a != c and not (a == c)
    assert (a == 7) is False and (a != 7) is True
    assert (a == None) is False and (a != None) is True  # noqa: E711
    # != mirrors ==, the reflected operation included.
    assert (a == EqualsEverything()) is True and (a != EqualsEverything()) is False
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError):
            op(a, c)
        with pytest.raises(TypeError):
            op(a, 1)
    assert {NodeId(3): "x"}[NodeId(3)] == "x"
    with pytest.raises(TypeError):
        operator.index(a)
    with pytest.raises(TypeError):
        [1, 2, 3][NodeId(1)]
    with pytest.raises(AttributeError):
        a.value = 3
    with pytest.raises(AttributeError):
        a.foo = 3


# --------------------------------------------------------------- GraphNode


def test_graph_node_basics():
    c = config("encoder", x=1)
    node = GraphNode(NodeId(1), "encoder", c)
    c.with_param("x", 2)  # the node took its own copy
    assert node.config.params == {"x": 1}
    assert node.metadata == {}
    assert repr(node) == str(node) == "GraphNode(id=1, name='encoder', config=encoder)"
    assert node.id == NodeId(1) and node.id is not node.id
    assert node.config is not node.config
    quoted = GraphNode(NodeId(U64_MAX), "it's", config("a'b"))
    assert repr(quoted) == f"GraphNode(id={U64_MAX}, name='it's', config=a'b)"


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, "n", config("c")), "GraphNode() argument 'id' must be NodeId, not int"),
        ((NodeId(1), b"n", config("c")), "GraphNode() argument 'name' must be str, not bytes"),
        ((NodeId(1), "n", {}), "GraphNode() argument 'config' must be ModelConfig, not dict"),
        ((NodeId(1), "n"), "GraphNode() missing required argument 'config' (pos 3)"),
    ],
)
def test_graph_node_argument_errors(args, message):
    with pytest.raises(TypeError) as info:
        GraphNode(*args)
    assert str(info.value) == message


def test_with_metadata_changes_receiver_and_returns_a_separate_copy():
    a = GraphNode(NodeId(1), "n", config("c"))
    b = a.with_metadata("k", 1)
    assert b is not a and a.metadata == b.metadata == {"k": 1}
    b.with_metadata("only_b", True)
    a.with_metadata("only_a", None)
    assert list(a.metadata) == ["k", "only_a"] and list(b.metadata) == ["k", "only_b"]
    assert repr(b) == repr(a)
    d = a.metadata
    d["k"] = 5
    assert a.metadata["k"] == 1


@given(st.lists(st.tuples(st.sampled_from([f"k{i}" for i in range(40)]), st.integers(0, 9)), max_size=120))
def test_metadata_keeps_dict_order_with_replacement(ops):
    node = GraphNode(NodeId(1), "n", config("c"))
    reference = {}
    for key, value in ops:
        node.with_metadata(key, value)
        reference[key] = value
    assert list(node.metadata.items()) == list(reference.items())


def test_metadata_conversion_failure_leaves_node_unchanged():
    node = GraphNode(NodeId(1), "n", config("c")).with_metadata("a", 1)
    for bad in [b"x", {1: 2}, [object()], 2**64]:
        with pytest.raises(ValueError, match="^Failed to convert value: "):
            node.with_metadata("a", bad)
    with pytest.raises(TypeError, match=r"^with_metadata\(\) argument 'key' must be str, not int$"):
        node.with_metadata(1, 1)
    assert node.metadata == {"a": 1}


@pytest.mark.parametrize("value", ["attention", 7, [1, 2.5, None], {"k": [True, "x"]}])
def test_with_metadata_out_of_memory_at_every_step_leaves_the_node_unchanged(value):
    # Python's allocators fail from the n-th allocation of the call on, for
    # n = 0, 1, 2, ... until the call gets through. Wherever it fails, the
    # receiver must be exactly as before.
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("no allocation failure injection in this interpreter")
    node = GraphNode(NodeId(1), "n", config("c")).with_metadata("old", [1, 2])
    before = node.metadata
    failures = 0
    for start in range(10_000):
        result = None
        testcapi.set_nomemory(start, 0)
        try:
            result = node.with_metadata("key", value)
        except (MemoryError, ValueError):
            pass
        finally:
            testcapi.remove_mem_hooks()
        if result is not None:
            break
        failures += 1
        assert node.metadata == before, start
    assert failures > 0
    assert node.metadata == result.metadata == {**before, "key": value}


@pytest.mark.parametrize(
    "touch, expected",
    [
        (lambda n: n.name, "RuntimeError: Already mutably borrowed"),
        (lambda n: n.metadata, "RuntimeError: Already mutably borrowed"),
        (lambda n: n.config, "RuntimeError: Already mutably borrowed"),
        (lambda n: n.id, "RuntimeError: Already mutably borrowed"),
        (lambda n: repr(n), "RuntimeError: Already mutably borrowed"),
        (lambda n: n.with_metadata("x", 1), "RuntimeError: Already borrowed"),
    ],
)
def test_reentrant_use_of_graph_node(touch, expected):
    node = GraphNode(NodeId(1), "n", config("c")).with_metadata("a", 1)
    with pytest.raises(ValueError) as info:
        node.with_metadata("b", Hook(lambda: touch(node)))
    assert str(info.value) == "Failed to convert value: " + expected
    assert node.metadata == {"a": 1}


# -------------------------------------------------------------- docstrings


def test_docstrings_and_signatures():
    assert str(inspect.signature(NodeId)) == "(value)"
    assert NodeId.__doc__.startswith("Unique identifier for a graph node.\n")
    assert NodeId.value.__doc__ == "Numeric value of this identifier."
    assert str(inspect.signature(GraphNode)) == "(id, name, config)"
    assert GraphNode.__doc__.startswith("A node in the build graph representing a model component.\n")
    assert GraphNode.with_metadata.__text_signature__ == "(key, value)"
    assert GraphNode.with_metadata.__doc__.startswith("Add metadata to this node.\n")
    for prop, doc in [
        ("id", "Node identifier."),
        ("name", "Human-readable component name."),
        ("config", "Model configuration for this component."),
        ("metadata", "Custom metadata as a dictionary."),
    ]:
        assert getattr(GraphNode, prop).__doc__ == doc
    assert str(inspect.signature(BuildGraph)) == "()"
    assert BuildGraph.__doc__.startswith("Directed acyclic graph representing model architecture.\n")
    assert "    nodes (list): All GraphNode objects in the graph.\n" in BuildGraph.__doc__
    assert BuildGraph.__doc__.endswith("    edges (list): All edges as (from_id, to_id) tuples.")
    assert BuildGraph.nodes.__doc__ == "All nodes in the graph."
    assert BuildGraph.edges.__doc__ == "All edges as (source, target) pairs."
    for name, signature, summary in [
        ("add_node", "(name, config)", "Add a node to the graph."),
        ("add_edge", "(from_id, to_id)", "Add a directed edge between nodes."),
        ("node_count", "($self)", "Number of nodes in the graph."),
        ("edge_count", "($self)", "Number of edges in the graph."),
        ("stable_hash", "($self)", "Compute deterministic SHA-256 hash of the graph."),
    ]:
        method = getattr(BuildGraph, name)
        assert method.__text_signature__ == signature
        assert method.__doc__.split("\n")[0] == summary
    assert "    64-character hexadecimal hash string." in BuildGraph.stable_hash.__doc__
    assert "    NodeId for the new node, usable in add_edge()." in BuildGraph.add_node.__doc__


def test_getters_and_calls_do_not_leak_python_objects():
    import tracemalloc

    g = worked_example()
    node = g.nodes[1]

    def churn():
        for _ in range(1000):
            g.nodes, g.edges, repr(g), g.stable_hash(), len(g), bool(g)
            node.with_metadata("k", [1, {"a": 2.5}]).metadata, node.config.params, node.id
            g2 = BuildGraph()
            g2.add_edge(g2.add_node("x", node.config), NodeId(3))
            NodeId(5) == NodeId(5), NodeId(5) != 5, hash(NodeId(2**64 - 1)), int(NodeId(9))

    churn()  # warm caches and free lists
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        churn()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    # One leaked object per pass would be at least 24 kilobytes here.
    assert after - before < 8192
