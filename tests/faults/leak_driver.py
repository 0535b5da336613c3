"""Reference and memory-block leak hunt over every function, success and
failure paths; needs a debug interpreter (sys.gettotalrefcount) and runs with
libfault_urandom.so preloaded, so that randomness failures are covered too.

    LD_PRELOAD=.../libfault_urandom.so python-dbg leak_driver.py
    LD_PRELOAD=.../libfault_urandom.so python leak_driver.py --once   (every scenario once: for valgrind)

It runs in a process of its own, loading the extension module without the
package, whose import would configure the uuid.UUID fast path that the first
scenarios need unconfigured.  Each scenario runs in rounds: warm-up rounds,
then measured rounds, comparing sys.gettotalrefcount() and
sys.getallocatedblocks() after each round.  A leak is reported only when every
measured delta is at least 1.  Prints the leaks found, one a line, then a
count of what ran; exits 1 on a leak.
"""

from __future__ import annotations

import ctypes
import gc
import importlib.machinery
import importlib.util
import os
import sys
import uuid

WARMUPS = 3
RUNS = 5
REPEAT = 20

MAX_TS = (1 << 48) - 1
MAX_COUNTER = (1 << 42) - 1
FUTURE_TS = MAX_TS - 10**9  # far ahead of any clock: clock-driven calls count on from it


def raw_vorndal():
    """The extension module loaded straight from its file, without running the
    package's __init__ (which configures the uuid.UUID fast path)."""
    package = importlib.util.find_spec("tembrel")
    assert package is not None and package.submodule_search_locations
    impl = [os.path.join(p, "tembrel_impl") for p in package.submodule_search_locations]
    ext = importlib.machinery.PathFinder.find_spec("vorndal", impl)
    assert ext is not None, impl
    module = importlib.util.module_from_spec(ext)
    ext.loader.exec_module(module)
    return module


v = raw_vorndal()  # not through the package: the fast path starts unconfigured
lib = ctypes.CDLL(None)
if not hasattr(lib, "fault_set_mode"):
    sys.exit("leak_driver.py: start it with libfault_urandom.so in LD_PRELOAD")
lib.fault_set_mode.argtypes = [ctypes.c_char_p, ctypes.c_long]


def swallow(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except (TypeError, ValueError, OverflowError, RuntimeError, MemoryError, AttributeError, KeyError):
        pass


class Boom(Exception):
    pass


class RaisingInt:
    """A fast-path class whose int setter fails after the int was made."""

    __slots__ = ("_int", "is_safe")

    def _set(self, value):
        raise KeyError("no int")

    int = property(lambda self: self._int, _set)


class NoRoom:
    __slots__ = ()


class SplitSlots:
    __slots__ = ("int",)


class SplitSlotsChild(SplitSlots):
    __slots__ = ("is_safe",)


class HalfSlotted:
    """int in a slot, is_safe in the instance dictionary."""

    __slots__ = ("int", "__dict__")


class ForeignSlot:
    """Serves int with another class's slot: attribute setting refuses it."""

    __slots__ = ("is_safe",)
    int = SplitSlots.__dict__["int"]


class Dropping:
    """A data descriptor that keeps nothing."""

    def __get__(self, instance, owner=None):
        return None

    def __set__(self, instance, value):
        pass


class Switching:
    __slots__ = ("int", "is_safe")


SWITCHING_IS_SAFE = Switching.__dict__["is_safe"]


def slot_replaced_after_use():
    v._configure_uuid7(Switching, None)
    v.uuid7()
    Switching.is_safe = Dropping()
    v.uuid7_many(3)
    Switching.is_safe = SWITCHING_IS_SAFE
    v.uuid7()
    configure()


def raising_generator():
    yield 1
    yield 2
    raise KeyError("midway")


class Index:
    def __index__(self):
        return 3


class RaisingIndex:
    def __index__(self):
        raise KeyError("index")


def configure():
    v._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)


def broken_device(call, mode=b"read_fail"):
    """call() with every refill failing (or the clock, for clock_fail); the pool is emptied first."""

    def scenario():
        v._reset_state_for_tests()
        lib.fault_set_mode(mode, 0)
        try:
            swallow(call)
        finally:
            lib.fault_set_mode(b"ok", 0)

    return scenario


def batch_failing_midway(call):
    def scenario():
        v._reset_state_for_tests()
        v._generate_uuid7_bytes_for_tests(1000)
        lib.fault_set_mode(b"eof", 0)
        try:
            swallow(call, 1000)
        finally:
            lib.fault_set_mode(b"ok", 0)

    return scenario


def at_end_of_range(call):
    def scenario():
        v._set_state_for_tests(MAX_TS, MAX_COUNTER)
        swallow(call)
        v._reset_state_for_tests()

    return scenario


def with_class(cls, call):
    def scenario():
        v._configure_uuid7(cls, None)
        swallow(call)
        configure()

    return scenario


UNCONFIGURED = {
    "uuid7 unconfigured": lambda: swallow(v.uuid7),
    "uuid7_many unconfigured": lambda: swallow(v.uuid7_many, 3),
    "uuid7_many(0) unconfigured": lambda: v.uuid7_many(0),
    "_uuid7_at_many unconfigured": lambda: swallow(v._uuid7_at_many, [1, 2]),
    "_uuid7_at_many([]) unconfigured": lambda: v._uuid7_at_many(iter([])),
}

CONFIGURED = {
    # Success paths.
    "generate_uuid7": v.generate_uuid7,
    "generate_uuid7_bytes": v.generate_uuid7_bytes,
    "generate_uuid7_int": v.generate_uuid7_int,
    "uuid7": v.uuid7,
    "uuid7_obj": lambda: v.uuid7_obj(),
    "uuid7_obj views": lambda: [
        (
            str(o),
            repr(o),
            o.hex,
            o.urn,
            o.bytes,
            o.bytes_le,
            o.int,
            o.time,
            o.fields,
            hash(o),
            int(o),
            bytes(o),
            o < o,
            o == 1,
            o.version,
            o.variant,
        )
        for o in [v.uuid7_obj()]
    ],
    "uuid7_obj immutable": lambda: swallow(setattr, v.uuid7_obj(), "hex", 1),
    "UUID7Obj()": lambda: swallow(v.UUID7Obj),
    "uuid7_str_many": lambda: (v.uuid7_str_many(0), v.uuid7_str_many(1), v.uuid7_str_many(50)),
    "uuid7_bytes_many": lambda: (v.uuid7_bytes_many(0), v.uuid7_bytes_many(50)),
    "uuid7_obj_many": lambda: (v.uuid7_obj_many(0), v.uuid7_obj_many(50)),
    "uuid7_many": lambda: (v.uuid7_many(0), v.uuid7_many(50)),
    "batch with __index__ count": lambda: [f(Index()) for f in (v.uuid7_str_many, v.uuid7_many)],
    "_uuid7_at_many list": lambda: v._uuid7_at_many([0, 1, MAX_TS]),
    "_uuid7_at_many generator": lambda: v._uuid7_at_many(x for x in range(20)),
    "_uuid7_at_many tuple": lambda: v._uuid7_at_many((5, 6, 7)),
    "_uuid7_at_many empty": lambda: v._uuid7_at_many([]),
    "_generate_uuid7_at_bytes": lambda: v._generate_uuid7_at_bytes(True),
    "_generate_uuid7_bytes_for_tests": lambda: v._generate_uuid7_bytes_for_tests(FUTURE_TS),
    "_set_state_for_tests": lambda: (v._set_state_for_tests(2**64 + 5, 0), v._reset_state_for_tests()),
    "_reset_state_for_tests": v._reset_state_for_tests,
    "_configure_uuid7 again": configure,
    "_configure_uuid7 other": lambda: (v._configure_uuid7(uuid.UUID, None), configure()),
    # Argument errors.
    "batch counts refused": lambda: [
        swallow(f, bad)
        for f in (v.uuid7_str_many, v.uuid7_bytes_many, v.uuid7_obj_many, v.uuid7_many)
        for bad in (-1, "x", 2**70, 1.5, RaisingIndex(), 2**40)
    ],
    "wrong arities": lambda: [
        swallow(f, *args)
        for f in (
            v.uuid7_str_many,
            v.generate_uuid7,
            v._set_state_for_tests,
            v._uuid7_at_many,
            v._configure_uuid7,
        )
        for args in ((), (1, 2, 3))
    ],
    "keywords": lambda: [
        swallow(f, **{"n": 1}) for f in (v.uuid7_many, v.uuid7, v._uuid7_at_many, v._configure_uuid7)
    ],
    "_uuid7_at_many bad elements": lambda: [
        swallow(v._uuid7_at_many, bad)
        for bad in ([1, 2, True], [1, -1], [1, 2**48], [2**64], [1, 2.0], 5, raising_generator(), ["x"])
    ],
    "_generate_uuid7_at_bytes bad": lambda: [
        swallow(v._generate_uuid7_at_bytes, b) for b in (-1, 2**48, 2**64, "x", Index())
    ],
    "_generate_uuid7_bytes_for_tests bad": lambda: [
        swallow(v._generate_uuid7_bytes_for_tests, b) for b in (-1, 2**48, "x", RaisingIndex())
    ],
    "_set_state_for_tests bad": lambda: [
        swallow(v._set_state_for_tests, *b)
        for b in ((2**48, 0), (0, 2**42), (1.5, 0), (0, RaisingIndex()), (1,))
    ],
    "_configure_uuid7 bad": lambda: [
        swallow(v._configure_uuid7, *b) for b in ((5, 1), (int, 1), (uuid.UUID(int=0), 1))
    ],
    # Instances that cannot be built.
    "int setter raises uuid7": with_class(RaisingInt, v.uuid7),
    "int setter raises uuid7_many": with_class(RaisingInt, lambda: v.uuid7_many(5)),
    "int setter raises _uuid7_at_many": with_class(RaisingInt, lambda: v._uuid7_at_many([1, 2])),
    "no slots uuid7_many": with_class(NoRoom, lambda: v.uuid7_many(5)),
    "foreign slot uuid7": with_class(ForeignSlot, v.uuid7),
    # Slot layouts other than uuid.UUID's.
    **{
        f"{cls.__name__} {name}": with_class(cls, call)
        for cls in (SplitSlotsChild, HalfSlotted)
        for name, call in (
            ("uuid7", v.uuid7),
            ("uuid7_many", lambda: v.uuid7_many(5)),
            ("_uuid7_at_many", lambda: v._uuid7_at_many([1, 2])),
        )
    },
    "slot replaced after use": slot_replaced_after_use,
    # The end of the timestamp range.
    **{
        f"end of range {f.__name__}": at_end_of_range(f)
        for f in (v.generate_uuid7, v.generate_uuid7_bytes, v.generate_uuid7_int, v.uuid7, v.uuid7_obj)
    },
    **{
        f"end of range {f.__name__}": at_end_of_range(lambda f=f: f(5))
        for f in (v.uuid7_str_many, v.uuid7_bytes_many, v.uuid7_obj_many, v.uuid7_many)
    },
    # Randomness failures.
    **{
        f"broken device {f.__name__}": broken_device(f)
        for f in (v.generate_uuid7, v.generate_uuid7_bytes, v.generate_uuid7_int, v.uuid7, v.uuid7_obj)
    },
    "broken clock uuid7": broken_device(v.uuid7, b"clock_fail"),
    "broken clock uuid7_many": broken_device(lambda: v.uuid7_many(5), b"clock_fail"),
    "broken device _uuid7_at_many": broken_device(lambda: v._uuid7_at_many([1, 2])),
    "broken device _generate_uuid7_at_bytes": broken_device(lambda: v._generate_uuid7_at_bytes(1)),
    "broken device _generate_uuid7_bytes_for_tests": broken_device(
        lambda: v._generate_uuid7_bytes_for_tests(1)
    ),
    **{
        f"batch failing midway {f.__name__}": batch_failing_midway(f)
        for f in (v.uuid7_str_many, v.uuid7_bytes_many, v.uuid7_obj_many, v.uuid7_many)
    },
}


def measure(name, scenario):
    ref_deltas, block_deltas = [], []
    gc.collect()
    refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    for round_ in range(WARMUPS + RUNS):
        for _ in range(REPEAT):
            scenario()
        gc.collect()
        new_refs, new_blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        if round_ >= WARMUPS:
            ref_deltas.append(new_refs - refs)
            block_deltas.append(new_blocks - blocks)
        refs, blocks = new_refs, new_blocks
    leaks = []
    if all(d >= 1 for d in ref_deltas):
        leaks.append(f"{name}: references {ref_deltas}")
    if all(d >= 1 for d in block_deltas):
        leaks.append(f"{name}: memory blocks {block_deltas}")
    return leaks


def run_once():
    """Every scenario once, for memory checkers on any interpreter."""
    for scenario in UNCONFIGURED.values():
        scenario()
    configure()
    for scenario in CONFIGURED.values():
        scenario()
    print(f"{len(UNCONFIGURED) + len(CONFIGURED)} scenarios, each once")
    return 0


def main():
    if sys.argv[1:] == ["--once"]:
        return run_once()
    if not hasattr(sys, "gettotalrefcount"):
        print("needs a debug interpreter", file=sys.stderr)
        return 2
    leaks = []
    for name, scenario in UNCONFIGURED.items():
        leaks += measure(name, scenario)
    configure()
    for name, scenario in CONFIGURED.items():
        leaks += measure(name, scenario)
    scenarios = len(UNCONFIGURED) + len(CONFIGURED)
    for leak in leaks:
        print(leak)
    print(f"{scenarios} scenarios, {scenarios * (WARMUPS + RUNS) * REPEAT} calls, {len(leaks)} leaks")
    return 1 if leaks else 0


if __name__ == "__main__":
    sys.exit(main())
