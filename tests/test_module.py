import inspect
import subprocess
import sys

import pytest

import tessarin

CLASSES = [
    "ModelConfig",
    "ModelConfigBuilder",
    "NodeId",
    "GraphNode",
    "BuildGraph",
    "NullBackend",
    "TraceLevel",
    "TraceEvent",
    "InMemoryTraceSink",
    "BuildContext",
    "BuildPipeline",
    "ValidationError",
    "NameValidator",
    "VersionValidator",
    "CompositeValidator",
]

ATTRIBUTES = ["__version__", "HAS_BURN", "HAS_CUBECL", "HAS_LUMENARC", "HAS_CUDA", "HAS_VANTOR_ACCEL"]


def test_all_lists_classes_then_attributes_in_registration_order():
    assert isinstance(tessarin.__all__, list)
    assert tessarin.__all__ == CLASSES + ATTRIBUTES
    public = sorted(n for n in dir(tessarin) if not n.startswith("_"))
    assert public == sorted(n for n in tessarin.__all__ if n != "__version__")


def test_version_and_flags():
    assert tessarin.__version__ == "1.2.10"
    for flag in ATTRIBUTES[1:]:
        assert getattr(tessarin, flag) is False


def test_module_docstring():
    doc = tessarin.__doc__
    assert doc.splitlines()[0] == "Tessarin Python module - transparent, traceable AI model construction."
    for line in [
        "__version__: Package version string",
        "HAS_BURN: True if Burn backend is available",
        "HAS_CUBECL: True if CubeCL backend is available",
        "HAS_LUMENARC: True if lumenarc integration is available",
        "HAS_CUDA: True if CUDA support is available",
    ]:
        assert line in doc
    assert "HAS_VANTOR_ACCEL" not in doc


@pytest.mark.parametrize("name", [n for n in tessarin.__all__ if n[0].isupper() and not n.startswith("HAS_")])
def test_class_properties(name):
    cls = getattr(tessarin, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name and cls.__name__ == name
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)
    assert "__weakref__" not in dir(cls)
    if name != "TraceLevel":
        assert cls.__text_signature__ is not None
        inspect.signature(cls)


def test_instances_reject_unknown_attributes():
    config = tessarin.ModelConfig("a", "1")
    with pytest.raises(AttributeError):
        config.foo = 1
    with pytest.raises(AttributeError):
        config.name = "b"


def test_reimport_returns_the_same_module():
    first = tessarin
    classes = [getattr(first, n) for n in CLASSES]
    del sys.modules["tessarin"]
    import tessarin as again

    assert again is first
    assert [getattr(again, n) for n in CLASSES] == classes


SUBINTERPRETER_IMPORT = """
import sys, tessarin
try:
    import _interpreters as s  # 3.13 and later
except ImportError:
    import _xxsubinterpreters as s
    def run(kind):
        options = {"isolated": kind == "isolated"} if sys.version_info >= (3, 12) else {}
        try:
            s.run_string(s.create(**options), "import tessarin")
        except Exception as e:
            return str(e)
        return "imported"
else:
    def run(kind):
        failure = s.exec(s.create(kind), "import tessarin")
        return "imported" if failure is None else failure.formatted
print(run(sys.argv[1]))
"""


@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_subinterpreter_import_fails(kind):
    try:
        import _interpreters  # noqa: F401
    except ImportError:
        try:
            import _xxsubinterpreters  # noqa: F401
        except ImportError:
            pytest.skip("no sub-interpreter support in this interpreter")
    if kind == "isolated" and sys.version_info < (3, 12):
        pytest.skip("isolated sub-interpreters exist since 3.12")
    out = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER_IMPORT, kind], capture_output=True, text=True, timeout=60
    )
    assert out.returncode == 0, out.stderr
    own = "tessarin does not support sub-interpreters"
    if kind == "legacy":
        assert own in out.stdout
    else:
        # Since 3.12 CPython refuses a single-phase module in an isolated
        # sub-interpreter before the module's own check can run.
        assert own in out.stdout or "does not support loading in subinterpreters" in out.stdout


def test_only_the_main_interpreter_imports_whichever_asks_first():
    # A legacy sub-interpreter asks first, then the main interpreter, then a
    # sub-interpreter again. Since 3.12 CPython may refuse the single-phase
    # module in a sub-interpreter before the module's own check runs; either
    # refusal is an ImportError about sub-interpreters.
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no sub-interpreter support in this interpreter")
    attempt = (
        "try:\n"
        "    import tessarin\n"
        "except ImportError as e:\n"
        "    print('refused:', e, flush=True)\n"
        "else:\n"
        "    print('imported', flush=True)\n"
    )
    code = (
        "import _testcapi, sys\n"
        f"_testcapi.run_in_subinterp({attempt!r})\n"
        "import tessarin\n"
        "print('main:', tessarin.BuildGraph().stable_hash()[:8], flush=True)\n"
        f"_testcapi.run_in_subinterp({attempt!r})\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert len(lines) == 3, out
    assert lines[1] == "main: e3b0c442"
    for line in (lines[0], lines[2]):
        assert line.startswith("refused:") and "sub" in line and "interpreters" in line, line
