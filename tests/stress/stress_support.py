"""Helpers shared by the stress tests and the scripts they start in subprocesses."""

from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
STRESS_DIR = pathlib.Path(__file__).resolve().parent
BUILD_DIR = ROOT / "build" / "stress"

MAX_TS = (1 << 48) - 1
MAX_COUNTER = (1 << 42) - 1
FUTURE_TS = MAX_TS - 10**9  # far ahead of any clock: clock-driven calls count on from it

CSPRNG_MESSAGE = "system CSPRNG failed while generating UUID v7"
OVERFLOW_MESSAGE = "UUIDv7 timestamp exceeds 48 bits"


def scale(count: int, minimum: int = 1) -> int:
    """count scaled by TEMBREL_STRESS_SCALE (the sanitizer and valgrind runs use less)."""
    factor = float(os.environ.get("TEMBREL_STRESS_SCALE", "1"))
    return max(minimum, int(count * factor))


def fields(value: bytes | int) -> tuple[int, int, int]:
    """(timestamp, counter, tail) of a monotonic identifier, checking version and variant."""
    if isinstance(value, bytes):
        assert len(value) == 16
        value = int.from_bytes(value, "big")
    assert (value >> 76) & 0xF == 7, hex(value)
    assert (value >> 62) & 0b11 == 0b10, hex(value)
    timestamp = value >> 80
    counter = (((value >> 64) & 0xFFF) << 30) | ((value >> 32) & 0x3FFFFFFF)
    return timestamp, counter, value & 0xFFFFFFFF


def now_ms() -> int:
    return time.time_ns() // 1_000_000


def raw_vorndal():
    """The extension module loaded straight from its file, without running the
    package's __init__ (which configures the uuid.UUID fast path)."""
    package = importlib.util.find_spec("tembrel")
    assert package is not None and package.submodule_search_locations
    impl = [os.path.join(p, "tembrel_impl") for p in package.submodule_search_locations]
    ext = importlib.machinery.PathFinder.find_spec("vorndal", impl)
    assert ext is not None, impl
    module = importlib.util.module_from_spec(ext)
    ext.loader.exec_module(module)
    return module


def clean_env() -> dict[str, str]:
    """The environment without the sanitizer preloads, for running the compiler."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def build_fault_library() -> pathlib.Path:
    """Compile fault_urandom.c into build/stress (once per source change)."""
    source = STRESS_DIR / "fault_urandom.c"
    target = BUILD_DIR / "libfault_urandom.so"
    if target.exists() and target.stat().st_mtime >= source.stat().st_mtime:
        return target
    BUILD_DIR.mkdir(parents=True, exist_ok=True)
    compiler = shutil.which("cc") or shutil.which("gcc")
    assert compiler, "no C compiler"
    partial = BUILD_DIR / f"libfault_urandom.{os.getpid()}.so"
    subprocess.run(
        [
            compiler,
            "-shared",
            "-fPIC",
            "-O2",
            "-Wall",
            "-Wextra",
            "-Werror",
            "-o",
            str(partial),
            str(source),
            "-ldl",
        ],
        check=True,
        env=clean_env(),
    )
    os.replace(partial, target)
    return target


def preload_env(library: pathlib.Path, **extra: str) -> dict[str, str]:
    """The environment for a subprocess with the fault library preloaded after
    whatever is preloaded already (a sanitizer runtime must stay first)."""
    env = dict(os.environ)
    current = env.get("LD_PRELOAD", "")
    env["LD_PRELOAD"] = f"{current}:{library}" if current else str(library)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(STRESS_DIR), env.get("PYTHONPATH", "")]))
    env.update(extra)
    return env


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


def run_python(
    args: list[str], env: dict[str, str] | None = None, timeout: float = 600
) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, *args], env=env, capture_output=True, text=True, timeout=timeout, cwd=str(ROOT)
    )
