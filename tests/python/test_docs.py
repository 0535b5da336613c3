"""README.md's examples run as written, each Python block alone and all of them in sequence, with no
doctest option, and the command-line examples."""

from __future__ import annotations

import doctest
import importlib.util
import pathlib
import re
import sys
import types

import pytest
import testkit

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
pytestmark = pytest.mark.skipif(not README.exists(), reason="README.md is not beside this copy of the tests")


def importable(module: str) -> bool:
    """Whether the module imports here (an environment may hide an installed one)."""
    if importlib.util.find_spec(module) is None:
        return False
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


def python_blocks() -> list[str]:
    return re.findall(r"```python\n(.*?)```", README.read_text(), re.S) if README.exists() else []


def imported_modules(block: str) -> set[str]:
    return set(re.findall(r"^(?:>>> )?(?:import|from) (\w+)", block, re.M)) | set(
        re.findall(r"^(?:>>> )?import .*?, (\w+)", block, re.M)
    )


def run_block(block: str, namespace: dict[str, object], name: str) -> None:
    """A doctest block through doctest, without options; any other block as a program's module."""
    if ">>>" in block:
        test = doctest.DocTestParser().get_doctest(block, namespace, name, str(README), 0)
        runner = doctest.DocTestRunner(optionflags=0)
        runner.run(test, clear_globs=False)
        assert test.examples and runner.summarize(verbose=False).failed == 0
    else:
        exec(compile(block, name, "exec"), namespace)


def fresh_module(monkeypatch: pytest.MonkeyPatch, name: str) -> dict[str, object]:
    # A module of its own, as a program would have: SQLAlchemy resolves annotations through it.
    module = types.ModuleType(name)
    monkeypatch.setitem(sys.modules, name, module)
    return module.__dict__


@pytest.mark.parametrize("number", range(len(python_blocks())))
def test_each_block_runs_alone(number: int, monkeypatch: pytest.MonkeyPatch) -> None:
    block = python_blocks()[number]
    for module in imported_modules(block):
        if not importable(module):
            pytest.skip(f"the block imports {module}, which is not installed")
    run_block(block, fresh_module(monkeypatch, f"readme_block_{number}"), f"README.md block {number}")


def test_blocks_run_in_sequence(monkeypatch: pytest.MonkeyPatch) -> None:
    blocks = python_blocks()
    missing = {m for b in blocks for m in imported_modules(b) if not importable(m)}
    if missing:
        pytest.skip(f"blocks import {', '.join(sorted(missing))}, which is not installed")
    namespace = fresh_module(monkeypatch, "readme_blocks")
    for number, block in enumerate(blocks):
        run_block(block, namespace, f"README.md block {number}")


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
    """New identifiers differ at every run: `...` stands for their random digits."""
    args = command.split()
    assert args[:3] == ["python", "-m", "tembrel"]
    done = testkit.run_python(None, *args[3:], module="tembrel")
    assert done.returncode == 0, testkit.output_of(done)
    checker = doctest.OutputChecker()
    assert checker.check_output(expected, done.stdout, doctest.ELLIPSIS), done.stdout
