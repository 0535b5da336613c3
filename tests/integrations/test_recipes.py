"""The recipes of docs/recipes.md run as written (README.md's blocks: tests/python/test_docs.py)."""

from __future__ import annotations

import doctest
import importlib.util
import pathlib
import re
import sys
import types

import pytest
import testkit

ROOT = pathlib.Path(__file__).resolve().parents[2]
RECIPES = ROOT / "docs" / "recipes.md"


def section(path: pathlib.Path, heading: str) -> str:
    """The text under ``heading`` up to the next heading of the same or a higher level."""
    text = path.read_text()
    match = re.search(rf"^(#+) {re.escape(heading)}\n", text, re.M)
    assert match, f"no heading {heading!r} in {path.name}"
    level = len(match.group(1))
    end = re.compile(rf"^#{{1,{level}}} ", re.M).search(text, match.end())
    return text[match.end() : end.start() if end else len(text)]


def python_blocks(text: str) -> list[str]:
    return re.findall(r"```python\n(.*?)```", text, re.S)


def require(*modules: str) -> None:
    for name in modules:
        if importlib.util.find_spec(name) is None:
            pytest.skip(f"{name} is not installed (dependency group 'integrations')")


# Headings of docs/recipes.md whose examples are doctests, with the modules they use.
DOCTESTS = {
    "JSON: orjson and msgspec": ("orjson", "msgspec"),
    "Django": ("django",),
    "Dask distributed: identifiers made in worker processes": ("distributed",),
    "Arrow, Parquet, Polars and DuckDB": ("pyarrow", "polars", "duckdb"),
}


@pytest.mark.parametrize("heading", DOCTESTS)
def test_recipe_page_examples(heading: str) -> None:
    require(*DOCTESTS[heading])
    text = section(RECIPES, heading)
    test = doctest.DocTestParser().get_doctest(text, {}, heading, str(RECIPES), 0)
    assert len(test.examples) >= 5
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


def test_every_recipe_section_is_tested() -> None:
    headings = re.findall(r"^## (.*)$", RECIPES.read_text(), re.M)
    assert set(headings) == set(DOCTESTS) | set(POSTGRES) | {SNAPSHOTS}


SNAPSHOTS = "Snapshots: AWS Lambda SnapStart and CRIU"


def test_snapshot_recipe(monkeypatch: pytest.MonkeyPatch) -> None:
    import signal

    # Lambda's runtime module, standing in: it hands back the hook it registers.
    runtime = types.ModuleType("snapshot_restore_py")
    runtime.register_after_restore = lambda hook: hook  # type: ignore[attr-defined]
    monkeypatch.setitem(sys.modules, runtime.__name__, runtime)
    previous = signal.getsignal(signal.SIGUSR1)
    try:
        test = doctest.DocTestParser().get_doctest(
            section(RECIPES, SNAPSHOTS), {}, SNAPSHOTS, str(RECIPES), 0
        )
        runner = doctest.DocTestRunner()
        runner.run(test)
        assert runner.summarize(verbose=False).failed == 0
    finally:
        signal.signal(signal.SIGUSR1, previous)


# Each with the client it needs.
POSTGRES = {
    "PostgreSQL with psycopg 3": "psycopg",
    "PostgreSQL: the fastest bulk load, binary COPY": "psycopg",
    "PostgreSQL with asyncpg": "asyncpg",
}


@pytest.mark.parametrize("heading", POSTGRES)
def test_postgres_recipe(heading: str, postgres: str) -> None:
    require(POSTGRES[heading])
    server = testkit.connect_kwargs(postgres)
    dsn = f"postgresql://{server['user']}@/{server['database']}?host={server['host']}"
    (block,) = python_blocks(section(RECIPES, heading))
    exec(compile(block, f"{RECIPES}:{heading}", "exec"), {"conninfo": postgres, "dsn": dsn})


def _json(value: object) -> object:
    import json

    return json.dumps(value)


def _orjson(value: object) -> object:
    return importlib.import_module("orjson").dumps(value)


def _msgspec(value: object) -> object:
    return importlib.import_module("msgspec").json.encode(value)


def _pydantic(value: object) -> object:
    pydantic = importlib.import_module("pydantic")
    from pydantic.types import UUID7

    return pydantic.TypeAdapter(UUID7).validate_python(value)


def _duckdb(value: object) -> object:
    return importlib.import_module("duckdb").execute("SELECT ?::UUID", [value]).fetchall()[0][0]


def _pyarrow(value: object) -> object:
    pa = importlib.import_module("pyarrow")
    return pa.array([value], pa.uuid()).to_pylist()[0]


# Each sends one value out through a library; json knows no uuid.UUID either, so
# text is what reaches it.
BOUNDARIES = {
    "json": (_json, None),
    "orjson": (_orjson, "orjson"),
    "msgspec": (_msgspec, "msgspec"),
    "pydantic": (_pydantic, "pydantic"),
    "duckdb": (_duckdb, "duckdb"),
    "pyarrow": (_pyarrow, "pyarrow"),
}


@pytest.mark.parametrize("library", BOUNDARIES)
def test_compact_ids_are_refused_until_converted(library: str) -> None:
    import uuid

    import tembrel

    send, module = BOUNDARIES[library]
    if module:
        require(module)
    compact = tembrel.uuid7_compact()
    # Each library raises its own subclass of these (DuckDB its own Error).
    refusals: tuple[type[Exception], ...] = (TypeError, ValueError)
    if library == "duckdb":
        refusals = (importlib.import_module("duckdb").Error,)
    with pytest.raises(refusals):
        send(compact)
    if library == "json":
        assert send(str(compact)) == send(str(uuid.UUID(int=compact.int)))
        return
    converted = tembrel.as_uuid(compact)
    assert type(converted) is uuid.UUID and converted.int == compact.int
    assert send(converted) == send(uuid.UUID(str(compact)))
