"""Trace sink speed, measured against plain Python in the same run.

    .venv/bin/python benchmarks/bench_trace.py

Targets: sink.record(event) at most 3x list.append(event); events() of
100,000 events at most as costly per event as constructing one
TraceEvent(id, message) from Python; len() of a million-event sink as cheap
as len() of an empty one.
"""

import timeit

from tessarin import InMemoryTraceSink, TraceEvent, TraceLevel


def best(stmt, number, repeat=7, setup=None):
    times = []
    for _ in range(repeat):
        if setup is not None:
            setup()
        times.append(timeit.timeit(stmt, number=number))
    return min(times) / number


def main():
    event = TraceEvent("stage.validation.start", "Starting stage: validation", TraceLevel.Debug)
    n = 200_000

    state = {}

    def fresh():
        state["list"] = []
        state["sink"] = InMemoryTraceSink()

    def appends():
        append = state["list"].append
        for _ in range(n):
            append(event)

    def records():
        record = state["sink"].record
        for _ in range(n):
            record(event)

    # Interleaved, so that both sides see the same machine load.
    t_append = t_record = float("inf")
    for _ in range(9):
        fresh()
        t_append = min(t_append, timeit.timeit(appends, number=1) / n)
        t_record = min(t_record, timeit.timeit(records, number=1) / n)
    print(f"list.append(event):     {t_append * 1e9:7.1f} ns")
    print(f"sink.record(event):     {t_record * 1e9:7.1f} ns   ratio {t_record / t_append:5.2f} (target <= 3)")

    full = InMemoryTraceSink()
    for i in range(100_000):
        full.record(TraceEvent(f"stage.{i}", "computed graph hash"))
    t_events = best(full.events, 1) / 100_000
    t_new = best(lambda: TraceEvent("stage.hashing", "computed graph hash"), 100_000)
    print(f"TraceEvent(id, message): {t_new * 1e9:6.1f} ns")
    print(f"events() per event:     {t_events * 1e9:7.1f} ns   ratio {t_events / t_new:5.2f} (target <= 1)")

    huge = InMemoryTraceSink()
    record = huge.record
    for _ in range(1_000_000):
        record(event)
    empty = InMemoryTraceSink()
    t_len_huge = t_len_empty = float("inf")
    for _ in range(9):
        t_len_huge = min(t_len_huge, timeit.timeit(lambda: len(huge), number=100_000) / 100_000)
        t_len_empty = min(t_len_empty, timeit.timeit(lambda: len(empty), number=100_000) / 100_000)
    print(f"len(), empty sink:      {t_len_empty * 1e9:7.1f} ns")
    print(f"len(), 1,000,000 events: {t_len_huge * 1e9:6.1f} ns   ratio {t_len_huge / t_len_empty:5.2f} (target ~1)")


if __name__ == "__main__":
    main()
