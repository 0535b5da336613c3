"""Instruction counts per call under valgrind's callgrind.

    python -m bench.callgrind [--quick] [--publish]

Instruction counts do not depend on what else the machine is doing, so they
compare builds where timings on a shared machine cannot.  The module is built
once more with the package's own CMake configuration (Release), as the
target vorndal_profile of bench/CMakeLists.txt in build/bench-3.X, unstripped so
that its functions have names.  Every
function runs twice under callgrind, with N and 2N calls; differences between
the two runs give the cost of one call, free of start-up and first-call costs
(opening /dev/urandom, say).

Two figures per function:
- the handler: instructions inside the module function, everything it calls
  included;
- the statement: the whole loop iteration, adding the interpreter's call
  dispatch and the release of the result.

The handler's instructions are then split by where they go.  Valgrind does
not use the vDSO and does not count instructions inside the kernel, so the
two system calls appear only as their libc wrappers.
"""

from __future__ import annotations

import argparse
import datetime
import re
import shutil
import subprocess
import sys
from collections import defaultdict
from pathlib import Path

from . import native

BENCH_DIR = Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent
RESULTS = BENCH_DIR / "results"
OUT = ROOT / "build" / "bench-callgrind"

# (function, batch size or 0 for none, calls N for the first run)
FUNCTIONS = [
    ("generate_uuid7", 0, 4000),
    ("generate_uuid7_bytes", 0, 4000),
    ("generate_uuid7_int", 0, 4000),
    ("uuid7_obj", 0, 4000),
    ("uuid7", 0, 4000),
    ("uuid7_str_many", 1000, 20),
    ("uuid7_bytes_many", 1000, 20),
    ("uuid7_obj_many", 1000, 20),
    ("uuid7_many", 1000, 20),
    ("_uuid7_at_many", 1000, 20),
    ("uuid7_bytes_many", 1, 4000),
]

CATEGORIES = (
    "core",
    "getpid",
    "clock_gettime",
    "pool refill",
    "inline conversion",
    "allocation",
    "int conversion",
    "attribute setting",
    "argument parsing",
    "input",
    "other",
)

ALLOCATION = {
    "PyUnicode_New",
    "PyBytes_FromStringAndSize",
    "_PyObject_New",
    "PyObject_Init",
    "PyType_GenericAlloc",
    "PyList_New",
    "PyLongWriter_Create",
    "PyObject_Malloc",
    "PyMem_Malloc",
    "_PyLong_New",
    "_PyType_AllocNoTrack",
    "PyObject_GC_Track",
}
INT_CONVERSION = {"PyLongWriter_Finish", "PyLong_GetNativeLayout", "PyLong_FromUnsignedNativeBytes"}
ATTRIBUTES = {"PyObject_GenericSetAttr", "_PyObject_GenericSetAttrWithDict"}
PARSING = {"PyArg_ParseTuple", "_PyArg_ParseTuple_SizeT"}
INPUT = {"PySequence_Tuple", "PyLong_AsUnsignedLongLong", "PyMem_Free", "PyErr_Occurred"}
REFILL = {
    "read",
    "open",
    "open64",
    "fstat",
    "fstat64",
    "__read",
    "__open",
    "__libc_open64",
    "__fstat64",
    "__GI___libc_read",
    "__GI___libc_open",
    "__GI___fstat64",
    "__libc_read",
    "__open64_nocancel",
}


def short(name: str) -> str:
    """The bare name: no namespace, no parameter list, no clone suffix."""
    name = name.replace("(anonymous namespace)::", "")
    name = re.sub(r"\(.*$", "", name)
    name = re.sub(r"'\d+$", "", name)
    return name.rsplit("::", 1)[-1]


class Profile:
    """One callgrind output file: self costs and call edges, Ir only."""

    def __init__(self, path: Path):
        self.self_cost: dict[str, int] = defaultdict(int)
        self.edges: dict[str, dict[str, list[int]]] = defaultdict(lambda: defaultdict(lambda: [0, 0]))
        self.total = 0
        names: dict[str, str] = {}

        def resolve(reference: str) -> str:
            match = re.match(r"\((\d+)\)(?: (.*))?$", reference)
            if not match:
                return reference
            if match.group(2) is not None:
                names[match.group(1)] = match.group(2)
            return names[match.group(1)]

        current = called = ""
        pending_call: int | None = None
        for line in path.read_text(errors="replace").splitlines():
            if not line:
                continue
            head = line[0]
            if head.isdigit() or head in "+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if pending_call is not None:
                    edge = self.edges[current][called]
                    edge[0] += pending_call
                    edge[1] += cost
                    pending_call = None
                else:
                    self.self_cost[current] += cost
                    self.total += cost
            elif line.startswith("fn="):
                current = resolve(line[3:])
            elif line.startswith("cfn="):
                called = resolve(line[4:])
            elif line.startswith("calls="):
                pending_call = int(line[6:].split()[0])

    def handler(self, function: str) -> str:
        pattern = f"::py_{function.lstrip('_')}("
        if function == "_uuid7_at_many":
            pattern = "::py_uuid7_at_many("
        found = [name for name in self.self_cost if pattern in name]
        if not found:
            found = [name for caller in self.edges for name in self.edges[caller] if pattern in name]
        if not found:
            raise LookupError(f"no handler for {function} in the profile")
        return found[0]

    def calls_into(self, function_name: str) -> tuple[int, int]:
        calls = cost = 0
        for caller, callees in self.edges.items():
            if caller == function_name:
                continue
            if function_name in callees:
                calls += callees[function_name][0]
                cost += callees[function_name][1]
        return calls, cost

    def breakdown(self, handler: str) -> tuple[dict[str, int], dict[str, list[int]]]:
        """Instructions by category and by callee, inside the handler."""
        categories: dict[str, int] = defaultdict(int)
        callees: dict[tuple[str, ...], list[int]] = defaultdict(lambda: [0, 0])

        def walk(function: str, category: str, path: tuple[str, ...]) -> None:
            categories[category] += self.self_cost.get(function, 0)
            for callee, (calls, cost) in self.edges.get(function, {}).items():
                name = short(callee)
                kind = self.classify(callee, category)
                own_code = "(anonymous namespace)" in callee or name.startswith("generate_uuid7")
                callees[path + (name,)][0] += calls
                callees[path + (name,)][1] += cost
                if own_code and len(path) < 6:
                    walk(callee, kind, path + (name,))
                else:
                    categories[kind] += cost

        walk(handler, "inline conversion", ())
        return categories, callees

    @staticmethod
    def classify(callee: str, parent: str) -> str:
        name = short(callee)
        if name.startswith("generate_uuid7") or name in {"secure_random_u64", "ensure_current_process"}:
            return "core"
        if "getpid" in name:
            return "getpid"
        if "clock_gettime" in name:
            return "clock_gettime"
        if name in REFILL or "refill" in name or "urandom" in name:
            return "pool refill"
        if name in ALLOCATION:
            return "allocation"
        if name in INT_CONVERSION or name.startswith("uuid_") and "int" in name:
            return "int conversion"
        if name in ATTRIBUTES:
            return "attribute setting"
        if name in PARSING or "parse_batch_count" in name:
            return "argument parsing"
        if name in INPUT or "read_unix_ms" in name:
            return "input"
        if "(anonymous namespace)" in callee:
            return parent if parent != "core" else "core"
        if parent == "core":
            return "core"
        return "other"


def build_module() -> Path:
    built = native.build("vorndal_profile")
    if isinstance(built, str):
        raise RuntimeError(built)
    return built["vorndal_profile"]


def run_callgrind(module: Path, function: str, batch: int, calls: int) -> Profile:
    OUT.mkdir(parents=True, exist_ok=True)
    out = OUT / f"{function}-{batch}-{calls}.out"
    command = [
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={out}",
        sys.executable,
        str(BENCH_DIR / "_callgrind_driver.py"),
        str(module),
        function,
        str(batch),
        str(calls),
    ]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return Profile(out)


def run_profile(quick: bool = False) -> str:
    if shutil.which("valgrind") is None:
        return "# Instruction counts\n\nvalgrind is not installed: no instruction counts.\n"
    module = build_module()
    rows = []
    details = []
    for function, batch, calls in FUNCTIONS:
        if quick:
            calls = max(calls // 4, 5)
        print(f"bench: callgrind {function}({batch or ''}) x {calls} and x {2 * calls}", flush=True)
        small = run_callgrind(module, function, batch, calls)
        large = run_callgrind(module, function, batch, 2 * calls)
        handler = large.handler(function)
        per_id = max(batch, 1)
        divisor = calls * per_id
        count_small, inclusive_small = small.calls_into(handler)
        count_large, inclusive_large = large.calls_into(handler)
        if count_large - count_small != calls:
            raise RuntimeError(f"{function}: expected {calls} more calls, found {count_large - count_small}")
        handler_ir = (inclusive_large - inclusive_small) / divisor
        statement_ir = (large.total - small.total) / divisor
        cat_small, callees_small = small.breakdown(handler)
        cat_large, callees_large = large.breakdown(handler)
        categories = {c: (cat_large.get(c, 0) - cat_small.get(c, 0)) / divisor for c in CATEGORIES}
        label = f"{function}({batch:,})/id" if batch else f"{function}()"
        rows.append((label, statement_ir, handler_ir, categories))
        callee_rows = []
        for name, (n_large, ir_large) in callees_large.items():
            n_small, ir_small = callees_small.get(name, (0, 0))
            if ir_large - ir_small > 0:
                callee_rows.append((name, (n_large - n_small) / divisor, (ir_large - ir_small) / divisor))
        callee_rows.sort(key=lambda row: row[0])
        details.append((label, handler_ir, callee_rows))

    out = [
        "# Instruction counts per identifier (callgrind)",
        "",
        f"Module built unstripped with the package's Release configuration ({module.relative_to(ROOT)}); "
        f"Python {sys.version.split()[0]}. Each figure is the difference between runs of N and 2N calls, "
        "divided by the identifiers made. *statement* is the whole loop iteration (interpreter dispatch and "
        "release of the result included); *handler* is everything inside the module function. "
        "Valgrind bypasses the vDSO and counts no kernel instructions, so getpid and clock_gettime show only "
        "their libc wrappers.",
        "",
    ]
    cols = [c for c in CATEGORIES if any(row[3][c] > 0.05 for row in rows)]
    out.append("| function | statement Ir | handler Ir | " + " | ".join(cols) + " |")
    out.append("|---|---:|---:|" + "---:|" * len(cols))
    for label, statement_ir, handler_ir, categories in rows:
        out.append(
            f"| {label} | {statement_ir:,.0f} | {handler_ir:,.0f} | "
            + " | ".join(f"{categories[c]:,.0f}" for c in cols)
            + " |"
        )
    out += [
        "",
        "*core*: the generator's own code (state, pool draw, packing, byte order in the core); "
        "*inline conversion*: the module function's own instructions (text formatting, byte order, "
        "object set-up, loop); *allocation*: object and list allocators; *int conversion*: the integer "
        "writer and layout query; *attribute setting*: PyObject_GenericSetAttr; *argument parsing*: the "
        "batch count; *input*: reading the timestamps of _uuid7_at_many.",
        "",
    ]
    out += ["## Callees per identifier", ""]
    for label, handler_ir, callee_rows in details:
        out += [
            f"### {label}: {handler_ir:,.0f} Ir in the handler",
            "",
            "| callee (indented under its caller; each row includes its callees) | calls | Ir |",
            "|---|---:|---:|",
        ]
        out += [
            f"| {'&nbsp;&nbsp;' * (len(path) - 1)}{path[-1]} | {calls:.3g} | {ir:,.1f} |"
            for path, calls, ir in callee_rows
            if ir >= 0.5
        ]
        out.append("")
    return "\n".join(out)


def write(text: str, stamp: str, publish: bool) -> None:
    """Keep the counts in bench/results (and bench/latest-callgrind.md when publishing), and print them."""
    RESULTS.mkdir(parents=True, exist_ok=True)
    (RESULTS / f"callgrind-{stamp}.md").write_text(text)
    (RESULTS / "callgrind.md").write_text(text)
    if publish:
        (BENCH_DIR / "latest-callgrind.md").write_text(text)
    print(text)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench.callgrind", description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a quarter of the calls: shows that it works")
    parser.add_argument("--publish", action="store_true", help="also write bench/latest-callgrind.md")
    args = parser.parse_args(argv)
    write(run_profile(quick=args.quick), datetime.datetime.now().strftime("%Y%m%d-%H%M%S"), args.publish)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
