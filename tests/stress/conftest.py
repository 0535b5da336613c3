"""Stress tests: threads, forks, a model of the generator, entropy faults, bad
input, leaks and randomness.  Run by tools/check (or pytest tests/stress)."""

from __future__ import annotations

import collections
import uuid

import pytest
import stress_support
from tembrel.tembrel_impl import vorndal

# Figures that the tests add up and the run prints at its end.
FIGURES: collections.Counter[str] = collections.Counter()


@pytest.fixture
def v():
    """The module, configured for uuid.UUID, with the state reset before and after."""
    vorndal._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    vorndal._reset_state_for_tests()
    yield vorndal
    vorndal._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    vorndal._reset_state_for_tests()


@pytest.fixture
def figures():
    return FIGURES


@pytest.fixture(scope="session")
def fault_library():
    return stress_support.build_fault_library()


def pytest_terminal_summary(terminalreporter):
    if FIGURES:
        terminalreporter.write_line(
            "stress figures: " + ", ".join(f"{name}={count}" for name, count in sorted(FIGURES.items()))
        )
