"""The test and timestamp hooks: _reset_state_for_tests, _set_state_for_tests,
_generate_uuid7_bytes_for_tests and _generate_uuid7_at_bytes."""

from __future__ import annotations

import enum
import uuid

import pytest
from testkit import MAX_COUNTER, MAX_MS, OVERFLOW_MESSAGE, Index, decode

pytestmark = pytest.mark.usefixtures("reset_generator")

OVERFLOW = f"^{OVERFLOW_MESSAGE}$"
STATE_WIDTH = "^state exceeds timestamp or counter width$"


@pytest.fixture
def set_state(vorndal):
    return vorndal._set_state_for_tests


@pytest.fixture
def at_time(vorndal):
    """The monotonic hook: the next identifier at a given timestamp."""
    return vorndal._generate_uuid7_bytes_for_tests


@pytest.fixture
def independent(vorndal):
    return vorndal._generate_uuid7_at_bytes


class Millis(enum.IntEnum):
    SOME = 4242


def test_hooks_return_none(vorndal, set_state):
    assert vorndal._reset_state_for_tests() is None
    assert set_state(1, 1) is None


# --------------------------------------------------------------------------
# The monotonic step at a chosen timestamp
# --------------------------------------------------------------------------


@pytest.mark.parametrize("timestamp", [1000, 999, 0], ids=["same", "earlier", "much-earlier"])
def test_counter_increments_at_the_stored_timestamp(set_state, at_time, timestamp):
    set_state(1000, 7)
    parts = decode(at_time(timestamp))
    assert (parts.timestamp, parts.counter, parts.version, parts.variant) == (1000, 8, 7, 2)
    assert decode(at_time(timestamp)).counter == 9


def test_counter_reads_back_from_both_words(set_state, at_time):
    # 42 bits spread over the 12 low bits of high and 30 bits of low.
    counter = 0b1010_0110_1001 << 30 | 0b10_0101_1010_0110_1001_0110_1001_0110
    set_state(5, counter - 1)
    data = at_time(5)
    assert decode(data).counter == counter
    assert int.from_bytes(data[6:8], "big") == 0x7000 | (counter >> 30)
    assert int.from_bytes(data[8:12], "big") == 0x80000000 | (counter & 0x3FFFFFFF)


def test_tails_are_fresh_random_bits(set_state, at_time):
    set_state(1000, 0)
    tails = {decode(at_time(1000)).tail for _ in range(200)}
    assert len(tails) > 190


def test_later_timestamp_draws_a_new_counter(set_state, at_time):
    counters = []
    for _ in range(50):
        set_state(1000, MAX_COUNTER - 1)
        parts = decode(at_time(1001))
        assert parts.timestamp == 1001
        counters.append(parts.counter)
    # The seed is 42 random bits: not the stored counter plus one.
    assert len(set(counters)) > 45
    assert MAX_COUNTER not in counters


def test_counter_wrap_moves_one_millisecond_ahead(set_state, at_time):
    set_state(1000, MAX_COUNTER)
    first = decode(at_time(1000))
    assert first.timestamp == 1001
    second = decode(at_time(1000))
    assert second.timestamp == 1001
    if first.counter < MAX_COUNTER:
        assert second.counter == first.counter + 1
    else:
        assert second.timestamp == 1002


def test_reset_forgets_the_stored_timestamp(vorndal, at_time):
    at_time(5000)
    vorndal._reset_state_for_tests()
    assert decode(at_time(5)).timestamp == 5


def test_timestamp_zero_in_a_fresh_state(vorndal, at_time):
    vorndal._reset_state_for_tests()
    assert at_time(0)[:6] == bytes(6)


def test_end_of_range_can_be_left_by_setting_the_state(set_state, at_time):
    set_state(MAX_MS, MAX_COUNTER)
    with pytest.raises(OverflowError):
        at_time(MAX_MS)
    set_state(MAX_MS, 0)
    assert decode(at_time(MAX_MS)).counter == 1


@pytest.mark.parametrize(
    ("argument", "timestamp"),
    [(2**64 + 5, 5), (2**128 + 77, 77), (True, 1), (False, 0), (Index(31), 31), (Millis.SOME, 4242)],
    ids=["2**64+5", "2**128+77", "True", "False", "__index__", "IntEnum"],
)
def test_monotonic_hook_takes_any_integer_modulo_2_64(vorndal, at_time, argument, timestamp):
    vorndal._reset_state_for_tests()
    assert decode(at_time(argument)).timestamp == timestamp


# --------------------------------------------------------------------------
# _set_state_for_tests
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("arguments", "timestamp", "counter"),
    [
        ((MAX_MS, MAX_COUNTER - 1), MAX_MS, MAX_COUNTER),
        ((2**64 + 5, 0), 5, 1),
        ((7, 2**64 + 3), 7, 4),
        ((True, True), 1, 2),
        ((Index(9), Index(10)), 9, 11),
        ((Millis.SOME, 0), 4242, 1),
    ],
    ids=["largest", "timestamp-mod-2**64", "counter-mod-2**64", "bools", "__index__", "IntEnum"],
)
def test_set_state_accepts_and_reduces_modulo_2_64(set_state, at_time, arguments, timestamp, counter):
    set_state(*arguments)
    parts = decode(at_time(0))
    assert (parts.timestamp, parts.counter) == (timestamp, counter)


def test_set_state_accepts_the_very_end_of_the_range(set_state, at_time):
    assert set_state(MAX_MS, MAX_COUNTER) is None
    with pytest.raises(OverflowError, match=OVERFLOW):
        at_time(0)


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ((2**48, 0), ValueError, STATE_WIDTH),
        ((0, 2**42), ValueError, STATE_WIDTH),
        ((-1, 0), ValueError, STATE_WIDTH),
        ((0, -1), ValueError, STATE_WIDTH),
        ((2**64 - 1, 2**64 - 1), ValueError, STATE_WIDTH),
        ((2**48 + 2**64, 0), ValueError, STATE_WIDTH),
        ((1,), TypeError, r"takes exactly 2 arguments \(1 given\)"),
        ((1, 2, 3), TypeError, r"takes exactly 2 arguments \(3 given\)"),
        ((), TypeError, r"takes exactly 2 arguments \(0 given\)"),
        ((1.5, 0), TypeError, "^argument 1 must be int, not float$"),
        ((0, 1.5), TypeError, "^argument 2 must be int, not float$"),
        (("1", 0), TypeError, "^argument 1 must be int, not str$"),
        ((0, None), TypeError, "^argument 2 must be int, not None$"),
    ],
    ids=[
        "timestamp-2**48",
        "counter-2**42",
        "timestamp-minus-1",
        "counter-minus-1",
        "both-max",
        "wrapped-2**48",
        "one",
        "three",
        "none",
        "float-timestamp",
        "float-counter",
        "str",
        "None",
    ],
)
def test_set_state_refuses_and_keeps_the_state(set_state, at_time, arguments, error, message):
    set_state(1234, 56)
    with pytest.raises(error, match=message):
        set_state(*arguments)
    parts = decode(at_time(0))
    assert (parts.timestamp, parts.counter) == (1234, 57)


# --------------------------------------------------------------------------
# _generate_uuid7_at_bytes
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("argument", "timestamp"),
    [(0, 0), (1, 1), (True, 1), (False, 0), (MAX_MS, MAX_MS), (Millis.SOME, 4242), (2**47 + 3, 2**47 + 3)],
    ids=["0", "1", "True", "False", "last", "IntEnum", "2**47+3"],
)
def test_independent_identifier_carries_its_timestamp(independent, argument, timestamp):
    data = independent(argument)
    assert type(data) is bytes
    parts = decode(data)
    assert (parts.timestamp, parts.version, parts.variant) == (timestamp, 7, 2)


def test_independent_identifier_at_the_last_millisecond(independent):
    assert independent(MAX_MS)[:6] == b"\xff" * 6


def test_bool_is_refused_by_the_batch_sibling(vorndal, independent):
    assert independent(True)[:6] == (1).to_bytes(6, "big")
    with pytest.raises(TypeError, match=r"^unix_ms\[0\] must be an integer number of Unix milliseconds$"):
        vorndal._uuid7_at_many([True])


def test_independent_identifiers_have_74_random_bits(independent):
    values = [int.from_bytes(independent(99), "big") for _ in range(300)]
    assert len(set(values)) == 300
    rand_a = {(v >> 64) & 0xFFF for v in values}
    rand_b = {v & (2**62 - 1) for v in values}
    assert len(rand_a) > 250 and len(rand_b) == 300


@pytest.mark.parametrize("timestamp", [2**48, 2**63, 2**64 - 1], ids=["2**48", "2**63", "2**64-1"])
def test_independent_above_48_bits_gets_our_overflow(independent, timestamp):
    with pytest.raises(OverflowError, match=OVERFLOW):
        independent(timestamp)


@pytest.mark.parametrize("timestamp", [-1, 2**64, -(2**70), 2**100], ids=["-1", "2**64", "-2**70", "2**100"])
def test_independent_outside_64_bits_gets_the_interpreters_overflow(independent, timestamp):
    with pytest.raises(OverflowError) as caught:
        independent(timestamp)
    assert str(caught.value) != OVERFLOW
    assert str(caught.value) in {"can't convert negative int to unsigned", "int too big to convert"}


@pytest.mark.parametrize(
    "argument", [1.0, "5", None, Index(5), b"\x05"], ids=["float", "str", "None", "__index__", "bytes"]
)
def test_independent_refuses_non_integers(independent, argument):
    with pytest.raises(TypeError, match="an integer is required"):
        independent(argument)


def test_independent_identifiers_leave_the_sequence_undisturbed(vorndal, independent, pinned, fast_path):
    fast_path(uuid.UUID, None)
    pinned.pin(70)
    assert pinned.next_counter() == 71
    for timestamp in (0, pinned.timestamp, pinned.timestamp + 1, MAX_MS):
        independent(timestamp)
    vorndal._uuid7_at_many([pinned.timestamp + 5] * 10)
    for bad in (2**48, -1):
        with pytest.raises(OverflowError):
            independent(bad)
    assert pinned.next_counter() == 72


# --------------------------------------------------------------------------
# Every hook's identifier has the version and variant bits
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda m: m._generate_uuid7_bytes_for_tests(0),
        lambda m: m._generate_uuid7_bytes_for_tests(MAX_MS),
        lambda m: m._generate_uuid7_at_bytes(0),
        lambda m: m._generate_uuid7_at_bytes(MAX_MS),
    ],
    ids=["monotonic-0", "monotonic-last", "independent-0", "independent-last"],
)
def test_hook_results_have_version_and_variant(vorndal, make):
    for _ in range(20):
        data = make(vorndal)
        assert len(data) == 16
        assert data[6] >> 4 == 7
        assert data[8] >> 6 == 0b10
