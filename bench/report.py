"""The report and the chart of a harness run, made from its pyperf JSON file.

    python -m bench.report RESULTS.json [--md PATH] [--png PATH]

Every figure comes from the file: the timings (min and median per identifier
over all values of all worker processes), the floor program's C loops, the
memory held per identifier and the goals.  Two runs compare with pyperf's
own tool: ``python -m pyperf compare_to OLD.json NEW.json``.
"""

from __future__ import annotations

import argparse
import statistics
from dataclasses import dataclass
from pathlib import Path

import pyperf

from .cases import BATCH_FUNCTIONS, BATCH_SIZES, FLOOR_GOAL_NS, GOALS, PEER_GOAL_RATIO, PEER_PAIRS

# The floor program's line for one draw from /dev/urandom.
DRAW = "urandom draw (8 bytes of a 4096-byte read)"


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
    values: int
    equiv: str | None


def fmt(value: float | None, digits: int = 1) -> str:
    return "n/a" if value is None else f"{value:,.{digits}f}"


def low_and_middle(values: list[float]) -> tuple[float, float]:
    """Min and median, the floor program's way: the middle of the sorted values."""
    ordered = sorted(values)
    return ordered[0], ordered[len(ordered) // 2]


def load(path: Path) -> tuple[dict[str, Timing], dict | None, dict, dict]:
    """Timings, floor, memory and run description of one results file."""
    suite = pyperf.BenchmarkSuite.load(str(path))
    timings: dict[str, Timing] = {}
    floor: dict[str, dict[str, float]] = {}
    memory: dict = {"n": 0, "held": [], "getsizeof": {}}
    for bench in suite:
        m = bench.get_metadata()
        group, values = m["group"], bench.get_values()
        if group == "floor":
            low, middle = low_and_middle(values)
            floor[bench.get_name().removeprefix("C loop: ")] = {
                "min_ns": low * 1e9,
                "median_ns": middle * 1e9,
            }
        elif group == "memory":
            memory["n"] = m["ids"]
            memory["held"].append(
                {
                    "what": bench.get_name().removeprefix("memory: "),
                    "type": m["result"],
                    "bytes_per_id": values[0],
                }
            )
        elif group == "getsizeof":
            memory["getsizeof"][bench.get_name().removeprefix("sys.getsizeof: ")] = int(values[0])
        else:
            timings[m["bench_key"]] = Timing(
                m["bench_key"],
                bench.get_name(),
                group,
                m["result"],
                m["per_call"],
                min(values) * 1e9,
                statistics.median(values) * 1e9,
                m.get("loops", 0),
                len(values),
                m.get("equiv"),
            )
    common = suite.get_metadata() if hasattr(suite, "get_metadata") else {}
    first = next(iter(suite)).get_metadata()
    dates = [run.get_metadata().get("date") for bench in suite for run in bench.get_runs()]
    dates = sorted(d for d in dates if d)
    timed = [b for b in suite if b.get_metadata()["group"] not in ("floor", "memory", "getsizeof")]
    processes = max((sum(1 for run in b.get_runs() if run.values) for b in timed), default=0)
    meta = {
        "date": dates[-1][:19] if dates else "unknown",
        "command": first["command"],
        "python": first.get("python_version", common.get("python_version", "unknown")),
        "machine": first.get("platform", "unknown"),
        "cpu": f"{first.get('cpu_model_name', 'unknown')}, {first.get('cpu_count', '?')} CPUs",
        "load_before": first["load_before"],
        "load_after": first["load_after"],
        "processes": processes,
        "values": max((t.values for t in timings.values()), default=0),
        "peers": first["peers"],
        "package_missing": first["package_missing"],
        "floor_error": first.get("floor_error"),
    }
    return timings, (floor or None), memory, meta


class Report:
    def __init__(self, timings: dict[str, Timing], floor: dict | None, memory: dict, meta: dict):
        self.t = timings
        self.floor = floor
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
            f"- Method: pyperf, {m['processes']} worker processes after a calibration process, "
            f"{m['values']} values in all per case (a warm-up in each process first); each value a timeit "
            "loop with the GC off; min and median per identifier over the values; "
            "each result is released inside the loop.",
            "- Peers: " + m["peers"],
            f"- Package functions not exposed by `import tembrel` (skipped): {m['package_missing']}",
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
        for name in BATCH_FUNCTIONS:
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
        for name in BATCH_FUNCTIONS:
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


def write(path: Path, md: Path, png: Path) -> str:
    """Write the report and the chart of a results file; return the report."""
    report = Report(*load(path))
    text = report.markdown()
    md.write_text(text)
    report.chart(png)
    return text


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench.report", description=__doc__.split("\n\n")[0])
    parser.add_argument("results", type=Path, help="a pyperf JSON file written by python -m bench")
    parser.add_argument("--md", type=Path, help="the report (default: RESULTS with .md)")
    parser.add_argument("--png", type=Path, help="the chart (default: RESULTS with .png)")
    args = parser.parse_args(argv)
    print(
        write(
            args.results,
            args.md or args.results.with_suffix(".md"),
            args.png or args.results.with_suffix(".png"),
        )
    )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
