"""ModelConfig and ModelConfigBuilder: members, copies, failures, re-entrancy."""

import inspect

import pytest
from support import Hook

from tessarin import ModelConfig, ModelConfigBuilder


def test_fresh_config():
    c = ModelConfig("enc", "1.0")
    assert (c.name, c.version, c.params) == ("enc", "1.0", {})
    assert repr(c) == str(c) == "ModelConfig(name='enc', version='1.0', params=0)"


def test_repr_counts_params_and_inserts_strings_verbatim():
    c = ModelConfig("enc", "1.0").with_param("x", 1).with_param("y", 2)
    assert repr(c) == "ModelConfig(name='enc', version='1.0', params=2)"
    odd = ModelConfig("it's\n", "")
    assert repr(odd) == "ModelConfig(name='it's\n', version='', params=0)"


def test_with_param_changes_receiver_and_returns_a_separate_copy():
    a = ModelConfig("c", "1")
    b = a.with_param("k", 1)
    assert a is not b
    assert a.param("k") == b.param("k") == 1
    b.with_param("z", 2)
    assert a.param("z") is None and b.param("z") == 2
    a.with_param("only_a", 3)
    assert b.param("only_a") is None


def test_with_param_replaces_existing_key():
    c = ModelConfig("c", "1").with_param("k", 1).with_param("k", [2])
    assert c.params == {"k": [2]}
    assert repr(c).endswith("params=1)")


def test_getters_return_new_objects():
    c = ModelConfig("c", "1").with_param("k", {"a": [1]})
    p = c.params
    p["k"]["a"].append(2)
    p["new"] = 1
    assert c.params == {"k": {"a": [1]}}
    v = c.param("k")
    assert v is not c.param("k")
    v["a"] = None
    assert c.param("k") == {"a": [1]}


def test_param_absent_and_null_both_give_none():
    c = ModelConfig("c", "1").with_param("n", None)
    assert c.param("n") is None and c.param("missing") is None
    assert c.params == {"n": None}


def test_identity_semantics():
    a, b = ModelConfig("c", "1"), ModelConfig("c", "1")
    assert a != b
    assert len({a: 1, b: 2}) == 2


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: ModelConfig(1, "1"), "ModelConfig() argument 'name' must be str, not int"),
        (lambda: ModelConfig("a", None), "ModelConfig() argument 'version' must be str, not None"),
        (lambda: ModelConfig("a"), "ModelConfig() missing required argument 'version' (pos 2)"),
        (lambda: ModelConfig("a", "1", "x"), "ModelConfig() takes at most 2 arguments (3 given)"),
        (lambda: ModelConfig("a", name="b"), "argument for ModelConfig() given by name ('name') and position (1)"),
        (lambda: ModelConfig(name="a", versio="1"), "ModelConfig() got an unexpected keyword argument 'versio'"),
        (lambda: ModelConfig("a", "1").with_param(b"k", 1), "with_param() argument 'key' must be str, not bytes"),
        (lambda: ModelConfig("a", "1").param(None), "param() argument 'key' must be str, not None"),
        (lambda: ModelConfigBuilder().name(3), "name() argument 'name' must be str, not int"),
        (lambda: ModelConfigBuilder().version(3.0), "version() argument 'version' must be str, not float"),
        (lambda: ModelConfigBuilder().param(1, 1), "param() argument 'key' must be str, not int"),
        (lambda: ModelConfigBuilder(1), "ModelConfigBuilder() takes no arguments (1 given)"),
        (lambda: ModelConfigBuilder().build(1), "ModelConfigBuilder.build() takes no arguments (1 given)"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_arguments():
    c = ModelConfig(version="2", name="n").with_param(value=[1], key="k")
    assert (c.name, c.version, c.param(key="k")) == ("n", "2", [1])
    b = ModelConfigBuilder().name(name="x").version(version="y").param(value=1, key="k")
    assert b.build().params == {"k": 1}


def test_surrogate_strings_raise_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        ModelConfig("\ud800", "1")
    with pytest.raises(UnicodeEncodeError):
        ModelConfig("a", "1").with_param("\ud800", 1)


def test_failed_with_param_leaves_config_unchanged():
    c = ModelConfig("c", "1").with_param("a", 1)
    for bad in [b"x", {1: 1}, [1, object()], 2**70]:
        with pytest.raises(ValueError):
            c.with_param("a", bad)
        with pytest.raises(ValueError):
            c.with_param("b", bad)
    assert c.params == {"a": 1}


def test_with_param_failing_at_every_allocation_leaves_config_unchanged():
    """Allocation n fails, for n = 0, 1, ... until the call succeeds: every
    failure (in the conversion, or in creating the returned copy) must leave
    the receiver as it was."""
    _testcapi = pytest.importorskip("_testcapi")
    value = [1, "a string longer than the inline area", {"k": [2.5, None]}, "é" * 9]
    for start in range(1000):
        config = ModelConfig("c", "1").with_param("a", 1)
        key = "key that is long enough"
        _testcapi.set_nomemory(start, 0)
        try:
            result = config.with_param(key, value)
        except (MemoryError, ValueError) as error:
            _testcapi.remove_mem_hooks()
            assert isinstance(error, MemoryError) or "MemoryError" in str(error)
            assert config.params == {"a": 1}
            continue
        finally:
            _testcapi.remove_mem_hooks()
        assert result.params == config.params == {"a": 1, key: value}
        assert start > 0
        break
    else:
        pytest.fail("with_param never succeeded")


def test_docstrings_and_signatures():
    assert ModelConfig.__doc__.startswith("Type-safe configuration for AI model components.")
    assert str(inspect.signature(ModelConfig)) == "(name, version)"
    assert str(inspect.signature(ModelConfig("a", "1").with_param)) == "(key, value)"
    assert ModelConfig.param.__doc__ == (
        "Get a parameter value by key.\n\nArgs:\n    key: Parameter name to retrieve.\n\n"
        "Returns:\n    The parameter value, or None if not found.\n\nExample:\n"
        '    >>> config.param("hidden_size")\n    768'
    )
    assert ModelConfig.name.__doc__ == "Component name."
    assert ModelConfig.version.__doc__ == "Semantic version string."
    assert ModelConfig.params.__doc__ == "Configuration parameters as a dictionary."
    assert ModelConfigBuilder.__doc__.startswith("Builder for constructing ModelConfig incrementally.")
    assert str(inspect.signature(ModelConfigBuilder)) == "()"
    assert ModelConfigBuilder.build.__text_signature__ == "($self)"


# ---------------------------------------------------------------- re-entrancy


@pytest.mark.parametrize(
    "touch, expected",
    [
        (lambda c: c.name, "RuntimeError: Already mutably borrowed"),
        (lambda c: c.version, "RuntimeError: Already mutably borrowed"),
        (lambda c: c.params, "RuntimeError: Already mutably borrowed"),
        (lambda c: c.param("a"), "RuntimeError: Already mutably borrowed"),
        (lambda c: repr(c), "RuntimeError: Already mutably borrowed"),
        (lambda c: c.with_param("x", 1), "RuntimeError: Already borrowed"),
    ],
)
def test_reentrant_use_of_config(touch, expected):
    c = ModelConfig("c", "1").with_param("a", 1)
    with pytest.raises(ValueError) as info:
        c.with_param("b", Hook(lambda: touch(c)))
    assert str(info.value) == "Failed to convert value: " + expected
    assert c.params == {"a": 1}
    assert repr(c) == "ModelConfig(name='c', version='1', params=1)"


@pytest.mark.parametrize(
    "touch, expected",
    [
        (lambda b: b.build(), "RuntimeError: Already mutably borrowed"),
        (lambda b: b.name("x"), "RuntimeError: Already borrowed"),
        (lambda b: b.param("x", 1), "RuntimeError: Already borrowed"),
    ],
)
def test_reentrant_use_of_builder(touch, expected):
    b = ModelConfigBuilder().name("n").version("v")
    with pytest.raises(ValueError) as info:
        b.param("k", Hook(lambda: touch(b)))
    assert str(info.value) == "Failed to convert value: " + expected
    assert b.build().params == {}


def test_reentrant_mapping_keys():
    c = ModelConfig("c", "1")

    class M(dict):
        def keys(self):
            c.with_param("z", 1)
            return []

    with pytest.raises(ValueError, match="^Failed to convert value: RuntimeError: Already borrowed$"):
        c.with_param("k", M())
    assert c.params == {}


# -------------------------------------------------------------------- builder


def test_build_requires_name_then_version():
    with pytest.raises(ValueError, match="^name is required$"):
        ModelConfigBuilder().build()
    with pytest.raises(ValueError, match="^name is required$"):
        ModelConfigBuilder().version("1").build()
    with pytest.raises(ValueError, match="^version is required$"):
        ModelConfigBuilder().name("n").build()


def test_empty_strings_count_as_set():
    c = ModelConfigBuilder().name("").version("").build()
    assert (c.name, c.version) == ("", "")


def test_setters_never_change_the_receiver():
    b = ModelConfigBuilder().name("n").version("1")
    b2 = b.param("k", 1)
    b.name("other")
    assert b.build().params == {} and b.build().name == "n"
    assert b2.build().params == {"k": 1}
    assert b.name("x").name("y").build().name == "y"


def test_builds_are_independent_and_sorted():
    b = ModelConfigBuilder().name("n").version("1").param("z", 1).param("a", 2).param("z", 3)
    c1, c2 = b.build(), b.build()
    assert c1 is not c2
    assert list(c1.params.items()) == [("a", 2), ("z", 3)]
    c1.with_param("extra", 1)
    assert c2.param("extra") is None


def test_builder_param_conversion_failure():
    b = ModelConfigBuilder()
    with pytest.raises(ValueError, match="^Failed to convert value: "):
        b.param("k", b"x")
    assert repr(b).startswith("<builtins.ModelConfigBuilder object at ")
