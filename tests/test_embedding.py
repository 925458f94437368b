"""An application embedding Python finalizes the interpreter, initializes a
new one and imports the module again (a C program built against the
libpython of the interpreter running the suite)."""

import os
import shutil
import subprocess
import sysconfig
import textwrap

import pytest

import tessarin

PROGRAM = r"""
#include <Python.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  for (int round = 0; round < 3; ++round) {
    Py_Initialize();
    if (PyRun_SimpleString(round == 0 ? argv[1] : argv[2]) != 0) return 10 + round;
    if (Py_FinalizeEx() < 0) return 20 + round;
  }
  puts("clean exit");
  return 0;
}
"""

# Uses everything that keeps something for later: types, the conversion's
# caches, and the thread states of background deliveries.
FIRST = textwrap.dedent(
    """
    import asyncio
    import tessarin as t
    config = t.ModelConfig("c", "1").with_param("p", {"list": [1, 2.5, None], "t": (True, "x")})
    graph = t.BuildGraph()
    graph.add_node("n", config)
    node = graph.nodes[0].with_metadata("k", [1, {"a": 2}])
    sink = t.InMemoryTraceSink()
    ctx = t.BuildContext(t.NullBackend.cpu(), sink)
    t.BuildPipeline.standard().execute(ctx, graph)

    async def main():
        for _ in range(3):
            await t.BuildPipeline.standard().execute_async(ctx, graph)

    asyncio.run(main())
    print("first:", len(sink), graph.stable_hash()[:8], flush=True)
    """
)

AGAIN = textwrap.dedent(
    """
    try:
        import tessarin
    except ImportError as e:
        print("refused:", e, flush=True)
    else:
        print("imported:", tessarin.BuildGraph, flush=True)
    """
)


def build_program(tmp_path):
    compiler = shutil.which(os.environ.get("CC", "cc"))
    if compiler is None:
        pytest.skip("no C compiler")
    libdir = sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION") or sysconfig.get_config_var("VERSION")
    if not sysconfig.get_config_var("Py_ENABLE_SHARED") or not os.path.exists(f"{libdir}/libpython{version}.so"):
        pytest.skip("this interpreter has no shared libpython")
    source = tmp_path / "embed.c"
    source.write_text(PROGRAM)
    program = tmp_path / "embed"
    command = [
        compiler,
        str(source),
        "-o",
        str(program),
        "-I" + sysconfig.get_paths()["include"],
        "-L" + libdir,
        f"-lpython{version}",
        "-Wl,-rpath," + libdir,
    ]
    built = subprocess.run(command, capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    return program


def test_import_after_finalize_and_initialize_is_refused_cleanly(tmp_path):
    program = build_program(tmp_path)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(tessarin.__file__)))
    out = subprocess.run([str(program), FIRST, AGAIN], capture_output=True, text=True, env=env, timeout=120)
    assert out.returncode == 0, (out.returncode, out.stdout, out.stderr)
    config = tessarin.ModelConfig("c", "1").with_param("p", {"list": [1, 2.5, None], "t": (True, "x")})
    graph = tessarin.BuildGraph()
    graph.add_node("n", config)
    refused = "refused: tessarin cannot be imported again after the interpreter that first imported it was finalized"
    lines = out.stdout.splitlines()
    # Six events from the synchronous run, four from each background run.
    assert lines[0] == "first: 18 " + graph.stable_hash()[:8], lines
    assert len(lines) == 4 and lines[1].startswith(refused) and lines[2].startswith(refused), lines
    assert lines[3] == "clean exit"
