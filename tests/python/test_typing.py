"""The type stubs agree with the built module and package."""

from __future__ import annotations

import importlib.util
import os
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


@pytest.mark.parametrize("platform", ["win32", "darwin"])
def test_the_command_line_type_checks_on_other_systems_and_python_3_11(platform: str) -> None:
    # Windows has no SIGPIPE; 3.11 has no PEP 695 generics and no collections.abc.Buffer.
    pytest.importorskip("mypy")
    options = ["--strict", "--follow-imports=silent", "--cache-dir", os.devnull, "--python-version", "3.11"]
    done = testkit.run_python(None, *options, "--platform", platform, "-m", "tembrel.__main__", module="mypy")
    assert done.returncode == 0, testkit.output_of(done)
