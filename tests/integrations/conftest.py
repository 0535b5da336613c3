"""Fixtures for the tests of the identifiers inside other libraries and a real PostgreSQL."""

from __future__ import annotations

import contextlib
import os
import pathlib
import pwd
import shutil
import subprocess
import tempfile
from collections.abc import Iterator
from typing import Any

import pytest

PG_BIN = pathlib.Path(os.environ.get("TEMBREL_PG_BIN", "/usr/lib/postgresql/18/bin"))


def _server_user() -> dict[str, Any]:
    """The server refuses to run as root: as root, run it as nobody."""
    if os.geteuid() != 0:
        return {}
    nobody = pwd.getpwnam("nobody")
    return {"user": nobody.pw_uid, "group": nobody.pw_gid, "extra_groups": []}


@contextlib.contextmanager
def throwaway_postgres() -> Iterator[str]:
    """A throwaway PostgreSQL 18 cluster on a Unix socket; yields its connection string.

    The cluster lives in a fresh temporary directory, listens on no TCP port,
    trusts local connections and is stopped and removed at the end, whatever
    happened.  (docs/bench_copy.py starts one too.)
    """
    as_user = _server_user()
    base = pathlib.Path(tempfile.mkdtemp(prefix="tembrel-pg-"))
    data = base / "data"
    if as_user:
        os.chown(base, as_user["user"], as_user["group"])

    def run(*args: str) -> None:
        done = subprocess.run(args, capture_output=True, text=True, check=False, **as_user)
        if done.returncode != 0:
            log = base / "server.log"
            server_log = log.read_text() if log.exists() else ""
            raise RuntimeError(f"{' '.join(args)} failed:\n{done.stdout}{done.stderr}{server_log}")

    started = False
    try:
        run(
            str(PG_BIN / "initdb"),
            "-D",
            str(data),
            "-U",
            "tembrel",
            "--auth=trust",
            "-E",
            "UTF8",
            "--locale=C",
            "--no-sync",
            "--no-instructions",
        )
        options = f"-k {base} -c listen_addresses='' -c fsync=off -c full_page_writes=off"
        started = True
        run(
            str(PG_BIN / "pg_ctl"),
            "-D",
            str(data),
            "-l",
            str(base / "server.log"),
            "-o",
            options,
            "-w",
            "-t",
            "60",
            "start",
        )
        yield f"host={base} dbname=postgres user=tembrel"
    finally:
        try:
            if started:
                run(str(PG_BIN / "pg_ctl"), "-D", str(data), "-m", "fast", "-w", "-t", "60", "stop")
        finally:
            shutil.rmtree(base, ignore_errors=True)


@pytest.fixture(scope="session")
def postgres() -> Iterator[str]:
    """The connection string of a throwaway PostgreSQL 18 cluster for the session."""
    if not (PG_BIN / "postgres").exists() or not (PG_BIN / "initdb").exists():
        pytest.skip(f"PostgreSQL 18 server binaries not installed ({PG_BIN})")
    pytest.importorskip("psycopg")
    with throwaway_postgres() as conninfo:
        yield conninfo


@pytest.fixture
def pg(postgres: str) -> Iterator[Any]:
    """A connection to the throwaway cluster; each test works in a transaction rolled back after it."""
    import psycopg

    with psycopg.connect(postgres) as conn:
        yield conn
        conn.rollback()
