"""Fixtures for the tests of the extension module ``vorndal``: the generator's
state reset, a sequence read through a far-future millisecond, and the
uuid.UUID fast path's configuration restored."""

from __future__ import annotations

import uuid

import pytest
from tembrel.tembrel_impl import vorndal
from testkit import FAR_FUTURE_MS, decode


@pytest.fixture
def reset_generator():
    """Forget whatever state a test forced on the process-wide generator."""
    vorndal._reset_state_for_tests()
    yield
    vorndal._reset_state_for_tests()


class PinnedSequence:
    """Reads the monotonic sequence through its counter at ``FAR_FUTURE_MS``."""

    timestamp = FAR_FUTURE_MS

    def pin(self, counter: int) -> None:
        vorndal._set_state_for_tests(FAR_FUTURE_MS, counter)

    def next_counter(self) -> int:
        """Counter of the next monotonic identifier (which this call consumes)."""
        parts = decode(vorndal._generate_uuid7_bytes_for_tests(FAR_FUTURE_MS))
        assert parts.timestamp == FAR_FUTURE_MS
        return parts.counter


@pytest.fixture
def pinned(reset_generator):
    return PinnedSequence()


def _current_fast_path():
    try:
        sample = vorndal.uuid7()
    except RuntimeError:
        return None
    return type(sample), sample.is_safe


@pytest.fixture
def fast_path(reset_generator):
    """Lets a test configure the uuid.UUID fast path; the previous
    configuration (or the standard one, if there was none) is restored."""
    before = _current_fast_path()
    yield vorndal._configure_uuid7
    if before is None:
        before = (uuid.UUID, uuid.SafeUUID.unknown)
    vorndal._configure_uuid7(*before)
