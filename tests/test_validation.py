"""ValidationError and the validators: the name and version rules, results as
data, composite ordering, copies, argument errors and re-entrancy."""

import inspect
import re
import sys
import unicodedata
from pathlib import Path

import pytest
import regex
from hypothesis import given
from hypothesis import strategies as st
from support import Hook

from tessarin import (
    CompositeValidator,
    ModelConfig,
    NameValidator,
    ValidationError,
    VersionValidator,
)

NAME_EMPTY = "Name cannot be empty"
NAME_INVALID = "Name must contain only alphanumeric characters, dashes, and underscores"
VERSION_EMPTY = "Version cannot be empty"
VERSION_INVALID = "Version must match semantic versioning pattern (e.g., 1.2.3)"


def name_errors(name):
    return [(e.field, e.message) for e in NameValidator().validate(ModelConfig(name, "1.0.0"))]


def version_errors(version):
    return [(e.field, e.message) for e in VersionValidator().validate(ModelConfig("n", version))]


# ------------------------------------------------------------------ name rule


@pytest.mark.parametrize(
    "name",
    [
        "encoder_v2-final",
        "Transformer",
        "模型",
        "modèle",
        "x²",  # No
        "Ⅻ",  # Nl
        "٣٤",  # Nd of another script
        "-",
        "_",
        "0",
        "Zz9",
        "a" * 40 + "é" + "b" * 40,  # non-ASCII between two block-sized ASCII runs
    ],
)
def test_accepted_names(name):
    assert name_errors(name) == []


@pytest.mark.parametrize(
    "name, message",
    [
        ("", NAME_EMPTY),
        (" ", NAME_INVALID),
        ("my model", NAME_INVALID),
        ("my.model", NAME_INVALID),
        ("a/b", NAME_INVALID),
        ("a\u00a0b", NAME_INVALID),  # no-break space
        ("a b c", NAME_INVALID),  # two offenders, still one error
        ("name\n", NAME_INVALID),
        ("\x00", NAME_INVALID),
        ("😀", NAME_INVALID),
        ("a+b", NAME_INVALID),
        ("x" * 31 + "!", NAME_INVALID),  # offender at the end of a block
        ("x" * 33 + "@" + "y" * 33, NAME_INVALID),
        ("é" * 20 + "·", NAME_INVALID),  # MIDDLE DOT after a non-ASCII run
    ],
)
def test_rejected_names(name, message):
    assert name_errors(name) == [("name", message)]


# --------------------------------------------------------------- version rule


@pytest.mark.parametrize(
    "version",
    [
        "1.0.0",
        "2.1.3",
        "0.0.0",
        "01.002.0003",
        "+1.+2.+3",
        "4294967295.0.0",
        "0.0.4294967295",
        "00000000004294967295.1.1",  # leading zeros do not count against the limit
        "1.2.3.4",
        "1.2.3.",
        "1.2.3.beta",
        "1.2.3..x y",
    ],
)
def test_accepted_versions(version):
    assert version_errors(version) == []


@pytest.mark.parametrize(
    "version, message",
    [
        ("", VERSION_EMPTY),
        ("1.0", VERSION_INVALID),
        ("latest", VERSION_INVALID),
        ("1", VERSION_INVALID),
        ("v1.0.0", VERSION_INVALID),
        ("1..2", VERSION_INVALID),
        (".1.2.3", VERSION_INVALID),
        ("1.-2.3", VERSION_INVALID),
        ("4294967296.0.0", VERSION_INVALID),
        ("1.2.4294967296", VERSION_INVALID),
        (" 1.2.3", VERSION_INVALID),
        ("1.2.3 ", VERSION_INVALID),
        ("0.1.0-alpha", VERSION_INVALID),
        ("1.2.3-rc.1", VERSION_INVALID),
        ("1.2.3+build", VERSION_INVALID),
        ("\uff11.\uff12.\uff13", VERSION_INVALID),  # full-width digits
        ("++1.2.3", VERSION_INVALID),
        ("+.1.2", VERSION_INVALID),
        ("1.2.+", VERSION_INVALID),
        ("..", VERSION_INVALID),
    ],
)
def test_rejected_versions(version, message):
    assert version_errors(version) == [("version", message)]


U32_MAX = 2**32 - 1
PIECE = re.compile(r"\+?[0-9]+")


def reference_version_errors(version):
    """The version rule, written independently of the module."""
    if version == "":
        return [("version", VERSION_EMPTY)]
    pieces = version.split(".")
    if len(pieces) < 3:
        return [("version", VERSION_INVALID)]
    for piece in pieces[:3]:
        if not PIECE.fullmatch(piece) or int(piece.lstrip("+")) > U32_MAX:
            return [("version", VERSION_INVALID)]
    return []


numbers = st.one_of(
    st.integers(0, 2**40).map(str),
    st.integers(U32_MAX - 3, U32_MAX + 3).map(str),
    st.integers(0, 99).map(lambda n: "0" * 12 + str(n)),
)
pieces = st.one_of(
    numbers,
    numbers.map(lambda s: "+" + s),
    st.text(alphabet="0123456789+-. av\uff11\u0663", max_size=6),
)


@given(st.one_of(st.lists(pieces, min_size=0, max_size=5).map(".".join), st.text(max_size=12)))
def test_version_rule_matches_reference(version):
    assert version_errors(version) == reference_version_errors(version)


# ------------------------------------------------- name rule against Unicode

# regex's Alphabetic and numeric classes are the independent reference. Its
# Unicode version, like the running interpreter's, may be newer than the 15.0
# tables compiled into the module, so the comparison covers the code points
# assigned in 15.0 only (unicode_assigned.txt, written beside the tables by
# tools/gen_unicode_tables.py) and leaves out the characters whose properties
# changed after 15.0.
REFERENCE = regex.compile(r"[\p{Alphabetic}\p{Nd}\p{Nl}\p{No}]")
UNASSIGNED = regex.compile(r"\p{Cn}")
# Unicode 16.0 gave the combining Latin small letters Other_Alphabetic.
CHANGED_AFTER_15 = set(range(0x0363, 0x0370)) | set(range(0x1DD3, 0x1DE7))


def read_assigned_in_15():
    assigned = bytearray(0x110000)
    for line in (Path(__file__).parent / "unicode_assigned.txt").read_text(encoding="ascii").splitlines():
        if not line.startswith("#"):
            first, last = (int(field, 16) for field in line.split(".."))
            assigned[first : last + 1] = b"\x01" * (last - first + 1)
    return assigned


ASSIGNED_IN_15 = read_assigned_in_15()


def comparable(cp):
    return ASSIGNED_IN_15[cp] and not 0xD800 <= cp <= 0xDFFF and cp not in CHANGED_AFTER_15


def reference_name_char(ch):
    if ch < "\x80":
        return ch.isascii() and (ch.isalnum() or ch in "-_")
    return REFERENCE.match(ch) is not None


def test_assigned_list_agrees_with_regex_and_the_interpreter():
    # A code point once assigned stays assigned: every one in the list is
    # assigned for regex (15.0 or newer), and the interpreter's database
    # agrees with the list as far as its own version allows.
    database = tuple(map(int, unicodedata.unidata_version.split(".")))
    wrong = []
    for cp in range(0x110000):
        listed = bool(ASSIGNED_IN_15[cp])
        in_database = unicodedata.category(chr(cp)) != "Cn"
        if (
            (listed and UNASSIGNED.match(chr(cp)))
            or (database >= (15, 0, 0) and listed and not in_database)
            or (database <= (15, 0, 0) and in_database and not listed)
        ):
            wrong.append(f"U+{cp:04X}")
    assert wrong == []


def test_name_rule_agrees_with_unicode_properties_on_every_code_point():
    validator = NameValidator()
    mismatches = []
    for cp in range(0x110000):
        if not comparable(cp):
            continue
        ch = chr(cp)
        accepted = validator.validate(ModelConfig(ch, "1")) == []
        if accepted != reference_name_char(ch):
            mismatches.append(f"U+{cp:04X} accepted={accepted}")
    assert mismatches == []


def test_reference_sees_the_documented_property_change():
    # If regex ever stopped reporting these as Alphabetic, the exclusion above
    # would hide nothing and should go.
    assert all(REFERENCE.match(chr(cp)) for cp in CHANGED_AFTER_15)
    assert name_errors("\u0363") == [("name", NAME_INVALID)]


comparable_chars = st.one_of(
    st.sampled_from("azAZ09-_ .\t/@"),
    st.characters(min_codepoint=0x80, exclude_categories=("Cs", "Cn")),
).filter(lambda ch: comparable(ord(ch)))


@given(st.lists(st.one_of(comparable_chars, st.text(alphabet="abc_-9", max_size=40)), max_size=12).map("".join))
def test_name_rule_matches_reference_on_random_names(name):
    if name == "":
        expected = [("name", NAME_EMPTY)]
    elif all(reference_name_char(ch) for ch in name):
        expected = []
    else:
        expected = [("name", NAME_INVALID)]
    assert name_errors(name) == expected


def test_huge_names():
    ten_mb = "a_-Z9" * (2 * 1024 * 1024)
    assert name_errors(ten_mb) == []
    assert name_errors(ten_mb + "é") == []
    assert name_errors(ten_mb + ".") == [("name", NAME_INVALID)]
    assert name_errors("模" * (3 * 1024 * 1024)) == []


# ------------------------------------------------------------ ValidationError


def test_validation_error_values():
    e = ValidationError("a", "it's")
    assert (e.field, e.message) == ("a", "it's")
    assert repr(e) == "ValidationError(field='a', message='it's')"
    assert str(ValidationError("version", "x")) == "version: x"
    k = ValidationError(message="m", field="f")
    assert (k.field, k.message, str(k)) == ("f", "m", "f: m")
    odd = ValidationError("a\nb", "\\ 'q' é")
    assert repr(odd) == "ValidationError(field='a\nb', message='\\ 'q' é')"
    assert str(ValidationError("", "")) == ": "


def test_validation_error_is_immutable_and_compares_by_identity():
    e = ValidationError("f", "m")
    for attr in ("field", "message", "other"):
        with pytest.raises(AttributeError):
            setattr(e, attr, "x")
    assert (e.field, e.message) == ("f", "m")
    twin = ValidationError("f", "m")
    assert e != twin and e == e
    assert len({e, twin}) == 2


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: ValidationError(1, "m"), "ValidationError() argument 'field' must be str, not int"),
        (lambda: ValidationError("f", None), "ValidationError() argument 'message' must be str, not None"),
        (lambda: ValidationError("f"), "ValidationError() missing required argument 'message' (pos 2)"),
        (lambda: ValidationError("f", "m", "x"), "ValidationError() takes at most 2 arguments (3 given)"),
        (
            lambda: ValidationError("f", field="g"),
            "argument for ValidationError() given by name ('field') and position (1)",
        ),
        (lambda: NameValidator().validate(1), "validate() argument 'config' must be ModelConfig, not int"),
        (lambda: VersionValidator().validate(None), "validate() argument 'config' must be ModelConfig, not None"),
        (lambda: CompositeValidator().validate("1.0.0"), "validate() argument 'config' must be ModelConfig, not str"),
        (lambda: NameValidator().validate(), "validate() missing required argument 'config' (pos 1)"),
        (lambda: VersionValidator().validate(cfg=1), "validate() got an unexpected keyword argument 'cfg'"),
        (
            lambda: CompositeValidator().validate(ModelConfig("a", "1"), 2),
            "validate() takes at most 1 argument (2 given)",
        ),
        (lambda: NameValidator(1), "NameValidator() takes no arguments (1 given)"),
        (lambda: VersionValidator(x=1), "VersionValidator() takes no keyword arguments"),
        (lambda: CompositeValidator([]), "CompositeValidator() takes no arguments (1 given)"),
        (
            lambda: CompositeValidator().with_name_validator(1),
            "CompositeValidator.with_name_validator() takes no arguments (1 given)",
        ),
        (
            lambda: CompositeValidator().with_version_validator(1),
            "CompositeValidator.with_version_validator() takes no arguments (1 given)",
        ),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("validator", [NameValidator(), VersionValidator(), CompositeValidator()])
def test_validate_rejects_a_config_lookalike(validator):
    class Fake:
        name = "a"
        version = "1.0.0"

    with pytest.raises(TypeError, match="must be ModelConfig, not Fake$"):
        validator.validate(Fake())


def test_surrogates_in_error_strings_raise_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        ValidationError("\udc80", "m")


# ----------------------------------------------------------------- validators


def test_single_validators_repr_and_statelessness():
    for cls, text in [(NameValidator, "NameValidator"), (VersionValidator, "VersionValidator")]:
        v = cls()
        assert repr(v) == str(v) == text
        assert v is not cls() and v != cls()
        with pytest.raises(AttributeError):
            v.anything = 1


@pytest.mark.parametrize(
    "validator, config",
    [
        (NameValidator(), ModelConfig("ok", "")),
        (NameValidator(), ModelConfig("", "")),
        (VersionValidator(), ModelConfig("", "1.0.0")),
        (VersionValidator(), ModelConfig("", "x")),
        (CompositeValidator(), ModelConfig("", "")),
        (CompositeValidator().with_name_validator().with_version_validator(), ModelConfig("", "")),
    ],
)
def test_every_call_builds_new_objects(validator, config):
    first, second = validator.validate(config), validator.validate(config=config)
    assert type(first) is list and first is not second
    assert [(e.field, e.message) for e in first] == [(e.field, e.message) for e in second]
    assert all(a is not b for a, b in zip(first, second))
    first.append("junk")
    assert len(validator.validate(config)) == len(second)


def test_validators_read_only_their_own_field():
    config = ModelConfig("bad name", "bad").with_param("k", [1, {"x": None}])
    assert [e.field for e in NameValidator().validate(config)] == ["name"]
    assert [e.field for e in VersionValidator().validate(config)] == ["version"]
    assert (config.name, config.version, config.params) == ("bad name", "bad", {"k": [1, {"x": None}]})


def test_no_reference_leaks():
    config = ModelConfig("", "")
    composite = CompositeValidator().with_name_validator().with_version_validator().with_name_validator()
    before = sys.getrefcount(config), sys.getrefcount(ValidationError), sys.getrefcount(CompositeValidator)
    for _ in range(1000):
        composite.validate(config)
        NameValidator().validate(config)
        composite.with_version_validator()
        ValidationError("f", "m")
        with pytest.raises(TypeError):
            composite.validate(1)
    after = sys.getrefcount(config), sys.getrefcount(ValidationError), sys.getrefcount(CompositeValidator)
    assert after == before


# ---------------------------------------------------------------- composite

EMPTY = ("", "")
BAD_NAME, BAD_VERSION = ("name", NAME_EMPTY), ("version", VERSION_EMPTY)


def composite_of(keys):
    v = CompositeValidator()
    for key in keys:
        v = v.with_name_validator() if key == "name" else v.with_version_validator()
    return v


@pytest.mark.parametrize(
    "keys, expected",
    [
        ([], []),
        (["name"], [BAD_NAME]),
        (["version"], [BAD_VERSION]),
        (["name", "version"], [BAD_NAME, BAD_VERSION]),
        (["version", "name"], [BAD_VERSION, BAD_NAME]),
        (["name", "name"], [BAD_NAME, BAD_NAME]),
        (
            ["version", "name", "version", "version", "name"],
            [BAD_VERSION, BAD_NAME, BAD_VERSION, BAD_VERSION, BAD_NAME],
        ),
    ],
)
def test_composite_runs_every_rule_in_order(keys, expected):
    v = composite_of(keys)
    assert [(e.field, e.message) for e in v.validate(ModelConfig(*EMPTY))] == expected
    assert v.validate(ModelConfig("encoder", "1.0.0")) == []
    quoted = ", ".join(f'"{k}"' for k in keys)
    assert repr(v) == str(v) == f"CompositeValidator(validators=[{quoted}])"


def test_composite_reports_only_failing_rules_at_their_positions():
    v = composite_of(["name", "version", "name", "version"])
    bad_name = ModelConfig("a b", "1.2.3")
    assert [e.field for e in v.validate(bad_name)] == ["name", "name"]
    bad_version = ModelConfig("ab", "1.2")
    assert [(e.field, e.message) for e in v.validate(bad_version)] == [("version", VERSION_INVALID)] * 2


@given(
    st.lists(st.sampled_from(["name", "version"]), max_size=8),
    st.sampled_from(["", "a b", "ok"]),
    st.sampled_from(["", "1", "1.2.3"]),
)
def test_composite_equals_its_rules_run_one_by_one(keys, name, version):
    config = ModelConfig(name, version)
    singles = {"name": NameValidator(), "version": VersionValidator()}
    expected = [(e.field, e.message) for k in keys for e in singles[k].validate(config)]
    assert [(e.field, e.message) for e in composite_of(keys).validate(config)] == expected


def test_builder_calls_leave_the_receiver_unchanged():
    base = CompositeValidator().with_name_validator()
    longer = base.with_name_validator()
    other = base.with_version_validator()
    assert len({id(base), id(longer), id(other)}) == 3
    assert repr(base) == 'CompositeValidator(validators=["name"])'
    assert repr(longer) == 'CompositeValidator(validators=["name", "name"])'
    assert repr(other) == 'CompositeValidator(validators=["name", "version"])'
    assert len(base.validate(ModelConfig("", ""))) == 1
    with pytest.raises(AttributeError):
        base.validators = []


# --------------------------------------------------------------- re-entrancy


@pytest.mark.parametrize(
    "validator",
    [NameValidator(), VersionValidator(), CompositeValidator(), CompositeValidator().with_version_validator()],
)
def test_validate_inside_with_param_of_the_same_config(validator):
    config = ModelConfig("c", "1.0.0")
    with pytest.raises(ValueError) as info:
        config.with_param("k", Hook(lambda: validator.validate(config)))
    assert str(info.value) == "Failed to convert value: RuntimeError: Already mutably borrowed"
    assert config.params == {}
    # Another configuration is free to be read meanwhile, and the access is
    # released afterwards.
    other = ModelConfig("o", "1.0.0")
    seen = []
    config.with_param("k", Hook(lambda: seen.append(validator.validate(other))))
    assert seen and all(result == [] for result in seen)
    assert validator.validate(config) == []


# ---------------------------------------------------------------- docstrings


def test_docstrings_and_signatures():
    summaries = {
        ValidationError: "Validation error describing what failed and why.",
        NameValidator: "Validator for model component names.",
        VersionValidator: "Validator for semantic version strings.",
        CompositeValidator: "Composite validator combining multiple validation rules.",
    }
    for cls, summary in summaries.items():
        assert cls.__doc__.splitlines()[0] == summary
    assert str(inspect.signature(ValidationError)) == "(field, message)"
    for cls in (NameValidator, VersionValidator, CompositeValidator):
        assert str(inspect.signature(cls)) == "()"
        assert str(inspect.signature(cls().validate)) == "(config)"
    assert ValidationError.field.__doc__ == "Name of the invalid field."
    assert ValidationError.message.__doc__ == "Error description."
    version_doc = VersionValidator.__doc__.splitlines()
    assert "Ensures versions follow semver format: major.minor.patch" in version_doc
    accepts = next(line for line in version_doc if line.startswith("Accepts: "))
    rejects = next(line for line in version_doc if line.startswith("Rejects: "))
    assert all(v in accepts for v in ("1.0.0", "2.1.3", "0.1.0-alpha"))
    assert all(v in rejects for v in ("1.0", "v1.0.0", "latest"))
    for cls, field in [(NameValidator, "name"), (VersionValidator, "version")]:
        assert cls.validate.__doc__ == (
            f"Validate a configuration's {field} field.\n\nArgs:\n    config: ModelConfig to validate.\n\n"
            "Returns:\n    List of ValidationErrors (empty if valid)."
        )
    assert CompositeValidator.validate.__doc__ == (
        "Run all validators on a configuration.\n\n"
        "All validators execute regardless of earlier failures, collecting\n"
        "all errors for comprehensive feedback.\n\n"
        "Args:\n    config: ModelConfig to validate.\n\n"
        "Returns:\n    List of all ValidationErrors (empty if valid)."
    )
    for rule in ("name", "version"):
        method = getattr(CompositeValidator, f"with_{rule}_validator")
        assert method.__text_signature__ == "($self)"
        assert method.__doc__ == f"Add {rule} validation.\n\nReturns:\n    New validator with {rule} validation added."
