"""The installed stubs catch misuse: each checker reports exactly the lines of
typing/misuse.py marked for it, no more and no fewer."""

import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

MISUSE = Path(__file__).parent / "typing" / "misuse.py"


def expected(checker):
    lines = set()
    for number, line in enumerate(MISUSE.read_text().splitlines(), start=1):
        mark = re.search(r"# flag: (.*)$", line)
        if mark and checker in [name.strip() for name in mark.group(1).split(",")]:
            lines.add(number)
    return lines


def mypy_lines(path):
    # The checkers live in the development environment only (requirements-dev.txt).
    pytest.importorskip(
        "mypy", reason="mypy is not installed here (scripts/test.sh runs this test in .venv, with requirements-dev.txt)"
    )
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--hide-error-context", str(path)],
        capture_output=True,
        text=True,
        cwd=path.parent,
    )
    return {int(m.group(1)) for m in re.finditer(r"^misuse\.py:(\d+): error:", out.stdout, re.M)}, out.stdout


def pyright_lines(path):
    exe = shutil.which("basedpyright", path=str(Path(sys.executable).parent)) or shutil.which("pyright")
    if exe is None:
        pytest.skip(
            "neither basedpyright nor pyright is installed here"
            " (scripts/test.sh runs this test in .venv, with requirements-dev.txt)"
        )
    (path.parent / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "standard"}))
    out = subprocess.run(
        [exe, "--pythonpath", sys.executable, "--outputjson", str(path)],
        capture_output=True,
        text=True,
        cwd=path.parent,
    )
    report = json.loads(out.stdout)
    diagnostics = [d for d in report["generalDiagnostics"] if d["severity"] == "error"]
    return {d["range"]["start"]["line"] + 1 for d in diagnostics}, out.stdout


@pytest.mark.parametrize("checker, run", [("mypy", mypy_lines), ("pyright", pyright_lines)])
def test_checker_flags_exactly_the_marked_lines(tmp_path, checker, run):
    # A copy outside the source tree, so that the checkers resolve the
    # installed tessarin-stubs rather than the checkout's directory.
    copy = tmp_path / "misuse.py"
    shutil.copy(MISUSE, copy)
    flagged, output = run(copy)
    want = expected(checker)
    assert len(want) >= 10
    assert flagged == want, f"missed {sorted(want - flagged)}, unexpected {sorted(flagged - want)}\n{output}"
