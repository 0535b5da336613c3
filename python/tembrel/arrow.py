"""Identifiers as Arrow arrays of the UUID extension type, without a copy.

:func:`uuid7_array` makes ``count`` new identifiers with one call of
:func:`tembrel.uuid7_bytes_many` and lays an Arrow array of the canonical UUID
extension type (``pyarrow.uuid()``, a ``fixed_size_binary(16)`` storage) over
the buffer of that one ``bytes`` object: Arrow reads the identifiers where the
generator wrote them.  The array holds a reference to the ``bytes`` object, so
the memory lives as long as the array (or any slice or table made from it).

The array goes on to Parquet, Polars (``polars.from_arrow``) and DuckDB as it
is.  Needs pyarrow: ``pip install 'tembrel[arrow]'``.
"""

from __future__ import annotations

from typing import cast

try:
    # pyarrow ships no type information of its own: the pyarrow-stubs package has it.
    import pyarrow as pa
except ImportError as _missing:  # tested in a process without pyarrow
    raise ImportError(
        "tembrel.arrow needs pyarrow, which is not installed: pip install 'tembrel[arrow]'",
        name=_missing.name,
    ) from _missing

import tembrel

__all__ = ["uuid7_array", "uuid_array_from_bytes"]

_STORAGE = pa.binary(16)
_UUID = pa.uuid()


def uuid_array_from_bytes(data: bytes) -> pa.ExtensionArray[pa.FixedSizeBinaryArray]:
    """Return an array of the UUID extension type over ``data``, 16 bytes per UUID.

    ``data`` is any ``bytes`` object whose length is a multiple of 16 (such as
    a result of :func:`tembrel.uuid7_bytes_many`); the array reads its buffer
    in place and keeps it alive.
    """
    if type(data) is not bytes:
        raise TypeError(f"expected bytes, not {type(data).__name__}")
    count, rest = divmod(len(data), 16)
    if rest:
        raise ValueError(f"a UUID is 16 bytes; {len(data)} bytes is not a whole number of them")
    # A fixed_size_binary type makes a FixedSizeBinaryArray, which the stubs type only as an Array.
    storage = cast(
        "pa.FixedSizeBinaryArray",
        pa.FixedSizeBinaryArray.from_buffers(_STORAGE, count, [None, pa.py_buffer(data)]),
    )
    return pa.ExtensionArray.from_storage(_UUID, storage)


def uuid7_array(count: int) -> pa.ExtensionArray[pa.FixedSizeBinaryArray]:
    """Return ``count`` new UUIDv7s, in increasing order, as an array of ``pyarrow.uuid()``.

    Built over the one ``bytes`` object of :func:`tembrel.uuid7_bytes_many`
    without copying it.  Element ``i`` converts to Python as a
    :class:`uuid.UUID` (``array[i].as_py()``).
    """
    return uuid_array_from_bytes(tembrel.uuid7_bytes_many(count))
