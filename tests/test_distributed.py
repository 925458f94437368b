"""The distributed example, run for real: graphs pickled to two worker
processes, configurations and hashes pickled back and checked."""

import importlib
import os
import sys

import pytest

# Importable by name, so that worker processes can unpickle its functions.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))


def load_example():
    return importlib.import_module("distributed_fingerprints")


@pytest.mark.slow
@pytest.mark.parametrize("engine", ["dask", "processes"])
def test_workers_fingerprint_like_the_client(engine):
    if engine == "dask":
        pytest.importorskip(
            "distributed",
            reason="distributed is not installed (requirements-test.txt brings it);"
            " the processes engine checks the same round trip",
        )
    example = load_example()
    assert example.run(4, 2, engine) == engine


def test_check_catches_a_wrong_answer():
    example = load_example()
    graphs = example.make_graphs(2, nodes=3)
    results = [example.fingerprint(g) for g in graphs]
    example.check(graphs, results)
    with pytest.raises(AssertionError):
        example.check(graphs, results[::-1])
