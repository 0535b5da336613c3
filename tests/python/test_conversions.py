"""Conversions between the forms of a UUID, and timestamps as ints or datetimes."""

from __future__ import annotations

import array
import datetime as dt
import enum
import uuid

import pytest
import tembrel
from testkit import MAX_MS, LyingInt

KNOWN = uuid.UUID("018f2b3c-4d5e-7abc-8123-456789abcdef")
KNOWN_MS = 1714417323358
KNOWN_WHEN = dt.datetime(2024, 4, 29, 19, 2, 3, 358999, tzinfo=dt.UTC)


def words(u: uuid.UUID) -> array.array[int]:
    """The 16 bytes of ``u`` as an array of two 8-byte items."""
    items = array.array("Q")
    items.frombytes(u.bytes)
    return items


class Millis(enum.IntEnum):
    KNOWN = KNOWN_MS


# --------------------------------------------------------------------------
# as_uuid, time_ms, datetime_of: every form of a UUID
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "form",
    [
        str(KNOWN),
        "{" + str(KNOWN).upper() + "}",
        KNOWN.urn,
        KNOWN.hex,
        KNOWN.bytes,
        bytearray(KNOWN.bytes),
        memoryview(KNOWN.bytes),
        words(KNOWN),  # 2 items, 16 bytes
        memoryview(words(KNOWN)),
        memoryview(KNOWN.bytes * 2)[16:],
        KNOWN.int,
        LyingInt(KNOWN.int),
    ],
    ids=lambda form: type(form).__name__,
)
def test_every_form_converts_to_the_same_uuid(form: tembrel.UUIDLike) -> None:
    converted = tembrel.as_uuid(form)
    assert type(converted) is uuid.UUID and converted == KNOWN
    assert tembrel.time_ms(form) == KNOWN_MS


def test_as_uuid_returns_a_uuid_as_is_and_converts_compact_ones() -> None:
    u4 = uuid.uuid4()
    assert tembrel.as_uuid(u4) is u4  # any version
    compact = tembrel.uuid7_compact()
    converted = tembrel.as_uuid(compact)
    assert type(converted) is uuid.UUID and converted.int == compact.int and str(converted) == str(compact)
    assert tembrel.as_uuid(0) == uuid.UUID(int=0) and tembrel.as_uuid(2**128 - 1) == uuid.UUID(int=2**128 - 1)


@pytest.mark.parametrize(
    ("value", "error", "message"),
    [
        (array.array("Q", [1, 2, 3]), ValueError, "16 bytes, not 24"),  # 3 items, 24 bytes
        (memoryview(array.array("Q", [1])), ValueError, "16 bytes, not 8"),
        (memoryview(KNOWN.bytes * 2)[::2], ValueError, "contiguous"),
        (b"short", ValueError, "16 bytes, not 5"),
        ("nope", ValueError, "not a UUID: 'nope'"),
        (-1, ValueError, "2\\*\\*128 - 1"),
        (2**128, ValueError, "2\\*\\*128 - 1"),
        (True, TypeError, "not bool"),
        (1.0, TypeError, "not float"),
        (None, TypeError, "not NoneType"),
        ([0] * 16, TypeError, "not list"),
    ],
)
def test_what_is_no_uuid_is_refused_alike(value: object, error: type[Exception], message: str) -> None:
    for convert in (tembrel.as_uuid, tembrel.time_ms, tembrel.datetime_of):
        with pytest.raises(error, match=message):
            convert(value)  # type: ignore[arg-type]


def test_datetime_of_names_the_limit_of_datetime() -> None:
    last = dt.datetime(9999, 12, 31, 23, 59, 59, 999000, tzinfo=dt.UTC) - dt.datetime(
        1970, 1, 1, tzinfo=dt.UTC
    )
    last_ms = last // dt.timedelta(milliseconds=1)
    assert tembrel.datetime_of(tembrel.uuid7_min(last_ms)).year == 9999
    for ms in (last_ms + 1, MAX_MS):
        with pytest.raises(ValueError, match="9999-12-31"):
            tembrel.datetime_of(tembrel.uuid7_max(ms))
        assert tembrel.time_ms(tembrel.uuid7_max(ms)) == ms


# --------------------------------------------------------------------------
# Timestamps: int, int subclass or aware datetime, the same everywhere
# --------------------------------------------------------------------------

TIMESTAMP_TAKERS = [
    lambda at: tembrel.time_ms(tembrel.uuid7_at(at)),
    lambda at: tembrel.time_ms(tembrel.uuid7_at_many([at])[0]),
    lambda at: tembrel.time_ms(tembrel.uuid7_min(at)),
    lambda at: tembrel.time_ms(tembrel.uuid7_max(at)),
]


@pytest.mark.parametrize(
    "take", TIMESTAMP_TAKERS, ids=["uuid7_at", "uuid7_at_many", "uuid7_min", "uuid7_max"]
)
@pytest.mark.parametrize(
    ("at", "expected"),
    [
        (KNOWN_MS, KNOWN_MS),
        (LyingInt(KNOWN_MS), KNOWN_MS),  # its value, not __int__ or __index__
        (Millis.KNOWN, KNOWN_MS),
        (KNOWN_WHEN, KNOWN_MS),  # microseconds dropped
        (KNOWN_WHEN.astimezone(dt.timezone(dt.timedelta(hours=-7))), KNOWN_MS),
        (dt.datetime(1970, 1, 1, tzinfo=dt.UTC), 0),
        (MAX_MS, MAX_MS),
    ],
)
def test_every_timestamp_taker_reads_a_timestamp_alike(take, at: tembrel._Timestamp, expected: int) -> None:  # type: ignore[no-untyped-def]
    assert take(at) == expected


@pytest.mark.parametrize(
    "take", TIMESTAMP_TAKERS, ids=["uuid7_at", "uuid7_at_many", "uuid7_min", "uuid7_max"]
)
@pytest.mark.parametrize(
    ("at", "error"),
    [
        (True, TypeError),
        (1.0, TypeError),
        ("5", ValueError),  # not ISO 8601
        ("2024-01-01T00:00", ValueError),  # ISO 8601 without a zone
        (b"5", TypeError),
        (-1, ValueError),
        (2**48, ValueError),
        (2**64, ValueError),
        (dt.datetime(2024, 1, 1), ValueError),  # naive
        (dt.datetime(1969, 12, 31, 23, 59, 59, 999999, tzinfo=dt.UTC), ValueError),
        (dt.date(2024, 1, 1), TypeError),
    ],
)
def test_every_timestamp_taker_refuses_alike(take, at: object, error: type[Exception]) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(error):
        take(at)


def test_uuid7_at_many_mixes_ints_and_datetimes_and_names_bad_indexes() -> None:
    mixed: list[int | dt.datetime] = [0, KNOWN_WHEN, Millis.KNOWN, MAX_MS]
    made = tembrel.uuid7_at_many(iter(mixed))
    assert [tembrel.time_ms(u) for u in made] == [0, KNOWN_MS, KNOWN_MS, MAX_MS]
    cases = [
        ([KNOWN_WHEN, 5, 6.0], TypeError, r"^unix_ms\[2\] must be an integer"),
        ([5, 6.0, KNOWN_WHEN], TypeError, r"^unix_ms\[1\] must be an integer"),
        ([5, dt.datetime(2024, 1, 1)], ValueError, r"^unix_ms\[1\] is a naive datetime"),
        ([KNOWN_WHEN, -1], ValueError, r"^unix_ms\[1\] must be between 0 and 2\*\*48 - 1$"),
        ([KNOWN_WHEN, dt.datetime(1, 1, 1, tzinfo=dt.UTC)], ValueError, r"^unix_ms\[1\] must be between"),
    ]
    for timestamps, error, message in cases:
        with pytest.raises(error, match=message):
            tembrel.uuid7_at_many(timestamps)  # type: ignore[arg-type]
