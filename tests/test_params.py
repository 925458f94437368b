"""Conversion of Python values into parameters and back."""

import collections
import collections.abc
import enum
import math
import random
import struct
import sys
import threading

import pytest
from hypothesis import given
from hypothesis import strategies as st
from support import not_under_asan

from tessarin import ModelConfig

PREFIX = "Failed to convert value: "


def roundtrip(value):
    return ModelConfig("c", "1").with_param("k", value).param("k")


def conversion_error(value):
    with pytest.raises(ValueError) as info:
        ModelConfig("c", "1").with_param("k", value)
    message = str(info.value)
    assert message.startswith(PREFIX)
    return message[len(PREFIX) :]


class Color(enum.IntEnum):
    RED = 7


class DictSub(dict):
    pass


class ListSub(list):
    pass


class StrSub(str):
    pass


class MyMapping:
    """Registered as a Mapping: converted through keys(), values() and len()."""

    def __init__(self, data):
        self.data = data

    def keys(self):
        return list(self.data.keys())

    def values(self):
        return list(self.data.values())

    def __len__(self):
        return len(self.data)

    def __getitem__(self, key):
        return self.data[key]

    def __repr__(self):
        return f"MyMapping({self.data!r})"


class MySequence:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __repr__(self):
        return f"MySequence({self.items!r})"


collections.abc.Mapping.register(MyMapping)
collections.abc.Sequence.register(MySequence)


# ------------------------------------------------------------ accepted values


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, None),
        (True, True),
        (False, False),
        (0, 0),
        (1, 1),
        (2**64 - 1, 2**64 - 1),
        (-(2**63), -(2**63)),
        (1.0, 1.0),
        (-0.0, -0.0),
        (float("nan"), None),
        (float("inf"), None),
        (float("-inf"), None),
        ("", ""),
        ("modèle 模型 😀", "modèle 模型 😀"),
        ((1, 2), [1, 2]),
        ({3}, [3]),
        (frozenset(), []),
        ({"b": 1, "a": 2}, {"a": 2, "b": 1}),
        (Color.RED, 7),
        (StrSub("x"), "x"),
        (ListSub([1]), [1]),
        (DictSub(z=1, a=2), {"a": 2, "z": 1}),
        (collections.OrderedDict([("b", 1), ("a", 2)]), {"a": 2, "b": 1}),
        (MyMapping({"y": (1,), "x": None}), {"x": None, "y": [1]}),
        (MySequence([1, "a", [2]]), [1, "a", [2]]),
        (range(3), [0, 1, 2]),
    ],
)
def test_accepted_values(value, expected):
    result = roundtrip(value)
    assert result == expected
    assert type(result) is type(expected)
    if isinstance(expected, float):
        assert math.copysign(1, result) == math.copysign(1, expected)


def test_bools_ints_and_floats_keep_their_kind():
    assert roundtrip(True) is True
    assert type(roundtrip(1)) is int
    assert type(roundtrip(1.0)) is float
    assert type(roundtrip(Color.RED)) is int


def test_dict_keys_come_back_in_byte_order():
    keys = ["é", "ab", "a", "Z", "", "b"]
    result = roundtrip({k: None for k in keys})
    assert list(result) == sorted(keys, key=lambda k: k.encode())
    assert list(result) == ["", "Z", "a", "ab", "b", "é"]

    # Enough keys for the scratch of the largest sorts; most alike in their
    # first 12 bytes, shuffled, some repeated (the later value wins).
    class Pairs(MyMapping):
        def keys(self):
            return [k for k, _ in self.data]

        def values(self):
            return [v for _, v in self.data]

    keys = [f"encoder.layers.{i}.weight" if i % 3 else f"{i}é" for i in range(70_000)]
    pairs = [(k, i) for i, k in enumerate(keys)] + [(k, -i) for i, k in enumerate(keys[::7])]
    random.Random(5).shuffle(pairs)
    expected = sorted(dict(pairs).items(), key=lambda item: item[0].encode())
    assert list(roundtrip(Pairs(pairs)).items()) == expected
    assert list(roundtrip(dict(pairs)).items()) == expected


def test_repeated_mapping_keys_keep_the_later_value():
    class Repeating(MyMapping):
        def keys(self):
            return ["a", "a"]

        def values(self):
            return [1, 2]

    assert roundtrip(Repeating({"a": 0, "b": 0})) == {"a": 2}


# ------------------------------------------------------------- refused values


@pytest.mark.parametrize(
    "value, message",
    [
        (2**64, "JSON number out of range"),
        (-(2**63) - 1, "JSON number out of range"),
        (2**127 - 1, "JSON number out of range"),
        (-(2**127), "JSON number out of range"),
        (2**127, "OverflowError: Python int too large to convert to C long"),
        (2**128, "OverflowError: Python int too large to convert to C long"),
        (-(2**127) - 1, "OverflowError: Python int too large to convert to C long"),
        (b"x", "invalid type: byte array, expected any valid JSON value"),
        (bytearray(b"x"), "unexpected type: 'bytearray' object cannot be cast as 'bytes'"),
        ({1: 2}, "unexpected type: 'int' object cannot be cast as 'str'"),
        ({"a": {(1,): 2}}, "unexpected type: 'tuple' object cannot be cast as 'str'"),
        (object(), "unsupported type object"),
        (1j, "unsupported type complex"),
        ([{"a": b"x"}], "invalid type: byte array, expected any valid JSON value"),
        (ModelConfig("a", "1"), "unsupported type ModelConfig"),
        (MyMapping.__init__, "unsupported type function"),
    ],
)
def test_refused_values(value, message):
    assert conversion_error(value) == message


def test_lone_surrogate_is_refused_with_the_encoding_error():
    assert conversion_error("\ud800").startswith("UnicodeEncodeError: ")
    assert conversion_error({"\udfff": 1}).startswith("UnicodeEncodeError: ")


def test_nested_class_qualname_is_used():
    class Outer:
        class Inner:
            pass

    assert conversion_error(Outer.Inner()) == "unsupported type test_nested_class_qualname_is_used.<locals>.Outer.Inner"


def test_unreadable_qualname_gives_unknown():
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise RuntimeError("no name")
            return super().__getattribute__(name)

    class Odd(metaclass=Meta):
        pass

    assert conversion_error(Odd()) == "unsupported type unknown"


# ------------------------------------------------- user code during conversion


def test_exceptions_from_user_code_are_rendered():
    class BadLen(MySequence):
        def __len__(self):
            raise KeyError("boom")

    assert conversion_error(BadLen([])) == "KeyError: 'boom'"


def test_exception_whose_str_fails():
    class Unprintable(Exception):
        def __str__(self):
            raise ValueError

    class Raising(MySequence):
        def __getitem__(self, i):
            raise Unprintable

    assert (
        conversion_error(Raising([1]))
        == "test_exception_whose_str_fails.<locals>.Unprintable: <exception str() failed>"
    )


def test_length_change_between_queries():
    class Growing(MySequence):
        calls = 0

        def __len__(self):
            self.calls += 1
            return self.calls

    assert conversion_error(Growing([])) == "expected sequence of length 1, got 2"


def test_mapping_shorter_lists_than_len():
    class Lying(MyMapping):
        def __len__(self):
            return 3

    assert conversion_error(Lying({"a": 1})) == "IndexError: list index out of range"


def test_interrupts_propagate_unchanged():
    class Interrupting(MySequence):
        def __len__(self):
            raise KeyboardInterrupt

    config = ModelConfig("c", "1")
    with pytest.raises(KeyboardInterrupt):
        config.with_param("k", Interrupting([]))
    assert config.params == {}


def test_broken_instancecheck_is_unraisable_and_counts_as_false(monkeypatch):
    class BadClass:
        @property
        def __class__(self):
            raise RuntimeError("broken")

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))
    assert (
        conversion_error(BadClass())
        == "unsupported type test_broken_instancecheck_is_unraisable_and_counts_as_false.<locals>.BadClass"
    )
    assert seen == [RuntimeError, RuntimeError]


def test_mutation_during_conversion_never_crashes():
    target = []

    class Clearing(MySequence):
        def __getitem__(self, i):
            target.clear()
            return 0

    target.extend([Clearing([1]), 5, 6])
    assert conversion_error(target) == "IndexError: list index out of range"


def test_self_reference_and_deep_nesting_fail_cleanly():
    loop = []
    loop.append(loop)
    assert "255" in conversion_error(loop)
    d = {}
    d["d"] = d
    assert "255" in conversion_error(d)
    deep = None
    for _ in range(100_000):
        deep = [deep]
    assert "255" in conversion_error(deep)


def nested(depth):
    value = 0
    for i in range(depth):
        value = [value] if i % 2 else {"k": value}
    return value


def test_depth_limit_is_exact():
    assert roundtrip(nested(255)) == nested(255)
    assert "255" in conversion_error(nested(256))


@not_under_asan("its instrumented frames are several times larger, so 255 levels no longer fit in 256 KiB")
def test_small_thread_stack_at_the_depth_limit():
    results = []
    # Built and freed on the main thread: CPython 3.13.0 itself overflows a
    # 256 KiB stack when it deallocates a nest this deep. The conversion of it
    # still runs on the small stack, which is what this test is about.
    too_deep = nested(100_000)

    def work():
        config = ModelConfig("c", "1").with_param("k", nested(255))
        value = config.param("k")
        results.append(value == nested(255))
        results.append(len(config.params) == 1)
        try:
            config.with_param("k", too_deep)
        except ValueError as e:
            results.append("255" in str(e))
        results.append(config.param("k") == nested(255))
        del config

    old = threading.stack_size(256 * 1024)
    try:
        t = threading.Thread(target=work)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    too_deep = None  # freed here, on the main thread
    assert results == [True, True, True, True]


# ---------------------------------------------------------- differential test


def expected_of(value):
    """Independent model of the conversion rules."""
    if value is None or type(value) is bool:
        return value
    if isinstance(value, int):
        if -(2**63) <= value < 2**64:
            return int(value)
        raise OverflowError
    if isinstance(value, float):
        return None if math.isnan(value) or math.isinf(value) else float(value)
    if isinstance(value, str):
        return str(value)
    if isinstance(value, (list, tuple, set, frozenset, MySequence)):
        return [expected_of(v) for v in value]
    if isinstance(value, (dict, MyMapping)):
        items = {}
        for k, v in zip(value.keys(), value.values()):
            items[str(k)] = expected_of(v)
        return {k: items[k] for k in sorted(items, key=lambda s: s.encode())}
    raise TypeError(value)


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.sampled_from([0, -1, 2**63 - 1, 2**63, 2**64 - 1, -(2**63)])
    | st.floats(allow_nan=True, allow_infinity=True)
    | st.text()
)
values = st.recursive(
    scalars,
    lambda children: (
        st.lists(children, max_size=5)
        | st.lists(children, max_size=5).map(tuple)
        | st.lists(children, max_size=5).map(MySequence)
        | st.frozensets(st.integers(min_value=-(2**63), max_value=2**64 - 1) | st.text(max_size=3), max_size=4)
        | st.dictionaries(st.text(max_size=6), children, max_size=5)
        | st.dictionaries(st.text(max_size=6), children, max_size=5).map(DictSub)
        | st.dictionaries(st.text(max_size=6), children, max_size=5).map(MyMapping)
    ),
    max_leaves=30,
)


@given(values)
def test_roundtrip_matches_independent_model(value):
    expected = expected_of(value)
    assert same(roundtrip(value), expected)


@given(st.integers())
def test_integer_ranges(value):
    if -(2**63) <= value < 2**64:
        assert same(roundtrip(value), value)
    elif -(2**127) <= value < 2**127:
        assert conversion_error(value) == "JSON number out of range"
    else:
        assert conversion_error(value) == "OverflowError: Python int too large to convert to C long"


@not_under_asan("its shadow memory reserves terabytes of address space, which no RLIMIT_AS leaves room for")
def test_failed_allocation_aborts_with_its_size():
    import subprocess

    code = (
        "import resource, tessarin\n"
        "big = [0] * 20_000_000\n"
        "usage = int(open('/proc/self/statm').read().split()[0]) * 4096\n"
        "resource.setrlimit(resource.RLIMIT_AS, (usage + 200 * 2**20, resource.RLIM_INFINITY))\n"
        "tessarin.ModelConfig('a', '1').with_param('k', big)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode < 0  # killed by SIGABRT, not a Python exception
    assert out.stderr.startswith("memory allocation of ")
    assert out.stderr.rstrip().endswith(" bytes failed")


@not_under_asan("resident memory there is mostly the sanitizer's own")
def test_freed_large_values_give_their_memory_back_beyond_the_cache():
    # In a fresh process, two values of at least four times the cache's cap,
    # each freed on a thread of its own; the input stays alive throughout.
    import subprocess

    code = (
        "import threading, tessarin\n"
        "def rss():\n"
        "    return int(open('/proc/self/statm').read().split()[1]) * 4096\n"
        "cap = tessarin._chunk_cache_bytes\n"
        "layer = {'name': 'attention_block', 'units': 4096, 'dropout': 0.1, 'bias': True,\n"
        "         'activation': None, 'shape': [64, 64, 3], 'init': {'kind': 'normal', 'seed': 7}}\n"
        "layers = [layer] * (4 * cap // 300)\n"
        "base = rss()\n"
        "for _ in range(2):\n"
        "    held = [tessarin.ModelConfig('m', '1.0').with_param('layers', layers)]\n"
        "    assert rss() - base >= 4 * cap, rss() - base\n"
        "    thread = threading.Thread(target=held.clear)\n"
        "    thread.start()\n"
        "    thread.join()\n"
        "print(cap, rss() - base)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    cap, kept = map(int, out.stdout.split())
    assert kept <= cap + 4 * 2**20


# ------------------------------------------------------------------ Ctrl-C

INTERRUPTED_CHILD = r"""
import signal
from tessarin import ModelConfig
{setup}
config = ModelConfig("c", "1")
outside = 0

def handler(signum, frame):
    global outside
    try:
        probe()
    except RuntimeError:  # the receiver is held: the call is still running
        raise KeyboardInterrupt
    outside += 1

signal.signal(signal.SIGINT, handler)
print("ready", flush=True)
try:
    for _ in range(20):
        config = ModelConfig("c", "1")
        op()
except KeyboardInterrupt:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    check()
    print("interrupted inside the call", flush=True)
else:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    print("completed", flush=True)
"""


@pytest.mark.parametrize(
    "setup",
    [
        # An exact list, an abstract Sequence, and the read direction.
        "big = [0] * 20_000_000\nop = lambda: config.with_param('k', big)\n"
        "probe = lambda: config.param('x')\ncheck = lambda: config.params == {} or exit(3)",
        "big = range(20_000_000)\nop = lambda: config.with_param('k', big)\n"
        "probe = lambda: config.param('x')\ncheck = lambda: config.params == {} or exit(3)",
        "holder = ModelConfig('h', '1').with_param('k', [0] * 20_000_000)\nop = lambda: holder.params\n"
        "probe = lambda: holder.with_param('x', 0)\ncheck = lambda: repr(holder).startswith(\"ModelConfig(name='h'\") or exit(3)",
    ],
    ids=["list", "sequence", "read"],
)
def test_ctrl_c_interrupts_a_long_conversion(setup):
    """SIGINT is sent over and over while the child converts a value large
    enough to take a while; a handler that finds the receiver still held
    raises KeyboardInterrupt. Without checks for signals inside the
    conversion, every handler runs between calls and the loop completes."""
    import signal
    import subprocess
    import time

    code = INTERRUPTED_CHILD.format(setup=setup)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        for _ in range(1200):  # bounded: stops by itself if the child never ends
            if child.poll() is not None:
                break
            child.send_signal(signal.SIGINT)
            time.sleep(0.05)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert (child.returncode, out) == (0, "interrupted inside the call\n"), err


# ------------------------------------- fast paths against the general path


class PairMapping:
    """A Mapping given as (key, value) pairs; keys may repeat."""

    def __init__(self, pairs):
        self.pairs = pairs

    def keys(self):
        return [k for k, _ in self.pairs]

    def values(self):
        return [v for _, v in self.pairs]

    def __len__(self):
        return len(self.pairs)

    def __getitem__(self, key):
        raise KeyError(key)


class Mutator:
    """A one-item Sequence whose __len__ or __getitem__ changes another
    container (usually one being converted around it)."""

    def __init__(self, action, where):
        self.action, self.where = action, where

    def __len__(self):
        if self.where == "len":
            self.action()
        return 1

    def __getitem__(self, i):
        if i > 0:
            raise IndexError(i)
        if self.where == "getitem":
            self.action()
        return 7


collections.abc.Mapping.register(PairMapping)
collections.abc.Sequence.register(Mutator)


class Refused(Exception):
    pass


def rendered(error):
    return f"{type(error).__qualname__}: {error}"


def reference(value, depth=0):
    """The conversion, written plainly from its documented rules: exact
    lists and tuples are read by index up to their length when the
    conversion reaches them, exact dicts as their items at that moment, other
    sequences through len() (asked twice) and indexing, other mappings
    through keys(), values() and len()."""
    kind = type(value)
    if value is None or kind is bool or kind is float and math.isfinite(value):
        return value
    if kind is float:
        return None
    if kind is int:
        if -(2**63) <= value < 2**64:
            return value
        if -(2**127) <= value < 2**127:
            raise Refused("JSON number out of range")
        raise Refused("OverflowError: Python int too large to convert to C long")
    if kind is str:
        try:
            value.encode()
        except UnicodeEncodeError as error:
            raise Refused(rendered(error)) from None
        return value
    if kind is bytes:
        raise Refused("invalid type: byte array, expected any valid JSON value")
    if kind not in (list, tuple, dict, Mutator, MySequence, PairMapping):
        raise Refused(f"unsupported type {kind.__qualname__}")
    if depth >= 255:
        raise Refused("value nested more than 255 levels deep (or containing itself)")
    if kind in (list, tuple):
        result = []
        for i in range(len(value)):
            try:
                item = value[i]
            except IndexError as error:
                raise Refused(rendered(error)) from None
            result.append(reference(item, depth + 1))
        return result
    if kind in (Mutator, MySequence):
        first, second = len(value), len(value)
        if first != second:
            raise Refused(f"expected sequence of length {first}, got {second}")
        return [reference(value[i], depth + 1) for i in range(second)]
    pairs = list(value.items()) if kind is dict else value.pairs
    result = {}
    for key, item in pairs:
        if not isinstance(key, str):
            raise Refused(f"unexpected type: '{type(key).__qualname__}' object cannot be cast as 'str'")
        key = reference(key)
        result[key] = reference(item, depth + 1)
    return {k: result[k] for k in sorted(result, key=lambda s: s.encode("utf-8", "surrogatepass"))}


def outcome(convert, value):
    try:
        return "ok", convert(value)
    except (ValueError, Refused) as error:
        return "refused", str(error).removeprefix(PREFIX)


def random_value(seed, wrap):
    """A random value built from `seed`; with `wrap`, every list, tuple and
    dict becomes a Sequence / Mapping wrapper with the same content. Returns
    the value and whether it runs code that mutates containers."""
    rng = random.Random(seed)
    containers = []
    mutating = False
    texts = ["", "a", "ab", "abc", "abcd", "é", "😀x", "key_1", "lo", "sixteen bytes!!!", "modèle 模型"]

    def text():
        return rng.choice(texts) + "xyz"[: rng.randint(0, 3)] * rng.randint(0, 6)

    def leaf():
        if rng.random() < 0.01:  # refused, each for its own reason
            return rng.choice([2**64, -(2**63) - 1, 2**130, "\ud800", b"x", object(), 1j])
        return rng.choice(
            [
                lambda: None,
                lambda: rng.random() < 0.5,
                lambda: rng.randint(-(2**63), 2**64 - 1),
                lambda: rng.randint(-3, 300),
                lambda: rng.choice([0.5, -0.0, float("nan"), 1e300]),
                text,
                text,
            ]
        )()

    def action():
        target = rng.choice(containers)
        if isinstance(target, list):
            return rng.choice(
                [
                    target.clear,
                    lambda: target.append(1),
                    lambda: target.insert(0, "new"),
                    lambda: target and target.pop(),
                    lambda: target.append(target),
                ]
            )
        return rng.choice([target.clear, lambda: target.update(zz=[1]), lambda: target and target.popitem()])

    def node(depth):
        nonlocal mutating
        roll = rng.random()
        if depth >= 4 or roll < 0.4:
            return leaf()
        if roll < 0.47 and containers and not wrap:
            mutating = True
            return Mutator(action(), rng.choice(["len", "getitem"]))
        size = rng.choice([0, 1, 2, 3, 4, 5, 40]) if roll > 0.02 else 5000
        kind = rng.choice(["list", "tuple", "dict", "pairs"])
        if kind == "pairs":
            # Keys from a small pool: later repeats must win.
            pool = [text() for _ in range(rng.randint(1, 6))]
            return PairMapping(
                [(rng.choice(pool) if rng.random() > 0.005 else 5, node(depth + 1)) for _ in range(size)]
            )
        if kind == "dict":
            result = {}
            containers.append(result)
            for _ in range(size):
                result[text() if rng.random() > 0.005 else 5] = node(depth + 1)
            return PairMapping(list(result.items())) if wrap else result
        result = []
        containers.append(result)
        result.extend(node(depth + 1) for _ in range(size))
        if wrap:
            return MySequence(result)
        return tuple(result) if kind == "tuple" else result

    value = node(0)
    return value, mutating


@pytest.mark.parametrize("seed", range(400))
def test_fast_paths_match_the_general_path_and_a_reference(seed):
    value, mutating = random_value(seed, wrap=False)
    expected = outcome(reference, random_value(seed, wrap=False)[0])
    got = outcome(roundtrip, value)
    assert got[0] == expected[0] and (same(got[1], expected[1]) if got[0] == "ok" else got == expected)
    if not mutating:
        wrapped = outcome(roundtrip, random_value(seed, wrap=True)[0])
        assert wrapped[0] == got[0] and (same(wrapped[1], got[1]) if got[0] == "ok" else wrapped == got)
