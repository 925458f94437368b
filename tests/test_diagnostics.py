"""TraceLevel, TraceEvent and InMemoryTraceSink."""

import gc
import operator
import sys
import threading
import time
import tracemalloc

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tessarin import InMemoryTraceSink, TraceEvent, TraceLevel

LEVELS = [("Debug", 0), ("Info", 1), ("Warn", 2), ("Error", 3)]
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


class Index:
    """An object the interpreter's integer conversion accepts."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BrokenIndex:
    def __index__(self):
        raise ValueError("no index today")


class IntOnly:
    """__int__ without __index__: not accepted by the integer conversion."""

    def __int__(self):
        return 1


# ------------------------------------------------------------------ TraceLevel


def test_members_are_single_class_attributes_in_order():
    public = [k for k in vars(TraceLevel) if not k.startswith("_")]
    assert public == [name for name, _ in LEVELS]
    for name, value in LEVELS:
        member = getattr(TraceLevel, name)
        assert member is getattr(TraceLevel, name)
        assert type(member) is TraceLevel
        assert int(member) == value and type(int(member)) is int
        assert repr(member) == str(member) == f"TraceLevel.{name}"


def test_level_class_cannot_be_instantiated_and_has_no_signature():
    for args in [(), (1,), (TraceLevel.Info,)]:
        with pytest.raises(TypeError):
            TraceLevel(*args)
    doc = TraceLevel.__doc__
    assert doc.splitlines()[0] == "Severity level for trace events."
    assert TraceLevel.__text_signature__ is None
    for line in [
        "Debug: Detailed diagnostic information",
        "Info: Normal operational events",
        "Warn: Potentially problematic situations",
        "Error: Failures that may require attention",
        "TraceLevel.Info",
    ]:
        assert line in doc


def _equality_rows():
    rows = []
    for a_name, a in LEVELS:
        level = getattr(TraceLevel, a_name)
        for b_name, b in LEVELS:
            rows.append((level, getattr(TraceLevel, b_name), a == b))
        rows += [
            (level, a, True),
            (level, a + 1, False),
            (level, a - 1, False),
            (level, Index(a), True),
            (level, Index(a + 4), False),
            # Wrapping at 64 bits must not make these equal.
            (level, a + 2**64, False),
            (level, a - 2**64, False),
            (level, 2**200 + a, False),
            (level, INT64_MAX, False),
            (level, INT64_MIN, False),
            (level, Index(2**64 + a), False),
            (level, a_name, False),
            (level, str(a), False),
            (level, float(a), False),
            (level, IntOnly(), False),
            (level, BrokenIndex(), False),
            (level, None, False),
            (level, object(), False),
        ]
    rows += [
        (TraceLevel.Info, True, True),
        (TraceLevel.Debug, False, True),
        (TraceLevel.Warn, True, False),
    ]
    return rows


@pytest.mark.parametrize("level,other,equal", _equality_rows())
def test_level_equality_table(level, other, equal):
    # An exception left pending by a failed integer conversion would surface
    # here as a SystemError.
    assert (level == other) is equal
    assert (other == level) is equal
    assert (level != other) is (not equal)
    assert (other != level) is (not equal)


class Stop(BaseException):
    """Neither an Exception nor an interrupt, and still not to be swallowed."""


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit, Stop])
@pytest.mark.parametrize("op", [operator.eq, operator.ne])
def test_level_equality_lets_interrupts_and_exits_through(exc, op):
    # Ordinary exceptions from the integer conversion give NotImplemented
    # (the table above); these ones propagate as they are, either side.
    raised = exc("from __index__")
    other = Raising(raised)
    for left, right in [(TraceLevel.Warn, other), (other, TraceLevel.Warn)]:
        with pytest.raises(exc) as info:
            op(left, right)
        assert info.value is raised


@given(st.integers(min_value=-(2**70), max_value=2**70))
def test_level_equality_against_any_int(n):
    for name, value in LEVELS:
        level = getattr(TraceLevel, name)
        assert (level == n) is (n == value)
        assert (n != level) is (n != value)
        assert (level == Index(n)) is (n == value)


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [TraceLevel.Info, TraceLevel.Error, 1, 2.5, "Info"])
def test_level_ordering_is_refused(op, other):
    with pytest.raises(TypeError):
        op(TraceLevel.Debug, other)
    with pytest.raises(TypeError):
        op(other, TraceLevel.Debug)


def test_levels_are_unhashable():
    assert TraceLevel.__hash__ is None
    for name, _ in LEVELS:
        level = getattr(TraceLevel, name)
        with pytest.raises(TypeError):
            hash(level)
        with pytest.raises(TypeError):
            {level}
        with pytest.raises(TypeError):
            {level: 1}


# ------------------------------------------------------------------ TraceEvent


def test_event_defaults_and_explicit_none():
    for event in [
        TraceEvent("model.init", "Initializing encoder"),
        TraceEvent("model.init", "Initializing encoder", None, None, None),
        TraceEvent(message="Initializing encoder", id="model.init", level=None, trace_id=None),
    ]:
        assert (event.id, event.message) == ("model.init", "Initializing encoder")
        assert event.level == TraceLevel.Info and type(event.level) is TraceLevel
        assert event.level is not TraceLevel.Info
        assert event.span_id is None and event.trace_id is None
        assert repr(event) == str(event) == "TraceEvent(id='model.init', message='Initializing encoder', level=Info)"


@pytest.mark.parametrize("name,_", LEVELS)
def test_event_fields_round_trip(name, _):
    level = getattr(TraceLevel, name)
    event = TraceEvent("", 'it\'s\n"raw"', level, span_id="span-1", trace_id="")
    assert event.id == "" and event.message == 'it\'s\n"raw"'
    assert event.level == level and int(event.level) == int(level)
    assert event.level is not event.level
    assert (event.span_id, event.trace_id) == ("span-1", "")
    # Strings go into the repr as stored, without escaping.
    assert repr(event) == f"TraceEvent(id='', message='it's\n\"raw\"', level={name})"


@given(st.text(), st.text(), st.none() | st.text(), st.none() | st.text())
def test_event_strings_round_trip(id_, message, span_id, trace_id):
    event = TraceEvent(id_, message, span_id=span_id, trace_id=trace_id)
    assert (event.id, event.message, event.span_id, event.trace_id) == (id_, message, span_id, trace_id)
    assert repr(event) == f"TraceEvent(id='{id_}', message='{message}', level=Info)"


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((1, 2, 3, 4, 5), {}, "TraceEvent() argument 'id' must be str, not int"),
        (("a", b"m", 3, 4, 5), {}, "TraceEvent() argument 'message' must be str, not bytes"),
        (("a", "m", 3, 4, 5), {}, "TraceEvent() argument 'level' must be TraceLevel or None, not int"),
        (("a", "m", "Info"), {}, "TraceEvent() argument 'level' must be TraceLevel or None, not str"),
        (("a", "m", None, 4, 5), {}, "TraceEvent() argument 'span_id' must be str or None, not int"),
        (("a", "m", None, None, 5), {}, "TraceEvent() argument 'trace_id' must be str or None, not int"),
        (("a", "m"), {"trace_id": 1, "level": 2}, "TraceEvent() argument 'level' must be TraceLevel or None, not int"),
        (
            (),
            {"trace_id": 1, "span_id": 2, "message": "m", "id": "i"},
            "TraceEvent() argument 'span_id' must be str or None, not int",
        ),
        (("a",), {}, "TraceEvent() missing required argument 'message' (pos 2)"),
        ((), {"message": "m"}, "TraceEvent() missing required argument 'id' (pos 1)"),
        (("a", "m", None, None, None, None), {}, "TraceEvent() takes at most 5 arguments (6 given)"),
        (("a", "m"), {"span": "s"}, "TraceEvent() got an unexpected keyword argument 'span'"),
        (("a", "m"), {"id": "again"}, "argument for TraceEvent() given by name ('id') and position (1)"),
    ],
)
def test_event_argument_errors_name_the_first_bad_argument(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        TraceEvent(*args, **kwargs)
    assert str(info.value) == message


def test_event_rejects_unencodable_strings():
    with pytest.raises(UnicodeEncodeError):
        TraceEvent("\ud800", "m")
    with pytest.raises(UnicodeEncodeError):
        TraceEvent("a", "m", span_id="\udfff")


def test_event_timestamp_is_wall_clock_time():
    before = time.time()
    event = TraceEvent("a", "b")
    after = time.time()
    stamp = event.timestamp_secs
    assert type(stamp) is float
    assert before - 1.0 <= stamp <= after + 1.0
    assert event.timestamp_secs == stamp


def test_event_members():
    names = [k for k in vars(TraceEvent) if not k.startswith("_")]
    assert names == ["id", "message", "level", "span_id", "trace_id", "timestamp_secs"]
    docs = {
        "id": "Event identifier.",
        "message": "Human-readable message.",
        "level": "Severity level.",
        "span_id": "Optional span ID for distributed tracing.",
        "trace_id": "Optional trace ID for distributed tracing.",
        "timestamp_secs": "Unix timestamp (seconds since epoch).",
    }
    event = TraceEvent("a", "b")
    for name, doc in docs.items():
        assert getattr(TraceEvent, name).__doc__ == doc
        with pytest.raises(AttributeError):
            setattr(event, name, getattr(event, name))
    doc = TraceEvent.__doc__
    assert doc.splitlines()[0] == "Structured trace event with timestamp and metadata."
    assert TraceEvent.__text_signature__ == "(id, message, level=None, span_id=None, trace_id=None)"
    assert "stage.validation.start" in doc and "TraceLevel.Info" in doc
    assert doc.rstrip().endswith("timestamp_secs (float): Unix timestamp when event was created.")


def test_events_compare_and_hash_by_identity():
    a = TraceEvent("a", "b")
    b = TraceEvent("a", "b")
    assert a == a and a != b
    assert len({a, b, a}) == 2


# ----------------------------------------------------------- InMemoryTraceSink


def fields(event):
    return (event.id, event.message, int(event.level), event.span_id, event.trace_id, event.timestamp_secs)


def test_new_sink_is_empty():
    sink = InMemoryTraceSink()
    assert len(sink) == 0 and not sink
    assert repr(sink) == str(sink) == "InMemoryTraceSink(events=0)"
    assert sink.events() == []


def test_recorded_events_read_back_as_equal_copies():
    sink = InMemoryTraceSink()
    first = TraceEvent("a", "one", TraceLevel.Warn, "s", "t")
    second = TraceEvent("b", "two")
    assert sink.record(first) is None
    sink.record(second)
    sink.record(event=first)
    assert len(sink) == 3 and sink
    assert repr(sink) == "InMemoryTraceSink(events=3)"
    events = sink.events()
    assert [fields(e) for e in events] == [fields(first), fields(second), fields(first)]
    assert all(e is not first and e is not second for e in events)
    # Each call makes new objects; the store is not affected by the list.
    again = sink.events()
    assert all(x is not y for x, y in zip(events, again))
    assert [fields(e) for e in again] == [fields(e) for e in events]
    events.clear()
    again.reverse()
    assert [e.message for e in sink.events()] == ["one", "two", "one"]
    # Later events do not appear in an earlier list.
    snapshot = sink.events()
    sink.record(second)
    assert len(snapshot) == 3 and len(sink.events()) == 4


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((42,), {}, "record() argument 'event' must be TraceEvent, not int"),
        ((None,), {}, "record() argument 'event' must be TraceEvent, not None"),
        ((TraceLevel.Info,), {}, "record() argument 'event' must be TraceEvent, not TraceLevel"),
        ((), {}, "record() missing required argument 'event' (pos 1)"),
        ((TraceEvent("a", "b"), 1), {}, "record() takes at most 1 argument (2 given)"),
        ((), {"e": TraceEvent("a", "b")}, "record() got an unexpected keyword argument 'e'"),
    ],
)
def test_record_argument_errors_leave_the_sink_unchanged(args, kwargs, message):
    sink = InMemoryTraceSink()
    sink.record(TraceEvent("kept", "x"))
    with pytest.raises(TypeError) as info:
        sink.record(*args, **kwargs)
    assert str(info.value) == message
    assert len(sink) == 1 and [e.id for e in sink.events()] == ["kept"]


def test_sink_is_sized_but_not_iterable_or_indexable():
    sink = InMemoryTraceSink()
    sink.record(TraceEvent("a", "b"))
    with pytest.raises(TypeError):
        iter(sink)
    with pytest.raises(TypeError):
        list(sink)
    with pytest.raises(TypeError):
        sink[0]
    with pytest.raises(TypeError):
        InMemoryTraceSink(1)
    with pytest.raises(TypeError):
        sink.events(1)
    assert [k for k in vars(InMemoryTraceSink) if not k.startswith("_")] == ["record", "events"]


def test_sink_docstrings():
    # The interpreter splits "sig\n--\n\n" off into __text_signature__.
    record, events = InMemoryTraceSink.record, InMemoryTraceSink.events
    assert record.__text_signature__ == "(event)"
    assert record.__doc__ == "Record a trace event.\n\nArgs:\n    event: TraceEvent to record."
    assert events.__text_signature__ == "($self)"
    assert events.__doc__ == "Get all recorded events.\n\nReturns:\n    List of all TraceEvents in recording order."
    assert InMemoryTraceSink.__text_signature__ == "()"
    doc = InMemoryTraceSink.__doc__
    assert doc.splitlines()[0] == "In-memory storage for trace events."
    assert "thread-safe" in doc and "observability" in doc and "JSON" in doc
    assert ">>> len(sink)\n    1" in doc


def test_large_sink_counts_every_event():
    sink = InMemoryTraceSink()
    event = TraceEvent("a", "b")
    record = sink.record
    for _ in range(200_000):
        record(event)
    assert len(sink) == 200_000
    assert repr(sink) == "InMemoryTraceSink(events=200000)"
    events = sink.events()
    assert len(events) == 200_000 and fields(events[-1]) == fields(event)


def test_events_leak_no_objects():
    sink = InMemoryTraceSink()
    for i in range(100):
        sink.record(TraceEvent(str(i), "m" * i, span_id="s"))
    for _ in range(50):
        sink.events()
    gc.collect()
    tracemalloc.start()
    try:
        baseline = tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            for e in sink.events():
                e.id, e.level, e.span_id, e.trace_id
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - baseline
    finally:
        tracemalloc.stop()
    # 200,000 objects went through; a leak of even one per event would show
    # as megabytes.
    assert grown < 100_000


def test_concurrent_recorders_and_reader():
    """Nothing lost, each thread's events in its own order, every snapshot a
    prefix of the final order."""
    sink = InMemoryTraceSink()
    threads, per_thread = 4, 3000
    done = threading.Event()
    snapshots = []

    def recorder(t):
        events = [TraceEvent(f"t{t}", str(i)) for i in range(per_thread)]
        for e in events:
            sink.record(e)

    def reader():
        while not done.is_set():
            snapshots.append([(e.id, e.message) for e in sink.events()])
            len(sink)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        reading = threading.Thread(target=reader)
        reading.start()
        workers = [threading.Thread(target=recorder, args=(t,)) for t in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        done.set()
        reading.join()
    finally:
        sys.setswitchinterval(old)

    final = [(e.id, e.message) for e in sink.events()]
    assert len(final) == len(sink) == threads * per_thread
    for t in range(threads):
        assert [m for i, m in final if i == f"t{t}"] == [str(i) for i in range(per_thread)]
    assert snapshots
    for snap in snapshots:
        assert snap == final[: len(snap)]
