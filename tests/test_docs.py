"""The documentation runs as written.

Every ```python block of the README and of the guide and recipes in docs/ is
executed, in order, in one namespace per file. A ```text block that directly
follows one (blank lines apart) is the output it must print; "..." in it
matches anything, as in doctest. A line "<!-- skip-until: REASON -->" right
before a block skips it, for features still to come.

The generated files (the API reference and the stubs' docstrings) must match
what tools/gen_api_reference.py makes from the installed module.
"""

import contextlib
import doctest
import importlib.util
import io
import os
import re
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCS = ["README.md", "docs/guide.md", "docs/recipes.md"]
FENCE = re.compile(r"^```(\w*)\s*$")
SKIP = re.compile(r"^<!-- skip-until: (.+) -->$")


def blocks(path):
    """(line, code, expected output or None, skip reason or None) per python block."""
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
        skip = SKIP.match(lines[before]) if before >= 0 else None
        after = i
        while after < len(lines) and not lines[after].strip():
            after += 1
        found.append([start + 1, "\n".join(body) + "\n", None, skip.group(1) if skip else None, after])
    return [tuple(b[:4]) for b in found]


CASES = [(path, *block) for path in DOCS for block in blocks(path)]
namespaces = {}


@pytest.mark.parametrize("path, line, code, want, skip", CASES, ids=[f"{c[0]}:{c[1]}" for c in CASES])
def test_example(path, line, code, want, skip):
    if skip:
        pytest.skip(f"skip-until: {skip}")
    namespace = namespaces.setdefault(path, {"__name__": "__docs__", "_dir": tempfile.mkdtemp()})
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
