"""The module frame (function table, exported symbols) and canonical text."""

from __future__ import annotations

import re
import shutil
import subprocess
import sys
import types
from itertools import pairwise

import pytest
from tembrel.tembrel_impl import vorndal

pytestmark = pytest.mark.usefixtures("reset_generator")

OVERFLOW = "UUIDv7 timestamp exceeds 48 bits"
CANONICAL = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-7[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")

FUNCTIONS = {
    "_uuid7_at_many": "Generate independent UUID v7 objects after validating all timestamps",
    "_generate_uuid7_at_bytes": "Generate independent UUID v7 bytes at a Unix millisecond timestamp",
    "_set_state_for_tests": "Set timestamp and counter for deterministic boundary tests",
    "uuid7": "Generate a UUID v7 uuid.UUID object",
    "uuid7_obj": "Generate a compact native UUID v7 object",
    "uuid7_many": "Generate UUID v7 objects in one call",
    "uuid7_obj_many": "Generate compact native UUID v7 objects in one call",
    "uuid7_str_many": "Generate UUID v7 strings in one call",
    "uuid7_bytes_many": "Generate contiguous UUID v7 bytes in one call",
    "_configure_uuid7": "Configure the UUID v7 object fast path",
    "generate_uuid7": "Generate a UUID v7 string",
    "generate_uuid7_bytes": "Generate UUID v7 bytes",
    "generate_uuid7_int": "Generate a UUID v7 integer",
    "_generate_uuid7_bytes_for_tests": "Generate UUID v7 bytes for a specific timestamp",
    "_reset_state_for_tests": "Reset UUID v7 generator state",
}

CORE_SYMBOLS = {
    "generate_uuid7_bytes",
    "generate_uuid7_bytes_for_timestamp",
    "generate_uuid7_at_bytes",
    "generate_uuid7_at_words",
    "generate_uuid7_words",
    "reset_uuid7_state",
    "set_uuid7_state_for_tests",
}

NO_ARGUMENT_FUNCTIONS = [
    "uuid7",
    "uuid7_obj",
    "generate_uuid7",
    "generate_uuid7_bytes",
    "generate_uuid7_int",
    "_reset_state_for_tests",
]


# --------------------------------------------------------------------------
# The function table and the module object
# --------------------------------------------------------------------------


def test_module_offers_exactly_the_fifteen_functions_and_the_type():
    public = {name for name in vars(vorndal) if not name.startswith("__")}
    assert public == set(FUNCTIONS) | {"UUID7Obj"}
    assert vorndal.UUID7Obj is type(vorndal.uuid7_obj())
    assert isinstance(vorndal.UUID7Obj, type)


def test_module_has_no_docstring():
    assert vorndal.__doc__ is None


@pytest.mark.parametrize(("name", "doc"), sorted(FUNCTIONS.items()))
def test_function_is_a_builtin_with_its_docstring(name, doc):
    function = getattr(vorndal, name)
    assert type(function) is types.BuiltinFunctionType
    assert function.__doc__ == doc
    assert function.__self__ is vorndal


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_no_function_accepts_keyword_arguments(name, pinned):
    pinned.pin(10)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        getattr(vorndal, name)(count=1)
    # Refused before the handler ran: nothing was generated.
    assert pinned.next_counter() == 11


@pytest.mark.parametrize("name", NO_ARGUMENT_FUNCTIONS)
def test_no_argument_functions_refuse_an_argument(name, pinned):
    pinned.pin(10)
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(vorndal, name)(1)
    assert pinned.next_counter() == 11


@pytest.mark.parametrize("name", ["_uuid7_at_many", "_generate_uuid7_at_bytes"])
@pytest.mark.parametrize("args", [(), (1, 2)])
def test_one_argument_functions_refuse_other_argument_counts(name, args):
    with pytest.raises(TypeError, match=r"takes exactly one argument"):
        getattr(vorndal, name)(*args)


def test_shared_object_exports_only_the_init_function_and_the_core():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", vorndal.__file__],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    symbols = {line.split()[-1] for line in listing.splitlines() if line.strip()}
    assert symbols == CORE_SYMBOLS | {"PyInit_vorndal"}


# --------------------------------------------------------------------------
# Canonical text
# --------------------------------------------------------------------------


def test_generate_uuid7_is_canonical_compact_ascii_text():
    text = vorndal.generate_uuid7()
    assert type(text) is str
    assert CANONICAL.fullmatch(text), text
    assert [i for i, c in enumerate(text) if c == "-"] == [8, 13, 18, 23]
    # A compact ASCII string of one byte per character, exactly like a literal.
    assert sys.getsizeof(text) == sys.getsizeof("x" * 36)


def test_text_shows_the_bytes_in_order_high_nibble_first(decode):
    # With a pinned state the first twelve bytes are known: timestamp
    # 0x123456789ABC and the counter one above the pinned one.
    vorndal._set_state_for_tests(0x123456789ABC, 0x2345ABCDEF0)
    text = vorndal.generate_uuid7()
    assert text.startswith("12345678-9abc-7")
    parts = decode(bytes.fromhex(text.replace("-", "")))
    assert (parts.timestamp, parts.version, parts.variant) == (0x123456789ABC, 7, 2)
    assert parts.counter == 0x2345ABCDEF1


def test_successive_strings_strictly_increase():
    texts = [vorndal.generate_uuid7() for _ in range(2000)]
    assert all(a < b for a, b in pairwise(texts))


def test_strings_share_the_sequence_with_the_other_shapes():
    values = []
    for _ in range(200):
        values.append(int(vorndal.generate_uuid7().replace("-", ""), 16))
        values.append(int.from_bytes(vorndal.generate_uuid7_bytes(), "big"))
        values.append(vorndal.generate_uuid7_int())
        values.append(vorndal.uuid7_obj().int)
        values.extend(int(t.replace("-", ""), 16) for t in vorndal.uuid7_str_many(3))
    assert all(a < b for a, b in pairwise(values))


def test_clock_driven_text_continues_a_pinned_millisecond(pinned):
    pinned.pin(41)
    text = vorndal.generate_uuid7()
    assert int(text[:8] + text[9:13], 16) == pinned.timestamp
    assert pinned.next_counter() == 43


# --------------------------------------------------------------------------
# uuid7_str_many
# --------------------------------------------------------------------------


@pytest.mark.parametrize("count", [1, 3, 257, 1000])
def test_uuid7_str_many_gives_count_increasing_canonical_strings(count):
    texts = vorndal.uuid7_str_many(count)
    assert type(texts) is list
    assert len(texts) == count
    assert all(type(t) is str and CANONICAL.fullmatch(t) for t in texts)
    assert all(a < b for a, b in pairwise(texts))


def test_uuid7_str_many_zero_gives_a_new_empty_list_and_generates_nothing(pinned):
    pinned.pin(5)
    first = vorndal.uuid7_str_many(0)
    second = vorndal.uuid7_str_many(0)
    assert first == [] and second == []
    assert first is not second
    assert pinned.next_counter() == 6


class Two:
    def __index__(self):
        return 2


@pytest.mark.parametrize(("count", "length"), [(True, 1), (False, 0), (Two(), 2)])
def test_uuid7_str_many_takes_any_integer_index(count, length):
    assert len(vorndal.uuid7_str_many(count)) == length


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((-1,), ValueError, "^count must be non-negative$"),
        ((-(2**40),), ValueError, "^count must be non-negative$"),
        ((), TypeError, r"takes exactly 1 argument \(0 given\)"),
        ((1, 2), TypeError, r"takes exactly 1 argument \(2 given\)"),
        ((1.5,), TypeError, "cannot be interpreted as an integer"),
        (("3",), TypeError, "cannot be interpreted as an integer"),
        ((None,), TypeError, "cannot be interpreted as an integer"),
        ((2**63,), OverflowError, "too large to convert to C ssize_t"),
        ((-(2**63) - 1,), OverflowError, "too large to convert to C ssize_t"),
    ],
)
def test_uuid7_str_many_bad_counts(args, error, message, pinned):
    pinned.pin(5)
    with pytest.raises(error, match=message):
        vorndal.uuid7_str_many(*args)
    assert pinned.next_counter() == 6


@pytest.mark.parametrize("count", [sys.maxsize // 8 + 1, sys.maxsize])
def test_uuid7_str_many_count_too_large_for_a_list(count, pinned):
    pinned.pin(5)
    with pytest.raises(MemoryError):
        vorndal.uuid7_str_many(count)
    assert pinned.next_counter() == 6


# --------------------------------------------------------------------------
# End of the timestamp range
# --------------------------------------------------------------------------


def test_generate_uuid7_fails_at_the_end_of_the_range():
    vorndal._set_state_for_tests(2**48 - 1, 2**42 - 1)
    for _ in range(2):
        with pytest.raises(OverflowError, match=f"^{OVERFLOW}$"):
            vorndal.generate_uuid7()
    vorndal._reset_state_for_tests()
    assert CANONICAL.fullmatch(vorndal.generate_uuid7())


def test_generate_uuid7_gives_the_last_identifier_then_fails():
    vorndal._set_state_for_tests(2**48 - 1, 2**42 - 2)
    assert vorndal.generate_uuid7().startswith("ffffffff-ffff-7fff-bfff-ffff")
    with pytest.raises(OverflowError, match=f"^{OVERFLOW}$"):
        vorndal.generate_uuid7()


def test_uuid7_str_many_fails_whole_when_a_later_item_fails():
    vorndal._set_state_for_tests(2**48 - 1, 2**42 - 2)
    with pytest.raises(OverflowError, match=f"^{OVERFLOW}$"):
        vorndal.uuid7_str_many(2)
    # The first item was generated and lost: not even one more fits now.
    with pytest.raises(OverflowError, match=f"^{OVERFLOW}$"):
        vorndal.uuid7_str_many(1)
