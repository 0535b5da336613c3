"""What the test suites share: the bit layout read back, the limits of the
generator, one way to run Python in a new process, one way to import the
module without the package, and the hostile objects that probe argument
handling.  On the path of every suite (pyproject's pytest `pythonpath`)."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import time
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


def now_ms() -> int:
    return time.time_ns() // 1_000_000


def scale(count: int, minimum: int = 1) -> int:
    """count scaled by TEMBREL_STRESS_SCALE (the sanitizer and valgrind runs use less)."""
    factor = float(os.environ.get("TEMBREL_STRESS_SCALE", "1"))
    return max(minimum, int(count * factor))


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

# Imports the extension module without running the package's __init__, which
# would configure the uuid.UUID fast path: source to run in a new process or
# a subinterpreter, which then has `vorndal` bound.
BARE_IMPORT = """
import importlib.util, sys, types
found = importlib.util.find_spec("tembrel")
package = types.ModuleType("tembrel")
package.__path__ = list(found.submodule_search_locations)
sys.modules["tembrel"] = package
from tembrel.tembrel_impl import vorndal
"""
