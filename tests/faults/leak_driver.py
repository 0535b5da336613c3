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
import os
import sys
import uuid

# testkit, which pytest puts on the path of the suites, for this script of its own.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))
import testkit  # noqa: E402
from testkit import BATCHES, FAR_FUTURE_MS, MAX_COUNTER, MAX_MS, Boom, Index, RaisingIndex  # noqa: E402

WARMUPS = 3
RUNS = 5
REPEAT = 20

vorndal = testkit.bare_module()  # not through the package: the fast path starts unconfigured
lib = ctypes.CDLL(None)
if not hasattr(lib, "fault_set_mode"):
    sys.exit("leak_driver.py: start it with libfault_urandom.so in LD_PRELOAD")
lib.fault_set_mode.argtypes = [ctypes.c_char_p, ctypes.c_long]

BATCH_CALLS = [getattr(vorndal, name) for name in BATCHES]
SINGLE_CALLS = [
    vorndal.generate_uuid7,
    vorndal.generate_uuid7_bytes,
    vorndal.generate_uuid7_int,
    vorndal.uuid7,
    vorndal.uuid7_obj,
]


def swallow(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except (TypeError, ValueError, OverflowError, RuntimeError, MemoryError, AttributeError, KeyError, Boom):
        pass


class RaisingInt:
    """A fast-path class whose int setter fails after the int was made."""

    __slots__ = ("_int", "is_safe")

    def _set(self, value):
        raise KeyError("no int")

    int = property(lambda self: self._int, _set)


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
    vorndal._configure_uuid7(Switching, None)
    vorndal.uuid7()
    Switching.is_safe = Dropping()
    vorndal.uuid7_many(3)
    Switching.is_safe = SWITCHING_IS_SAFE
    vorndal.uuid7()
    configure()


def raising_generator():
    yield 1
    yield 2
    raise KeyError("midway")


def configure():
    vorndal._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)


def under_fault(call, mode=b"read_fail", *args, primed=False):
    """call(*args) with every refill failing (or the clock, for clock_fail),
    the pool emptied first; primed, one identifier is drawn first, so that a
    batch fails midway."""

    def scenario():
        vorndal._reset_state_for_tests()
        if primed:
            vorndal._generate_uuid7_bytes_for_tests(1000)
        lib.fault_set_mode(mode, 0)
        try:
            swallow(call, *args)
        finally:
            lib.fault_set_mode(b"ok", 0)

    return scenario


def at_end_of_range(call):
    def scenario():
        vorndal._set_state_for_tests(MAX_MS, MAX_COUNTER)
        swallow(call)
        vorndal._reset_state_for_tests()

    return scenario


def with_class(cls, call):
    def scenario():
        vorndal._configure_uuid7(cls, None)
        swallow(call)
        configure()

    return scenario


UNCONFIGURED = {
    "uuid7 unconfigured": lambda: swallow(vorndal.uuid7),
    "uuid7_many unconfigured": lambda: swallow(vorndal.uuid7_many, 3),
    "uuid7_many(0) unconfigured": lambda: vorndal.uuid7_many(0),
    "_uuid7_at_many unconfigured": lambda: swallow(vorndal._uuid7_at_many, [1, 2]),
    "_uuid7_at_many([]) unconfigured": lambda: vorndal._uuid7_at_many(iter([])),
}

CONFIGURED = {
    # Success paths.
    "generate_uuid7": vorndal.generate_uuid7,
    "generate_uuid7_bytes": vorndal.generate_uuid7_bytes,
    "generate_uuid7_int": vorndal.generate_uuid7_int,
    "uuid7": vorndal.uuid7,
    "uuid7_obj": lambda: vorndal.uuid7_obj(),
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
        for o in [vorndal.uuid7_obj()]
    ],
    "uuid7_obj immutable": lambda: swallow(setattr, vorndal.uuid7_obj(), "hex", 1),
    "UUID7Obj()": lambda: swallow(vorndal.UUID7Obj),
    **{f.__name__: lambda f=f: (f(0), f(1), f(50)) for f in BATCH_CALLS},
    "batch with __index__ count": lambda: [f(Index()) for f in (vorndal.uuid7_str_many, vorndal.uuid7_many)],
    "_uuid7_at_many list": lambda: vorndal._uuid7_at_many([0, 1, MAX_MS]),
    "_uuid7_at_many generator": lambda: vorndal._uuid7_at_many(x for x in range(20)),
    "_uuid7_at_many tuple": lambda: vorndal._uuid7_at_many((5, 6, 7)),
    "_uuid7_at_many empty": lambda: vorndal._uuid7_at_many([]),
    "_generate_uuid7_at_bytes": lambda: vorndal._generate_uuid7_at_bytes(True),
    "_generate_uuid7_bytes_for_tests": lambda: vorndal._generate_uuid7_bytes_for_tests(FAR_FUTURE_MS),
    "_set_state_for_tests": lambda: (
        vorndal._set_state_for_tests(2**64 + 5, 0),
        vorndal._reset_state_for_tests(),
    ),
    "_reset_state_for_tests": vorndal._reset_state_for_tests,
    "_configure_uuid7 again": configure,
    "_configure_uuid7 other": lambda: (vorndal._configure_uuid7(uuid.UUID, None), configure()),
    # Argument errors.
    "batch counts refused": lambda: [
        swallow(f, bad) for f in BATCH_CALLS for bad in (-1, "x", 2**70, 1.5, RaisingIndex(), 2**40)
    ],
    "wrong arities": lambda: [
        swallow(f, *args)
        for f in (
            vorndal.uuid7_str_many,
            vorndal.generate_uuid7,
            vorndal._set_state_for_tests,
            vorndal._uuid7_at_many,
            vorndal._configure_uuid7,
        )
        for args in ((), (1, 2, 3))
    ],
    "keywords": lambda: [
        swallow(f, n=1)
        for f in (vorndal.uuid7_many, vorndal.uuid7, vorndal._uuid7_at_many, vorndal._configure_uuid7)
    ],
    "_uuid7_at_many bad elements": lambda: [
        swallow(vorndal._uuid7_at_many, bad)
        for bad in ([1, 2, True], [1, -1], [1, 2**48], [2**64], [1, 2.0], 5, raising_generator(), ["x"])
    ],
    "_generate_uuid7_at_bytes bad": lambda: [
        swallow(vorndal._generate_uuid7_at_bytes, b) for b in (-1, 2**48, 2**64, "x", Index())
    ],
    "_generate_uuid7_bytes_for_tests bad": lambda: [
        swallow(vorndal._generate_uuid7_bytes_for_tests, b) for b in (-1, 2**48, "x", RaisingIndex())
    ],
    "_set_state_for_tests bad": lambda: [
        swallow(vorndal._set_state_for_tests, *b)
        for b in ((2**48, 0), (0, 2**42), (1.5, 0), (0, RaisingIndex()), (1,))
    ],
    "_configure_uuid7 bad": lambda: [
        swallow(vorndal._configure_uuid7, *b) for b in ((5, 1), (int, 1), (uuid.UUID(int=0), 1))
    ],
    # Instances that cannot be built.
    "int setter raises uuid7": with_class(RaisingInt, vorndal.uuid7),
    "int setter raises uuid7_many": with_class(RaisingInt, lambda: vorndal.uuid7_many(5)),
    "int setter raises _uuid7_at_many": with_class(RaisingInt, lambda: vorndal._uuid7_at_many([1, 2])),
    "no slots uuid7_many": with_class(testkit.NoRoom, lambda: vorndal.uuid7_many(5)),
    "foreign slot uuid7": with_class(testkit.ForeignSlot, vorndal.uuid7),
    # Slot layouts other than uuid.UUID's.
    **{
        f"{cls.__name__} {name}": with_class(cls, call)
        for cls in (testkit.SplitSlotsChild, testkit.HalfSlotted)
        for name, call in (
            ("uuid7", vorndal.uuid7),
            ("uuid7_many", lambda: vorndal.uuid7_many(5)),
            ("_uuid7_at_many", lambda: vorndal._uuid7_at_many([1, 2])),
        )
    },
    "slot replaced after use": slot_replaced_after_use,
    # The end of the timestamp range.
    **{f"end of range {f.__name__}": at_end_of_range(f) for f in SINGLE_CALLS},
    **{f"end of range {f.__name__}": at_end_of_range(lambda f=f: f(5)) for f in BATCH_CALLS},
    # Randomness failures.
    **{f"broken device {f.__name__}": under_fault(f) for f in SINGLE_CALLS},
    "broken clock uuid7": under_fault(vorndal.uuid7, b"clock_fail"),
    "broken clock uuid7_many": under_fault(lambda: vorndal.uuid7_many(5), b"clock_fail"),
    "broken device _uuid7_at_many": under_fault(lambda: vorndal._uuid7_at_many([1, 2])),
    "broken device _generate_uuid7_at_bytes": under_fault(lambda: vorndal._generate_uuid7_at_bytes(1)),
    "broken device _generate_uuid7_bytes_for_tests": under_fault(
        lambda: vorndal._generate_uuid7_bytes_for_tests(1)
    ),
    **{f"batch failing midway {f.__name__}": under_fault(f, b"eof", 1000, primed=True) for f in BATCH_CALLS},
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
