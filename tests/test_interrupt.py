"""Ctrl-C during calls that hold the interpreter lock for long.

Each case runs in a child process. The child builds a workload, times how
long the call takes uninterrupted (or, for a pipeline run of many seconds,
one stage of it), tells the parent, and starts the call again; the parent
sends a real SIGINT a tenth of that time later. The call must end in
KeyboardInterrupt long before it could have completed, leave its receiver
and sink as they were (a run keeps the events it recorded, and only those),
and keep no memory. There is no absolute time limit: everything is relative
to the same machine's speed in the same process.
"""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="needs POSIX signals")

PRELUDE = textwrap.dedent(
    """
    import gc, json, sys, time, tracemalloc
    import tessarin as t

    def interrupted(call, full, after=None):
        # The parent interrupts the call `after` seconds after this line, by
        # default a tenth of `full`.
        print(json.dumps({"after": full / 10 if after is None else after}), flush=True)
        start = time.perf_counter()
        try:
            call()
        except KeyboardInterrupt:
            return time.perf_counter() - start
        raise AssertionError("the call completed")

    def report(call, **fields):
        print(json.dumps(dict(fields, call=call)), flush=True)

    def timed(call):
        start = time.perf_counter()
        call()
        return time.perf_counter() - start

    def traced(call, full):
        # Python memory held after an interrupted call that built objects.
        gc.collect()
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        elapsed = interrupted(call, full)
        gc.collect()
        kept = tracemalloc.get_traced_memory()[0] - before
        tracemalloc.stop()
        return elapsed, kept

    def big_graph():
        # About 256 MB of canonical bytes in four nodes, plus one small one.
        blob = t.ModelConfig("blob", "1").with_param("b", "x" * (64 << 20))
        graph = t.BuildGraph()
        for i in range(4):
            graph.add_node("n%d" % i, blob)
        graph.add_node("last", t.ModelConfig("c", "1"))
        return graph
    """
)

# Each case prints one report per interrupted call: the time it took, the
# time the whole work would take, whether the receiver is as it was, and
# what stayed allocated.
CASES = {
    # One big graph serves three calls: stable_hash(), repr() and a run of
    # many seconds (a hundred hashing stages, interrupted during its third
    # stage or so; the whole is estimated as one stage times a hundred).
    "graph": """
        graph = big_graph()
        expected = graph.stable_hash()
        full = timed(graph.stable_hash)
        elapsed = interrupted(graph.stable_hash, full)
        unchanged = graph.stable_hash() == expected and repr(graph).endswith(expected[:8] + "')")
        report("stable_hash", elapsed=elapsed, estimate=full, unchanged=unchanged)

        elapsed = interrupted(lambda: repr(graph), full)
        report("repr", elapsed=elapsed, estimate=full, unchanged=graph.stable_hash() == expected)

        stages = 100
        pipeline = t.BuildPipeline()
        for i in range(stages):
            pipeline = pipeline.with_stage("hashing")
        one = timed(lambda: t.BuildPipeline.for_inference().execute(t.BuildContext.with_null_backend(), graph))
        sink = t.InMemoryTraceSink()
        run = lambda: pipeline.execute(t.BuildContext(t.NullBackend.cpu(), sink), graph)
        elapsed = interrupted(run, one * stages, after=2.5 * one)
        recorded = [(e.id, e.message) for e in sink.events()]
        time.sleep(0.05)
        prefix = [("pipeline.start", "Executing pipeline with %d stages" % stages)]
        for i in range(1, stages + 1):
            prefix.append(("stage.hashing.start", "Starting stage 'hashing' (%d/%d)" % (i, stages)))
            prefix.append(("stage.hashing", "computed graph hash: " + expected))
        graph.add_node("after", t.ModelConfig("c", "1"))  # every access flag was released
        report("execute", elapsed=elapsed, estimate=one * stages, unchanged=len(graph) == 6,
               events=len(recorded), stages=stages, prefix=recorded == prefix[:len(recorded)],
               nothing_more=len(sink) == len(recorded))
    """,
    "nodes": """
        graph = t.BuildGraph()
        config = t.ModelConfig("c", "1").with_param("shape", [1, 2, 3])
        for i in range(1_000_000):
            graph.add_node("n", config)
        expected = graph.stable_hash()
        full = timed(lambda: graph.nodes)
        elapsed, kept = traced(lambda: graph.nodes, full)
        report("nodes", elapsed=elapsed, estimate=full, kept=kept,
               unchanged=graph.stable_hash() == expected and len(graph) == 1_000_000)
    """,
    "events": """
        sink = t.InMemoryTraceSink()
        event = t.TraceEvent("id", "message")
        for i in range(3_000_000):
            sink.record(event)
        full = timed(sink.events)
        elapsed, kept = traced(sink.events, full)
        last = sink.events()[-1]
        report("events", elapsed=elapsed, estimate=full, kept=kept,
               unchanged=len(sink) == 3_000_000 and (last.id, last.message) == ("id", "message"))
    """,
    # A signal handler runs user code in the middle of filling a list; the
    # collector must not hand it that list while slots are still empty.
    "collector": """
        import signal
        def scan(signum, frame):
            for obj in gc.get_objects():
                if type(obj) is list and len(obj) == 300_000:
                    for item in obj:
                        type(item)
            raise KeyboardInterrupt
        signal.signal(signal.SIGINT, scan)
        graph = t.BuildGraph()
        for i in range(300_000):
            graph.add_node("n", t.ModelConfig("c", "1"))
        sink = t.InMemoryTraceSink()
        for i in range(300_000):
            sink.record(t.TraceEvent("id", "message"))
        full = timed(lambda: graph.nodes)
        report("nodes", elapsed=interrupted(lambda: graph.nodes, full), estimate=full, unchanged=len(graph) == 300_000)
        full = timed(sink.events)
        report("events", elapsed=interrupted(sink.events, full), estimate=full, unchanged=len(sink) == 300_000)
    """,
}


def run_case(name):
    """Runs a case, interrupting each call when the child asks; returns the reports."""
    code = PRELUDE + textwrap.dedent(CASES[name])
    child = subprocess.Popen(
        [sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    reports = []
    try:
        for line in child.stdout:
            message = json.loads(line)
            if "after" in message:
                time.sleep(message["after"])
                os.kill(child.pid, signal.SIGINT)
            else:
                reports.append(message)
        err = child.communicate(timeout=600)[1]
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err
    return reports


@pytest.mark.parametrize("name", sorted(CASES))
def test_sigint_ends_the_call_early_and_changes_nothing(name):
    reports = run_case(name)
    assert len(reports) == {"graph": 3, "collector": 2}.get(name, 1), reports
    for report in reports:
        # Interrupted at most a tenth of the way in; finishing the work would
        # take ten times as long. Half of the whole leaves room for a busy
        # machine.
        assert report["elapsed"] < report["estimate"] / 2, report
        assert report["unchanged"], report
        # Objects made before the interrupt are all released again.
        assert report.get("kept", 0) < 1 << 16, report
        if report["call"] == "execute":
            # The events recorded until the interrupt, exactly as a full run
            # records them, and nothing after it: no completion event.
            assert 1 <= report["events"] < report["stages"], report
            assert report["prefix"] and report["nothing_more"], report
