"""What the benchmarks time: one statement per case, with the names it uses.

The pyperf harness (bench/harness.py) times every case; the interleaved
comparison (bench/compare.py) times the ones its two questions need, under
the same keys.  Each statement's result is released inside the timing loop,
so its deallocation is counted.
"""

from __future__ import annotations

import importlib
import sys
import time
import uuid
from dataclasses import dataclass, field
from importlib.metadata import PackageNotFoundError, version
from types import ModuleType

import tembrel
from tembrel.tembrel_impl import vorndal

BATCH_SIZES = (1, 10, 1_000, 100_000)
SCALING_SIZES = (1, 10, 100, 1_000, 10_000, 100_000, 1_000_000)
BATCH_FUNCTIONS = ("uuid7_str_many", "uuid7_bytes_many", "uuid7_obj_many", "uuid7_many", "_uuid7_at_many")
PACKAGE_SINGLE = ("uuid7", "uuid7_str", "uuid7_bytes", "uuid7_int", "uuid7_compact")
PACKAGE_BATCH = ("uuid7_many", "uuid7_str_many", "uuid7_bytes_many", "uuid7_int_many", "uuid7_compact_many")
# The standard library's equivalent of each result, for the speed-up column.
PACKAGE_EQUIV = {
    "uuid7": "stdlib:uuid7",
    "uuid7_str": "stdlib:str",
    "uuid7_bytes": "stdlib:bytes",
    "uuid7_int": "stdlib:int",
    "uuid7_compact": "stdlib:uuid7",
}
# The peers measured side by side: distribution and module.
PEERS = (("uuid-utils", "uuid_utils"), ("uuid6", "uuid6"))

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
# And at most 0.8 times uuid-utils' time for the same result type:
# (label, ours, uuid-utils).
PEER_GOAL_RATIO = 0.8
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


def peers() -> dict[str, str]:
    """Version of each peer, or why it is missing.  The peers come from the
    bench dependency group of pyproject.toml; nothing is installed here."""
    status = {}
    for dist, module in PEERS:
        try:
            importlib.import_module(module)
        except ImportError as error:
            status[dist] = f"missing ({error}; install the bench dependency group)"
            continue
        try:
            status[dist] = version(dist)
        except PackageNotFoundError:
            status[dist] = "installed (version unknown)"
    return status


def available(status: dict[str, str], dist: str) -> bool:
    return not status[dist].startswith("missing")


def floor_cases(floor_module: ModuleType) -> list[Case]:
    """The builtins of floor_module.c."""
    f = {"f": floor_module}
    cases = [
        Case("baseline:calls", "floor builtin: getpid + clock -> None", "baseline", "None", "f.calls()", f),
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
    return cases


def uuid_utils_cases() -> list[Case]:
    import uuid_utils
    import uuid_utils.compat

    uu = {"uuid7": uuid_utils.uuid7, "compat_uuid7": uuid_utils.compat.uuid7}
    rows = [
        ("uu_uuid7", "uuid_utils.uuid7()", "uuid_utils.UUID", "uuid7()", "stdlib:uuid7"),
        ("uu_compat_uuid7", "uuid_utils.compat.uuid7()", "uuid.UUID", "compat_uuid7()", "stdlib:uuid7"),
        ("uu_str", "str(uuid_utils.uuid7())", "str", "str(uuid7())", "stdlib:str"),
        ("uu_bytes", "uuid_utils.uuid7().bytes", "bytes", "uuid7().bytes", "stdlib:bytes"),
        ("uu_int", "uuid_utils.uuid7().int", "int", "uuid7().int", "stdlib:int"),
    ]
    return [
        Case(f"peer:{key}", label, "uuid-utils", result, stmt, uu, 1, equiv)
        for key, label, result, stmt, equiv in rows
    ]


def uuid_utils_comprehensions(n: int) -> list[Case]:
    """uuid-utils' answer to a batch: a list comprehension of n calls."""
    import uuid_utils
    import uuid_utils.compat

    env = {"u": uuid_utils, "uc": uuid_utils.compat, "r": range(n)}
    rows = [
        ("obj", "list[uuid_utils.UUID]", "[u.uuid7() for _ in r]"),
        ("str", "list[str]", "[str(u.uuid7()) for _ in r]"),
        ("bytes", "bytes", "b''.join([u.uuid7().bytes for _ in r])"),
        ("int", "list[int]", "[u.uuid7().int for _ in r]"),
        ("uuid", "list[uuid.UUID]", "[uc.uuid7() for _ in r]"),
    ]
    return [
        Case(f"peer:{kind}_many:{n}", f"comprehension of {n:,}: {stmt}", "uuid-utils", result, stmt, env, n)
        for kind, result, stmt in rows
    ]


def build_cases(
    quick: bool, status: dict[str, str], floor_module: ModuleType | None
) -> tuple[list[Case], list[str]]:
    """Every case the harness times, and the package names probed but missing."""
    vorndal._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    v = {"v": vorndal}
    # uuid.uuid7() first appeared in Python 3.14: on 3.13 the rows of the
    # standard library are uuid4 alone, and nothing has a stdlib equivalent.
    std_uuid7 = getattr(uuid, "uuid7", None)
    std = {"uuid7": std_uuid7, "uuid4": uuid.uuid4}
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
    if floor_module is not None:
        cases += floor_cases(floor_module)
    if std_uuid7 is not None:
        cases += [
            Case("stdlib:uuid7", "uuid.uuid7()", "stdlib", "uuid.UUID", "uuid7()", std),
            Case("stdlib:str", "str(uuid.uuid7())", "stdlib", "str", "str(uuid7())", std),
            Case("stdlib:bytes", "uuid.uuid7().bytes", "stdlib", "bytes", "uuid7().bytes", std),
            Case("stdlib:int", "uuid.uuid7().int", "stdlib", "int", "uuid7().int", std),
        ]
    cases.append(Case("stdlib:uuid4", "uuid.uuid4()", "stdlib", "uuid.UUID", "uuid4()", std))
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
        for n in sorted(set(BATCH_SIZES) | set(scaling)):
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
    missing = []
    package = {"t": tembrel}
    for name in PACKAGE_SINGLE:
        if getattr(tembrel, name, None) is None:
            missing.append(name)
            continue
        cases.append(
            Case(
                f"package:{name}",
                f"tembrel.{name}()",
                "package",
                "",
                f"t.{name}()",
                package,
                1,
                PACKAGE_EQUIV[name],
            )
        )
    for name in PACKAGE_BATCH:
        if getattr(tembrel, name, None) is None:
            missing.append(name)
            continue
        equiv = PACKAGE_EQUIV[name.removesuffix("_many")]
        for n in BATCH_SIZES:
            cases.append(
                Case(
                    f"package:{name}:{n}",
                    f"tembrel.{name}({n:,})",
                    "package",
                    "",
                    f"t.{name}(n)",
                    {"t": tembrel, "n": n},
                    n,
                    equiv,
                )
            )

    if available(status, "uuid-utils"):
        cases += uuid_utils_cases()
    if available(status, "uuid6"):
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
