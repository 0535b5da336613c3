"""What the fault tests share: the preloaded fault library, the functions that
draw randomness, and checks of their failures."""

from __future__ import annotations

import contextlib
import ctypes
import os

import testkit
from tembrel.tembrel_impl import vorndal
from testkit import FAR_FUTURE_MS, fields, urandom_descriptors

CSPRNG_MESSAGE = "system CSPRNG failed while generating UUID v7"

BUILD_AND_RUN = (
    "tests/faults runs only in a process started with libfault_urandom.so preloaded, as `nox -s stress`\n"
    "does; by hand:\n"
    "  cmake -S . -B build/fault-shim -G Ninja -DTEMBREL_BUILD_FAULT_SHIM=ON -DTEMBREL_WERROR=ON\n"
    "  cmake --build build/fault-shim --target fault_urandom\n"
    "  LD_PRELOAD=build/fault-shim/libfault_urandom.so python -X dev -m pytest tests/faults"
)


class Shim:
    """The fault library, found among the process's own symbols."""

    def __init__(self, lib: ctypes.CDLL) -> None:
        self._lib = lib
        lib.fault_set_mode.argtypes = [ctypes.c_char_p, ctypes.c_long]
        for name in ("fault_count", "fault_opens", "fault_reads"):
            getattr(lib, name).restype = ctypes.c_long

    def set_mode(self, name: str, arg: int = 0) -> None:
        assert self._lib.fault_set_mode(name.encode(), arg) == 0, name

    def count(self) -> int:
        """Faults injected so far."""
        return self._lib.fault_count()

    def opens(self) -> int:
        """Opens of /dev/urandom that reached the kernel."""
        return self._lib.fault_opens()

    @contextlib.contextmanager
    def injecting(self, name: str, arg: int = 0, closed: bool = False):
        """Mode name for the block, then "ok" again whatever happens; with
        closed, the generator's descriptor is closed first, so the next refill
        opens the device again.  The block must have met at least one fault."""
        before = self.count()
        if closed:
            close_device()
        self.set_mode(name, arg)
        try:
            yield
        finally:
            self.set_mode("ok")
        assert self.count() > before, f"{name}: nothing was injected"


def loaded_shim() -> Shim | None:
    lib = ctypes.CDLL(None)
    return Shim(lib) if hasattr(lib, "fault_set_mode") else None


def close_device() -> None:
    """Close the generator's descriptor behind its back: the next refill must
    notice and open the device again."""
    for fd in urandom_descriptors():
        os.close(fd)


def generating(module) -> dict:
    """Every function of module that draws random bits, called with good arguments."""
    return {
        "generate_uuid7": lambda: module.generate_uuid7(),
        "generate_uuid7_bytes": lambda: module.generate_uuid7_bytes(),
        "generate_uuid7_int": lambda: module.generate_uuid7_int(),
        "uuid7": lambda: module.uuid7(),
        "uuid7_obj": lambda: module.uuid7_obj(),
        "uuid7_str_many": lambda: module.uuid7_str_many(3),
        "uuid7_bytes_many": lambda: module.uuid7_bytes_many(3),
        "uuid7_obj_many": lambda: module.uuid7_obj_many(3),
        "uuid7_many": lambda: module.uuid7_many(3),
        "_uuid7_at_many": lambda: module._uuid7_at_many([1, 2, 3]),
        "_generate_uuid7_bytes_for_tests": lambda: module._generate_uuid7_bytes_for_tests(FAR_FUTURE_MS),
        "_generate_uuid7_at_bytes": lambda: module._generate_uuid7_at_bytes(5),
    }


def clock_driven(module) -> dict:
    """Those that read the clock."""
    given = ("_uuid7_at_many", "_generate_uuid7_bytes_for_tests", "_generate_uuid7_at_bytes")
    return {name: call for name, call in generating(module).items() if name not in given}


# The native module's, which the faults of /dev/urandom concern.
GENERATING = generating(vorndal)
CLOCK_DRIVEN = clock_driven(vorndal)
BATCHES = {name: getattr(vorndal, name) for name in testkit.BATCHES}


def expect_failure(call, expected_errno: int) -> None:
    """call() raises the randomness error, caused by an OSError with
    expected_errno on /dev/urandom, and returns nothing."""
    try:
        result = call()
    except RuntimeError as error:
        assert str(error) == CSPRNG_MESSAGE
        cause = error.__cause__
        assert isinstance(cause, OSError) and cause.errno == expected_errno, repr(cause)
        assert cause.filename == "/dev/urandom" and cause.__cause__ is None, repr(cause)
        return
    raise AssertionError(f"returned {result!r} with a broken device")


def expect_next(ts: int, counter: int, module=vorndal) -> None:
    """The next identifier of module at ts (with the state at ts or ahead) is (ts, counter)."""
    assert fields(module._generate_uuid7_bytes_for_tests(ts))[:2] == (ts, counter)
