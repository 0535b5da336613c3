"""README.md's examples run as written, Python and command line alike."""

from __future__ import annotations

import doctest
import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
pytestmark = pytest.mark.skipif(not README.exists(), reason="README.md is not beside this copy of the tests")


NUMPY_BLOCK = re.compile(r"```python\n(?:(?!```).)*?import numpy(?:(?!```).)*```", re.S)


def run_examples(text: str) -> doctest.TestResults:
    test = doctest.DocTestParser().get_doctest(text, {}, "README.md", str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    return runner.summarize(verbose=False)


def test_python_examples() -> None:
    """Every example but the NumPy section's, which needs an optional package."""
    text = README.read_text()
    assert NUMPY_BLOCK.search(text)
    result = run_examples(NUMPY_BLOCK.sub("", text))
    assert result.attempted > 10
    assert result.failed == 0


def test_numpy_examples() -> None:
    pytest.importorskip("numpy", reason="the README's NumPy section needs NumPy")
    result = run_examples(README.read_text())
    assert result.failed == 0


def console_examples() -> list[tuple[str, str]]:
    if not README.exists():
        return []
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
