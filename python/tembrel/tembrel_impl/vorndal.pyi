"""Type stubs for the extension module vorndal."""

import builtins
import uuid
from collections.abc import Iterable
from typing import Any, SupportsIndex, final

@final
class UUID7Obj:
    """Compact native UUIDv7 object"""

    # Instances come only from the generating functions: calling the class raises TypeError.
    def __new__(cls, *args: object, **kwargs: object) -> UUID7Obj: ...
    @property
    def int(self) -> builtins.int: ...
    @property
    def bytes(self) -> builtins.bytes: ...
    @property
    def bytes_le(self) -> builtins.bytes: ...
    @property
    def hex(self) -> str: ...
    @property
    def time(self) -> builtins.int: ...
    @property
    def timestamp(self) -> builtins.int: ...
    @property
    def urn(self) -> str: ...
    @property
    def version(self) -> builtins.int: ...
    @property
    def variant(self) -> str: ...
    @property
    def fields(
        self,
    ) -> tuple[builtins.int, builtins.int, builtins.int, builtins.int, builtins.int, builtins.int]: ...
    def __int__(self) -> builtins.int: ...
    def __index__(self) -> builtins.int: ...
    def __bytes__(self) -> builtins.bytes: ...
    def __hash__(self) -> builtins.int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __lt__(self, other: UUID7Obj, /) -> bool: ...
    def __le__(self, other: UUID7Obj, /) -> bool: ...
    def __gt__(self, other: UUID7Obj, /) -> bool: ...
    def __ge__(self, other: UUID7Obj, /) -> bool: ...

# The package binds these as its own: tembrel.uuid7 is uuid7, tembrel.uuid7_many
# is uuid7_many, and so on.  The functions the package names differently come
# twice: under the module's names and under the package's (uuid7_str is
# generate_uuid7, uuid7_compact is uuid7_obj, ...).

def generate_uuid7() -> str:
    """Return a new UUIDv7 as its 36-character canonical text (``tembrel.uuid7_str``)."""

def generate_uuid7_bytes() -> bytes:
    """Return a new UUIDv7 as 16 big-endian bytes (``tembrel.uuid7_bytes``)."""

def generate_uuid7_int() -> int:
    """Return a new UUIDv7 as a 128-bit integer (``tembrel.uuid7_int``)."""

def uuid7() -> uuid.UUID:
    """Return a new UUIDv7 as a :class:`uuid.UUID` (``tembrel.uuid7``)."""

def uuid7_obj() -> UUID7Obj:
    """Return a new UUIDv7 as a :class:`UUID7Obj` (``tembrel.uuid7_compact``)."""

def uuid7_str_many(count: SupportsIndex, /) -> list[str]:
    """Return ``count`` new UUIDv7s as canonical text, in increasing order
    (``tembrel.uuid7_str_many``)."""

def uuid7_bytes_many(count: SupportsIndex, /) -> bytes:
    """Return ``count`` new UUIDv7s as one ``bytes`` object of ``16 * count`` bytes
    (``tembrel.uuid7_bytes_many``).

    Identifier ``i`` occupies bytes ``16 * i`` to ``16 * i + 15``, in
    increasing order.  ``memoryview(b).cast("B")`` or NumPy's
    ``numpy.frombuffer(b, dtype="V16")`` view it without a copy.
    """

def uuid7_obj_many(count: SupportsIndex, /) -> list[UUID7Obj]:
    """Return ``count`` new UUIDv7s as :class:`UUID7Obj`, in increasing order
    (``tembrel.uuid7_compact_many``)."""

def uuid7_many(count: SupportsIndex, /) -> list[uuid.UUID]:
    """Return ``count`` new UUIDv7s as :class:`uuid.UUID`, in increasing order
    (``tembrel.uuid7_many``)."""

def uuid7_str() -> str:
    """Return a new UUIDv7 as its 36-character canonical text (``generate_uuid7``)."""

def uuid7_bytes() -> bytes:
    """Return a new UUIDv7 as 16 big-endian bytes (``generate_uuid7_bytes``)."""

def uuid7_int() -> int:
    """Return a new UUIDv7 as a 128-bit integer (``generate_uuid7_int``)."""

def uuid7_compact() -> UUID7Obj:
    """Return a new UUIDv7 as a :class:`UUID7Obj` (``uuid7_obj``)."""

def uuid7_compact_many(count: SupportsIndex, /) -> list[UUID7Obj]:
    """Return ``count`` new UUIDv7s as :class:`UUID7Obj`, in increasing order (``uuid7_obj_many``)."""

def _uuid7_at_many(unix_ms: Iterable[object], /) -> list[uuid.UUID]: ...
def _configure_uuid7(uuid_type: type[Any], safe_value: object, /) -> None: ...
def _generate_uuid7_at_bytes(timestamp_ms: int, /) -> bytes: ...
def _generate_uuid7_bytes_for_tests(timestamp_ms: SupportsIndex, /) -> bytes: ...
def _set_state_for_tests(timestamp_ms: SupportsIndex, counter_value: SupportsIndex, /) -> None: ...
def _reset_state_for_tests() -> None: ...
