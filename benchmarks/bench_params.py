"""Parameter conversion speed against orjson, measured in the same run.

    .venv/bin/python benchmarks/bench_params.py

Targets: with_param of a nested value of about 1 MB of JSON within 1.5x of
orjson.dumps(value, option=OPT_SORT_KEYS); params of it within 1.5x of
orjson.loads of that JSON.
"""

import random
import string
import timeit

import orjson

from tessarin import ModelConfig


def make_value(rng, target_bytes):
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


def best_pair(a, b, number, repeat=15):
    """Best times of two statements measured alternately, so that both see
    the same machine load on a noisy machine."""
    ta, tb = [], []
    for _ in range(repeat):
        ta.append(timeit.timeit(a, number=number) / number)
        tb.append(timeit.timeit(b, number=number) / number)
    return min(ta), min(tb)


def main():
    rng = random.Random(1)
    value = make_value(rng, 1_000_000)
    encoded = orjson.dumps(value, option=orjson.OPT_SORT_KEYS)
    print(f"value: {len(encoded) / 1e6:.2f} MB of JSON")
    config = ModelConfig("bench", "1.0.0")

    t_dumps, t_with = best_pair(
        lambda: orjson.dumps(value, option=orjson.OPT_SORT_KEYS), lambda: config.with_param("v", value), 10
    )
    holder = ModelConfig("bench", "1.0.0").with_param("v", value)
    t_loads, t_params = best_pair(lambda: orjson.loads(encoded), lambda: holder.params, 10)

    print(f"orjson.dumps(sort_keys): {t_dumps * 1e3:8.3f} ms")
    print(f"with_param:              {t_with * 1e3:8.3f} ms   ratio {t_with / t_dumps:5.2f} (target <= 1.5)")
    print(f"orjson.loads:            {t_loads * 1e3:8.3f} ms")
    print(f"params:                  {t_params * 1e3:8.3f} ms   ratio {t_params / t_loads:5.2f} (target <= 1.5)")


if __name__ == "__main__":
    main()
