"""A process forked at any moment starts with a working runtime.

Every case runs in its own interpreter under a time limit, and every fork
there is waited for with a time limit too, so a child that hangs (a lock
that stayed locked, a pool without threads) fails the case instead of
blocking the suite.
"""

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")

PRELUDE = """
import asyncio, os, random, select, sys, threading, time, traceback
import tessarin as t

def graph(nodes, payload=0, tag="n"):
    g = t.BuildGraph()
    for i in range(nodes):
        g.add_node(f"{tag}{i}", t.ModelConfig(f"{tag}{i}", "1.0.0").with_param("blob", "x" * payload))
    return g

sink = t.InMemoryTraceSink()
ctx = t.BuildContext(t.NullBackend.cpu(), sink)
pipeline = t.BuildPipeline.standard()

def both_runs(g):
    # An async run with a time limit (a pool without threads never ends
    # one), then a synchronous one: their hashes.
    async def main():
        return await asyncio.wait_for(pipeline.execute_async(ctx, g), 10)
    return asyncio.run(main()).stable_hash(), pipeline.execute(ctx, g).stable_hash()

def wait_child(pid, limit=15):
    # Waits without the interpreter lock (select on a pidfd): a thread that
    # polled instead would need the lock back after every nap, and a busy
    # loop thread can keep it from that thread for seconds at a time.
    fd = os.pidfd_open(pid)
    try:
        ready, _, _ = select.select([fd], [], [], limit)
    finally:
        os.close(fd)
    if not ready:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        return "hung"
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])

def in_child(body):
    # Forks; the child runs body() and reports through its exit status.
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            body()
            code = 0
        except BaseException:
            traceback.print_exc()
        finally:
            sys.stderr.flush()
            os._exit(code)
    return wait_child(pid)
"""

SCRIPTS = {
    # The parent's pool exists, idle; the child needs one of its own.
    "after_execute_async": """
g = graph(3, 10)
expected = (g.stable_hash(), g.stable_hash())
assert both_runs(g) == expected
def child():
    assert both_runs(g) == expected
    assert [e.id for e in sink.events()[-10:-6]][::3] == ["pipeline.async.start", "pipeline.async.complete"]
assert [in_child(child) for _ in range(3)] == [0, 0, 0]
assert both_runs(g) == expected
""",
    # Deliveries queue up for the interpreter lock, inside the exit gate, while
    # the loop's thread keeps the lock busy; each child simply exits.
    "while_deliveries_wait_for_the_lock": """
stop = False
def loop_thread():
    async def busy():
        # Keeps the lock busy, so deliveries wait for it; a short nap now
        # and then lets the main thread have it too (a loop that never
        # blocks starves the other threads of the lock for seconds).
        while not stop:
            sum(range(20000))
            await asyncio.sleep(0.002 if random.random() < 0.1 else 0)
    async def main():
        g = graph(1)
        task = asyncio.create_task(busy())
        while not stop:
            await asyncio.gather(*(pipeline.execute_async(ctx, g) for _ in range(16)))
        await task
    asyncio.run(main())
thread = threading.Thread(target=loop_thread)
thread.start()
while len(sink) < 400:
    time.sleep(0.001)
statuses = []
for _ in range(20):
    time.sleep(random.uniform(0, 0.004))
    pid = os.fork()
    if pid == 0:
        sys.exit(0)
    statuses.append(wait_child(pid, 10))
    if statuses[-1] != 0:
        break
stop = True
thread.join()
assert statuses == [0] * 20, statuses
""",
    # Large hashes and a stream of tiny runs on the pool, two Python threads
    # recording, all into one sink, while the main thread forks again and
    # again.
    "while_runs_and_threads_record": """
big = graph(16, 1 << 20, tag="big")
small = graph(2, 10)
expected = (small.stable_hash(), small.stable_hash())
stop = False
finished = {"big": 0, "tiny": 0}
def loop_thread():
    async def stream(g, key, width):
        while not stop:
            await asyncio.gather(*(pipeline.execute_async(ctx, g) for _ in range(width)))
            finished[key] += 1
            await asyncio.sleep(0.001)  # keeps the sink from growing huge
    async def main():
        await asyncio.gather(stream(big, "big", 1), stream(graph(1), "tiny", 16))
    asyncio.run(main())
def recorder(name):
    i = 0
    while not stop:
        for _ in range(20):
            sink.record(t.TraceEvent(f"thread.{name}", str(i)))
            i += 1
        time.sleep(0.001)
threads = [threading.Thread(target=loop_thread)]
threads += [threading.Thread(target=recorder, args=(name,)) for name in "ab"]
for thread in threads:
    thread.start()
while finished["big"] < 1:
    time.sleep(0.001)
def child():
    before = len(sink.events())
    sink.record(t.TraceEvent("child.mark", "x"))
    events = sink.events()
    assert len(events) == before + 1 and events[-1].id == "child.mark"
    assert both_runs(small) == expected
    assert len(sink) == before + 1 + 4 + 6
statuses = []
for _ in range(12):
    time.sleep(random.uniform(0, 0.02))
    statuses.append(in_child(child))
    if statuses[-1] != 0:
        break
# The parent's runs go on after the forks.
seen = dict(finished)
deadline = time.monotonic() + 30
while finished["big"] <= seen["big"] or finished["tiny"] <= seen["tiny"]:
    assert time.monotonic() < deadline
    time.sleep(0.005)
stop = True
for thread in threads:
    thread.join()
assert statuses == [0] * 12, statuses
""",
    "multiprocessing_fork_pool": """
import multiprocessing
graphs = [graph(i + 1, 10, tag=f"g{i}.") for i in range(6)]
expected = [g.stable_hash() for g in graphs]
assert both_runs(graphs[0])[0] == expected[0]
def work(i):
    async def main():
        return await asyncio.wait_for(pipeline.execute_async(ctx, graphs[i]), 10)
    return asyncio.run(main()).stable_hash()
with multiprocessing.get_context("fork").Pool(2) as workers:
    assert workers.map_async(work, range(6), chunksize=1).get(timeout=30) == expected
""",
}


@pytest.mark.parametrize("name", sorted(SCRIPTS))
def test_forked_children_work(name):
    script = textwrap.dedent(PRELUDE) + textwrap.dedent(SCRIPTS[name]) + "print('done')\n"
    process = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=90)
    assert (process.returncode, process.stdout) == (0, "done\n"), process.stderr
