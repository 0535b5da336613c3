"""Leaks: traced memory over repeated batches under any interpreter.  (Reference
counts and memory blocks under the debug interpreter: tests/faults/test_leaks.py.)"""

from __future__ import annotations

import gc

import pytest
from testkit import BATCHES, scale

tracemalloc = pytest.importorskip("tracemalloc")  # PyPy has none


@pytest.mark.parametrize("name", [*BATCHES, "_uuid7_at_many"])
def test_repeated_batches_do_not_grow_memory(vorndal, name):
    size = 10_000
    if name == "_uuid7_at_many":
        stamps = list(range(size))

        def call():
            return vorndal._uuid7_at_many(stamps)
    else:
        batch = getattr(vorndal, name)

        def call():
            return batch(size)

    rounds = scale(40, minimum=10)
    tracemalloc.start()
    try:
        for _ in range(3):
            call()
        gc.collect()
        base = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            result = call()
            del result
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    # One lost item per batch call would already add rounds * 40 bytes or
    # more; a lost item per identifier, or a lost batch, megabytes.
    assert growth < 1024, f"{name}: traced memory grew by {growth} bytes over {rounds} batches"
