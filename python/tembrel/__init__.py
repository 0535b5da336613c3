"""tembrel: fast, strictly increasing, fork-safe UUID version 7 identifiers (RFC 9562).

Every identifier made from the clock comes from one process-wide sequence:
each is greater than the one before, whatever the clock does, and a forked
child starts a sequence of its own.  The same identifier is offered in every
shape a program stores it in:

=====================  =========================  ==========================
shape                  one                        many (one call)
=====================  =========================  ==========================
``uuid.UUID``          :func:`uuid7`              :func:`uuid7_many`
canonical ``str``      :func:`uuid7_str`          :func:`uuid7_str_many`
16 ``bytes``           :func:`uuid7_bytes`        :func:`uuid7_bytes_many`
``int``                :func:`uuid7_int`          :func:`uuid7_int_many`
:class:`CompactUUID`   :func:`uuid7_compact`      :func:`uuid7_compact_many`
=====================  =========================  ==========================

:func:`uuid7_bytes_many` returns one contiguous ``bytes`` object of 16 bytes
per identifier.  :func:`uuid7_at` and :func:`uuid7_at_many` make independent
identifiers at given Unix millisecond timestamps (for back-filling and tests);
:func:`time_ms` and :func:`datetime_of` read the time back from any UUIDv7;
:func:`uuid7_min` and :func:`uuid7_max` bound the identifiers of a
millisecond, for range queries on a column of UUIDv7 keys.
"""

from __future__ import annotations

import datetime as _dt
import uuid as _uuid
from collections.abc import Iterable

from .tembrel_impl import vorndal as _vorndal

__all__ = [
    "CompactUUID",
    "UUIDLike",
    "datetime_of",
    "time_ms",
    "uuid7",
    "uuid7_at",
    "uuid7_at_many",
    "uuid7_bytes",
    "uuid7_bytes_many",
    "uuid7_compact",
    "uuid7_compact_many",
    "uuid7_int",
    "uuid7_int_many",
    "uuid7_many",
    "uuid7_max",
    "uuid7_min",
    "uuid7_str",
    "uuid7_str_many",
]

__version__ = "0.1.0"

CompactUUID = _vorndal.UUID7Obj
"""The compact immutable UUIDv7 type: the object header and two 64-bit words.

Offers ``str``, ``repr``, ``hash``, ordering, ``int()``, ``bytes()`` and the
read-only attributes ``int``, ``bytes``, ``bytes_le``, ``hex``, ``urn``,
``time`` (Unix milliseconds), ``timestamp``, ``version``, ``variant`` and
``fields``, like :class:`uuid.UUID`.  It is not a :class:`uuid.UUID` and never
equals one; convert with ``uuid.UUID(int=c.int)``.
"""

UUIDLike = _uuid.UUID | CompactUUID | str | bytes | int
"""Every form :func:`time_ms` and :func:`datetime_of` accept."""

# Instances from the fast path are indistinguishable from uuid.UUID(int=...):
# same class, same is_safe.
_vorndal._configure_uuid7(_uuid.UUID, _uuid.SafeUUID.unknown)

_MAX_UNIX_MS = (1 << 48) - 1
_VERSION_7 = 0x7 << 76
_VARIANT_RFC = 0b10 << 62
_VERSION_VARIANT_MASK = (0xF << 76) | (0b11 << 62)
_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.UTC)

# --------------------------------------------------------------------------
# Identifiers from the clock
# --------------------------------------------------------------------------


def uuid7() -> _uuid.UUID:
    """Return a new UUIDv7 as a :class:`uuid.UUID`."""
    return _vorndal.uuid7()


def uuid7_str() -> str:
    """Return a new UUIDv7 as its 36-character canonical text."""
    return _vorndal.generate_uuid7()


def uuid7_bytes() -> bytes:
    """Return a new UUIDv7 as 16 big-endian bytes."""
    return _vorndal.generate_uuid7_bytes()


def uuid7_int() -> int:
    """Return a new UUIDv7 as a 128-bit integer."""
    return _vorndal.generate_uuid7_int()


def uuid7_compact() -> CompactUUID:
    """Return a new UUIDv7 as a :class:`CompactUUID`."""
    return _vorndal.uuid7_obj()


def uuid7_many(count: int) -> list[_uuid.UUID]:
    """Return ``count`` new UUIDv7s as :class:`uuid.UUID`, in increasing order."""
    return _vorndal.uuid7_many(count)


def uuid7_str_many(count: int) -> list[str]:
    """Return ``count`` new UUIDv7s as canonical text, in increasing order."""
    return _vorndal.uuid7_str_many(count)


def uuid7_bytes_many(count: int) -> bytes:
    """Return ``count`` new UUIDv7s as one ``bytes`` object of ``16 * count`` bytes.

    Identifier ``i`` occupies bytes ``16 * i`` to ``16 * i + 15``, in
    increasing order.  ``memoryview(b).cast("B")`` or NumPy's
    ``numpy.frombuffer(b, dtype="V16")`` view it without a copy.
    """
    return _vorndal.uuid7_bytes_many(count)


def uuid7_int_many(count: int) -> list[int]:
    """Return ``count`` new UUIDv7s as 128-bit integers, in increasing order."""
    data = _vorndal.uuid7_bytes_many(count)
    from_bytes = int.from_bytes
    return [from_bytes(data[i : i + 16]) for i in range(0, len(data), 16)]


def uuid7_compact_many(count: int) -> list[CompactUUID]:
    """Return ``count`` new UUIDv7s as :class:`CompactUUID`, in increasing order."""
    return _vorndal.uuid7_obj_many(count)


# --------------------------------------------------------------------------
# Independent identifiers at given timestamps
# --------------------------------------------------------------------------


def uuid7_at(unix_ms: int) -> _uuid.UUID:
    """Return an independent UUIDv7 carrying the Unix millisecond timestamp ``unix_ms``.

    It has 74 random bits and stays outside the clock-driven sequence: two
    identifiers at one timestamp are in no particular order.  ``unix_ms``
    must be an ``int`` (not ``bool``) from 0 to 2**48 - 1.
    """
    return _vorndal._uuid7_at_many((unix_ms,))[0]


def uuid7_at_many(unix_ms: Iterable[int]) -> list[_uuid.UUID]:
    """Return one independent UUIDv7 per timestamp of ``unix_ms``, in the same order.

    Every timestamp is checked before anything is made: a bad element raises
    TypeError or ValueError naming its index, and nothing is generated.
    """
    return _vorndal._uuid7_at_many(unix_ms)


# --------------------------------------------------------------------------
# Reading identifiers back
# --------------------------------------------------------------------------


def _as_int(value: UUIDLike) -> int:
    if isinstance(value, _uuid.UUID | CompactUUID):
        return value.int
    if isinstance(value, str):
        try:
            return _uuid.UUID(value).int
        except ValueError:
            raise ValueError(f"not a UUID: {value!r}") from None
    if isinstance(value, bytes | bytearray | memoryview):
        if len(value) != 16:
            raise ValueError(f"a UUID is 16 bytes, not {len(value)}")
        return int.from_bytes(value)
    if isinstance(value, int) and not isinstance(value, bool):
        if not 0 <= value < 1 << 128:
            raise ValueError("a UUID integer lies between 0 and 2**128 - 1")
        return value
    raise TypeError(f"expected uuid.UUID, CompactUUID, str, bytes or int, not {type(value).__name__}")


def time_ms(value: UUIDLike) -> int:
    """Return the Unix millisecond timestamp of a UUIDv7.

    ``value`` may be a :class:`uuid.UUID`, a :class:`CompactUUID`, text in any
    form :class:`uuid.UUID` parses, 16 bytes or an ``int``.  Raises ValueError
    when it is not a version 7 UUID of the RFC variant.
    """
    number = _as_int(value)
    if number & _VERSION_VARIANT_MASK != _VERSION_7 | _VARIANT_RFC:
        raise ValueError(f"not a version 7 UUID: {_uuid.UUID(int=number)}")
    return number >> 80


def datetime_of(value: UUIDLike) -> _dt.datetime:
    """Return the time of a UUIDv7 as an aware UTC :class:`datetime.datetime`."""
    return _EPOCH + _dt.timedelta(milliseconds=time_ms(value))


def _unix_ms_of(at: int | _dt.datetime) -> int:
    if isinstance(at, _dt.datetime):
        if at.tzinfo is None:
            raise ValueError("a naive datetime has no defined Unix time; give it a tzinfo")
        delta = at - _EPOCH
        ms = (delta.days * 86_400_000) + (delta.seconds * 1000) + (delta.microseconds // 1000)
    elif isinstance(at, int) and not isinstance(at, bool):
        ms = int(at)
    else:
        raise TypeError(f"expected Unix milliseconds (int) or an aware datetime, not {type(at).__name__}")
    if not 0 <= ms <= _MAX_UNIX_MS:
        raise ValueError("Unix milliseconds must be between 0 and 2**48 - 1")
    return ms


def uuid7_min(at: int | _dt.datetime) -> _uuid.UUID:
    """Return the smallest UUIDv7 of the millisecond ``at`` (Unix ms or aware datetime).

    Every UUIDv7 of that millisecond or later compares greater or equal, so
    ``uuid7_min(start) <= key < uuid7_min(end)`` selects the keys made in
    ``[start, end)`` without a separate timestamp column.
    """
    return _uuid.UUID(int=(_unix_ms_of(at) << 80) | _VERSION_7 | _VARIANT_RFC)


def uuid7_max(at: int | _dt.datetime) -> _uuid.UUID:
    """Return the largest UUIDv7 of the millisecond ``at`` (Unix ms or aware datetime)."""
    ones = ((1 << 80) - 1) & ~_VERSION_VARIANT_MASK
    return _uuid.UUID(int=(_unix_ms_of(at) << 80) | ones | _VERSION_7 | _VARIANT_RFC)
