"""Timings of every identifier shape against the standard library and peers.

Each case of bench/cases.py is one pyperf benchmark: pyperf calibrates the
loop count in a first worker process, then runs the statement in fresh worker
processes (a warm-up and a few values each) and keeps every value.  Each
value is the time of a timeit loop, garbage collector off as timeit does,
divided by the identifiers made; the result of every call is released inside
the loop.  The floor program's C loops, the memory held per identifier and
sys.getsizeof go into the same pyperf JSON file, from which bench/report.py
writes the Markdown report, the chart and the goals.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import os
import shutil
import subprocess
import sys
import timeit
import tracemalloc
import uuid
from pathlib import Path

import pyperf
from tembrel.tembrel_impl import vorndal

from . import native, report
from .cases import available, build_cases, peers

BENCH_DIR = Path(__file__).resolve().parent
RESULTS = BENCH_DIR / "results"

# pyperf's sizes: worker processes, values per process, seconds per value.
# The default run took 9 minutes on 2 CPUs shared with other work; --quick about 2.
PROCESSES, VALUES = 6, 3
QUICK_PROCESSES, QUICK_VALUES, QUICK_MIN_TIME = 2, 2, 0.02


def _forward(command: list[str], args: argparse.Namespace) -> None:
    """What a worker needs to rebuild the same list of cases."""
    if args.quick:
        command.append("--quick")
    if args.floor_module:
        command += ["--floor-module", args.floor_module]


def run_floor_program(program: Path, quick: bool, meta: dict) -> list[pyperf.Benchmark]:
    """floor.c's C loops, one benchmark each (values in seconds per iteration)."""
    iterations, repeats = (200_000, 5) if quick else (2_000_000, 9)
    run = subprocess.run(
        [str(program), str(iterations), str(repeats)], capture_output=True, text=True, check=True
    )
    benchmarks = []
    for line in run.stdout.splitlines():
        name, values = line.split("\t")
        metadata = {
            **meta,
            "name": f"C loop: {name}",
            "bench_key": f"floor:{name}",
            "group": "floor",
            "unit": "second",
            "loops": iterations,
        }
        samples = [float(value) * 1e-9 for value in values.split()]
        benchmarks.append(pyperf.Benchmark([pyperf.Run(samples, metadata=metadata, collect_metadata=False)]))
    return benchmarks


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


def measure_memory(n: int, status: dict[str, str], meta: dict) -> list[pyperf.Benchmark]:
    """Bytes held per identifier by n of each kind, and sys.getsizeof of one."""
    rows = [
        ("vorndal.uuid7_obj_many(n)", "UUID7Obj", vorndal.uuid7_obj_many),
        ("vorndal.uuid7_many(n)", "uuid.UUID", vorndal.uuid7_many),
    ]
    if hasattr(uuid, "uuid7"):  # Python 3.14 and later
        rows.append(
            ("[uuid.uuid7() for _ in range(n)]", "uuid.UUID", lambda k: [uuid.uuid7() for _ in range(k)])
        )
    std = uuid.UUID(int=vorndal.generate_uuid7_int())
    sizes = {
        "UUID7Obj": sys.getsizeof(vorndal.uuid7_obj()),
        "uuid.UUID": sys.getsizeof(std),
        "uuid.UUID int": sys.getsizeof(std.int),
        "uuid.UUID with its int": sys.getsizeof(std) + sys.getsizeof(std.int),
    }
    if available(status, "uuid-utils"):
        import uuid_utils

        rows.append(
            (
                "[uuid_utils.uuid7() for _ in range(n)]",
                "uuid_utils.UUID",
                lambda k: [uuid_utils.uuid7() for _ in range(k)],
            )
        )
        sizes["uuid_utils.UUID"] = sys.getsizeof(uuid_utils.uuid7())

    def single(value: float, metadata: dict) -> pyperf.Benchmark:
        run = pyperf.Run([value], metadata={**meta, **metadata, "unit": "byte"}, collect_metadata=False)
        return pyperf.Benchmark([run])

    benchmarks = [
        single(
            held_per_identifier(make, n),
            {
                "name": f"memory: {what}",
                "bench_key": f"memory:{what}",
                "group": "memory",
                "result": kind,
                "ids": n,
            },
        )
        for what, kind, make in rows
    ]
    benchmarks += [
        single(
            size, {"name": f"sys.getsizeof: {what}", "bench_key": f"getsizeof:{what}", "group": "getsizeof"}
        )
        for what, size in sizes.items()
    ]
    return benchmarks


def main(argv: list[str] | None = None) -> int:
    runner = pyperf.Runner(
        processes=PROCESSES, values=VALUES, program_args=("-m", "bench"), add_cmdline_args=_forward
    )
    parser = runner.argparser
    parser.prog = "python -m bench"
    parser.description = __doc__.split("\n\n")[0]
    parser.add_argument(
        "--quick",
        action="store_true",
        help=f"smoke run: {QUICK_PROCESSES} processes of {QUICK_VALUES} values of {QUICK_MIN_TIME} s, "
        "no 1,000,000 batch, 100,000 ids for memory",
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
    parser.add_argument("--floor-module", metavar="PATH", help=argparse.SUPPRESS)
    args = runner.parse_args(argv)
    worker = args.worker or args.calibrate_loops or args.recalibrate_loops

    if not worker:
        RESULTS.mkdir(parents=True, exist_ok=True)
        stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
        if args.callgrind or args.callgrind_only:
            from . import callgrind

            callgrind.write(callgrind.run_profile(quick=args.quick), stamp, publish=args.publish)
            if args.callgrind_only:
                return 0
        if args.quick:
            args.processes, args.values, args.min_time = QUICK_PROCESSES, QUICK_VALUES, QUICK_MIN_TIME
            args.quiet = True
        load_before = " ".join(f"{x:.2f}" for x in os.getloadavg())
        built = native.build("bench_floor", "floor_module")
        if isinstance(built, str):
            print(f"bench: {built}", file=sys.stderr)
        else:
            args.floor_module = str(built["floor_module"])

    status = peers()
    floor_module = native.load_floor_module(Path(args.floor_module)) if args.floor_module else None
    cases, missing = build_cases(args.quick, status, floor_module)
    benchmarks = []
    for case in cases:
        metadata = {
            "bench_key": case.key,
            "group": case.group,
            "result": case.result,
            "per_call": case.per_call,
        }
        if case.equiv:
            metadata["equiv"] = case.equiv
        timer = timeit.Timer(case.stmt, globals=case.env)
        benchmark = runner.bench_time_func(
            case.label, timer.timeit, inner_loops=case.per_call, metadata=metadata
        )
        if benchmark is not None:
            benchmarks.append(benchmark)
    if worker:
        return 0

    meta = {
        "command": " ".join(["python -m bench", *(argv if argv is not None else sys.argv[1:])]),
        "peers": "; ".join(f"{name} {state}" for name, state in status.items()),
        "package_missing": ", ".join(missing) or "none",
        "load_before": load_before,
        "load_after": " ".join(f"{x:.2f}" for x in os.getloadavg()),
    }
    if isinstance(built, str):
        meta["floor_error"] = built.replace("\n", " ")
    else:
        benchmarks += run_floor_program(built["bench_floor"], args.quick, meta)
    benchmarks += measure_memory(100_000 if args.quick else 1_000_000, status, meta)
    for benchmark in benchmarks:
        benchmark.update_metadata({key: meta[key] for key in meta if key not in benchmark.get_metadata()})

    results = RESULTS / f"{stamp}.json"
    pyperf.BenchmarkSuite(benchmarks).dump(str(results))
    shutil.copy(results, RESULTS / "latest.json")
    text = report.write(results, RESULTS / f"{stamp}.md", RESULTS / f"{stamp}.png")
    for suffix in ("md", "png"):
        shutil.copy(RESULTS / f"{stamp}.{suffix}", RESULTS / f"latest.{suffix}")
        if args.publish:
            shutil.copy(RESULTS / f"{stamp}.{suffix}", BENCH_DIR / f"latest.{suffix}")
    print()
    print(text)
    print(
        f"bench: results in {results}"
        + (f"; published to {BENCH_DIR}/latest.md and latest.png" if args.publish else "")
    )
    return 0
