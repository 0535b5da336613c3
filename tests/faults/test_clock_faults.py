"""Faults of the clock, for both implementations: a clock that cannot be read
gives the timestamp error with the reason, and commits nothing."""

from __future__ import annotations

import errno

import pytest
from fault_support import clock_driven, expect_next
from testkit import FAR_FUTURE_MS, OVERFLOW_MESSAGE, fields


@pytest.mark.parametrize("what", clock_driven(None))
def test_clock_failure_commits_nothing(vorndal, shim, what):
    """A clock that cannot be read (a seccomp filter refusing clock_gettime)
    gives the timestamp error, caused by an OSError with the clock's errno,
    and commits nothing, not a garbage timestamp.  (The interpreter's own
    time.time() fails too while the mode holds.)"""
    vorndal._set_state_for_tests(FAR_FUTURE_MS, 100)
    with shim.injecting("clock_fail"):
        with pytest.raises(OverflowError) as raised:
            clock_driven(vorndal)[what]()
        assert str(raised.value) == OVERFLOW_MESSAGE
        cause = raised.value.__cause__
        assert type(cause) is PermissionError and cause.errno == errno.EPERM, repr(cause)
        # Timestamps given by the caller need no clock.
        expect_next(FAR_FUTURE_MS, 101, vorndal)
        assert vorndal._uuid7_at_many([5])[0].int >> 80 == 5
    expect_next(FAR_FUTURE_MS, 102, vorndal)
    assert fields(vorndal.generate_uuid7_bytes())[:2] == (FAR_FUTURE_MS, 103)
