"""Helpers shared by the stress tests."""

from __future__ import annotations

import os
import time

MAX_TS = (1 << 48) - 1
MAX_COUNTER = (1 << 42) - 1
FUTURE_TS = MAX_TS - 10**9  # far ahead of any clock: clock-driven calls count on from it

OVERFLOW_MESSAGE = "UUIDv7 timestamp exceeds 48 bits"


def scale(count: int, minimum: int = 1) -> int:
    """count scaled by TEMBREL_STRESS_SCALE (the sanitizer and valgrind runs use less)."""
    factor = float(os.environ.get("TEMBREL_STRESS_SCALE", "1"))
    return max(minimum, int(count * factor))


def fields(value: bytes | int) -> tuple[int, int, int]:
    """(timestamp, counter, tail) of a monotonic identifier, checking version and variant."""
    if isinstance(value, bytes):
        assert len(value) == 16
        value = int.from_bytes(value, "big")
    assert (value >> 76) & 0xF == 7, hex(value)
    assert (value >> 62) & 0b11 == 0b10, hex(value)
    timestamp = value >> 80
    counter = (((value >> 64) & 0xFFF) << 30) | ((value >> 32) & 0x3FFFFFFF)
    return timestamp, counter, value & 0xFFFFFFFF


def now_ms() -> int:
    return time.time_ns() // 1_000_000


def urandom_descriptors(pid: int | str = "self") -> list[int]:
    """Descriptors of a process that refer to /dev/urandom."""
    found = []
    base = f"/proc/{pid}/fd"
    for name in os.listdir(base):
        try:
            if os.readlink(os.path.join(base, name)) == "/dev/urandom":
                found.append(int(name))
        except OSError:
            pass
    return found
