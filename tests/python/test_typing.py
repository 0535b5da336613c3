"""The type stubs agree with the built module and package."""

from __future__ import annotations

import subprocess
import sys

import pytest


def test_stubtest_accepts_the_package() -> None:
    pytest.importorskip("mypy")
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tembrel"], capture_output=True, text=True, check=False
    )
    assert done.returncode == 0, done.stdout + done.stderr
