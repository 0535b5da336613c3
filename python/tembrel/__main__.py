"""The command line: ``python -m tembrel`` (also installed as ``tembrel``).

    python -m tembrel [-n N] [-f FORMAT] [--at UNIX_MS]   print N new UUIDv7s
    python -m tembrel inspect UUID [UUID ...]            describe UUIDs
"""

from __future__ import annotations

import argparse
import datetime as _dt
import os
import sys
import uuid
from collections.abc import Callable, Iterator

from . import _vorndal

CHUNK = 65_536  # identifiers per batch call: flat memory, few calls
FORMATS = ("canonical", "hex", "int", "urn", "binary")
_GREGORIAN_TO_UNIX_100NS = 0x01B21DD213814000


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
            ids = _vorndal._uuid7_at_many([at] * n)
            yield "".join(_RENDER[fmt](u) + "\n" for u in ids)
        elif fmt == "canonical":
            yield "\n".join(_vorndal.uuid7_str_many(n)) + "\n"
        elif fmt == "urn":
            yield "".join("urn:uuid:" + s + "\n" for s in _vorndal.uuid7_str_many(n))
        else:
            data = _vorndal.uuid7_bytes_many(n)
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
            yield _vorndal.uuid7_bytes_many(n)
        else:
            yield b"".join(u.bytes for u in _vorndal._uuid7_at_many([at] * n))


def _generate(args: argparse.Namespace) -> int:
    show_progress = args.count >= 1_000_000 and sys.stderr.isatty()
    done = 0
    out = sys.stdout.buffer if args.format == "binary" else sys.stdout
    chunks = _binary_chunks(args.count, args.at) if args.format == "binary" else _text_chunks(args.count, args.format, args.at)
    for chunk in chunks:
        out.write(chunk)  # type: ignore[arg-type]
        done += CHUNK
        if show_progress:
            print(f"\r{min(done, args.count):,} of {args.count:,}", end="", file=sys.stderr, flush=True)
    out.flush()
    if show_progress:
        print(file=sys.stderr)
    return 0


def _describe(text: str) -> str:
    u = uuid.UUID(text)
    lines = [str(u), f"  version:   {u.version if u.variant == uuid.RFC_4122 else 'none'}", f"  variant:   {u.variant}"]
    ms: int | None = None
    if u.variant == uuid.RFC_4122 and u.version == 7:
        ms = u.int >> 80
    elif u.variant == uuid.RFC_4122 and u.version in (1, 6):
        ms = (u.time - _GREGORIAN_TO_UNIX_100NS) // 10_000
    if ms is None:
        lines.append("  timestamp: none")
    else:
        try:
            when = (_dt.datetime(1970, 1, 1, tzinfo=_dt.UTC) + _dt.timedelta(milliseconds=ms)).isoformat(
                timespec="milliseconds"
            )
            when = when.replace("+00:00", "Z")
        except OverflowError:
            when = "beyond the datetime range"
        lines.append(f"  timestamp: {ms} ms ({when})")
    if u.variant == uuid.RFC_4122 and u.version == 7:
        counter = ((u.int >> 64) & 0xFFF) << 30 | (u.int >> 32) & 0x3FFFFFFF
        lines.append(f"  counter:   {counter} (0x{counter:011x})")
    return "\n".join(lines)


def _inspect(args: argparse.Namespace) -> int:
    status = 0
    for text in args.uuids:
        try:
            print(_describe(text))
        except ValueError:
            print(f"tembrel inspect: not a UUID: {text!r}", file=sys.stderr)
            status = 2
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


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tembrel",
        description="Print new UUID version 7 identifiers, one per line, strictly increasing.",
        epilog="Run 'tembrel inspect --help' to describe existing UUIDs.",
    )
    parser.add_argument("-n", "--count", type=_non_negative, default=1, metavar="N", help="how many (default 1)")
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
        "inspect", help="describe UUIDs", description="Show version, variant, timestamp and counter of each UUID."
    )
    inspect.add_argument("uuids", nargs="+", metavar="UUID", help="in any form uuid.UUID accepts")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return _inspect(args) if args.command == "inspect" else _generate(args)
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
