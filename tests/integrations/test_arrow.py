"""tembrel.arrow: the array is a view of one generator batch; Parquet, Polars and DuckDB read it."""

from __future__ import annotations

import ctypes
import datetime as dt
import importlib
import pathlib
import sys
import uuid

import pytest
import tembrel
import testkit

pa = pytest.importorskip("pyarrow")
tarrow = importlib.import_module("tembrel.arrow")


def data_address(blob: bytes) -> int:
    """Address of the first byte of a bytes object's contents (c_char_p points into it, no copy)."""
    address = ctypes.cast(ctypes.c_char_p(blob), ctypes.c_void_p).value
    assert address is not None
    return address


def chunks(blob: bytes) -> list[bytes]:
    return [blob[i : i + 16] for i in range(0, len(blob), 16)]


@pytest.mark.parametrize("count", [0, 1, 1000])
def test_array_is_a_view_of_one_bytes_batch(monkeypatch: pytest.MonkeyPatch, count: int) -> None:
    batches: list[bytes] = []
    real = tembrel.uuid7_bytes_many

    def spy(n: int) -> bytes:
        batches.append(real(n))
        return batches[-1]

    monkeypatch.setattr(tembrel, "uuid7_bytes_many", spy)
    array = tarrow.uuid7_array(count)
    (blob,) = batches
    batches.clear()
    refs_before = sys.getrefcount(blob)

    assert array.type == pa.uuid() and len(array) == count and array.null_count == 0
    validity, values = array.storage.buffers()
    assert validity is None
    assert values.size == 16 * count == len(blob)
    if count:
        assert values.address == data_address(blob)
    assert array.storage.to_pylist() == chunks(blob)
    as_py = array.to_pylist()
    assert all(type(u) is uuid.UUID and u.version == 7 for u in as_py)
    assert as_py == sorted(as_py) and len(set(as_py)) == count
    # The array keeps the batch alive: dropping it drops the reference it
    # held (the empty bytes object is immortal and counts nothing).
    del array, validity, values
    if count:
        assert sys.getrefcount(blob) < refs_before


def test_from_bytes_reads_any_whole_batch_in_place() -> None:
    ids = tembrel.uuid7_at_many([0, 1, 2**48 - 1])
    blob = b"".join(u.bytes for u in ids)
    array = tarrow.uuid_array_from_bytes(blob)
    assert array.storage.buffers()[1].address == data_address(blob)
    assert array.to_pylist() == ids


@pytest.mark.parametrize(
    ("data", "error", "message"),
    [
        (bytearray(16), TypeError, "expected bytes, not bytearray"),
        (memoryview(bytes(16)), TypeError, "expected bytes, not memoryview"),
        (bytes(17), ValueError, "17 bytes is not a whole number"),
        (bytes(15), ValueError, "15 bytes"),
    ],
)
def test_from_bytes_refuses_what_it_cannot_view(data: object, error: type[Exception], message: str) -> None:
    with pytest.raises(error, match=message):
        tarrow.uuid_array_from_bytes(data)


@pytest.mark.parametrize(("count", "error"), [(-1, ValueError), ("3", TypeError), (2**70, OverflowError)])
def test_bad_count_raises_like_the_batch(count: object, error: type[Exception]) -> None:
    with pytest.raises(error):
        tarrow.uuid7_array(count)


def test_import_without_pyarrow_names_the_extra(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    monkeypatch.delitem(sys.modules, "tembrel.arrow")
    with pytest.raises(ImportError, match=r"pip install 'tembrel\[arrow\]'") as caught:
        importlib.import_module("tembrel.arrow")
    assert caught.value.name == "pyarrow"
    assert isinstance(caught.value.__cause__, ImportError)


def test_parquet_round_trip_keeps_values_and_type(tmp_path: pathlib.Path) -> None:
    pq = pytest.importorskip("pyarrow.parquet")
    table = pa.table({"id": tarrow.uuid7_array(5000), "n": pa.array(range(5000), pa.int32())})
    pq.write_table(table, tmp_path / "ids.parquet")
    back = pq.read_table(tmp_path / "ids.parquet")
    assert back.schema.field("id").type == pa.uuid()
    assert back.equals(table)


def test_polars_reads_the_array_as_16_byte_binary() -> None:
    pl = pytest.importorskip("polars")
    array = tarrow.uuid7_array(100)
    frame = pl.from_arrow(pa.table({"id": array}))
    assert frame.schema["id"] == pl.Binary
    assert frame["id"].to_list() == array.storage.to_pylist()
    # Binary sorts bytewise, which is creation order.
    assert frame["id"].is_sorted()
    assert [uuid.UUID(bytes=b) for b in frame["id"]] == array.to_pylist()


def test_polars_turns_compact_ids_into_floats_unless_converted() -> None:
    pl = pytest.importorskip("polars")
    compact = tembrel.uuid7_compact_many(3)
    lossy = pl.Series("id", compact)
    assert lossy.dtype == pl.Float64
    assert int(lossy[0]) != compact[0].int
    exact = pl.Series("id", [str(c) for c in compact])
    assert exact.dtype == pl.String and exact.to_list() == [str(c) for c in compact]


def test_duckdb_range_and_timestamps_over_the_arrow_table() -> None:
    duckdb = pytest.importorskip("duckdb")
    start = dt.datetime(2026, 12, 1, tzinfo=dt.UTC)
    t0 = tembrel.time_ms(tembrel.uuid7_min(start))
    stamps = [t0 - 1, t0, t0 + 500, t0 + 999, t0 + 1000, t0 + 60_000]
    old = tembrel.uuid7_at_many(stamps * 4)
    table = pa.table(
        {
            "id": pa.concat_arrays(
                [tarrow.uuid_array_from_bytes(b"".join(u.bytes for u in old)), tarrow.uuid7_array(50)]
            )
        }
    )
    con = duckdb.connect()
    con.register("events", table)

    rows = con.execute(
        "SELECT id, uuid_extract_timestamp(id) FROM events WHERE id BETWEEN $lo AND $hi ORDER BY id",
        {"lo": tembrel.uuid7_min(t0), "hi": tembrel.uuid7_max(t0 + 999)},
    ).fetchall()
    wanted = sorted(u for u in old if t0 <= tembrel.time_ms(u) <= t0 + 999)
    assert [r[0] for r in rows] == wanted and len(wanted) == 12
    assert all(r[1] == tembrel.datetime_of(r[0]) for r in rows)

    ordered = [r[0] for r in con.execute("SELECT id FROM events ORDER BY id").fetchall()]
    assert ordered == sorted(table.column("id").to_pylist())
    newest = [r[0] for r in con.execute("SELECT id FROM events ORDER BY id DESC LIMIT 50").fetchall()]
    assert newest[::-1] == table.column("id").to_pylist()[-50:]


def test_module_type_checks_strictly(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("mypy")
    user = tmp_path / "user.py"
    user.write_text(
        "from tembrel.arrow import uuid7_array, uuid_array_from_bytes\n"
        "ids = uuid7_array(3)\n"
        "uuid_array_from_bytes(bytearray(16))\n"
        "reveal_type(ids)\n"
    )
    options = ["--strict", "--cache-dir", str(tmp_path / "cache")]
    module = testkit.run_python(None, *options, "-p", "tembrel.arrow", module="mypy", dev=False)
    assert module.returncode == 0, testkit.output_of(module)
    done = testkit.run_python(None, *options, str(user), module="mypy", dev=False)
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    # Typed with pyarrow's types (pyarrow-stubs), not Any.
    array = "pyarrow.__lib_pxi.array"
    assert f'Revealed type is "{array}.ExtensionArray[{array}.FixedSizeBinaryArray]"' in done.stdout
    assert len(errors) == 1, done.stdout + done.stderr
    assert (
        'user.py:3: error: Argument 1 to "uuid_array_from_bytes" has incompatible type "bytearray"'
        in errors[0]
    )


# Timestamps at the edges: the epoch, one bit in each byte of the 48, the last millisecond.
EDGE_MS = [0, 1, 0x100, 0x1_0000, 0x100_0000, 0x1_0000_0000, 0x100_0000_0000, 2**48 - 1]
FORMS = ["bytes", "bytearray", "memoryview", "uuid", "fixed", "binary", "large_binary", "binary_view",
         "chunked", "sliced", "polars"]  # fmt: skip


def batch_of(form: str, blob: bytes) -> object:
    """``blob``'s UUIDs in one of the forms a user holds them in, with a null where Arrow allows one."""
    array = tarrow.uuid_array_from_bytes(blob)
    if form in ("bytes", "bytearray", "memoryview"):
        return {"bytes": bytes, "bytearray": bytearray, "memoryview": memoryview}[form](blob)
    if form == "uuid":
        return array
    if form == "chunked":
        return pa.chunked_array([array.slice(0, 4), array.slice(4)])
    if form == "sliced":  # an array that starts inside its buffer
        return tarrow.uuid_array_from_bytes(bytes(16 * 5) + blob).slice(5)
    nullable = pa.array([*array.storage.to_pylist(), None], pa.binary(16))
    if form == "fixed":
        return nullable
    if form == "polars":
        return pytest.importorskip("polars").Series("id", nullable.to_pylist(), dtype=None)
    return nullable.cast(getattr(pa, form)())


@pytest.mark.parametrize("form", FORMS)
def test_timestamps_of_many_agree_with_one_at_a_time(form: str) -> None:
    blob = b"".join(u.bytes for u in tembrel.uuid7_at_many(EDGE_MS)) + tembrel.uuid7_bytes_many(3)
    expected = [tembrel.time_ms(blob[i : i + 16]) for i in range(0, len(blob), 16)]
    assert expected[: len(EDGE_MS)] == EDGE_MS
    values = batch_of(form, blob)
    ms = tarrow.time_ms(values)
    got = ms.to_pylist()
    assert ms.type == pa.int64() and got[: len(expected)] == expected
    nulls = form in ("fixed", "binary", "large_binary", "binary_view", "polars")
    assert got[len(expected) :] == ([None] if nulls else [])
    stamps = tarrow.datetime_of(values)
    assert stamps.type == pa.timestamp("ms", tz="UTC") and stamps.cast(pa.int64()).equals(ms)
    assert stamps[len(EDGE_MS) - 2].as_py() == tembrel.datetime_of(blob[16 * 6 : 16 * 7])


@pytest.mark.parametrize(
    ("values", "error", "message"),
    [
        (tembrel.uuid7_bytes_many(2) + uuid.uuid4().bytes, ValueError, "not a version 7 UUID at index 2"),
        (bytes(16 * 3), ValueError, "not a version 7 UUID at index 0"),
        (bytes(17), ValueError, "17 bytes is not a whole number"),
        (pa.array([bytes(16), bytes(15)]), ValueError, "a UUID is 16 bytes, not 15 .at index 1."),
        (pa.array([1, 2]), TypeError, "not one of int64"),
        ([tembrel.uuid7()], TypeError, "not list"),
    ],
)
def test_timestamps_of_many_refuse_what_is_no_uuidv7(
    values: object, error: type[Exception], message: str
) -> None:
    for read in (tarrow.time_ms, tarrow.datetime_of):
        with pytest.raises(error, match=message):
            read(values)


@pytest.mark.parametrize(
    ("at", "ms"),
    [
        (EDGE_MS, EDGE_MS),
        (pa.array([5, None, 7], pa.uint16()), [5, None, 7]),
        (pa.array([1, None], pa.timestamp("s", "UTC")), [1000, None]),
        (pa.chunked_array([pa.array([1_999_999, 2_000_000], pa.timestamp("ns", "Asia/Tokyo"))]), [1, 2]),
        (pa.array([dt.datetime(2026, 12, 1, 0, 0, 0, 999_999, tzinfo=dt.UTC)], pa.timestamp("us", "UTC")),
         [1_796_083_200_999]),
    ],
)  # fmt: skip
def test_range_bounds_of_many_agree_with_one_at_a_time(at: object, ms: list[int | None]) -> None:
    low, high = tarrow.uuid7_min(at), tarrow.uuid7_max(at)
    assert low.type == high.type == pa.uuid()
    assert low.to_pylist() == [None if m is None else tembrel.uuid7_min(m) for m in ms]
    assert high.to_pylist() == [None if m is None else tembrel.uuid7_max(m) for m in ms]
    assert tarrow.time_ms(low).to_pylist() == tarrow.time_ms(high).to_pylist() == ms


@pytest.mark.parametrize(
    ("at", "error", "message"),
    [
        ([0, -1], ValueError, r"at\[1\] must be between 0 and 2\*\*48 - 1"),
        ([2**48], ValueError, r"at\[0\] must be between"),
        (pa.array([2**48 // 1000 + 1], pa.timestamp("s", "UTC")), ValueError, r"at\[0\] must be between"),
        (pa.array([0], pa.timestamp("ms")), ValueError, "naive timestamps"),
        (["2026-12-01T00:00Z"], TypeError, "not string"),
    ],
)
def test_range_bounds_of_many_refuse_bad_timestamps(at: object, error: type[Exception], message: str) -> None:
    for bound in (tarrow.uuid7_min, tarrow.uuid7_max):
        with pytest.raises(error, match=message):
            bound(at)


def test_reading_many_without_numpy_names_the_extra(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(sys.modules, "numpy", None)
    for call in (lambda: tarrow.time_ms(tembrel.uuid7_bytes_many(1)), lambda: tarrow.uuid7_min([0])):
        with pytest.raises(ImportError, match=r"needs NumPy.*pip install 'tembrel\[arrow\]'"):
            call()
