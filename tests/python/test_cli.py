"""The command line, end to end through a subprocess."""

from __future__ import annotations

import os
import pathlib
import pty
import re
import shlex
import signal
import subprocess
import sys
import uuid
from typing import Any

import pytest
import tembrel
import testkit

V7 = "018f2b3c-4d5e-7abc-8123-456789abcdef"
CANONICAL = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-7[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
SCRIPT = str(pathlib.Path(sys.executable).parent / "tembrel")  # the installed `tembrel` command


def run_cli(*args: str, shell: str | None = None, **options: Any) -> subprocess.CompletedProcess[Any]:
    """`python -m tembrel ARGS`, or with `shell` a `sh` script in which "$@" is that command;
    `options` go to testkit.run_python (`input`, `stdin`, `text`, `env`, ...)."""
    prefix = ("sh", "-c", shell, "sh") if shell is not None else ()
    return testkit.run_python(None, *args, module="tembrel", prefix=prefix, **options)


def lines(*args: str) -> list[str]:
    done = run_cli(*args)
    assert done.returncode == 0, testkit.output_of(done)
    lines: list[str] = done.stdout.splitlines()
    return lines


def with_default_sigint() -> None:
    # A shell's background job inherits SIGINT ignored, and Python then installs no handler for it:
    # give the child the default disposition, as an interactive terminal would.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


@pytest.mark.parametrize(
    ("args", "count"), [([], 1), (["-n", "3"], 3), (["-n", "0"], 0)], ids=["default", "three", "none"]
)
def test_prints_count_canonical_identifiers_in_increasing_order(args: list[str], count: int) -> None:
    printed = lines(*args)
    assert len(printed) == count and all(CANONICAL.match(line) for line in printed)
    assert printed == sorted(set(printed))


AT_MS = {"1714417323358": 1714417323358, "2024-04-29T21:02:03.358+02:00": 1714417323358}


@pytest.mark.parametrize(
    ("format_name", "parse"),
    [
        ("canonical", uuid.UUID),
        ("hex", lambda text: uuid.UUID(hex=text)),
        ("int", lambda text: uuid.UUID(int=int(text))),
        ("urn", uuid.UUID),
    ],
)
@pytest.mark.parametrize("at", [None, *AT_MS])
def test_text_formats(format_name: str, parse, at: str | None) -> None:  # type: ignore[no-untyped-def]
    printed = lines("-n", "70000", "-f", format_name, *(["--at", at] if at else []))  # more than one chunk
    ids = [parse(line) for line in printed]
    assert len(ids) == 70000 and len(set(ids)) == 70000
    assert all(u.version == 7 and u.variant == uuid.RFC_4122 for u in ids)
    if format_name == "urn":
        assert all(line.startswith("urn:uuid:") for line in printed)
    if at is None:
        assert ids == sorted(ids)
    else:
        assert {u.int >> 80 for u in ids} == {AT_MS[at]}


@pytest.mark.parametrize("at", [None, "0"])
def test_binary_format_is_raw_16_byte_records(at: str | None) -> None:
    data = run_cli("-n", "1000", "-f", "binary", *(["--at", at] if at else []), text=False).stdout
    assert len(data) == 16000
    records = [data[i : i + 16] for i in range(0, len(data), 16)]
    timestamps = [testkit.fields(record)[0] for record in records]  # checks version and variant
    if at is None:
        assert records == sorted(records) and len(set(records)) == 1000
    else:
        assert set(timestamps) == {0}


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
        (
            ["-f", "int", "inspect", V7],
            "-f/--format before inspect is the generator's.*'tembrel inspect -f int'",
        ),
        (["inspect", "--binary", V7], "16-byte records are read from standard input only"),
        (["inspect", "-f", "hex", "--binary"], "not allowed with argument -f/--format"),
    ],
)
def test_bad_options_exit_2_with_a_message(args: list[str], message: str) -> None:
    done = run_cli(*args)
    assert done.returncode == 2 and done.stdout == ""
    assert re.search(message, done.stderr)


@pytest.mark.parametrize(
    ("option", "name"), [(["-n", "3"], "-n/--count"), (["--count=3"], "-n/--count"), (["--at", "0"], "--at")]
)
def test_a_generating_option_is_refused_alike_before_and_after_inspect(option: list[str], name: str) -> None:
    before, after = run_cli(*option, "inspect", V7), run_cli("inspect", *option, V7)
    assert before.returncode == after.returncode == 2
    assert before.stderr == after.stderr and f"error: {name} does not apply to inspect\n" in after.stderr


@pytest.mark.parametrize("args", [["--at", "x"], ["inspect", "-f", "xml"], ["inspect", "-n", "3", V7]])
def test_a_usage_error_never_reaches_standard_output_even_without_standard_error(args: list[str]) -> None:
    done = run_cli(*args, shell='"$@" 2>&-')
    assert (done.returncode, done.stdout) == (2, "")


def test_help_names_the_options_the_exit_statuses_and_the_version() -> None:
    help_text = " ".join(run_cli("--help").stdout.split())
    for phrase in ["-n N", "--format", "inspect", "--version", "141", "130", "Ctrl-C"]:
        assert phrase in help_text
    assert "made with --at are independent of each other and in no particular order" in help_text
    inspect_help = " ".join(run_cli("inspect", "--help").stdout.split())
    assert "Empty input prints nothing and exits with status 0" in inspect_help
    assert run_cli("inspect", input="\n \n").returncode == 0
    assert run_cli("--version").stdout == f"tembrel {tembrel.__version__}\n"


def test_inspect_describes_each_argument() -> None:
    v1 = "c232ab00-9414-11ec-b3c8-9e6bdeced846"
    v4 = "{00000000-0000-4000-8000-000000000000}"
    done = run_cli("inspect", V7, "urn:uuid:" + v1, v4)
    assert done.stdout == (
        f"{V7}\n  version:   7\n  variant:   specified in RFC 4122\n"
        "  timestamp: 1714417323358 ms (2024-04-29T19:02:03.358Z)\n"
        "  counter:   2950661621095 (0x2af01234567), or random if made with --at\n"
        f"{v1}\n  version:   1\n  variant:   specified in RFC 4122\n"
        "  timestamp: 1645557742000 ms (2022-02-22T19:22:22.000Z)\n"
        "00000000-0000-4000-8000-000000000000\n  version:   4\n  variant:   specified in RFC 4122\n"
        "  timestamp: none\n"
    )


def test_inspect_reports_what_is_not_a_uuid() -> None:
    done = run_cli("inspect", "nope", V7)
    assert done.returncode == 2
    assert "not a UUID: 'nope'" in done.stderr
    assert done.stdout.startswith(f"{V7}\n")


def test_the_command_line_needs_no_sigpipe() -> None:
    # As on Windows, where the signal module has no SIGPIPE.
    done = testkit.run_python("""
        import signal, sys
        del signal.SIGPIPE
        from tembrel.__main__ import main
        sys.exit(main(["-n", "2"]))
    """)
    assert done.returncode == 0 and len(done.stdout.split()) == 2, testkit.output_of(done)


def test_closed_pipe_stops_quietly() -> None:
    done = run_cli("-n", "5000000", shell='"$@" | head -n 1')
    assert done.returncode == 0, testkit.output_of(done)
    assert CANONICAL.match(done.stdout.strip())
    assert "Traceback" not in done.stderr


# --------------------------------------------------------------------------
# Failures end like those of the standard Unix tools.
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("target", "reason"), [(">&-", "Bad file descriptor"), (">/dev/full", "No space left on device")]
)
@pytest.mark.parametrize(
    "args", ["-n 3", "-n 100000 -f binary", f"inspect {V7}", "--version", "--help", "inspect --help"]
)
def test_a_write_error_is_one_line_on_stderr_and_status_1(args: str, target: str, reason: str) -> None:
    done = run_cli(*args.split(), shell=f'"$@" {target}')
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
            testkit.python_command(None, *args, module="tembrel"),
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
    with subprocess.Popen(
        testkit.python_command(None, "-n", "1000000000", module="tembrel"),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        preexec_fn=with_default_sigint,
    ) as process:
        assert process.stdout is not None
        assert CANONICAL.match(process.stdout.readline().decode().strip())  # it is generating
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=60)
        assert process.returncode == 130
        assert err == b""


@pytest.mark.parametrize("args", [["inspect"], ["inspect", "-"]])
def test_inspect_reads_standard_input_line_by_line(args: list[str]) -> None:
    done = run_cli(*args, input=f"  {V7}  \n\nnope\n{V7.upper()}")
    assert done.returncode == 2  # one line is not a UUID
    assert done.stderr == "tembrel inspect: not a UUID: 'nope'\n"
    assert done.stdout.count(V7 + "\n  version:   7") == 2


def test_inspect_takes_standard_input_in_place_of_a_dash() -> None:
    other = "00000000-0000-4000-8000-000000000000"
    done = run_cli("inspect", other, "-", other, input=V7 + "\n")
    assert done.returncode == 0
    assert [line for line in done.stdout.splitlines() if not line.startswith(" ")] == [other, V7, other]


def test_generate_pipes_into_inspect() -> None:
    done = run_cli(shell='"$@" -n 3 | "$@" inspect')
    assert done.returncode == 0 and done.stderr == ""
    assert done.stdout.count("  version:   7\n") == 3


def test_inspect_without_uuids_on_a_terminal_or_closed_stdin_is_a_usage_error() -> None:
    try:
        main_end, terminal = pty.openpty()
    except OSError as error:  # qemu-user, for one, cannot make terminals for an emulated program
        pytest.skip(f"no pseudo-terminal can be made here: {error}")
    try:
        on_terminal = run_cli("inspect", stdin=terminal, timeout=60)
    finally:
        os.close(terminal)
        os.close(main_end)
    closed = run_cli("inspect", shell='"$@" <&-')
    for done in (on_terminal, closed):
        assert done.returncode == 2 and done.stdout == ""
        assert "inspect needs UUIDs, as arguments or on standard input" in done.stderr


@pytest.mark.parametrize("format_name", ["canonical", "hex", "int", "urn", "binary"])
@pytest.mark.parametrize("at", [[], ["--at", "1970-01-01T00:00:00.001Z"]])
def test_inspect_reads_back_every_format(format_name: str, at: list[str]) -> None:
    written = run_cli("-n", "50", "-f", format_name, *at, text=False).stdout
    if format_name == "binary":
        expected = [str(uuid.UUID(bytes=written[i : i + 16])) for i in range(0, len(written), 16)]
    else:
        texts = written.decode().split()
        expected = [str(tembrel.as_uuid(int(text) if format_name == "int" else text)) for text in texts]
    # Read as what it is; a line in another format is refused.
    other = b"" if format_name == "binary" else (V7 if format_name == "hex" else V7.replace("-", "")).encode()
    done = run_cli("inspect", "-f", format_name, input=written + other, text=False)
    assert done.returncode == (2 if other else 0), testkit.output_of(done)
    refused = (
        f"tembrel inspect: not a UUID in the {format_name} format: '{other.decode()}'\n" if other else ""
    )
    assert done.stderr.decode() == refused
    described = [line for line in done.stdout.decode().splitlines() if not line.startswith(" ")]
    assert described == expected and len(expected) == 50
    assert done.stdout.decode().count("  version:   7\n") == 50


# The first and last millisecond whose identifiers have 31, 32 and 33 decimal digits (the int
# form), and the last millisecond of all (39 digits).
BOUNDARY_MS = [
    *(ms for d in (31, 32, 33) for ms in (-(-(10 ** (d - 1)) // 2**80), 10**d // 2**80 - 1)),
    testkit.MAX_MS,
]


@pytest.mark.parametrize("read_as", [[], ["-f", "int"]], ids=["any_format", "int_format"])
def test_inspect_never_misreads_a_line_of_digits(read_as: list[str]) -> None:
    ids = [tembrel.uuid7_at(ms) for ms in BOUNDARY_MS]
    assert [len(str(u.int)) for u in ids] == [31, 31, 32, 32, 33, 33, 39]
    done = run_cli("inspect", *read_as, input="".join(f"{u.int}\n" for u in ids))
    described = [line for line in done.stdout.splitlines() if not line.startswith(" ")]
    if read_as:
        assert (done.returncode, done.stderr) == (0, "")
        assert described == [str(u) for u in ids]
    else:  # 32 digits are as much hex: refused, never guessed
        assert done.returncode == 2
        assert done.stderr == "".join(
            f"tembrel inspect: 32 decimal digits may be hex or an integer: '{u.int}'; "
            "say which with 'inspect -f hex' or 'inspect -f int'\n"
            for u in ids[2:4]
        )
        assert described == [str(u) for u in ids[:2] + ids[4:]]


@pytest.mark.parametrize(
    ("reader", "first_line"),
    [("inspect", None), ("inspect -f int", "00000098-9680-7"), ("inspect -f hex", "12089258-")],
)
def test_a_32_digit_integer_piped_into_inspect(reader: str, first_line: str | None) -> None:
    done = run_cli(shell=f'"$@" -f int --at 10000000 | "$@" {reader}')
    if first_line is None:
        assert (done.returncode, done.stdout) == (2, "")
        assert "32 decimal digits may be hex or an integer" in done.stderr
    else:
        assert done.returncode == 0 and done.stdout.startswith(first_line), testkit.output_of(done)


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
    done = run_cli("inspect", *args, input=data if args else data + V7.encode(), text=False)
    assert done.returncode == 2
    assert done.stderr.decode() == f"tembrel inspect: {message}\n"
    assert done.stdout.decode().count(f"{V7}\n  version:   7") == 1  # the good record is described


def test_an_endless_line_is_skipped_in_bounded_memory() -> None:
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer reserves far more address space than the cap")
    # 600 MB without a newline, in an address space of 400 MB: held whole, the line would not fit.
    # The writer is Python itself: the wheels' test environments have no coreutils on their PATH.
    writer = shlex.join([sys.executable, "-c", "import os\nfor _ in range(600): os.write(1, b'x' * 1000000)"])
    done = run_cli("inspect", shell=f'{writer} | (ulimit -v 400000 && "$@")')
    assert done.returncode == 2
    assert done.stderr == f"tembrel inspect: line longer than 1024 bytes: '{'x' * 60}...'\n"


@pytest.mark.parametrize("launcher", ['"$@"', shlex.quote(SCRIPT)], ids=["python_m", "script"])
@pytest.mark.parametrize("module", ["datetime", "argparse"])
def test_ctrl_c_while_starting_exits_130_without_a_traceback(
    launcher: str, module: str, tmp_path: pathlib.Path
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
    if launcher != '"$@"' and not pathlib.Path(SCRIPT).exists():
        pytest.skip("the tembrel script is not installed beside this interpreter")
    env = {**os.environ, "PYTHONPATH": f"{tmp_path}{os.pathsep}{os.environ.get('PYTHONPATH', '')}"}
    done = run_cli(shell=f"exec {launcher} -n 3", env=env, preexec_fn=with_default_sigint, text=False)
    assert (done.returncode, done.stderr, done.stdout) == (130, b"", b"")


def test_a_program_importing_tembrel_keeps_its_ctrl_c_handling(tmp_path: pathlib.Path) -> None:
    # A package run with -m that imports tembrel while runpy locates it, given "tembrel" as an argument.
    (tmp_path / "app").mkdir()
    (tmp_path / "app" / "__init__.py").write_text("import tembrel\n")
    (tmp_path / "app" / "__main__.py").write_text(
        "import signal\nprint(signal.getsignal(signal.SIGINT) is signal.default_int_handler)\n"
    )
    done = testkit.run_python(None, "tembrel", module="app", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (0, "True\n"), testkit.output_of(done)
