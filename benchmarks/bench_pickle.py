"""Pickling a graph, against the same graph held as plain Python data.

    .venv/bin/python benchmarks/bench_pickle.py [--nodes 100000] [--repeat 7]

The graph is the one of bench_graph.py (about 8 mixed parameters a node) with
one edge into every node but the first. The plain data is a list of
(name, config dict) pairs and a list of (source, target) pairs.

Targets, at pickle's default protocol and at its highest:
  a pickle.dumps + pickle.loads round trip of the graph takes at most 0.15x
    the time of the same round trip of the plain data;
  the graph's pickle is at most 2x the size of the plain data's pickle.
Both sides are timed alternately in the same run; the best of each is kept.
"""

import argparse
import os
import pickle
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_graph import build_native, node_definitions  # noqa: E402

from tessarin import NodeId  # noqa: E402


def round_trip(obj, protocol):
    return pickle.loads(pickle.dumps(obj, protocol))


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    node_defs = list(node_definitions(args.nodes))
    rng = random.Random(2)
    edges = [(rng.randint(1, i), i + 1) for i in range(1, args.nodes)]
    graph = build_native(node_defs)
    for a, b in edges:
        graph.add_edge(NodeId(a), NodeId(b))
    plain = (
        [(name, {"name": cname, "version": "1.0.0", "params": dict(params)}) for name, cname, params in node_defs],
        edges,
    )
    restored = round_trip(graph, pickle.HIGHEST_PROTOCOL)
    assert restored.stable_hash() == graph.stable_hash()
    print(f"graph: {args.nodes} nodes, {len(edges)} edges, hash {graph.stable_hash()[:16]}")

    for label, protocol in (("default", pickle.DEFAULT_PROTOCOL), ("highest", pickle.HIGHEST_PROTOCOL)):
        native_size = len(pickle.dumps(graph, protocol))
        plain_size = len(pickle.dumps(plain, protocol))
        native, plain_t, dumps, loads = [], [], [], []
        data = pickle.dumps(graph, protocol)
        for _ in range(args.repeat):
            native.append(timed(lambda: round_trip(graph, protocol)))
            plain_t.append(timed(lambda: round_trip(plain, protocol)))
            dumps.append(timed(lambda: pickle.dumps(graph, protocol)))
            loads.append(timed(lambda: pickle.loads(data)))
        t_native, t_plain = min(native), min(plain_t)
        print(f"protocol {protocol} ({label}):")
        print(
            f"  graph round trip:  {t_native * 1e3:8.1f} ms  (dumps {min(dumps) * 1e3:.1f} ms, "
            f"loads {min(loads) * 1e3:.1f} ms)"
        )
        print(f"  plain round trip:  {t_plain * 1e3:8.1f} ms   ratio {t_native / t_plain:6.3f}x  (target <= 0.15)")
        print(f"  graph pickle:      {native_size / 1e6:8.2f} MB")
        print(
            f"  plain pickle:      {plain_size / 1e6:8.2f} MB   ratio {native_size / plain_size:6.3f}x  (target <= 2)"
        )


if __name__ == "__main__":
    main()
