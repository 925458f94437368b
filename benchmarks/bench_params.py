"""Parameter conversion speed against orjson, shape by shape, in one run.

    .venv/bin/python benchmarks/bench_params.py [--rounds N] [--check] [--only NAME]

Write direction: ``config.with_param("v", value)`` against
``orjson.dumps(value, option=orjson.OPT_SORT_KEYS)`` (both walk the whole
value, check every type and sort every dict's keys). Read direction:
``holder.params`` against ``orjson.loads`` of the same value's JSON (both
create every Python object anew).

The two sides of a shape are timed alternately, in rounds, so that both see
the same machine load; each shape reports the median of its per-round
ratios next to its target. The garbage collector is off while timing. ``--check`` exits with status 1 when any median
misses its target. Ratios move by 10-15 % between runs on a busy machine:
``--check`` is a tool for a quiet machine, not a CI step.
"""

import argparse
import gc
import random
import statistics
import string
import sys
import time

import orjson

from tessarin import ModelConfig

N = 100_000


def realistic(rng, target_bytes):
    """A realistic nested configuration: layer lists of dicts of mixed scalars."""
    layers = []
    size = 0
    while size < target_bytes:
        layer = {
            "name": "".join(rng.choices(string.ascii_lowercase, k=rng.randint(4, 12))),
            "units": rng.randint(1, 4096),
            "dropout": rng.random(),
            "bias": rng.random() < 0.5,
            "activation": rng.choice(["relu", "gelu", "silu", None]),
            "shape": [rng.randint(1, 512) for _ in range(rng.randint(1, 4))],
            "init": {"kind": "normal", "mean": 0.0, "std": rng.random() * 0.1, "seed": rng.randint(-(2**40), 2**40)},
        }
        layers.append(layer)
        size += len(orjson.dumps(layer))
    return {"layers": layers, "optimizer": {"lr": 3e-4, "betas": [0.9, 0.999], "eps": 1e-8}}


def chains(count, depth):
    result = []
    for i in range(count):
        value = i
        for level in range(depth):
            value = [value] if level % 2 else {"k": value}
        result.append(value)
    return result


def shapes():
    """(name, value, write target, read target); about 100k items each."""
    rng = random.Random(1)
    short = ["".join(rng.choices(string.ascii_letters, k=rng.randint(3, 12))) for _ in range(N)]
    keys = [f"key_{i:06d}" for i in range(N)]
    rng.shuffle(keys)
    text = "modèle 模型 ŝtruktur ключ ε 😀 "
    names = ["hidden", "heads", "layers", "ffn", "vocab", "max_len", "dropout_seed", "window"]
    return [
        ("ints", [rng.randint(0, 65535) for _ in range(N)], 1.05, 1.1),
        ("short strings", short, 1.7, 1.15),
        ("bools / None", [rng.choice([True, False, None]) for _ in range(N)], 1.6, 1.1),
        ("2-element lists", [[rng.randint(0, 999), rng.randint(0, 999)] for _ in range(N // 2)], 1.6, 1.1),
        ("dicts of 8 ints", [{f"k{j}": rng.randint(0, 999) for j in range(8)} for _ in range(N // 9)], 1.05, 1.1),
        ("100k-key dict, shuffled", {k: rng.randint(0, 999) for k in keys}, 1.35, 1.1),
        ("200 chains 100 deep", chains(200, 100), 1.55, 1.1),
        ("non-ASCII strings", [text[rng.randint(0, 10) : rng.randint(11, 30)] for _ in range(N)], 1.9, 1.5),
        ("realistic 1 MB", realistic(rng, 1_000_000), 1.0, 1.1),
    ], [
        ("one call: 768", 768),
        ("one call: 'gelu'", "gelu"),
        ("one call: [768, 3072]", [768, 3072]),
        ("one call: dict of 8 ints", {name: 64 * (i + 1) for i, name in enumerate(names)}),
    ]


def per_call(fn, number):
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - start) / number


def calibrate(fn, budget=0.02):
    """Calls per timing so that one timing takes about `budget` seconds."""
    fn()
    number = 1
    while per_call(fn, number) * number < budget:
        number *= 2
    return number


def compare(ours, peer, rounds):
    """Median over rounds of ours/peer; the sides alternate and swap order
    every round. Returns (median ratio, median ours, median peer)."""
    number = max(calibrate(ours), calibrate(peer))
    ratios, t_ours, t_peer = [], [], []
    for r in range(rounds):
        if r % 2:
            b = per_call(peer, number)
            a = per_call(ours, number)
        else:
            a = per_call(ours, number)
            b = per_call(peer, number)
        ratios.append(a / b)
        t_ours.append(a)
        t_peer.append(b)
    return statistics.median(ratios), statistics.median(t_ours), statistics.median(t_peer)


def report(name, result, target, misses):
    ratio, ours, peer = result
    unit, scale = ("us", 1e6) if peer < 1e-3 else ("ms", 1e3)
    missed = ratio > target
    if missed:
        misses.append(name)
    print(
        f"  {name:28s} {ours * scale:9.3f} {unit}  vs {peer * scale:9.3f} {unit}"
        f"   ratio {ratio:5.2f}  target <= {target:4.2f}{'   MISSED' if missed else ''}"
    )


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=11, help="alternating rounds per shape (at least 11)")
    parser.add_argument("--check", action="store_true", help="exit 1 when a median ratio misses its target")
    parser.add_argument("--only", help="run only shapes whose name contains this text")
    args = parser.parse_args(argv)
    rounds = max(args.rounds, 11)
    # The collector's pauses depend on how many objects each side happens to
    # allocate between two collections: noise, not conversion speed.
    gc.disable()
    big, small = shapes()
    if args.only:
        big = [s for s in big if args.only in s[0]]
        small = [s for s in small if args.only in s[0]]
    sort = orjson.OPT_SORT_KEYS
    misses = []
    print(f"orjson {orjson.__version__}, Python {sys.version.split()[0]}, {rounds} rounds, median of per-round ratios")

    print("write: with_param vs orjson.dumps(sort_keys)")
    for name, value, target, _ in big:
        config = ModelConfig("bench", "1.0.0")
        result = compare(lambda: config.with_param("v", value), lambda: orjson.dumps(value, option=sort), rounds)
        report(name, result, target, misses)
    for name, value in small:
        config = ModelConfig("bench", "1.0.0")
        result = compare(lambda: config.with_param("v", value), lambda: orjson.dumps(value, option=sort), rounds)
        report(name, result, 1.5, misses)

    print("read: params vs orjson.loads")
    for name, value, _, target in big:
        holder = ModelConfig("bench", "1.0.0").with_param("v", value)
        encoded = orjson.dumps({"v": value}, option=sort)
        result = compare(lambda: holder.params, lambda: orjson.loads(encoded), rounds)
        report(name, result, target, misses)

    if misses:
        print(f"missed: {', '.join(misses)}")
    if args.check and misses:
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
