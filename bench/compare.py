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
loop, so deallocation is counted.
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import timeit
import uuid
from dataclasses import dataclass

import tembrel
from tembrel.tembrel_impl import vorndal

from .harness import build_floor_module

BATCH = 1000
PEER_TARGET = 0.8
FLOOR_TARGET_NS = 10.0


@dataclass
class Case:
    key: str
    stmt: str
    per_call: int = 1


def cases(uu: object | None, floor: object | None) -> tuple[list[Case], dict]:
    env = {"v": vorndal, "t": tembrel, "uuid": uuid, "n": BATCH, "r": range(BATCH)}
    found = [
        Case("ours:obj", "v.uuid7_obj()"),
        Case("ours:str", "v.generate_uuid7()"),
        Case("ours:bytes", "v.generate_uuid7_bytes()"),
        Case("ours:int", "v.generate_uuid7_int()"),
        Case("ours:uuid", "v.uuid7()"),
        Case("package:obj", "t.uuid7_compact()"),
        Case("package:str", "t.uuid7_str()"),
        Case("package:bytes", "t.uuid7_bytes()"),
        Case("package:int", "t.uuid7_int()"),
        Case("package:uuid", "t.uuid7()"),
        Case("ours:obj_many", "v.uuid7_obj_many(n)", BATCH),
        Case("ours:str_many", "v.uuid7_str_many(n)", BATCH),
        Case("ours:bytes_many", "v.uuid7_bytes_many(n)", BATCH),
        Case("ours:int_many", "t.uuid7_int_many(n)", BATCH),
        Case("ours:uuid_many", "v.uuid7_many(n)", BATCH),
    ]
    if uu is not None:
        env["u"] = uu
        env["uc"] = uu.compat  # type: ignore[attr-defined]
        found += [
            Case("peer:obj", "u.uuid7()"),
            Case("peer:str", "str(u.uuid7())"),
            Case("peer:bytes", "u.uuid7().bytes"),
            Case("peer:int", "u.uuid7().int"),
            Case("peer:uuid", "uc.uuid7()"),
            Case("peer:obj_many", "[u.uuid7() for _ in r]", BATCH),
            Case("peer:str_many", "[str(u.uuid7()) for _ in r]", BATCH),
            Case("peer:bytes_many", "b''.join([u.uuid7().bytes for _ in r])", BATCH),
            Case("peer:int_many", "[u.uuid7().int for _ in r]", BATCH),
            Case("peer:uuid_many", "[uc.uuid7() for _ in r]", BATCH),
        ]
    if floor is not None:
        env["f"] = floor
        found += [
            Case("floor:obj", "f.clock_draw_obj()"),
            Case("floor:str", "f.clock_draw_str()"),
            Case("floor:bytes", "f.clock_draw_bytes()"),
            Case("floor:int", "f.clock_draw_int()"),
            Case("floor:uuid", "f.clock_draw_uuid(uuid.UUID, uuid.SafeUUID.unknown)"),
        ]
    return found, env


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


def measure(found: list[Case], env: dict, rounds: int, target: float) -> dict[str, float]:
    vorndal._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    timers = {}
    for case in found:
        timer = timeit.Timer(case.stmt, globals=env)
        loops = 1
        while (elapsed := timer.timeit(loops)) < target:
            loops = max(loops * 2, int(loops * target / max(elapsed, 1e-9) * 1.1))
        timers[case.key] = (timer, loops, case.per_call)
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
    try:
        import uuid_utils
        import uuid_utils.compat  # noqa: F401
    except ImportError:
        print(
            "bench.compare: uuid-utils is not installed; install the bench dependency group", file=sys.stderr
        )
        uuid_utils = None
    floor = build_floor_module()
    if isinstance(floor, str):
        print(f"bench.compare: {floor}", file=sys.stderr)
        floor = None
    found, env = cases(uuid_utils, floor)
    rounds, target = (3, 0.002) if args.quick else (args.rounds, 0.02)
    best = measure(found, env, rounds, target)
    lines, verdicts = report(best)
    print("\n".join(lines))
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"rounds": rounds, "ns_per_id": best, "verdicts": verdicts}, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
