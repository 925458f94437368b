"""Graph building, hashing and memory, against Python baselines in the same run.

    .venv/bin/python benchmarks/bench_graph.py [--nodes 100000]

Targets:
  stable_hash() of a 100,000-node graph (about 8 mixed parameters per node)
    within 1.5x of hashlib.sha256 over the same canonical bytes prepared
    beforehand, and at least 25x faster than the plain-Python reference of
    the tests (tests/reference_hash.py);
  building the graph (ModelConfig + with_param x8 + add_node per node) at
    least 3x faster than the same calls done with dicts and copy.deepcopy;
  resident memory per node below 1/3 of the same graph held as Python dicts
    (each variant measured in a fresh subprocess).
"""

import argparse
import copy
import gc
import hashlib
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import reference_hash  # noqa: E402

from tessarin import BuildGraph, ModelConfig  # noqa: E402

ACTIVATIONS = ["relu", "gelu", "silu", "tanh"]


def node_definitions(count, seed=1):
    """(node name, config name, [(key, value)] x 8) for each node, mixed kinds."""
    rng = random.Random(seed)
    for i in range(count):
        params = [
            ("d_model", rng.choice([256, 512, 768, 1024, 4096])),
            ("dropout", rng.random() * 0.5),
            ("activation", rng.choice(ACTIVATIONS)),
            ("bias", rng.random() < 0.5),
            ("shape", [rng.randint(1, 4096) for _ in range(rng.randint(2, 3))]),
            ("init", {"kind": "normal", "std": rng.random() * 0.02}),
            ("tag", f"block_{i}_{rng.choice(ACTIVATIONS)}"),
            ("layers", rng.choice([None, 2, 6, 12, 24])),
        ]
        yield (f"layer{i}", f"block{i % 100}", params)


# ------------------------------------------------------------------ builders


def build_native(node_defs):
    graph = BuildGraph()
    for name, cname, params in node_defs:
        config = ModelConfig(cname, "1.0.0")
        for key, value in params:
            config = config.with_param(key, value)
        graph.add_node(name, config)
    return graph


def build_dicts(node_defs):
    """The same calls in plain Python: with_param changes the receiver and
    returns a deep copy, add_node deep-copies the configuration."""
    graph = {"nodes": [], "edges": []}
    for name, cname, params in node_defs:
        config = {"name": cname, "version": "1.0.0", "params": {}}
        for key, value in params:
            config["params"][key] = copy.deepcopy(value)
            config = copy.deepcopy(config)
        graph["nodes"].append(
            {"id": len(graph["nodes"]) + 1, "name": name, "config": copy.deepcopy(config), "metadata": {}}
        )
    return graph


def build_dicts_plain(node_defs):
    """The graph as Python dicts, without the copies (for memory)."""
    nodes = []
    for name, cname, params in node_defs:
        nodes.append(
            {"id": len(nodes) + 1, "name": name, "config": {"name": cname, "version": "1.0.0", "params": dict(params)}}
        )
    return nodes


# -------------------------------------------------------------------- memory


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure_memory(variant, count):
    gc.collect()
    before = rss_bytes()
    if variant == "native":
        held = build_native(node_definitions(count))
    else:
        held = build_dicts_plain(node_definitions(count))
    gc.collect()
    after = rss_bytes()
    assert held is not None
    print((after - before) / count)


def memory_per_node(variant, count):
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--memory", variant, "--nodes", str(count)],
        capture_output=True,
        text=True,
        check=True,
    )
    return float(out.stdout.strip())


# --------------------------------------------------------------------- timing


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--build-nodes", type=int, default=10_000)
    parser.add_argument("--memory", choices=["native", "dicts"])
    args = parser.parse_args()
    if args.memory:
        measure_memory(args.memory, args.nodes)
        return

    n = args.nodes
    node_defs = list(node_definitions(n))
    graph = build_native(node_defs)
    ref_nodes = [(name, cname, "1.0.0", dict(params)) for name, cname, params in node_defs]
    canonical = reference_hash.canonical_bytes(ref_nodes, [])
    assert graph.stable_hash() == hashlib.sha256(canonical).hexdigest() == reference_hash.stable_hash(ref_nodes, [])
    print(f"graph: {n} nodes, {len(canonical) / 1e6:.1f} MB canonical form ({len(canonical) / n:.0f} bytes/node)")

    t_hash = best(graph.stable_hash, 15)
    t_sha = best(lambda: hashlib.sha256(canonical).hexdigest(), 15)
    t_ref = best(lambda: reference_hash.stable_hash(ref_nodes, []), 1)
    print(f"stable_hash():            {t_hash * 1e3:9.2f} ms")
    print(f"hashlib.sha256(bytes):    {t_sha * 1e3:9.2f} ms   ratio {t_hash / t_sha:6.2f}x   (target <= 1.5)")
    print(f"Python reference:         {t_ref * 1e3:9.2f} ms   speed-up {t_ref / t_hash:6.1f}x   (target >= 25)")

    m = args.build_nodes
    build_defs = node_defs[:m]
    t_build = best(lambda: build_native(build_defs), 3)
    t_dicts = best(lambda: build_dicts(build_defs), 1)
    print(f"build {m} nodes native:  {t_build * 1e3:9.2f} ms   ({t_build / m * 1e6:.2f} us/node)")
    print(f"build {m} nodes dicts:   {t_dicts * 1e3:9.2f} ms   speed-up {t_dicts / t_build:6.1f}x   (target >= 3)")

    mem_native = memory_per_node("native", n)
    mem_dicts = memory_per_node("dicts", n)
    print(f"memory per node native:   {mem_native:9.0f} bytes")
    print(f"memory per node dicts:    {mem_dicts:9.0f} bytes   ratio {mem_native / mem_dicts:6.3f}   (target < 0.333)")


if __name__ == "__main__":
    main()
