"""Bytes and integer encodings: generate_uuid7_bytes, generate_uuid7_int,
uuid7_bytes_many's size limit, and the 128-bit integer conversion.  (What
every generating function shares: test_module_sequence.py.)"""

from __future__ import annotations

import sys

import pytest
import testkit
from testkit import decode, fields, make_obj

pytestmark = pytest.mark.usefixtures("reset_generator")


def test_generate_uuid7_bytes_layout(vorndal):
    data = vorndal.generate_uuid7_bytes()
    assert type(data) is bytes and len(data) == 16
    assert data[6] >> 4 == 0x7
    assert data[8] >> 6 == 0b10
    # The clock gives a timestamp of these years, not one of the pinned ones.
    assert 2**40 <= decode(data).timestamp < 2**47


def test_generate_uuid7_int_range_and_bits(vorndal):
    value = vorndal.generate_uuid7_int()
    assert type(value) is int
    assert 2**120 <= value < 2**128  # any timestamp from 2**40 ms on
    assert (value >> 76) & 0xF == 7
    assert (value >> 63) & 1 == 1
    assert (value >> 62) & 1 == 0
    fields(value)


# The 128-bit conversion at digit boundaries of the interpreter's 30-bit layout.
@pytest.mark.parametrize(
    "value",
    [
        0,
        1,
        2**30 - 1,
        2**30,
        2**60 - 1,
        2**60,
        2**64 - 1,
        2**64,
        2**90,
        2**120 - 1,
        2**120,
        2**127,
        2**128 - 1,
        0x018F2B3C4D5E7ABC8123456789ABCDEF,
    ],
)
def test_integer_conversion_of_words(vorndal, value):
    obj = make_obj(vorndal, value >> 64, value & (2**64 - 1))
    assert obj.int == value
    assert int(obj) == value
    assert obj.int == int.from_bytes(obj.bytes, "big")


@pytest.mark.parametrize("count", [2**59, sys.maxsize])
def test_uuid7_bytes_many_refuses_a_length_beyond_the_size_range(vorndal, count, pinned):
    pinned.pin(7)
    with pytest.raises(MemoryError) as caught:
        vorndal.uuid7_bytes_many(count)
    # Our own refusal, made before any allocation.
    assert caught.value.args == (f"not enough memory for {count} identifiers",)
    assert pinned.next_counter() == 8


def test_uuid7_bytes_many_largest_count_reaches_the_allocator(vorndal):
    # One below the limit the length 16 * n still fits and the request goes to
    # the allocator, which refuses it on its own terms (PyPy's with a bare MemoryError).
    refusal = (OverflowError, "byte string is too large") if testkit.CPYTHON else (MemoryError, None)
    with pytest.raises(refusal[0], match=refusal[1]):
        vorndal.uuid7_bytes_many(2**59 - 1)
