"""The documentation runs as written.

Every ```python block of the README and of the guide and recipes in docs/ is
executed, in order, in one namespace per file, in a scratch directory of
its own. A ```text block that directly follows one (blank lines apart) is
the output it must print; "..." in it matches anything, as in doctest. A
line right before a block changes what happens to it:

    <!-- skip-until: REASON -->  skipped, for features still to come;
    <!-- not-run: REASON -->     shown only (it needs what the suite lacks);
    <!-- requires: MODULE -->    skipped, saying why, where MODULE cannot be
                                 imported (a package with no wheel there);
    <!-- file: NAME -->          written to NAME in the scratch directory,
                                 for a later block to run as a script.

The generated files (the API reference and the stubs' docstrings) must match
what tools/gen_api_reference.py makes from the installed module.
"""

import collections.abc
import contextlib
import copy
import doctest
import importlib.util
import io
import os
import pickle
import re
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import tessarin as t

ROOT = Path(__file__).resolve().parent.parent
DOCS = ["README.md", "docs/guide.md", "docs/recipes.md"]
FENCE = re.compile(r"^```(\w*)\s*$")
MARKER = re.compile(r"^<!-- (skip-until|not-run|requires|file): (.+) -->$")


def blocks(path):
    """(line, code, expected output or None, marker (kind, argument) or None) per python block."""
    lines = (ROOT / path).read_text().splitlines()
    found, i = [], 0
    while i < len(lines):
        match = FENCE.match(lines[i])
        if not match or not match.group(1):
            i += 1
            continue
        start, language = i, match.group(1)
        i += 1
        body = []
        while not FENCE.match(lines[i]) or FENCE.match(lines[i]).group(1):
            body.append(lines[i])
            i += 1
        i += 1
        if language == "text" and found and found[-1][2] is None and found[-1][4] == start:
            found[-1][2] = "\n".join(body) + "\n"
            continue
        if language != "python":
            continue
        before = start - 1
        while before >= 0 and not lines[before].strip():
            before -= 1
        marker = MARKER.match(lines[before]) if before >= 0 else None
        after = i
        while after < len(lines) and not lines[after].strip():
            after += 1
        found.append([start + 1, "\n".join(body) + "\n", None, marker.groups() if marker else None, after])
    return [tuple(b[:4]) for b in found]


CASES = [(path, *block) for path in DOCS for block in blocks(path)]
namespaces = {}


@pytest.mark.parametrize("path, line, code, want, marker", CASES, ids=[f"{c[0]}:{c[1]}" for c in CASES])
def test_example(path, line, code, want, marker):
    kind, argument = marker or (None, None)
    if kind in ("skip-until", "not-run"):
        pytest.skip(f"{kind}: {argument}")
    if kind == "requires" and importlib.util.find_spec(argument) is None:
        pytest.skip(f"{argument} is not installed: it has no wheel for this interpreter or platform")
    namespace = namespaces.setdefault(path, {"__name__": "__docs__", "_dir": tempfile.mkdtemp()})
    if kind == "file":
        Path(namespace["_dir"], argument).write_text(code)
        return
    out = io.StringIO()
    cwd = os.getcwd()
    os.chdir(namespace["_dir"])  # examples that write files write them here
    try:
        with contextlib.redirect_stdout(out):
            exec(compile(code, f"{path}:{line}", "exec"), namespace)
    finally:
        os.chdir(cwd)
    if want is not None:
        checker = doctest.OutputChecker()
        got = out.getvalue()
        assert checker.check_output(want, got, doctest.ELLIPSIS), f"expected:\n{want}\ngot:\n{got}"


def test_every_documented_file_has_checked_examples():
    for path in DOCS:
        found = blocks(path)
        assert found, path
        if path != "README.md":
            assert any(want for _, _, want, _ in found), f"{path} shows no output that is checked"


def load_generator():
    found = importlib.util.spec_from_file_location("gen_api_reference", ROOT / "tools" / "gen_api_reference.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_generated_reference_and_stub_docstrings_are_current():
    stale = [
        str(path.relative_to(ROOT))
        for path, text in load_generator().generated().items()
        if not path.exists() or path.read_text() != text
    ]
    assert not stale, f"run: python tools/gen_api_reference.py (stale: {stale})"


# ---------------------------------------------------------------- error reference
# docs/reference.md lists every error the module raises. Each row's message
# is triggered here and compared with the page ("..." in a message stands
# for text that differs between Python versions).

ERROR_ROW = re.compile(r"^\| `([\w.]+)` \| `(.+?)` \|")


def error_rows():
    text = (ROOT / "docs" / "reference.md").read_text()
    section = text.split("\n## Errors\n", 1)[1].split("\n## ", 1)[0]
    return [match.groups() for match in map(ERROR_ROW.match, section.splitlines()) if match]


def reentry(touch):
    """Python code run by a conversion touches the object being changed: the
    inner error (returned) surfaces in the outer call's message."""
    config = t.ModelConfig("c", "1")
    caught = []

    class Touching(collections.abc.Sequence):
        def __len__(self):
            try:
                touch(config)
            except RuntimeError as error:
                caught.append(error)
                raise
            return 0

        def __getitem__(self, index):
            raise IndexError(index)

    with pytest.raises(ValueError) as outer:
        config.with_param("k", Touching())
    assert str(outer.value) == f"Failed to convert value: RuntimeError: {caught[0]}"
    raise caught[0]


BARE_NAME_TASK = "from tessarin import BuildGraph\ndef task(graph):\n    return BuildGraph.stable_hash(graph)\n"


def cloudpickled_bare_name(elsewhere):
    """Loads a task that names a class bare, shipped by this process or by another."""
    cloudpickle = pytest.importorskip("cloudpickle")
    if elsewhere:
        ship = BARE_NAME_TASK + "import cloudpickle, sys\nsys.stdout.buffer.write(cloudpickle.dumps(task))"
        data = subprocess.run([sys.executable, "-c", ship], capture_output=True, check=True).stdout
    else:
        namespace = {"__name__": "not_importable"}  # as in __main__: shipped by value
        exec(BARE_NAME_TASK, namespace)
        data = cloudpickle.dumps(namespace["task"])
    pickle.loads(data)


class ChangingLength(collections.abc.Sequence):
    calls = 0

    def __len__(self):
        self.calls += 1
        return self.calls

    def __getitem__(self, index):
        return 0


class Failing(collections.abc.Sequence):
    def __len__(self):
        return 1 / 0

    def __getitem__(self, index):
        return 0


def nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def convert(value):
    t.ModelConfig("c", "1").with_param("k", value)


def numpy_int():
    np = pytest.importorskip("numpy")
    convert(np.int64(1))


def altered_pickle():
    data = pickle.dumps(t.ModelConfig("x", "1"))
    pickle.loads(data.replace(b'"name"', b'"nome"'))


def one_node_graph():
    graph = t.BuildGraph()
    graph.add_node("n", t.ModelConfig("n", "1"))
    return graph


def set_attribute(obj, name, value):
    setattr(obj, name, value)


SINK_REFUSAL = "cannot pickle or copy 'InMemoryTraceSink' object: "
CONTEXT_REFUSAL = "cannot pickle or copy 'BuildContext' object: "
TRIGGERS = {
    "ModelConfig() argument 'name' must be str, not int": lambda: t.ModelConfig(1, "1"),
    "ModelConfig() missing required argument 'version' (pos 2)": lambda: t.ModelConfig("a"),
    "ModelConfig() takes at most 2 arguments (3 given)": lambda: t.ModelConfig("a", "b", "c"),
    "ModelConfig() got an unexpected keyword argument 'x'": lambda: t.ModelConfig("a", x=1),
    "argument for ModelConfig() given by name ('name') and position (1)": lambda: t.ModelConfig("a", name="b"),
    "keywords must be strings": lambda: t.ModelConfig("a", **{1: "b"}),
    "BuildGraph() takes no arguments (1 given)": lambda: t.BuildGraph(1),
    "BuildGraph() takes no keyword arguments": lambda: t.BuildGraph(x=1),
    "NodeId() argument 'value' must be in range 0..18446744073709551615": lambda: t.NodeId(-1),
    "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed": (
        lambda: t.ModelConfig("\ud800", "1")
    ),
    "Failed to convert value: unsupported type int64": numpy_int,
    "Failed to convert value: invalid type: byte array, expected any valid JSON value": lambda: convert(b"x"),
    "Failed to convert value: unexpected type: 'bytearray' object cannot be cast as 'bytes'": (
        lambda: convert(bytearray(b"x"))
    ),
    "Failed to convert value: unexpected type: 'int' object cannot be cast as 'str'": lambda: convert({1: "x"}),
    "Failed to convert value: JSON number out of range": lambda: convert(2**64),
    "Failed to convert value: OverflowError: Python int too large to convert to C long": lambda: convert(2**128),
    "Failed to convert value: value nested more than 255 levels deep (or containing itself)": (
        lambda: convert(nested(256))
    ),
    "Failed to convert value: UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: "
    "surrogates not allowed": lambda: convert("\ud800"),
    "Failed to convert value: expected sequence of length 1, got 2": lambda: convert(ChangingLength()),
    "Failed to convert value: ZeroDivisionError: division by zero": lambda: convert(Failing()),
    "Already borrowed": lambda: reentry(lambda config: config.with_param("z", 1)),
    "Already mutably borrowed": lambda: reentry(lambda config: config.params),
    "name is required": lambda: t.ModelConfigBuilder().version("1").build(),
    "version is required": lambda: t.ModelConfigBuilder().name("n").build(),
    "Stage 'validation' failed: validation error: graph must contain at least one node": (
        lambda: t.BuildPipeline.standard().execute(t.BuildContext.with_null_backend(), t.BuildGraph())
    ),
    "no running event loop": lambda: t.BuildPipeline().execute_async(
        t.BuildContext.with_null_backend(), t.BuildGraph()
    ),
    SINK_REFUSAL + "it is a handle to a shared, process-local event store that other handles (BuildContext "
    "objects, runs in progress) record into; send its events (sink.events()) instead": (
        lambda: copy.deepcopy(t.InMemoryTraceSink())
    ),
    CONTEXT_REFUSAL + "it shares a process-local event store with its InMemoryTraceSink; send the backend (a "
    "NullBackend) and the events you need instead, and build a new context where they arrive": (
        lambda: pickle.dumps(t.BuildContext.with_null_backend())
    ),
    'invalid tessarin payload: ModelConfig payload: configuration: offset 0: expected {"name":': altered_pickle,
    "Can't pickle <class 'builtins.ModelConfig'>: ...": lambda: pickle.dumps(t.ModelConfig),
    "type object 'BuildGraph' has no attribute '...'": lambda: cloudpickled_bare_name(elsewhere=True),
    "cannot set '...' attribute of immutable type 'builtins.BuildGraph'": lambda: cloudpickled_bare_name(
        elsewhere=False
    ),
    "type 'builtins.BuildGraph' is not an acceptable base type": lambda: type("Mine", (t.BuildGraph,), {}),
    "cannot create 'builtins.TraceLevel' instances": lambda: t.TraceLevel(),
    "attribute 'name' of 'builtins.ModelConfig' objects is not writable": (
        lambda: set_attribute(t.ModelConfig("a", "1"), "name", "b")
    ),
    "'builtins.NodeId' object has no attribute 'foo'...": lambda: set_attribute(t.NodeId(1), "foo", 1),
    "...unhashable type: 'builtins.TraceLevel'...": lambda: {t.TraceLevel.Info: 1},
    "'<' not supported between instances of 'builtins.NodeId' and 'builtins.NodeId'": (
        lambda: sorted([t.NodeId(2), t.NodeId(1)])
    ),
    "list indices must be integers or slices, not builtins.NodeId": lambda: one_node_graph().nodes[t.NodeId(1)],
    "'builtins.InMemoryTraceSink' object is not iterable": lambda: list(t.InMemoryTraceSink()),
}
# Rows that need another interpreter, an embedding program, the interpreter's
# exit or exhausted memory: tested where named, or by no test at all.
UNTRIGGERED = {
    "Failed to convert params: MemoryError...": "needs exhausted memory",
    "Failed to convert metadata: MemoryError...": "needs exhausted memory",
    "cannot schedule new pipeline runs after interpreter shutdown": "test_async.py, at interpreter exit",
    "tessarin does not support sub-interpreters: it can be imported only in the main interpreter of this process": (
        "test_module.py"
    ),
    "tessarin cannot be imported again after the interpreter that first imported it was finalized: its classes "
    "and caches belong to that interpreter": "test_embedding.py",
    "attempted to fetch exception but none was set": "cannot be caused from Python",
}


def test_error_reference_lists_exactly_the_triggered_errors():
    assert sorted(message for _, message in error_rows()) == sorted([*TRIGGERS, *UNTRIGGERED])


@pytest.mark.parametrize("exception, message", error_rows(), ids=[m[:50] for _, m in error_rows()])
def test_error_reference(exception, message):
    if message in UNTRIGGERED:
        pytest.skip(UNTRIGGERED[message])
    with pytest.raises(BaseException) as raised:
        TRIGGERS[message]()
    assert type(raised.value).__name__ == exception.rsplit(".", 1)[-1]
    got = str(raised.value)
    assert doctest.OutputChecker().check_output(message + "\n", got + "\n", doctest.ELLIPSIS), got
