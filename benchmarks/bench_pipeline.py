"""Synchronous pipeline cost against the hash alone, measured in the same run.

    .venv/bin/python benchmarks/bench_pipeline.py

Target: execute() of BuildPipeline.standard() on a 100,000-node graph with
about 8 mixed parameters per node costs at most 1.3x graph.stable_hash().
"""

import random
import timeit

from tessarin import BuildContext, BuildGraph, BuildPipeline, InMemoryTraceSink, ModelConfig, NullBackend


def make_graph(nodes, seed=1):
    rng = random.Random(seed)
    graph = BuildGraph()
    previous = None
    for i in range(nodes):
        config = (
            ModelConfig(f"layer{i}", "1.0.0")
            .with_param("units", rng.randint(1, 4096))
            .with_param("dropout", rng.random())
            .with_param("activation", rng.choice(["relu", "gelu", "silu"]))
            .with_param("bias", rng.random() < 0.5)
            .with_param("shape", [rng.randint(1, 512), rng.randint(1, 512)])
            .with_param("init", {"kind": "normal", "std": rng.random()})
            .with_param("offset", -rng.randint(1, 10**12))
            .with_param("note", None)
        )
        node = graph.add_node(f"node{i}", config)
        if previous is not None:
            graph.add_edge(previous, node)
        previous = node
    return graph


def main():
    graph = make_graph(100_000)
    pipeline = BuildPipeline.standard()
    t_hash = min(timeit.repeat(graph.stable_hash, number=3, repeat=5)) / 3

    def run():
        pipeline.execute(BuildContext(NullBackend.cpu(), InMemoryTraceSink()), graph)

    t_exec = min(timeit.repeat(run, number=3, repeat=5)) / 3
    print(f"stable_hash():        {t_hash * 1e3:8.2f} ms")
    print(f"standard().execute(): {t_exec * 1e3:8.2f} ms   ratio {t_exec / t_hash:5.2f} (target <= 1.3)")


if __name__ == "__main__":
    main()
