"""Faults of /dev/urandom: every failing call raises with the reason and
commits nothing, and the sequence goes on from the last good
identifier once the device works again; short reads and interruptions are
ridden out."""

from __future__ import annotations

import errno
import os
import tempfile
from dataclasses import dataclass
from itertools import pairwise

import pytest
import testkit
from fault_support import BATCHES, GENERATING, expect_failure, expect_next, loaded_shim
from testkit import (
    FAR_FUTURE_MS,
    MAX_COUNTER,
    fields,
    output_of,
    run_python,
    urandom_descriptors,
    values_of,
)

pytestmark = pytest.mark.native_only("faults of /dev/urandom, which the Python implementation does not read")


@dataclass(frozen=True)
class Fault:
    mode: str
    arg: int
    closed: bool  # the generator's descriptor is closed first, so the refill opens the device
    errno: int  # what the OSError under the RuntimeError says (an end of file counts as EIO)


FAILING = {
    "open_fail": Fault("open_fail", 0, True, errno.EACCES),
    "open_fail_enoent": Fault("open_fail", errno.ENOENT, True, errno.ENOENT),
    "read_fail": Fault("read_fail", 0, False, errno.EIO),
    "read_fail_eagain": Fault("read_fail", errno.EAGAIN, False, errno.EAGAIN),
    "eof": Fault("eof", 0, False, errno.EIO),
    "partial_fail": Fault("partial_fail", 1000, False, errno.EIO),
}


@pytest.fixture(params=FAILING.values(), ids=FAILING.keys())
def fault(request):
    return request.param


def injecting(shim, fault):
    return shim.injecting(fault.mode, fault.arg, closed=fault.closed)


@pytest.mark.parametrize("what", GENERATING)
def test_failure_commits_nothing(vorndal, shim, fault, what):
    call = GENERATING[what]
    vorndal._reset_state_for_tests()  # empties the pool: the next draw refills
    vorndal._set_state_for_tests(FAR_FUTURE_MS, 100)
    with injecting(shim, fault):
        expect_failure(call, fault.errno)
        expect_failure(call, fault.errno)  # and again: a failed refill is retried
    expect_next(FAR_FUTURE_MS, 101)


@pytest.mark.parametrize("what", BATCHES)
def test_batch_failing_midway_leaves_no_partial_result(vorndal, shim, fault, what):
    """The pool serves 511 more draws, then the refill fails; the 511
    identifiers stay consumed."""
    vorndal._set_state_for_tests(FAR_FUTURE_MS, 100)
    expect_next(FAR_FUTURE_MS, 101)  # refills; 511 draws left
    with injecting(shim, fault):
        expect_failure(lambda: BATCHES[what](1000), fault.errno)
    expect_next(FAR_FUTURE_MS, 101 + 511 + 1)


def test_independent_batch_failing_midway(vorndal, shim, fault):
    """Independent identifiers take two draws each: 255 fit, the 256th fails."""
    vorndal._set_state_for_tests(FAR_FUTURE_MS, 100)
    expect_next(FAR_FUTURE_MS, 101)
    with injecting(shim, fault):
        expect_failure(lambda: vorndal._uuid7_at_many(range(1000)), fault.errno)
    expect_next(FAR_FUTURE_MS, 102)


def test_tail_draw_failing_after_a_new_seed(vorndal, shim, fault):
    """The seed of a new millisecond took the pool's last eight bytes and the
    tail's refill fails: nothing of the failed identifier stays."""
    first = fields(vorndal._generate_uuid7_bytes_for_tests(5000))
    for step in range(1, 510):
        expect_next(5000, first[1] + step)  # pool offset now 4088
    with injecting(shim, fault):
        expect_failure(lambda: vorndal._generate_uuid7_bytes_for_tests(5001), fault.errno)
    expect_next(5000, first[1] + 510)


def test_counter_wrap_without_a_new_seed(vorndal, shim, fault):
    vorndal._set_state_for_tests(7000, MAX_COUNTER)
    with injecting(shim, fault):
        expect_failure(lambda: vorndal._generate_uuid7_bytes_for_tests(7000), fault.errno)
    wrapped = fields(vorndal._generate_uuid7_bytes_for_tests(7000))
    assert wrapped[0] == 7001
    # The wrap committed 7001: a call at 7000 now counts on there.
    assert fields(vorndal._generate_uuid7_bytes_for_tests(7000))[:2] == (7001, wrapped[1] + 1)


RIDDEN_OUT = {
    "short_1": Fault("short", 1, False, 0),
    "short_7": Fault("short", 7, False, 0),
    "short_1000": Fault("short", 1000, False, 0),
    "read_eintr": Fault("read_eintr", 100, False, 0),
    "open_eintr": Fault("open_eintr", 500, True, 0),
}


@pytest.mark.parametrize("fault", RIDDEN_OUT.values(), ids=RIDDEN_OUT.keys())
def test_short_reads_and_interruptions_are_ridden_out(vorndal, shim, fault):
    for round_ in range(6):
        vorndal._reset_state_for_tests()
        with injecting(shim, fault):
            first = fields(vorndal._generate_uuid7_bytes_for_tests(10_000 + round_))
            for step in range(1, 700):  # crosses a refill
                expect_next(10_000 + round_, first[1] + step)
            values = values_of(vorndal.uuid7_many(600)) + [vorndal.generate_uuid7_int() for _ in range(300)]
        assert all(a < b for a, b in pairwise(values))
        tails = {value & 0xFFFFFFFF for value in values}
        assert len(tails) > len(values) - 5, "tails repeat: the pool holds stale or zero bytes"


def test_replaced_descriptor_is_not_read(vorndal, shim):
    """A descriptor number that the program closed and reused for another
    file is never read as randomness: the generator opens the device again."""
    vorndal.generate_uuid7()
    held = urandom_descriptors()
    assert held
    opens = shim.opens()
    with tempfile.TemporaryFile() as zeros:
        zeros.write(bytes(1 << 16))
        zeros.flush()
        for fd in held:
            os.dup2(zeros.fileno(), fd)
            os.lseek(fd, 0, os.SEEK_SET)
        vorndal._reset_state_for_tests()
        values = [vorndal.generate_uuid7_int() for _ in range(2000)]
    assert shim.opens() == opens + 1
    tails = [value & 0xFFFFFFFF for value in values]
    assert len(set(tails)) > 1990, "the generator read the replacement file"


def first_open_fails_here() -> None:
    """Run in a new process whose fault mode came from the environment
    (open_fail): the generator, which has never had the device, keeps trying
    at each refill and works once the device opens."""
    from fault_support import vorndal

    shim = loaded_shim()
    assert shim is not None
    assert shim.opens() == 0
    for what, call in GENERATING.items():
        try:
            expect_failure(call, errno.EACCES)
        except AssertionError as error:
            raise AssertionError(what) from error
    assert shim.opens() == 0
    assert shim.count() > 0
    shim.set_mode("ok")
    vorndal._reset_state_for_tests()
    vorndal._set_state_for_tests(FAR_FUTURE_MS, 0)
    expect_next(FAR_FUTURE_MS, 1)
    assert shim.opens() == 1


def test_first_open_fails():
    preload = os.environ.get("LD_PRELOAD", "")
    assert "libfault_urandom" in preload, "the fault library must come through LD_PRELOAD"
    # The child imports this file and testkit: both directories on its path.
    path = [os.path.dirname(os.path.abspath(__file__)), os.path.dirname(testkit.__file__)]
    env = dict(os.environ, TEMBREL_FAULT_MODE="open_fail")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [*path, env.get("PYTHONPATH")]))
    done = run_python("import test_entropy_faults as t; t.first_open_fails_here()", env=env, timeout=300)
    assert done.returncode == 0, output_of(done)
