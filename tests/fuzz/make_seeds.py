"""Writes the fuzz target's seed corpus into the folder given as argument.

Seeds are canonical texts from the plain-Python reference: the document's
worked example and every configuration and parameter value of the committed
fingerprint vectors. The first byte selects the reader (0 config, 1 value),
as in fuzz_readers.cpp.
"""

import hashlib
import json
import math
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
import reference_hash as ref  # noqa: E402

CONFIG, VALUE = b"\x00", b"\x01"


def decode(value):
    if isinstance(value, dict):
        if list(value) == ["$float"]:
            return {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}[value["$float"]]
        return {k: decode(v) for k, v in value.items()}
    if isinstance(value, list):
        return [decode(v) for v in value]
    return value


def seeds():
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
