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
