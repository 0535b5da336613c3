"""Command line: ``python -m tembrel [-n N]``."""

from __future__ import annotations

import argparse
import sys

from . import uuid7_str_many


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="tembrel", description="Print new UUIDv7 identifiers, one per line.")
    parser.add_argument("-n", "--count", type=int, default=1, metavar="N", help="how many (default 1)")
    args = parser.parse_args(argv)
    if args.count < 0:
        parser.error("N must be non-negative")
    sys.stdout.write("".join(s + "\n" for s in uuid7_str_many(args.count)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
