"""Rows per second of three ways to load 100,000 new UUIDv7 keys into PostgreSQL 18.

Starts a throwaway cluster as the test suite does (tests/integrations/conftest.py), then, in
interleaved rounds, loads ``id uuid PRIMARY KEY`` tables, unlogged and logged, by: binary COPY of
``uuid7_bytes_many`` (the recipe's framing), text COPY of ``uuid7_str_many``, and the server's own
``INSERT ... SELECT uuidv7()``.  Each time covers making the identifiers, the load and the commit.
Prints the median over the rounds.  Run: ``tools/devenv python docs/bench_copy.py [ROUNDS]``.
"""

from __future__ import annotations

import pathlib
import statistics
import sys
import time

import psycopg
import tembrel

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "integrations"))
from conftest import throwaway_postgres  # noqa: E402

ROWS = 100_000
HEADER = b"PGCOPY\n\xff\r\n\x00" + bytes(8)
TRAILER = b"\xff\xff"


def copy_rows(ids: bytes) -> bytearray:
    count = len(ids) // 16
    rows = bytearray(22 * count)
    rows[1::22] = b"\x01" * count
    rows[5::22] = b"\x10" * count
    for i in range(16):
        rows[6 + i :: 22] = ids[i::16]
    return rows


def binary_copy(conn: psycopg.Connection, table: str) -> None:
    with conn.cursor().copy(f"COPY {table} (id) FROM STDIN (FORMAT BINARY)") as copy:
        copy.write(HEADER)
        copy.write(copy_rows(tembrel.uuid7_bytes_many(ROWS)))
        copy.write(TRAILER)


def text_copy(conn: psycopg.Connection, table: str) -> None:
    with conn.cursor().copy(f"COPY {table} (id) FROM STDIN") as copy:
        copy.write("".join(f"{s}\n" for s in tembrel.uuid7_str_many(ROWS)))


def server_uuidv7(conn: psycopg.Connection, table: str) -> None:
    conn.execute(f"INSERT INTO {table} SELECT uuidv7() FROM generate_series(1, {ROWS})")


METHODS = {
    "binary COPY of `uuid7_bytes_many`": binary_copy,
    "text COPY of `uuid7_str_many`": text_copy,
    "the server's `INSERT … SELECT uuidv7()`": server_uuidv7,
}


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    times: dict[tuple[str, str], list[float]] = {}
    with throwaway_postgres() as conninfo, psycopg.connect(conninfo) as conn:
        for _ in range(rounds):
            for kind in ("UNLOGGED", ""):
                for name, load in METHODS.items():
                    conn.execute(f"CREATE {kind} TABLE ids (id uuid PRIMARY KEY)")
                    conn.commit()
                    start = time.perf_counter()
                    load(conn, "ids")
                    conn.commit()
                    times.setdefault((name, kind), []).append(time.perf_counter() - start)
                    (count,) = conn.execute("SELECT count(*) FROM ids").fetchone() or (0,)
                    assert count == ROWS
                    conn.execute("DROP TABLE ids")
                    conn.commit()
    print(f"{ROWS:,} rows, median of {rounds} interleaved rounds\n")
    print("| method | rows/s, unlogged table | rows/s, logged table |")
    print("|---|---:|---:|")
    for name in METHODS:
        cells = [
            f"{ROWS / statistics.median(times[(name, kind)]) / 1000:,.0f} k" for kind in ("UNLOGGED", "")
        ]
        print(f"| {name} | {' | '.join(cells)} |")


if __name__ == "__main__":
    main()
