"""Shared fixtures for the tests of the extension module ``vorndal``."""

from __future__ import annotations

import ctypes
import sys
import uuid
from dataclasses import dataclass

import pytest
from tembrel.tembrel_impl import vorndal

# A millisecond far beyond any real clock (about the year 6429): once the state
# is pinned there, every clock-driven identifier continues that millisecond's
# counter, which makes the sequence readable from Python.
PINNED_MS = 2**47

HEADER_SIZE = 16  # reference count and type pointer of a non-free-threaded 64-bit build


@dataclass(frozen=True)
class Parts:
    """One identifier taken apart along its bit layout."""

    timestamp: int
    version: int
    variant: int
    counter: int
    tail: int


def decode_parts(data: bytes) -> Parts:
    assert len(data) == 16
    high = int.from_bytes(data[:8], "big")
    low = int.from_bytes(data[8:], "big")
    return Parts(
        timestamp=high >> 16,
        version=(high >> 12) & 0xF,
        variant=low >> 62,
        counter=((high & 0xFFF) << 30) | ((low >> 32) & 0x3FFFFFFF),
        tail=low & 0xFFFFFFFF,
    )


def make_uuid7obj(high: int, low: int) -> vorndal.UUID7Obj:
    """A UUID7Obj holding exactly the given words.

    Python cannot choose the words of an instance, so a fresh one is made and
    its two words, which follow the object header, are overwritten in place.
    """
    assert 0 <= high < 2**64 and 0 <= low < 2**64
    obj = vorndal.uuid7_obj()
    # The layout assumption: header, then high, then low, nothing else.
    assert sys.getsizeof(obj) == HEADER_SIZE + 16
    assert type(obj).__basicsize__ == HEADER_SIZE + 16
    high_word = ctypes.c_uint64.from_address(id(obj) + HEADER_SIZE)
    low_word = ctypes.c_uint64.from_address(id(obj) + HEADER_SIZE + 8)
    assert (high_word.value << 64) | low_word.value == obj.int
    high_word.value = high
    low_word.value = low
    return obj


@pytest.fixture(scope="session")
def make_obj():
    return make_uuid7obj


@pytest.fixture(scope="session")
def decode():
    return decode_parts


@pytest.fixture
def reset_generator():
    """Forget whatever state a test forced on the process-wide generator."""
    vorndal._reset_state_for_tests()
    yield
    vorndal._reset_state_for_tests()


class PinnedSequence:
    """Reads the monotonic sequence through its counter at ``PINNED_MS``."""

    timestamp = PINNED_MS

    def pin(self, counter: int) -> None:
        vorndal._set_state_for_tests(PINNED_MS, counter)

    def next_counter(self) -> int:
        """Counter of the next monotonic identifier (which this call consumes)."""
        parts = decode_parts(vorndal._generate_uuid7_bytes_for_tests(PINNED_MS))
        assert parts.timestamp == PINNED_MS
        return parts.counter


@pytest.fixture
def pinned(reset_generator):
    return PinnedSequence()


def _current_fast_path():
    try:
        sample = vorndal.uuid7()
    except RuntimeError:
        return None
    return type(sample), sample.is_safe


@pytest.fixture
def fast_path(reset_generator):
    """Lets a test configure the uuid.UUID fast path; the previous
    configuration (or the standard one, if there was none) is restored."""
    before = _current_fast_path()
    yield vorndal._configure_uuid7
    if before is None:
        before = (uuid.UUID, uuid.SafeUUID.unknown)
    vorndal._configure_uuid7(*before)
