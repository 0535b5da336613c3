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
:class:`UUID7Obj`      :func:`uuid7_compact`      :func:`uuid7_compact_many`
=====================  =========================  ==========================

:func:`uuid7_bytes_many` returns one contiguous ``bytes`` object of 16 bytes
per identifier.  :func:`uuid7_at` and :func:`uuid7_at_many` make independent
identifiers at given Unix millisecond timestamps (for back-filling and tests);
:func:`time_ms` and :func:`datetime_of` read the time back from any UUIDv7;
:func:`uuid7_min` and :func:`uuid7_max` bound the identifiers of a
millisecond, for range queries on a column of UUIDv7 keys; :func:`as_uuid`
turns any form of a UUID the package accepts into a :class:`uuid.UUID`.
:func:`reseed` starts the generator afresh in a process restored from a
snapshot (CRIU, a virtual machine clone, AWS Lambda SnapStart).
Wherever a timestamp is taken, it may be Unix milliseconds (an ``int``), an
aware :class:`datetime.datetime`, or ISO 8601 text with a zone
(``"2026-12-01T09:30Z"``).
"""

from __future__ import annotations

import sys as _sys


def _started_as_command() -> bool:
    """Whether this import starts the command line: `python -m tembrel`, or the `tembrel` script."""
    argv0: str = (getattr(_sys, "argv", None) or [""])[0]  # an embedding host may set no argv
    if argv0 == "-m":  # runpy, still locating the module to run
        orig = _sys.orig_argv
        return "-m" in orig and orig.index("-m") + 1 < len(orig) and orig[orig.index("-m") + 1] == "tembrel"
    return argv0.endswith("/tembrel")


if _started_as_command():
    # Ctrl-C ends the command with 130 from here on, before anything else loads (the
    # imports below and the command line's), never with a traceback; a program that
    # imports tembrel keeps its own handling.
    # The interpreter's built-in C module: signal.py would load enum first, time in which
    # Ctrl-C would still raise KeyboardInterrupt.  (It has no stubs of its own.)
    import _signal  # type: ignore[import-not-found, unused-ignore]

    def _interrupted(signum: int, frame: object) -> None:
        raise SystemExit(130)

    if _signal.getsignal(_signal.SIGINT) is _signal.default_int_handler:
        _signal.signal(_signal.SIGINT, _interrupted)

import datetime as _dt
import os as _os
import uuid as _uuid
from collections.abc import Iterable
from typing import TYPE_CHECKING, Literal

if TYPE_CHECKING:
    from typing_extensions import Buffer

    from .tembrel_impl import vorndal as _vorndal
elif _sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:  # no ABC names the buffer protocol before 3.12
    Buffer = bytes | bytearray | memoryview


def _implementation() -> tuple[Literal["native", "python"], object]:
    """The native module where it loads, else the pure-Python one; TEMBREL_PURE_PYTHON=1 forces Python."""
    if _os.environ.get("TEMBREL_PURE_PYTHON", "") not in ("", "0"):
        from .tembrel_impl import _pyvorndal

        return "python", _pyvorndal
    try:
        from .tembrel_impl import vorndal
    except ImportError:  # CPython before 3.13, PyPy, free-threaded builds, systems other than Linux
        from .tembrel_impl import _pyvorndal

        return "python", _pyvorndal
    return "native", vorndal


implementation: Literal["native", "python"]
"""Which implementation of the generator the package uses: ``"native"``, the
C++ extension module, or ``"python"``, its pure-Python twin (on interpreters
and systems the native module does not serve, or with ``TEMBREL_PURE_PYTHON=1``
in the environment).  Both make the same identifiers with the same guarantees;
README's *Guarantees* says where they differ."""
if TYPE_CHECKING:
    implementation = "native"
else:
    implementation, _vorndal = _implementation()

__all__ = [
    "CompactUUID",
    "UUID7Obj",
    "UUIDLike",
    "as_uuid",
    "datetime_of",
    "implementation",
    "reseed",
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

UUID7Obj = _vorndal.UUID7Obj
"""The compact immutable UUIDv7 type: the object header and two 64-bit words
(in the pure-Python implementation, a class of one slot holding the ``int``).

Offers ``str``, ``repr``, ``hash``, ordering, ``int()``, ``bytes()`` and the
read-only attributes ``int``, ``bytes``, ``bytes_le``, ``hex``, ``urn``,
``time`` (Unix milliseconds), ``timestamp``, ``version``, ``variant`` and
``fields``, like :class:`uuid.UUID`.  It is not a :class:`uuid.UUID`: its
``repr`` reads ``UUID('...')`` like one, yet it never equals or hashes like
one; it cannot be pickled or copied (so it cannot cross a process boundary);
and its ``__index__`` makes ``seq[c]`` an IndexError.  Convert it where it
leaves the program with :func:`as_uuid`, ``str(c)`` or ``c.bytes``.
"""

CompactUUID = UUID7Obj
"""The former name of :class:`UUID7Obj`, kept: the same type."""

UUIDLike = _uuid.UUID | UUID7Obj | str | Buffer | int
"""Every form :func:`as_uuid`, :func:`time_ms` and :func:`datetime_of` accept:
text in any form :class:`uuid.UUID` parses, any 16-byte buffer (``bytes``,
``bytearray``, ``memoryview``, ``array``, ...) and an ``int`` from 0 to
2**128 - 1 besides the two UUID types."""

# A timestamp: Unix milliseconds, an aware datetime, or ISO 8601 text with a zone.
_Timestamp = int | _dt.datetime | str

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


# The module's functions are the package's: a call costs what the module's
# does.  The module offers each under the package's name, so that help(),
# repr() and tracebacks name it as the package does.  Their documentation is
# the table above and the module's stub, whose types are these names' types.
if TYPE_CHECKING:
    from .tembrel_impl.vorndal import uuid7 as uuid7
    from .tembrel_impl.vorndal import uuid7_bytes as uuid7_bytes
    from .tembrel_impl.vorndal import uuid7_bytes_many as uuid7_bytes_many
    from .tembrel_impl.vorndal import uuid7_compact as uuid7_compact
    from .tembrel_impl.vorndal import uuid7_compact_many as uuid7_compact_many
    from .tembrel_impl.vorndal import uuid7_int as uuid7_int
    from .tembrel_impl.vorndal import uuid7_many as uuid7_many
    from .tembrel_impl.vorndal import uuid7_str as uuid7_str
    from .tembrel_impl.vorndal import uuid7_str_many as uuid7_str_many
else:
    uuid7 = _vorndal.uuid7
    uuid7_str = _vorndal.uuid7_str
    uuid7_bytes = _vorndal.uuid7_bytes
    uuid7_int = _vorndal.uuid7_int
    uuid7_compact = _vorndal.uuid7_compact
    uuid7_many = _vorndal.uuid7_many
    uuid7_str_many = _vorndal.uuid7_str_many
    uuid7_bytes_many = _vorndal.uuid7_bytes_many
    uuid7_compact_many = _vorndal.uuid7_compact_many

# And the package names them as its own: what refers to a function by its
# module and name (help(), Django's migrations, pickle) then writes
# tembrel.uuid7_str, which every implementation has, rather than the path of
# the one in use.
for _function in (
    uuid7,
    uuid7_str,
    uuid7_bytes,
    uuid7_int,
    uuid7_compact,
    uuid7_many,
    uuid7_str_many,
    uuid7_bytes_many,
    uuid7_compact_many,
):
    _function.__module__ = __name__
del _function


def uuid7_int_many(count: int, /) -> list[int]:
    """Return ``count`` new UUIDv7s as 128-bit integers, in increasing order."""
    if type(count) is int and 0 <= count < _INT_BATCH_FROM:
        # A few single calls cost less than making the compact objects first;
        # any other count is the batch's to check, with the batch's errors.
        return [uuid7_int() for _ in range(count)]
    # The compact objects convert in a C loop, each straight from its two words.
    return list(map(int, _vorndal.uuid7_obj_many(count)))


# From this count on, the compact objects' conversion beats single calls on both implementations.
_INT_BATCH_FROM = 16


def reseed() -> None:
    """Start the generator afresh, as in a new process: forget the sequence, and
    empty and zero the pool of random bytes.

    Call it after every restore of a snapshot: a process restored twice from one
    checkpoint would otherwise hand out the same random bytes in both copies.  As
    in a new process, the sequence then restarts from the clock, wherever the
    clock is: identifiers made after it may sort below those made before it, in
    the same millisecond with a smaller counter, or by as far as the clock has
    gone back (a restore on a machine whose clock is behind the snapshot's).
    """
    _vorndal._reset_state_for_tests()


# --------------------------------------------------------------------------
# Timestamps
# --------------------------------------------------------------------------


def _unix_ms_of(at: object, name: str) -> int:
    """The Unix milliseconds of ``at``, checked; errors name the argument ``name``.

    An ``int`` subclass is read by its integer value (never through an
    overridden ``__int__`` or ``__index__``); ``bool`` is refused.  Text is
    read as ISO 8601, and must name its zone as a datetime must have one.
    """
    if isinstance(at, str):
        try:
            at = _dt.datetime.fromisoformat(at)
        except ValueError:
            raise ValueError(f"{name} is not an ISO 8601 time: {at!r}") from None
        if at.utcoffset() is None:
            raise ValueError(
                f"{name} has no time zone, so no defined Unix time; give one, as in 2026-12-01T00:00Z"
            )
    if isinstance(at, _dt.datetime):
        if at.tzinfo is None or at.utcoffset() is None:
            raise ValueError(f"{name} is a naive datetime, which has no defined Unix time; give it a tzinfo")
        delta = at - _EPOCH
        ms = (delta.days * 86_400_000) + (delta.seconds * 1000) + (delta.microseconds // 1000)
    elif isinstance(at, int) and not isinstance(at, bool):
        ms = at if type(at) is int else int.__add__(at, 0)  # the value itself, never an override
    else:
        raise TypeError(
            f"{name} must be an integer number of Unix milliseconds, an aware datetime or ISO 8601 text, "
            f"not {type(at).__name__}"
        )
    if not 0 <= ms <= _MAX_UNIX_MS:
        raise ValueError(f"{name} must be between 0 and 2**48 - 1")
    return ms


# --------------------------------------------------------------------------
# Independent identifiers at given timestamps
# --------------------------------------------------------------------------


def uuid7_at(unix_ms: _Timestamp) -> _uuid.UUID:
    """Return an independent UUIDv7 carrying the timestamp ``unix_ms``.

    ``unix_ms`` is Unix milliseconds, an ``int`` (not ``bool``) from 0 to
    2**48 - 1, an aware :class:`datetime.datetime` in that range (its
    millisecond, microseconds dropped), or ISO 8601 text with a zone such as
    ``"2026-12-01T09:30Z"`` (text without a zone is refused, as a naive
    datetime is).  The identifier has 74 random bits and
    stays outside the clock-driven sequence: two identifiers at one timestamp
    are in no particular order.
    """
    return _vorndal._uuid7_at_many((_unix_ms_of(unix_ms, "unix_ms"),))[0]


def uuid7_at_many(unix_ms: Iterable[_Timestamp]) -> list[_uuid.UUID]:
    """Return one independent UUIDv7 per timestamp of ``unix_ms``, in the same order.

    Each timestamp is what :func:`uuid7_at` takes.  Every one is checked
    before anything is made: a bad element raises TypeError or ValueError
    naming its index, and nothing is generated.
    """
    # The module checks the integers, naming a bad one by its index; the
    # datetimes become integers here first.  Finding the types is a C loop,
    # so that integers alone pay almost nothing for it.
    stamps = tuple(unix_ms)
    if any(issubclass(kind, _dt.datetime | str) for kind in set(map(type, stamps))):
        stamps = tuple(
            _unix_ms_of(t, f"unix_ms[{i}]") if isinstance(t, _dt.datetime | str) else t
            for i, t in enumerate(stamps)
        )
    return _vorndal._uuid7_at_many(stamps)


def uuid7_min(at: _Timestamp) -> _uuid.UUID:
    """Return the smallest UUIDv7 of the millisecond ``at`` (Unix ms, aware datetime or ISO 8601 text).

    Every UUIDv7 of that millisecond or later compares greater or equal, so
    ``uuid7_min(start) <= key < uuid7_min(end)`` selects the keys made in
    ``[start, end)`` without a separate timestamp column.
    """
    return _uuid.UUID(int=(_unix_ms_of(at, "at") << 80) | _VERSION_7 | _VARIANT_RFC)


def uuid7_max(at: _Timestamp) -> _uuid.UUID:
    """Return the largest UUIDv7 of the millisecond ``at`` (Unix ms, aware datetime or ISO 8601 text)."""
    ones = ((1 << 80) - 1) & ~_VERSION_VARIANT_MASK
    return _uuid.UUID(int=(_unix_ms_of(at, "at") << 80) | ones | _VERSION_7 | _VARIANT_RFC)


# --------------------------------------------------------------------------
# Reading identifiers back, conversions
# --------------------------------------------------------------------------


def _as_int(value: object) -> int:
    if isinstance(value, _uuid.UUID | UUID7Obj):
        return value.int
    if isinstance(value, str):
        try:
            return _uuid.UUID(value).int
        except ValueError:
            raise ValueError(f"not a UUID: {value!r}") from None
    if isinstance(value, int) and not isinstance(value, bool):
        number = value if type(value) is int else int.__add__(value, 0)
        if not 0 <= number < 1 << 128:
            raise ValueError("a UUID integer lies between 0 and 2**128 - 1")
        return number
    if isinstance(value, bytes):
        if len(value) != 16:
            raise ValueError(f"a UUID is 16 bytes, not {len(value)}")
        return int.from_bytes(value)
    try:
        view = memoryview(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"expected uuid.UUID, UUID7Obj, str, a 16-byte buffer or int, not {type(value).__name__}"
        ) from None
    with view:
        if view.nbytes != 16:
            raise ValueError(f"a UUID is 16 bytes, not {view.nbytes}")
        if not view.contiguous:
            raise ValueError("a UUID buffer must be contiguous")
        return int.from_bytes(view.tobytes())


def as_uuid(value: UUIDLike) -> _uuid.UUID:
    """Return ``value`` as a :class:`uuid.UUID`, of any version.

    ``value`` may be a :class:`uuid.UUID` (returned as is), a
    :class:`UUID7Obj`, text in any form :class:`uuid.UUID` parses, any
    16-byte buffer, or an ``int`` from 0 to 2**128 - 1.  Anything else raises
    TypeError; a value of an accepted type that is no UUID raises ValueError.
    """
    if isinstance(value, _uuid.UUID):
        return value
    return _uuid.UUID(int=_as_int(value))


def time_ms(value: UUIDLike) -> int:
    """Return the Unix millisecond timestamp of a UUIDv7.

    ``value`` may be anything :func:`as_uuid` accepts.  Raises ValueError
    when it is not a version 7 UUID of the RFC variant.
    """
    number = _as_int(value)
    if number & _VERSION_VARIANT_MASK != _VERSION_7 | _VARIANT_RFC:
        raise ValueError(f"not a version 7 UUID: {_uuid.UUID(int=number)}")
    return number >> 80


_MAX_DATETIME_MS = (_dt.datetime.max.replace(tzinfo=_dt.UTC) - _EPOCH) // _dt.timedelta(milliseconds=1)


def datetime_of(value: UUIDLike) -> _dt.datetime:
    """Return the time of a UUIDv7 as an aware UTC :class:`datetime.datetime`.

    Raises ValueError for a timestamp after 9999-12-31, the last day a
    ``datetime`` can hold (:func:`time_ms` reads any timestamp).
    """
    ms = time_ms(value)
    if ms > _MAX_DATETIME_MS:
        raise ValueError(f"timestamp {ms} ms lies after 9999-12-31, beyond what a datetime can hold")
    return _EPOCH + _dt.timedelta(milliseconds=ms)
