"""Identifiers in a real PostgreSQL 18, through psycopg 3."""

from __future__ import annotations

import datetime as dt
import time
import uuid
from typing import Any

import pytest
import tembrel
from tembrel.postgres import binary_copy_data
from testkit import connect_kwargs

psycopg = pytest.importorskip("psycopg")


def load(conn: Any, how: str, count: int) -> list[uuid.UUID]:
    """Creates the table ``ids`` and loads ``count`` new identifiers by COPY; returns them in order."""
    conn.execute("CREATE TEMPORARY TABLE ids (id uuid PRIMARY KEY)")
    with conn.cursor() as cur:
        if how == "text":
            # Canonical text straight from the generator: no uuid.UUID made on the way in.
            text = tembrel.uuid7_str_many(count)
            with cur.copy("COPY ids (id) FROM STDIN") as copy:
                copy.write("".join(f"{s}\n" for s in text))
            expected = [uuid.UUID(s) for s in text]
        elif how == "binary-batch":
            # One bytes batch framed as COPY's binary rows: no Python object per identifier.
            blob = tembrel.uuid7_bytes_many(count)
            with cur.copy("COPY ids (id) FROM STDIN (FORMAT BINARY)") as copy:
                copy.write(binary_copy_data(blob))
            expected = [uuid.UUID(bytes=blob[i : i + 16]) for i in range(0, len(blob), 16)]
        else:
            expected = tembrel.uuid7_many(count)
            with cur.copy("COPY ids (id) FROM STDIN (FORMAT BINARY)") as copy:
                copy.set_types(["uuid"])
                for u in expected:
                    copy.write_row((u,))
    return expected


@pytest.mark.parametrize("how", ["text", "binary", "binary-batch"])
def test_copy_round_trip_in_generation_order(pg: Any, how: str) -> None:
    expected = load(pg, how, 2000)
    back = [row[0] for row in pg.execute("SELECT id FROM ids ORDER BY id")]
    assert back == expected
    assert all(type(u) is uuid.UUID for u in back)


def test_server_reads_version_and_time(pg: Any) -> None:
    expected = load(pg, "binary", 500)
    rows = pg.execute(
        "SELECT id, uuid_extract_version(id), uuid_extract_timestamp(id) FROM ids ORDER BY id"
    ).fetchall()
    assert [r[0] for r in rows] == expected
    assert {r[1] for r in rows} == {7}
    assert all(r[2] == tembrel.datetime_of(r[0]) for r in rows)
    # The server reads the same time back from an independent identifier too.
    old = tembrel.uuid7_at(1_714_417_323_358)
    (at,) = pg.execute("SELECT uuid_extract_timestamp(%s)", (old,)).fetchone()
    assert at == dt.datetime(2024, 4, 29, 19, 2, 3, 358000, tzinfo=dt.UTC)


def _next_millisecond() -> None:
    start = time.time_ns() // 1_000_000
    while time.time_ns() // 1_000_000 <= start:
        time.sleep(0.0002)


def test_order_interleaved_with_the_servers_uuidv7(pg: Any) -> None:
    # Two generators agree on order only across milliseconds (within one, each
    # fills the bits below the timestamp its own way), so a new millisecond
    # separates every step.
    pg.execute("CREATE TEMPORARY TABLE ids (id uuid PRIMARY KEY, step int NOT NULL, ours bool NOT NULL)")
    for step in range(120):
        if step % 2:
            pg.execute("INSERT INTO ids VALUES (uuidv7(), %s, false)", (step,))
        else:
            pg.execute("INSERT INTO ids VALUES (%s, %s, true)", (tembrel.uuid7(), step))
        _next_millisecond()
    rows = pg.execute("SELECT step, ours, uuid_extract_version(id) FROM ids ORDER BY id").fetchall()
    assert [r[0] for r in rows] == list(range(120))
    assert {r[2] for r in rows} == {7}
    assert sum(r[1] for r in rows) == 60


def test_range_query_returns_exactly_the_interval(pg: Any) -> None:
    start = dt.datetime(2026, 12, 1, tzinfo=dt.UTC)
    t0 = tembrel.time_ms(tembrel.uuid7_min(start))
    stamps = [t0 - 86_400_000, t0 - 1, t0, t0, t0 + 1, t0 + 3_600_000, t0 + 86_400_000 - 1, t0 + 86_400_000]
    ids = tembrel.uuid7_at_many(stamps * 5)
    # The bounds themselves are identifiers of the edge milliseconds.
    ids += [tembrel.uuid7_min(t0), tembrel.uuid7_max(t0 + 86_400_000 - 1), tembrel.uuid7_max(t0 - 1)]
    ids += [tembrel.uuid7_min(t0 + 86_400_000)]
    pg.execute("CREATE TEMPORARY TABLE ids (id uuid PRIMARY KEY)")
    with pg.cursor() as cur:
        cur.executemany("INSERT INTO ids VALUES (%s)", [(u,) for u in ids])

    end = start + dt.timedelta(days=1)
    wanted = {u for u in ids if t0 <= tembrel.time_ms(u) < t0 + 86_400_000}
    assert 0 < len(wanted) < len(ids)

    half_open = pg.execute(
        "SELECT id FROM ids WHERE id >= %s AND id < %s", (tembrel.uuid7_min(start), tembrel.uuid7_min(end))
    ).fetchall()
    closed = pg.execute(
        "SELECT id FROM ids WHERE id BETWEEN %s AND %s",
        (tembrel.uuid7_min(start), tembrel.uuid7_max(t0 + 86_400_000 - 1)),
    ).fetchall()
    by_time = pg.execute(
        "SELECT id FROM ids WHERE uuid_extract_timestamp(id) >= %s AND uuid_extract_timestamp(id) < %s",
        (start, end),
    ).fetchall()
    for rows in (half_open, closed, by_time):
        assert {r[0] for r in rows} == wanted


def test_registered_dumpers_send_compact_identifiers_and_typed_copy_bytes(pg: Any, postgres: str) -> None:
    tpsycopg = pytest.importorskip("tembrel.psycopg")
    compact = tembrel.uuid7_compact_many(4)
    with pytest.raises(psycopg.ProgrammingError, match="cannot adapt"):
        pg.execute("SELECT %s::uuid", (compact[0],))
    tpsycopg.register(pg)
    batch = tembrel.uuid7_bytes_many(2)
    plain = tembrel.uuid7()
    pg.execute("CREATE TEMPORARY TABLE ids (id uuid PRIMARY KEY)")
    with pg.cursor() as cur:
        for placeholder, c in zip(("%s", "%t", "%b"), compact[:3], strict=True):  # auto, text, binary
            cur.execute(f"INSERT INTO ids VALUES ({placeholder})", (c,))
        for binary in (False, True):  # a typed COPY takes 16 bytes too, and still a uuid.UUID
            with cur.copy(f"COPY ids (id) FROM STDIN{' (FORMAT BINARY)' if binary else ''}") as copy:
                copy.set_types(["uuid"])
                copy.write_row((batch[16:] if binary else batch[:16],))
                copy.write_row((compact[3],) if binary else (plain,))
    rows = [r[0].int for r in pg.execute("SELECT id FROM ids ORDER BY id")]
    expected = [c.int for c in compact] + [int.from_bytes(batch[:16]), int.from_bytes(batch[16:]), plain.int]
    assert rows == sorted(expected)
    # A bytes value elsewhere is still a bytea, and one in a typed COPY must be 16 bytes long.
    with pytest.raises(psycopg.errors.CannotCoerce):
        pg.execute("SELECT %s::uuid", (batch[:16],))
    pg.rollback()
    pg.execute("CREATE TEMPORARY TABLE ids (id uuid PRIMARY KEY)")
    with pytest.raises(ValueError, match="16 bytes, not 15"):
        with pg.cursor().copy("COPY ids (id) FROM STDIN (FORMAT BINARY)") as copy:
            copy.set_types(["uuid"])
            copy.write_row((bytes(15),))
    # The registration is the connection's: another refuses the type as before.
    with psycopg.connect(postgres) as other, pytest.raises(psycopg.ProgrammingError, match="cannot adapt"):
        other.execute("SELECT %s::uuid", (compact[0],))


@pytest.mark.parametrize("count", [0, 1, 3000])
def test_asyncpg_loads_binary_copy_data(postgres: str, count: int) -> None:
    asyncpg = pytest.importorskip("asyncpg")
    import asyncio
    import io

    batch = tembrel.uuid7_bytes_many(count)

    async def through_asyncpg() -> list[uuid.UUID]:
        conn = await asyncpg.connect(**connect_kwargs(postgres))
        try:
            await conn.execute("CREATE TEMPORARY TABLE ids (id uuid PRIMARY KEY)")
            data = binary_copy_data(memoryview(batch))  # any contiguous buffer
            await conn.copy_to_table("ids", source=io.BytesIO(data), columns=["id"], format="binary")
            return [r[0] for r in await conn.fetch("SELECT id FROM ids ORDER BY id")]
        finally:
            await conn.close()

    assert asyncio.run(through_asyncpg()) == [
        uuid.UUID(bytes=batch[i : i + 16]) for i in range(0, len(batch), 16)
    ]


@pytest.mark.parametrize(
    ("ids", "error"),
    [(bytes(17), ValueError), (memoryview(bytes(64))[::2], TypeError), ("0" * 32, TypeError)],
)
def test_binary_copy_data_refuses_what_is_no_batch(ids: Any, error: type[Exception]) -> None:
    with pytest.raises(error):
        binary_copy_data(ids)


def test_register_on_an_adapters_map_dumps_what_a_uuid_column_takes() -> None:
    # A map like psycopg's global one (psycopg.adapters), copied so that the process keeps its own.
    from psycopg.adapt import AdaptersMap, PyFormat, Transformer

    tpsycopg = pytest.importorskip("tembrel.psycopg")
    adapters = AdaptersMap(psycopg.adapters)
    compact = tembrel.uuid7_compact()
    with pytest.raises(psycopg.ProgrammingError):
        Transformer(adapters).get_dumper(compact, PyFormat.BINARY)
    tpsycopg.register(adapters)
    for fmt, expected in ((PyFormat.TEXT, compact.hex.encode()), (PyFormat.BINARY, compact.bytes)):
        assert Transformer(adapters).get_dumper(compact, fmt).dump(compact) == expected
    with pytest.raises(psycopg.ProgrammingError):  # the global map is left as it was
        psycopg.adapters.get_dumper(tembrel.UUID7Obj, PyFormat.BINARY)
