"""What other libraries do with a UUID7Obj and with 16-byte bytes: README's table, row by row.

Each library's probe sends one identifier through it and reads it back; the
outcome is "refuses" (the library raises one of the errors named), "keeps"
(the same identifier comes back) or "loses" (something else comes back).
The compact type runs for both implementations; the bytes come from the
package.  Then tembrel's own adapters (tembrel.pydantic, tembrel.psycopg,
tembrel.postgres) turn each refusal they address into "keeps".
"""

from __future__ import annotations

import asyncio
import importlib
import multiprocessing
import pathlib
import pickle
import re
import sys
import uuid
from collections.abc import Callable
from typing import Any

import pytest
import tembrel
import testkit
from testkit import connect_kwargs

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def readme_table() -> dict[str, tuple[str, str]]:
    """README's rows of the table of libraries: the bold verdicts for UUID7Obj and for bytes."""
    rows = re.findall(r"^\| (.+?) \| \*\*(\w+)\*\*.*? \| \*\*(\w+)\*\*.*? \|.*\|$", README.read_text(), re.M)
    return {library: (compact, raw) for library, compact, raw in rows}


def _pickle(value: object, pg: str | None) -> object:
    return pickle.loads(pickle.dumps(value))


def _multiprocessing(value: object, pg: str | None) -> object:
    with multiprocessing.get_context("forkserver").Pool(1) as pool:
        return pool.apply(tuple, ([value],))[0]


def _pydantic(value: object, pg: str | None) -> object:
    pydantic = importlib.import_module("pydantic")
    return pydantic.TypeAdapter(importlib.import_module("pydantic.types").UUID7).validate_python(value)


def _psycopg(value: object, pg: str | None) -> object:
    psycopg = importlib.import_module("psycopg")
    with psycopg.connect(pg) as conn:
        conn.execute("CREATE TEMPORARY TABLE ids (id uuid PRIMARY KEY)")
        conn.execute("INSERT INTO ids VALUES (%s)", (value,))
        return conn.execute("SELECT id FROM ids").fetchone()[0]


def _asyncpg(value: object, pg: str | None) -> object:
    asyncpg = importlib.import_module("asyncpg")

    async def round_trip() -> object:
        conn = await asyncpg.connect(**connect_kwargs(pg or ""))
        try:
            await conn.execute("CREATE TEMPORARY TABLE ids (id uuid PRIMARY KEY)")
            await conn.execute("INSERT INTO ids VALUES ($1)", value)
            return await conn.fetchval("SELECT id FROM ids")
        finally:
            await conn.close()

    return asyncio.run(round_trip())


def _sqlalchemy(url: str, value: object) -> object:
    sa = importlib.import_module("sqlalchemy")
    engine = sa.create_engine(url)
    table = sa.Table("ids", sa.MetaData(), sa.Column("id", sa.Uuid, primary_key=True))
    try:
        with engine.connect() as conn:
            table.create(conn)
            conn.execute(table.insert(), [{"id": value}])
            return conn.execute(sa.select(table.c.id)).scalar_one()  # rolled back on leaving
    finally:
        engine.dispose()


def _sqlalchemy_sqlite(value: object, pg: str | None) -> object:
    return _sqlalchemy("sqlite://", value)


def postgres_url(conninfo: str) -> str:
    kwargs = connect_kwargs(conninfo)
    return f"postgresql+psycopg://{kwargs['user']}@/{kwargs['database']}?host={kwargs['host']}"


def _sqlalchemy_postgres(value: object, pg: str | None) -> object:
    return _sqlalchemy(postgres_url(pg or ""), value)


def _polars(value: object, pg: str | None) -> object:
    return importlib.import_module("polars").Series([value])[0]


def _refusals(library: str) -> tuple[type[BaseException], ...]:
    """The errors by which each library says no."""
    if library == "pydantic v2":
        return (importlib.import_module("pydantic").ValidationError,)
    if library == "psycopg":
        return (importlib.import_module("psycopg").Error,)
    if library == "asyncpg":
        return (importlib.import_module("asyncpg").DataError,)
    if library.startswith("SQLAlchemy"):
        return (importlib.import_module("sqlalchemy").exc.StatementError,)
    return (TypeError,)


# README's row name: (probe, the module it needs, whether it needs the PostgreSQL server).
LIBRARIES: dict[str, tuple[Callable[[object, str | None], object], str | None, bool]] = {
    "pickle, multiprocessing": (_pickle, None, False),
    "multiprocessing": (_multiprocessing, None, False),
    "pydantic v2": (_pydantic, "pydantic", False),
    "psycopg": (_psycopg, "psycopg", True),
    "asyncpg": (_asyncpg, "asyncpg", True),
    "SQLAlchemy on SQLite": (_sqlalchemy_sqlite, "sqlalchemy", False),
    "SQLAlchemy on PostgreSQL": (_sqlalchemy_postgres, "sqlalchemy", True),
    "polars": (_polars, "polars", False),
}
# The row that says what pickle does says it for multiprocessing too.
ROW = {"multiprocessing": "pickle, multiprocessing"}


def verdict(library: str, value: object, wanted: int, request: pytest.FixtureRequest) -> str:
    probe, module, needs_server = LIBRARIES[library]
    if module:
        pytest.importorskip(module)
    pg = request.getfixturevalue("postgres") if needs_server else None
    try:
        back = probe(value, pg)
    except _refusals(library):
        return "refuses"
    try:
        same = tembrel.as_uuid(back).int == wanted  # type: ignore[arg-type]
    except (TypeError, ValueError):
        same = False
    return "keeps" if same else "loses"


def test_readme_table_has_a_row_for_each_library() -> None:
    assert set(readme_table()) == {ROW.get(name, name) for name in LIBRARIES}


@pytest.mark.parametrize("library", LIBRARIES)
def test_library_with_compact_identifiers(library: str, implementation: str, request: Any) -> None:
    compact = testkit.implementation_module(implementation).uuid7_obj()
    expected = readme_table()[ROW.get(library, library)][0]
    assert verdict(library, compact, compact.int, request) == expected


@pytest.mark.parametrize("library", LIBRARIES)
def test_library_with_16_bytes_of_a_batch(library: str, request: Any) -> None:
    batch = tembrel.uuid7_bytes_many(3)
    one = batch[16:32]
    expected = readme_table()[ROW.get(library, library)][1]
    assert verdict(library, one, int.from_bytes(one), request) == expected


def _pydantic_with_hook(value: object, pg: str | None) -> object:
    pydantic = importlib.import_module("pydantic")
    return pydantic.TypeAdapter(importlib.import_module("tembrel.pydantic").UUID7).validate_python(value)


def _sqlalchemy_postgres_with_hook(value: object, pg: str | None) -> object:
    sa = importlib.import_module("sqlalchemy")
    register = importlib.import_module("tembrel.psycopg").register
    engine = sa.create_engine(postgres_url(pg or ""))
    sa.event.listen(engine, "connect", lambda dbapi_connection, record: register(dbapi_connection))
    table = sa.Table("ids", sa.MetaData(), sa.Column("id", sa.Uuid, primary_key=True))
    try:
        with engine.connect() as conn:
            table.create(conn)
            conn.execute(table.insert(), [{"id": value}])
            return conn.execute(sa.select(table.c.id)).scalar_one()
    finally:
        engine.dispose()


# What README's last column offers for a compact identifier, where a library refuses it.
HOOKS = {
    "pydantic v2": (_pydantic_with_hook, "pydantic", False),
    "SQLAlchemy on PostgreSQL": (_sqlalchemy_postgres_with_hook, "sqlalchemy", True),
}


@pytest.mark.parametrize("library", HOOKS)
def test_tembrels_adapter_makes_the_library_keep_compact_identifiers(
    library: str, request: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setitem(LIBRARIES, library, HOOKS[library])
    compact = tembrel.uuid7_compact()
    assert verdict(library, compact, compact.int, request) == "keeps"
    other = tembrel.uuid7_at(0)  # pydantic's UUID7 still checks the version of what it converts
    assert verdict(library, uuid.UUID(int=other.int ^ (0xF << 76)), 0, request) == (
        "refuses" if library == "pydantic v2" else "loses"
    )


@pytest.mark.parametrize(
    ("module", "library", "extra"),
    [("psycopg", "psycopg", "'tembrel[psycopg]'"), ("pydantic", "pydantic", "pydantic")],
)
def test_import_without_the_library_names_what_to_install(
    module: str, library: str, extra: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    pytest.importorskip(library)
    for name in [name for name in sys.modules if name.partition(".")[0] == library] + [library]:
        monkeypatch.setitem(sys.modules, name, None)  # the library and any of its modules loaded
    monkeypatch.delitem(sys.modules, f"tembrel.{module}", raising=False)
    with pytest.raises(ImportError, match=re.escape(f"pip install {extra}")) as caught:
        importlib.import_module(f"tembrel.{module}")
    assert caught.value.name == library
