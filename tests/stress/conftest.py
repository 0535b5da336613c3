"""Stress tests: threads, forks, a model of the generator, bad input, traced
memory and randomness.  Run by `nox -s stress` (or pytest tests/stress); the
tests that inject faults live in tests/faults."""

from __future__ import annotations

import uuid

import pytest
from tembrel.tembrel_impl import vorndal


@pytest.fixture
def v():
    """The module, configured for uuid.UUID, with the state reset before and after."""
    vorndal._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    vorndal._reset_state_for_tests()
    yield vorndal
    vorndal._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    vorndal._reset_state_for_tests()
