"""Identifiers as Arrow arrays of the UUID extension type, without a copy.

:func:`uuid7_array` makes ``count`` new identifiers with one call of
:func:`tembrel.uuid7_bytes_many` and lays an Arrow array of the canonical UUID
extension type (``pyarrow.uuid()``, a ``fixed_size_binary(16)`` storage) over
the buffer of that one ``bytes`` object: Arrow reads the identifiers where the
generator wrote them.  The array holds a reference to the ``bytes`` object, so
the memory lives as long as the array (or any slice or table made from it).

The array goes on to Parquet, Polars (``polars.from_arrow``) and DuckDB as it
is.

The other way, :func:`time_ms` and :func:`datetime_of` read the timestamps of a
whole batch, Arrow array or Polars column at once, and :func:`uuid7_min` and
:func:`uuid7_max` give the range bounds of many timestamps at once: NumPy passes
over the identifiers' memory, a few nanoseconds per identifier, with no Python
loop.  Needs pyarrow and NumPy: ``pip install 'tembrel[arrow]'``.
"""

from __future__ import annotations

import uuid
from collections.abc import Iterable
from typing import Any, cast

try:
    # pyarrow ships no type information of its own: the pyarrow-stubs package has it.
    import pyarrow as pa
    import pyarrow.compute as pc
except ImportError as _missing:  # tested in a process without pyarrow
    raise ImportError(
        "tembrel.arrow needs pyarrow, which is not installed: pip install 'tembrel[arrow]'",
        name=_missing.name,
    ) from _missing

import tembrel

__all__ = ["datetime_of", "time_ms", "uuid7_array", "uuid7_max", "uuid7_min", "uuid_array_from_bytes"]

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


# --------------------------------------------------------------------------
# Many identifiers read back, many range bounds made
# --------------------------------------------------------------------------

_UUIDs = Any
"""What :func:`time_ms` reads: a bytes-like batch of 16-byte UUIDs (such as
:func:`tembrel.uuid7_bytes_many` returns), or an Arrow array or chunked array of
``pyarrow.uuid()``, ``fixed_size_binary(16)`` or binary values of 16 bytes, or
anything that exports one through the Arrow PyCapsule interface (a Polars
``Binary`` Series)."""

_MILLIS = pa.timestamp("ms", tz="UTC")
_MAX_UNIX_MS = (1 << 48) - 1


def _numpy() -> Any:
    try:
        import numpy
    except ImportError as missing:  # tested in a process without NumPy
        raise ImportError(
            "reading or making many identifiers at once needs NumPy, which is not installed: "
            "pip install 'tembrel[arrow]'",
            name=missing.name,
        ) from missing
    return numpy


def _fixed16(values: _UUIDs) -> Any:
    """``values`` as ``fixed_size_binary(16)`` storage: in place where it is one already."""
    if isinstance(values, pa.ChunkedArray):
        chunks: list[pa.FixedSizeBinaryArray] = [_fixed16(chunk) for chunk in values.chunks]
        # The type names what no chunk can when there is none.
        return pa.chunked_array(chunks, type=_STORAGE)  # type: ignore[call-overload]
    if isinstance(values, pa.Array):
        if isinstance(values, pa.ExtensionArray):
            values = values.storage
        values = cast("Any", values)  # the stubs know no kernel over binary arrays
        kind = values.type
        if kind == _STORAGE:
            return values
        if pa.types.is_large_binary(kind) or pa.types.is_binary_view(kind):
            # Arrow measures and casts to a fixed size only plain binary (a Polars column is a view).
            values, kind = values.cast(pa.binary()), pa.binary()
        if pa.types.is_binary(kind):
            lengths: Any = pc.binary_length(values)
            wrong = pc.not_equal(lengths, pa.scalar(16, pa.int32()))
            if pc.any(wrong).as_py():
                index = pc.index(wrong, True).as_py()
                raise ValueError(f"a UUID is 16 bytes, not {len(values[index].as_py())} (at index {index})")
            return values.cast(_STORAGE)
        raise TypeError(f"expected an array of UUIDs or 16-byte binary values, not one of {kind}")
    if hasattr(values, "__arrow_c_stream__"):
        return _fixed16(pa.chunked_array(values))
    if hasattr(values, "__arrow_c_array__"):
        return _fixed16(pa.array(values))
    try:
        view = memoryview(values)
    except TypeError:
        raise TypeError(
            f"expected a bytes-like batch of UUIDs or an Arrow array of them, not {type(values).__name__}"
        ) from None
    with view:
        if not view.c_contiguous:
            raise ValueError("a batch of UUIDs must be contiguous")
        count, rest = divmod(view.nbytes, 16)
        if rest:
            raise ValueError(f"a UUID is 16 bytes; {view.nbytes} bytes is not a whole number of them")
    # py_buffer keeps the exporter alive, and reads it in place.
    return pa.FixedSizeBinaryArray.from_buffers(_STORAGE, count, [None, pa.py_buffer(values)])


def _time_ms_of_chunk(array: Any) -> Any:
    np = _numpy()
    count = len(array)
    data = array.buffers()[1]
    if count == 0 or data is None:
        return pa.array([], pa.int64()) if count == 0 else pa.nulls(count, pa.int64())
    # Every UUID's bytes and its first big-endian word, read where they lie:
    # the version is the high nibble of byte 6, the variant the top two bits of byte 8.
    octets = np.ndarray((count, 16), np.uint8, data, array.offset * 16)
    high = np.ndarray((count,), ">u8", data, array.offset * 16, (16,))
    bad = ((octets[:, 6] & 0xF0) != 0x70) | ((octets[:, 8] & 0xC0) != 0x80)
    valid = None
    if array.null_count:
        valid = array.is_valid().to_numpy(zero_copy_only=False)
        bad &= valid
    if bad.any():
        index = int(bad.argmax())
        raise ValueError(f"not a version 7 UUID at index {index}: {uuid.UUID(bytes=array[index].as_py())}")
    ms = (high >> 16).view(np.int64)
    return pa.array(ms, pa.int64(), mask=None if valid is None else ~valid)


def time_ms(values: _UUIDs) -> pa.Int64Array | pa.ChunkedArray[Any]:
    """Return the Unix millisecond timestamps of many UUIDv7s as an Arrow ``int64`` array.

    ``values`` is a bytes-like batch of 16-byte UUIDs (such as
    :func:`tembrel.uuid7_bytes_many` returns), an Arrow array or chunked array
    of ``pyarrow.uuid()``, ``fixed_size_binary(16)`` or 16-byte binary values,
    or anything that exports one through the Arrow PyCapsule interface (a
    Polars ``Binary`` Series).  A chunked array gives a chunked array; a null
    stays null.  Raises ValueError naming the first position that holds no
    version 7 UUID of the RFC variant, as :func:`tembrel.time_ms` would.
    """
    storage = _fixed16(values)
    if isinstance(storage, pa.ChunkedArray):
        return pa.chunked_array([_time_ms_of_chunk(chunk) for chunk in storage.chunks], type=pa.int64())
    return cast("pa.Int64Array", _time_ms_of_chunk(storage))


def datetime_of(values: _UUIDs) -> pa.TimestampArray[Any] | pa.ChunkedArray[Any]:
    """Return the times of many UUIDv7s as an Arrow ``timestamp("ms", tz="UTC")`` array.

    Takes what :func:`time_ms` takes; the timestamps are its milliseconds, unchanged.
    """
    return cast("pa.TimestampArray[Any] | pa.ChunkedArray[Any]", time_ms(values).cast(_MILLIS))


def _unix_ms_array(at: Any) -> Any:
    """The Unix milliseconds of ``at`` as NumPy int64 with a validity mask (None: no nulls)."""
    _numpy()
    if not isinstance(at, pa.Array | pa.ChunkedArray):
        at = pa.array(at if hasattr(at, "__len__") else list(at))
    if isinstance(at, pa.ChunkedArray):
        at = at.combine_chunks()
    kind = at.type
    if pa.types.is_timestamp(kind):
        if kind.tz is None:
            raise ValueError(
                "at holds naive timestamps, which have no defined Unix time; give them a time zone"
            )
        scale = {"s": (1000, 1), "ms": (1, 1), "us": (1, 1000), "ns": (1, 1_000_000)}[kind.unit]
    elif pa.types.is_integer(kind) or pa.types.is_null(kind):
        scale = (1, 1)
    else:
        raise TypeError(f"at must hold integer Unix milliseconds or timestamps with a time zone, not {kind}")
    at = at.cast(pa.int64())
    valid = at.is_valid().to_numpy(zero_copy_only=False) if at.null_count else None
    # Checked before seconds are multiplied, so that no product wraps round; an
    # instant counts in the millisecond it lies in (floor).
    ms = at.fill_null(0).to_numpy()
    ms = ms // scale[1] if scale[1] != 1 else ms
    out_of_range = (ms < 0) | (ms > _MAX_UNIX_MS // scale[0])
    if valid is not None:
        out_of_range &= valid
    if out_of_range.any():
        index = int(out_of_range.argmax())
        raise ValueError(f"at[{index}] must be between 0 and 2**48 - 1 Unix milliseconds")
    if scale[0] != 1:
        ms = ms * scale[0]
    return ms, valid


def _bounds(at: Any, high_tail: int, low: int) -> pa.ExtensionArray[pa.FixedSizeBinaryArray]:
    np = _numpy()
    ms, valid = _unix_ms_array(at)
    words = np.empty((len(ms), 2), ">u8")
    words[:, 0] = (ms.view(np.uint64) << np.uint64(16)) | np.uint64(high_tail)  # ms: checked >= 0
    words[:, 1] = low
    storage = pa.FixedSizeBinaryArray.from_buffers(
        _STORAGE,
        len(ms),
        [None if valid is None else pa.array(valid).buffers()[1], pa.py_buffer(words)],
    )
    return pa.ExtensionArray.from_storage(_UUID, cast("pa.FixedSizeBinaryArray", storage))


def uuid7_min(
    at: pa.Array[Any] | pa.ChunkedArray[Any] | Iterable[int],
) -> pa.ExtensionArray[pa.FixedSizeBinaryArray]:
    """Return the smallest UUIDv7 of each millisecond of ``at``, as an array of ``pyarrow.uuid()``.

    ``at`` holds Unix milliseconds (integers from 0 to 2**48 - 1) or
    timestamps with a time zone (an instant counts in the millisecond it lies
    in): an Arrow array or chunked array, or any sequence of integers.  A null
    gives a null.  Element ``i`` is :func:`tembrel.uuid7_min` of ``at[i]``.
    """
    return _bounds(at, 0x7000, 0x8000_0000_0000_0000)


def uuid7_max(
    at: pa.Array[Any] | pa.ChunkedArray[Any] | Iterable[int],
) -> pa.ExtensionArray[pa.FixedSizeBinaryArray]:
    """Return the largest UUIDv7 of each millisecond of ``at``, as an array of ``pyarrow.uuid()``.

    Takes what :func:`uuid7_min` takes; element ``i`` is :func:`tembrel.uuid7_max` of ``at[i]``.
    """
    return _bounds(at, 0x7FFF, 0xBFFF_FFFF_FFFF_FFFF)
