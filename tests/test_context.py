"""NullBackend and BuildContext."""

import inspect

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tessarin
from tessarin import BuildContext, InMemoryTraceSink, NullBackend, TraceEvent

DEVICES = ["cpu", "", "cuda:0", 'it\'s "odd"\n', "gpu\u00e9\U0001f600"]


@pytest.mark.parametrize("device", DEVICES)
def test_backend_keeps_its_device_and_is_always_null(device):
    for backend in [NullBackend(device), NullBackend(device=device)]:
        assert backend.name == "null"
        assert backend.device == device
        # The device goes into the repr as stored, without escaping.
        assert repr(backend) == str(backend) == f"NullBackend(name='null', device='{device}')"


@given(st.text())
def test_backend_device_round_trips(device):
    backend = NullBackend(device)
    assert (backend.name, backend.device) == ("null", device)


def test_cpu_preset():
    backend = NullBackend.cpu()
    assert type(backend) is NullBackend
    assert (backend.name, backend.device) == ("null", "cpu")
    assert repr(backend) == "NullBackend(name='null', device='cpu')"
    assert NullBackend.cpu() is not backend
    assert inspect.signature(NullBackend.cpu).parameters == {}
    with pytest.raises(TypeError):
        NullBackend.cpu("gpu")


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((), {}, "NullBackend() missing required argument 'device' (pos 1)"),
        ((1,), {}, "NullBackend() argument 'device' must be str, not int"),
        ((None,), {}, "NullBackend() argument 'device' must be str, not None"),
        ((b"cpu",), {}, "NullBackend() argument 'device' must be str, not bytes"),
        (("cpu", "x"), {}, "NullBackend() takes at most 1 argument (2 given)"),
        ((), {"dev": "cpu"}, "NullBackend() got an unexpected keyword argument 'dev'"),
    ],
)
def test_backend_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        NullBackend(*args, **kwargs)
    assert str(info.value) == message


def test_backend_properties_are_read_only_and_identity_compared():
    backend = NullBackend("cpu")
    for name in ["name", "device"]:
        with pytest.raises(AttributeError):
            setattr(backend, name, "x")
    assert NullBackend.name.__doc__ == "Backend name."
    assert NullBackend.device.__doc__ == "Device identifier."
    other = NullBackend("cpu")
    assert backend == backend and backend != other
    assert len({backend, other}) == 2


def test_backend_docstrings():
    assert NullBackend.__text_signature__ == "(device)"
    doc = NullBackend.__doc__
    assert doc.splitlines()[0] == "Reference backend for testing and development."
    assert "NullBackend.cpu()" in doc and "Burn" in doc and "CubeCL" in doc
    assert NullBackend.cpu.__text_signature__ == "()"
    assert NullBackend.cpu.__doc__.splitlines()[0] == "Create a CPU-targeted NullBackend."
    assert "NullBackend.cpu()" in NullBackend.cpu.__doc__


@pytest.mark.parametrize("device", DEVICES)
def test_context_repr_names_the_backend_not_its_device(device):
    ctx = BuildContext(NullBackend(device), InMemoryTraceSink())
    assert repr(ctx) == str(ctx) == "BuildContext(backend='null')"
    ctx = BuildContext(trace=InMemoryTraceSink(), backend=NullBackend(device))
    assert repr(ctx) == "BuildContext(backend='null')"


def test_with_null_backend():
    ctx = BuildContext.with_null_backend()
    assert type(ctx) is BuildContext
    assert repr(ctx) == "BuildContext(backend='null')"
    assert BuildContext.with_null_backend() is not ctx
    assert BuildContext.with_null_backend.__text_signature__ == "()"
    assert BuildContext.with_null_backend.__doc__.splitlines()[0] == (
        "Create a context with NullBackend and in-memory trace sink."
    )
    with pytest.raises(TypeError):
        BuildContext.with_null_backend(NullBackend.cpu())


SINK, BACKEND = InMemoryTraceSink(), NullBackend.cpu()


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((SINK, BACKEND), {}, "BuildContext() argument 'backend' must be NullBackend, not InMemoryTraceSink"),
        ((BACKEND, BACKEND), {}, "BuildContext() argument 'trace' must be InMemoryTraceSink, not NullBackend"),
        ((SINK, SINK), {}, "BuildContext() argument 'backend' must be NullBackend, not InMemoryTraceSink"),
        (("cpu", 1), {}, "BuildContext() argument 'backend' must be NullBackend, not str"),
        ((BACKEND, None), {}, "BuildContext() argument 'trace' must be InMemoryTraceSink, not None"),
        (
            (BACKEND, TraceEvent("a", "b")),
            {},
            "BuildContext() argument 'trace' must be InMemoryTraceSink, not TraceEvent",
        ),
        ((), {"trace": 1, "backend": 2}, "BuildContext() argument 'backend' must be NullBackend, not int"),
        ((BACKEND,), {}, "BuildContext() missing required argument 'trace' (pos 2)"),
        ((), {"trace": SINK}, "BuildContext() missing required argument 'backend' (pos 1)"),
        ((BACKEND, SINK, SINK), {}, "BuildContext() takes at most 2 arguments (3 given)"),
        ((BACKEND, SINK), {"sink": SINK}, "BuildContext() takes at most 2 arguments (3 given)"),
        ((BACKEND,), {"sink": SINK}, "BuildContext() got an unexpected keyword argument 'sink'"),
    ],
)
def test_context_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        BuildContext(*args, **kwargs)
    assert str(info.value) == message


def test_context_has_no_readable_members():
    ctx = BuildContext(NullBackend.cpu(), InMemoryTraceSink())
    assert [n for n in dir(ctx) if not n.startswith("_")] == ["with_null_backend"]
    with pytest.raises(AttributeError):
        ctx.backend
    with pytest.raises(AttributeError):
        ctx.trace = InMemoryTraceSink()
    other = BuildContext(NullBackend.cpu(), InMemoryTraceSink())
    assert ctx == ctx and ctx != other
    assert len({ctx, other}) == 2


def test_context_docstrings():
    assert BuildContext.__text_signature__ == "(backend, trace)"
    doc = BuildContext.__doc__
    assert doc.splitlines()[0] == "Execution context holding backend and trace sink."
    assert "with_null_backend()" in doc and "BuildContext(" in doc


def test_context_leaves_the_sink_untouched():
    sink = InMemoryTraceSink()
    sink.record(TraceEvent("before", "x"))
    ctx = BuildContext(NullBackend("gpu"), sink)
    del ctx
    assert [e.id for e in sink.events()] == ["before"]


@pytest.mark.skipif(not hasattr(tessarin, "BuildPipeline"), reason="needs BuildPipeline")
def test_contexts_from_one_sink_share_its_events():
    sink = InMemoryTraceSink()
    sink.record(TraceEvent("user.first", "x"))
    graph = tessarin.BuildGraph()
    graph.add_node("enc", tessarin.ModelConfig("enc", "1.0"))
    pipeline = tessarin.BuildPipeline.standard()
    first, second = BuildContext(NullBackend.cpu(), sink), BuildContext(NullBackend("gpu"), sink)
    pipeline.execute(first, graph)
    after_one = len(sink)
    pipeline.execute(second, graph)
    ids = [e.id for e in sink.events()]
    assert ids[0] == "user.first"
    assert after_one > 1 and len(ids) == 2 * after_one - 1
    assert ids[1:after_one] == ids[after_one:]
    # The sink object can go: the contexts keep the store alive.
    del sink
    pipeline.execute(first, graph)
