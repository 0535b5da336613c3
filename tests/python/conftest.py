"""Fixtures for the tests of the module, over both of its implementations:
the module itself, the generator's state reset, a sequence read through a
far-future millisecond, and the uuid.UUID fast path's configuration restored.

Every test that takes one of them runs once for the native module and once
for the Python one; a test marked ``native_only(reason)`` runs for the native
module alone (testkit.skip_unless_applies)."""

from __future__ import annotations

import uuid

import pytest
import testkit
from testkit import FAR_FUTURE_MS, decode


@pytest.fixture
def vorndal(implementation):
    """The module under test, in the implementation the test runs for."""
    return testkit.implementation_module(implementation)


@pytest.fixture
def reset_generator(vorndal):
    """Forget whatever state a test forced on the process-wide generator."""
    vorndal._reset_state_for_tests()
    yield
    vorndal._reset_state_for_tests()


class PinnedSequence:
    """Reads the monotonic sequence through its counter at ``FAR_FUTURE_MS``."""

    timestamp = FAR_FUTURE_MS

    def __init__(self, module) -> None:
        self.module = module

    def pin(self, counter: int) -> None:
        self.module._set_state_for_tests(FAR_FUTURE_MS, counter)

    def next_counter(self) -> int:
        """Counter of the next monotonic identifier (which this call consumes)."""
        parts = decode(self.module._generate_uuid7_bytes_for_tests(FAR_FUTURE_MS))
        assert parts.timestamp == FAR_FUTURE_MS
        return parts.counter


@pytest.fixture
def pinned(vorndal, reset_generator):
    return PinnedSequence(vorndal)


def _current_fast_path(module):
    try:
        sample = module.uuid7()
    except RuntimeError:
        return None
    return type(sample), sample.is_safe


@pytest.fixture
def fast_path(vorndal, reset_generator):
    """Lets a test configure the uuid.UUID fast path; the previous
    configuration (or the standard one, if there was none) is restored."""
    before = _current_fast_path(vorndal)
    yield vorndal._configure_uuid7
    if before is None:
        before = (uuid.UUID, uuid.SafeUUID.unknown)
    vorndal._configure_uuid7(*before)
