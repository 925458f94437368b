"""Worker tasks of examples/distributed_fingerprints.py, in a module of their own.

A function defined in an importable module travels to Dask, Ray or joblib
workers by name: cloudpickle sends "fingerprint_tasks.fingerprint" and the
worker imports this module. So the classes may be imported here by their
bare names, which a function defined in `__main__` must not do (see
fingerprint() in distributed_fingerprints.py).
"""

from __future__ import annotations

from tessarin import BuildContext, BuildGraph, BuildPipeline, InMemoryTraceSink, ModelConfig, NullBackend


def fingerprint(graph: BuildGraph) -> tuple[list[ModelConfig], str]:
    """Runs on a worker: the node configurations and the pipeline's hash."""
    built = BuildPipeline.standard().execute(BuildContext(NullBackend.cpu(), InMemoryTraceSink()), graph)
    return [node.config for node in built.nodes], built.stable_hash()
