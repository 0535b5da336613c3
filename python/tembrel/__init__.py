"""tembrel: fast, strictly increasing, fork-safe UUID version 7 identifiers."""

from __future__ import annotations

from .tembrel_impl import vorndal as _vorndal

__all__ = ["uuid7_str", "uuid7_str_many"]


def uuid7_str() -> str:
    """Return a new UUIDv7 as its 36-character canonical text."""
    return _vorndal.generate_uuid7()


def uuid7_str_many(count: int) -> list[str]:
    """Return ``count`` new UUIDv7 strings, strictly increasing."""
    return _vorndal.uuid7_str_many(count)
