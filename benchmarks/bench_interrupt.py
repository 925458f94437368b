"""How long Ctrl-C takes to arrive during long calls, against peers in the same run.

    .venv/bin/python benchmarks/bench_interrupt.py [--mb 512] [--repeat 3]

Each call works for seconds with the interpreter lock held. A real-time timer
(setitimer) fires part of the way in and its handler raises
KeyboardInterrupt; the latency is the time from the timer's expiry to the
exception reaching the caller. Goal: about 0.1 s or less for every call.

Peers, measured the same way in the same run:
  a pure-Python loop: the interpreter's own latency (the floor);
  hashlib.sha256 over a bytes object of the graph's size: a C call that never
    looks for signals, so the interrupt waits for the whole call.

A getter interrupted half-way frees the objects it had made before the
exception reaches the caller (as an interrupted list comprehension does), so
its latency grows with how far it got; the latency at 1% of the call shows
the time to the check itself.

The with_param case converts a list of tens of millions of items; it answers
promptly only where the conversion checks for signals as it goes.
"""

import argparse
import hashlib
import signal
import statistics
import time

from tessarin import BuildContext, BuildGraph, BuildPipeline, InMemoryTraceSink, ModelConfig, NullBackend, TraceEvent


def latency(call, after):
    """Seconds from the timer's expiry `after` s into `call` to the
    KeyboardInterrupt (negative: the call completed before the timer), and
    whether the call completed first. The result is kept until the clock has
    stopped: freeing millions of objects is not part of the call."""
    result = None
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, after)
    try:
        result = call()
        signal.setitimer(signal.ITIMER_REAL, 0)
        completed = True
    except KeyboardInterrupt:
        completed = False
    caught = time.perf_counter()
    del result
    return caught - (start + after), completed


def measure(name, call, duration, repeat):
    """Latencies with the timer at 1/100 of the call (little to free
    afterwards) and spread over the middle of it."""
    early = latency(call, duration / 100)[0]
    results = [latency(call, duration * (i + 1) / (repeat + 2)) for i in range(repeat)]
    lat = [r[0] for r in results]
    done = sum(r[1] for r in results)
    print(
        f"{name:34s} call {duration:6.2f} s   latency at 1% {early * 1e3:7.1f} ms"
        f"   later: median {statistics.median(lat) * 1e3:7.1f} ms   max {max(lat) * 1e3:7.1f} ms"
        + (f"   ({done}/{repeat} completed first)" if done else "")
    )
    return max(lat)


def timed(call):
    start = time.perf_counter()
    result = call()  # noqa: F841 (freed after the clock stops)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=int, default=512, help="canonical bytes of the big graph")
    parser.add_argument("--stages", type=int, default=10)
    parser.add_argument("--nodes", type=int, default=3_000_000)
    parser.add_argument("--events", type=int, default=10_000_000)
    parser.add_argument("--items", type=int, default=50_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    signal.signal(signal.SIGALRM, signal.default_int_handler)

    piece = 64 << 20
    blob = ModelConfig("blob", "1").with_param("b", "x" * piece)
    graph = BuildGraph()
    for i in range(max(1, args.mb * (1 << 20) // piece)):
        graph.add_node(f"n{i}", blob)
    del blob
    data = b"x" * (args.mb << 20)

    def spin():
        end = time.perf_counter() + 3
        while time.perf_counter() < end:
            pass

    worst = {}
    print("peers")
    measure("pure-Python loop", spin, 3.0, args.repeat)
    measure("hashlib.sha256(bytes)", lambda: hashlib.sha256(data), timed(lambda: hashlib.sha256(data)), args.repeat)
    data = None  # frees it before the next measurement

    print("tessarin")
    worst["stable_hash()"] = measure("stable_hash()", graph.stable_hash, timed(graph.stable_hash), args.repeat)
    worst["repr(graph)"] = measure("repr(graph)", lambda: repr(graph), timed(lambda: repr(graph)), args.repeat)
    pipeline = BuildPipeline()
    for _ in range(args.stages):
        pipeline = pipeline.with_stage("hashing")
    ctx = BuildContext(NullBackend.cpu(), InMemoryTraceSink())
    run = lambda: pipeline.execute(ctx, graph)  # noqa: E731
    one = timed(lambda: BuildPipeline.for_inference().execute(ctx, graph))
    worst["execute"] = measure(f"execute ({args.stages} hashing stages)", run, one * args.stages, args.repeat)
    graph = None  # frees it before the next measurement

    many = BuildGraph()
    small = ModelConfig("c", "1").with_param("shape", [1, 2, 3])
    for _ in range(args.nodes):
        many.add_node("n", small)
    worst["nodes"] = measure(f"nodes ({args.nodes} nodes)", lambda: many.nodes, timed(lambda: many.nodes), args.repeat)
    many = None  # frees it before the next measurement

    sink = InMemoryTraceSink()
    event = TraceEvent("id", "message")
    for _ in range(args.events):
        sink.record(event)
    worst["events()"] = measure(f"events() ({args.events} events)", sink.events, timed(sink.events), args.repeat)
    del sink

    items = [7] * args.items
    config = ModelConfig("c", "1")
    convert = lambda: config.with_param("p", items)  # noqa: E731
    worst["with_param"] = measure(f"with_param ({args.items} items)", convert, timed(convert), args.repeat)

    late = [name for name, value in worst.items() if value > 0.1]
    print("goal: every latency within about 0.1 s" + (f"; over it: {', '.join(late)}" if late else "; met"))


if __name__ == "__main__":
    main()
