"""Parameter conversion speed against orjson, shape by shape, in one run.

    .venv/bin/python benchmarks/bench_params.py [--rounds N] [--check] [--only NAME]
        [--mode alternating|back-to-back|memory|all] [--calls N] [--pairs N]
        [--clock cpu|wall]

Write direction: ``config.with_param("v", value)`` against
``orjson.dumps(value, option=orjson.OPT_SORT_KEYS)`` (both walk the whole
value, check every type and sort every dict's keys). Read direction:
``holder.params`` against ``orjson.loads`` of the same value's JSON (both
create every Python object anew).

Three modes; the first two have the same per-shape targets:

alternating
    The two sides of a shape are timed alternately in one process, in
    rounds, so that both see the same machine load; a shape reports the
    median of its per-round ratios.
back-to-back
    Each side runs in a fresh child process that builds the value, then
    calls its side ``--calls`` times in a row (21; at least 11), each result
    dropped by the time the next call ends. A pair of children gives the
    median call of the tessarin child over the median call of the orjson
    child; a shape reports the median of ``--pairs`` pairs (3). This is what
    a command-line tool or a fresh worker sees: glibc raises its allocation
    thresholds for good once a block over 128 KiB is freed, so a process's
    speed can depend on its history, and the alternating mode only ever sees
    the raised thresholds (orjson's output is such a block). The tessarin
    child checks that it has freed no such block before its first call; a
    ``*`` marks a shape whose value cannot be built without freeing one
    (CPython's own dict growth frees large tables). orjson's import already
    frees one. One-call shapes time batches of calls, as the alternating
    mode does.
memory
    400,000 layers of the realistic config (about 160 MB once converted)
    are converted, then freed, in a fresh process, the input alive
    throughout; the resident memory that stays is compared with its target.

Timings use the CPU time of the calling thread (``--clock cpu``), which
counts what the kernel does for it (page faults, system calls) but not the
time it waits for a processor: on a busy machine, the wall clock charges
the load to whichever side happens to be running, and in a median of single
calls mostly to the slower side (a call longer than a scheduler slice is
almost always interrupted, a shorter one seldom). ``--clock wall`` times by
the wall clock instead. The garbage collector is off while timing.
``--check`` exits with status 1 when any median misses its target. Ratios
move by a few percent between runs on a busy machine: ``--check`` is a tool
for a quiet machine, not a CI step.
"""

import argparse
import gc
import json
import os
import random
import statistics
import string
import subprocess
import sys
import time

N = 100_000


def realistic(rng, target_bytes, count=None):
    """A realistic nested configuration: layer lists of dicts of mixed scalars,
    about `target_bytes` of JSON, or `count` layers."""
    layers = []
    size = 0
    while size < target_bytes if count is None else len(layers) < count:
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
        if count is None:
            size += len(json.dumps(layer, separators=(",", ":")))
    return {"layers": layers, "optimizer": {"lr": 3e-4, "betas": [0.9, 0.999], "eps": 1e-8}}


def chains(count, depth):
    result = []
    for i in range(count):
        value = i
        for level in range(depth):
            value = [value] if level % 2 else {"k": value}
        result.append(value)
    return result


def shuffled_dict(rng):
    keys = [f"key_{i:06d}" for i in range(N)]
    rng.shuffle(keys)
    return {k: rng.randint(0, 999) for k in keys}


def short_strings(rng):
    return ["".join(rng.choices(string.ascii_letters, k=rng.randint(3, 12))) for _ in range(N)]


def non_ascii(rng):
    text = "modèle 模型 ŝtruktur ключ ε 😀 "
    return [text[rng.randint(0, 10) : rng.randint(11, 30)] for _ in range(N)]


# (name, value maker, write target, read target); about 100k items each. A
# maker gets a generator of its own, so that a child process can build one
# value alone, exactly as the parent does.
SHAPES = [
    ("ints", lambda rng: [rng.randint(0, 65535) for _ in range(N)], 1.05, 1.1),
    ("short strings", short_strings, 1.7, 1.15),
    ("bools / None", lambda rng: [rng.choice([True, False, None]) for _ in range(N)], 1.6, 1.1),
    ("2-element lists", lambda rng: [[rng.randint(0, 999), rng.randint(0, 999)] for _ in range(N // 2)], 1.6, 1.1),
    (
        "dicts of 8 ints",
        lambda rng: [{f"k{j}": rng.randint(0, 999) for j in range(8)} for _ in range(N // 9)],
        1.05,
        1.1,
    ),
    ("100k-key dict, shuffled", shuffled_dict, 1.35, 1.1),
    ("200 chains 100 deep", lambda rng: chains(200, 100), 1.55, 1.1),
    ("non-ASCII strings", non_ascii, 1.9, 1.5),
    ("realistic 1 MB", lambda rng: realistic(rng, 1_000_000), 1.0, 1.1),
]

NAMES = ["hidden", "heads", "layers", "ffn", "vocab", "max_len", "dropout_seed", "window"]
# (name, value) of the one-call shapes: write direction only, target 1.5.
SMALL = [
    ("one call: 768", 768),
    ("one call: 'gelu'", "gelu"),
    ("one call: [768, 3072]", [768, 3072]),
    ("one call: dict of 8 ints", {name: 64 * (i + 1) for i, name in enumerate(NAMES)}),
]
SMALL_TARGET = 1.5


def make(index):
    """The value of SHAPES[index]."""
    return SHAPES[index][1](random.Random(index + 1))


# The clock of every timing (--clock; the docstring says why CPU time).
CLOCKS = {"cpu": time.thread_time, "wall": time.perf_counter}
clock_name = "cpu"


def clock():
    return CLOCKS[clock_name]()


def per_call(fn, number):
    start = clock()
    for _ in range(number):
        fn()
    return (clock() - start) / number


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


def report(name, result, target, misses, mark=""):
    ratio, ours, peer = result
    unit, scale = ("us", 1e6) if peer < 1e-3 else ("ms", 1e3)
    missed = ratio > target
    if missed:
        misses.append(name)
    print(
        f"  {name + mark:28s} {ours * scale:9.3f} {unit}  vs {peer * scale:9.3f} {unit}"
        f"   ratio {ratio:5.2f}  target <= {target:4.2f}{'   MISSED' if missed else ''}"
    )


# ------------------------------------------------------------ back-to-back


def thresholds_untouched():
    """Whether glibc still maps a request just over 128 KiB by itself, which
    it stops doing for good once the process frees a mapped block (of up to
    32 MiB). None where that cannot be told (no glibc). The probe blocks are
    never freed: freeing one would move the threshold."""
    import ctypes

    class Info(ctypes.Structure):  # struct mallinfo2, whole: it is returned by value
        names = "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost"
        _fields_ = [(f, ctypes.c_size_t) for f in names.split()]

    try:
        libc = ctypes.CDLL(None)
        info = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    info.restype = Info
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]
    mapped = info().hblks
    # Several, since the top of the heap may serve one or two of them.
    for _ in range(8):
        libc.malloc(132 * 1024)
    return info().hblks > mapped


def timed_call(side, direction, value):
    """The call that a back-to-back child times."""
    if side == "tessarin":
        from tessarin import ModelConfig

        config = ModelConfig("bench", "1.0.0")
        if direction == "write":
            return lambda: config.with_param("v", value)
        holder = config.with_param("v", value)
        return lambda: holder.params
    import orjson

    if direction == "write":
        return lambda: orjson.dumps(value, option=orjson.OPT_SORT_KEYS)
    encoded = orjson.dumps({"v": value}, option=orjson.OPT_SORT_KEYS)
    return lambda: orjson.loads(encoded)


def child(side, direction, shape, calls):
    """One side of one shape in this fresh process: prints whether glibc's
    thresholds were untouched before the first call, and the median time of
    one call."""
    gc.disable()
    value = SMALL[int(shape[5:])][1] if shape.startswith("small") else make(int(shape))
    call = timed_call(side, direction, value)
    # orjson's import already moves them.
    untouched = thresholds_untouched() if side == "tessarin" else None
    # Each timing covers one call; a one-call shape's timing covers a batch
    # of calls long enough for the clock (the same count on both sides).
    number = 1 if not shape.startswith("small") else 2000
    times = []
    for _ in range(calls):
        start = clock()
        for _ in range(number):
            call()
        times.append((clock() - start) / number)
    print(json.dumps({"untouched": untouched, "median": statistics.median(times)}))


def run_child(side, direction, shape, calls):
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", side, direction, shape, "--calls", str(calls)]
        + ["--clock", clock_name],
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(out.stdout)


# ------------------------------------------------------------------- memory

MEMORY_LAYERS = 400_000  # about 160 MB once converted
MEMORY_TARGET = 32  # MiB still resident after the free


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child():
    """Converts a large value in this fresh process and frees it, the input
    alive throughout: prints the growth and what stays resident."""
    gc.disable()
    value = realistic(random.Random(1), 0, count=MEMORY_LAYERS)
    from tessarin import ModelConfig

    base = rss()
    held = ModelConfig("bench", "1.0.0").with_param("v", value)
    grown = rss() - base
    del held
    print(json.dumps({"grown": grown, "kept": rss() - base}))


def memory(misses):
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--memory-child"], capture_output=True, text=True, check=True
    )
    result = json.loads(out.stdout)
    grown, kept = result["grown"] / 2**20, result["kept"] / 2**20
    missed = kept > MEMORY_TARGET
    if missed:
        misses.append("memory")
    print("== memory: a large value converted, then freed, in a fresh process ==")
    print(
        f"  {MEMORY_LAYERS:,} realistic layers: +{grown:.0f} MiB while held, +{kept:.1f} MiB after the free"
        f"   target <= {MEMORY_TARGET} MiB{'   MISSED' if missed else ''}"
    )


# ------------------------------------------------------------------- main


def alternating(big, small, rounds, misses):
    import orjson

    from tessarin import ModelConfig

    # The collector's pauses depend on how many objects each side happens to
    # allocate between two collections: noise, not conversion speed.
    gc.disable()
    sort = orjson.OPT_SORT_KEYS
    values = {i: make(i) for i, _ in big}
    print("== alternating: both sides in this process ==")
    print("write: with_param vs orjson.dumps(sort_keys)")
    for i, (name, _, target, _) in big:
        config, value = ModelConfig("bench", "1.0.0"), values[i]
        result = compare(lambda: config.with_param("v", value), lambda: orjson.dumps(value, option=sort), rounds)
        report(name, result, target, misses)
    for _, (name, value) in small:
        config = ModelConfig("bench", "1.0.0")
        result = compare(lambda: config.with_param("v", value), lambda: orjson.dumps(value, option=sort), rounds)
        report(name, result, SMALL_TARGET, misses)
    print("read: params vs orjson.loads")
    for i, (name, _, _, target) in big:
        holder = ModelConfig("bench", "1.0.0").with_param("v", values[i])
        encoded = orjson.dumps({"v": values[i]}, option=sort)
        result = compare(lambda: holder.params, lambda: orjson.loads(encoded), rounds)
        report(name, result, target, misses)
    gc.enable()


def back_to_back(big, small, calls, pairs, misses):
    def both(direction, shape):
        # The two children of a pair run one after the other, so the load of
        # the machine may change between them: several pairs, in alternating
        # order, and the median pair.
        results = []
        for p in range(pairs):
            sides = ["tessarin", "orjson"][:: -1 if p % 2 else 1]
            got = {side: run_child(side, direction, shape, calls) for side in sides}
            ours, peer = got["tessarin"], got["orjson"]
            results.append((ours["median"] / peer["median"], ours["median"], peer["median"], ours["untouched"]))
        ratio, t_ours, t_peer, untouched = sorted(results)[len(results) // 2]
        return (ratio, t_ours, t_peer), " *" if untouched is False else ""

    print("== back-to-back: each side in a fresh process ==")
    print("write: with_param vs orjson.dumps(sort_keys)")
    for i, (name, _, target, _) in big:
        result, mark = both("write", str(i))
        report(name, result, target, misses, mark)
    for i, (name, _) in small:
        result, mark = both("write", f"small{i}")
        report(name, result, SMALL_TARGET, misses, mark)
    print("read: params vs orjson.loads")
    for i, (name, _, _, target) in big:
        result, mark = both("read", str(i))
        report(name, result, target, misses, mark)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=11, help="alternating rounds per shape (at least 11)")
    parser.add_argument("--calls", type=int, default=21, help="calls per back-to-back child (at least 11)")
    parser.add_argument("--check", action="store_true", help="exit 1 when a median ratio misses its target")
    parser.add_argument("--only", help="run only shapes whose name contains this text")
    parser.add_argument("--mode", choices=["alternating", "back-to-back", "memory", "all"], default="all")
    parser.add_argument("--pairs", type=int, default=3, help="pairs of children per back-to-back shape")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu", help="what timings measure (cpu)")
    parser.add_argument("--child", nargs=3, metavar=("SIDE", "DIRECTION", "SHAPE"), help=argparse.SUPPRESS)
    parser.add_argument("--memory-child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    rounds = max(args.rounds, 11)
    global clock_name
    clock_name = args.clock
    calls = max(args.calls, 11)
    if args.child:
        child(*args.child, calls)
        return 0
    if args.memory_child:
        memory_child()
        return 0
    import orjson

    big = [(i, s) for i, s in enumerate(SHAPES) if not args.only or args.only in s[0]]
    small = [(i, s) for i, s in enumerate(SMALL) if not args.only or args.only in s[0]]
    misses = []
    print(
        f"orjson {orjson.__version__}, Python {sys.version.split()[0]}, {rounds} rounds, {calls} calls"
        f" per child, {args.clock} clock, median ratios"
    )
    if args.mode in ("alternating", "all"):
        alternating(big, small, rounds, misses)
    if args.mode in ("back-to-back", "all"):
        back_to_back(big, small, calls, max(args.pairs, 1), misses)
    if args.mode in ("memory", "all") and not args.only:
        memory(misses)
    if misses:
        print(f"missed: {', '.join(misses)}")
    if args.check and misses:
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
