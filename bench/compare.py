"""tembrel beside uuid-utils and beside the floor builtins, interleaved in one process.

    python -m bench.compare [--rounds N] [--quick] [--publish] [--limited]
    TEMBREL_PURE_PYTHON=1 python -m bench.compare ...     # the pure-Python implementation

Each case is calibrated once to samples of about 20 ms, then timed once per round in a new random
order; the minimum per identifier over the rounds is reported, each result released inside the loop.
A call and its floor builtin (bench/floor_module.c) are timed moments apart, so the machine's drift
cancels.  Prints README's table (tembrel ns / uuid-utils ns = ratio, and ns above the floor builtin),
the batch scaling, memory and the goals met or not (each single call within 10 ns of its floor
builtin, at most 0.8 times uuid-utils' time); ``--publish`` writes bench/latest.md and latest.png.
``--limited`` also times the stable-ABI build of the module (built here with CMake) through the
package's functions, beside the installed version-specific one, and adds its columns to the table.
Where the interpreter has no headers (Debian 12's 3.11 here, with the stable-ABI wheel installed) the
floor builtins cannot be built and are left out.

With the pure-Python implementation (``tembrel.implementation == "python"``: CPython 3.11 and 3.12,
PyPy, or TEMBREL_PURE_PYTHON=1) there is no floor builtin, and the goals are those of that
implementation: ``tembrel.uuid7()`` at most 0.8 times ``uuid.uuid7()`` (3.14 and later), every batch
at most half a single call per identifier, and on PyPy faster than every peer installed (uuid6).
"""

from __future__ import annotations

import argparse
import importlib.util
import platform
import random
import re
import shutil
import subprocess
import sys
import sysconfig
import time
import timeit
import types
import uuid
from pathlib import Path

import tembrel

BENCH = Path(__file__).resolve().parent
BUILD = BENCH.parent / "build" / f"bench-{sys.version_info[0]}.{sys.version_info[1]}"
PEER_GOAL = 0.8
FLOOR_GOAL_NS = 10.0
# The stable-ABI module is shipped alone where it takes at most this times the version-specific time.
LIMITED_GOAL = 1.1
BATCH_GOAL = 0.5  # the Python implementation: a batch's identifier at most half a single call
SCALING = (1, 10, 100, 1_000, 10_000, 100_000, 1_000_000)

# Per result type: tembrel's call, uuid-utils' call and the floor builtin.  A batch of 1,000 of each
# tembrel function (`..._many(1000)`) is set against a comprehension of 1,000 uuid-utils calls.
CASES = {
    "native object": ("t.uuid7_compact()", "u.uuid7()", "f.clock_draw_obj()"),
    "str": ("t.uuid7_str()", "str(u.uuid7())", "f.clock_draw_str()"),
    "bytes": ("t.uuid7_bytes()", "u.uuid7().bytes", "f.clock_draw_bytes()"),
    "int": ("t.uuid7_int()", "u.uuid7().int", "f.clock_draw_int()"),
    "uuid.UUID": ("t.uuid7()", "uc.uuid7()", "f.clock_draw_uuid(U, S)"),
}
BATCHES = ("uuid7_compact_many", "uuid7_str_many", "uuid7_bytes_many", "uuid7_int_many", "uuid7_many")
SINGLE_OF = dict(
    zip(
        BATCHES,
        ("t.uuid7_compact()", "t.uuid7_str()", "t.uuid7_bytes()", "t.uuid7_int()", "t.uuid7()"),
        strict=True,
    )
)
NAMES = {
    "t": "tembrel",
    "u": "uuid_utils",
    "uc": "uuid_utils.compat",
    "f": "floor",
    "std": "uuid",
    "u6": "uuid6",
}
NAMESPACES = r"\b(t|u|uc|f|std|u6|a)\."


def rows() -> list[tuple[str, str, str, str | None]]:
    """(result, tembrel, uuid-utils, floor builtin): single calls, then batches of 1,000."""
    singles = [(result, *row) for result, row in CASES.items()]
    return singles + [
        (f"1,000 {result}", f"{ours[:-2]}_many(1000)", f"b''.join([{peer} for _ in r])", None)
        if result == "bytes"
        else (f"1,000 {result}", f"{ours[:-2]}_many(1000)", f"[{peer} for _ in r]", None)
        for result, ours, peer, _ in singles
    ]


def label(stmt: str) -> str:
    stmt = re.sub(NAMESPACES, lambda m: NAMES[m[1]] + ".", stmt)
    return stmt.replace("(U, S)", "(uuid.UUID, uuid.SafeUUID.unknown)")


def ids(stmt: str) -> int:
    """Identifiers one statement makes."""
    return 1000 if " for _ in r" in stmt else int(m[1]) if (m := re.search(r"_many\((\d+)\)", stmt)) else 1


def built(target: str, build: Path, *options: str) -> None:
    """Builds one CMake target of the project for this interpreter (Release, warnings as errors)."""
    cmake = shutil.which("cmake") or "cmake"
    configure = [cmake, "-S", str(BENCH.parent), "-B", str(build), f"-DPython_EXECUTABLE={sys.executable}"]
    configure += ["-GNinja", "-DTEMBREL_WERROR=ON", "-DCMAKE_BUILD_TYPE=Release", *options]
    for command in (configure, [cmake, "--build", str(build), "--target", target]):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode:
            sys.exit(f"bench.compare: {target} failed to build:\n{done.stdout}{done.stderr}")


def load(name: str, path: Path) -> types.ModuleType:
    """The extension module at `path`, imported as `name` (whose last part names its PyInit_)."""
    location = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(location)  # type: ignore[arg-type]
    location.loader.exec_module(module)  # type: ignore[union-attr]
    return module


def floor_module() -> object:
    """floor_module.c built with CMake for this interpreter and imported."""
    built("floor_module", BUILD, "-DTEMBREL_BUILD_BENCH=ON")
    return load("floor_module", BUILD / "bench" / f"floor_module{sysconfig.get_config_var('EXT_SUFFIX')}")


def limited_package() -> types.ModuleType:
    """The package's functions over the stable-ABI build of the module (TEMBREL_LIMITED_API=ON, built
    with CMake into build/bench-3.X-abi3 and imported under another name): its own functions where the
    package binds the module's, the package's Python code with the other module where it has some."""
    build = BUILD.with_name(BUILD.name + "-abi3")
    built("vorndal", build, "-DTEMBREL_LIMITED_API=ON")
    module = load("tembrel_abi3.vorndal", build / "vorndal.abi3.so")
    module._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    package = vars(tembrel) | {"_vorndal": module}
    functions = {}
    for name in tembrel.__all__:
        function = getattr(tembrel, name)
        if isinstance(function, types.BuiltinFunctionType):
            functions[name] = getattr(module, function.__name__)
        elif isinstance(function, types.FunctionType):
            functions[name] = types.FunctionType(
                function.__code__, package, name, function.__defaults__, function.__closure__
            )
    twin = types.ModuleType("tembrel_abi3")  # a module, so that `a.name` costs what `t.name` does
    vars(twin).update(functions)
    return twin


def environment(floor: object | None, limited: bool) -> dict:
    env = {
        "t": tembrel,
        "std": uuid,
        "r": range(1000),
        "U": uuid.UUID,
        "S": uuid.SafeUUID.unknown,
    }
    if floor is not None:
        env["f"] = floor
    if limited:
        env["a"] = limited_package()
    try:
        import uuid_utils
        import uuid_utils.compat
    except ImportError as error:
        print(f"bench.compare: uuid-utils missing ({error})", file=sys.stderr)
    else:
        env.update(u=uuid_utils, uc=uuid_utils.compat)
    try:
        import uuid6
    except ImportError:
        pass
    else:
        env["u6"] = uuid6
    return env


def statements(env: dict, quick: bool) -> list[str]:
    """Every case this run can time: each needs the names it uses."""
    found = [stmt for row in rows() for stmt in row[1:] if stmt]
    found += [f"t.{name}({n})" for name in BATCHES for n in SCALING[: -1 if quick else None]]
    found += ["std.uuid7()"] if hasattr(uuid, "uuid7") else []  # the standard library's, from 3.14
    found += ["u6.uuid7()"]
    found += [twin(row[1]) for row in rows()]
    return [s for s in dict.fromkeys(found) if set(re.findall(NAMESPACES, s)) <= env.keys()]


def twin(stmt: str) -> str:
    """The statement over the stable-ABI build (``a.``) in place of the installed package (``t.``)."""
    return re.sub(r"\bt\.", "a.", stmt)


def measure(stmts: list[str], env: dict, rounds: int, target: float) -> dict[str, float]:
    """ns per identifier of each statement, min over interleaved rounds."""
    timers = {}
    for stmt in stmts:
        timer, loops = timeit.Timer(stmt, globals=env), 1
        while (elapsed := timer.timeit(loops)) < target:
            loops = max(loops * 2, int(loops * target / max(elapsed, 1e-9) * 1.1))
        timers[stmt] = (timer, loops)
    best = dict.fromkeys(stmts, float("inf"))
    order = list(stmts)
    for _ in range(rounds):
        random.shuffle(order)
        for stmt in order:
            timer, loops = timers[stmt]
            best[stmt] = min(best[stmt], timer.timeit(loops) / loops / ids(stmt) * 1e9)
    return best


def memory(n: int) -> dict[str, float]:
    """Bytes held per identifier by n of each kind, the list itself left out (tracemalloc, which
    only CPython has)."""
    held: dict[str, float] = {}
    if platform.python_implementation() != "CPython":
        return held
    import tracemalloc

    for name, make in (("UUID7Obj", tembrel.uuid7_compact_many), ("uuid.UUID", tembrel.uuid7_many)):
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        made = make(n)
        held[name] = (tracemalloc.get_traced_memory()[0] - before - sys.getsizeof(made)) / n
        tracemalloc.stop()
        del made
    return held


def report(best: dict[str, float], held: dict[str, float], rounds: int) -> list[str]:
    ratios, aboves = [], []
    lines = [
        f"{platform.python_implementation()} {platform.python_version()}, tembrel's {tembrel.implementation}"
        f" implementation, {time.strftime('%Y-%m-%d %H:%M')}, min of {rounds} rounds"
    ]
    limited = twin(rows()[0][1]) in best
    extra = (" stable ABI ns | ÷ version-specific |", "---:|---:|") if limited else ("", "")
    lines += [
        "",
        "| result | tembrel | ns | uuid-utils | ns | ratio | floor builtin | ns | above |" + extra[0],
    ]
    lines += ["|---|---|---:|---|---:|---:|---|---:|---:|" + extra[1]]
    slowdowns = []
    for result, ours, peer, floor in rows():
        line = f"| {result} | `{label(ours)}` | {best[ours]:.1f} |"
        if peer in best:
            ratios.append(ratio := best[ours] / best[peer])
            line += f" `{label(peer)}` | {best[peer]:.1f} | **{ratio:.2f}** |"
        else:
            line += " | | |"
        if floor in best:
            aboves.append(above := best[ours] - best[floor])
            line += f" `{label(floor)}` | {best[floor]:.1f} | {above:+.1f} |"
        line = line if floor in best else line + " | | |"
        if limited:
            slowdowns.append(slowdown := best[twin(ours)] / best[ours])
            line += f" {best[twin(ours)]:.1f} | **{slowdown:.2f}** |"
        lines.append(line)
    lines += ["", "ns per identifier of each batch function:", ""]
    lines += ["| identifiers per call | " + " | ".join(f"`{name}`" for name in BATCHES) + " |"]
    lines += ["|---:|" + "---:|" * len(BATCHES)]
    singles = [best[SINGLE_OF[name]] for name in BATCHES]
    lines.append("| single call | " + " | ".join(f"{ns:.1f}" for ns in singles) + " |")
    per_single = []
    for n in [n for n in SCALING if f"t.uuid7_many({n})" in best]:
        lines.append(f"| {n:,} | " + " | ".join(f"{best[f't.{name}({n})']:.1f}" for name in BATCHES) + " |")
        per_single += [
            (best[f"t.{name}({n})"] / single, n, name) for name, single in zip(BATCHES, singles, strict=True)
        ]
    ours = best["t.uuid7()"]
    peers = {
        "std.uuid7()": "uuid.uuid7()",
        "u6.uuid7()": "uuid6.uuid7()",
        "uc.uuid7()": "uuid_utils.compat.uuid7()",
    }
    for stmt, name in peers.items():
        if stmt in best:
            lines += [
                "",
                f"`{name}`: {best[stmt]:.1f} ns; `tembrel.uuid7()` takes {ours / best[stmt]:.2f} of it.",
            ]
    if held:
        obj, full = held["UUID7Obj"], held["uuid.UUID"]
        lines += [
            "",
            f"Memory per identifier (tracemalloc): `UUID7Obj` {obj:.0f} bytes, `uuid.UUID` with its",
        ]
        lines += [f"int {full:.0f} bytes: {obj / full:.2f} of the space."]
    lines += [""]
    over = [
        f"`{name}({n:,})` {ratio:.2f}" for ratio, n, name in sorted(per_single, reverse=True) if ratio > 1
    ]
    lines += [
        "Batches at most their single call per identifier: "
        + (f"not at {len(over)} sizes (÷ single: {', '.join(over)})" if over else "at every size")
    ]
    if tembrel.implementation == "native":
        lines += [
            f"Goal, each single call within 10 ns of its floor builtin: {verdict(aboves, FLOOR_GOAL_NS)}"
        ]
        lines += [f"Goal, at most {PEER_GOAL} times uuid-utils' time: {verdict(ratios, PEER_GOAL)}"]
        if limited:
            lines += [
                f"Stable-ABI build, at most {LIMITED_GOAL} times the version-specific build's time: "
                f"{verdict(slowdowns, LIMITED_GOAL)}"
            ]
        return lines
    if "std.uuid7()" in best:
        lines += [
            f"Goal, `tembrel.uuid7()` at most {PEER_GOAL} times `uuid.uuid7()`: "
            + verdict([ours / best["std.uuid7()"]], PEER_GOAL)
        ]
    halves = [
        best[batch] / best[single]
        for _, single, _, _ in rows()[:5]
        for batch in [f"{single[:-2]}_many(1000)"]
    ]
    if platform.python_implementation() == "CPython":
        lines += [
            f"Goal, each batch at most {BATCH_GOAL} of its single call per id: {verdict(halves, BATCH_GOAL)}"
        ]
    if platform.python_implementation() == "PyPy":
        others = [ours / best[stmt] for stmt in peers if stmt in best]
        lines += [f"Goal, `tembrel.uuid7()` faster than every peer installed here: {verdict(others, 1.0)}"]
    return lines


def verdict(values: list[float], goal: float) -> str:
    worst = max(values, default=float("nan"))
    return f"{'met' if worst <= goal else 'not met'} (worst {worst:.2f})" if values else "not measured"


def chart(best: dict[str, float], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (singles, scaling) = plt.subplots(1, 2, figsize=(15, 6), gridspec_kw={"width_ratios": [3, 2]})
    bars = [(label(s), best[s], f"C{i}") for row in CASES.values() for i, s in enumerate(row) if s in best]
    singles.barh(*zip(*[bar[:2] for bar in bars], strict=True), color=[bar[2] for bar in bars])
    singles.invert_yaxis()
    singles.set(xlabel="ns per identifier (min)", title="single calls: tembrel, uuid-utils, floor builtin")
    for name in BATCHES:
        sizes = [n for n in SCALING if f"t.{name}({n})" in best]
        scaling.plot(sizes, [best[f"t.{name}({n})"] for n in sizes], marker="o", label=f"tembrel.{name}")
    scaling.set(xscale="log", xlabel="identifiers per call", ylabel="ns per identifier (min)", ylim=(0, None))
    scaling.legend(fontsize=8)
    fig.suptitle(f"tembrel, Python {platform.python_version()}, {time.strftime('%Y-%m-%d')}")
    fig.tight_layout()
    fig.savefig(path, dpi=100)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench.compare", description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=25, help="interleaved rounds (default 25)")
    parser.add_argument("--quick", action="store_true", help="3 rounds of 2 ms samples: shows that it works")
    parser.add_argument("--publish", action="store_true", help="write bench/latest.md and bench/latest.png")
    parser.add_argument("--limited", action="store_true", help="also time the stable-ABI build of the module")
    args = parser.parse_args(argv)
    native = tembrel.implementation == "native"
    if args.limited and not native:
        parser.error("--limited compares two builds of the native module: the package runs the Python one")
    # The floor builtins are built against the interpreter's headers, which Debian 12's 3.11 root lacks.
    headers = (Path(sysconfig.get_paths()["include"]) / "Python.h").exists()
    if native and not headers:
        print("bench.compare: no Python.h for this interpreter, so no floor builtins", file=sys.stderr)
    env = environment(floor_module() if native and headers else None, args.limited)
    rounds, target = (3, 0.002) if args.quick else (args.rounds, 0.02)
    best = measure(statements(env, args.quick), env, rounds, target)
    lines = report(best, memory(100_000 if args.quick else 1_000_000), rounds)
    print("\n".join(lines))
    if args.publish:
        (BENCH / "latest.md").write_text("# tembrel benchmark\n\n" + "\n".join(lines) + "\n")
        chart(best, BENCH / "latest.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
