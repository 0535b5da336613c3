"""Faults of /dev/urandom and of the clock, injected with an LD_PRELOAD library into a subprocess."""

from __future__ import annotations

import json

import pytest
from stress_support import STRESS_DIR, preload_env, run_python

pytestmark = pytest.mark.slow

SCENARIOS = [
    "first_open_fails",
    "open_fail",
    "open_fail_enoent",
    "read_fail",
    "read_fail_eagain",
    "eof",
    "partial_fail",
    "short_1",
    "short_7",
    "short_1000",
    "read_eintr",
    "open_eintr",
    "replaced",
    "clock_fail",
]


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_entropy_fault(fault_library, figures, scenario):
    extra = {"TEMBREL_FAULT_MODE": "open_fail"} if scenario == "first_open_fails" else {}
    done = run_python(
        [str(STRESS_DIR / "fault_driver.py"), scenario], env=preload_env(fault_library, **extra)
    )
    assert done.returncode == 0, done.stdout + done.stderr
    report = json.loads(done.stdout.strip().splitlines()[-1])
    # "replaced" swaps the descriptor instead of injecting anything.
    assert report["faults"] > 0 or scenario == "replaced"
    assert report["identifiers"] > 0
    figures["injected_faults"] += report["faults"]
    figures["identifiers"] += report["identifiers"]
