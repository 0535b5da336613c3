"""What the test suites share: the bit layout read back, the limits of the
generator, the module's two implementations, one way to run Python in a new
process, one way to import the module without the package, and the hostile
objects that probe argument handling.  On the path of every suite (pyproject's pytest `pythonpath`).

It imports neither the package nor the module at its top, so that a process
that must load the module bare (leak_driver.py) can use it too."""

from __future__ import annotations

import ctypes
import importlib
import importlib.util
import os
import re
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

# --------------------------------------------------------------------------
# The limits of the generator
# --------------------------------------------------------------------------

MAX_MS = (1 << 48) - 1  # the last millisecond a UUIDv7 holds
MAX_COUNTER = (1 << 42) - 1
# A millisecond far beyond any real clock (about the year 6429): once the
# state is set there, every clock-driven identifier continues that
# millisecond's counter, which makes the sequence readable from Python.
FAR_FUTURE_MS = 1 << 47

OVERFLOW_MESSAGE = "UUIDv7 timestamp exceeds 48 bits"

# The functions that make a batch of identifiers from one count.
BATCHES = ("uuid7_str_many", "uuid7_bytes_many", "uuid7_obj_many", "uuid7_many")
# The module's fifteen functions.
FUNCTIONS = (
    *BATCHES,
    *("generate_uuid7", "generate_uuid7_bytes", "generate_uuid7_int", "uuid7", "uuid7_obj"),
    *("_configure_uuid7", "_uuid7_at_many", "_generate_uuid7_at_bytes", "_generate_uuid7_bytes_for_tests"),
    *("_set_state_for_tests", "_reset_state_for_tests"),
)

CANONICAL = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-7[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")

# --------------------------------------------------------------------------
# The two implementations of the module
# --------------------------------------------------------------------------

# The module's interface has two implementations, tested alike: the extension
# module, and its twin in Python, which the package binds where the extension
# module does not exist (or with TEMBREL_PURE_PYTHON=1).
IMPLEMENTATIONS = ("native", "python")
MODULES = {"native": "tembrel.tembrel_impl.vorndal", "python": "tembrel.tembrel_impl._pyvorndal"}
PURE_PYTHON = "TEMBREL_PURE_PYTHON"

# What a new process runs to have an implementation bound to `vorndal`.
IMPORTS = {
    "native": "from tembrel.tembrel_impl import vorndal",
    "python": "from tembrel.tembrel_impl import _pyvorndal as vorndal",
}


def implementation_module(name: str):
    return importlib.import_module(MODULES[name])


def implementation_env(name: str, env: dict[str, str] | None = None) -> dict[str, str]:
    """``env`` (by default this process's) for a new process whose package
    binds the implementation ``name``."""
    env = dict(os.environ if env is None else env)
    if name == "python":
        env[PURE_PYTHON] = "1"
    else:
        env.pop(PURE_PYTHON, None)
    return env


def retarget(source: str, name: str) -> str:
    """Python source that imports the native module as `vorndal`, made to
    import the implementation ``name`` in its place (run it with
    ``implementation_env(name)``, so that the package binds the same)."""
    return source.replace(IMPORTS["native"], IMPORTS[name])


def native_unavailable() -> str | None:
    """Why the native implementation is not tested in this run, or None.  A
    module that exists but fails to load is no reason: that test fails."""
    if os.environ.get(PURE_PYTHON, "") not in ("", "0"):
        return f"{PURE_PYTHON} is set: this run tests the Python implementation alone"
    if importlib.util.find_spec(MODULES["native"]) is None:
        return "the native module is not built for this interpreter"
    return None


def skip_unless_applies(item: Any) -> None:
    """Skips a test item of a suite's conftest (pytest_runtest_setup) whose
    implementation is not tested here: the native one where it does not
    exist, the Python one where the test is marked ``native_only(reason)``.
    A native-only test that runs once, for no implementation in particular,
    needs the native module."""
    import pytest

    callspec = getattr(item, "callspec", None)
    name = callspec.params.get("implementation") if callspec is not None else None
    marker = item.get_closest_marker("native_only")
    if marker is not None and name == "python":
        pytest.skip(f"native only: {marker.args[0]}")
    if name == "native" or (marker is not None and name is None):
        reason = native_unavailable()
        if reason is not None:
            pytest.skip(reason)


# --------------------------------------------------------------------------
# The bit layout
# --------------------------------------------------------------------------


@dataclass(frozen=True)
class Parts:
    """One identifier taken apart along its bit layout."""

    timestamp: int
    version: int
    variant: int
    counter: int
    tail: int


def decode(value: bytes | int) -> Parts:
    """The fields of an identifier given as its 16 bytes or its integer."""
    if isinstance(value, bytes):
        assert len(value) == 16, value
        value = int.from_bytes(value)
    high, low = value >> 64, value & ((1 << 64) - 1)
    return Parts(
        timestamp=high >> 16,
        version=(high >> 12) & 0xF,
        variant=low >> 62,
        counter=((high & 0xFFF) << 30) | ((low >> 32) & 0x3FFFFFFF),
        tail=low & 0xFFFFFFFF,
    )


def fields(value: bytes | int) -> tuple[int, int, int]:
    """(timestamp, counter, tail) of a UUIDv7, checking its version and variant."""
    parts = decode(value)
    assert (parts.version, parts.variant) == (7, 0b10), parts
    return parts.timestamp, parts.counter, parts.tail


def values_of(result: object) -> list[int]:
    """The 128-bit values of what any generating function returned: a string,
    16 bytes or a batch of them, an integer, an object with `.int`, or a list."""
    if isinstance(result, list):
        return [value for item in result for value in values_of(item)]
    if isinstance(result, str):
        return [int(result.replace("-", ""), 16)]
    if isinstance(result, bytes):
        assert len(result) % 16 == 0, len(result)
        return [int.from_bytes(result[i : i + 16]) for i in range(0, len(result), 16)]
    if isinstance(result, int):
        return [result]
    return [result.int]  # type: ignore[attr-defined]


# What CPython alone shows of objects: their sizes and reference counts (PyPy has neither).
CPYTHON = sys.implementation.name == "cpython"


def now_ms() -> int:
    return time.time_ns() // 1_000_000


def scale(count: int, minimum: int = 1) -> int:
    """count scaled by TEMBREL_STRESS_SCALE (the sanitizer and valgrind runs use less)."""
    factor = float(os.environ.get("TEMBREL_STRESS_SCALE", "1"))
    return max(minimum, int(count * factor))


def urandom_descriptors(pid: int | str = "self") -> list[int]:
    """Descriptors of a process that refer to /dev/urandom."""
    found = []
    base = f"/proc/{pid}/fd"
    for name in os.listdir(base):
        try:
            if os.readlink(os.path.join(base, name)) == "/dev/urandom":
                found.append(int(name))
        except OSError:
            pass
    return found


def run_threads(work: Callable[[int], object], count: int) -> None:
    """work(0) ... work(count - 1), each in a thread of its own, all at once;
    raises the first error a thread met."""
    errors: list[BaseException] = []

    def guarded(index: int) -> None:
        try:
            work(index)
        except BaseException as error:  # reported by the calling thread
            errors.append(error)

    workers = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    if errors:
        raise errors[0]


# --------------------------------------------------------------------------
# Python in a new process
# --------------------------------------------------------------------------


# testkit's own folder: on the PYTHONPATH of every process run here, so
# that their code may import it too.
SUPPORT = os.path.dirname(os.path.abspath(__file__))


def python_command(
    code: str | None, *args: str, module: str | None = None, prefix: tuple[str, ...] = (), dev: bool = True
) -> list[str]:
    """The command line that runs ``code`` (dedented), or with ``module`` that
    module as ``python -m`` does, in this interpreter; in development mode
    unless ``dev`` is false.  ``prefix`` goes before the interpreter
    (``unshare ...``, ``strace ...``, ``sh -c SCRIPT sh``)."""
    program = ["-m", module] if module is not None else ["-c", textwrap.dedent(code or "")]
    return [*prefix, sys.executable, *(["-X", "dev"] if dev else []), *program, *args]


def run_python(
    code: str | None,
    *args: str,
    module: str | None = None,
    prefix: tuple[str, ...] = (),
    dev: bool = True,
    env: dict[str, str] | None = None,
    timeout: float = 120,
    text: bool = True,
    **options: Any,
) -> subprocess.CompletedProcess[Any]:
    """Runs ``python_command(code, *args, ...)`` to its end and captures its
    output, as text unless ``text`` is false; never raises on failure.
    Development mode fills freed memory, so that a use after free crashes.
    ``env`` (by default this process's) gets testkit's folder at the end of
    its PYTHONPATH; ``options`` go to subprocess.run (``input``, ``stdin``,
    ``cwd``, ``preexec_fn``, ...)."""
    env = dict(os.environ if env is None else env)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [env.get("PYTHONPATH"), SUPPORT]))
    command = python_command(code, *args, module=module, prefix=prefix, dev=dev)
    return subprocess.run(
        command, capture_output=True, text=text, timeout=timeout, check=False, env=env, **options
    )


def output_of(done: subprocess.CompletedProcess[Any]) -> str:
    return f"exit {done.returncode}\n--- stdout\n{done.stdout!s}\n--- stderr\n{done.stderr!s}"


# --------------------------------------------------------------------------
# The module without the package
# --------------------------------------------------------------------------

# Imports an implementation of the module without running the package's
# __init__, which would configure the uuid.UUID fast path: source to run in a
# new process or a subinterpreter, which then has `vorndal` bound.
BARE_IMPORTS = {
    name: f"""
import importlib.util, sys, types
found = importlib.util.find_spec("tembrel")
package = types.ModuleType("tembrel")
package.__path__ = list(found.submodule_search_locations)
sys.modules["tembrel"] = package
{IMPORTS[name]}
"""
    for name in IMPLEMENTATIONS
}
BARE_IMPORT = BARE_IMPORTS["native"]


def bare_module():
    """The native module imported as BARE_IMPORT does, in this process: for a
    process of its own, since the name `tembrel` then stands for an empty package."""
    names: dict[str, object] = {}
    exec(BARE_IMPORT, names)
    return names["vorndal"]


# --------------------------------------------------------------------------
# Compact objects holding chosen words
# --------------------------------------------------------------------------

HEADER_SIZE = 16  # reference count and type pointer of a non-free-threaded 64-bit build


def make_obj(module, high: int, low: int):
    """A UUID7Obj of ``module`` (either implementation) holding exactly the given words.

    Python cannot choose the words of a native instance, so a fresh one is
    made and its two words, which follow the object header, are overwritten
    in place.  The Python type keeps the 128-bit value in its one slot.
    """
    assert 0 <= high < 2**64 and 0 <= low < 2**64
    obj = module.uuid7_obj()
    if module.__name__ == MODULES["python"]:
        type(obj)._value.__set__(obj, (high << 64) | low)
        return obj
    # The layout assumption: header, then high, then low, nothing else.
    assert sys.getsizeof(obj) == HEADER_SIZE + 16
    assert type(obj).__basicsize__ == HEADER_SIZE + 16
    high_word = ctypes.c_uint64.from_address(id(obj) + HEADER_SIZE)
    low_word = ctypes.c_uint64.from_address(id(obj) + HEADER_SIZE + 8)
    assert (high_word.value << 64) | low_word.value == obj.int
    high_word.value = high
    low_word.value = low
    return obj


# --------------------------------------------------------------------------
# Hostile objects: counts and timestamps, and classes for the uuid.UUID fast path
# --------------------------------------------------------------------------


class Boom(Exception):
    """Raised by the hostile objects below, and by nothing else."""


class Index:
    """Not an int, but converts to one through __index__."""

    def __init__(self, value: int = 3) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value

    def __repr__(self) -> str:
        return f"Index({self.value})"


class RaisingIndex:
    def __index__(self) -> int:
        raise Boom("index")


class BadIndex:
    """An __index__ that answers with something that is not an int."""

    def __index__(self) -> int:
        return "seven"  # type: ignore[return-value]


class MutatingIndex(Index):
    """An __index__ that first generates an identifier through ``module``
    (which moves its monotonic state by one), then answers."""

    def __init__(self, value: int, module: Any) -> None:
        super().__init__(value)
        self.module = module

    def __index__(self) -> int:
        self.module._generate_uuid7_bytes_for_tests(0)
        return self.value


class LyingInt(int):
    """An int subclass whose conversions refuse: whoever takes it must read
    its value, as the int type does, and never call __int__ or __index__."""

    def __int__(self) -> int:
        raise Boom("__int__ of an int subclass was called")

    def __index__(self) -> int:
        raise Boom("__index__ of an int subclass was called")


class Slotted:
    """The layout of uuid.UUID: the two attributes in slots."""

    __slots__ = ("int", "is_safe")


class NoRoom:
    """Neither attribute can be set."""

    __slots__ = ()


class IntOnly:
    """int can be set, is_safe not."""

    __slots__ = ("int",)


class SplitSlots:
    __slots__ = ("int",)


class SplitSlotsChild(SplitSlots):
    """The two slots spread over a class and its base."""

    __slots__ = ("is_safe",)


class HalfSlotted:
    """int in a slot, is_safe in the instance dictionary."""

    __slots__ = ("int", "__dict__")


class ForeignSlot:
    """Serves int with another class's slot: attribute setting refuses it."""

    __slots__ = ("is_safe",)
    int = Slotted.__dict__["int"]


def connect_kwargs(conninfo: str) -> dict[str, str]:
    """A libpq connection string of the throwaway PostgreSQL (tests/integrations/conftest.py) as the
    keyword arguments of asyncpg.connect, which reads no such string."""
    parts = dict(part.split("=", 1) for part in conninfo.split())
    return {"host": parts["host"], "database": parts["dbname"], "user": parts["user"]}
