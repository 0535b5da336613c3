"""The command line, end to end through a subprocess."""

from __future__ import annotations

import os
import pathlib
import pty
import re
import signal
import subprocess
import sys
import uuid

import pytest
import tembrel

CANONICAL = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-7[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


def run(*args: str, check: bool = True) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([sys.executable, "-m", "tembrel", *args], capture_output=True, check=check)


def lines(*args: str) -> list[str]:
    return run(*args).stdout.decode().splitlines()


def test_default_prints_one_canonical_identifier() -> None:
    (line,) = lines()
    assert CANONICAL.match(line)


def test_count_prints_strictly_increasing_identifiers() -> None:
    out = lines("-n", "3")
    assert len(out) == 3 and all(CANONICAL.match(s) for s in out)
    assert out[0] < out[1] < out[2]
    assert lines("-n", "0") == []


@pytest.mark.parametrize(
    ("fmt", "parse"),
    [
        ("canonical", uuid.UUID),
        ("hex", lambda s: uuid.UUID(hex=s)),
        ("int", lambda s: uuid.UUID(int=int(s))),
        ("urn", uuid.UUID),
    ],
)
@pytest.mark.parametrize("at", [None, "1714417323358"])
def test_text_formats(fmt: str, parse, at: str | None) -> None:  # type: ignore[no-untyped-def]
    args = ["-n", "70000", "-f", fmt] + (["--at", at] if at else [])  # more than one chunk
    out = lines(*args)
    ids = [parse(s) for s in out]
    assert len(ids) == 70000 and len(set(ids)) == 70000
    assert all(u.version == 7 and u.variant == uuid.RFC_4122 for u in ids)
    if fmt == "urn":
        assert all(s.startswith("urn:uuid:") for s in out)
    if at is None:
        assert ids == sorted(ids)
    else:
        assert {u.int >> 80 for u in ids} == {int(at)}


@pytest.mark.parametrize("at", [None, "0"])
def test_binary_format_is_raw_16_byte_records(at: str | None) -> None:
    data = run("-n", "1000", "-f", "binary", *(["--at", at] if at else [])).stdout
    assert len(data) == 16000
    records = [data[i : i + 16] for i in range(0, len(data), 16)]
    assert all(r[6] >> 4 == 7 and r[8] >> 6 == 0b10 for r in records)
    if at is None:
        assert records == sorted(records) and len(set(records)) == 1000
    else:
        assert all(r[:6] == bytes(6) for r in records)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["-n", "-1"], "must be non-negative"),
        (["-n", "x"], "not a whole number"),
        (["-f", "xml"], "invalid choice"),
        (["--at", str(2**48)], "between 0 and 2\\*\\*48 - 1"),
        (["--at", "-5"], "must be non-negative"),
    ],
)
def test_bad_options_exit_2_with_a_message(args: list[str], message: str) -> None:
    done = run(*args, check=False)
    assert done.returncode == 2 and done.stdout == b""
    assert re.search(message, done.stderr.decode())


def test_help() -> None:
    out = run("--help").stdout.decode()
    assert "-n N" in out and "--format" in out and "inspect" in out


def test_inspect_describes_each_argument() -> None:
    v7 = "018f2b3c-4d5e-7abc-8123-456789abcdef"
    v1 = "c232ab00-9414-11ec-b3c8-9e6bdeced846"
    v4 = "{00000000-0000-4000-8000-000000000000}"
    done = run("inspect", v7, "urn:uuid:" + v1, v4)
    assert done.stdout.decode() == (
        f"{v7}\n  version:   7\n  variant:   specified in RFC 4122\n"
        "  timestamp: 1714417323358 ms (2024-04-29T19:02:03.358Z)\n"
        "  counter:   2950661621095 (0x2af01234567)\n"
        f"{v1}\n  version:   1\n  variant:   specified in RFC 4122\n"
        "  timestamp: 1645557742000 ms (2022-02-22T19:22:22.000Z)\n"
        "00000000-0000-4000-8000-000000000000\n  version:   4\n  variant:   specified in RFC 4122\n"
        "  timestamp: none\n"
    )


def test_inspect_reports_what_is_not_a_uuid() -> None:
    done = run("inspect", "nope", "018f2b3c-4d5e-7abc-8123-456789abcdef", check=False)
    assert done.returncode == 2
    assert "not a UUID: 'nope'" in done.stderr.decode()
    assert done.stdout.decode().startswith("018f2b3c-4d5e-7abc-8123-456789abcdef\n")


def test_closed_pipe_stops_quietly() -> None:
    script = f"{sys.executable!r} -m tembrel -n 5000000 | head -n 1"
    done = subprocess.run(["sh", "-c", script], capture_output=True, check=True)
    assert CANONICAL.match(done.stdout.decode().strip())
    assert b"Traceback" not in done.stderr


# --------------------------------------------------------------------------
# Failures end like those of the standard Unix tools.
# --------------------------------------------------------------------------

TEMBREL = f"{sys.executable} -m tembrel"
V7 = "018f2b3c-4d5e-7abc-8123-456789abcdef"


def shell(script: str, **kwargs: object) -> subprocess.CompletedProcess[str]:
    return subprocess.run(["sh", "-c", script], capture_output=True, text=True, check=False, **kwargs)  # type: ignore[call-overload, no-any-return]


@pytest.mark.parametrize(
    ("args", "target", "reason"),
    [
        ("-n 3", ">&-", "Bad file descriptor"),
        ("inspect 018f2b3c-4d5e-7abc-8123-456789abcdef", ">&-", "Bad file descriptor"),
        ("--version", ">&-", "Bad file descriptor"),
        ("-n 3", ">/dev/full", "No space left on device"),
        ("-n 100000 -f binary", ">/dev/full", "No space left on device"),
        ("inspect 018f2b3c-4d5e-7abc-8123-456789abcdef", ">/dev/full", "No space left on device"),
        ("--version", ">/dev/full", "No space left on device"),
        ("--help", ">/dev/full", "No space left on device"),
    ],
)
def test_a_write_error_is_one_line_on_stderr_and_status_1(args: str, target: str, reason: str) -> None:
    done = shell(f"{TEMBREL} {args} {target}")
    assert done.returncode == 1
    assert done.stderr == f"tembrel: error: cannot write to standard output: {reason}\n"


@pytest.mark.parametrize("args", [["-n", "10000000"], ["-n", "10000000", "-f", "binary"], ["inspect", "-"]])
def test_a_reader_that_goes_away_ends_the_run_quietly_with_141(
    args: list[str], tmp_path: pathlib.Path
) -> None:
    many = tmp_path / "many.txt"
    many.write_text(f"{V7}\n" * 200_000)  # far more than a pipe holds
    with (
        many.open("rb") as stdin,
        subprocess.Popen(
            [sys.executable, "-m", "tembrel", *args],
            stdin=stdin,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        ) as process,
    ):
        assert process.stdout is not None and process.stderr is not None
        assert process.stdout.read(64)
        process.stdout.close()
        assert process.wait(timeout=60) == 141
        assert process.stderr.read() == b""


def test_ctrl_c_exits_130_without_a_traceback() -> None:
    # A shell's background job inherits SIGINT ignored, and Python then installs no handler for it:
    # give the child the default disposition, as an interactive terminal would.
    with subprocess.Popen(
        [sys.executable, "-m", "tembrel", "-n", "1000000000"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    ) as process:
        assert process.stdout is not None
        assert CANONICAL.match(process.stdout.readline().decode().strip())  # it is generating
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=60)
        assert process.returncode == 130
        assert err == b""


def test_version() -> None:
    assert run("--version").stdout.decode() == f"tembrel {tembrel.__version__}\n"
    assert "--version" in run("--help").stdout.decode()


def test_help_documents_exit_statuses() -> None:
    out = run("--help").stdout.decode()
    assert "141" in out and "130" in out and "Ctrl-C" in out


@pytest.mark.parametrize("args", [["inspect"], ["inspect", "-"]])
def test_inspect_reads_standard_input_line_by_line(args: list[str]) -> None:
    done = subprocess.run(
        [sys.executable, "-m", "tembrel", *args],
        input=f"  {V7}  \n\nnope\n{V7.upper()}",
        capture_output=True,
        text=True,
    )
    assert done.returncode == 2  # one line is not a UUID
    assert done.stderr == "tembrel inspect: not a UUID: 'nope'\n"
    assert done.stdout.count(V7 + "\n  version:   7") == 2


def test_inspect_takes_standard_input_in_place_of_a_dash() -> None:
    other = "00000000-0000-4000-8000-000000000000"
    done = subprocess.run(
        [sys.executable, "-m", "tembrel", "inspect", other, "-", other],
        input=V7 + "\n",
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0
    assert [line for line in done.stdout.splitlines() if not line.startswith(" ")] == [other, V7, other]


def test_generate_pipes_into_inspect() -> None:
    done = shell(f"{TEMBREL} -n 3 | {TEMBREL} inspect")
    assert done.returncode == 0 and done.stderr == ""
    assert done.stdout.count("  version:   7\n") == 3


def test_inspect_without_uuids_on_a_terminal_or_closed_stdin_is_a_usage_error() -> None:
    try:
        main_end, terminal = pty.openpty()
    except OSError as error:  # qemu-user, for one, cannot make terminals for an emulated program
        pytest.skip(f"no pseudo-terminal can be made here: {error}")
    try:
        on_terminal = subprocess.run(
            [sys.executable, "-m", "tembrel", "inspect"],
            stdin=terminal,
            capture_output=True,
            text=True,
            timeout=60,
        )
    finally:
        os.close(terminal)
        os.close(main_end)
    closed = shell(f"{TEMBREL} inspect <&-")
    for done in (on_terminal, closed):
        assert done.returncode == 2 and done.stdout == ""
        assert "inspect needs UUIDs, as arguments or on standard input" in done.stderr
