"""The project's sessions: `nox -l` lists them, `nox -s NAME` runs one, `nox -t proof` runs them all:
`nox -t test` the test sessions (what tools/test runs), then `nox -t checks` the others.

Every session makes its own virtual environment under .nox/ with CPython 3.14 (the debug build for
`leaks`), installs the dependency groups of pyproject.toml it names, builds and installs the package
into it with warnings as errors, and runs its checks.  `tests` and `compare` run once on each of
CPython 3.13, 3.14 and 3.15 (`nox -s tests-3.13` runs one), `pure` on each of CPython 3.11, PyPy 3.11
and CPython 3.14.  What pip cannot give comes from the system: the interpreters, the compilers,
GoogleTest, valgrind, PostgreSQL (its tests skip without it), qemu-user for the aarch64 wheels.
`tools/devenv nox ...` runs the sessions inside a Debian root that has all of it.

Arguments after `--` go to pytest (tests, stress, limited) or to bench.compare (bench, compare).

The stable-ABI build of the module (one vorndal.abi3.so for CPython 3.11 onwards): `wheels` makes it
as the cp311-abi3 wheels, audits them with abi3audit and runs the Python suite from them on CPython
3.11, 3.13, 3.14 and 3.15; `limited` builds it in place and runs the stress tests over it; with
TEMBREL_LIMITED_API=1 in the environment every other session builds it in place of the
version-specific module (`TEMBREL_LIMITED_API=1 nox -s leaks sanitizers`), in build folders of its own.
"""

from __future__ import annotations

import hashlib
import json
import logging
import os
import re
import shutil
import subprocess
from pathlib import Path

import nox

nox.options.default_venv_backend = "venv"
nox.options.reuse_venv = "yes"
nox.options.download_python = "never"
nox.options.error_on_missing_interpreters = True
nox.options.sessions = ["lint", "tests", "pure"]
# The sessions make their environments with venv and pip: that nox finds no uv is no news.
logging.getLogger("nox").addFilter(lambda record: record.getMessage() != "uv binary not found.")

PYTHON = "3.14"
# Every interpreter the native module supports; `tests` and `compare` run on each.
PYTHONS = ["3.13", "3.14", "3.15"]
# Where the pure-Python implementation is tested on its own: CPython 3.11 (Debian 12's) and PyPy 3.11,
# which the native module does not support, and 3.14 with TEMBREL_PURE_PYTHON=1.
PURE_PYTHONS = ["3.11", "pypy3.11", "3.14"]
ROOT = Path(__file__).parent
# `nox -t proof` runs every session: the tests (tools/test runs those alone) and the checks.
TEST = ["proof", "test"]
CHECKS = ["proof", "checks"]
# TEMBREL_LIMITED_API=1: the sessions build the stable-ABI module.
LIMITED = os.environ.get("TEMBREL_LIMITED_API", "") not in ("", "0")


def install_package(session: nox.Session, build_dir: str, *config: str) -> None:
    """Builds the checkout into the session's environment, warnings as errors, incrementally."""
    if LIMITED:
        build_dir += "-limited"
        config += ("-Ccmake.define.TEMBREL_LIMITED_API=ON",)
    session.install(
        "--no-build-isolation",
        "--no-deps",
        "--force-reinstall",
        f"-Cbuild-dir=build/{build_dir}",
        "-Ccmake.define.TEMBREL_WERROR=ON",
        *config,
        ".",
    )


def groups(*names: str) -> list[str]:
    return [arg for name in names for arg in ("--group", name)]


def install_wheels_of(session: nox.Session, *names: str) -> None:
    """Installs the requirements of the dependency groups that have wheels for the session's
    interpreter; the tests that need the others skip.  Which ones have none is found once, and again
    whenever pyproject.toml changes."""
    pyproject = ROOT / "pyproject.toml"
    wanted = nox.project.dependency_groups(nox.project.load_toml(pyproject), *names)
    found = Path(session.virtualenv.location) / "tembrel-no-wheels.json"
    key = hashlib.sha256(pyproject.read_bytes()).hexdigest()
    known = json.loads(found.read_text()) if found.exists() else {}
    if known.get("key") == key:
        missing = known["missing"]
    else:

        def installs(*requirements: str) -> bool:
            pip = [f"{session.bin}/python", "-m", "pip", "install", "--dry-run", "--only-binary", ":all:"]
            return subprocess.run([*pip, *requirements], capture_output=True).returncode == 0

        missing = [] if installs(*wanted) else [r for r in wanted if not installs(r)]
        found.write_text(json.dumps({"key": key, "missing": missing}))
    session.install("--only-binary", ":all:", *(r for r in wanted if r not in missing))
    if missing:
        session.log(f"no wheels for this interpreter, so their tests skip: {', '.join(missing)}")


def pytest(session: nox.Session, *args: str, **kwargs) -> None:
    session.run("python", "-X", "dev", "-m", "pytest", "-p", "no:cacheprovider", *args, **kwargs)


def compiler_library(name: str) -> str:
    """The full path of one of the compiler's runtime libraries (libasan.so, ...)."""
    compiler = os.environ.get("CXX", "g++")
    return subprocess.run(
        [compiler, f"-print-file-name={name}"], check=True, capture_output=True, text=True
    ).stdout.strip()


def fault_shim(session: nox.Session) -> str:
    """Builds the fault library of tests/faults (CMake) and returns its path, for LD_PRELOAD."""
    build = "build/fault-shim"
    session.run(
        "cmake", "-S", ".", "-B", build, "-G", "Ninja", "-DTEMBREL_BUILD_FAULT_SHIM=ON",
        "-DTEMBREL_WERROR=ON", silent=True,
    )  # fmt: skip
    session.run("cmake", "--build", build, "--target", "fault_urandom")
    return str(ROOT / build / "libfault_urandom.so")


def undefined_symbols(session: nox.Session) -> str:
    """What the installed module takes from elsewhere (`nm -D --undefined-only`), found without
    importing it: a sanitizer build cannot load without its runtime preloaded."""
    module = session.run(
        "python", "-c",
        "import glob, sysconfig; "
        "print(*glob.glob(sysconfig.get_path('platlib') + '/tembrel/tembrel_impl/vorndal*.so'))",
        silent=True,
    ).strip()  # fmt: skip
    return session.run("nm", "-D", "--undefined-only", module, silent=True, external=True)


@nox.session(python=PYTHONS, tags=TEST)
def tests(session: nox.Session) -> None:
    """The C++ core suite (CTest) and the Python suite (pytest, with the integrations), on one
    interpreter; the libraries that have no wheels for it are left out and their tests skip."""
    session.install(*groups("build", "test", "numpy", "typing", "integrations", "bench"))
    install_package(session, f"nox-tests-{session.python}")
    build = f"build/native-tests-{session.python}"
    session.run(
        "cmake", "-S", ".", "-B", build, "-G", "Ninja", "-DTEMBREL_BUILD_TESTS=ON",
        "-DTEMBREL_WERROR=ON", "-DCMAKE_BUILD_TYPE=Debug", f"-DPython_EXECUTABLE={session.bin}/python",
        silent=True,
    )  # fmt: skip
    session.run("cmake", "--build", build, silent=True)
    # CTest's output shows on failure; otherwise its summary line.
    ran = session.run("ctest", "--test-dir", build, "--output-on-failure", silent=True)
    session.log(next(line for line in str(ran).splitlines() if "tests passed" in line))
    foreign = ROOT / build / "tests" / "native" / "libforeign_generator.so"
    pytest(session, *session.posargs, env={"TEMBREL_FOREIGN_GENERATOR": str(foreign)})


@nox.session(python=PYTHON, tags=CHECKS)
def limited(session: nox.Session) -> None:
    """The stable-ABI build, made in place with warnings as errors, under the stress tests.  (The wheels
    session makes it the cp311-abi3 wheels, audits them with abi3audit and runs the Python suite from
    them on each interpreter.)"""
    session.install(*groups("build", "test", "numpy"))
    install_package(session, f"nox-limited-{PYTHON}", "-Ccmake.define.TEMBREL_LIMITED_API=ON")
    session.run(
        "python", "-c",
        "from tembrel.tembrel_impl import vorndal; "
        "assert vorndal.__file__.endswith('/vorndal.abi3.so'), vorndal.__file__",
    )  # fmt: skip
    pytest(session, *(session.posargs or ["tests/stress"]))


@nox.session(python=PURE_PYTHONS, tags=TEST)
def pure(session: nox.Session) -> None:
    """The Python suite (pytest over `tests/python` and `tests/integrations`, the libraries that have no
    wheels for the interpreter left out) against the pure-Python implementation: on CPython 3.11 and
    PyPy 3.11, whose build of the package has no native module, and on 3.14 with the native module
    built but TEMBREL_PURE_PYTHON=1."""
    # mypy refuses to run on PyPy: the type checks skip there.
    typing = [] if str(session.python).startswith("pypy") else ["typing"]
    install_wheels_of(session, "build", "test", "numpy", *typing, "integrations")
    install_package(session, f"nox-pure-{session.python}")
    pytest(session, *session.posargs, env={"TEMBREL_PURE_PYTHON": "1"})


@nox.session(python=PYTHON, tags=CHECKS)
def lint(session: nox.Session) -> None:
    """ruff (rules and layout) over the Python code, clang-format over the C and C++ code, mypy
    --strict over the package as on Linux, Windows and macOS, for 3.11 and for 3.14, and pyright's
    check that every name of the package's interface has a declared type."""
    session.install(*groups("lint", "typing", "numpy"))
    session.run("ruff", "check", ".")
    session.run("ruff", "format", "--check", ".")
    sources = subprocess.run(
        ["git", "ls-files", "*.c", "*.cpp", "*.h"], cwd=ROOT, check=True, capture_output=True, text=True
    ).stdout.split()
    session.run("clang-format", "--dry-run", "--Werror", *sources)
    for platform in ("linux", "win32", "darwin"):
        for version in ("3.11", PYTHON):
            session.run(
                "mypy", "--strict", "--python-version", version, "--platform", platform,
                "--cache-dir", f"build/mypy-{platform}-{version}", "python/tembrel",
            )  # fmt: skip
    # The package from the source tree (found through PYTHONPATH, not installed): exit 1 below 100%.
    session.run("pyright", "--verifytypes", "tembrel", "--ignoreexternal", env={"PYTHONPATH": "python"})


@nox.session(python=PYTHON, tags=CHECKS)
def stress(session: nox.Session) -> None:
    """tests/stress (threads, forks, the generator's model, bad input, traced memory, randomness), then
    tests/faults in a process that runs under the fault library (entropy and clock failures)."""
    session.install(*groups("build", "test", "numpy"))
    install_package(session, f"nox-tests-{PYTHON}")
    shim = fault_shim(session)
    pytest(session, "tests/stress", *session.posargs)
    pytest(session, "-rs", "tests/faults", env={"LD_PRELOAD": shim})


@nox.session(python=shutil.which("python3.14d") or "python3.14d", tags=CHECKS)
def leaks(session: nox.Session) -> None:
    """Reference counts and memory blocks of every function, under the debug interpreter."""
    session.install(*groups("build", "test"))
    # Debian's debug headers include the release ones, whose pyconfig.h would make a module that
    # counts no references: force the debug one.
    config = session.run(
        "python", "-c", "import sysconfig; print(sysconfig.get_config_h_filename())", silent=True
    ).strip()
    install_package(session, "nox-leaks", f"-Ccmake.define.CMAKE_CXX_FLAGS=-include {config}")
    symbols = undefined_symbols(session)
    # The stable-ABI module counts them through _Py_IncRef, the version-specific one inline.
    if "_Py_INCREF_IncRefTotal" not in symbols and "_Py_IncRef" not in symbols:
        session.error("the debug module does not count references: built for the wrong ABI")
    pytest(session, "-rs", "tests/faults/test_leaks.py", env={"LD_PRELOAD": fault_shim(session)})


@nox.session(python=PYTHON, tags=CHECKS)
def sanitizers(session: nox.Session) -> None:
    """The Python suite, the stress and the fault tests against a build with ASan and UBSan."""
    session.install(*groups("build", "test", "numpy", "typing"))
    install_package(session, "nox-asan", "-Ccmake.define.TEMBREL_SANITIZE=address,undefined")
    symbols = undefined_symbols(session)
    if "__asan_" not in symbols:
        session.error("the sanitizer build has no AddressSanitizer in it")
    runtimes = f"{compiler_library('libasan.so')}:{compiler_library('libubsan.so')}"
    shim = fault_shim(session)
    env = {
        "LD_PRELOAD": runtimes,
        "PYTHONMALLOC": "malloc",
        "ASAN_OPTIONS": "detect_leaks=0:allocator_may_return_null=1:abort_on_error=1",
        "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1",
        "TEMBREL_STRESS_SCALE": os.environ.get("TEMBREL_STRESS_SCALE", "0.2"),
    }
    pytest(session, "tests/python", "tests/stress", env=env)
    # The sanitizer runtimes come first, then the fault library.
    pytest(session, "-rs", "tests/faults", env=env | {"LD_PRELOAD": f"{runtimes}:{shim}"})


@nox.session(python=PYTHON, tags=CHECKS)
def valgrind(session: nox.Session) -> None:
    """memcheck over every function once (success and failure paths) and a subset of the stress tests."""
    session.install(*groups("build", "test"))
    install_package(session, f"nox-tests-{PYTHON}")
    memcheck = ["valgrind", "--quiet", "--error-exitcode=97", "--track-origins=yes"]
    session.run(
        *memcheck, "python", "tests/faults/leak_driver.py", "--once",
        env={"LD_PRELOAD": fault_shim(session), "PYTHONMALLOC": "malloc"},
        external=True,
    )  # fmt: skip
    scale = os.environ.get("TEMBREL_STRESS_SCALE", "0.02")
    session.run(
        *memcheck, "python", "-X", "dev", "-m", "pytest", "-p", "no:cacheprovider",
        "tests/stress/test_stress_model.py", "tests/stress/test_stress_bad_input.py",
        "tests/stress/test_stress_fork.py", "tests/stress/test_stress_threads.py",
        env={"PYTHONMALLOC": "malloc", "TEMBREL_STRESS_SCALE": scale},
        external=True,
    )  # fmt: skip


# Instruction counts, which do not depend on what else the machine does: 10,000 calls of each single
# function and 10 batches of 1,000; a module function's inclusive count over 10,000 is its count per
# identifier (bench/README.md).
CALLGRIND_LOOPS = """import tembrel as t
for _ in range(10_000): t.uuid7_str(); t.uuid7_bytes(); t.uuid7_int(); t.uuid7_compact(); t.uuid7()
for _ in range(10): t.uuid7_str_many(1000); t.uuid7_bytes_many(1000); t.uuid7_many(1000)"""


@nox.session(python=PYTHON, tags=CHECKS)
def bench(session: nox.Session) -> None:
    """A short run of bench.compare and the instruction counts of the module's functions under callgrind,
    to show that they work; with arguments, bench.compare alone with them (`-- --rounds 40 --publish`)."""
    session.install(*groups("build", "bench"))
    # Unstripped, so that callgrind names the module's functions.
    install_package(session, f"nox-bench-{PYTHON}", "-Cinstall.strip=false")
    session.run("python", "-m", "bench.compare", *(session.posargs or ["--quick"]))
    if session.posargs:
        return
    out = "build/bench-callgrind.out"
    session.run(
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={out}",
        "python",
        "-c",
        CALLGRIND_LOOPS,
        external=True,
    )
    annotated = session.run(
        "callgrind_annotate", "--inclusive=yes", "--threshold=100", out, silent=True, external=True
    )
    # Lines such as "4,572,606 (4.24%)  ???:(anonymous namespace)::py_uuid7(_object*, _object*) [...so]".
    ours = re.findall(r"^\s*([\d,]+) .*\b(py_\w+)\(.*vorndal", str(annotated), re.MULTILINE)
    if not ours:
        session.error("callgrind named none of the module's functions: is the module stripped?")
    for count, name in ours:
        if (per_id := int(count.replace(",", "")) / 10_000) >= 1:  # leaves out _configure_uuid7
            session.log(f"{name}: {per_id:.0f} instructions per identifier")


@nox.session(python=PYTHONS, tags=CHECKS)
def compare(session: nox.Session) -> None:
    """bench.compare on one interpreter: tembrel beside uuid-utils and the floor builtins, interleaved in
    one process. A quick run shows that it works; `nox -s compare-3.14 -- --rounds 40` gives README's
    figures (`--publish` also writes bench/latest.md and bench/latest.png; `--limited` adds the stable-ABI
    build's columns)."""
    session.install(*groups("build", "bench"))
    install_package(session, f"nox-bench-{session.python}")
    session.run("python", "-m", "bench.compare", *(session.posargs or ["--quick"]))


@nox.session(python=PYTHON, tags=CHECKS)
def wheels(session: nox.Session) -> None:
    """The release sdist and manylinux_2_17 wheels (x86-64, aarch64: one per version and the stable-ABI
    one) into dist/, each installed and tested."""
    session.install(*groups("build", "test", "wheels", "abi3"))
    session.run("tools/wheels", *session.posargs, external=True)
