"""Bytes and integer encodings: generate_uuid7_bytes, generate_uuid7_int,
uuid7_bytes_many, and the 128-bit integer conversion."""

from __future__ import annotations

import sys
from itertools import pairwise

import pytest
from tembrel.tembrel_impl import vorndal

pytestmark = pytest.mark.usefixtures("reset_generator")

OVERFLOW = "UUIDv7 timestamp exceeds 48 bits"


def assert_layout(data: bytes) -> None:
    assert len(data) == 16
    assert data[6] >> 4 == 0x7
    assert data[8] >> 6 == 0b10


def test_generate_uuid7_bytes_layout(decode):
    data = vorndal.generate_uuid7_bytes()
    assert type(data) is bytes
    assert_layout(data)
    # The clock gives a timestamp of these years, not one of the pinned ones.
    assert 2**40 <= decode(data).timestamp < 2**47


def test_generate_uuid7_int_range_and_bits():
    value = vorndal.generate_uuid7_int()
    assert type(value) is int
    assert 2**120 <= value < 2**128  # any timestamp from 2**40 ms on
    assert (value >> 76) & 0xF == 7
    assert (value >> 63) & 1 == 1
    assert (value >> 62) & 1 == 0
    assert_layout(value.to_bytes(16, "big"))


def test_bytes_and_ints_follow_the_pinned_state(pinned, decode):
    pinned.pin(2**41)
    data = vorndal.generate_uuid7_bytes()
    value = vorndal.generate_uuid7_int()
    parts = decode(data)
    assert (parts.timestamp, parts.counter) == (pinned.timestamp, 2**41 + 1)
    parts = decode(value.to_bytes(16, "big"))
    assert (parts.timestamp, parts.counter) == (pinned.timestamp, 2**41 + 2)
    assert pinned.next_counter() == 2**41 + 3


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
def test_integer_conversion_of_words(value, make_obj):
    obj = make_obj(value >> 64, value & (2**64 - 1))
    assert obj.int == value
    assert int(obj) == value
    assert obj.int == int.from_bytes(obj.bytes, "big")


# --------------------------------------------------------------------------
# uuid7_bytes_many
# --------------------------------------------------------------------------


@pytest.mark.parametrize("count", [1, 3, 300, 1000])
def test_uuid7_bytes_many_is_contiguous_and_increasing(count):
    data = vorndal.uuid7_bytes_many(count)
    assert type(data) is bytes
    assert len(data) == 16 * count
    slices = [data[16 * i : 16 * i + 16] for i in range(count)]
    for piece in slices:
        assert_layout(piece)
    assert all(a < b for a, b in pairwise(slices))


def test_uuid7_bytes_many_consecutive_counters(pinned, decode):
    pinned.pin(100)
    data = vorndal.uuid7_bytes_many(4)
    parts = [decode(data[i : i + 16]) for i in range(0, 64, 16)]
    assert [p.timestamp for p in parts] == [pinned.timestamp] * 4
    assert [p.counter for p in parts] == [101, 102, 103, 104]
    assert pinned.next_counter() == 105


def test_uuid7_bytes_many_zero_is_empty_and_generates_nothing(pinned):
    pinned.pin(7)
    assert vorndal.uuid7_bytes_many(0) == b""
    assert pinned.next_counter() == 8


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((-1,), ValueError, "^count must be non-negative$"),
        ((), TypeError, r"takes exactly 1 argument \(0 given\)"),
        (("1",), TypeError, "cannot be interpreted as an integer"),
        ((2**63,), OverflowError, "too large to convert to C ssize_t"),
    ],
)
def test_uuid7_bytes_many_bad_counts(args, error, message, pinned):
    pinned.pin(7)
    with pytest.raises(error, match=message):
        vorndal.uuid7_bytes_many(*args)
    assert pinned.next_counter() == 8


@pytest.mark.parametrize("count", [2**59, sys.maxsize])
def test_uuid7_bytes_many_refuses_a_length_beyond_the_size_range(count, pinned):
    pinned.pin(7)
    with pytest.raises(MemoryError) as caught:
        vorndal.uuid7_bytes_many(count)
    # Our own refusal (a bare MemoryError), made before any allocation.
    assert caught.value.args == ()
    assert pinned.next_counter() == 8


def test_uuid7_bytes_many_largest_count_reaches_the_allocator():
    # One below the limit the length 16 * n still fits and the request goes to
    # the allocator, which refuses it on its own terms.
    with pytest.raises(OverflowError, match="byte string is too large"):
        vorndal.uuid7_bytes_many(2**59 - 1)


# --------------------------------------------------------------------------
# End of the timestamp range
# --------------------------------------------------------------------------

ENCODING_CALLS = [
    pytest.param(vorndal.generate_uuid7_bytes, (), id="generate_uuid7_bytes"),
    pytest.param(vorndal.generate_uuid7_int, (), id="generate_uuid7_int"),
    pytest.param(vorndal.uuid7_bytes_many, (1,), id="uuid7_bytes_many"),
]


@pytest.mark.parametrize(("function", "args"), ENCODING_CALLS)
def test_encodings_fail_at_the_end_of_the_range(function, args):
    vorndal._set_state_for_tests(2**48 - 1, 2**42 - 1)
    for _ in range(2):
        with pytest.raises(OverflowError, match=f"^{OVERFLOW}$"):
            function(*args)
    vorndal._reset_state_for_tests()
    function(*args)


@pytest.mark.parametrize(("function", "args"), ENCODING_CALLS)
def test_encodings_give_the_last_identifier_then_fail(function, args):
    vorndal._set_state_for_tests(2**48 - 1, 2**42 - 2)
    result = function(*args)
    data = result if isinstance(result, bytes) else result.to_bytes(16, "big")
    assert data[:12] == bytes.fromhex("ffffffffffff7fffbfffffff")
    with pytest.raises(OverflowError, match=f"^{OVERFLOW}$"):
        function(*args)


def test_uuid7_bytes_many_fails_whole_when_a_later_item_fails():
    vorndal._set_state_for_tests(2**48 - 1, 2**42 - 2)
    with pytest.raises(OverflowError, match=f"^{OVERFLOW}$"):
        vorndal.uuid7_bytes_many(2)
    # Its first item was generated and consumed.
    with pytest.raises(OverflowError, match=f"^{OVERFLOW}$"):
        vorndal.generate_uuid7_bytes()
