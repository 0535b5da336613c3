"""Identifiers into PostgreSQL ``uuid`` columns by binary ``COPY``, whatever the client.

:func:`binary_copy_data` turns one batch of 16-byte identifiers (the ``bytes``
of :func:`tembrel.uuid7_bytes_many`) into the whole data of a
``COPY table (column) FROM STDIN (FORMAT BINARY)`` into one ``uuid`` column,
ready to hand to the client as it is: psycopg's ``copy.write(data)``, asyncpg's
``copy_to_table(..., source=io.BytesIO(data), format="binary")``.  It makes no
Python object per identifier.  Needs no database library.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["binary_copy_data"]

# The stream opens with a signature, a flags word (no OIDs) and the length of a header extension (none)...
_HEADER = b"PGCOPY\n\xff\r\n\x00" + bytes(8)
# ... and ends with a field count of -1.
_TRAILER = b"\xff\xff"
# Each row: a field count of 1 (2 bytes), the field's length, 16 (4 bytes), the 16 bytes.
_ROW = 22


def binary_copy_data(ids: Buffer) -> bytearray:
    """Return the data of a binary ``COPY ... FROM STDIN`` of one ``uuid`` column, a row per identifier.

    ``ids`` is any contiguous buffer of 16 bytes per identifier, such as the
    result of :func:`tembrel.uuid7_bytes_many`; the rows keep its order.
    Raises ValueError when its length is not a multiple of 16, TypeError
    when it is no buffer or not a contiguous one.
    """
    if isinstance(ids, bytes):
        data = ids
    else:  # copied once: a strided slice of bytes is a fast copy, of a memoryview a slow one
        with memoryview(ids) as view:
            if not view.contiguous:
                raise TypeError("the identifiers must lie in one contiguous buffer")
            data = view.tobytes()
    count, rest = divmod(len(data), 16)
    if rest:
        raise ValueError(f"a UUID is 16 bytes; {len(data)} bytes is not a whole number of them")
    start, end = len(_HEADER), len(_HEADER) + _ROW * count
    out = bytearray(end + len(_TRAILER))
    out[:start] = _HEADER
    out[end:] = _TRAILER
    # A column of bytes at a time: 18 slice assignments whatever the number of rows.
    out[start + 1 : end : _ROW] = b"\x01" * count
    out[start + 5 : end : _ROW] = b"\x10" * count
    for i in range(16):
        out[start + 6 + i : end : _ROW] = data[i::16]
    return out
