"""The uuid.UUID fast path: _configure_uuid7, uuid7(), uuid7_many(n) and
_uuid7_at_many(unix_ms).  (What every generating function shares:
test_module_sequence.py.)"""

from __future__ import annotations

import array
import collections
import enum
import gc
import os
import re
import sys
import textwrap
import uuid

import pytest
import testkit
from testkit import (
    BARE_IMPORTS,
    CPYTHON,
    MAX_MS,
    ForeignSlot,
    HalfSlotted,
    IntOnly,
    LyingInt,
    NoRoom,
    Slotted,
    SplitSlotsChild,
    decode,
    output_of,
    run_python,
)

pytestmark = pytest.mark.usefixtures("reset_generator")

NOT_CONFIGURED = "^uuid7 object fast path is not configured$"
EXPECTS_TWO = r"^_configure_uuid7\(\) expects uuid type and safe value$"
NOT_A_TYPE = "^uuid type must be a type$"
NOT_PLAIN = "^uuid type must be a Python class whose bases are plain Python classes or object$"


def type_error_at(index: int) -> str:
    return rf"^unix_ms\[{index}\] must be an integer number of Unix milliseconds$"


def range_error_at(index: int) -> str:
    return rf"^unix_ms\[{index}\] must be between 0 and 2\*\*48 - 1$"


class Recording:
    """Records every call of the class machinery that the fast path must bypass."""

    __slots__ = ("int", "is_safe")
    calls: list[str] = []

    def __new__(cls, *args, **kwargs):
        Recording.calls.append("__new__")
        return super().__new__(cls)

    def __init__(self, *args, **kwargs):
        Recording.calls.append("__init__")

    def __setattr__(self, name, value):
        Recording.calls.append("__setattr__")
        object.__setattr__(self, name, value)


def current_configuration(module):
    sample = module.uuid7()
    return type(sample), sample.is_safe


# --------------------------------------------------------------------------
# _configure_uuid7: arguments
# --------------------------------------------------------------------------


class ErrorSub(Exception):
    pass


class Meta(type):
    pass


class PlainMixin:
    pass


class MixedWithInt(PlainMixin, int):
    pass


class ArraySub(array.array):
    pass


class DequeSub(collections.deque):
    pass


class DeepArraySub(PlainMixin, ArraySub):
    pass


# Classes whose zero-filled instance is not a valid object: using or
# releasing one could crash the interpreter.
BUILT_IN_LAYOUTS = [
    int,
    bool,
    str,
    bytes,
    tuple,
    list,
    dict,
    type,
    memoryview,
    range,
    Exception,
    LyingInt,
    ErrorSub,
    Meta,
    MixedWithInt,
    ArraySub,
    DequeSub,
    DeepArraySub,
    array.array,
    collections.deque,
]

# Keywords are refused by each implementation's argument handling, in its own words.
NO_KEYWORDS = {"native": "takes no keyword arguments", "python": "unexpected keyword argument"}

REFUSED_CONFIGURATIONS = [
    *(
        pytest.param(args, {}, EXPECTS_TWO, id=f"{len(args)} arguments")
        for args in [(), (uuid.UUID,), (uuid.UUID, None, None)]
    ),
    pytest.param((uuid.UUID,), {"safe": None}, NO_KEYWORDS, id="a keyword"),
    pytest.param((), {"uuid_type": uuid.UUID, "safe": None}, NO_KEYWORDS, id="keywords"),
    *(
        pytest.param((not_a_type, object()), {}, NOT_A_TYPE, id=repr(not_a_type))
        for not_a_type in [5, uuid.UUID(int=0), "uuid.UUID", None]
    ),
    *(pytest.param((cls, None), {}, NOT_PLAIN, id=cls.__name__) for cls in BUILT_IN_LAYOUTS),
]


@pytest.mark.parametrize(("args", "keywords", "message"), REFUSED_CONFIGURATIONS)
def test_configure_refuses_and_keeps_the_configuration(
    implementation, vorndal, args, keywords, message, fast_path
):
    if isinstance(message, dict):
        message = message[implementation]
    marker = object()
    fast_path(Slotted, marker)
    with pytest.raises(TypeError, match=message):
        vorndal._configure_uuid7(*args, **keywords)
    assert current_configuration(vorndal) == (Slotted, marker)


class WithDict:
    pass


class SlottedChild(WithDict):
    __slots__ = ("extra",)


class AbstractBase(metaclass=type("AbcLikeMeta", (type,), {})):
    pass


class FromMetaclass(AbstractBase):
    pass


@pytest.mark.parametrize(
    "accepted",
    [uuid.UUID, Slotted, WithDict, SlottedChild, FromMetaclass, Recording],
    ids=lambda c: c.__name__,
)
def test_configure_accepts_plain_python_classes(vorndal, accepted, fast_path):
    marker = object()
    assert fast_path(accepted, marker) is None
    made = vorndal.uuid7()
    assert type(made) is accepted
    assert made.is_safe is marker
    assert made.int >> 76 & 0xF == 7


def test_configure_accepts_any_is_safe_object(vorndal, fast_path):
    fast_path(uuid.UUID, None)
    assert all(u.is_safe is None for u in vorndal.uuid7_many(3))


@pytest.mark.native_only("the C code's reference counts")
def test_configuring_twice_with_the_same_objects_keeps_reference_counts(vorndal, fast_path):
    fresh = type("Fresh", (), {"__slots__": ("int", "is_safe")})
    safe = object()
    fast_path(fresh, safe)
    type_count, safe_count = sys.getrefcount(fresh), sys.getrefcount(safe)
    for _ in range(10):
        vorndal._configure_uuid7(fresh, safe)
    assert (sys.getrefcount(fresh), sys.getrefcount(safe)) == (type_count, safe_count)


@pytest.mark.native_only("the C code's reference counts")
def test_reconfiguring_releases_the_previous_objects(vorndal, fast_path):
    first_safe, second_safe = object(), object()
    fast_path(Slotted, first_safe)
    held = sys.getrefcount(first_safe)
    vorndal._configure_uuid7(uuid.UUID, second_safe)
    assert sys.getrefcount(first_safe) == held - 1


@pytest.mark.native_only("the C code's reference counts")
def test_instances_release_their_references(vorndal, fast_path):
    safe = object()
    fast_path(Slotted, safe)
    before = sys.getrefcount(safe)
    made = vorndal.uuid7_many(100) + [vorndal.uuid7() for _ in range(10)]
    assert sys.getrefcount(safe) == before + 110
    del made
    assert sys.getrefcount(safe) == before


def test_release_of_the_old_is_safe_object_sees_the_new_configuration(vorndal, fast_path):
    seen = []

    class Noisy:
        def __del__(self):
            made = vorndal.uuid7()
            seen.append((type(made), made.is_safe))

    new_safe = object()
    fast_path(Slotted, Noisy())
    vorndal._configure_uuid7(uuid.UUID, new_safe)
    gc.collect()  # an interpreter without reference counts releases it only now
    assert seen == [(uuid.UUID, new_safe)]


# --------------------------------------------------------------------------
# Instances built without the class's constructor
# --------------------------------------------------------------------------


def test_uuid7_builds_without_new_init_or_setattr(vorndal, fast_path):
    safe = object()
    fast_path(Recording, safe)
    Recording.calls.clear()
    made = [vorndal.uuid7(), *vorndal.uuid7_many(2), *vorndal._uuid7_at_many([1, 2])]
    assert Recording.calls == []
    assert all(type(m) is Recording and m.is_safe is safe for m in made)


def test_uuid7_gives_a_standard_uuid_of_the_sequence(vorndal, fast_path, pinned):
    fast_path(uuid.UUID, uuid.SafeUUID.safe)
    pinned.pin(900)
    made = vorndal.uuid7()
    assert type(made) is uuid.UUID
    assert made.is_safe is uuid.SafeUUID.safe
    assert type(made.int) is int
    assert made.version == 7
    assert made.variant == uuid.RFC_4122
    parts = decode(made.bytes)
    assert (parts.timestamp, parts.counter) == (pinned.timestamp, 901)
    assert made == uuid.UUID(str(made))
    assert pinned.next_counter() == 902


# --------------------------------------------------------------------------
# Classes that do not accept the attributes
# --------------------------------------------------------------------------


class ReadOnlyInt:
    __slots__ = ("is_safe",)

    @property
    def int(self):
        return 0


@pytest.mark.parametrize(
    ("cls", "message"),
    [
        (NoRoom, "'NoRoom' object has no attribute 'int'"),
        (IntOnly, "'IntOnly' object has no attribute 'is_safe'"),
        (ReadOnlyInt, "has no setter"),
        (object, "'object' object has no attribute 'int'"),
    ],
    ids=lambda v: v.__name__ if isinstance(v, type) else None,
)
def test_attribute_setter_errors_pass_through(vorndal, cls, message, fast_path, pinned):
    safe = object()
    fast_path(cls, safe)
    held = sys.getrefcount(safe) if CPYTHON else None
    pinned.pin(20)
    for call in (vorndal.uuid7, lambda: vorndal.uuid7_many(3), lambda: vorndal._uuid7_at_many([5, 6])):
        with pytest.raises(AttributeError, match=message):
            call()
    # uuid7 and the first element of uuid7_many generated an identifier each
    # before the instance could not be built; the independent ones do not count.
    assert pinned.next_counter() == 23
    # The half-built instances were released with their references.
    if CPYTHON:
        assert sys.getrefcount(safe) == held


# --------------------------------------------------------------------------
# The configuration is read afresh at every use
# --------------------------------------------------------------------------


def test_int_setter_that_reconfigures(vorndal, fast_path):
    old_safe, new_safe = object(), object()

    class Second:
        __slots__ = ("int", "is_safe")

    class Reconfiguring:
        def __get__(self, instance, owner=None):
            return self if instance is None else instance._value

        def __set__(self, instance, value):
            instance._value = value
            vorndal._configure_uuid7(Second, new_safe)

    class First:
        __slots__ = ("_value", "is_safe")
        int = Reconfiguring()

    fast_path(First, old_safe)
    one = vorndal.uuid7()
    assert type(one) is First and one.is_safe is new_safe

    fast_path(First, old_safe)
    batch = vorndal.uuid7_many(3)
    assert type(batch[0]) is First and batch[0].is_safe is new_safe
    assert [type(u) for u in batch[1:]] == [Second, Second]
    assert all(u.is_safe is new_safe for u in batch[1:])
    assert batch[0].int < batch[1].int < batch[2].int

    fast_path(First, old_safe)
    independent = vorndal._uuid7_at_many([7, 8, 9])
    assert [type(u) for u in independent] == [First, Second, Second]
    assert all(u.is_safe is new_safe for u in independent)
    assert [u.int >> 80 for u in independent] == [7, 8, 9]


def watching_int(on_set):
    """A class for the fast path whose int property calls on_set(value) first."""

    class Watching:
        __slots__ = ("_value", "is_safe")

        def _set(self, value):
            on_set(value)
            self._value = value

        int = property(lambda self: self._value, _set)

    return Watching


def test_timestamps_are_copied_before_python_code_runs(vorndal, fast_path):
    source = [100, 200, 300]
    fast_path(watching_int(lambda value: source.__setitem__(slice(None), [2**60, "bad"])), None)
    made = vorndal._uuid7_at_many(source)
    assert [m.int >> 80 for m in made] == [100, 200, 300]


# --------------------------------------------------------------------------
# Plain slots are filled directly; every change to the class is followed
# --------------------------------------------------------------------------


class Recorder:
    """A data descriptor that keeps what is assigned through it."""

    def __init__(self):
        self.assigned = []

    def __get__(self, instance, owner=None):
        if instance is None:
            return self
        return next(value for holder, value in reversed(self.assigned) if holder is instance)

    def __set__(self, instance, value):
        self.assigned.append((instance, value))


def fresh_slotted_pair():
    class Base:
        __slots__ = ("int", "is_safe")

    class Child(Base):
        __slots__ = ()

    return Base, Child


@pytest.mark.parametrize("name", ["int", "is_safe"])
@pytest.mark.parametrize("changed", ["configured class", "its base"])
def test_a_slot_replaced_after_use_is_assigned_through_its_new_descriptor(vorndal, name, changed, fast_path):
    base, child = fresh_slotted_pair()
    safe = object()
    fast_path(child, safe)
    before = vorndal.uuid7()
    assert before.is_safe is safe and (before.int >> 76) & 0xF == 7
    before_int = before.int
    recorder = Recorder()
    setattr(child if changed == "configured class" else base, name, recorder)
    after = vorndal.uuid7()
    assert len(recorder.assigned) == 1 and recorder.assigned[0][0] is after
    expected = safe if name == "is_safe" else after.int
    assert recorder.assigned[0][1] is expected
    assert after.int > before_int and after.is_safe is safe


def test_a_descriptor_in_a_subclass_shadows_the_slot_of_its_base(vorndal, fast_path):
    recorder = Recorder()

    class Shadowing(Slotted):
        __slots__ = ()
        int = recorder

    fast_path(Shadowing, None)
    made = vorndal.uuid7_many(2)
    assert [holder for holder, _ in recorder.assigned] == made
    assert made[0].int < made[1].int and (made[0].int >> 76) & 0xF == 7


def test_slots_spread_over_a_class_and_its_base(vorndal, fast_path):
    safe = object()
    fast_path(SplitSlotsChild, safe)
    made = vorndal.uuid7_many(3) + [vorndal.uuid7()]
    assert all(type(u) is SplitSlotsChild and u.is_safe is safe for u in made)
    ints = [u.int for u in made]
    assert ints == sorted(ints) and len(set(ints)) == 4
    assert all((value >> 76) & 0xF == 7 and (value >> 62) & 0b11 == 0b10 for value in ints)


def test_a_slot_for_int_and_a_dictionary_for_is_safe(vorndal, fast_path):
    safe = object()
    fast_path(HalfSlotted, safe)
    for made in [vorndal.uuid7(), *vorndal.uuid7_many(2)]:
        assert made.__dict__ == {"is_safe": safe}
        assert (made.int >> 76) & 0xF == 7


def test_a_slot_descriptor_of_another_class_is_refused_as_by_attribute_setting(vorndal, fast_path):
    with pytest.raises(TypeError) as by_attribute_setting:
        object.__new__(ForeignSlot).int = 0
    # CPython: "descriptor 'int' for 'Slotted' objects doesn't apply to a 'ForeignSlot' object"
    assert "'Slotted'" in str(by_attribute_setting.value)
    fast_path(ForeignSlot, None)
    with pytest.raises(TypeError, match=f"^{re.escape(str(by_attribute_setting.value))}$"):
        vorndal.uuid7()


@pytest.mark.parametrize(
    "cls",
    [uuid.UUID, type("Sub", (uuid.UUID,), {"__slots__": ()}), type("WithDictSub", (uuid.UUID,), {})],
    ids=["UUID", "slotted subclass", "subclass with a dict"],
)
def test_uuid_classes_get_both_attributes(vorndal, cls, fast_path):
    fast_path(cls, uuid.SafeUUID.safe)
    for made in [vorndal.uuid7(), *vorndal.uuid7_many(2), *vorndal._uuid7_at_many([9])]:
        assert type(made) is cls and made.is_safe is uuid.SafeUUID.safe
        assert made.version == 7 and uuid.UUID(str(made)) == made
        assert not getattr(made, "__dict__", {})


# --------------------------------------------------------------------------
# _uuid7_at_many
# --------------------------------------------------------------------------


class Colour(enum.IntEnum):
    RED = 12345


class Millis(int):
    pass


# Iterators are made afresh for each run of a test (each implementation's).
@pytest.mark.parametrize(
    ("argument", "timestamps"),
    [
        ([0], [0]),
        ([MAX_MS], [MAX_MS]),
        ((1, 2, 3), [1, 2, 3]),
        (lambda: iter([5, 4]), [5, 4]),
        (lambda: (t for t in (9, 8, 7)), [9, 8, 7]),
        (range(3), [0, 1, 2]),
        ([Colour.RED, Millis(77)], [12345, 77]),
        ({42: None}, [42]),
    ],
    ids=["zero", "last", "tuple", "iterator", "generator", "range", "int-subclasses", "dict"],
)
def test_uuid7_at_many_carries_each_timestamp(vorndal, argument, timestamps, fast_path):
    fast_path(uuid.UUID, None)
    made = vorndal._uuid7_at_many(argument() if callable(argument) else argument)
    assert type(made) is list
    assert all(type(m) is uuid.UUID for m in made)
    assert [decode(m.bytes).timestamp for m in made] == timestamps
    for m in made:
        assert m.version == 7 and m.variant == uuid.RFC_4122


def test_uuid7_at_many_last_timestamp_bytes(vorndal, fast_path):
    fast_path(uuid.UUID, None)
    (made,) = vorndal._uuid7_at_many([MAX_MS])
    assert made.bytes[:6] == b"\xff" * 6


def test_uuid7_at_many_leaves_the_sequence_alone(vorndal, fast_path, pinned):
    fast_path(uuid.UUID, None)
    pinned.pin(500)
    t = pinned.timestamp
    made = vorndal._uuid7_at_many([t, t, t, 0, t + 1])
    assert [m.int >> 80 for m in made] == [t, t, t, 0, t + 1]
    assert len({m.int for m in made}) == 5
    assert pinned.next_counter() == 501


@pytest.mark.parametrize(
    "empty", [[], (), lambda: iter([]), "", range(0)], ids=["list", "tuple", "iterator", "str", "range"]
)
def test_uuid7_at_many_empty_gives_a_new_list(vorndal, empty, fast_path):
    fast_path(uuid.UUID, None)
    empty = empty() if callable(empty) else empty
    result = vorndal._uuid7_at_many(empty)
    assert result == [] and type(result) is list and result is not empty


@pytest.mark.parametrize(
    ("argument", "error", "message"),
    [
        ([True], TypeError, type_error_at(0)),
        ([False], TypeError, type_error_at(0)),
        ([1.0], TypeError, type_error_at(0)),
        (["1"], TypeError, type_error_at(0)),
        ([None], TypeError, type_error_at(0)),
        ([5, 6, 7.0], TypeError, type_error_at(2)),
        ([0, 1, True], TypeError, type_error_at(2)),
        ([-1], ValueError, range_error_at(0)),
        ([2**64], ValueError, range_error_at(0)),
        ([2**48], ValueError, range_error_at(0)),
        ([2**64 - 1], ValueError, range_error_at(0)),
        ([2**63], ValueError, range_error_at(0)),
        ([2**63 - 1], ValueError, range_error_at(0)),
        ([-(2**63)], ValueError, range_error_at(0)),
        ([0, 2**48], ValueError, range_error_at(1)),
        ([1, 2, 3, -(2**70)], ValueError, range_error_at(3)),
        ([1, 2**48, 1.5], ValueError, range_error_at(1)),
        ("12", TypeError, type_error_at(0)),
    ],
    ids=lambda v: repr(v)[:30] if isinstance(v, (list, str)) else None,
)
def test_uuid7_at_many_validates_every_element_first(vorndal, argument, error, message, fast_path, pinned):
    built = []
    fast_path(watching_int(built.append), None)
    assert len(vorndal._uuid7_at_many([1])) == 1 and len(built) == 1
    pinned.pin(60)
    with pytest.raises(error, match=message):
        vorndal._uuid7_at_many(argument)
    assert len(built) == 1
    assert pinned.next_counter() == 61


@pytest.mark.parametrize("not_iterable", [5, None, 1.5], ids=repr)
def test_uuid7_at_many_needs_an_iterable(vorndal, not_iterable, fast_path):
    fast_path(uuid.UUID, None)
    with pytest.raises(TypeError, match="object is not iterable"):
        vorndal._uuid7_at_many(not_iterable)


def test_uuid7_at_many_passes_iteration_errors_through(vorndal, fast_path):
    fast_path(uuid.UUID, None)

    def failing():
        yield 1
        raise LookupError("from the iterable")

    with pytest.raises(LookupError, match="from the iterable"):
        vorndal._uuid7_at_many(failing())


# --------------------------------------------------------------------------
# The unconfigured module, in a fresh interpreter
# --------------------------------------------------------------------------

# After the module imported bare (testkit.BARE_IMPORTS), whose fast path no
# package code has configured; testkit is on the child's path.
PRELUDE = """
from testkit import FAR_FUTURE_MS, decode
NOT_CONFIGURED = "uuid7 object fast path is not configured"

def raises(error, message, call):
    try:
        call()
    except error as caught:
        assert str(caught) == message, (str(caught), message)
    else:
        raise AssertionError(f"{call} did not raise")

def next_counter():
    parts = decode(vorndal._generate_uuid7_bytes_for_tests(FAR_FUTURE_MS))
    assert parts.timestamp == FAR_FUTURE_MS
    return parts.counter
"""


def run_unconfigured(implementation: str, body: str) -> None:
    support = os.path.dirname(testkit.__file__)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [support, os.environ.get("PYTHONPATH")])))
    done = run_python(BARE_IMPORTS[implementation] + PRELUDE + textwrap.dedent(body), env=env)
    assert done.returncode == 0, output_of(done)


def test_unconfigured_uuid7_raises_and_generates_nothing(implementation):
    run_unconfigured(
        implementation,
        """
        vorndal._set_state_for_tests(FAR_FUTURE_MS, 10)
        raises(RuntimeError, NOT_CONFIGURED, vorndal.uuid7)
        raises(RuntimeError, NOT_CONFIGURED, vorndal.uuid7)
        assert next_counter() == 11
        """,
    )


def test_unconfigured_uuid7_many(implementation):
    run_unconfigured(
        implementation,
        """
        vorndal._set_state_for_tests(FAR_FUTURE_MS, 10)
        first, second = vorndal.uuid7_many(0), vorndal.uuid7_many(0)
        assert first == [] and second == [] and first is not second
        raises(RuntimeError, NOT_CONFIGURED, lambda: vorndal.uuid7_many(3))
        raises(ValueError, "count must be non-negative", lambda: vorndal.uuid7_many(-1))
        try:
            vorndal.uuid7_many(sys.maxsize // 8 + 1)
        except MemoryError:
            pass
        else:
            raise AssertionError("no MemoryError")
        assert next_counter() == 11
        """,
    )


def test_unconfigured_uuid7_at_many_validates_before_the_configuration_test(implementation):
    run_unconfigured(
        implementation,
        """
        for empty in ([], (), iter([])):
            result = vorndal._uuid7_at_many(empty)
            assert result == [] and type(result) is list and result is not empty
        raises(RuntimeError, NOT_CONFIGURED, lambda: vorndal._uuid7_at_many([0, 1]))
        raises(ValueError, "unix_ms[1] must be between 0 and 2**48 - 1",
               lambda: vorndal._uuid7_at_many([0, 2**48]))
        raises(TypeError, "unix_ms[0] must be an integer number of Unix milliseconds",
               lambda: vorndal._uuid7_at_many([True]))
        """,
    )


def test_first_configuration_switches_the_fast_path_on(implementation):
    run_unconfigured(
        implementation,
        """
        import uuid
        raises(RuntimeError, NOT_CONFIGURED, vorndal.uuid7)
        raises(TypeError, "uuid type must be a type", lambda: vorndal._configure_uuid7(5, None))
        raises(TypeError, "uuid type must be a Python class whose bases are plain Python classes or object",
               lambda: vorndal._configure_uuid7(int, None))
        raises(RuntimeError, NOT_CONFIGURED, vorndal.uuid7)
        vorndal._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
        made = vorndal.uuid7()
        assert type(made) is uuid.UUID and made.is_safe is uuid.SafeUUID.unknown and made.version == 7
        assert len(vorndal.uuid7_many(3)) == 3
        assert vorndal._uuid7_at_many([0])[0].int >> 80 == 0
        """,
    )
