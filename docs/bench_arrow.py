"""How long an Arrow array of n new UUIDv7s takes: tembrel.arrow against a list of uuid.UUID;
and how long reading back the timestamps of n identifiers takes, against a Python loop.

    tools/devenv python docs/bench_arrow.py [--rounds R] [N ...]

The candidates run interleaved, one after another in every round, and each
figure is the minimum over the rounds: on a shared, noisy machine the
minimum is the run least disturbed.  Every result is released inside the
round.
"""

from __future__ import annotations

import argparse
import gc
import time
import tracemalloc
import uuid
from collections.abc import Callable

import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
import tembrel
from tembrel.arrow import datetime_of, time_ms, uuid7_array, uuid7_min, uuid_array_from_bytes

FROM_LIST = "pa.array(tembrel.uuid7_many(n), pa.uuid())"


def candidates(n: int, ready: list[uuid.UUID], batch: bytes) -> dict[str, Callable[[], object]]:
    stamps = time_ms(batch)
    return {
        "tembrel.arrow.uuid7_array(n)": lambda: uuid7_array(n),
        FROM_LIST: lambda: pa.array(tembrel.uuid7_many(n), pa.uuid()),
        "  of which pa.array(list_of_uuid, pa.uuid())": lambda: pa.array(ready, pa.uuid()),
        "  uuid_array_from_bytes(batch) (the view alone)": lambda: uuid_array_from_bytes(batch),
        "read back: tembrel.arrow.time_ms(batch)": lambda: time_ms(batch),
        "read back: tembrel.arrow.datetime_of(batch)": lambda: datetime_of(batch),
        "read back: [tembrel.time_ms(u) for u in list_of_uuid]": lambda: [tembrel.time_ms(u) for u in ready],
        "bounds: tembrel.arrow.uuid7_min(ms)": lambda: uuid7_min(stamps),
    }


def peak_python_bytes(run: Callable[[], object]) -> int:
    """Peak of the memory Python allocates while making (and holding) one result."""
    tracemalloc.start()
    try:
        result = run()
        peak = tracemalloc.get_traced_memory()[1]
        del result
    finally:
        tracemalloc.stop()
    return peak


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sizes", nargs="*", type=int, default=[1_000, 100_000, 1_000_000])
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    print(f"pyarrow {pa.__version__}, min of {args.rounds} interleaved rounds, ns per identifier")
    for n in args.sizes:
        ready = tembrel.uuid7_many(n)
        runs = candidates(n, ready, tembrel.uuid7_bytes_many(n))
        best = dict.fromkeys(runs, float("inf"))
        repeat = max(1, 100_000 // n)
        gc.disable()
        try:
            for _ in range(args.rounds):
                for name, run in runs.items():
                    start = time.perf_counter_ns()
                    for _ in range(repeat):
                        run()
                    best[name] = min(best[name], (time.perf_counter_ns() - start) / (repeat * n))
                gc.collect()
        finally:
            gc.enable()
        base = best["tembrel.arrow.uuid7_array(n)"]
        print(f"n = {n:,}")
        for name, ns in best.items():
            print(f"  {name:54} {ns:8.1f}  {ns / base:5.2f}x")
        del ready, runs
        ours = peak_python_bytes(lambda n=n: uuid7_array(n))
        theirs = peak_python_bytes(lambda n=n: pa.array(tembrel.uuid7_many(n), pa.uuid()))
        print(
            f"  peak Python memory: uuid7_array {ours / n:.1f} B per id, "
            f"from the list {theirs / n:.1f} B per id"
        )


if __name__ == "__main__":
    main()
