"""README.md's examples run as written, Python and command line alike."""

from __future__ import annotations

import doctest
import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_python_examples() -> None:
    result = doctest.testfile(str(README), module_relative=False, optionflags=doctest.ELLIPSIS)
    assert result.attempted > 10
    assert result.failed == 0


def console_examples() -> list[tuple[str, str]]:
    text = README.read_text()
    examples = []
    for block in re.findall(r"```console\n(.*?)```", text, re.S):
        for command, output in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", block, re.M):
            examples.append((command, output))
    return examples


@pytest.mark.parametrize(("command", "expected"), console_examples())
def test_console_examples(command: str, expected: str) -> None:
    args = command.split()
    assert args[:3] == ["python", "-m", "tembrel"]
    done = subprocess.run([sys.executable, *args[1:]], capture_output=True, text=True, check=True)
    checker = doctest.OutputChecker()
    assert checker.check_output(expected, done.stdout, doctest.ELLIPSIS), done.stdout
