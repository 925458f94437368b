"""The committed fingerprint vectors: every one must hash as recorded.

The expected values were computed by tools/gen_fingerprint_vectors.py with the
plain-Python reference, never with the module; a failure here means stored
fingerprints of users would stop matching.
"""

import json
import math
import pathlib

import pytest
import reference_hash as ref

from tessarin import BuildGraph, ModelConfig, NodeId

VECTORS = json.loads((pathlib.Path(__file__).parent / "vectors" / "fingerprints.json").read_text(encoding="utf-8"))[
    "vectors"
]
NONFINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}


def decode(value):
    if isinstance(value, dict):
        if list(value) == ["$float"]:
            return NONFINITE[value["$float"]]
        return {k: decode(v) for k, v in value.items()}
    if isinstance(value, list):
        return [decode(v) for v in value]
    return value


def build(vector):
    graph = BuildGraph()
    for n in vector["nodes"]:
        config = ModelConfig(n["config"]["name"], n["config"]["version"])
        # File order is insertion order; the hash must not depend on it.
        for key, value in n["config"]["params"].items():
            config.with_param(key, decode(value))
        graph.add_node(n["name"], config)
    for a, b in vector["edges"]:
        graph.add_edge(NodeId(a), NodeId(b))
    return graph


def test_the_vectors_cover_what_they_promise():
    labels = {v["label"] for v in VECTORS}
    assert len(VECTORS) >= 60 and len(labels) == len(VECTORS)
    assert {
        "empty graph",
        "worked example",
        "float 5e-324",
        "float -0.0",
        "integer 18446744073709551615",
        "integer -9223372036854775808",
        "keys that UTF-16 would order differently",
    } <= labels
    by_label = {v["label"]: v["stable_hash"] for v in VECTORS}
    assert by_label["worked example"] == "fbbb9d71577e1f2d04aedec23df2205b2bb3eb5b021502794eb5db0b477f88af"
    # Metadata and parameter insertion order must not count.
    assert by_label["metadata on both nodes"] == by_label["nodes a, b"]
    assert by_label["keys inserted in reverse order"] == by_label["same keys inserted in forward order"]


@pytest.mark.parametrize("vector", VECTORS, ids=[v["label"] for v in VECTORS])
def test_vector(vector):
    # The file agrees with the reference (guards against hand edits)...
    nodes = [
        (n["name"], n["config"]["name"], n["config"]["version"], decode(n["config"]["params"])) for n in vector["nodes"]
    ]
    assert ref.stable_hash(nodes, vector["edges"]) == vector["stable_hash"]
    # ...and the module agrees with the file.
    graph = build(vector)
    assert graph.stable_hash() == vector["stable_hash"]
    # Metadata on the node copies leaves it unchanged.
    for copy, n in zip(graph.nodes, vector["nodes"]):
        for key, value in n["metadata"].items():
            copy.with_metadata(key, decode(value))
    assert graph.stable_hash() == vector["stable_hash"]
