"""Randomness sanity over a million identifiers: every random bit is set about
half the time, and no identifier repeats."""

from __future__ import annotations

import math

import pytest
from testkit import scale

np = pytest.importorskip("numpy")

SIGMAS = 6


def assert_balanced(bits, what):
    """bits: an (n, k) array of 0/1; each column set with frequency 1/2 within 6 sigma."""
    n = bits.shape[0]
    bound = SIGMAS * math.sqrt(n) / 2
    ones = bits.sum(axis=0)
    off = [(i, int(c)) for i, c in enumerate(ones) if abs(int(c) - n / 2) > bound]
    assert not off, f"{what}: bits (position, ones of {n}) outside {SIGMAS} sigma: {off}"


def unpack(words, width):
    """Bit i (from the least significant) of every value, as columns."""
    return np.stack([(words >> np.uint64(i)) & np.uint64(1) for i in range(width)], axis=1)


def as_words(data):
    array = np.frombuffer(data, dtype=">u8").reshape(-1, 2).astype(np.uint64)
    return array[:, 0], array[:, 1]


def test_tail_bits_and_uniqueness(vorndal):
    n = scale(1_000_000, minimum=40_000)
    data = vorndal.uuid7_bytes_many(n)
    high, low = as_words(data)
    assert_balanced(unpack(low & np.uint64(0xFFFFFFFF), 32), "random tail")
    assert len({data[i : i + 16] for i in range(0, len(data), 16)}) == n


def test_counter_seed_bits(vorndal):
    # Each identifier at a new millisecond carries a freshly seeded counter.
    n = scale(1_000_000, minimum=40_000)
    data = b"".join(vorndal._generate_uuid7_bytes_for_tests(t) for t in range(1, n + 1))
    high, low = as_words(data)
    assert np.array_equal(high >> np.uint64(16), np.arange(1, n + 1, dtype=np.uint64))
    counters = ((high & np.uint64(0xFFF)) << np.uint64(30)) | ((low >> np.uint64(32)) & np.uint64(0x3FFFFFFF))
    assert_balanced(unpack(counters, 42), "counter seed")
    assert_balanced(unpack(low & np.uint64(0xFFFFFFFF), 32), "random tail after a seed")
    assert len(set(data[i : i + 16] for i in range(0, len(data), 16))) == n


def test_independent_bits(vorndal):
    n = scale(1_000_000, minimum=40_000)
    data = b"".join(vorndal._generate_uuid7_at_bytes(12345) for _ in range(n))
    high, low = as_words(data)
    assert np.all(high >> np.uint64(16) == np.uint64(12345))
    assert np.all(((high >> np.uint64(12)) & np.uint64(0xF)) == np.uint64(7))
    assert np.all((low >> np.uint64(62)) == np.uint64(0b10))
    assert_balanced(unpack(high & np.uint64(0xFFF), 12), "independent rand_a")
    assert_balanced(unpack(low & np.uint64(0x3FFFFFFFFFFFFFFF), 62), "independent rand_b")
    assert len(set(data[i : i + 16] for i in range(0, len(data), 16))) == n
