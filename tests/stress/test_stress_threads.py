"""Eight threads generating through every clock-driven function at once."""

from __future__ import annotations

import itertools
import threading

from testkit import BATCHES, fields, run_threads, scale, values_of

THREADS = 8
BATCH = 64


def makers(vorndal):
    """(name, call) for every clock-driven function."""
    return [
        ("generate_uuid7", vorndal.generate_uuid7),
        ("generate_uuid7_bytes", vorndal.generate_uuid7_bytes),
        ("generate_uuid7_int", vorndal.generate_uuid7_int),
        ("uuid7", vorndal.uuid7),
        ("uuid7_obj", vorndal.uuid7_obj),
        *((name, lambda name=name: getattr(vorndal, name)(BATCH)) for name in BATCHES),
    ]


def test_threads_strictly_increasing_and_unique(vorndal):
    total = scale(1_000_000, minimum=THREADS * 1000)
    per_thread = total // THREADS
    calls = makers(vorndal)
    results: list[list[int]] = [[] for _ in range(THREADS)]
    start = threading.Barrier(THREADS)

    def work(index):
        out = results[index]
        # Every thread walks through all the functions, each from a
        # different starting point, so that all of them run side by side.
        cycle = itertools.cycle(calls[index % len(calls) :] + calls[: index % len(calls)])
        start.wait()
        while len(out) < per_thread:
            _, make = next(cycle)
            out.extend(values_of(make()))

    run_threads(work, THREADS)

    everything = set()
    for index, out in enumerate(results):
        assert len(out) >= per_thread
        assert all(a < b for a, b in itertools.pairwise(out)), f"thread {index} went backwards"
        for value in out:
            fields(value)  # version and variant
        everything.update(out)
    count = sum(len(out) for out in results)
    assert len(everything) == count, "an identifier came out twice"
