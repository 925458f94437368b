"""Fingerprint a batch of graphs in parallel on worker processes.

    python examples/distributed_fingerprints.py [--graphs 8] [--workers 2] [--engine auto|dask|processes]

Graphs travel to the workers by pickle; each worker runs the standard
pipeline and sends back the configurations of the graph's nodes and its
hash, which the client checks against its own. With the `distributed`
package installed this runs on a Dask LocalCluster of worker processes;
without it (or with --engine processes), on a ProcessPoolExecutor.

Each graph goes through both task functions that work with cloudpickle,
which Dask uses to ship them: fingerprint() below, defined in this script
(`__main__` when run as a program) and so shipped by value, names every
class as `tessarin.X`; fingerprint_tasks.fingerprint, defined in an
importable module and so shipped by name, may import the classes by their
bare names.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import sys
from collections.abc import Callable, Sequence

import fingerprint_tasks

import tessarin

Result = tuple[list[tessarin.ModelConfig], str]
Task = Callable[[tessarin.BuildGraph], Result]


def make_graphs(count: int, nodes: int = 50) -> list[tessarin.BuildGraph]:
    graphs = []
    for g in range(count):
        graph = tessarin.BuildGraph()
        previous = None
        for i in range(nodes):
            config = (
                tessarin.ModelConfig(f"block{i}", f"1.0.{g}")
                .with_param("d_model", 256 * (1 + i % 4))
                .with_param("dropout", 0.1 * (g % 5))
                .with_param("shape", [g, i, 3])
            )
            node = graph.add_node(f"layer{i}", config)
            if previous is not None:
                graph.add_edge(previous, node)
            previous = node
        graphs.append(graph)
    return graphs


def fingerprint(graph: tessarin.BuildGraph) -> Result:
    """Runs on a worker: the node configurations and the pipeline's hash.

    Run as a program, this function lives in `__main__`, so cloudpickle ships
    it by value with the globals it names. It names the classes through the
    module (`tessarin.BuildGraph`): a module travels by name. A class named
    bare (`from tessarin import BuildGraph`) would be shipped as a class, and
    its `__module__`, "builtins", lets no worker rebuild it. The annotations
    are strings (`from __future__ import annotations`) for the same reason.
    """
    sink = tessarin.InMemoryTraceSink()
    built = tessarin.BuildPipeline.standard().execute(tessarin.BuildContext(tessarin.NullBackend.cpu(), sink), graph)
    return [node.config for node in built.nodes], built.stable_hash()


TASKS: list[Task] = [fingerprint, fingerprint_tasks.fingerprint]


def with_processes(graphs: Sequence[tessarin.BuildGraph], workers: int) -> list[list[Result]]:
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as pool:
        return [list(pool.map(task, graphs)) for task in TASKS]


def with_dask(graphs: Sequence[tessarin.BuildGraph], workers: int) -> list[list[Result]]:
    from distributed import Client, LocalCluster

    # distributed's constructors carry no annotations.
    cluster = LocalCluster(  # type: ignore[no-untyped-call]
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
    )
    with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
        results: list[list[Result]] = [client.gather(client.map(task, graphs)) for task in TASKS]
        return results


def have_dask() -> bool:
    try:
        import distributed  # noqa: F401
    except ImportError:
        return False
    return True


def same_config(a: tessarin.ModelConfig, b: tessarin.ModelConfig) -> bool:
    return (a.name, a.version, repr(a.params)) == (b.name, b.version, repr(b.params))


def check(graphs: Sequence[tessarin.BuildGraph], results: Sequence[Result]) -> None:
    """The workers' answers equal the client's own."""
    assert len(results) == len(graphs)
    for graph, (configs, digest) in zip(graphs, results):
        assert digest == graph.stable_hash()
        local = [node.config for node in graph.nodes]
        assert len(configs) == len(local) and all(same_config(a, b) for a, b in zip(configs, local))


def run(graph_count: int, workers: int, engine: str) -> str:
    """Fingerprints `graph_count` graphs and checks them; returns the engine used."""
    if engine == "auto":
        engine = "dask" if have_dask() else "processes"
    graphs = make_graphs(graph_count)
    per_task = with_dask(graphs, workers) if engine == "dask" else with_processes(graphs, workers)
    for results in per_task:
        check(graphs, results)
    return engine


def main(argv: Sequence[str]) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--graphs", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--engine", choices=["auto", "dask", "processes"], default="auto")
    args = parser.parse_args(argv)
    engine = run(args.graphs, args.workers, args.engine)
    print(f"{args.graphs} graphs fingerprinted on {args.workers} {engine} workers; every hash matches")


if __name__ == "__main__":
    main(sys.argv[1:])
