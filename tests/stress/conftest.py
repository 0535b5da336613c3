"""Stress tests: threads, forks, a model of the generator, bad input, traced
memory and randomness.  Run by `nox -s stress` (or pytest tests/stress); the
tests that inject faults live in tests/faults.

Each test runs once for the native module and once for the Python one; a
test marked ``native_only(reason)`` runs for the native module alone."""

from __future__ import annotations

import uuid

import pytest
import testkit


@pytest.fixture
def vorndal(implementation):
    """The module, configured for uuid.UUID, with its state reset before and after."""
    module = testkit.implementation_module(implementation)
    module._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    module._reset_state_for_tests()
    yield module
    module._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    module._reset_state_for_tests()
