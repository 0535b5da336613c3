"""Side by side, interleaved: every shape against uuid-utils and against the floor.

    python -m bench.compare [--rounds N] [--quick] [--json PATH]

Two questions, answered in one process run:

1. How does each call compare with uuid-utils for the same result type?
   (target: at most 0.8 times its time)
2. How much does each single call add to a minimal builtin that makes one
   clock read, one 8-byte pool draw and builds the same result, with no
   monotonic state, no fork check and no layout (bench/floor_module.c)?
   (target: within 10 ns)

Method: every case is calibrated once to about 20 ms per sample; then, round
after round, every case is timed once, in a new random order each round.
The minimum per identifier over the rounds is reported, which is what this
shared, noisy machine gives most reliably.  Results are released inside the
loop, so deallocation is counted.  The statements are those of the pyperf
harness (bench/cases.py), and the floor module is its CMake build
(bench/native.py).
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import timeit
import uuid

from tembrel.tembrel_impl import vorndal

from .cases import (
    FLOOR_GOAL_NS,
    PEER_GOAL_RATIO,
    Case,
    available,
    build_cases,
    peers,
    uuid_utils_comprehensions,
)
from .native import build_floor_module

BATCH = 1000
PEER_TARGET = PEER_GOAL_RATIO
FLOOR_TARGET_NS = FLOOR_GOAL_NS

# The cases of this comparison, by shape, under the keys of bench/cases.py.
KEYS = {
    **{
        f"ours:{shape}": f"single:{name}"
        for shape, name in [
            ("obj", "uuid7_obj"),
            ("str", "generate_uuid7"),
            ("bytes", "generate_uuid7_bytes"),
            ("int", "generate_uuid7_int"),
            ("uuid", "uuid7"),
        ]
    },
    **{
        f"package:{shape}": f"package:{name}"
        for shape, name in [
            ("obj", "uuid7_compact"),
            ("str", "uuid7_str"),
            ("bytes", "uuid7_bytes"),
            ("int", "uuid7_int"),
            ("uuid", "uuid7"),
        ]
    },
    "ours:obj_many": f"batch:uuid7_obj_many:{BATCH}",
    "ours:str_many": f"batch:uuid7_str_many:{BATCH}",
    "ours:bytes_many": f"batch:uuid7_bytes_many:{BATCH}",
    "ours:int_many": f"package:uuid7_int_many:{BATCH}",
    "ours:uuid_many": f"batch:uuid7_many:{BATCH}",
    "peer:obj": "peer:uu_uuid7",
    "peer:str": "peer:uu_str",
    "peer:bytes": "peer:uu_bytes",
    "peer:int": "peer:uu_int",
    "peer:uuid": "peer:uu_compat_uuid7",
    **{
        f"peer:{shape}_many": f"peer:{shape}_many:{BATCH}" for shape in ("obj", "str", "bytes", "int", "uuid")
    },
    **{f"floor:{shape}": f"baseline:clock_draw_{shape}" for shape in ("obj", "str", "bytes", "int", "uuid")},
}


def cases(status: dict[str, str], floor: object | None) -> dict[str, Case]:
    """The cases present (a missing peer or floor module leaves its cases out), by this module's keys."""
    shared, _ = build_cases(True, status, floor)  # type: ignore[arg-type]
    if available(status, "uuid-utils"):
        shared += uuid_utils_comprehensions(BATCH)
    by_key = {case.key: case for case in shared}
    return {key: by_key[shared_key] for key, shared_key in KEYS.items() if shared_key in by_key}


SHAPES = [
    ("obj", "native object", "vorndal.uuid7_obj()", "uuid_utils.uuid7()"),
    ("str", "str", "vorndal.generate_uuid7()", "str(uuid_utils.uuid7())"),
    ("bytes", "bytes", "vorndal.generate_uuid7_bytes()", "uuid_utils.uuid7().bytes"),
    ("int", "int", "vorndal.generate_uuid7_int()", "uuid_utils.uuid7().int"),
    ("uuid", "uuid.UUID", "vorndal.uuid7()", "uuid_utils.compat.uuid7()"),
]
PACKAGE = {
    "obj": "uuid7_compact()",
    "str": "uuid7_str()",
    "bytes": "uuid7_bytes()",
    "int": "uuid7_int()",
    "uuid": "uuid7()",
}
BATCHES = {
    "obj": "vorndal.uuid7_obj_many(1000)",
    "str": "vorndal.uuid7_str_many(1000)",
    "bytes": "vorndal.uuid7_bytes_many(1000)",
    "int": "tembrel.uuid7_int_many(1000)",
    "uuid": "vorndal.uuid7_many(1000)",
}


def measure(found: dict[str, Case], rounds: int, target: float) -> dict[str, float]:
    vorndal._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    timers = {}
    for key, case in found.items():
        timer = timeit.Timer(case.stmt, globals=case.env)
        loops = 1
        while (elapsed := timer.timeit(loops)) < target:
            loops = max(loops * 2, int(loops * target / max(elapsed, 1e-9) * 1.1))
        timers[key] = (timer, loops, case.per_call)
    best = {key: float("inf") for key in timers}
    order = list(timers)
    for _ in range(rounds):
        random.shuffle(order)
        for key in order:
            timer, loops, per_call = timers[key]
            best[key] = min(best[key], timer.timeit(loops) / loops / per_call * 1e9)
    return best


def report(best: dict[str, float]) -> tuple[list[str], dict]:
    def ns(key: str) -> str:
        return f"{best[key]:.1f}" if key in best else "n/a"

    lines = [
        "| shape | call | ns | uuid-utils | ns | ratio | target 0.8 |",
        "|---|---|---:|---|---:|---:|---|",
    ]
    verdicts: dict[str, list] = {"peer": [], "floor": []}
    for shape, label, ours, peer in SHAPES:
        rows = [
            (f"ours:{shape}", f"`{ours}`", f"peer:{shape}", f"`{peer}`"),
            (f"package:{shape}", f"`tembrel.{PACKAGE[shape]}`", f"peer:{shape}", f"`{peer}`"),
            (
                f"ours:{shape}_many",
                f"`{BATCHES[shape]}`, per id",
                f"peer:{shape}_many",
                "comprehension of 1,000, per id",
            ),
        ]
        for mine, mine_label, theirs, theirs_label in rows:
            if theirs in best:
                ratio = best[mine] / best[theirs]
                met = ratio <= PEER_TARGET
                verdicts["peer"].append((mine, round(ratio, 3), met))
                lines.append(
                    f"| {label} | {mine_label} | {ns(mine)} | {theirs_label} | {ns(theirs)} | "
                    f"{ratio:.2f} | {'met' if met else 'not met'} |"
                )
            else:
                lines.append(f"| {label} | {mine_label} | {ns(mine)} | uuid-utils missing | | | |")
    lines += [
        "",
        "| shape | call | ns | floor builtin | ns | above | target 10 ns |",
        "|---|---|---:|---|---:|---:|---|",
    ]
    for shape, label, ours, _ in SHAPES:
        floor_key = f"floor:{shape}"
        if floor_key not in best:
            continue
        above = best[f"ours:{shape}"] - best[floor_key]
        met = above <= FLOOR_TARGET_NS
        verdicts["floor"].append((f"ours:{shape}", round(above, 1), met))
        lines.append(
            f"| {label} | `{ours}` | {ns(f'ours:{shape}')} | `{floor_key.split(':')[0]}."
            f"clock_draw_{shape}()` | {ns(floor_key)} | {above:+.1f} | {'met' if met else 'not met'} |"
        )
    return lines, verdicts


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench.compare", description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=25, help="interleaved rounds (default 25)")
    parser.add_argument("--quick", action="store_true", help="3 rounds of 2 ms samples: shows that it works")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    args = parser.parse_args(argv)
    status = peers()
    if not available(status, "uuid-utils"):
        print(f"bench.compare: uuid-utils {status['uuid-utils']}", file=sys.stderr)
    floor = build_floor_module()
    if isinstance(floor, str):
        print(f"bench.compare: {floor}", file=sys.stderr)
        floor = None
    found = cases(status, floor)
    rounds, target = (3, 0.002) if args.quick else (args.rounds, 0.02)
    best = measure(found, rounds, target)
    lines, verdicts = report(best)
    print("\n".join(lines))
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"rounds": rounds, "ns_per_id": best, "verdicts": verdicts}, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
