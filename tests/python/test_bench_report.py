"""The benchmark report and its goals, computed from a pyperf results file (bench/report.py)."""

import subprocess
import sys
from pathlib import Path

import pytest

pyperf = pytest.importorskip("pyperf")
pytest.importorskip("matplotlib")

# The benchmark scripts live beside the tests in a checkout, not in an installed package.
cases = pytest.importorskip("bench.cases")
harness = pytest.importorskip("bench.harness")
report = pytest.importorskip("bench.report")

META = {"command": "python -m bench", "peers": "uuid-utils 1", "package_missing": "none", "load_before": "0"}
META["load_after"] = "0"
STATUS = {"uuid-utils": "1", "uuid6": "missing (test)"}


def timing(case, ns: list[float]) -> pyperf.Benchmark:
    """One benchmark of two worker processes sharing the values ns."""
    metadata = {**META, "name": case.label, "unit": "second", "bench_key": case.key, "group": case.group}
    metadata |= {"result": case.result or "x", "per_call": case.per_call}
    half = len(ns) // 2
    runs = [
        pyperf.Run([x * 1e-9 for x in part], metadata=metadata, collect_metadata=False)
        for part in (ns[:half], ns[half:])
    ]
    return pyperf.Benchmark(runs)


def write_results(tmp_path: Path, figures: dict[str, list[float]], peers: bool = True) -> Path:
    """A results file with every case of a quick run at 100 ns, except the figures given by key."""
    listed, _ = cases.build_cases(True, STATUS, None)
    floor = [("baseline:clock_draw_obj", "floor obj"), ("baseline:clock_draw_str", "floor str")]
    floor += [("baseline:clock_draw_bytes", "floor bytes"), ("baseline:clock_draw_int", "floor int")]
    floor += [("baseline:clock_draw_uuid", "floor uuid")]
    listed += [cases.Case(key, label, "baseline", "x", "pass", {}) for key, label in floor]
    if not peers:
        listed = [case for case in listed if case.group != "uuid-utils"]
    benchmarks = [timing(case, figures.get(case.key, [100.0, 100.0])) for case in listed]
    benchmarks += harness.measure_memory(1000, STATUS if peers else {**STATUS, "uuid-utils": "missing"}, META)
    path = tmp_path / "results.json"
    pyperf.BenchmarkSuite(benchmarks).dump(str(path))
    return path


def goals(path: Path) -> dict[str, tuple[str, ...]]:
    return {row[0].split(" ")[0]: row for row in report.Report(*report.load(path)).goals()}


@pytest.mark.parametrize(
    ("ours", "floor", "verdict"),
    [
        ([74.0, 90.0], [65.0, 70.0], "met"),
        ([76.0, 74.9], [65.0, 70.0], "met"),
        ([76.0, 75.1], [80.0, 65.0], "not met"),
    ],
)
def test_floor_goal_compares_minimum_over_every_process(tmp_path, ours, floor, verdict):
    path = write_results(tmp_path, {"single:uuid7_obj": ours, "baseline:clock_draw_obj": floor})
    row = goals(path)["uuid7_obj()"]
    assert row[1] == f"{min(ours) - min(floor):+.1f} ns"
    assert row[3] == verdict


@pytest.mark.parametrize(("ours", "theirs", "verdict"), [(79.0, 100.0, "met"), (81.0, 100.0, "not met")])
def test_peer_goal_is_the_ratio_of_minima(tmp_path, ours, theirs, verdict):
    path = write_results(
        tmp_path, {"single:generate_uuid7_int": [ours, 200.0], "peer:uu_int": [300.0, theirs]}
    )
    row = goals(path)["int:"]
    assert row[1].startswith(f"{ours / theirs:.2f} (")
    assert row[3] == verdict


def test_missing_peer_gives_no_verdict(tmp_path):
    rows = report.Report(*report.load(write_results(tmp_path, {}, peers=False))).goals()
    peer_rows = [row for row in rows if "uuid-utils" in row[0] or "uuid-utils" in row[2]]
    assert len(peer_rows) == len(cases.PEER_PAIRS)
    assert all(row[2:] == ("uuid-utils missing", "n/a") for row in peer_rows)


def test_report_cli_writes_markdown_and_chart(tmp_path):
    path = write_results(tmp_path, {"batch:uuid7_many:1000": [42.0, 40.0, 41.0, 43.0]})
    done = subprocess.run(
        [sys.executable, "-m", "bench.report", str(path)], capture_output=True, text=True, check=True
    )
    text = path.with_suffix(".md").read_text()
    assert done.stdout == text + "\n"
    assert "| vorndal.uuid7_many(1,000) | tembrel | list[uuid.UUID] | 40.0 | 41.5 |" in text
    assert "| UUID7Obj memory / uuid.UUID with its int | 0.29" in text
    assert path.with_suffix(".png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
