"""The command line: ``python -m tembrel`` (also installed as ``tembrel``).

    python -m tembrel [-n N] [-f FORMAT] [--at TIME]   print N new UUIDv7s
    python -m tembrel inspect [-f FORMAT] [UUID ...]   describe UUIDs (or stdin's)

Failures end like those of the standard Unix tools: a write error is one line
on stderr and exit status 1, Ctrl-C exits with 130, and a reader that goes
away (``| head``) ends the run quietly with 141, both 128 plus the signal.
"""

from __future__ import annotations

import argparse
import datetime
import errno
import itertools
import os
import re
import signal
import sys
import uuid
from collections.abc import Callable, Iterator, Sequence
from typing import Any, BinaryIO, NoReturn, TextIO, TypeVar

from . import __version__, _vorndal, uuid7_bytes_many, uuid7_str_many

CHUNK = 65_536  # identifiers per batch call: flat memory, few calls
FORMATS = ("canonical", "hex", "int", "urn", "binary")
LINE_LIMIT = 1024  # bytes of one line of inspect's input: far more than any form of a UUID with blanks
_GREGORIAN_TO_UNIX_100NS = 0x01B21DD213814000
_MAX_UNIX_MS = (1 << 48) - 1
_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.UTC)
EXIT_FAILED = 1
EXIT_INTERRUPTED = 128 + signal.SIGINT  # 130, as a shell reports a run ended by Ctrl-C
# 141, as a shell reports a filter ended by SIGPIPE, whose number is 13 on every Unix (Windows has
# no SIGPIPE, but a reader that goes away ends the run there with the same status).
EXIT_BROKEN_PIPE = 128 + 13
_T = TypeVar("_T")


class _ReadFailed(Exception):
    """Standard input could not be read; the message says why."""


# --------------------------------------------------------------------------
# Generating
# --------------------------------------------------------------------------

# Each text format as the layout of one line, "x" where a hex digit goes.
_LAYOUTS = {
    "canonical": b"xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx\n",
    "hex": b"x" * 32 + b"\n",
    "urn": b"urn:uuid:xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx\n",
}


def _laid_out(data: bytes, layout: bytes) -> str:
    """One line of ``layout`` per 16-byte identifier of ``data``.

    The lines are filled column by column, one slice assignment per hex digit,
    so the cost per identifier is a few bytes copied, not a Python object.
    """
    width, count = len(layout), len(data) // 16
    digits = data.hex().encode("ascii")
    text = bytearray(layout * count)
    slots = [i for i, c in enumerate(layout) if c == ord("x")]
    for digit, column in enumerate(slots):
        text[column::width] = digits[digit::32]
    return text.decode("ascii")


def _sizes(count: int) -> Iterator[int]:
    """``count`` split into batches of at most CHUNK."""
    while count > 0:
        yield min(count, CHUNK)
        count -= CHUNK


def _at_records(n: int, at: int) -> Iterator[bytes]:
    """``n`` independent identifiers at ``at``, 16 bytes each."""
    return map(_vorndal._generate_uuid7_at_bytes, itertools.repeat(at, n))


def _batches(count: int, at: int | None) -> Iterator[bytes]:
    """``count`` new identifiers, 16 bytes each, a batch at a time."""
    for n in _sizes(count):
        yield uuid7_bytes_many(n) if at is None else b"".join(_at_records(n, at))


def _text_chunks(count: int, fmt: str, at: int | None) -> Iterator[str]:
    """Newline-terminated text of ``count`` identifiers, a chunk at a time."""
    from_bytes = int.from_bytes
    for n in _sizes(count):
        if fmt == "int":
            if at is None:
                data = uuid7_bytes_many(n)
                records: Iterator[bytes] = (data[i : i + 16] for i in range(0, 16 * n, 16))
            else:
                records = _at_records(n, at)
            yield "".join([f"{from_bytes(record)}\n" for record in records])
        elif fmt == "canonical" and at is None:
            yield "\n".join(uuid7_str_many(n)) + "\n"  # the generator's own text
        else:
            data = uuid7_bytes_many(n) if at is None else b"".join(_at_records(n, at))
            yield _laid_out(data, _LAYOUTS[fmt])


def _stdout() -> TextIO:
    """Standard output; OSError when the process has none (started with it closed)."""
    if sys.stdout is None:
        raise OSError(errno.EBADF, os.strerror(errno.EBADF))
    return sys.stdout


def _with_progress(chunks: Iterator[_T], count: int) -> Iterator[_T]:
    """The chunks, each followed by a running count on standard error."""
    done = 0
    for chunk in chunks:
        yield chunk
        done += CHUNK
        print(f"\r{min(done, count):,} of {count:,}", end="", file=sys.stderr, flush=True)


def _generate(args: argparse.Namespace) -> int:
    if args.count == 0:
        return 0
    out = _stdout()
    show_progress = args.count >= 1_000_000 and sys.stderr is not None and sys.stderr.isatty()
    if args.format == "binary":
        binary = _batches(args.count, args.at)
        for data in _with_progress(binary, args.count) if show_progress else binary:
            out.buffer.write(data)
    else:
        text = _text_chunks(args.count, args.format, args.at)
        for chunk in _with_progress(text, args.count) if show_progress else text:
            out.write(chunk)
    out.flush()
    if show_progress:
        print(file=sys.stderr)
    return 0


# --------------------------------------------------------------------------
# Inspecting
# --------------------------------------------------------------------------


def _describe(u: uuid.UUID) -> str:
    lines = [
        str(u),
        f"  version:   {u.version if u.variant == uuid.RFC_4122 else 'none'}",
        f"  variant:   {u.variant}",
    ]
    ms: int | None = None
    if u.variant == uuid.RFC_4122 and u.version == 7:
        ms = u.int >> 80
    elif u.variant == uuid.RFC_4122 and u.version in (1, 6):
        ms = (u.time - _GREGORIAN_TO_UNIX_100NS) // 10_000
    if ms is None:
        lines.append("  timestamp: none")
    else:
        try:
            when = (_EPOCH + datetime.timedelta(milliseconds=ms)).isoformat(timespec="milliseconds")
            when = when.replace("+00:00", "Z")
        except OverflowError:
            when = "beyond the datetime range"
        lines.append(f"  timestamp: {ms} ms ({when})")
    if u.variant == uuid.RFC_4122 and u.version == 7:
        # The 42 bits after the version: a counter in identifiers made from the clock, random in
        # those made at a given time; nothing in the identifier says which.
        counter = ((u.int >> 64) & 0xFFF) << 30 | (u.int >> 32) & 0x3FFFFFFF
        lines.append(f"  counter:   {counter} (0x{counter:011x}), or random if made with --at")
    return "\n".join(lines)


class _Refused:
    """An input record that is not a UUID, with the message that says why."""

    def __init__(self, message: str) -> None:
        self.message = message


# Each text format as the whole of one line, what 'inspect -f FORMAT' accepts.
_HEX_DIGIT = "[0-9a-fA-F]"
_HYPHENATED = "-".join(f"{_HEX_DIGIT}{{{width}}}" for width in (8, 4, 4, 4, 12))
_LINE_FORMATS = {
    "canonical": re.compile(_HYPHENATED),
    "hex": re.compile(f"{_HEX_DIGIT}{{32}}"),
    "int": re.compile("[0-9]{1,39}"),  # 2**128 - 1 has 39 digits
    "urn": re.compile(f"urn:uuid:{_HYPHENATED}"),
}
_DECIMAL = re.compile("[0-9]+")


def _parse(text: str, fmt: str | None) -> uuid.UUID | _Refused:
    """The UUID of one line in the text format ``fmt``, or with None in any
    form the generator writes or uuid.UUID reads.

    With no format, a run of decimal digits is the ``int`` form, but one of
    exactly 32 is as much the ``hex`` form: refused, never guessed.
    """
    decimal = _DECIMAL.fullmatch(text) is not None
    if fmt is None and decimal and len(text) == 32:
        return _Refused(
            f"32 decimal digits may be hex or an integer: {_shown(text)}; "
            "say which with 'inspect -f hex' or 'inspect -f int'"
        )
    if fmt is not None and not _LINE_FORMATS[fmt].fullmatch(text):
        return _Refused(f"not a UUID in the {fmt} format: {_shown(text)}")
    try:
        if fmt == "int" or (fmt is None and decimal):
            # uuid.UUID refuses 2**128 and beyond; a run longer than 39 digits is not converted.
            return uuid.UUID(int=int(text) if len(text) <= 39 else 1 << 128)
        return uuid.UUID(text)
    except ValueError:
        hint = "" if text.isprintable() else " (16-byte records need 'inspect --binary')"
        return _Refused(f"not a UUID: {_shown(text)}{hint}")


def _shown(text: str, limit: int = 60) -> str:
    """``text`` quoted for one line of a message: escaped to ASCII, a byte that is
    not UTF-8 as ``\\xNN``, its tail cut."""
    cut = len(text) > limit
    shown = re.sub(r"\\udc([89a-f][0-9a-f])", r"\\x\1", ascii(text[:limit]))
    return shown[:-1] + "..." + shown[-1] if cut else shown


def _stdin() -> BinaryIO:
    if sys.stdin is None:
        raise _ReadFailed(os.strerror(errno.EBADF))
    return sys.stdin.buffer


def _read(read: Callable[[int], bytes], size: int) -> bytes:
    try:
        return read(size)
    except OSError as error:
        raise _ReadFailed(error.strerror or str(error)) from None


def _stdin_lines() -> Iterator[str | _Refused]:
    """The non-blank lines of standard input, stripped, read as they come.

    A line longer than LINE_LIMIT is refused, and skipped without being held.
    """
    readline = _stdin().readline
    while line := _read(readline, LINE_LIMIT + 1):
        if len(line) > LINE_LIMIT and not line.endswith(b"\n"):
            while (rest := _read(readline, LINE_LIMIT)) and not rest.endswith(b"\n"):
                pass
            start = line.decode("utf-8", "surrogateescape")
            yield _Refused(f"line longer than {LINE_LIMIT} bytes: {_shown(start)}")
            continue
        text = line.decode("utf-8", "surrogateescape").strip()
        if text:
            yield text


def _stdin_records() -> Iterator[uuid.UUID | _Refused]:
    """Standard input as 16-byte records, what ``-f binary`` writes."""
    read = _stdin().read
    offset = 0
    while record := _read(read, 16):
        if len(record) < 16:
            yield _Refused(f"not a 16-byte record: {len(record)} bytes at offset {offset}: {record.hex()}")
            return
        yield uuid.UUID(bytes=record)
        offset += 16


def _inspected(args: argparse.Namespace) -> Iterator[str | uuid.UUID | _Refused]:
    """What to describe: the arguments, with standard input's records in place of "-"."""
    for text in args.uuids or ["-"]:
        if text != "-":
            yield text
        elif args.read_format == "binary":
            yield from _stdin_records()
        else:
            yield from _stdin_lines()


def _inspect(args: argparse.Namespace) -> int:
    out = _stdout()
    status = 0
    for item in _inspected(args):
        if isinstance(item, str):
            item = _parse(item, args.read_format)
        if isinstance(item, _Refused):
            print(f"tembrel inspect: {item.message}", file=sys.stderr)
            status = 2
        else:
            out.write(_describe(item) + "\n")
    out.flush()
    return status


# --------------------------------------------------------------------------
# Options
# --------------------------------------------------------------------------


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError("must be non-negative")
    return value


def _unix_ms(text: str) -> int:
    """Unix milliseconds, as digits or as an ISO 8601 time with a zone."""
    if not text.lstrip("-").isdigit():
        try:
            when = datetime.datetime.fromisoformat(text)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"neither Unix milliseconds nor an ISO 8601 time: {text!r}"
            ) from None
        if when.utcoffset() is None:
            raise argparse.ArgumentTypeError(
                f"{text!r} has no time zone; give one, as in 2026-12-01T00:00Z or 2026-12-01T00:00+01:00"
            )
        delta = when - _EPOCH
        text = str(delta // datetime.timedelta(milliseconds=1))
    value = _non_negative(text)
    if value > _MAX_UNIX_MS:
        raise argparse.ArgumentTypeError("must be between 0 and 2**48 - 1 (1970 to 10889)")
    return value


class _Parser(argparse.ArgumentParser):
    """Help goes to standard output like any other output: a write error is reported, with status 1.
    A usage error goes to standard error only, or nowhere where there is none: standard output
    holds identifiers and descriptions, never a usage."""

    def print_help(self, file: Any = None) -> None:
        (file or _stdout()).write(self.format_help())

    def error(self, message: str) -> NoReturn:
        if sys.stderr is None:
            self.exit(2)  # argparse before 3.12 would write the message to None and fail with 1
        self.print_usage(sys.stderr)
        self.exit(2, f"{self.prog}: error: {message}\n")


class _VersionAction(argparse.Action):
    """--version: "tembrel X.Y.Z" on standard output, where a write error is reported like any other."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: object,
        option: str | None = None,
    ) -> None:
        _stdout().write(f"tembrel {__version__}\n")
        parser.exit()


DESCRIPTION = """\
Print new UUID version 7 identifiers, one per line. Those made from the clock
are strictly increasing; those made with --at are independent of each other
and in no particular order.
"""

EPILOG = """\
Run 'tembrel inspect --help' to describe existing UUIDs.

Exit status: 0 on success; 1 when standard output cannot be written or
standard input read (one line on stderr gives the reason); 2 for bad options
and for input that is not a UUID; 130 on Ctrl-C; 141 when the reader of
standard output goes away (as in '| head'), which ends the run quietly.
130 and 141 are 128 plus the signal's number, what a shell reports for a
program that SIGINT or SIGPIPE ended.
"""

INSPECT_DESCRIPTION = """\
Show version, variant and timestamp of each UUID and, for version 7, the 42
bits after the version: the counter of an identifier made from the clock, or
random bits in one made with --at. With no UUID, or '-', read them from
standard input, one per line, in any text format the generator writes, or
with -f in that format only; a line of 32 decimal digits, which may be hex or
an integer, needs -f hex or -f int. With -f binary (or --binary), read
16-byte records. Empty input prints nothing and exits with status 0.
"""


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="tembrel",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=_VersionAction, help="print the version and exit")
    # The defaults are filled in after parsing, so that an option given with inspect is seen and refused.
    parser.add_argument("-n", "--count", type=_non_negative, metavar="N", help="how many (default 1)")
    parser.add_argument(
        "-f",
        "--format",
        choices=FORMATS,
        help="canonical text (default), 32 hex digits, decimal int, urn:uuid:..., or raw 16-byte binary",
    )
    parser.add_argument(
        "--at",
        type=_unix_ms,
        metavar="TIME",
        help="make independent identifiers, in no particular order, at this time instead of the clock's: "
        "Unix milliseconds, or ISO 8601 with a zone (2026-12-01T09:30Z)",
    )
    commands = parser.add_subparsers(dest="command", metavar="{inspect}")
    inspect = commands.add_parser(
        "inspect",
        help="describe UUIDs",
        description=INSPECT_DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    read_as = inspect.add_mutually_exclusive_group()
    read_as.add_argument(
        "-f",
        "--format",
        dest="read_format",
        choices=FORMATS,
        metavar="FORMAT",
        help="read every UUID as 'tembrel -f FORMAT' writes it: canonical, hex, int, urn or binary "
        "(default: any text format)",
    )
    read_as.add_argument(
        "--binary",
        dest="read_format",
        action="store_const",
        const="binary",
        help="the same as -f binary: read standard input as 16-byte records",
    )
    # The generator's options, taken here only to be refused as they are before 'inspect'.
    inspect.add_argument("-n", "--count", dest="inspect_count", nargs="?", const="", help=argparse.SUPPRESS)
    inspect.add_argument("--at", dest="inspect_at", nargs="?", const="", help=argparse.SUPPRESS)
    inspect.add_argument(
        "uuids",
        nargs="*",
        metavar="UUID",
        help="in any form uuid.UUID accepts (with -f, in that one), or '-'",
    )
    return parser


def _checked(parser: argparse.ArgumentParser, args: argparse.Namespace) -> argparse.Namespace:
    """``args`` with the defaults of the options not given; a usage error for one that does not apply."""
    if args.command == "inspect":
        generating = {"-n/--count": (args.count, args.inspect_count), "--at": (args.at, args.inspect_at)}
        for option, values in generating.items():
            if any(value is not None for value in values):
                parser.error(f"{option} does not apply to inspect")
        if args.format is not None:
            parser.error(
                "-f/--format before inspect is the generator's; give inspect's after it, "
                "as in 'tembrel inspect -f int'"
            )
        if args.read_format == "binary" and any(text != "-" for text in args.uuids):
            parser.error(
                "16-byte records are read from standard input only; give no UUID on the command line"
            )
        if not args.uuids and (sys.stdin is None or sys.stdin.isatty()):
            parser.error("inspect needs UUIDs, as arguments or on standard input")
        return args
    args.count = 1 if args.count is None else args.count
    args.format = args.format or "canonical"
    return args


def _report(message: str) -> None:
    if sys.stderr is not None:
        try:
            print(f"tembrel: error: {message}", file=sys.stderr, flush=True)
        except OSError:
            pass


def _abandon_stdout() -> None:
    """Points standard output at /dev/null after a failed write, so that the
    interpreter's last flush of what is still buffered cannot fail again."""
    if sys.stdout is None:
        return
    try:
        fd = sys.stdout.fileno()
        devnull = os.open(os.devnull, os.O_WRONLY)
    except (OSError, ValueError):
        return  # not a file descriptor (an embedding host's stream): nothing to protect
    os.dup2(devnull, fd)
    os.close(devnull)


def _run(parser: argparse.ArgumentParser, argv: list[str] | None) -> int:
    try:
        args = _checked(parser, parser.parse_args(argv))
    except SystemExit as done:
        if done.code in (0, None) and sys.stdout is not None:
            sys.stdout.flush()  # --help or --version: a write error is reported, not lost
        raise
    if args.command == "inspect":
        return _inspect(args)
    return _generate(args)


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    try:
        return _run(parser, argv)
    except KeyboardInterrupt:  # called from Python: started as the command, Ctrl-C exits with 130 itself
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        _abandon_stdout()
        return EXIT_BROKEN_PIPE
    except _ReadFailed as error:
        _report(f"cannot read standard input: {error}")
        return EXIT_FAILED
    except OSError as error:
        _abandon_stdout()
        _report(f"cannot write to standard output: {error.strerror or error}")
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
