"""Eight threads generating through every clock-driven function at once."""

from __future__ import annotations

import itertools
import threading

from stress_support import scale

THREADS = 8
BATCH = 64


def makers(v):
    """(name, call returning a list of 128-bit values) for every clock-driven function."""

    def from_text(text):
        return int(text.replace("-", ""), 16)

    def from_bytes_many(data):
        return [int.from_bytes(data[i : i + 16], "big") for i in range(0, len(data), 16)]

    return [
        ("generate_uuid7", lambda: [from_text(v.generate_uuid7())]),
        ("generate_uuid7_bytes", lambda: [int.from_bytes(v.generate_uuid7_bytes(), "big")]),
        ("generate_uuid7_int", lambda: [v.generate_uuid7_int()]),
        ("uuid7", lambda: [v.uuid7().int]),
        ("uuid7_obj", lambda: [v.uuid7_obj().int]),
        ("uuid7_str_many", lambda: [from_text(s) for s in v.uuid7_str_many(BATCH)]),
        ("uuid7_bytes_many", lambda: from_bytes_many(v.uuid7_bytes_many(BATCH))),
        ("uuid7_obj_many", lambda: [o.int for o in v.uuid7_obj_many(BATCH)]),
        ("uuid7_many", lambda: [u.int for u in v.uuid7_many(BATCH)]),
    ]


def test_threads_strictly_increasing_and_unique(v):
    total = scale(1_000_000, minimum=THREADS * 1000)
    per_thread = total // THREADS
    calls = makers(v)
    results: list[list[int]] = [[] for _ in range(THREADS)]
    errors: list[BaseException] = []
    start = threading.Barrier(THREADS)

    def work(index):
        try:
            out = results[index]
            # Every thread walks through all the functions, each from a
            # different starting point, so that all of them run side by side.
            cycle = itertools.cycle(calls[index % len(calls) :] + calls[: index % len(calls)])
            start.wait()
            while len(out) < per_thread:
                _, make = next(cycle)
                out.extend(make())
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    workers = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert not errors, errors

    everything = set()
    for index, out in enumerate(results):
        assert len(out) >= per_thread
        assert all(a < b for a, b in itertools.pairwise(out)), f"thread {index} went backwards"
        for value in out:
            assert (value >> 76) & 0xF == 7 and (value >> 62) & 0b11 == 0b10
        everything.update(out)
    count = sum(len(out) for out in results)
    assert len(everything) == count, "an identifier came out twice"
