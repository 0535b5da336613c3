"""Stress tests: threads, forks, a model of the generator, bad input, traced
memory and randomness.  Run by `nox -s stress` (or pytest tests/stress); the
tests that inject faults live in tests/faults."""

from __future__ import annotations

import uuid

import pytest
from tembrel.tembrel_impl import vorndal as module


@pytest.fixture(name="vorndal")
def reset_vorndal():
    """The module, configured for uuid.UUID, with its state reset before and after."""
    module._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    module._reset_state_for_tests()
    yield module
    module._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    module._reset_state_for_tests()
