"""Writes the fuzz target's seed corpus into the folder given as argument.

Seeds are canonical texts from the plain-Python reference: the document's
worked example and every configuration and parameter value of the committed
fingerprint vectors, fed to the parser and to the scanner; and, when the
module is importable, the pickle payloads of the vector graphs and of one
object of every picklable class. The first byte selects the reader (0 config,
1 value, 2 payload, 3 and 4 the scanner on a config or a value), as in
fuzz_readers.cpp.
"""

import hashlib
import json
import math
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
import reference_hash as ref  # noqa: E402

CONFIG, VALUE, PAYLOAD, SCAN_CONFIG, SCAN_VALUE = b"\x00", b"\x01", b"\x02", b"\x03", b"\x04"


def decode(value):
    if isinstance(value, dict):
        if list(value) == ["$float"]:
            return {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}[value["$float"]]
        return {k: decode(v) for k, v in value.items()}
    if isinstance(value, list):
        return [decode(v) for v in value]
    return value


def payloads(vectors):
    """The payloads that pickling writes, taken from copyreg's reducers."""
    try:
        import copyreg

        import tessarin as t
    except ImportError:
        return
    objects = []
    for vector in vectors:
        graph = t.BuildGraph()
        for node in vector["nodes"]:
            config = node["config"]
            made = t.ModelConfig(config["name"], config["version"])
            for key, value in decode(config["params"]).items():
                made.with_param(key, value)
            graph.add_node(node["name"], made)
        objects.append(graph)
    config = t.ModelConfig("encoder", "1.0.0").with_param("d", [1, 2.5, None, {"k": "v"}])
    node = t.GraphNode(t.NodeId(3), "n", config).with_metadata("m", True)
    objects += [config, node, t.NodeId(7), t.ModelConfigBuilder().name("x").param("p", 1)]
    objects += [t.ValidationError("name", "bad"), t.NameValidator(), t.VersionValidator()]
    objects += [t.CompositeValidator().with_name_validator().with_version_validator()]
    objects += [t.TraceLevel.Warn, t.TraceEvent("id", "message", t.TraceLevel.Error, "span", None)]
    objects += [t.NullBackend.cpu(), t.BuildPipeline.standard().with_stage("x")]
    for obj in objects:
        yield copyreg.dispatch_table[type(obj)](obj)[1][0]


def seeds():
    for seed in texts():
        yield seed
        yield {CONFIG: SCAN_CONFIG, VALUE: SCAN_VALUE}[seed[:1]] + seed[1:]
    vectors = json.loads((HERE.parent / "vectors" / "fingerprints.json").read_text(encoding="utf-8"))["vectors"]
    for payload in payloads(vectors):
        yield PAYLOAD + payload


def texts():
    yield CONFIG + ref.config_json("encoder", "1.0.0", {}).encode()
    yield CONFIG + ref.config_json("decoder", "1.0.0", {"layers": 12}).encode()
    vectors = json.loads((HERE.parent / "vectors" / "fingerprints.json").read_text(encoding="utf-8"))["vectors"]
    for vector in vectors:
        for node in vector["nodes"]:
            config = node["config"]
            params = decode(config["params"])
            yield CONFIG + ref.config_json(config["name"], config["version"], params).encode()
            yield VALUE + ref.json_value(params).encode()
            for value in params.values():
                yield VALUE + ref.json_value(value).encode()


def main():
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    count = 0
    for seed in seeds():
        path = out / hashlib.sha1(seed).hexdigest()
        if not path.exists():
            path.write_bytes(seed)
            count += 1
    print(f"{count} new seeds in {out}")


if __name__ == "__main__":
    main()
