"""An independent, plain-Python model of the stable graph hash.

Written from the rules of the canonical form only (hashlib, struct and a
small JSON writer of its own), so that the native implementation can be
checked against it on random graphs. The benchmarks time it too.
"""

import hashlib
import math
import struct

_SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def json_string(text):
    out = ['"']
    for ch in text:
        if ch in _SHORT_ESCAPES:
            out.append(_SHORT_ESCAPES[ch])
        elif ord(ch) < 0x20:
            out.append(f"\\u{ord(ch):04x}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def json_float(x):
    """The interpreter's shortest repr digits, laid out by the canonical rules."""
    if not math.isfinite(x):
        return "null"
    if x == 0.0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    mantissa, _, exponent = repr(abs(x)).partition("e")
    whole, _, fraction = mantissa.partition(".")
    e = int(exponent) if exponent else 0
    stripped = whole.lstrip("0")
    if stripped:
        n = len(stripped) - 1 + e
    else:
        n = -(len(fraction) - len(fraction.lstrip("0"))) - 1 + e
    digits = (stripped + fraction).lstrip("0").rstrip("0")
    k = len(digits)
    if -5 <= n <= 15:
        if n >= k - 1:
            text = digits + "0" * (n - k + 1) + ".0"
        elif n >= 0:
            text = digits[: n + 1] + "." + digits[n + 1 :]
        else:
            text = "0." + "0" * (-n - 1) + digits
    else:
        text = digits[0] + ("." + digits[1:] if k > 1 else "") + "e" + ("+" if n > 0 else "-") + str(abs(n))
    return ("-" if x < 0 else "") + text


def json_value(value):
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(int(value))
    if isinstance(value, float):
        return json_float(value)
    if isinstance(value, str):
        return json_string(value)
    if isinstance(value, (list, tuple)):
        return "[" + ",".join(json_value(v) for v in value) + "]"
    if isinstance(value, dict):
        return json_object(value)
    raise TypeError(type(value))


def json_object(mapping):
    keys = sorted(mapping, key=lambda k: k.encode("utf-8"))
    return "{" + ",".join(json_string(k) + ":" + json_value(mapping[k]) for k in keys) + "}"


def config_json(name, version, params):
    return (
        '{"name":' + json_string(name) + ',"version":' + json_string(version) + ',"params":' + json_object(params) + "}"
    )


def canonical_bytes(nodes, edges):
    """nodes: (node name, config name, config version, params dict) in order;
    edges: (from, to) integer pairs in order."""
    parts = []
    for i, (name, cname, cversion, params) in enumerate(nodes, 1):
        parts.append(struct.pack("<Q", i))
        parts.append(name.encode("utf-8"))
        parts.append(config_json(cname, cversion, params).encode("utf-8"))
    for a, b in edges:
        parts.append(struct.pack("<QQ", a, b))
    return b"".join(parts)


def stable_hash(nodes, edges):
    return hashlib.sha256(canonical_bytes(nodes, edges)).hexdigest()
