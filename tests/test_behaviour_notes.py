"""Every claim of docs/behaviour-notes.md holds for the running module.

Each note corrects a fixed docstring; one check per note, keyed by the
note's heading, fails when the module behaves as the docstring says rather
than as the note says. A note without a check (or a check without a note)
fails too.
"""

import asyncio
import importlib.util
import time
from pathlib import Path

import pytest

import tessarin as t

ROOT = Path(__file__).resolve().parent.parent


def notes():
    found = importlib.util.spec_from_file_location("gen_api_reference", ROOT / "tools" / "gen_api_reference.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return {".".join(filter(None, key)): text for key, text in module.behaviour_notes().items()}


def public(obj):
    return {name for name in dir(obj) if not name.startswith("_")}


def one_node_graph(config=None):
    graph = t.BuildGraph()
    graph.add_node("n", config or t.ModelConfig("n", "1.0.0"))
    return graph


def run(pipeline, graph):
    sink = t.InMemoryTraceSink()
    result = pipeline.execute(t.BuildContext(t.NullBackend.cpu(), sink), graph)
    return result, sink.events()


def check_with_param():
    a = t.ModelConfig("a", "1.0.0")
    b = a.with_param("k", 1)
    assert b is not a and not (b == a) and a.param("k") == 1
    b.with_param("z", 2)
    assert a.param("z") is None
    with pytest.raises(ValueError):
        a.with_param("m", {1: "x"})
    a.with_param("s", (1, 2))
    a.with_param("f", float("nan"))
    assert a.params["s"] == [1, 2] and a.params["f"] is None


def check_graph_node():
    graph = one_node_graph()
    assert int(graph.add_node("m", t.ModelConfig("m", "1"))) == 2
    assert [int(node.id) for node in graph.nodes] == [1, 2]


def check_with_metadata():
    a = t.GraphNode(t.NodeId(1), "n", t.ModelConfig("n", "1"))
    b = a.with_metadata("k", 1)
    assert b is not a and not (b == a) and a.metadata == b.metadata == {"k": 1}
    graph = one_node_graph()
    graph.nodes[0].with_metadata("k", 1)
    assert graph.nodes[0].metadata == {}


def check_build_graph():
    graph = one_node_graph()
    a, b = t.NodeId(1), t.NodeId(2)
    for edge in [(a, a), (a, b), (b, a), (a, b), (t.NodeId(0), t.NodeId(99))]:
        graph.add_edge(*edge)
    assert graph.edge_count() == 5


def check_with_null_backend():
    ctx = t.BuildContext.with_null_backend()
    assert public(ctx) == {"with_null_backend"}
    t.BuildPipeline.standard().execute(ctx, one_node_graph())


def check_null_backend():
    assert [getattr(t, flag) for flag in t.__all__ if flag.startswith("HAS_")] == [False] * 5
    with pytest.raises(TypeError):
        t.BuildContext("cuda", t.InMemoryTraceSink())


def check_sink():
    sink = t.InMemoryTraceSink()
    assert public(sink) == {"record", "events"}
    sink.record(t.TraceEvent("a", "b"))
    sink.events()
    assert len(sink) == 1


def check_pipeline():
    bad = t.ModelConfig("my model", "latest")
    assert t.CompositeValidator().with_name_validator().with_version_validator().validate(bad)
    _, events = run(t.BuildPipeline.standard(), one_node_graph(bad))
    assert [e.message for e in events if e.id == "stage.validation"] == ["validated 1 nodes"]


def check_with_stage():
    _, events = run(t.BuildPipeline().with_stage("Validation").with_stage("compile"), one_node_graph())
    warned = [(e.id, e.message) for e in events if e.level == t.TraceLevel.Warn]
    assert warned == [
        ("stage.Validation", "Unknown stage 'Validation' skipped"),
        ("stage.compile", "Unknown stage 'compile' skipped"),
    ]


def check_execute():
    graph = one_node_graph(t.ModelConfig("n", "1").with_param("k", [1.5]))
    before = (graph.stable_hash(), repr(graph.nodes), repr(graph.edges))
    result, _ = run(t.BuildPipeline.standard().with_stage("hashing"), graph)
    assert result is not graph
    assert (result.stable_hash(), repr(result.nodes), repr(result.edges)) == before
    assert (graph.stable_hash(), repr(graph.nodes), repr(graph.edges)) == before


def check_execute_async():
    sink = t.InMemoryTraceSink()
    ctx = t.BuildContext(t.NullBackend.cpu(), sink)

    async def main():
        future = t.BuildPipeline.standard().execute_async(ctx, one_node_graph())
        assert isinstance(future, asyncio.Future) and not asyncio.iscoroutine(future)
        # The loop thread blocks here and never yields: the run still ends,
        # since no part of it waits for the loop.
        deadline = time.monotonic() + 60
        while "pipeline.async.complete" not in [e.id for e in sink.events()]:
            assert time.monotonic() < deadline, "the run did not progress while the loop was blocked"
            time.sleep(0.001)
        await future
        second = t.BuildPipeline().execute_async(ctx, one_node_graph())
        with pytest.raises(TypeError):
            asyncio.get_running_loop().create_task(second)
        await second

    asyncio.run(main())
    ids = [e.id for e in sink.events()]
    assert ids[:4] == ["pipeline.async.start", "stage.validation", "stage.hashing", "pipeline.async.complete"]


def check_version_validator():
    refused = [
        v
        for v in ["0.1.0-alpha", "1.2.3-rc.1", "1.2.3.beta", "1.2.3.4", "+1.2.3"]
        if t.VersionValidator().validate(t.ModelConfig("n", v))
    ]
    assert refused == ["0.1.0-alpha", "1.2.3-rc.1"]


def check_composite_validator():
    assert public(t.CompositeValidator) == {"validate", "with_name_validator", "with_version_validator"}


CHECKS = {
    "ModelConfig.with_param": check_with_param,
    "GraphNode": check_graph_node,
    "GraphNode.with_metadata": check_with_metadata,
    "BuildGraph": check_build_graph,
    "BuildContext.with_null_backend": check_with_null_backend,
    "NullBackend": check_null_backend,
    "InMemoryTraceSink": check_sink,
    "BuildPipeline": check_pipeline,
    "BuildPipeline.with_stage": check_with_stage,
    "BuildPipeline.execute": check_execute,
    "BuildPipeline.execute_async": check_execute_async,
    "VersionValidator": check_version_validator,
    "CompositeValidator": check_composite_validator,
}


def test_every_note_has_a_check():
    assert sorted(notes()) == sorted(CHECKS)


@pytest.mark.parametrize("note", sorted(CHECKS))
def test_note_holds(note):
    CHECKS[note]()
