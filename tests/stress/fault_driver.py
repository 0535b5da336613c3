"""Entropy faults seen from Python; run with libfault_urandom.so preloaded.

    python fault_driver.py SCENARIO

Prints one JSON line at the end: {"faults": injected, "identifiers": checked}.
Any failed check raises, so the exit status is non-zero.
"""

from __future__ import annotations

import ctypes
import errno
import json
import os
import sys
import tempfile
from itertools import pairwise

from stress_support import (
    CSPRNG_MESSAGE,
    FUTURE_TS,
    MAX_COUNTER,
    build_fault_library,
    fields,
    urandom_descriptors,
)
from tembrel.tembrel_impl import vorndal as v

lib = ctypes.CDLL(str(build_fault_library()))
lib.fault_set_mode.argtypes = [ctypes.c_char_p, ctypes.c_long]
lib.fault_count.restype = lib.fault_opens.restype = lib.fault_reads.restype = ctypes.c_long
assert lib.fault_count() >= 0

checked = 0

GENERATING = {
    "generate_uuid7": lambda: v.generate_uuid7(),
    "generate_uuid7_bytes": lambda: v.generate_uuid7_bytes(),
    "generate_uuid7_int": lambda: v.generate_uuid7_int(),
    "uuid7": lambda: v.uuid7(),
    "uuid7_obj": lambda: v.uuid7_obj(),
    "uuid7_str_many": lambda: v.uuid7_str_many(3),
    "uuid7_bytes_many": lambda: v.uuid7_bytes_many(3),
    "uuid7_obj_many": lambda: v.uuid7_obj_many(3),
    "uuid7_many": lambda: v.uuid7_many(3),
    "_uuid7_at_many": lambda: v._uuid7_at_many([1, 2, 3]),
    "_generate_uuid7_bytes_for_tests": lambda: v._generate_uuid7_bytes_for_tests(FUTURE_TS),
    "_generate_uuid7_at_bytes": lambda: v._generate_uuid7_at_bytes(5),
}

BATCHES = {
    "uuid7_str_many": v.uuid7_str_many,
    "uuid7_bytes_many": v.uuid7_bytes_many,
    "uuid7_obj_many": v.uuid7_obj_many,
    "uuid7_many": v.uuid7_many,
}


def mode(name, arg=0):
    assert lib.fault_set_mode(name.encode(), arg) == 0, name


# The errno each failing mode leaves, which the RuntimeError carries as the
# errno of its OSError cause (an end of file counts as EIO).
expected_errno = errno.EACCES


def fault_errno(name, arg):
    return {"open_fail": arg or errno.EACCES, "read_fail": arg or errno.EIO}.get(name, errno.EIO)


def expect_failure(call, what):
    try:
        result = call()
    except RuntimeError as error:
        assert str(error) == CSPRNG_MESSAGE, (what, str(error))
        cause = error.__cause__
        assert isinstance(cause, OSError) and cause.errno == expected_errno, (what, repr(cause))
        assert cause.filename == "/dev/urandom" and cause.__cause__ is None, (what, repr(cause))
        return
    raise AssertionError(f"{what} returned {result!r} with a broken device")


def expect_next(ts, counter):
    """The next identifier at ts (with the state at ts or ahead) is (ts, counter)."""
    global checked
    got = fields(v._generate_uuid7_bytes_for_tests(ts))[:2]
    assert got == (ts, counter), (got, (ts, counter))
    checked += 1


def close_device():
    """Close the generator's descriptor behind its back: the next refill must
    notice and open the device again."""
    for fd in urandom_descriptors():
        os.close(fd)


def failing(name, arg=0, closed=False):
    """Every generating function fails, commits nothing, and the sequence
    goes on from the last good identifier once the device works again."""
    global expected_errno
    expected_errno = fault_errno(name, arg)
    for what, call in GENERATING.items():
        v._reset_state_for_tests()  # empties the pool: the next draw refills
        v._set_state_for_tests(FUTURE_TS, 100)
        if closed:
            close_device()
        mode(name, arg)
        expect_failure(call, what)
        expect_failure(call, what)  # and again: a failed refill is retried
        mode("ok")
        expect_next(FUTURE_TS, 101)

    # In the middle of a batch: the pool serves 511 more draws, then the
    # refill fails.  No partial result; the 511 identifiers stay consumed.
    for what, batch in BATCHES.items():
        v._reset_state_for_tests()
        v._set_state_for_tests(FUTURE_TS, 100)
        expect_next(FUTURE_TS, 101)  # refills; 511 draws left
        if closed:
            close_device()
        mode(name, arg)
        expect_failure(lambda batch=batch: batch(1000), what)
        mode("ok")
        expect_next(FUTURE_TS, 101 + 511 + 1)

    # Independent identifiers: two draws each, 255 fit, the 256th fails.
    v._reset_state_for_tests()
    v._set_state_for_tests(FUTURE_TS, 100)
    expect_next(FUTURE_TS, 101)
    if closed:
        close_device()
    mode(name, arg)
    expect_failure(lambda: v._uuid7_at_many(range(1000)), "_uuid7_at_many")
    mode("ok")
    expect_next(FUTURE_TS, 102)

    # A failure at the tail draw of a new millisecond: the seed took the
    # pool's last eight bytes.  Nothing of the failed identifier stays.
    v._reset_state_for_tests()
    first = fields(v._generate_uuid7_bytes_for_tests(5000))
    for step in range(1, 510):
        expect_next(5000, first[1] + step)  # pool offset now 4088
    if closed:
        close_device()
    mode(name, arg)
    expect_failure(lambda: v._generate_uuid7_bytes_for_tests(5001), "tail draw")
    mode("ok")
    expect_next(5000, first[1] + 510)

    # A counter wrap whose new seed cannot be drawn.
    v._reset_state_for_tests()
    v._set_state_for_tests(7000, MAX_COUNTER)
    if closed:
        close_device()
    mode(name, arg)
    expect_failure(lambda: v._generate_uuid7_bytes_for_tests(7000), "wrap seed")
    mode("ok")
    wrapped = fields(v._generate_uuid7_bytes_for_tests(7000))
    assert wrapped[0] == 7001
    # The wrap committed 7001: a call at 7000 now counts on there.
    assert fields(v._generate_uuid7_bytes_for_tests(7000))[:2] == (7001, wrapped[1] + 1)


def working(name, arg=0, closed=False):
    """Short reads and interruptions are ridden out: every identifier is good."""
    global checked
    before = lib.fault_count()
    for round_ in range(6):
        v._reset_state_for_tests()
        if closed:
            close_device()
        mode(name, arg)
        first = fields(v._generate_uuid7_bytes_for_tests(10_000 + round_))
        for step in range(1, 700):  # crosses a refill
            expect_next(10_000 + round_, first[1] + step)
        values = [u.int for u in v.uuid7_many(600)] + [v.generate_uuid7_int() for _ in range(300)]
        assert all(a < b for a, b in pairwise(values))
        tails = {value & 0xFFFFFFFF for value in values}
        assert len(tails) > len(values) - 5, "tails repeat: the pool holds stale or zero bytes"
        checked += len(values) + 1
        mode("ok")
    assert lib.fault_count() > before, "nothing was injected"


def replaced():
    """A descriptor number that the program closed and reused for another
    file is never read as randomness: the generator opens the device again."""
    global checked
    v._reset_state_for_tests()
    v.generate_uuid7()
    held = urandom_descriptors()
    assert held
    opens = lib.fault_opens()
    with tempfile.TemporaryFile() as zeros:
        zeros.write(bytes(1 << 16))
        zeros.flush()
        for fd in held:
            os.dup2(zeros.fileno(), fd)
            os.lseek(fd, 0, os.SEEK_SET)
        v._reset_state_for_tests()
        values = [v.generate_uuid7_int() for _ in range(2000)]
    assert lib.fault_opens() == opens + 1
    tails = [value & 0xFFFFFFFF for value in values]
    assert len(set(tails)) > 1990, "the generator read the replacement file"
    checked += len(values)


def first_open_fails():
    """The very first open fails (the mode came from the environment): the
    generator keeps trying at each refill and works once the device opens."""
    assert lib.fault_opens() == 0
    for what, call in GENERATING.items():
        expect_failure(call, what)
    assert lib.fault_opens() == 0
    mode("ok")
    v._reset_state_for_tests()
    v._set_state_for_tests(FUTURE_TS, 0)
    expect_next(FUTURE_TS, 1)
    assert lib.fault_opens() == 1


CLOCK_DRIVEN = {
    name: call
    for name, call in GENERATING.items()
    if name not in ("_uuid7_at_many", "_generate_uuid7_bytes_for_tests", "_generate_uuid7_at_bytes")
}


def clock_fail():
    """A clock that cannot be read (a seccomp filter refusing clock_gettime)
    gives the timestamp error and commits nothing, not a garbage timestamp."""
    global checked
    for what, call in CLOCK_DRIVEN.items():
        v._reset_state_for_tests()
        v._set_state_for_tests(FUTURE_TS, 100)
        mode("clock_fail")
        try:
            result = call()
        except OverflowError as error:
            assert str(error) == "UUIDv7 timestamp exceeds 48 bits", (what, str(error))
        else:
            raise AssertionError(f"{what} returned {result!r} without a clock")
        # Timestamps given by the caller need no clock.
        expect_next(FUTURE_TS, 101)
        assert v._uuid7_at_many([5])[0].int >> 80 == 5
        mode("ok")
        expect_next(FUTURE_TS, 102)
        assert fields(v.generate_uuid7_bytes())[:2] == (FUTURE_TS, 103)
        checked += 1


SCENARIOS = {
    "clock_fail": clock_fail,
    "first_open_fails": first_open_fails,
    "open_fail": lambda: failing("open_fail", 0, closed=True),
    "open_fail_enoent": lambda: failing("open_fail", 2, closed=True),
    "read_fail": lambda: failing("read_fail"),
    "read_fail_eagain": lambda: failing("read_fail", 11),
    "eof": lambda: failing("eof"),
    "partial_fail": lambda: failing("partial_fail", 1000),
    "short_1": lambda: working("short", 1),
    "short_7": lambda: working("short", 7),
    "short_1000": lambda: working("short", 1000),
    "read_eintr": lambda: working("read_eintr", 100),
    "open_eintr": lambda: working("open_eintr", 500, closed=True),
    "replaced": replaced,
}

if __name__ == "__main__":
    SCENARIOS[sys.argv[1]]()
    print(json.dumps({"faults": lib.fault_count(), "identifiers": checked}))
