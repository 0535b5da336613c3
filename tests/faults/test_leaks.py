"""Reference counts and memory blocks of every function, success and failure
paths, under the debug interpreter (leak_driver.py, in a process of its own)."""

from __future__ import annotations

import os
import re
import subprocess
import sys

import pytest

DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "leak_driver.py")


@pytest.mark.native_only("the C code's reference counts and memory blocks")
@pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"),
    reason="needs a debug interpreter (nox -s leaks runs it)",
)
def test_no_reference_or_block_leaks():
    # The driver inherits this process's LD_PRELOAD, and with it the fault library.
    done = subprocess.run([sys.executable, DRIVER], capture_output=True, text=True, timeout=1200)
    assert done.returncode == 0, done.stdout + done.stderr
    summary = re.fullmatch(r"(\d+) scenarios, (\d+) calls, 0 leaks", done.stdout.strip().splitlines()[-1])
    assert summary and int(summary[1]) > 0, done.stdout
