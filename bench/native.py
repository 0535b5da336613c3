"""The benchmarks' native artefacts, built by CMake (bench/CMakeLists.txt).

``cmake -S . -B build/bench-3.X -DTEMBREL_BUILD_BENCH=ON`` configures the
project with the bench targets, for the running interpreter (one build tree
per interpreter version), with the project's
warning flags (as errors) and its Release configuration; ``cmake --build``
then builds the targets asked for.  A failed or impossible build is reported
as a reason, so that a run goes on without what is missing.
"""

from __future__ import annotations

import importlib.util
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path
from types import ModuleType

BENCH_DIR = Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent
BUILD = ROOT / "build" / f"bench-{sys.version_info[0]}.{sys.version_info[1]}"
ARTEFACTS = BUILD / "bench"

EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
FLOOR_PROGRAM = ARTEFACTS / "floor"
FLOOR_MODULE = ARTEFACTS / f"floor_module{EXT_SUFFIX}"
PROFILE_MODULE = ARTEFACTS / "profile" / f"vorndal{EXT_SUFFIX}"

TARGETS = {"bench_floor": FLOOR_PROGRAM, "floor_module": FLOOR_MODULE, "vorndal_profile": PROFILE_MODULE}


def build(*targets: str) -> dict[str, Path] | str:
    """Paths of the targets built, or why they could not be built."""
    cmake = shutil.which("cmake")
    if cmake is None:
        return "cmake not found"
    configure = [
        cmake,
        "-S",
        str(ROOT),
        "-B",
        str(BUILD),
        "-DTEMBREL_BUILD_BENCH=ON",
        "-DTEMBREL_WERROR=ON",
        "-DCMAKE_BUILD_TYPE=Release",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    if not (BUILD / "CMakeCache.txt").exists() and shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    for command in (configure, [cmake, "--build", str(BUILD), "--target", *targets]):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode:
            output = (done.stdout + done.stderr).strip()
            return f"{' '.join(targets)} failed to build ({' '.join(command[:2])}): {output}"
    return {target: TARGETS[target] for target in targets}


def load_floor_module(path: Path = FLOOR_MODULE) -> ModuleType:
    """Import floor_module.c's extension from its build."""
    location = importlib.util.spec_from_file_location("floor_module", path)
    if location is None or location.loader is None:
        raise ImportError(f"cannot load {path}")
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


def build_floor_module() -> ModuleType | str:
    """floor_module.c built for this interpreter and imported, or the reason it is missing."""
    built = build("floor_module")
    if isinstance(built, str):
        return built
    return load_floor_module(built["floor_module"])
