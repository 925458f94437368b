"""What the module adds to a fork, measured against a peer fork in the same run.

    .venv/bin/python benchmarks/bench_fork.py

Measured: how long os.fork() keeps the parent (the child ends at once with
os._exit(0)). Each condition alternates with its peer, batch by batch, so
that both see the same machine load:

- busy: the pool hashes a graph of about 100 MB (one stage takes hundreds of
  milliseconds) while a stream of short runs records into a sink. A fork
  waits only for an event being appended at that instant, never for a stage
  to end. The peer here is a fork while two other processes keep both cores
  busy, since a fork competing for the cores is slower whoever keeps them
  busy. Target: ratio <= 1.5, and the longest fork far below one stage.
- sinks: 10,000 more sinks are alive; what a fork does for the module does
  not grow with them. Target: ratio <= 1.2.

Also shown, without a target: in a forked child, the first execute_async
(which starts the child's pool) against the second, the price a pool pays
each time it starts its threads again.
"""

import asyncio
import os
import statistics
import subprocess
import sys
import threading
import time

from tessarin import BuildContext, BuildGraph, BuildPipeline, InMemoryTraceSink, ModelConfig, NullBackend

MB = 1 << 20
FORKS = 40
ROUNDS = 8


def fork_call():
    """How long os.fork() keeps the parent; the child ends at once."""
    t0 = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    took = time.perf_counter() - t0
    os.waitpid(pid, 0)
    return took


def batch():
    times = [fork_call() for _ in range(FORKS)]
    return statistics.median(times), max(times)


class Busy:
    """Background runs on a loop thread: one large hash after another, and
    short runs recording into a sink."""

    def __init__(self):
        self.big = BuildGraph()
        for i in range(100):
            self.big.add_node(f"b{i}", ModelConfig(f"b{i}", "1.0.0").with_param("blob", "x" * MB))
        self.small = BuildGraph()
        self.small.add_node("s", ModelConfig("s", "1.0.0"))
        self.sink = InMemoryTraceSink()
        self.ctx = BuildContext(NullBackend.cpu(), self.sink)
        self.pipeline = BuildPipeline.standard()
        self.running = False
        self.thread = None

    def _run(self):
        async def stream(graph, width):
            while self.running:
                await asyncio.gather(*(self.pipeline.execute_async(self.ctx, graph) for _ in range(width)))
                await asyncio.sleep(0.001)

        async def main():
            await asyncio.gather(stream(self.big, 1), stream(self.small, 8))

        asyncio.run(main())

    def __enter__(self):
        self.running = True
        self.thread = threading.Thread(target=self._run)
        self.thread.start()
        time.sleep(0.05)  # let the first large hash start
        return self

    def __exit__(self, *exc):
        self.running = False
        self.thread.join()


class Burners:
    """Two processes spinning, one per core."""

    def __enter__(self):
        self.processes = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2)]
        time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        for process in self.processes:
            process.kill()
            process.wait()


class ManySinks:
    def __enter__(self):
        self.sinks = [InMemoryTraceSink() for _ in range(10_000)]
        return self

    def __exit__(self, *exc):
        del self.sinks


class Nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        pass


def compare(name, condition, target, peer=None):
    quiet, loaded = [], []
    for _ in range(ROUNDS):
        with peer or Nothing():
            quiet.append(batch())
        with condition:
            loaded.append(batch())
    q, c = statistics.median(m for m, _ in quiet), statistics.median(m for m, _ in loaded)
    print(
        f"{name}: os.fork() {c * 1e3:6.2f} ms vs peer {q * 1e3:6.2f} ms   ratio {c / q:5.2f} "
        f"(target <= {target}); longest {max(x for _, x in loaded) * 1e3:.1f} ms "
        f"vs {max(x for _, x in quiet) * 1e3:.1f} ms"
    )


def first_runs_in_children(busy, children=20):
    async def two():
        t0 = time.perf_counter()
        await busy.pipeline.execute_async(busy.ctx, busy.small)
        t1 = time.perf_counter()
        await busy.pipeline.execute_async(busy.ctx, busy.small)
        return t1 - t0, time.perf_counter() - t1

    first, second = [], []
    for _ in range(children):
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.write(w, "{} {}".format(*asyncio.run(two())).encode())
            os._exit(0)
        os.close(w)
        a, b = map(float, os.read(r, 100).split())
        os.close(r)
        os.waitpid(pid, 0)
        first.append(a)
        second.append(b)
    f, s = statistics.median(first), statistics.median(second)
    print(f"in a child: first execute_async {f * 1e6:7.0f} us, second {s * 1e6:5.0f} us (median of {children})")


def main():
    # Make the pool, the fork handlers and the first sink exist before measuring.
    busy = Busy()

    async def first_run():
        await busy.pipeline.execute_async(busy.ctx, busy.small)

    asyncio.run(first_run())
    t0 = time.perf_counter()
    busy.pipeline.execute(busy.ctx, busy.big)
    print(f"one pass over the large graph (execute): {(time.perf_counter() - t0) * 1e3:.0f} ms")
    print(f"median of {ROUNDS} batches of {FORKS} forks, alternating with a peer")
    compare("busy pool (peer: two busy processes)", busy, 1.5, peer=Burners())
    compare("10,000 sinks (peer: one sink)", ManySinks(), 1.2)
    first_runs_in_children(busy)


if __name__ == "__main__":
    main()
