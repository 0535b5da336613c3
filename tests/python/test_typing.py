"""The type stubs agree with the built module and package."""

from __future__ import annotations

import importlib.util
import os
from pathlib import Path

import pytest
import testkit


def test_stubtest_accepts_the_package(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    # What cannot be imported here is left out and the rest checked: the optional modules without their
    # libraries, the native module where the package is built without it (its stub ships all the same).
    needs = {
        "tembrel.arrow": "pyarrow",
        "tembrel.psycopg": "psycopg",
        "tembrel.pydantic": "pydantic",
        "tembrel.tembrel_impl.vorndal": "tembrel.tembrel_impl.vorndal",
    }
    allowed = [module for module, needed in needs.items() if importlib.util.find_spec(needed) is None]
    # stubtest takes an Annotated alias for a function (on 3.11, for a class lacking the members of the
    # type it annotates): the alias is checked by mypy and by its tests.
    if "tembrel.pydantic" not in allowed:
        allowed.append(r"tembrel\.pydantic\.UUID7(\..*)?")
    (tmp_path / "allowlist.txt").write_text("".join(f"{module}\n" for module in allowed))
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
