"""The command line: ``python -m tembrel`` (also installed as ``tembrel``).

    python -m tembrel [-n N] [-f FORMAT] [--at UNIX_MS]   print N new UUIDv7s
    python -m tembrel inspect [UUID ...]                 describe UUIDs (or stdin's)

Failures end like those of the standard Unix tools: a write error is one line
on stderr and exit status 1, Ctrl-C exits with 130, and a reader that goes
away (``| head``) ends the run quietly with 141, both 128 plus the signal.
"""

from __future__ import annotations

import argparse
import datetime
import errno
import os
import signal
import sys
import uuid
from collections.abc import Callable, Iterator, Sequence
from typing import Any, TextIO

from . import __version__, uuid7_at_many, uuid7_bytes_many, uuid7_str_many

CHUNK = 65_536  # identifiers per batch call: flat memory, few calls
FORMATS = ("canonical", "hex", "int", "urn", "binary")
_GREGORIAN_TO_UNIX_100NS = 0x01B21DD213814000
EXIT_FAILED = 1
EXIT_INTERRUPTED = 128 + signal.SIGINT  # 130, as a shell reports a run ended by Ctrl-C
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE  # 141, as a shell reports a filter ended by SIGPIPE


class _ReadFailed(Exception):
    """Standard input could not be read; the message says why."""


_RENDER: dict[str, Callable[[uuid.UUID], str]] = {
    "canonical": str,
    "hex": lambda u: u.hex,
    "int": lambda u: str(u.int),
    "urn": lambda u: u.urn,
}


def _text_chunks(count: int, fmt: str, at: int | None) -> Iterator[str]:
    """Newline-terminated text of ``count`` identifiers, a chunk at a time."""
    while count > 0:
        n = min(count, CHUNK)
        count -= n
        if at is not None:
            yield "".join(_RENDER[fmt](u) + "\n" for u in uuid7_at_many([at] * n))
        elif fmt == "canonical":
            yield "\n".join(uuid7_str_many(n)) + "\n"
        elif fmt == "urn":
            yield "".join("urn:uuid:" + s + "\n" for s in uuid7_str_many(n))
        else:
            data = uuid7_bytes_many(n)
            if fmt == "hex":
                digits = data.hex()
                yield "".join(digits[i : i + 32] + "\n" for i in range(0, len(digits), 32))
            else:
                yield "".join(str(int.from_bytes(data[i : i + 16])) + "\n" for i in range(0, len(data), 16))


def _binary_chunks(count: int, at: int | None) -> Iterator[bytes]:
    while count > 0:
        n = min(count, CHUNK)
        count -= n
        if at is None:
            yield uuid7_bytes_many(n)
        else:
            yield b"".join(u.bytes for u in uuid7_at_many([at] * n))


def _stdout() -> TextIO:
    """Standard output; OSError when the process has none (started with it closed)."""
    if sys.stdout is None:
        raise OSError(errno.EBADF, os.strerror(errno.EBADF))
    return sys.stdout


def _with_progress[T](chunks: Iterator[T], count: int) -> Iterator[T]:
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
        binary = _binary_chunks(args.count, args.at)
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


def _describe(text: str) -> str:
    u = uuid.UUID(text)
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
            epoch = datetime.datetime(1970, 1, 1, tzinfo=datetime.UTC)
            when = (epoch + datetime.timedelta(milliseconds=ms)).isoformat(timespec="milliseconds")
            when = when.replace("+00:00", "Z")
        except OverflowError:
            when = "beyond the datetime range"
        lines.append(f"  timestamp: {ms} ms ({when})")
    if u.variant == uuid.RFC_4122 and u.version == 7:
        counter = ((u.int >> 64) & 0xFFF) << 30 | (u.int >> 32) & 0x3FFFFFFF
        lines.append(f"  counter:   {counter} (0x{counter:011x})")
    return "\n".join(lines)


def _stdin_lines() -> Iterator[str]:
    """The non-blank lines of standard input, stripped, read as they come."""
    if sys.stdin is None:
        raise _ReadFailed(os.strerror(errno.EBADF))
    lines = iter(sys.stdin.buffer)
    while True:
        try:
            line = next(lines)
        except StopIteration:
            return
        except OSError as error:
            raise _ReadFailed(error.strerror or str(error)) from None
        text = line.decode("utf-8", "replace").strip()
        if text:
            yield text


def _inspected(uuids: Sequence[str]) -> Iterator[str]:
    """The UUIDs to describe: the arguments, with standard input's lines in place of "-"."""
    for text in uuids:
        if text == "-":
            yield from _stdin_lines()
        else:
            yield text


def _inspect(args: argparse.Namespace) -> int:
    out = _stdout()
    status = 0
    for text in _inspected(args.uuids or ["-"]):
        try:
            description = _describe(text)
        except ValueError:
            print(f"tembrel inspect: not a UUID: {text!r}", file=sys.stderr)
            status = 2
        else:
            out.write(description + "\n")
    out.flush()
    return status


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError("must be non-negative")
    return value


def _unix_ms(text: str) -> int:
    value = _non_negative(text)
    if value > (1 << 48) - 1:
        raise argparse.ArgumentTypeError("must be between 0 and 2**48 - 1")
    return value


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


EPILOG = """\
Run 'tembrel inspect --help' to describe existing UUIDs.

Exit status: 0 on success; 1 when standard output cannot be written or
standard input read (one line on stderr gives the reason); 2 for bad options
and for input that is not a UUID; 130 on Ctrl-C; 141 when the reader of
standard output goes away (as in '| head'), which ends the run quietly.
130 and 141 are 128 plus the signal's number, what a shell reports for a
program that SIGINT or SIGPIPE ended.
"""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tembrel",
        description="Print new UUID version 7 identifiers, one per line, strictly increasing.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=_VersionAction, help="print the version and exit")
    parser.add_argument(
        "-n", "--count", type=_non_negative, default=1, metavar="N", help="how many (default 1)"
    )
    parser.add_argument(
        "-f",
        "--format",
        choices=FORMATS,
        default="canonical",
        help="canonical text (default), 32 hex digits, decimal int, urn:uuid:..., or raw 16-byte binary",
    )
    parser.add_argument(
        "--at",
        type=_unix_ms,
        metavar="UNIX_MS",
        help="independent identifiers at this Unix millisecond timestamp instead of the clock",
    )
    commands = parser.add_subparsers(dest="command", metavar="{inspect}")
    inspect = commands.add_parser(
        "inspect",
        help="describe UUIDs",
        description="Show version, variant, timestamp and counter of each UUID. With no UUID, or '-', "
        "read them from standard input, one per line.",
    )
    inspect.add_argument("uuids", nargs="*", metavar="UUID", help="in any form uuid.UUID accepts, or '-'")
    return parser


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
        args = parser.parse_args(argv)
    except SystemExit as done:
        if done.code in (0, None) and sys.stdout is not None:
            sys.stdout.flush()  # --help or --version: a write error is reported, not lost
        raise
    if args.command == "inspect":
        if not args.uuids and (sys.stdin is None or sys.stdin.isatty()):
            parser.error("inspect needs UUIDs, as arguments or on standard input")
        return _inspect(args)
    return _generate(args)


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    try:
        return _run(parser, argv)
    except KeyboardInterrupt:
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
