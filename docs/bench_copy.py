"""Rows per second of the ways to load new UUIDv7 keys into PostgreSQL 18, through psycopg 3 and asyncpg.

Starts a throwaway cluster as the test suite does (tests/integrations/conftest.py), then, in
interleaved rounds, loads a fresh ``id uuid PRIMARY KEY`` table, unlogged and logged, by each way in
turn.  Each time covers
making the identifiers, the load and the commit.  The bulk loads move 100,000 rows, ``executemany``
10,000 (it is bound by a round trip per row).  Prints the median and the best over the rounds.
Run: ``tools/devenv python docs/bench_copy.py [ROUNDS]``.
"""

from __future__ import annotations

import asyncio
import io
import pathlib
import statistics
import sys
import time
import uuid
from collections.abc import Callable
from typing import Any

import asyncpg
import psycopg
import tembrel
import tembrel.psycopg
from tembrel.postgres import binary_copy_data

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "support"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "integrations"))
from conftest import throwaway_postgres  # noqa: E402
from testkit import connect_kwargs  # noqa: E402

ROWS = 100_000
FEW = 10_000  # for executemany
BINARY = "COPY ids (id) FROM STDIN (FORMAT BINARY)"
HEADER = b"PGCOPY\n\xff\r\n\x00" + bytes(8)
TRAILER = b"\xff\xff"


def copy_rows(ids: bytes) -> bytearray:
    """The framing a program had to write by hand before tembrel.postgres: the reference."""
    count = len(ids) // 16
    rows = bytearray(22 * count)
    rows[1::22] = b"\x01" * count
    rows[5::22] = b"\x10" * count
    for i in range(16):
        rows[6 + i :: 22] = ids[i::16]
    return rows


def hand_framed(conn: psycopg.Connection[Any]) -> None:
    with conn.cursor().copy(BINARY) as copy:
        copy.write(HEADER)
        copy.write(copy_rows(tembrel.uuid7_bytes_many(ROWS)))
        copy.write(TRAILER)


def binary_copy(conn: psycopg.Connection[Any]) -> None:
    with conn.cursor().copy(BINARY) as copy:
        copy.write(binary_copy_data(tembrel.uuid7_bytes_many(ROWS)))


def write_row_uuid(conn: psycopg.Connection[Any]) -> None:
    with conn.cursor().copy(BINARY) as copy:
        copy.set_types(["uuid"])
        for u in tembrel.uuid7_many(ROWS):
            copy.write_row((u,))


def write_row_compact(conn: psycopg.Connection[Any]) -> None:
    tembrel.psycopg.register(conn)
    with conn.cursor().copy(BINARY) as copy:
        copy.set_types(["uuid"])
        for c in tembrel.uuid7_compact_many(ROWS):
            copy.write_row((c,))


def text_copy(conn: psycopg.Connection[Any]) -> None:
    with conn.cursor().copy("COPY ids (id) FROM STDIN") as copy:
        copy.write("".join(f"{s}\n" for s in tembrel.uuid7_str_many(ROWS)))


def psycopg_executemany(conn: psycopg.Connection[Any]) -> None:
    with conn.cursor() as cur:
        cur.executemany("INSERT INTO ids VALUES (%s)", [(u,) for u in tembrel.uuid7_many(FEW)])


def server_uuidv7(conn: psycopg.Connection[Any]) -> None:
    conn.execute(f"INSERT INTO ids SELECT uuidv7() FROM generate_series(1, {ROWS})")


async def records_uuid(conn: asyncpg.Connection) -> None:
    await conn.copy_records_to_table("ids", records=zip(tembrel.uuid7_many(ROWS)), columns=["id"])


async def records_compact(conn: asyncpg.Connection) -> None:
    await conn.copy_records_to_table("ids", records=zip(tembrel.uuid7_compact_many(ROWS)), columns=["id"])


async def records_stdlib(conn: asyncpg.Connection) -> None:
    make = uuid.uuid7  # type: ignore[attr-defined, unused-ignore]
    await conn.copy_records_to_table("ids", records=[(make(),) for _ in range(ROWS)], columns=["id"])


async def asyncpg_binary_copy(conn: asyncpg.Connection) -> None:
    data = io.BytesIO(binary_copy_data(tembrel.uuid7_bytes_many(ROWS)))
    await conn.copy_to_table("ids", source=data, columns=["id"], format="binary")


async def asyncpg_executemany(conn: asyncpg.Connection) -> None:
    await conn.executemany("INSERT INTO ids VALUES ($1)", zip(tembrel.uuid7_many(FEW)))


# Name: (client, load, rows).
PSYCOPG: dict[str, tuple[Callable[[psycopg.Connection[Any]], None], int]] = {
    "psycopg, binary COPY of hand-framed `uuid7_bytes_many` (the old recipe)": (hand_framed, ROWS),
    "psycopg, `copy.write(binary_copy_data(uuid7_bytes_many(n)))`": (binary_copy, ROWS),
    "psycopg, binary `write_row` of `uuid7_many`": (write_row_uuid, ROWS),
    "psycopg, binary `write_row` of `uuid7_compact_many` (`tembrel.psycopg.register`)": (
        write_row_compact,
        ROWS,
    ),
    "psycopg, text COPY of `uuid7_str_many`": (text_copy, ROWS),
    "psycopg, `executemany` of `uuid7_many`": (psycopg_executemany, FEW),
    "the server's `INSERT … SELECT uuidv7()`": (server_uuidv7, ROWS),
}
ASYNCPG: dict[str, tuple[Callable[[asyncpg.Connection], Any], int]] = {
    "asyncpg, `copy_records_to_table` of `uuid7_many`": (records_uuid, ROWS),
    "asyncpg, `copy_records_to_table` of `uuid7_compact_many`": (records_compact, ROWS),
    "asyncpg, `copy_to_table` of `binary_copy_data(uuid7_bytes_many(n))`": (asyncpg_binary_copy, ROWS),
    "asyncpg, `executemany` of `uuid7_many`": (asyncpg_executemany, FEW),
}
if hasattr(uuid, "uuid7"):  # Python 3.14 and later
    ASYNCPG["asyncpg, `copy_records_to_table` of `uuid.uuid7()`"] = (records_stdlib, ROWS)


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    kinds = ("UNLOGGED", "")
    rates: dict[tuple[str, str], list[float]] = {(n, k): [] for n in [*PSYCOPG, *ASYNCPG] for k in kinds}
    loop = asyncio.new_event_loop()
    with throwaway_postgres() as conninfo, psycopg.connect(conninfo) as conn:
        aconn = loop.run_until_complete(asyncpg.connect(**connect_kwargs(conninfo)))
        for _ in range(rounds):
            for name, kind in rates:
                conn.execute(f"CREATE {kind} TABLE ids (id uuid PRIMARY KEY)")
                conn.commit()
                if name in PSYCOPG:
                    load, rows = PSYCOPG[name]
                    # A connection of its own, made before the clock starts: registrations stay with it.
                    with psycopg.connect(conninfo) as own:
                        start = time.perf_counter()
                        load(own)
                        own.commit()
                        elapsed = time.perf_counter() - start
                else:
                    aload, rows = ASYNCPG[name]

                    async def in_transaction() -> None:
                        async with aconn.transaction():
                            await aload(aconn)  # noqa: B023 (awaited within the iteration)

                    start = time.perf_counter()
                    loop.run_until_complete(in_transaction())
                    elapsed = time.perf_counter() - start
                (count,) = conn.execute("SELECT count(*) FROM ids").fetchone() or (0,)
                assert count == rows, (name, count)
                conn.execute("DROP TABLE ids")
                conn.commit()
                rates[(name, kind)].append(rows / elapsed)
        loop.run_until_complete(aconn.close())
    loop.close()
    print(
        f"Python {sys.version.split()[0]}, psycopg {psycopg.__version__}, asyncpg {asyncpg.__version__}; "
        f"{ROWS:,} rows ({FEW:,} for executemany), {rounds} interleaved rounds; k rows/s, median (best)\n"
    )
    print("| path | unlogged table | logged table |")
    print("|---|---:|---:|")
    for name in [*PSYCOPG, *ASYNCPG]:
        cells = [rates[(name, kind)] for kind in kinds]
        text = [f"{statistics.median(seen) / 1000:,.0f} ({max(seen) / 1000:,.0f})" for seen in cells]
        print(f"| {name} | {' | '.join(text)} |")


if __name__ == "__main__":
    main()
