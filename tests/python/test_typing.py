"""The type stubs agree with the built module and package."""

from __future__ import annotations

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest


def test_stubtest_accepts_the_package(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    command = [sys.executable, "-m", "mypy.stubtest", "tembrel"]
    if importlib.util.find_spec("pyarrow") is None:
        # tembrel.arrow cannot be imported without its extra; the rest is checked.
        allowlist = tmp_path / "allowlist.txt"
        allowlist.write_text("tembrel.arrow\n")
        command += ["--allowlist", str(allowlist)]
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stdout + done.stderr
