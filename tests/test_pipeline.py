"""BuildPipeline: presets, stage list, synchronous execution and its events."""

import inspect

import pytest

from tessarin import (
    BuildContext,
    BuildGraph,
    BuildPipeline,
    InMemoryTraceSink,
    ModelConfig,
    NullBackend,
    TraceLevel,
)

DEBUG, INFO, WARN = TraceLevel.Debug, TraceLevel.Info, TraceLevel.Warn
EMPTY_HASH = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"


def graph_of(n):
    g = BuildGraph()
    ids = [g.add_node(f"n{i}", ModelConfig(f"c{i}", "1.0.0").with_param("i", i)) for i in range(n)]
    for a, b in zip(ids, ids[1:]):
        g.add_edge(a, b)
    return g


def run(pipeline, graph):
    sink = InMemoryTraceSink()
    result = pipeline.execute(BuildContext(NullBackend.cpu(), sink), graph)
    return result, [(e.id, e.message, e.level) for e in sink.events()]


def test_presets_and_repr():
    assert repr(BuildPipeline()) == "BuildPipeline(stages=[])"
    assert repr(BuildPipeline.standard()) == 'BuildPipeline(stages=["validation", "hashing"])'
    assert repr(BuildPipeline.for_training()) == repr(BuildPipeline.standard())
    assert repr(BuildPipeline.for_inference()) == 'BuildPipeline(stages=["hashing"])'
    assert [len(p) for p in (BuildPipeline(), BuildPipeline.standard(), BuildPipeline.for_inference())] == [0, 2, 1]
    assert not BuildPipeline() and BuildPipeline.for_inference()
    assert BuildPipeline.standard() is not BuildPipeline.standard()


def test_with_stage_copies_and_quotes():
    base = BuildPipeline.for_inference()
    odd = base.with_stage('a"b\\c\n\x01\u0301é')
    assert repr(base) == 'BuildPipeline(stages=["hashing"])' and len(base) == 1
    assert repr(odd) == 'BuildPipeline(stages=["hashing", "a\\"b\\\\c\\n\\u{1}\\u{301}é"])'
    assert len(odd.with_stage("")) == 3
    with pytest.raises(TypeError, match=r"^with_stage\(\) argument 'name' must be str, not int$"):
        base.with_stage(1)


def test_pipeline_is_neither_iterable_nor_indexable():
    with pytest.raises(TypeError):
        iter(BuildPipeline.standard())
    with pytest.raises(TypeError):
        BuildPipeline.standard()[0]


def test_standard_event_sequence():
    g = graph_of(3)
    result, events = run(BuildPipeline.standard(), g)
    assert events == [
        ("pipeline.start", "Executing pipeline with 2 stages", INFO),
        ("stage.validation.start", "Starting stage 'validation' (1/2)", DEBUG),
        ("stage.validation", "validated 3 nodes", INFO),
        ("stage.hashing.start", "Starting stage 'hashing' (2/2)", DEBUG),
        ("stage.hashing", "computed graph hash: " + g.stable_hash(), INFO),
        ("pipeline.complete", "Pipeline completed successfully (2 stages)", INFO),
    ]
    assert all(e[2] is not DEBUG for e in events)  # levels are new objects, equal by value


def test_empty_pipeline_and_singular_counts():
    g = graph_of(1)
    result, events = run(BuildPipeline(), g)
    assert events == [
        ("pipeline.start", "Executing pipeline with 0 stages", INFO),
        ("pipeline.complete", "Pipeline completed successfully (0 stages)", INFO),
    ]
    assert result is not g and result.stable_hash() == g.stable_hash()
    _, events = run(BuildPipeline().with_stage("validation"), g)
    assert events[0][1] == "Executing pipeline with 1 stages"
    assert events[2][1] == "validated 1 nodes"
    assert events[-1][1] == "Pipeline completed successfully (1 stages)"


def test_unknown_and_repeated_stages():
    g = graph_of(2)
    p = BuildPipeline().with_stage("Validation").with_stage("hashing").with_stage("hashing")
    _, events = run(p, g)
    h = "computed graph hash: " + g.stable_hash()
    assert events == [
        ("pipeline.start", "Executing pipeline with 3 stages", INFO),
        ("stage.Validation.start", "Starting stage 'Validation' (1/3)", DEBUG),
        ("stage.Validation", "Unknown stage 'Validation' skipped", WARN),
        ("stage.hashing.start", "Starting stage 'hashing' (2/3)", DEBUG),
        ("stage.hashing", h, INFO),
        ("stage.hashing.start", "Starting stage 'hashing' (3/3)", DEBUG),
        ("stage.hashing", h, INFO),
        ("pipeline.complete", "Pipeline completed successfully (3 stages)", INFO),
    ]


def test_validation_fails_on_an_empty_graph():
    sink = InMemoryTraceSink()
    ctx = BuildContext(NullBackend.cpu(), sink)
    with pytest.raises(RuntimeError) as info:
        BuildPipeline.standard().execute(ctx, BuildGraph())
    assert str(info.value) == ("Stage 'validation' failed: validation error: graph must contain at least one node")
    assert [(e.id, e.level) for e in sink.events()] == [("pipeline.start", INFO), ("stage.validation.start", DEBUG)]


def test_inference_on_an_empty_graph_hashes_it():
    result, events = run(BuildPipeline.for_inference(), BuildGraph())
    assert ("stage.hashing", "computed graph hash: " + EMPTY_HASH, INFO) in events
    assert len(result) == 0


def test_result_is_a_separate_copy():
    g = graph_of(3)
    before = g.stable_hash()
    result, _ = run(BuildPipeline.standard(), g)
    assert result is not g and result.stable_hash() == before
    assert [n.name for n in result.nodes] == [n.name for n in g.nodes]
    assert [(a.value, b.value) for a, b in result.edges] == [(a.value, b.value) for a, b in g.edges]
    result.add_node("extra", ModelConfig("x", "1"))
    assert g.stable_hash() == before and len(g) == 3
    g.add_edge(g.nodes[0].id, g.nodes[0].id)
    assert result.edge_count() == 2


def test_contexts_sharing_a_sink_collect_into_one_list():
    sink = InMemoryTraceSink()
    g = graph_of(1)
    BuildPipeline.for_inference().execute(BuildContext(NullBackend.cpu(), sink), g)
    BuildPipeline.for_inference().execute(ctx=BuildContext(NullBackend("gpu"), sink), graph=g)
    assert [e.id for e in sink.events()] == [
        "pipeline.start",
        "stage.hashing.start",
        "stage.hashing",
        "pipeline.complete",
    ] * 2


def test_null_backend_context_runs_without_a_readable_sink():
    result = BuildPipeline.standard().execute(BuildContext.with_null_backend(), graph_of(2))
    assert len(result) == 2


@pytest.mark.parametrize(
    "args, message",
    [
        ((None, None), "execute() argument 'ctx' must be BuildContext, not None"),
        ((InMemoryTraceSink(), BuildGraph()), "execute() argument 'ctx' must be BuildContext, not InMemoryTraceSink"),
        ((BuildContext.with_null_backend(), 1), "execute() argument 'graph' must be BuildGraph, not int"),
    ],
)
def test_argument_errors_record_nothing(args, message):
    with pytest.raises(TypeError) as info:
        BuildPipeline.standard().execute(*args)
    assert str(info.value) == message


def test_wrong_graph_records_nothing():
    sink = InMemoryTraceSink()
    with pytest.raises(TypeError):
        BuildPipeline.standard().execute(BuildContext(NullBackend.cpu(), sink), "graph")
    assert len(sink) == 0


def test_docstrings():
    assert BuildPipeline.__doc__.startswith("Pipeline for executing build stages on a graph.")
    assert str(inspect.signature(BuildPipeline)) == "()"
    summaries = {
        "standard": "Standard pipeline with validation and hashing.",
        "for_training": "Pipeline optimized for training workflows.",
        "for_inference": "Minimal pipeline for inference.",
        "with_stage": "Add a stage to the pipeline.",
        "execute": "Execute the pipeline synchronously.",
        "execute_async": "Execute the pipeline asynchronously.",
    }
    for name, summary in summaries.items():
        assert getattr(BuildPipeline, name).__doc__.splitlines()[0] == summary
    assert BuildPipeline.execute.__text_signature__ == "(ctx, graph)"
