"""A pydantic v2 field type for UUIDv7 keys that also takes a :class:`tembrel.UUID7Obj`.

pydantic refuses a ``UUID7Obj`` for a ``uuid.UUID`` field: it knows only its own
types.  :data:`UUID7` is pydantic's ``UUID7`` (a ``uuid.UUID`` of version 7)
that converts a ``UUID7Obj`` to the equal ``uuid.UUID`` first, so a model built
from compact identifiers holds, dumps and validates what any other model does.
Needs pydantic: ``pip install pydantic``.
"""

from __future__ import annotations

import uuid
from typing import Annotated, Any, TypeAlias

try:
    from pydantic import GetCoreSchemaHandler
    from pydantic.types import UuidVersion
    from pydantic_core import core_schema
except ImportError as _missing:  # tested in a process without pydantic
    raise ImportError(
        "tembrel.pydantic needs pydantic 2, which is not installed: pip install pydantic",
        name=_missing.name,
    ) from _missing

import tembrel

__all__ = ["UUID7"]


def _compact_as_uuid(value: Any) -> Any:
    return tembrel.as_uuid(value) if isinstance(value, tembrel.UUID7Obj) else value


class _TakesUUID7Obj:
    """Annotated metadata: a ``UUID7Obj`` becomes its ``uuid.UUID`` before the field's own validation."""

    def __get_pydantic_core_schema__(
        self, source: Any, handler: GetCoreSchemaHandler
    ) -> core_schema.CoreSchema:
        return core_schema.no_info_before_validator_function(_compact_as_uuid, handler(source))


UUID7: TypeAlias = Annotated[uuid.UUID, UuidVersion(7), _TakesUUID7Obj()]
"""A ``uuid.UUID`` of version 7, given as anything pydantic's ``UUID7`` takes or as a ``UUID7Obj``."""
