"""psycopg 3 adapters: :class:`tembrel.UUID7Obj` as a PostgreSQL ``uuid``.

``register(context)`` teaches a connection or a cursor to send a
:class:`~tembrel.UUID7Obj` wherever a ``uuid.UUID`` goes: a query parameter,
``executemany``, ``copy.write_row``.  In a ``COPY`` whose column types are set
(``copy.set_types(["uuid"])``), the same dumpers also take a 16-byte ``bytes``
for a ``uuid``.  Anywhere else a
``bytes`` stays a ``bytea``, as psycopg sends it.

The fastest bulk load makes no Python object per row: hand the whole batch to
``copy.write`` as :func:`tembrel.postgres.binary_copy_data` frames it.
Needs psycopg: ``pip install 'tembrel[psycopg]'``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

try:
    import psycopg  # noqa: F401  (first: a missing psycopg is then named as itself)
    from psycopg.adapt import Dumper
    from psycopg.pq import Format
    from psycopg.types.uuid import UUIDBinaryDumper, UUIDDumper
except ImportError as _missing:  # tested in a process without psycopg
    raise ImportError(
        "tembrel.psycopg needs psycopg 3, which is not installed: pip install 'tembrel[psycopg]'",
        name=_missing.name,
    ) from _missing

import tembrel

if TYPE_CHECKING:
    from psycopg.abc import AdaptContext

__all__ = ["register"]


def _bytes_of(obj: Any) -> bytes:
    if type(obj) is bytes:
        if len(obj) != 16:
            raise ValueError(f"a UUID is 16 bytes, not {len(obj)}")
        return obj
    data: bytes = obj.bytes  # UUID7Obj and uuid.UUID alike
    return data


class _TextDumper(UUIDDumper):
    """A ``UUID7Obj`` (or a ``uuid.UUID``, or 16 bytes in a typed ``COPY``) as the text of a ``uuid``."""

    def dump(self, obj: Any) -> bytes:
        return _bytes_of(obj).hex().encode()


class _BinaryDumper(UUIDBinaryDumper):
    """A ``UUID7Obj`` (or a ``uuid.UUID``, or 16 bytes in a typed ``COPY``) as the 16 bytes of a ``uuid``."""

    format = Format.BINARY

    def dump(self, obj: Any) -> bytes:
        return _bytes_of(obj)


def register(context: AdaptContext) -> None:
    """Register the dumpers of :class:`tembrel.UUID7Obj`, text and binary, on ``context``.

    ``context`` is a connection or a cursor (``psycopg.adapters``, the global
    map, serves every connection made afterwards).  Registering them also makes
    them the dumpers of the ``uuid`` type there, which a typed ``COPY`` uses
    for every value of a ``uuid`` column: they send a ``uuid.UUID`` as
    psycopg's own do, and take a 16-byte ``bytes`` besides.
    """
    dumper: type[Dumper]
    for dumper in (_TextDumper, _BinaryDumper):
        context.adapters.register_dumper(tembrel.UUID7Obj, dumper)
