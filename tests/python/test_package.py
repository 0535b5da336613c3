"""The package's public API: shapes, batches, timestamps, reading back, range bounds.  They test
whichever implementation the package binds (TEMBREL_PURE_PYTHON=1 makes it the Python one)."""

from __future__ import annotations

import copy
import datetime as dt
import inspect
import pickle
import pydoc
import uuid

import pytest
import tembrel
from testkit import decode

KNOWN = "018f2b3c-4d5e-7abc-8123-456789abcdef"
KNOWN_MS = 1714417323358


def as_int(value: object) -> int:
    if isinstance(value, bytes):
        return int.from_bytes(value)
    if isinstance(value, str):
        return uuid.UUID(value).int
    if isinstance(value, int):
        return value
    return value.int  # type: ignore[attr-defined]


@pytest.fixture
def vorndal():
    """The module the package binds, for the module's fixtures (pinned): these tests run once."""
    return tembrel._vorndal


SINGLES = [tembrel.uuid7, tembrel.uuid7_str, tembrel.uuid7_bytes, tembrel.uuid7_int, tembrel.uuid7_compact]
BATCHES = [tembrel.uuid7_many, tembrel.uuid7_str_many, tembrel.uuid7_int_many, tembrel.uuid7_compact_many]


@pytest.mark.parametrize("count", [3, 50])  # below and above where a batch stops making single calls
def test_all_shapes_share_one_increasing_sequence(count: int) -> None:
    values = [as_int(make()) for _ in range(3) for make in SINGLES]
    for batch in BATCHES:
        values.extend(as_int(v) for v in batch(count))
    blob = tembrel.uuid7_bytes_many(50)
    values.extend(int.from_bytes(blob[i : i + 16]) for i in range(0, len(blob), 16))
    assert values == sorted(values) and len(set(values)) == len(values)
    assert all(tembrel.time_ms(v) > 0 for v in values)


def test_uuid7_is_indistinguishable_from_a_constructed_uuid() -> None:
    u = tembrel.uuid7()
    twin = uuid.UUID(int=u.int)
    assert type(u) is uuid.UUID and u == twin and hash(u) == hash(twin)
    assert u.is_safe is twin.is_safe is uuid.SafeUUID.unknown
    assert u.version == 7 and u.variant == uuid.RFC_4122
    for clone in (pickle.loads(pickle.dumps(u)), copy.deepcopy(u), copy.copy(u), uuid.UUID(str(u))):
        assert clone == u and type(clone) is uuid.UUID
    assert str(u) == str(twin) and repr(u) == repr(twin) and f"{u}" == f"{twin}"


@pytest.mark.parametrize("count", [0, 1, 7])
def test_batches_have_the_requested_length(count: int) -> None:
    for batch in BATCHES:
        assert len(batch(count)) == count
    assert len(tembrel.uuid7_bytes_many(count)) == 16 * count


@pytest.mark.parametrize("batch", [*BATCHES, tembrel.uuid7_bytes_many])
def test_batches_reject_negative_counts(batch) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(ValueError, match="count must be non-negative"):
        batch(-1)


@pytest.mark.parametrize("batch", [*BATCHES, tembrel.uuid7_bytes_many])
def test_batch_counts_are_positional_only(batch) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(TypeError):
        batch(count=1)


def test_uuid7_at_many_converts_once_and_calls_the_module_once(monkeypatch: pytest.MonkeyPatch) -> None:
    calls: list[tuple[object, ...]] = []
    native = tembrel._vorndal._uuid7_at_many
    monkeypatch.setattr(tembrel._vorndal, "_uuid7_at_many", lambda ms: calls.append(ms) or native(ms))
    made = tembrel.uuid7_at_many(iter([5, dt.datetime(2024, 1, 1, tzinfo=dt.UTC), 7]))
    assert calls == [(5, 1704067200000, 7)] and tuple(tembrel.time_ms(u) for u in made) == calls[0]


FUNCTIONS = [name for name in tembrel.__all__ if inspect.isroutine(getattr(tembrel, name))]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_help_names_each_function_as_the_package_does(name: str) -> None:
    function = getattr(tembrel, name)
    assert (function.__module__, function.__qualname__) == ("tembrel", name)
    page = pydoc.render_doc(function, "%s", renderer=pydoc.plaintext)
    assert page.startswith(f"function {name} in module tembrel\n") or page.startswith(
        f"built-in function {name} in module tembrel\n"
    ), page
    assert f"\n{name}(" in page
    assert str(inspect.signature(function)).startswith("(")  # a ValueError where there is none
    # Whatever names a function by its module and name finds it there.
    assert pickle.loads(pickle.dumps(function)) is function


@pytest.mark.parametrize(
    "batch", [tembrel.uuid7_int_many, tembrel.uuid7_bytes_many, *BATCHES], ids=lambda f: f.__name__
)
def test_a_batch_too_large_for_memory_says_how_many(batch) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(MemoryError, match=f"^not enough memory for {2**50} identifiers$"):
        batch(2**50)


def test_compact_uuid_is_the_native_type() -> None:
    c = tembrel.uuid7_compact()
    # One name everywhere users see it (type(), help(), mypy, the docs); the former name stays.
    assert type(c) is tembrel.UUID7Obj is tembrel.CompactUUID and type(c).__name__ == "UUID7Obj"
    assert uuid.UUID(bytes=c.bytes).int == c.int and c != uuid.UUID(int=c.int)


def test_uuid7_at_carries_the_timestamp_and_leaves_the_sequence_alone() -> None:
    before = tembrel.uuid7_int()
    at = tembrel.uuid7_at(KNOWN_MS)
    assert type(at) is uuid.UUID and tembrel.time_ms(at) == KNOWN_MS and at.version == 7
    many = tembrel.uuid7_at_many(iter([0, 5, 2**48 - 1]))
    assert [tembrel.time_ms(u) for u in many] == [0, 5, 2**48 - 1]
    assert tembrel.uuid7_int() > before


@pytest.mark.parametrize(
    ("argument", "error", "message"),
    [
        (
            True,
            TypeError,
            r"^unix_ms must be an integer number of Unix milliseconds, an aware datetime or ISO 8601 text, "
            r"not bool$",
        ),
        (1.5, TypeError, r"^unix_ms must be an integer"),
        ("5", ValueError, r"^unix_ms is not an ISO 8601 time: '5'$"),
        ("2024-01-01T00:00", ValueError, r"^unix_ms has no time zone"),
        (-1, ValueError, r"^unix_ms must be between 0 and 2\*\*48 - 1$"),
        (2**48, ValueError, r"^unix_ms must be between 0 and 2\*\*48 - 1$"),
        (dt.datetime(2024, 1, 1), ValueError, r"^unix_ms is a naive datetime"),
        (
            dt.datetime(1969, 12, 31, 23, 59, 59, 999000, tzinfo=dt.UTC),
            ValueError,
            r"^unix_ms must be between",
        ),
    ],
)
def test_uuid7_at_validates(argument: object, error: type[Exception], message: str) -> None:
    with pytest.raises(error, match=message):
        tembrel.uuid7_at(argument)  # type: ignore[arg-type]


def test_uuid7_at_many_names_the_bad_index() -> None:
    with pytest.raises(TypeError, match=r"unix_ms\[2\]"):
        tembrel.uuid7_at_many([5, 6, 7.0])  # type: ignore[list-item]
    with pytest.raises(ValueError, match=r"^unix_ms\[1\] has no time zone"):
        tembrel.uuid7_at_many([5, "2024-01-01T00:00"])


@pytest.mark.parametrize("text", ["2024-04-29T19:02:03.358Z", "2024-04-29T21:02:03.358999+02:00"])
def test_timestamps_may_be_iso_8601_text_with_a_zone(text: str) -> None:
    assert tembrel.time_ms(tembrel.uuid7_at(text)) == KNOWN_MS
    assert [tembrel.time_ms(u) for u in tembrel.uuid7_at_many([text, 0])] == [KNOWN_MS, 0]
    assert tembrel.uuid7_min(text) == tembrel.uuid7_min(KNOWN_MS)


@pytest.mark.parametrize(
    "form",
    [
        KNOWN,
        KNOWN.upper(),
        "urn:uuid:" + KNOWN,
        KNOWN.replace("-", ""),
        uuid.UUID(KNOWN),
        uuid.UUID(KNOWN).bytes,
        bytearray(uuid.UUID(KNOWN).bytes),
        uuid.UUID(KNOWN).int,
    ],
)
def test_time_is_read_back_from_every_form(form: tembrel.UUIDLike) -> None:
    assert tembrel.time_ms(form) == KNOWN_MS
    assert tembrel.datetime_of(form) == dt.datetime(2024, 4, 29, 19, 2, 3, 358000, tzinfo=dt.UTC)


def test_time_is_read_back_from_a_compact_uuid() -> None:
    c = tembrel.uuid7_compact()
    assert tembrel.time_ms(c) == c.time
    assert tembrel.datetime_of(c).tzinfo is dt.UTC


@pytest.mark.parametrize(
    ("value", "error"),
    [
        (uuid.uuid4(), ValueError),
        (str(uuid.uuid1()), ValueError),
        ("not a uuid", ValueError),
        (b"short", ValueError),
        (uuid.UUID(KNOWN).int & ~(0b11 << 62), ValueError),  # version 7, wrong variant
        (-1, ValueError),
        (2**128, ValueError),
        (True, TypeError),
        (1.0, TypeError),
        (None, TypeError),
    ],
)
def test_time_rejects_what_is_not_a_uuid7(value: object, error: type[Exception]) -> None:
    with pytest.raises(error):
        tembrel.time_ms(value)  # type: ignore[arg-type]


def test_range_bounds_enclose_every_identifier_of_the_millisecond() -> None:
    inside = tembrel.uuid7_at_many([KNOWN_MS] * 200)
    lo, hi = tembrel.uuid7_min(KNOWN_MS), tembrel.uuid7_max(KNOWN_MS)
    assert all(lo <= u <= hi for u in inside)
    assert lo.version == hi.version == 7 and lo.variant == hi.variant == uuid.RFC_4122
    assert tembrel.time_ms(lo) == tembrel.time_ms(hi) == KNOWN_MS
    assert tembrel.uuid7_max(KNOWN_MS - 1) < lo and hi < tembrel.uuid7_min(KNOWN_MS + 1)
    # every bit that is not timestamp, version or variant is clear in lo and set in hi
    assert lo.int & ((1 << 80) - 1) == (0x7 << 76) | (0b10 << 62)
    assert hi.int & ((1 << 80) - 1) == (1 << 80) - 1 - (0b01 << 62) - (0x8 << 76)


def test_range_bounds_take_aware_datetimes() -> None:
    when = dt.datetime(2024, 4, 29, 21, 2, 3, 358999, tzinfo=dt.timezone(dt.timedelta(hours=2)))
    assert tembrel.uuid7_min(when) == tembrel.uuid7_min(KNOWN_MS)
    with pytest.raises(ValueError, match="naive"):
        tembrel.uuid7_min(dt.datetime(2024, 1, 1))
    with pytest.raises(ValueError):
        tembrel.uuid7_max(dt.datetime(1969, 12, 31, 23, 59, 59, tzinfo=dt.UTC))
    with pytest.raises(ValueError):
        tembrel.uuid7_min(2**48)
    with pytest.raises(TypeError):
        tembrel.uuid7_min(False)


def test_numpy_views_a_batch_without_copying() -> None:
    np = pytest.importorskip("numpy")
    blob = tembrel.uuid7_bytes_many(256)
    records = np.frombuffer(blob, dtype=np.dtype([("high", ">u8"), ("low", ">u8")]))
    assert not records.flags.owndata and np.shares_memory(records, np.frombuffer(blob, dtype="V16"))
    values = [(int(h) << 64) | int(lo) for h, lo in zip(records["high"], records["low"], strict=True)]
    assert values == [int.from_bytes(blob[i : i + 16]) for i in range(0, len(blob), 16)]
    assert values == sorted(values)


def device_reads(call) -> int:  # type: ignore[no-untyped-def]
    """Read system calls the process makes during ``call``, beyond those of measuring them."""

    def reads() -> int:
        with open("/proc/self/io") as f:
            return int(f.read().split("syscr: ")[1].split()[0])

    before = reads()
    call()
    middle = reads()
    return (middle - before) - (reads() - middle)


def test_reseed_drops_the_sequence_and_the_pool(pinned) -> None:  # type: ignore[no-untyped-def]
    pinned.pin(1000)
    tembrel.reseed()
    after = decode(tembrel.uuid7_bytes())
    assert after.timestamp < pinned.timestamp, "the pinned millisecond outlived the reseed"
    pinned.pin(1000)
    tembrel.reseed()
    assert pinned.next_counter() != 1001  # a new random seed, not the next counter


@pytest.mark.native_only("reads /dev/urandom itself; the Python implementation takes os.urandom")
def test_reseed_refills_the_pool_with_one_read() -> None:
    tembrel.reseed()
    tembrel.uuid7_bytes()
    assert device_reads(tembrel.uuid7_bytes) == 0  # served from the pool just filled
    assert device_reads(lambda: (tembrel.reseed(), tembrel.uuid7_bytes())) == 1
