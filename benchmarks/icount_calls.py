"""A fixed workload for instruction counts (valgrind's callgrind), where
wall-clock times are too noisy to show a change of a few tenths of a percent.

    PYTHONHASHSEED=0 valgrind --tool=callgrind --callgrind-out-file=cg.MODE \\
        .venv/bin/python benchmarks/icount_calls.py MODE

MODE is "setup" (build a 20,000-node graph and a 200,000-event sink, one warm
call of each) or one of "hash", "execute", "nodes", "events" (the setup plus
a fixed number of those calls), or "param-768", "param-gelu", "param-list"
([768, 3072]) or "param-dict" (a dict of 8 ints): the setup plus a fixed
number of ``with_param`` calls with that small value. The count of one call is
(summary of MODE - summary of setup) / CALLS[MODE]; compare two builds by
putting each first on PYTHONPATH. Under valgrind SHA-256 takes the portable
path (the SHA extensions are not emulated).
"""

import sys

from bench_graph import build_native, node_definitions
from bench_params import NAMES

from tessarin import BuildContext, BuildPipeline, InMemoryTraceSink, ModelConfig, NullBackend, TraceEvent

CALLS = {"setup": 0, "hash": 20, "execute": 20, "nodes": 5, "events": 10}
SMALL_VALUES = {
    "param-768": 768,
    "param-gelu": "gelu",
    "param-list": [768, 3072],
    "param-dict": {name: 64 * (i + 1) for i, name in enumerate(NAMES)},
}
CALLS.update(dict.fromkeys(SMALL_VALUES, 200_000))


def main():
    mode = sys.argv[1]
    graph = build_native(node_definitions(20_000))
    sink = InMemoryTraceSink()
    event = TraceEvent("id", "message")
    for _ in range(200_000):
        sink.record(event)
    ctx = BuildContext(NullBackend.cpu(), InMemoryTraceSink())
    pipeline = BuildPipeline.standard()
    calls = {
        "setup": lambda: None,
        "hash": graph.stable_hash,
        "execute": lambda: pipeline.execute(ctx, graph),
        "nodes": lambda: graph.nodes,
        "events": sink.events,
    }
    config = ModelConfig("bench", "1.0.0")
    for name, value in SMALL_VALUES.items():
        calls[name] = lambda value=value: config.with_param("v", value)
        calls[name]()
    graph.stable_hash(), graph.nodes, sink.events(), pipeline.execute(ctx, graph)
    for _ in range(CALLS[mode]):
        calls[mode]()


if __name__ == "__main__":
    main()
