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

V7 = "018f2b3c-4d5e-7abc-8123-456789abcdef"
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


AT_MS = {"1714417323358": 1714417323358, "2024-04-29T21:02:03.358+02:00": 1714417323358}


@pytest.mark.parametrize(
    ("fmt", "parse"),
    [
        ("canonical", uuid.UUID),
        ("hex", lambda s: uuid.UUID(hex=s)),
        ("int", lambda s: uuid.UUID(int=int(s))),
        ("urn", uuid.UUID),
    ],
)
@pytest.mark.parametrize("at", [None, *AT_MS])
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
        assert {u.int >> 80 for u in ids} == {AT_MS[at]}


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
        (["--at", "2026-12-01"], "'2026-12-01' has no time zone; give one"),
        (["--at", "soon"], "neither Unix milliseconds nor an ISO 8601 time: 'soon'"),
        (["-n", "3", "inspect", V7], "-n/--count does not apply to inspect"),
        (["-f", "binary", "inspect", V7], "-f/--format does not apply to inspect.*'inspect --binary'"),
        (["--at", "0", "inspect"], "--at does not apply to inspect"),
        (["inspect", "--binary", V7], "inspect --binary reads standard input"),
    ],
)
def test_bad_options_exit_2_with_a_message(args: list[str], message: str) -> None:
    done = run(*args, check=False)
    assert done.returncode == 2 and done.stdout == b""
    assert re.search(message, done.stderr.decode())


def test_help() -> None:
    out = " ".join(run("--help").stdout.decode().split())
    assert "-n N" in out and "--format" in out and "inspect" in out
    assert "made with --at are independent of each other and in no particular order" in out


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
        ("--help", ">&-", "Bad file descriptor"),
        ("inspect --help", ">&-", "Bad file descriptor"),
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


@pytest.mark.parametrize("fmt", ["canonical", "hex", "int", "urn", "binary"])
@pytest.mark.parametrize("at", [[], ["--at", "1970-01-01T00:00:00.001Z"]])
def test_inspect_reads_back_every_format(fmt: str, at: list[str]) -> None:
    written = run("-n", "50", "-f", fmt, *at).stdout
    if fmt == "binary":
        expected = [str(uuid.UUID(bytes=written[i : i + 16])) for i in range(0, len(written), 16)]
    else:
        expected = [str(tembrel.as_uuid(int(s) if fmt == "int" else s)) for s in written.decode().split()]
    done = subprocess.run(
        [sys.executable, "-m", "tembrel", "inspect", *(["--binary"] if fmt == "binary" else [])],
        input=written,
        capture_output=True,
        check=True,
    )
    described = [line for line in done.stdout.decode().splitlines() if not line.startswith(" ")]
    assert described == expected and len(expected) == 50
    assert done.stdout.decode().count("  version:   7\n") == 50


@pytest.mark.parametrize(
    ("args", "data", "message"),
    [
        (
            ["--binary"],
            uuid.UUID(V7).bytes + b"\x07\x01\n",
            "not a 16-byte record: 3 bytes at offset 16: 07010a",
        ),
        (
            [],
            b"\x01\xa2\x1b[2J\n",
            r"not a UUID: '\x01\xa2\x1b[2J' (16-byte records need 'inspect --binary')",
        ),
        ([], "\u20ac".encode() * 40 + b"\n", r"not a UUID: '" + r"\u20ac" * 40 + "'"),
        ([], b"9" * 39 + b"\n", "not a UUID: '" + "9" * 39 + "'"),  # beyond 128 bits
        ([], b"a" * 100_000 + b"\n", "line longer than 1024 bytes: '" + "a" * 60 + "...'"),
    ],
)
def test_inspect_reports_a_bad_record_in_one_escaped_line(args: list[str], data: bytes, message: str) -> None:
    done = subprocess.run(
        [sys.executable, "-m", "tembrel", "inspect", *args],
        input=data if args else data + V7.encode(),
        capture_output=True,
        check=False,
    )
    assert done.returncode == 2
    assert done.stderr.decode() == f"tembrel inspect: {message}\n"
    assert done.stdout.decode().count(f"{V7}\n  version:   7") == 1  # the good record is described


def test_an_endless_line_is_skipped_in_bounded_memory() -> None:
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer reserves far more address space than the cap")
    # 600 MB without a newline, in an address space of 400 MB: held whole, the line would not fit.
    # The writer is Python itself: the wheels' test environments have no coreutils on their PATH.
    endless = f"{sys.executable} -c 'import os\nfor _ in range(600): os.write(1, b\"x\" * 1000000)'"
    done = shell(f"{endless} | (ulimit -v 400000 && {TEMBREL} inspect)")
    assert done.returncode == 2
    assert done.stderr == f"tembrel inspect: line longer than 1024 bytes: '{'x' * 60}...'\n"


SCRIPT = str(pathlib.Path(sys.executable).parent / "tembrel")  # the installed `tembrel` command


@pytest.mark.parametrize("launcher", [[sys.executable, "-m", "tembrel"], [SCRIPT]])
@pytest.mark.parametrize("module", ["datetime", "argparse"])
def test_ctrl_c_while_starting_exits_130_without_a_traceback(
    launcher: list[str], module: str, tmp_path: pathlib.Path
) -> None:
    # SIGINT arrives as the package, then the command line, imports `module`: deterministically inside the
    # start-up, which a signal sent from outside hits only by chance.
    (tmp_path / "sitecustomize.py").write_text(
        "import os, signal, sys\n"
        "class Interrupt:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        f"        if name == {module!r}:\n"
        "            sys.meta_path.remove(self)\n"
        "            os.kill(os.getpid(), signal.SIGINT)\n"
        "sys.meta_path.insert(0, Interrupt())\n"
        f"sys.modules.pop({module!r}, None)\n"
    )
    if not pathlib.Path(launcher[0]).exists():
        pytest.skip("the tembrel script is not installed beside this interpreter")
    env = {**os.environ, "PYTHONPATH": f"{tmp_path}{os.pathsep}{os.environ.get('PYTHONPATH', '')}"}
    done = subprocess.run(
        [*launcher, "-n", "3"],
        capture_output=True,
        env=env,
        check=False,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    assert (done.returncode, done.stderr, done.stdout) == (130, b"", b"")


def test_a_program_importing_tembrel_keeps_its_ctrl_c_handling(tmp_path: pathlib.Path) -> None:
    # A package run with -m that imports tembrel while runpy locates it, given "tembrel" as an argument.
    (tmp_path / "app").mkdir()
    (tmp_path / "app" / "__init__.py").write_text("import tembrel\n")
    (tmp_path / "app" / "__main__.py").write_text(
        "import signal\nprint(signal.getsignal(signal.SIGINT) is signal.default_int_handler)\n"
    )
    done = subprocess.run(
        [sys.executable, "-m", "app", "tembrel"], cwd=tmp_path, capture_output=True, text=True, check=True
    )
    assert done.stdout == "True\n"
