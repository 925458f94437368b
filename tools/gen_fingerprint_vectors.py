"""Writes tests/vectors/fingerprints.json: graphs with their expected stable hash.

Every expected value in that file comes from tests/reference_hash.py, the
plain-Python model of the canonical form (hashlib, struct and a JSON writer of
its own). The module is never imported here: the vectors pin the module
against an independent reading of the rules, not against itself.

The file is generated once and then committed. It is the contract of the
fingerprint: a change in the module that alters any of these hashes breaks
every fingerprint a user has stored, so the file must not be regenerated to
make a failing test pass. Adding vectors is fine; changing an existing one is
not (within a major version).

Format of each vector:
  label        what the vector covers
  nodes        in insertion order: name, config {name, version, params} and
               metadata (applied to the node copies with with_metadata; it
               must never change the hash)
  edges        [source, target] identifiers in insertion order (any 64-bit
               value, even one naming no node)
  stable_hash  the expected result of BuildGraph.stable_hash()

Parameter values are JSON; an integer is written without and a float always
with '.' or 'e', as Python's json module reads and writes them. Non-finite
floats, which JSON cannot hold, are written as {"$float": "nan" | "inf" |
"-inf"}; their canonical form is null.

Run: python tools/gen_fingerprint_vectors.py (from the repository root).
"""

import json
import math
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import reference_hash  # noqa: E402

OUT = ROOT / "tests" / "vectors" / "fingerprints.json"

vectors = []


def node(name, cname="c", version="1.0.0", params=None, metadata=None):
    return {
        "name": name,
        "config": {"name": cname, "version": version, "params": params or {}},
        "metadata": metadata or {},
    }


def add(label, nodes, edges=()):
    vectors.append({"label": label, "nodes": nodes, "edges": [list(e) for e in edges]})


def one_param(label, value):
    add(label, [node("n", params={"v": value})])


# -- the document's examples
add("empty graph", [])
add(
    "worked example",
    [node("encoder", "encoder"), node("decoder", "decoder", params={"layers": 12})],
    [(1, 2)],
)
add("worked example, first node only", [node("encoder", "encoder")])

# -- integers at the edges of every width and of the signed/unsigned split
for value in [
    0,
    1,
    9,
    10,
    255,
    256,
    65535,
    65536,
    2**31 - 1,
    2**31,
    2**32 - 1,
    2**32,
    2**53,
    2**53 + 1,
    10**15,
    10**16,
    2**63 - 1,
    2**63,
    10**19,
    2**64 - 1,
    -1,
    -10,
    -(2**31),
    -(2**31) - 1,
    -(2**53) - 1,
    -(2**63) + 1,
    -(2**63),
]:
    one_param(f"integer {value}", value)

# -- floats across the layout table: zeros, positional range [-5, 15], both
# ends of the scientific range, subnormals and the extremes of the double
for value in [
    0.0,
    -0.0,
    1.0,
    -1.0,
    0.5,
    100.0,
    12.34,
    -12.34,
    0.1,
    0.3,
    2 / 3,
    1.0000000000000002,
    123456789012345.6,
    999999999999999.9,
    1e15,
    9999999999999998.0,
    1e16,
    1.5e16,
    1e21,
    1e22,
    1e23,
    0.001234,
    1e-5,
    1.5e-5,
    1e-6,
    1e-7,
    1.5e-7,
    -1.5e-7,
    2.2250738585072014e-308,
    2.225073858507201e-308,
    1e-310,
    5e-324,
    -5e-324,
    1.7976931348623157e308,
    -1.7976931348623157e308,
]:
    one_param(f"float {value!r}", value)
for value in [math.nan, math.inf, -math.inf]:
    one_param(f"float {value!r} (written as null)", value)
add(
    "integer 1, float 1.0, true and null side by side",
    [node("n", params={"i": 1, "f": 1.0, "b": True, "z": None, "no": False})],
)

# -- strings: every escape, raw bytes that stay raw, non-ASCII and astral
ESCAPES = '"\\\b\t\n\f\r\x00\x01\x07\x0b\x0e\x1f'
add("every escape in a string value", [node("n", params={"s": ESCAPES})])
add("every escape in a key", [node("n", params={ESCAPES: 1})])
add("escapes in node name, config name and version", [node('a"b\\c\nd\x01', 'x\ty"', "1.0\r\n\x1f")])
add("characters copied as they are: DEL, solidus, quote", [node("n", params={"s": "\x7f/'<>&\u2028\u2029"})])
add(
    "non-ASCII text",
    [
        node(
            "caf\u00e9",
            "\u00e9ncodeur",
            "v\u00b2",
            {"cl\u00e9": "\u00fcber \u4e2d\u6587 \u0645\u0631\u062d\u0628\u0627"},
        )
    ],
)
add("astral characters", [node("\U0001f600", "\U00010000", "\U0010ffff", {"\U0001f680": "\U0001d11e\U0001f600"})])
add("combining and zero-width characters", [node("e\u0301", params={"z": "a\u200db\ufeff\u0300"})])
add("empty names and version", [node("", "", "")])
# Key order: UTF-8 bytes (= code points), not UTF-16 units: U+FFFF sorts
# before U+10000 in UTF-8 but after it in UTF-16.
add(
    "keys that UTF-16 would order differently",
    [node("n", params={"\U00010000": 1, "\uffff": 2, "\ue000": 3, "\U0001f600": 4})],
)
add(
    "keys: prefix, case and non-ASCII order",
    [node("n", params={"\u00e9": 1, "ab": 2, "a": 3, "Z": 4, "": 5, "A": 6, "a\x00": 7})],
)
add("keys inserted in reverse order", [node("n", params={"z": 1, "m": 2, "b": 3, "a": 4})])
add("same keys inserted in forward order", [node("n", params={"a": 4, "b": 3, "m": 2, "z": 1})])
add("nested object keys in reverse order", [node("n", params={"o": {"y": {"b": 1, "a": 2}, "x": [{"d": 0, "c": 1}]}})])

# -- containers: empty, mixed, deep
add("empty array and empty object", [node("n", params={"a": [], "o": {}})])
add("nested empty containers", [node("n", params={"v": [[], {}, [[]], {"": {}}]})])
add("mixed array", [node("n", params={"v": [None, True, False, 0, -1, 1.5, "s", [1], {"k": "v"}]})])


def nested(depth):
    value = 0
    for i in range(depth):
        value = [value] if i % 2 else {"k": value}
    return value


def deep_list(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


add("alternating nest at the depth limit (255)", [node("n", params={"v": nested(255)})])
add("array nest 200 deep", [node("n", params={"v": deep_list(200)})])
add("many parameters", [node("n", params={f"p{i:03d}": i * 1.5 if i % 3 else i for i in range(120)})])
add("long string", [node("n", params={"s": "\u00e9x\U0001f600" * 400})])

# -- nodes and edges: order, repetition, identifiers naming no node
A = node("a", "alpha", params={"x": 1})
B = node("b", "beta", params={"x": 2})
C = node("c", "gamma", "2.0.0", {"y": [1, 2]})
add("nodes a, b", [A, B])
add("nodes b, a", [B, A])
add("edges (1,2),(2,3)", [A, B, C], [(1, 2), (2, 3)])
add("edges (2,3),(1,2)", [A, B, C], [(2, 3), (1, 2)])
add("edge (2,1)", [A, B], [(2, 1)])
add("repeated edge and self loop", [A, B], [(1, 2), (1, 2), (2, 2)])
add("edges naming no node", [A], [(0, 0), (7, 2**64 - 1), (2**32, 2**63)])
add("edges without nodes", [], [(1, 2)])
add("same node twice", [A, A])
add("same name, different config", [node("x", "one"), node("x", "two")])
add("diamond", [node("in"), node("left"), node("right"), node("out")], [(1, 2), (1, 3), (2, 4), (3, 4)])
add(
    "twenty nodes in a chain",
    [node(f"layer{i}", "block", params={"i": i}) for i in range(20)],
    [(i, i + 1) for i in range(1, 20)],
)

# -- metadata never counts: these three hash like "nodes a, b"
add("metadata on both nodes", [dict(A, metadata={"hint": "fuse", "n": 3}), dict(B, metadata={"x": [1, {"y": None}]})])
add("other metadata on both nodes", [dict(A, metadata={"hint": "split"}), dict(B, metadata={"z": 1.5, "": ""})])
add("metadata with escapes and astral keys", [dict(A, metadata={"\U0001f600\n": "\x00"}), B])

# -- a realistic model description
add(
    "transformer description",
    [
        node("embed", "embedding", "1.2.0", {"vocab": 50257, "d_model": 768, "dropout": 0.1}),
        node(
            "blocks",
            "transformer",
            "2.0.0-rc.1",
            {
                "layers": 12,
                "heads": 12,
                "norm": "pre",
                "eps": 1e-5,
                "act": "gelu",
                "rope": {"base": 10000.0, "scale": None},
            },
        ),
        node("head", "lm_head", "1.0.0", {"tied": True, "bias": False, "shape": [768, 50257]}),
    ],
    [(1, 2), (2, 3), (1, 3)],
)


def encode(value):
    """Python value -> JSON-ready value (non-finite floats tagged)."""
    if isinstance(value, float) and not math.isfinite(value):
        return {"$float": "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
    if isinstance(value, list):
        return [encode(v) for v in value]
    if isinstance(value, dict):
        return {k: encode(v) for k, v in value.items()}
    return value


def main():
    for v in vectors:
        nodes = [(n["name"], n["config"]["name"], n["config"]["version"], n["config"]["params"]) for n in v["nodes"]]
        v["stable_hash"] = reference_hash.stable_hash(nodes, [tuple(e) for e in v["edges"]])
        for n in v["nodes"]:
            n["config"]["params"] = encode(n["config"]["params"])
            n["metadata"] = encode(n["metadata"])
    labels = [v["label"] for v in vectors]
    assert len(set(labels)) == len(labels), "labels must be unique"
    doc = {
        "about": "Expected BuildGraph.stable_hash() of graphs built with the public API. "
        "Generated by tools/gen_fingerprint_vectors.py from the plain-Python reference in tests/reference_hash.py. "
        "These values are the fingerprint contract: never change one within a major version.",
        "vectors": vectors,
    }
    OUT.parent.mkdir(parents=True, exist_ok=True)

    # One vector per line: readable diffs, and a deep nest stays one line.
    def dump(value):
        return json.dumps(value, ensure_ascii=True, allow_nan=False, separators=(",", ":"))

    text = '{"about":' + dump(doc["about"]) + ',\n"vectors":[\n' + ",\n".join(dump(v) for v in vectors) + "\n]}\n"
    OUT.write_text(text, encoding="utf-8")
    print(f"wrote {len(vectors)} vectors to {OUT.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
