"""The monotonic sequence through every function that draws from it: the
pinned millisecond continued, the batch counts, and the end of the timestamp
range."""

from __future__ import annotations

import sys
import uuid
from itertools import pairwise

import pytest
from testkit import (
    CANONICAL,
    FUNCTIONS,
    MAX_COUNTER,
    MAX_MS,
    OVERFLOW_MESSAGE,
    Index,
    LyingInt,
    fields,
    values_of,
)

OVERFLOW = f"^{OVERFLOW_MESSAGE}$"

# The batch functions, each with what every item of its result must be, given the module.
BATCHES = {
    "uuid7_str_many": lambda m, item: type(item) is str and CANONICAL.fullmatch(item),
    "uuid7_bytes_many": lambda m, item: type(item) is bytes,
    "uuid7_obj_many": lambda m, item: type(item) is m.UUID7Obj,
    "uuid7_many": lambda m, item: type(item) is uuid.UUID and item.is_safe is uuid.SafeUUID.unknown,
}

# Every function that reads the clock, making one identifier, called on the module.
CLOCK_DRIVEN = {
    "generate_uuid7": lambda m: m.generate_uuid7(),
    "generate_uuid7_bytes": lambda m: m.generate_uuid7_bytes(),
    "generate_uuid7_int": lambda m: m.generate_uuid7_int(),
    "uuid7_obj": lambda m: m.uuid7_obj(),
    "uuid7": lambda m: m.uuid7(),
    **{name: lambda m, name=name: getattr(m, name)(1) for name in BATCHES},
}

# ... and with them the hook that takes its timestamp as an argument.
SEQUENCE = {
    **CLOCK_DRIVEN,
    "hook at 0": lambda m: m._generate_uuid7_bytes_for_tests(0),
    "hook at the last millisecond": lambda m: m._generate_uuid7_bytes_for_tests(MAX_MS),
}


@pytest.fixture(autouse=True)
def configured(fast_path):
    fast_path(uuid.UUID, uuid.SafeUUID.unknown)


def items_of(name: str, result: object) -> list:
    if name == "uuid7_bytes_many":
        assert type(result) is bytes and len(result) % 16 == 0
        return [result[i : i + 16] for i in range(0, len(result), 16)]
    assert type(result) is list
    return result


@pytest.mark.parametrize("name", CLOCK_DRIVEN)
def test_clock_driven_calls_continue_a_pinned_millisecond(vorndal, name, pinned):
    pinned.pin(900)
    (value,) = values_of(CLOCK_DRIVEN[name](vorndal))
    assert fields(value)[:2] == (pinned.timestamp, 901)
    assert pinned.next_counter() == 902


# --------------------------------------------------------------------------
# Batches
# --------------------------------------------------------------------------


@pytest.mark.parametrize("count", [1, 3, 257, 1000])
@pytest.mark.parametrize("name", BATCHES)
def test_batch_gives_count_increasing_identifiers(vorndal, name, count):
    result = getattr(vorndal, name)(count)
    items = items_of(name, result)
    assert len(items) == count
    assert all(BATCHES[name](vorndal, item) for item in items)
    assert all(a < b for a, b in pairwise(items))
    assert len(set(items)) == count
    values = values_of(result)
    for value in values:
        fields(value)  # version and variant
    assert all(a < b for a, b in pairwise(values))


@pytest.mark.parametrize("name", BATCHES)
def test_batch_items_are_consecutive(vorndal, name, pinned):
    pinned.pin(100)
    values = values_of(getattr(vorndal, name)(4))
    assert [fields(value)[:2] for value in values] == [(pinned.timestamp, c) for c in range(101, 105)]
    assert pinned.next_counter() == 105


@pytest.mark.parametrize("name", BATCHES)
def test_batch_of_zero_is_new_and_empty_and_generates_nothing(vorndal, name, pinned):
    pinned.pin(7)
    first, second = getattr(vorndal, name)(0), getattr(vorndal, name)(0)
    assert items_of(name, first) == items_of(name, second) == []
    if type(first) is list:
        assert first is not second
    assert pinned.next_counter() == 8


@pytest.mark.parametrize(
    ("count", "length"),
    [(3, 3), (LyingInt(3), 3), (Index(2), 2), (True, 1), (False, 0)],
    ids=["int", "int subclass", "__index__", "True", "False"],
)
@pytest.mark.parametrize("name", BATCHES)
def test_batch_counts_accept_what_the_integer_format_accepts(vorndal, name, count, length):
    assert len(items_of(name, getattr(vorndal, name)(count))) == length


# --------------------------------------------------------------------------
# Refused calls generate nothing
# --------------------------------------------------------------------------


def own_words(native: str, python: str) -> dict[str, str]:
    """A refusal that each implementation's argument handling words its own
    way: the C argument parser's text, or the Python interpreter's."""
    return {"native": native, "python": python}


# Either one-argument function called with none or two.
OTHER_ARGUMENT_COUNTS = [
    (
        (),
        TypeError,
        own_words(r"takes exactly 1 argument \(0 given\)", "missing 1 required positional argument"),
    ),
    (
        (1, 2),
        TypeError,
        own_words(r"takes exactly 1 argument \(2 given\)", "takes 1 positional argument but 2"),
    ),
]
# ... and the hook, which counts its arguments itself.
HOOK_ARGUMENT_COUNTS = [
    ((), TypeError, r"takes exactly 1 argument \(0 given\)"),
    ((1, 2), TypeError, r"takes exactly 1 argument \(2 given\)"),
]

BAD_COUNTS = [
    *OTHER_ARGUMENT_COUNTS,
    ((-1,), ValueError, "^count must be non-negative$"),
    ((-(2**40),), ValueError, "^count must be non-negative$"),
    ((1.5,), TypeError, "cannot be interpreted as an integer"),
    (("3",), TypeError, "cannot be interpreted as an integer"),
    ((None,), TypeError, "cannot be interpreted as an integer"),
    ((2**63,), OverflowError, "too large to convert to C ssize_t"),
    ((-(2**63) - 1,), OverflowError, "too large to convert to C ssize_t"),
]

BAD_HOOK_TIMESTAMPS = [
    *HOOK_ARGUMENT_COUNTS,
    # Reduced modulo 2**64, a negative value arrives as a huge one.
    *(((ms,), OverflowError, OVERFLOW) for ms in (2**48, 2**63, 2**64 - 1, -1, -(2**16))),
    ((1.5,), TypeError, "^argument 1 must be int, not float$"),
    (("5",), TypeError, "^argument 1 must be int, not str$"),
    ((None,), TypeError, "^argument 1 must be int, not None$"),
]

NO_ARGUMENT = ["uuid7", "uuid7_obj", "generate_uuid7", "generate_uuid7_bytes", "generate_uuid7_int"]
TAKES_NO_ARGUMENTS = own_words("takes no arguments", "takes 0 positional arguments but 1 was given")
TAKES_ONE_ARGUMENT = {
    (): own_words("takes exactly one argument", "missing 1 required positional argument"),
    (1, 2): own_words("takes exactly one argument", "takes 1 positional argument but 2 were given"),
}
TAKES_NO_KEYWORDS = own_words(
    "takes no keyword arguments",
    "got (an unexpected keyword argument"
    "|some positional-only arguments passed as keyword arguments:) 'count'",
)

REFUSED = [
    *(
        pytest.param(name, args, {}, error, message, id=f"{name}{args}")
        for name in BATCHES
        for args, error, message in BAD_COUNTS
    ),
    *(
        pytest.param("_generate_uuid7_bytes_for_tests", args, {}, error, message, id=f"hook{args}")
        for args, error, message in BAD_HOOK_TIMESTAMPS
    ),
    *(
        pytest.param(name, (1,), {}, TypeError, TAKES_NO_ARGUMENTS, id=f"{name}(1)")
        for name in [*NO_ARGUMENT, "_reset_state_for_tests"]
    ),
    *(
        pytest.param(name, args, {}, TypeError, TAKES_ONE_ARGUMENT[args], id=f"{name}{args}")
        for name in ["_uuid7_at_many", "_generate_uuid7_at_bytes"]
        for args in [(), (1, 2)]
    ),
    # Refused before the handler runs.
    *(
        pytest.param(name, (), {"count": 1}, TypeError, TAKES_NO_KEYWORDS, id=f"{name}(count=1)")
        for name in sorted(FUNCTIONS)
    ),
]


@pytest.mark.parametrize(("name", "args", "keywords", "error", "message"), REFUSED)
def test_refused_calls_generate_nothing(
    implementation, vorndal, name, args, keywords, error, message, pinned
):
    pinned.pin(5)
    if isinstance(message, dict):
        message = message[implementation]
    with pytest.raises(error, match=message):
        getattr(vorndal, name)(*args, **keywords)
    assert pinned.next_counter() == 6


# Refused by its size before any allocation, or by the allocator: 2**50 slots
# of 8 bytes lie beyond any process's address space, whatever the system's
# overcommit policy.
@pytest.mark.parametrize("count", [2**50, sys.maxsize // 8 + 1, sys.maxsize])
@pytest.mark.parametrize("name", BATCHES)
def test_batch_refuses_a_count_too_large_for_memory(vorndal, name, count, pinned):
    pinned.pin(5)
    with pytest.raises(MemoryError, match=f"^not enough memory for {count} identifiers$") as caught:
        getattr(vorndal, name)(count)
    # One exception: the allocator's own, if any, is not left behind it.
    assert caught.value.__context__ is None and caught.value.__cause__ is None
    assert pinned.next_counter() == 6


# --------------------------------------------------------------------------
# The end of the timestamp range
# --------------------------------------------------------------------------


@pytest.mark.parametrize("name", SEQUENCE)
def test_end_of_range_holds_until_reset(vorndal, name):
    vorndal._set_state_for_tests(MAX_MS, MAX_COUNTER)
    for _ in range(2):
        with pytest.raises(OverflowError, match=OVERFLOW):
            SEQUENCE[name](vorndal)
    # The failures changed nothing: every other function fails too.
    for call in SEQUENCE.values():
        with pytest.raises(OverflowError, match=OVERFLOW):
            call(vorndal)
    # Independent identifiers are outside the sequence and still work.
    assert vorndal._generate_uuid7_at_bytes(MAX_MS)[:6] == b"\xff" * 6
    vorndal._reset_state_for_tests()
    for call in SEQUENCE.values():
        for value in values_of(call(vorndal)):
            fields(value)


@pytest.mark.parametrize("name", SEQUENCE)
def test_last_identifier_then_the_end(vorndal, name):
    vorndal._set_state_for_tests(MAX_MS, MAX_COUNTER - 1)
    (value,) = values_of(SEQUENCE[name](vorndal))
    assert fields(value)[:2] == (MAX_MS, MAX_COUNTER)
    with pytest.raises(OverflowError, match=OVERFLOW):
        SEQUENCE[name](vorndal)


@pytest.mark.parametrize("name", BATCHES)
def test_batch_fails_whole_when_a_later_item_fails(vorndal, name):
    vorndal._set_state_for_tests(MAX_MS, MAX_COUNTER - 1)
    with pytest.raises(OverflowError, match=OVERFLOW):
        getattr(vorndal, name)(2)
    # Its first item was generated and consumed: not even one more fits now.
    with pytest.raises(OverflowError, match=OVERFLOW):
        getattr(vorndal, name)(1)
