"""Pickling and copying: round trips of every value class, the refusals, and
a seeded fuzz of the rebuild function with mangled payloads."""

import copy
import copyreg
import os
import pickle
import random
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tessarin as t

CONFIGS = [
    t.ModelConfig("", ""),
    t.ModelConfig("enc", "1.0.0")
    .with_param("x", [1, 1.0, -0.0, True, None, 2**64 - 1, -(2**63), 1e16, 5e-324])
    .with_param('é"\n\x00\\', {"b": {"": []}, "a": "\x1f\x7f😀"}),
]


def sample_graph():
    g = t.BuildGraph()
    a = g.add_node("a", CONFIGS[1])
    b = g.add_node("b'\x00", CONFIGS[0])
    g.add_edge(a, b)
    g.add_edge(b, t.NodeId(2**64 - 1))
    g.add_edge(b, b)
    return g


SAMPLES = {
    "NodeId": [t.NodeId(0), t.NodeId(2**64 - 1)],
    "ModelConfig": CONFIGS,
    "ModelConfigBuilder": [
        t.ModelConfigBuilder(),
        t.ModelConfigBuilder().name("").param("k", [1]),
        t.ModelConfigBuilder().version("2").param("z", 1).param("a", {"q": 1.5}),
        t.ModelConfigBuilder().name("n").version("v"),
    ],
    "GraphNode": [
        t.GraphNode(t.NodeId(7), "n", CONFIGS[1]),
        t.GraphNode(t.NodeId(1), "", CONFIGS[0]).with_metadata("z", 1).with_metadata("a", [{"y": 2, "x": None}]),
    ],
    "BuildGraph": [t.BuildGraph(), sample_graph()],
    "ValidationError": [t.ValidationError("a", "it's"), t.ValidationError("", "")],
    "NameValidator": [t.NameValidator()],
    "VersionValidator": [t.VersionValidator()],
    "CompositeValidator": [
        t.CompositeValidator(),
        t.CompositeValidator().with_version_validator().with_name_validator().with_version_validator(),
    ],
    "TraceLevel": [t.TraceLevel.Debug, t.TraceLevel.Error],
    "TraceEvent": [
        t.TraceEvent("", ""),
        t.TraceEvent("i", "m", t.TraceLevel.Warn, "span", None),
        t.TraceEvent("i", "m", None, None, ""),
    ],
    "NullBackend": [t.NullBackend.cpu(), t.NullBackend("")],
    "BuildPipeline": [t.BuildPipeline(), t.BuildPipeline.standard().with_stage('x"\t').with_stage("hashing")],
}
ALL_SAMPLES = [obj for objs in SAMPLES.values() for obj in objs]

PROBES = [t.ModelConfig("", ""), t.ModelConfig("ok-name", "1.2.3"), t.ModelConfig("bad name", "1.0")]


def config_state(c):
    g = t.BuildGraph()
    g.add_node("n", c)
    return (repr(c), c.name, c.version, repr(c.params), g.stable_hash())


def builder_state(b):
    def outcome(builder):
        try:
            return config_state(builder.build())
        except ValueError as e:
            return str(e)

    return (outcome(b), outcome(b.name("N")), outcome(b.version("V")))


def errors_state(validator):
    return [[(e.field, e.message) for e in validator.validate(c)] for c in PROBES]


def pipeline_state(p):
    sink = t.InMemoryTraceSink()
    g = t.BuildGraph()
    g.add_node("n", PROBES[1])
    p.execute(t.BuildContext(t.NullBackend.cpu(), sink), g)
    return (repr(p), len(p), [(e.id, e.message, int(e.level)) for e in sink.events()])


def node_state(n):
    return (repr(n), n.id.value, n.name, config_state(n.config), repr(list(n.metadata.items())))


def observe(obj):
    """Everything a user can see of an object, as plain data."""
    kind = type(obj).__name__
    if kind == "NodeId":
        return (obj.value, hash(obj), repr(obj))
    if kind == "ModelConfig":
        return config_state(obj)
    if kind == "ModelConfigBuilder":
        return builder_state(obj)
    if kind == "GraphNode":
        return node_state(obj)
    if kind == "BuildGraph":
        return (
            repr(obj),
            obj.stable_hash(),
            len(obj),
            bool(obj),
            obj.node_count(),
            obj.edge_count(),
            [node_state(n) for n in obj.nodes],
            [(a.value, b.value) for a, b in obj.edges],
        )
    if kind == "ValidationError":
        return (repr(obj), str(obj), obj.field, obj.message)
    if kind in ("NameValidator", "VersionValidator", "CompositeValidator"):
        return (repr(obj), errors_state(obj))
    if kind == "TraceLevel":
        return (repr(obj), int(obj))
    if kind == "TraceEvent":
        return (repr(obj), obj.id, obj.message, repr(obj.level), obj.span_id, obj.trace_id, obj.timestamp_secs)
    if kind == "NullBackend":
        return (repr(obj), obj.name, obj.device)
    if kind == "BuildPipeline":
        return pipeline_state(obj)
    raise AssertionError(kind)


COPIERS = [
    pytest.param(lambda o, p=p: pickle.loads(pickle.dumps(o, p)), id=f"protocol{p}")
    for p in range(2, pickle.HIGHEST_PROTOCOL + 1)
]
COPIERS += [pytest.param(copy.copy, id="copy"), pytest.param(copy.deepcopy, id="deepcopy")]


@pytest.mark.parametrize("copier", COPIERS)
@pytest.mark.parametrize("obj", ALL_SAMPLES, ids=lambda o: type(o).__name__)
def test_round_trip_keeps_everything_observable(obj, copier):
    before = observe(obj)
    result = copier(obj)
    assert type(result) is type(obj)
    assert (result is obj) == (type(obj) is t.TraceLevel)
    assert observe(result) == before
    assert observe(obj) == before


def test_copies_are_independent():
    node = SAMPLES["GraphNode"][1]
    twin = copy.deepcopy(node)
    twin.with_metadata("new", 1)
    assert "new" not in node.metadata
    g = sample_graph()
    h = pickle.loads(pickle.dumps(g))
    h.add_node("more", CONFIGS[0])
    h.add_edge(t.NodeId(1), t.NodeId(3))
    assert observe(g) == observe(sample_graph())
    assert h.node_count() == 3 and h.stable_hash() != g.stable_hash()


@pytest.mark.parametrize("level", [t.TraceLevel.Debug, t.TraceLevel.Info, t.TraceLevel.Warn, t.TraceLevel.Error])
def test_levels_come_back_as_the_class_members(level):
    from_event = t.TraceEvent("i", "m", level).level
    assert from_event is not level
    for obj in (level, from_event):
        assert pickle.loads(pickle.dumps(obj)) is level
        assert copy.deepcopy(obj) is level


@pytest.mark.parametrize(
    "factory, hint",
    [
        (t.InMemoryTraceSink, "sink.events()"),
        (t.BuildContext.with_null_backend, "NullBackend"),
    ],
)
@pytest.mark.parametrize("operation", [pickle.dumps, copy.copy, copy.deepcopy])
def test_shared_store_handles_refuse(factory, hint, operation):
    with pytest.raises(TypeError, match="process-local") as info:
        operation(factory())
    assert hint in str(info.value)


def test_surface_is_unchanged():
    assert t._restore.__module__ == "tessarin"
    assert "_restore" not in t.__all__
    for name in t.__all__[:15]:
        cls = getattr(t, name)
        assert cls.__module__ == "builtins"
        assert "__reduce__" not in vars(cls) and "__reduce_ex__" not in vars(cls)
        assert cls in copyreg.dispatch_table
        with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
            pickle.dumps(cls)


def test_deepest_accepted_nesting_survives():
    value = []
    depth = 1
    while True:
        deeper = [value]
        try:
            t.ModelConfig("c", "1").with_param("k", deeper)
        except ValueError:
            break
        value, depth = deeper, depth + 1
    config = t.ModelConfig("c", "1").with_param("k", value)
    node = t.GraphNode(t.NodeId(1), "n", config).with_metadata("m", value)
    for obj in (config, node, t.ModelConfigBuilder().param("k", value)):
        assert observe(pickle.loads(pickle.dumps(obj))) == observe(obj)


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(-(2**63), 2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=4), inner, max_size=4),
    max_leaves=12,
)
node_shapes = st.lists(
    st.tuples(st.text(max_size=6), st.text(max_size=4), st.dictionaries(st.text(max_size=5), json_values, max_size=4)),
    max_size=6,
)


@given(node_shapes, st.lists(st.tuples(st.integers(0, 9), st.integers(0, 9)), max_size=6))
def test_random_graphs_round_trip(shapes, edges):
    g = t.BuildGraph()
    for name, cname, params in shapes:
        config = t.ModelConfig(cname, "1")
        for key, value in params.items():
            config = config.with_param(key, value)
        g.add_node(name, config)
    for a, b in edges:
        g.add_edge(t.NodeId(a), t.NodeId(b))
    restored = pickle.loads(pickle.dumps(g))
    assert observe(restored) == observe(g)
    for node, (name, cname, params) in zip(restored.nodes, shapes):
        assert (node.name, node.config.name, node.config.params) == (name, cname, params)


def test_large_graph_round_trips():
    # Over the size at which loading lets other threads run.
    g = t.BuildGraph()
    config = t.ModelConfig("block", "1.0.0").with_param("w", [0.1 * i for i in range(40)])
    for i in range(3000):
        g.add_node(f"layer{i}", config)
    for i in range(1, 3000):
        g.add_edge(t.NodeId(i), t.NodeId(i + 1))
    data = pickle.dumps(g, pickle.HIGHEST_PROTOCOL)
    assert len(data) > 1 << 20
    assert observe(pickle.loads(data)) == observe(g)


# ------------------------------------------------------------------ fuzzing


def payload_of(obj):
    restore, (payload,) = copyreg.dispatch_table[type(obj)](obj)
    assert restore is t._restore
    return payload


def mutations(payload, rng):
    data = bytearray(payload)
    yield bytes(data[: rng.randrange(len(data))])  # truncation
    for _ in range(rng.randint(1, 3)):  # bit flips
        i = rng.randrange(len(data))
        data[i] ^= 1 << rng.randrange(8)
    yield bytes(data)
    data = bytearray(payload)
    i = rng.randrange(len(data))
    data[i] = rng.choice([0, 0x7F, 0x80, 0xFF, rng.randrange(256)])  # a length or a byte replaced
    yield bytes(data)
    i = rng.randrange(len(payload) + 1)
    yield payload[:i] + bytes([rng.randrange(256)]) * rng.randint(1, 3) + payload[i:]  # bytes inserted
    yield payload[:i] + payload[i + rng.randint(1, 4) :]  # bytes removed
    yield bytes([rng.choice([0, 2, 255])]) + payload[1:]  # wrong version byte
    yield payload[:1] + bytes([rng.choice([0, 14, 200])]) + payload[2:]  # unknown kind
    other = payload_of(rng.choice(ALL_SAMPLES))
    yield payload[:2] + other[2:]  # a body of another kind


def test_rebuild_refuses_mangled_payloads():
    rng = random.Random(20240609)
    accepted = refused = 0
    for _ in range(60):
        for obj in ALL_SAMPLES:
            for mangled in mutations(payload_of(obj), rng):
                try:
                    result = t._restore(mangled)
                except ValueError as e:
                    assert str(e).startswith("invalid tessarin payload: ")
                    refused += 1
                    continue
                # Whatever loads is exactly what the writer would write for
                # it, and works like any other object.
                assert payload_of(result) == mangled
                observe(result)
                accepted += 1
    assert refused > 10 * accepted


@pytest.mark.parametrize("wrong", ["\x01\x01", 1, None, bytearray(b"\x01\x03"), memoryview(b"\x01\x03")])
def test_rebuild_takes_only_bytes(wrong):
    with pytest.raises(TypeError, match="must be bytes"):
        t._restore(wrong)


@pytest.mark.parametrize(
    "payload, detail",
    [
        (b"", "truncated"),
        (b"\x02\x01" + bytes(8), "version 2"),
        (b"\x01\x00", "kind 0"),
        (b"\x01\x01" + bytes(7), "NodeId payload: truncated"),
        (b"\x01\x02" + b'{"name":"a","version":"b","params":{"b":1,"a":2}}', "keys out of order"),
        (b"\x01\x02" + b'{"name":"\xed\xa0\x80","version":"","params":{}}', "UTF-8"),
        (b"\x01\x02" + b'{"name":"a","version":"b","params":{"x":1.50}}', "non-canonical float"),
        (b"\x01\x0a\x04", "unknown level"),
        (b"\x01\x09\x80\x00", "non-minimal"),
        (b"\x01\x0c\x05ab", "past the end"),
    ],
)
def test_refusals_say_why(payload, detail):
    with pytest.raises(ValueError, match="invalid tessarin payload: .*" + detail):
        t._restore(payload)


CLIENT = """
import pickle, sys
import cloudpickle
import tessarin
from tessarin import BuildGraph
import fingerprint_tasks

def bare_name(graph):
    return BuildGraph.stable_hash(graph)

def annotated(graph: tessarin.BuildGraph):
    return graph.stable_hash()

def through_the_module(graph):
    return tessarin.BuildGraph.stable_hash(graph)

tasks = [bare_name, annotated, through_the_module, fingerprint_tasks.fingerprint]
sys.stdout.buffer.write(pickle.dumps([cloudpickle.dumps(task) for task in tasks]))
"""


def test_cloudpickle_ships_main_functions_that_name_tessarin_x_or_live_in_a_module():
    """What Dask, Ray and joblib do with a task: the client (a script run as
    __main__) ships it with cloudpickle, and another process loads it. The
    two failing forms and the two working ones of the guide."""
    pytest.importorskip("cloudpickle")
    examples = Path(__file__).resolve().parent.parent / "examples"
    path = [str(examples), *filter(None, [os.environ.get("PYTHONPATH")])]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(path)}
    shipped = subprocess.run([sys.executable, "-c", CLIENT], env=env, capture_output=True, check=True).stdout
    bare_name, annotated, through_the_module, in_a_module = pickle.loads(shipped)
    for failing in (bare_name, annotated):
        # Another process than the client's: "type object 'BuildGraph' has no
        # attribute ..." (the client's own fails with a TypeError instead).
        with pytest.raises(AttributeError, match=r"^type object 'BuildGraph' has no attribute '\w+'$"):
            pickle.loads(failing)
    graph = sample_graph()
    assert pickle.loads(through_the_module)(graph) == graph.stable_hash()
    sys.path.insert(0, str(examples))
    try:
        assert pickle.loads(in_a_module)(graph)[1] == graph.stable_hash()
    finally:
        sys.path.remove(str(examples))
