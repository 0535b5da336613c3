"""The generator of UUID version 7 identifiers in pure Python: the interface of
the native module ``vorndal``, for the interpreters and systems it does not
serve (CPython 3.11 and 3.12, PyPy, free-threaded builds, macOS, Windows).

The same functions with the same arguments, results, exceptions and
messages, and the same generator: 48-bit Unix milliseconds from
``time.time_ns()``, a 42-bit counter seeded with random bits at every new
millisecond and incremented while the clock stands still or goes back, and
32 fresh random bits per identifier, all drawn from ``os.urandom`` (the
operating system's CSPRNG) through a 4096-byte pool.

Where it differs from the native module:

- A lock guards the generator, so identifiers are strictly increasing across
  threads with or without a GIL; a batch is still a run of consecutive
  identifiers.  Each interpreter (a subinterpreter too) imports a generator
  of its own: identifiers of two interpreters of one process are unique but
  not ordered with each other.
- A forked child starts afresh through ``os.register_at_fork``, and through a
  comparison of process ids for forks made from C, which skip Python's fork
  hooks.  The pool lives in ordinary memory: nothing wipes it in a child
  that shares its parent's process id (a raw ``clone`` into a new PID
  namespace), and a core file can hold it.
- ``UUID7Obj`` is a Python class with one slot: larger than the native
  object's two words, tracked by the garbage collector, and
  ``object.__new__(UUID7Obj)`` makes an empty instance whose attributes raise
  AttributeError.  Calling the class, subclassing it, pickling and copying an
  instance are refused as in the native module.
- Calls with a wrong number of arguments, or with keywords, are refused with
  Python's own messages rather than those of the C argument parser.
- Signal handlers run between the steps of a batch (runs of up to 512
  identifiers made by C-level loops, then its objects made in passes over
  the whole batch) rather than every 65,536 identifiers; an exception from
  one discards the batch as in the native module.
"""

from __future__ import annotations

import builtins as _builtins
import os as _os
import sys as _sys
import threading as _threading
import time as _time
from collections import deque as _deque
from itertools import count as _count
from itertools import repeat as _repeat
from operator import and_ as _and
from operator import index as _index
from operator import or_ as _or
from struct import Struct as _Struct
from types import BuiltinFunctionType as _BuiltinCallable
from types import FunctionType as _FunctionType
from types import MemberDescriptorType as _MemberDescriptor
from typing import TYPE_CHECKING as _TYPE_CHECKING
from typing import TypeVar as _TypeVar
from typing import cast as _cast
from typing import final as _final

if _TYPE_CHECKING:
    from collections.abc import Callable, Iterable
    from typing import Any, SupportsIndex

_Int = int  # within UUID7Obj, `int` is its attribute
_F = _TypeVar("_F")
_MAX_MS = (1 << 48) - 1
_COUNTER_MASK = (1 << 42) - 1
_MASK_64 = (1 << 64) - 1
_TAIL_MASK = 0xFFFFFFFF
_COUNTER_STEP = 1 << 32  # one step of the counter, in an identifier's value
_SHORT_BATCH = 4  # fewer identifiers are made one by one, as single calls: a run's set-up costs more
_VERSION_VARIANT = (0x7 << 76) | (0b10 << 62)

_OVERFLOW = "UUIDv7 timestamp exceeds 48 bits"
_CSPRNG = "system CSPRNG failed while generating UUID v7"
_NOT_CONFIGURED = "uuid7 object fast path is not configured"

# The pool: 4096 random bytes, read as 512 native 64-bit draws.
_POOL_BYTES = 4096
_DRAWS = _Struct(f"={_POOL_BYTES // 8}Q")
_POOL_DRAWS = _DRAWS.size // 8

_MIN_SSIZE, _MAX_SSIZE = -_sys.maxsize - 1, _sys.maxsize  # a Py_ssize_t's range
# The largest counts whose list (8 bytes a slot) or bytes (16 a slot) has a size.
_MAX_LIST_COUNT = _sys.maxsize // 8
_MAX_BYTES_COUNT = _sys.maxsize // 16
_PROBED_COUNT = 1 << 16  # larger batches first make sure their result fits in memory

# --------------------------------------------------------------------------
# The generator's state, guarded by _lock.
#
# Every update of the state or the pool is a run of bytecode without calls
# or loops, so that a signal handler or a finalizer that runs on the same
# thread (and takes the reentrant lock again) finds the state whole and
# never sees a draw twice: the calls (the clock, the process id, a refill)
# come first, then the state is read, advanced and written back at once.
# --------------------------------------------------------------------------

_lock = _threading.RLock()
_last_ms = -1  # the last identifier's millisecond; -1: none since the last reset
_counter = 0  # its counter
_prefix = 0  # its value without the random tail
_owner = 0  # the process id that owns the state; 0 is no process
_pool: tuple[int, ...] = ()
_next = _POOL_DRAWS  # the next unread draw of _pool; _POOL_DRAWS: used up

_getpid = _os.getpid
_time_ns = _time.time_ns
_urandom = _os.urandom
_unpack = _DRAWS.unpack


def _reset() -> None:
    """Forget the sequence and the pool, as in a new process."""
    global _last_ms, _counter, _prefix, _pool, _next, _owner
    _last_ms, _counter, _prefix = -1, 0, 0
    _pool, _next = (), _POOL_DRAWS
    _owner = _getpid()


def _after_fork_in_child() -> None:
    global _lock
    _lock = _threading.RLock()  # another thread of the parent may have held it
    _reset()


if hasattr(_os, "register_at_fork"):
    _os.register_at_fork(after_in_child=_after_fork_in_child)


def _refill() -> None:
    """A fresh pool; RuntimeError (from the OSError) when the system has no randomness to give."""
    global _pool, _next
    try:
        pool = _unpack(_urandom(_POOL_BYTES))
    except OSError as error:
        raise RuntimeError(_CSPRNG) from error
    _pool, _next = pool, 0


def _clock_ms() -> int:
    """The clock in Unix milliseconds; the timestamp error, from the OSError, where it cannot be read."""
    try:
        return _time_ns() // 1_000_000
    except OSError as error:  # a seccomp filter refusing clock_gettime, say
        raise OverflowError(_OVERFLOW) from error


def _check_process() -> None:
    if _getpid() != _owner:
        _reset()


def _prefix_of(ms: int, counter: int) -> int:
    """The value of the identifier of millisecond `ms` and counter `counter`, without its tail."""
    return (ms << 80) | _VERSION_VARIANT | ((counter >> 30) << 64) | ((counter & 0x3FFFFFFF) << 32)


def _step(now: int) -> int:
    """The next identifier of the sequence at the Unix millisecond `now`, as its
    128-bit value.  Called with the lock held and the process checked."""
    global _last_ms, _counter, _prefix, _next
    if not 0 <= now <= _MAX_MS:
        raise OverflowError(_OVERFLOW)
    while _next > _POOL_DRAWS - 2:  # checked again after every call that may have drawn
        _refill()
    last = _last_ms
    if last >= now:  # the same millisecond, or the clock went back: count on
        counter = _counter + 1
        if counter & 0x3FFFFFFF:  # the common case: the counter's low 30 bits take the step
            prefix = _prefix + _COUNTER_STEP
            now = last
        elif counter <= _COUNTER_MASK:
            prefix = _prefix_of(last, counter)
            now = last
        elif last == _MAX_MS:
            raise OverflowError(_OVERFLOW)
        else:  # the counter wrapped: the next millisecond, with a new seed
            now = last + 1
            counter = _pool[_next] & _COUNTER_MASK
            _next += 1
            prefix = _prefix_of(now, counter)
    else:
        counter = _pool[_next] & _COUNTER_MASK
        _next += 1
        prefix = _prefix_of(now, counter)
    tail = _pool[_next] & _TAIL_MASK
    _next += 1
    _last_ms, _counter, _prefix = now, counter, prefix
    return prefix | tail


def _next_value() -> int:
    """The next identifier of the sequence, from the clock."""
    lock = _lock
    lock.acquire()
    try:
        if _getpid() != _owner:
            _reset()
        try:
            now = _time_ns() // 1_000_000
        except OSError as error:
            raise OverflowError(_OVERFLOW) from error
        return _step(now)
    finally:
        lock.release()


def _next_values(count: int) -> list[int]:
    """The next `count` identifiers of the sequence: consecutive, from the clock.

    Runs within one millisecond reading are made by C-level iterators, up to
    the pool's end or a carry out of the counter's low 30 bits: the clock is
    read once per run (at most 512 identifiers, a few tens of microseconds),
    and each run's state is committed before its identifiers are made.
    """
    global _counter, _prefix, _next
    values: list[int] = []
    append, extend = values.append, values.extend
    remaining = count
    with _lock:
        if _getpid() != _owner:
            _reset()
        if count < _SHORT_BATCH:
            for _ in range(count):
                append(_step(_clock_ms()))
            return values
        while remaining:
            now = _clock_ms()
            # From here to the commit no call is made (nothing else can run on
            # this thread in between), so the run is sized on the state it advances.
            run = remaining
            if _POOL_DRAWS - _next < run:
                run = _POOL_DRAWS - _next
            if 0x3FFFFFFF - (_counter & 0x3FFFFFFF) < run:
                run = 0x3FFFFFFF - (_counter & 0x3FFFFFFF)
            if run > 0 and 0 <= now <= _last_ms:
                first = _next
                tails = _pool[first : first + run]
                start = _prefix + _COUNTER_STEP
                _next, _counter, _prefix = first + run, _counter + run, _prefix + run * _COUNTER_STEP
                extend(map(_or, _count(start, _COUNTER_STEP), map(_and, tails, _repeat(_TAIL_MASK))))
                remaining -= run
            else:
                append(_step(now))
                remaining -= 1
    return values


def _independent(timestamps: list[int]) -> list[int]:
    """One identifier per timestamp (each already checked), with 74 random bits, outside the sequence."""
    global _next
    values: list[int] = []
    append = values.append
    with _lock:
        if _getpid() != _owner:
            _reset()
        for ms in timestamps:
            while _next > _POOL_DRAWS - 2:
                _refill()
            high, low = _pool[_next], _pool[_next + 1]
            _next += 2
            append((ms << 80) | _VERSION_VARIANT | ((high & 0xFFF) << 64) | (low & 0x3FFFFFFFFFFFFFFF))
    return values


# --------------------------------------------------------------------------
# Arguments
# --------------------------------------------------------------------------


def _batch_count(count: SupportsIndex) -> int:
    """A batch's count, as the native module reads it: any integer index that fits a Py_ssize_t."""
    n = count if type(count) is int else _index(count)
    if not _MIN_SSIZE <= n <= _MAX_SSIZE:
        raise OverflowError("Python int too large to convert to C ssize_t")
    if n < 0:
        raise ValueError("count must be non-negative")
    return n


def _room_for(count: int, size: int, limit: int) -> int:
    """`count`, once memory for `count` results of `size` bytes could be had:
    MemoryError before anything is generated, naming the count, as the native
    module's allocation of its result gives."""
    fits = count <= limit
    if fits and count > _PROBED_COUNT:
        try:
            bytes(count * size)  # zero-filled on demand by the system: reserves, touches nothing
        except MemoryError:
            fits = False
    if not fits:  # raised here, outside the handler: the one exception, with no other as its context
        raise MemoryError(f"not enough memory for {count} identifiers")
    return count


def _list_count(count: SupportsIndex) -> int:
    return _room_for(_batch_count(count), 8, _MAX_LIST_COUNT)


def _hook_integer(value: object, position: int) -> int:
    """An integer argument of a hook, reduced modulo 2**64 as the native hooks reduce it."""
    if not hasattr(type(value), "__index__"):
        name = "None" if value is None else type(value).__name__
        raise TypeError(f"argument {position} must be int, not {name}")
    return _index(_cast("SupportsIndex", value)) & _MASK_64


# --------------------------------------------------------------------------
# Shapes of one identifier
# --------------------------------------------------------------------------


def _text(value: int) -> str:
    h = f"{value:032x}"
    return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"


def generate_uuid7() -> str:
    """Generate a UUID v7 string"""
    return _text(_next_value())


def uuid7_str_many(count: SupportsIndex, /) -> list[str]:
    """Generate UUID v7 strings in one call"""
    if type(count) is int and 0 <= count < _SHORT_BATCH:
        with _lock:  # held through the calls: consecutive identifiers
            return [generate_uuid7() for _ in range(count)]
    hexes = map("{:032x}".format, _next_values(_list_count(count)))
    return [f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}" for h in hexes]


def generate_uuid7_bytes() -> bytes:
    """Generate UUID v7 bytes"""
    return _next_value().to_bytes(16, "big")


def generate_uuid7_int() -> int:
    """Generate a UUID v7 integer"""
    return _next_value()


def uuid7_bytes_many(count: SupportsIndex, /) -> bytes:
    """Generate contiguous UUID v7 bytes in one call"""
    if type(count) is int and 0 <= count < _SHORT_BATCH:
        with _lock:
            return b"".join([generate_uuid7_bytes() for _ in range(count)])
    n = _room_for(_batch_count(count), 16, _MAX_BYTES_COUNT)
    return b"".join(map(int.to_bytes, _next_values(n), _repeat(16)))


# --------------------------------------------------------------------------
# UUID7Obj
# --------------------------------------------------------------------------

_TYPE_NAME = f"{__name__}.UUID7Obj"


@_final
class UUID7Obj:
    """Compact native UUIDv7 object"""

    __slots__ = ("_value",)
    _value: _builtins.int

    def __new__(cls, *args: object, **kwargs: object) -> UUID7Obj:
        raise TypeError(f"cannot create '{_TYPE_NAME}' instances")

    def __init_subclass__(cls, **kwargs: object) -> None:
        raise TypeError(f"type '{_TYPE_NAME}' is not an acceptable base type")

    def __setattr__(self, name: str, value: object) -> None:
        raise TypeError("UUID objects are immutable")

    def __delattr__(self, name: str) -> None:
        raise TypeError("UUID objects are immutable")

    def __reduce_ex__(self, protocol: object) -> tuple[object, ...]:
        raise TypeError(f"cannot pickle '{_TYPE_NAME}' object")

    def __str__(self) -> str:
        return _text(self._value)

    def __repr__(self) -> str:
        return f"UUID('{_text(self._value)}')"

    def __hash__(self) -> _builtins.int:
        value = self._value
        high, low = value >> 64, value & _MASK_64
        h = (high ^ (high >> 32) ^ ((low * 1000003) & _MASK_64) ^ (low >> 32)) & _MASK_64
        if h == _MASK_64:
            h -= 1  # -1 is the error value of a hash
        return h - (1 << 64) if h >> 63 else h

    def __eq__(self, other: object) -> bool:
        if type(other) is not UUID7Obj:
            return NotImplemented
        return self._value == other._value

    def __ne__(self, other: object) -> bool:
        if type(other) is not UUID7Obj:
            return NotImplemented
        return self._value != other._value

    def __lt__(self, other: UUID7Obj) -> bool:
        if type(other) is not UUID7Obj:
            return NotImplemented
        return self._value < other._value

    def __le__(self, other: UUID7Obj) -> bool:
        if type(other) is not UUID7Obj:
            return NotImplemented
        return self._value <= other._value

    def __gt__(self, other: UUID7Obj) -> bool:
        if type(other) is not UUID7Obj:
            return NotImplemented
        return self._value > other._value

    def __ge__(self, other: UUID7Obj) -> bool:
        if type(other) is not UUID7Obj:
            return NotImplemented
        return self._value >= other._value

    def __int__(self) -> _builtins.int:
        """Return the UUID as an integer"""
        return self._value

    __index__ = __int__

    def __bytes__(self) -> _builtins.bytes:
        """Return the UUID as bytes"""
        return self._value.to_bytes(16, "big")

    @property
    def int(self) -> _builtins.int:
        """UUID as a 128-bit integer"""
        return self._value

    @property
    def bytes(self) -> _builtins.bytes:
        """UUID as 16 big-endian bytes"""
        return self._value.to_bytes(16, "big")

    @property
    def bytes_le(self) -> _builtins.bytes:
        """UUID as 16 little-endian field bytes"""
        b = self._value.to_bytes(16, "big")
        return b[3::-1] + b[5:3:-1] + b[7:5:-1] + b[8:]

    @property
    def hex(self) -> str:
        """UUID as 32 lowercase hexadecimal digits"""
        return f"{self._value:032x}"

    @property
    def time(self) -> _builtins.int:
        """UUIDv7 Unix timestamp in milliseconds"""
        return self._value >> 80

    @property
    def timestamp(self) -> _builtins.int:
        """UUIDv7 Unix timestamp in milliseconds"""
        return self._value >> 80

    @property
    def urn(self) -> str:
        """UUID URN"""
        return f"urn:uuid:{_text(self._value)}"

    @property
    def version(self) -> _builtins.int:
        """UUID version"""
        return 7

    @property
    def variant(self) -> str:
        """UUID variant"""
        return "specified in RFC 4122"

    @property
    def fields(self) -> tuple[_Int, _Int, _Int, _Int, _Int, _Int]:
        """UUID fields tuple"""
        value = self._value
        return (
            value >> 96,
            (value >> 80) & 0xFFFF,
            (value >> 64) & 0xFFFF,
            (value >> 56) & 0xFF,
            (value >> 48) & 0xFF,
            value & 0xFFFFFFFFFFFF,
        )


_new_object = object.__new__
_set_value: Callable[[UUID7Obj, int], None] = vars(UUID7Obj)["_value"].__set__


def _compact(value: int) -> UUID7Obj:
    obj: UUID7Obj = _new_object(UUID7Obj)
    _set_value(obj, value)
    return obj


def uuid7_obj() -> UUID7Obj:
    """Generate a compact native UUID v7 object"""
    return _compact(_next_value())


def uuid7_obj_many(count: SupportsIndex, /) -> list[UUID7Obj]:
    """Generate compact native UUID v7 objects in one call"""
    if type(count) is int and 0 <= count < _SHORT_BATCH:
        with _lock:
            return [uuid7_obj() for _ in range(count)]
    values = _next_values(_list_count(count))
    objs: list[UUID7Obj] = list(map(_new_object, _repeat(UUID7Obj, len(values))))
    _consume(map(_set_value, objs, values))
    return objs


# --------------------------------------------------------------------------
# uuid.UUID instances without the class's constructor
# --------------------------------------------------------------------------

_uuid_class: type | None = None
_safe_uuid: object = None
_set_attribute = object.__setattr__
# Runs an iterator to its end, keeping nothing.
_consume: Callable[[Iterable[object]], None] = _deque[object](maxlen=0).extend

_HEAPTYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE: a class made by a class statement


def _is_plain_class(cls: type) -> bool:
    """Whether an instance of `cls` made by object.__new__ is a valid object:
    a class made by a class statement, with no constructor of C code of its
    own (a built-in base's instance keeps state only its constructor sets up)."""
    if cls is object:
        return True
    flags = getattr(cls, "__flags__", None)
    if isinstance(flags, int) and not flags & _HEAPTYPE:
        return False
    constructor = vars(cls).get("__new__")
    return constructor is None or not isinstance(constructor, _BuiltinCallable)


def _configure_uuid7(*args: object) -> None:
    """Configure the UUID v7 object fast path"""
    global _uuid_class, _safe_uuid
    if len(args) != 2:
        raise TypeError("_configure_uuid7() expects uuid type and safe value")
    new_type, new_safe_uuid = args
    if not isinstance(new_type, type):
        raise TypeError("uuid type must be a type")
    if not all(_is_plain_class(base) for base in new_type.__mro__):
        raise TypeError("uuid type must be a Python class whose bases are plain Python classes or object")
    _uuid_class, _safe_uuid = new_type, new_safe_uuid


def _configured_class() -> type:
    cls = _uuid_class
    if cls is None:
        raise RuntimeError(_NOT_CONFIGURED)
    return cls


def _instance(cls: type, value: int) -> Any:
    obj: Any = _new_object(cls)
    _set_attribute(obj, "int", value)
    # Read after the int is set, whose setter may have configured anew.
    _set_attribute(obj, "is_safe", _safe_uuid)
    return obj


def uuid7() -> Any:
    """Generate a UUID v7 uuid.UUID object"""
    cls = _uuid_class
    if cls is None:
        raise RuntimeError(_NOT_CONFIGURED)
    value = _next_value()
    # _instance, inline: this is the call most programs make.
    obj: Any = _new_object(cls)
    _set_attribute(obj, "int", value)
    _set_attribute(obj, "is_safe", _safe_uuid)
    return obj


def _slot(cls: type, name: str) -> Any:
    """The plain slot that serves attribute `name` on instances of `cls`, found as
    attribute lookup finds it; None where setting it may run Python code or fail."""
    for klass in cls.__mro__:
        found = vars(klass).get(name)
        if found is not None:
            return found if type(found) is _MemberDescriptor else None
    return None


def _plain_slots(cls: type) -> tuple[Any, Any] | None:
    """The slots of `int` and `is_safe` where both are plain, else None."""
    int_slot, safe_slot = _slot(cls, "int"), _slot(cls, "is_safe")
    return None if int_slot is None or safe_slot is None else (int_slot, safe_slot)


def _fill(cls: type, slots: tuple[Any, Any], values: list[int]) -> list[Any]:
    """One instance of `cls` per value, its plain slots filled by C-level loops (no Python code runs)."""
    objs: list[Any] = list(map(_new_object, _repeat(cls, len(values))))
    _consume(map(slots[0].__set__, objs, values))
    _consume(map(slots[1].__set__, objs, _repeat(_safe_uuid)))
    return objs


def uuid7_many(count: SupportsIndex, /) -> list[Any]:
    """Generate UUID v7 objects in one call"""
    if type(count) is int and 0 <= count < _SHORT_BATCH:
        with _lock:
            return [uuid7() for _ in range(count)]
    n = _list_count(count)
    if not n:
        return []
    cls = _configured_class()  # before anything is generated
    slots = _plain_slots(cls)
    if slots is not None:
        return _fill(cls, slots, _next_values(n))
    # Setting an attribute may run Python code or fail: each identifier is
    # generated, then its instance made from the class configured at that moment.
    return [_instance(_configured_class(), _next_value()) for _ in range(n)]


def _uuid7_at_many(unix_ms: Iterable[object], /) -> list[Any]:
    """Generate independent UUID v7 objects after validating all timestamps"""
    snapshot = tuple(unix_ms)
    if not snapshot:
        return []
    timestamps = []
    for position, item in enumerate(snapshot):
        if type(item) is bool or not isinstance(item, int):
            raise TypeError(f"unix_ms[{position}] must be an integer number of Unix milliseconds")
        ms = (
            item if type(item) is int else int.__add__(item, 0)
        )  # its value: on PyPy int.__index__ calls __int__
        if not 0 <= ms <= _MAX_MS:
            raise ValueError(f"unix_ms[{position}] must be between 0 and 2**48 - 1")
        timestamps.append(ms)
    cls = _configured_class()  # before anything is generated
    slots = _plain_slots(cls)
    if slots is not None:
        return _fill(cls, slots, _independent(timestamps))
    return [_instance(_configured_class(), value) for value in _independent(timestamps)]


# --------------------------------------------------------------------------
# Test and timestamp hooks
# --------------------------------------------------------------------------


def _reset_state_for_tests() -> None:
    """Reset UUID v7 generator state"""
    with _lock:
        _reset()


def _set_state_for_tests(*args: object) -> None:
    """Set timestamp and counter for deterministic boundary tests"""
    global _last_ms, _counter, _prefix
    if len(args) != 2:
        raise TypeError(f"function takes exactly 2 arguments ({len(args)} given)")
    timestamp_ms, counter_value = _hook_integer(args[0], 1), _hook_integer(args[1], 2)
    if timestamp_ms > _MAX_MS or counter_value > _COUNTER_MASK:
        raise ValueError("state exceeds timestamp or counter width")
    with _lock:
        _check_process()
        _last_ms, _counter, _prefix = timestamp_ms, counter_value, _prefix_of(timestamp_ms, counter_value)


def _generate_uuid7_bytes_for_tests(*args: object) -> bytes:
    """Generate UUID v7 bytes for a specific timestamp"""
    if len(args) != 1:
        raise TypeError(f"function takes exactly 1 argument ({len(args)} given)")
    timestamp_ms = _hook_integer(args[0], 1)
    with _lock:
        _check_process()
        return _step(timestamp_ms).to_bytes(16, "big")


def _generate_uuid7_at_bytes(timestamp_ms: object, /) -> bytes:
    """Generate independent UUID v7 bytes at a Unix millisecond timestamp"""
    if not isinstance(timestamp_ms, int):
        raise TypeError("an integer is required")
    if timestamp_ms < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if timestamp_ms > _MASK_64:
        raise OverflowError("int too big to convert")
    if timestamp_ms > _MAX_MS:
        raise OverflowError(_OVERFLOW)
    (value,) = _independent([int.__add__(timestamp_ms, 0)])
    return value.to_bytes(16, "big")


# --------------------------------------------------------------------------
# The functions again under the package's names
# --------------------------------------------------------------------------


def _renamed(function: _F, name: str) -> _F:
    """A copy of ``function`` (the same code, globals and docstring) named ``name``."""
    source = _cast("_FunctionType", function)
    copy = _FunctionType(source.__code__, source.__globals__, name, source.__defaults__, source.__closure__)
    copy.__qualname__ = name
    copy.__doc__ = source.__doc__
    copy.__annotations__ = dict(source.__annotations__)
    return _cast("_F", copy)


# The native module offers these under both names; so does this one.
uuid7_str = _renamed(generate_uuid7, "uuid7_str")
uuid7_bytes = _renamed(generate_uuid7_bytes, "uuid7_bytes")
uuid7_int = _renamed(generate_uuid7_int, "uuid7_int")
uuid7_compact = _renamed(uuid7_obj, "uuid7_compact")
uuid7_compact_many = _renamed(uuid7_obj_many, "uuid7_compact_many")

del annotations  # the future import's name; only the interface is public
