"""Faults of /dev/urandom and of the clock, injected by libfault_urandom.so
(fault_urandom.c), which the pytest process itself must have preloaded: see
fault_support.BUILD_AND_RUN for how to build and run it.

Each test runs once for the native module and once for the Python one; those
of /dev/urandom, which the Python one does not read, are marked native_only."""

from __future__ import annotations

import uuid

import pytest
import testkit
from fault_support import BUILD_AND_RUN, loaded_shim

SHIM = loaded_shim()


@pytest.fixture(scope="session", autouse=True)
def shim():
    """The fault library; every test here fails without it rather than pass
    without having injected anything."""
    if SHIM is None:
        pytest.fail(BUILD_AND_RUN, pytrace=False)
    SHIM.set_mode("ok")
    return SHIM


@pytest.fixture(name="vorndal")
def reset_vorndal(shim, implementation):
    """The module, configured for uuid.UUID, with its state reset (and the
    fault library's mode back to "ok") before and after."""
    module = testkit.implementation_module(implementation)
    module._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    module._reset_state_for_tests()
    yield module
    shim.set_mode("ok")
    module._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    module._reset_state_for_tests()
