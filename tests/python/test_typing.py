"""The type stubs agree with the built module and package."""

from __future__ import annotations

import importlib.util
from pathlib import Path

import pytest
import testkit


def test_stubtest_accepts_the_package(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    allowlist: list[str] = []
    if importlib.util.find_spec("pyarrow") is None:
        # tembrel.arrow cannot be imported without its extra; the rest is checked.
        (tmp_path / "allowlist.txt").write_text("tembrel.arrow\n")
        allowlist = ["--allowlist", str(tmp_path / "allowlist.txt")]
    done = testkit.run_python(None, "tembrel", *allowlist, module="mypy.stubtest", dev=False)
    assert done.returncode == 0, testkit.output_of(done)
