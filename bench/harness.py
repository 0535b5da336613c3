"""Timings of every identifier shape against the standard library and peers.

Method: each case is one statement run by ``timeit`` (garbage collector off
while timing, as ``timeit`` does).  The loop count is calibrated until one
repeat lasts the target time, which doubles as the warm-up; then the repeats
are timed and the minimum and median per identifier reported.  The result of
every call is released inside the loop, so its deallocation is counted.
An empty call (a METH_NOARGS builtin doing nothing) shows what the loop and
the call itself cost.  The floor is what every clock-driven identifier
pays: clock_gettime(CLOCK_REALTIME) and the kernel's cost of the 8 random
bytes of one draw, each timed in a C loop.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import importlib
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
import timeit
import tracemalloc
import uuid
from dataclasses import asdict, dataclass, field
from pathlib import Path

from tembrel.tembrel_impl import vorndal

BENCH_DIR = Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent
RESULTS = BENCH_DIR / "results"
WHEELS = ROOT / "build" / "bench-wheels"  # optional local wheels of the peers

BATCH_SIZES = (1, 10, 1_000, 100_000)
SCALING_SIZES = (1, 10, 100, 1_000, 10_000, 100_000, 1_000_000)
PACKAGE_SINGLE = ("uuid7", "uuid7_str", "uuid7_bytes", "uuid7_int", "uuid7_compact")
PACKAGE_BATCH = ("uuid7_many", "uuid7_str_many", "uuid7_bytes_many", "uuid7_int_many", "uuid7_compact_many")

# The floor program's line for one draw from /dev/urandom.
DRAW = "urandom draw (8 bytes of a 4096-byte read)"

# Goals.  Each single call within 10 ns of the floor builtin that makes one
# clock read and one pool draw and builds the same result (floor_module.c):
# (label, ours, floor builtin).
FLOOR_GOAL_NS = 10.0
GOALS = [
    ("uuid7_obj()", "single:uuid7_obj", "baseline:clock_draw_obj"),
    ("generate_uuid7_bytes()", "single:generate_uuid7_bytes", "baseline:clock_draw_bytes"),
    ("generate_uuid7_int()", "single:generate_uuid7_int", "baseline:clock_draw_int"),
    ("generate_uuid7()", "single:generate_uuid7", "baseline:clock_draw_str"),
    ("uuid7()", "single:uuid7", "baseline:clock_draw_uuid"),
]
# And at most 0.8 times uuid-utils' time for the same result type.
PEER_GOAL_RATIO = 0.8
# Same result type: (label, ours, uuid-utils).
PEER_PAIRS = [
    ("uuid.UUID", "single:uuid7", "peer:uu_compat_uuid7"),
    ("str", "single:generate_uuid7", "peer:uu_str"),
    ("bytes", "single:generate_uuid7_bytes", "peer:uu_bytes"),
    ("int", "single:generate_uuid7_int", "peer:uu_int"),
    ("native UUID object", "single:uuid7_obj", "peer:uu_uuid7"),
]


@dataclass
class Case:
    key: str
    label: str
    group: str  # tembrel, package, stdlib, uuid-utils, uuid6, baseline
    result: str  # result type
    stmt: str
    env: dict = field(repr=False)
    per_call: int = 1
    equiv: str | None = None  # key of the standard library's equivalent


@dataclass
class Timing:
    key: str
    label: str
    group: str
    result: str
    per_call: int
    min_ns: float
    median_ns: float
    loops: int
    repeats: int
    equiv: str | None


# ---------------------------------------------------------------------------
# Environment: peers, floor.
# ---------------------------------------------------------------------------


def import_peers(allow_install: bool) -> dict[str, str]:
    """Version of each peer, or why it is missing."""
    status: dict[str, str] = {}

    def probe() -> list[str]:
        missing = []
        for dist, module in (("uuid-utils", "uuid_utils"), ("uuid6", "uuid6")):
            try:
                importlib.import_module(module)
                status[dist] = _dist_version(dist)
            except ImportError as error:
                status[dist] = f"missing ({error})"
                missing.append(dist)
        return missing

    missing = probe()
    if missing and allow_install:
        command = [
            sys.executable,
            "-m",
            "pip",
            "install",
            "--quiet",
            "--retries",
            "1",
            "--timeout",
            "20",
            "-r",
            str(BENCH_DIR / "requirements.txt"),
        ]
        if WHEELS.is_dir():
            command += ["--find-links", str(WHEELS)]
        print(f"bench: installing {', '.join(missing)}: {' '.join(command)}", flush=True)
        try:
            done = subprocess.run(command, capture_output=True, text=True, timeout=180)
            reason = (done.stderr.strip().splitlines() or ["pip failed"])[-1] if done.returncode else ""
        except (OSError, subprocess.TimeoutExpired) as error:
            reason = str(error)
        importlib.invalidate_caches()
        missing = probe()
        for dist in missing:
            status[dist] = f"missing (pip install failed: {reason})"
    return status


def _dist_version(dist: str) -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(dist)
    except PackageNotFoundError:
        return "installed (version unknown)"


def measure_floor(quick: bool) -> dict[str, dict[str, float]] | str:
    """Floor timings in ns, or the reason they are missing."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return "no C compiler found"
    RESULTS.mkdir(parents=True, exist_ok=True)
    binary = RESULTS / "floor"
    build = subprocess.run(
        [
            compiler,
            "-O2",
            "-std=c11",
            "-Wall",
            "-Wextra",
            "-Werror",
            "-o",
            str(binary),
            str(BENCH_DIR / "floor.c"),
        ],
        capture_output=True,
        text=True,
    )
    if build.returncode:
        return "floor.c failed to build: " + build.stderr.strip()
    iterations, repeats = ("200000", "5") if quick else ("2000000", "9")
    run = subprocess.run([str(binary), iterations, repeats], capture_output=True, text=True, check=True)
    floor = {}
    for line in run.stdout.splitlines():
        name, low, mid = line.rsplit(maxsplit=2)
        floor[name] = {"min_ns": float(low), "median_ns": float(mid)}
    return floor


# ---------------------------------------------------------------------------
# Cases.
# ---------------------------------------------------------------------------


def build_floor_module() -> object | str:
    """floor_module.c built as an extension of this interpreter and imported,
    or the reason it is missing."""
    import importlib.util
    import sysconfig

    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return "no C compiler found"
    RESULTS.mkdir(parents=True, exist_ok=True)
    target = RESULTS / ("floor_module" + sysconfig.get_config_var("EXT_SUFFIX"))
    build = subprocess.run(
        [
            compiler,
            "-O2",
            "-std=c11",
            "-Wall",
            "-Wextra",
            "-Werror",
            "-shared",
            "-fPIC",
            "-I",
            sysconfig.get_paths()["include"],
            "-o",
            str(target),
            str(BENCH_DIR / "floor_module.c"),
        ],
        capture_output=True,
        text=True,
    )
    if build.returncode:
        return "floor_module.c failed to build: " + build.stderr.strip()
    location = importlib.util.spec_from_file_location("floor_module", target)
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


def build_cases(quick: bool, peers: dict[str, str]) -> tuple[list[Case], list[str]]:
    """Every case to time, and the package names probed but missing."""
    vorndal._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    v = {"v": vorndal}
    std = {"uuid7": uuid.uuid7, "uuid4": uuid.uuid4}
    cases = [
        Case(
            "baseline:empty",
            "empty call: sys.is_finalizing()",
            "baseline",
            "bool",
            "f()",
            {"f": sys.is_finalizing},
        ),
    ]
    floor_module = build_floor_module()
    if isinstance(floor_module, str):
        print(f"bench: {floor_module}", file=sys.stderr)
    else:
        f = {"f": floor_module}
        cases += [
            Case(
                "baseline:calls", "floor builtin: getpid + clock -> None", "baseline", "None", "f.calls()", f
            ),
            Case(
                "baseline:calls_bytes",
                "floor builtin: getpid + clock -> bytes",
                "baseline",
                "bytes",
                "f.calls_bytes()",
                f,
            ),
            Case(
                "baseline:calls_draw_bytes",
                "floor builtin: getpid + clock + 8-byte draw -> bytes",
                "baseline",
                "bytes",
                "f.calls_draw_bytes()",
                f,
            ),
        ]
        draws = [("obj", "32-byte object"), ("bytes", "bytes"), ("int", "int"), ("str", "str")]
        cases += [
            Case(
                f"baseline:clock_draw_{kind}",
                f"floor builtin: clock + 8-byte draw -> {result}",
                "baseline",
                result,
                f"f.clock_draw_{kind}()",
                f,
            )
            for kind, result in draws
        ]
        cases.append(
            Case(
                "baseline:clock_draw_uuid",
                "floor builtin: clock + 8-byte draw -> uuid.UUID (generic setattr)",
                "baseline",
                "uuid.UUID",
                "f.clock_draw_uuid(uuid.UUID, uuid.SafeUUID.unknown)",
                {"f": floor_module, "uuid": uuid},
            )
        )
    cases += [
        Case("stdlib:uuid7", "uuid.uuid7()", "stdlib", "uuid.UUID", "uuid7()", std),
        Case("stdlib:str", "str(uuid.uuid7())", "stdlib", "str", "str(uuid7())", std),
        Case("stdlib:bytes", "uuid.uuid7().bytes", "stdlib", "bytes", "uuid7().bytes", std),
        Case("stdlib:int", "uuid.uuid7().int", "stdlib", "int", "uuid7().int", std),
        Case("stdlib:uuid4", "uuid.uuid4()", "stdlib", "uuid.UUID", "uuid4()", std),
    ]
    singles = [
        ("generate_uuid7", "str", "stdlib:str"),
        ("generate_uuid7_bytes", "bytes", "stdlib:bytes"),
        ("generate_uuid7_int", "int", "stdlib:int"),
        ("uuid7_obj", "UUID7Obj", "stdlib:uuid7"),
        ("uuid7", "uuid.UUID", "stdlib:uuid7"),
    ]
    for name, result, equiv in singles:
        cases.append(
            Case(f"single:{name}", f"vorndal.{name}()", "tembrel", result, f"v.{name}()", v, 1, equiv)
        )

    batch_sizes = BATCH_SIZES
    scaling = SCALING_SIZES[:-1] if quick else SCALING_SIZES
    batches = [
        ("uuid7_str_many", "list[str]", "stdlib:str"),
        ("uuid7_bytes_many", "bytes", "stdlib:bytes"),
        ("uuid7_obj_many", "list[UUID7Obj]", "stdlib:uuid7"),
        ("uuid7_many", "list[uuid.UUID]", "stdlib:uuid7"),
        ("_uuid7_at_many", "list[uuid.UUID]", "stdlib:uuid7"),
    ]
    now_ms = time.time_ns() // 1_000_000
    for name, result, equiv in batches:
        for n in sorted(set(batch_sizes) | set(scaling)):
            env = {"v": vorndal, "n": n, "ts": [now_ms] * n}
            arg = "ts" if name == "_uuid7_at_many" else "n"
            cases.append(
                Case(
                    f"batch:{name}:{n}",
                    f"vorndal.{name}({n:,})",
                    "tembrel",
                    result,
                    f"v.{name}({arg})",
                    env,
                    n,
                    equiv,
                )
            )

    # The package's public layer, where it exists.
    import tembrel

    missing = []
    package = {"t": tembrel}
    for name in PACKAGE_SINGLE:
        if getattr(tembrel, name, None) is None:
            missing.append(name)
            continue
        equiv = {
            "uuid7": "stdlib:uuid7",
            "uuid7_str": "stdlib:str",
            "uuid7_bytes": "stdlib:bytes",
            "uuid7_int": "stdlib:int",
            "uuid7_compact": "stdlib:uuid7",
        }[name]
        cases.append(
            Case(f"package:{name}", f"tembrel.{name}()", "package", "", f"t.{name}()", package, 1, equiv)
        )
    for name in PACKAGE_BATCH:
        if getattr(tembrel, name, None) is None:
            missing.append(name)
            continue
        equiv = {
            "uuid7_many": "stdlib:uuid7",
            "uuid7_str_many": "stdlib:str",
            "uuid7_bytes_many": "stdlib:bytes",
            "uuid7_int_many": "stdlib:int",
            "uuid7_compact_many": "stdlib:uuid7",
        }[name]
        for n in batch_sizes:
            env = {"t": tembrel, "n": n}
            cases.append(
                Case(
                    f"package:{name}:{n}",
                    f"tembrel.{name}({n:,})",
                    "package",
                    "",
                    f"t.{name}(n)",
                    env,
                    n,
                    equiv,
                )
            )

    if not peers["uuid-utils"].startswith("missing"):
        import uuid_utils
        import uuid_utils.compat

        uu = {"uuid7": uuid_utils.uuid7, "compat_uuid7": uuid_utils.compat.uuid7}
        cases += [
            Case(
                "peer:uu_uuid7",
                "uuid_utils.uuid7()",
                "uuid-utils",
                "uuid_utils.UUID",
                "uuid7()",
                uu,
                1,
                "stdlib:uuid7",
            ),
            Case(
                "peer:uu_compat_uuid7",
                "uuid_utils.compat.uuid7()",
                "uuid-utils",
                "uuid.UUID",
                "compat_uuid7()",
                uu,
                1,
                "stdlib:uuid7",
            ),
            Case(
                "peer:uu_str",
                "str(uuid_utils.uuid7())",
                "uuid-utils",
                "str",
                "str(uuid7())",
                uu,
                1,
                "stdlib:str",
            ),
            Case(
                "peer:uu_bytes",
                "uuid_utils.uuid7().bytes",
                "uuid-utils",
                "bytes",
                "uuid7().bytes",
                uu,
                1,
                "stdlib:bytes",
            ),
            Case(
                "peer:uu_int",
                "uuid_utils.uuid7().int",
                "uuid-utils",
                "int",
                "uuid7().int",
                uu,
                1,
                "stdlib:int",
            ),
        ]
    if not peers["uuid6"].startswith("missing"):
        import uuid6

        cases.append(
            Case(
                "peer:uuid6_uuid7",
                "uuid6.uuid7()",
                "uuid6",
                "uuid6.UUID",
                "uuid7()",
                {"uuid7": uuid6.uuid7},
                1,
                "stdlib:uuid7",
            )
        )
    for case in cases:
        if case.group == "package" and not case.result:
            case.result = _result_type(eval(case.stmt.replace("(n)", "(2)"), case.env))
    return cases, missing


def _result_type(value: object) -> str:
    if isinstance(value, list):
        return f"list[{_result_type(value[0])}]" if value else "list"
    kind = type(value)
    return (
        kind.__qualname__
        if kind.__module__ == "builtins"
        else f"{kind.__module__.split('.')[0]}.{kind.__qualname__}"
    )


# ---------------------------------------------------------------------------
# Timing.
# ---------------------------------------------------------------------------


def time_case(case: Case, target: float, repeats: int) -> Timing:
    timer = timeit.Timer(case.stmt, globals=case.env)
    loops = 1
    while True:  # calibration, which is also the warm-up
        elapsed = timer.timeit(loops)
        if elapsed >= target:
            break
        loops = max(loops * 2, int(loops * target / max(elapsed, 1e-9) * 1.1))
    samples = timer.repeat(repeats, loops)
    gc.collect()
    per_id = [sample / loops / case.per_call * 1e9 for sample in samples]
    return Timing(
        case.key,
        case.label,
        case.group,
        case.result,
        case.per_call,
        min(per_id),
        statistics.median(per_id),
        loops,
        repeats,
        case.equiv,
    )


# ---------------------------------------------------------------------------
# Memory.
# ---------------------------------------------------------------------------


def held_per_identifier(make, n: int) -> float:
    """Traced bytes held per identifier by the n objects that make(n) returns, less the list."""
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        objects = make(n)
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    held = (after - before - sys.getsizeof(objects)) / n
    del objects
    gc.collect()
    return held


def measure_memory(n: int, peers: dict[str, str]) -> dict:
    rows = [
        ("vorndal.uuid7_obj_many(n)", "UUID7Obj", vorndal.uuid7_obj_many),
        ("vorndal.uuid7_many(n)", "uuid.UUID", vorndal.uuid7_many),
        ("[uuid.uuid7() for _ in range(n)]", "uuid.UUID", lambda k: [uuid.uuid7() for _ in range(k)]),
    ]
    if not peers["uuid-utils"].startswith("missing"):
        import uuid_utils

        rows.append(
            (
                "[uuid_utils.uuid7() for _ in range(n)]",
                "uuid_utils.UUID",
                lambda k: [uuid_utils.uuid7() for _ in range(k)],
            )
        )
    held = [
        {"what": what, "type": kind, "bytes_per_id": held_per_identifier(make, n)}
        for what, kind, make in rows
    ]
    std = uuid.uuid7()
    sizes = {
        "UUID7Obj": sys.getsizeof(vorndal.uuid7_obj()),
        "uuid.UUID": sys.getsizeof(std),
        "uuid.UUID int": sys.getsizeof(std.int),
        "uuid.UUID with its int": sys.getsizeof(std) + sys.getsizeof(std.int),
    }
    if not peers["uuid-utils"].startswith("missing"):
        import uuid_utils

        sizes["uuid_utils.UUID"] = sys.getsizeof(uuid_utils.uuid7())
    return {"n": n, "held": held, "getsizeof": sizes}


# ---------------------------------------------------------------------------
# Report.
# ---------------------------------------------------------------------------


def fmt(value: float | None, digits: int = 1) -> str:
    return "n/a" if value is None else f"{value:,.{digits}f}"


class Report:
    def __init__(self, timings: dict[str, Timing], floor, memory: dict, meta: dict):
        self.t = timings
        self.floor = floor if isinstance(floor, dict) else None
        # What every clock-driven identifier cannot avoid: the clock read and
        # the kernel's cost of the 8 random bytes of one draw.
        self.floor_ns = (
            (self.floor["clock_gettime"]["min_ns"] + self.floor[DRAW]["min_ns"]) if self.floor else None
        )
        self.memory = memory
        self.meta = meta

    def above(self, key: str) -> float | None:
        timing = self.t.get(key)
        if timing is None or self.floor_ns is None:
            return None
        return timing.min_ns - self.floor_ns

    def row(self, timing: Timing) -> str:
        equiv = self.t.get(timing.equiv) if timing.equiv else None
        speedup = f"{equiv.min_ns / timing.min_ns:.2f}x ({equiv.label})" if equiv else ""
        times_floor = f"{timing.min_ns / self.floor_ns:.2f}" if self.floor_ns else "n/a"
        return (
            f"| {timing.label} | {timing.group} | {timing.result} | {fmt(timing.min_ns)} | "
            f"{fmt(timing.median_ns)} | {fmt(self.above(timing.key))} | {times_floor} | {speedup} |"
        )

    def markdown(self) -> str:
        m = self.meta
        out = ["# tembrel benchmark", ""]
        out += [
            f"- Run: {m['date']}, `{m['command']}`",
            f"- Python {m['python']} on {m['machine']}",
            f"- CPU: {m['cpu']}; load average before/after: {m['load_before']} / {m['load_after']}",
            f"- Method: timeit, GC off while timing, calibrated loops of at least {m['target_s']} s "
            f"(the calibration is the warm-up), {m['repeats']} repeats; min and median per identifier; "
            "each result is released inside the loop.",
            "- Peers: " + "; ".join(f"{k} {v}" for k, v in m["peers"].items()),
            f"- Package functions not exposed by `import tembrel` (skipped): "
            f"{', '.join(m['package_missing']) or 'none'}",
            "",
        ]
        out += ["## Baselines", "", "| what | min ns | median ns |", "|---|---:|---:|"]
        empty = self.t["baseline:empty"]
        out.append(
            f"| {empty.label} (interpreter per-call overhead) "
            f"| {fmt(empty.min_ns)} | {fmt(empty.median_ns)} |"
        )
        for t in self.t.values():
            if t.group == "baseline" and t is not empty:
                out.append(f"| {t.label} (bench/floor_module.c) | {fmt(t.min_ns)} | {fmt(t.median_ns)} |")
        if self.floor:
            for name, value in self.floor.items():
                out.append(f"| C loop: {name} | {fmt(value['min_ns'])} | {fmt(value['median_ns'])} |")
        else:
            out.append(f"| floor | missing: {m['floor_error']} | |")
        header = [
            "| call | group | result | min ns/id | median ns/id | ns above floor | x floor | stdlib / this |",
            "|---|---|---|---:|---:|---:|---:|---|",
        ]
        singles = [t for t in self.t.values() if t.key.count(":") == 1 and t.group != "baseline"]
        out += ["", "## Single calls", "", *header, *[self.row(t) for t in singles]]
        out += ["", "## Batch calls (per identifier)", "", *header]
        for t in self.t.values():
            if t.key.count(":") == 2 and (t.group == "package" or t.per_call in BATCH_SIZES):
                out.append(self.row(t))
        out += [
            "",
            "## Same result type as uuid-utils",
            "",
            "| result | tembrel | ns/id | uuid-utils | ns/id | uuid-utils / tembrel |",
            "|---|---|---:|---|---:|---:|",
        ]
        for label, ours, theirs in PEER_PAIRS:
            a, b = self.t.get(ours), self.t.get(theirs)
            if b is None:
                out.append(f"| {label} | {a.label} | {fmt(a.min_ns)} | missing | | |")
            else:
                out.append(
                    f"| {label} | {a.label} | {fmt(a.min_ns)} | {b.label} | {fmt(b.min_ns)} | "
                    f"{b.min_ns / a.min_ns:.2f}x |"
                )
        out += ["", "## Scaling (min ns per identifier by batch size)", ""]
        sizes = sorted({t.per_call for t in self.t.values() if t.key.startswith("batch:")})
        out += [
            "| function | " + " | ".join(f"{n:,}" for n in sizes) + " | max / min |",
            "|---|" + "---:|" * (len(sizes) + 1),
        ]
        for name in ("uuid7_str_many", "uuid7_bytes_many", "uuid7_obj_many", "uuid7_many", "_uuid7_at_many"):
            values = [self.t[f"batch:{name}:{n}"].min_ns for n in sizes]
            out.append(
                f"| {name} | " + " | ".join(fmt(x) for x in values) + f" | {max(values) / min(values):.2f} |"
            )
        mem = self.memory
        out += [
            "",
            f"## Memory ({mem['n']:,} identifiers held, tracemalloc, list itself excluded)",
            "",
            "| objects | type | bytes per identifier |",
            "|---|---|---:|",
        ]
        out += [f"| `{row['what']}` | {row['type']} | {fmt(row['bytes_per_id'])} |" for row in mem["held"]]
        out += ["", "| sys.getsizeof | bytes |", "|---|---:|"]
        out += [f"| {k} | {v} |" for k, v in mem["getsizeof"].items()]
        out += ["", "## Goals", "", "| goal | measured | goal | result |", "|---|---:|---:|---|"]
        for goal in self.goals():
            out.append(f"| {' | '.join(goal)} |")
        out.append("")
        return "\n".join(out)

    def goals(self) -> list[tuple[str, ...]]:
        rows: list[tuple[str, ...]] = []
        for label, key, floor_key in GOALS:
            ours, floor = self.t.get(key), self.t.get(floor_key)
            if ours is None or floor is None:
                rows.append((f"{label} above its floor builtin", "n/a", f"<= {FLOOR_GOAL_NS:.0f} ns", "n/a"))
                continue
            above = ours.min_ns - floor.min_ns
            rows.append(
                (
                    f"{label} above {floor.label}",
                    f"{above:+.1f} ns",
                    f"<= {FLOOR_GOAL_NS:.0f} ns",
                    "met" if above <= FLOOR_GOAL_NS else "not met",
                )
            )
        for label, ours, theirs in PEER_PAIRS:
            a, b = self.t.get(ours), self.t.get(theirs)
            if b is None:
                rows.append(
                    (f"against uuid-utils ({label})", fmt(a.min_ns) + " ns", "uuid-utils missing", "n/a")
                )
            else:
                ratio = a.min_ns / b.min_ns
                rows.append(
                    (
                        f"{label}: {a.label} / {b.label}",
                        f"{ratio:.2f} ({fmt(a.min_ns)} / {fmt(b.min_ns)} ns)",
                        f"<= {PEER_GOAL_RATIO}",
                        "met" if ratio <= PEER_GOAL_RATIO else "not met",
                    )
                )
        held = {row["what"]: row["bytes_per_id"] for row in self.memory["held"]}
        ours, theirs = held["vorndal.uuid7_obj_many(n)"], held["vorndal.uuid7_many(n)"]
        rows.append(
            (
                "UUID7Obj memory / uuid.UUID with its int",
                f"{ours / theirs:.3f} ({fmt(ours)} / {fmt(theirs)} B)",
                "<= 0.333",
                "met" if ours * 3 <= theirs else "not met",
            )
        )
        return rows

    def chart(self, path: Path) -> None:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        colours = {
            "tembrel": "tab:blue",
            "package": "tab:cyan",
            "stdlib": "tab:gray",
            "uuid-utils": "tab:orange",
            "uuid6": "tab:red",
            "baseline": "tab:green",
        }
        singles = [t for t in self.t.values() if t.key.count(":") == 1]
        batch = [
            self.t[f"batch:{name}:{n}"]
            for name in (
                "uuid7_str_many",
                "uuid7_bytes_many",
                "uuid7_obj_many",
                "uuid7_many",
                "_uuid7_at_many",
            )
            for n in (1_000, 100_000)
        ]
        fig, (ax1, ax2, ax3) = plt.subplots(1, 3, figsize=(18, 7), gridspec_kw={"width_ratios": [3, 2, 2]})
        for ax, rows, title in ((ax1, singles, "single calls"), (ax2, batch, "batch calls, per identifier")):
            labels = [t.label for t in rows]
            ax.barh(labels, [t.min_ns for t in rows], color=[colours[t.group] for t in rows])
            ax.invert_yaxis()
            if self.floor_ns:
                ax.axvline(
                    self.floor_ns,
                    color="black",
                    linestyle="--",
                    linewidth=1,
                    label=f"floor: clock_gettime + one draw ({self.floor_ns:.0f} ns)",
                )
                ax.legend(loc="lower right", fontsize=8)
            ax.set_xlabel("ns per identifier (min)")
            ax.set_title(title)
            ax.tick_params(axis="y", labelsize=8)
        sizes = sorted({t.per_call for t in self.t.values() if t.key.startswith("batch:")})
        for name in ("uuid7_str_many", "uuid7_bytes_many", "uuid7_obj_many", "uuid7_many", "_uuid7_at_many"):
            # A label with a leading underscore would be left out of the legend.
            ax3.plot(
                sizes,
                [self.t[f"batch:{name}:{n}"].min_ns for n in sizes],
                marker="o",
                label=f"vorndal.{name}",
            )
        if self.floor_ns:
            ax3.axhline(self.floor_ns, color="black", linestyle="--", linewidth=1, label="floor")
        ax3.set_xscale("log")
        ax3.set_ylim(bottom=0)
        ax3.set_xlabel("identifiers per call")
        ax3.set_ylabel("ns per identifier (min)")
        ax3.set_title("scaling")
        ax3.legend(fontsize=8)
        fig.suptitle(f"tembrel, Python {self.meta['python']}, {self.meta['date']}")
        fig.tight_layout()
        fig.savefig(path, dpi=100)
        plt.close(fig)


# ---------------------------------------------------------------------------
# Main.
# ---------------------------------------------------------------------------


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip() + f", {os.cpu_count()} CPUs"
    except OSError:
        pass
    return platform.processor() or "unknown"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--quick", action="store_true", help="short run: fewer repeats, shorter loops, 100,000 ids"
    )
    parser.add_argument(
        "--publish", action="store_true", help="also write bench/latest.md and bench/latest.png"
    )
    parser.add_argument(
        "--callgrind",
        action="store_true",
        help="also count instructions per call under valgrind (bench/results/callgrind.md)",
    )
    parser.add_argument("--callgrind-only", action="store_true", help="only the instruction counts")
    parser.add_argument("--no-install", action="store_true", help="do not pip install missing peers")
    parser.add_argument("--cpu", type=int, metavar="N", help="pin the process to CPU N")
    args = parser.parse_args(argv)

    RESULTS.mkdir(parents=True, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    if args.callgrind or args.callgrind_only:
        from .profile import run_profile

        text = run_profile(quick=args.quick)
        (RESULTS / f"callgrind-{stamp}.md").write_text(text)
        (RESULTS / "callgrind.md").write_text(text)
        if args.publish:
            (BENCH_DIR / "latest-callgrind.md").write_text(text)
        print(text)
        if args.callgrind_only:
            return 0

    if args.cpu is not None:
        os.sched_setaffinity(0, {args.cpu})
    target, repeats = (0.02, 3) if args.quick else (0.2, 7)
    load_before = " ".join(f"{x:.2f}" for x in os.getloadavg())
    peers = import_peers(not args.no_install)
    floor = measure_floor(args.quick)
    cases, missing = build_cases(args.quick, peers)
    timings: dict[str, Timing] = {}
    for index, case in enumerate(cases, 1):
        timing = time_case(case, target, repeats)
        timings[case.key] = timing
        print(
            f"[{index:3}/{len(cases)}] {case.label:45} {timing.min_ns:10.1f} ns/id "
            f"(median {timing.median_ns:.1f})",
            flush=True,
        )
    memory = measure_memory(100_000 if args.quick else 1_000_000, peers)
    meta = {
        "date": datetime.datetime.now().isoformat(timespec="seconds"),
        "command": "python -m bench " + " ".join(argv if argv is not None else sys.argv[1:]),
        "python": platform.python_version(),
        "machine": f"{platform.system()} {platform.machine()}",
        "cpu": cpu_model(),
        "load_before": load_before,
        "load_after": " ".join(f"{x:.2f}" for x in os.getloadavg()),
        "target_s": target,
        "repeats": repeats,
        "peers": peers,
        "package_missing": missing,
        "floor_error": floor if isinstance(floor, str) else None,
    }
    report = Report(timings, floor, memory, meta)
    text = report.markdown()
    for name in (f"{stamp}.md", "latest.md"):
        (RESULTS / name).write_text(text)
    (RESULTS / f"{stamp}.json").write_text(
        json.dumps(
            {
                "meta": meta,
                "floor": floor,
                "memory": memory,
                "timings": [asdict(t) for t in timings.values()],
            },
            indent=1,
        )
    )
    report.chart(RESULTS / "latest.png")
    shutil.copy(RESULTS / "latest.png", RESULTS / f"{stamp}.png")
    if args.publish:
        shutil.copy(RESULTS / "latest.md", BENCH_DIR / "latest.md")
        shutil.copy(RESULTS / "latest.png", BENCH_DIR / "latest.png")
    print()
    print(text)
    print(
        f"bench: results in {RESULTS}"
        + (f"; published to {BENCH_DIR}/latest.md and latest.png" if args.publish else "")
    )
    return 0
