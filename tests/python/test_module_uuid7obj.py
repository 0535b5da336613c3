"""The compact native type UUID7Obj and what uuid7_obj() makes.  (What every
generating function shares: test_module_sequence.py.)"""

from __future__ import annotations

import copy
import gc
import operator
import pickle
import re
import sys
import uuid
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from testkit import CPYTHON, make_obj

pytestmark = pytest.mark.usefixtures("reset_generator")

IMMUTABLE = "^UUID objects are immutable$"
WORD = st.integers(min_value=0, max_value=2**64 - 1)
# The reset fixture need not run per example.
property_settings = settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])

EXAMPLE_HIGH = 0x018F2B3C4D5E7ABC
EXAMPLE_LOW = 0x8123456789ABCDEF
EXAMPLE_TEXT = "018f2b3c-4d5e-7abc-8123-456789abcdef"

ATTRIBUTE_DOCS = {
    "int": "UUID as a 128-bit integer",
    "bytes": "UUID as 16 big-endian bytes",
    "bytes_le": "UUID as 16 little-endian field bytes",
    "hex": "UUID as 32 lowercase hexadecimal digits",
    "time": "UUIDv7 Unix timestamp in milliseconds",
    "timestamp": "UUIDv7 Unix timestamp in milliseconds",
    "urn": "UUID URN",
    "version": "UUID version",
    "variant": "UUID variant",
    "fields": "UUID fields tuple",
}


@pytest.fixture
def UUID7Obj(vorndal):  # noqa: N802 (the type, under its own name)
    return vorndal.UUID7Obj


@pytest.fixture
def with_words(vorndal):
    """An instance holding any chosen words."""
    return lambda high, low: make_obj(vorndal, high, low)


# --------------------------------------------------------------------------
# The type object
# --------------------------------------------------------------------------


def test_type_identity(vorndal, UUID7Obj):
    assert UUID7Obj.__module__ == vorndal.__name__
    assert UUID7Obj.__name__ == "UUID7Obj"
    assert UUID7Obj.__qualname__ == "UUID7Obj"
    assert UUID7Obj.__doc__ == "Compact native UUIDv7 object"
    assert UUID7Obj.__bases__ == (object,)
    assert not issubclass(UUID7Obj, uuid.UUID)


def test_instance_has_no_dictionary_and_no_weak_references(vorndal, UUID7Obj):
    obj = vorndal.uuid7_obj()
    assert type(obj) is UUID7Obj
    assert not hasattr(obj, "__dict__")
    if CPYTHON:  # PyPy makes weak references to any object
        with pytest.raises(TypeError, match="cannot create weak reference"):
            weakref.ref(obj)


@pytest.mark.native_only("the instance layout: an object header and two words, not tracked by the collector")
def test_instance_is_header_and_two_words_only(UUID7Obj, vorndal):
    obj = vorndal.uuid7_obj()
    assert sys.getsizeof(obj) == 32
    assert UUID7Obj.__itemsize__ == 0
    assert UUID7Obj.__dictoffset__ == 0
    assert UUID7Obj.__weakrefoffset__ == 0
    assert not gc.is_tracked(obj)


# Each implementation's kind of attribute: a C getter, or a Python property.
ATTRIBUTE_TYPES = {"native": "getset_descriptor", "python": "property"}


def test_attribute_table_and_docstrings(UUID7Obj, implementation):
    kind = ATTRIBUTE_TYPES[implementation]
    getsets = {name for name, value in vars(UUID7Obj).items() if type(value).__name__ == kind}
    assert getsets == set(ATTRIBUTE_DOCS)
    for name, doc in ATTRIBUTE_DOCS.items():
        assert vars(UUID7Obj)[name].__doc__ == doc, name
    assert vars(UUID7Obj)["__bytes__"].__doc__ == "Return the UUID as bytes"


def test_type_cannot_be_subclassed(UUID7Obj):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (UUID7Obj,), {})


@pytest.mark.parametrize(
    ("construct", "through_object_new"),
    [
        pytest.param(lambda UUID7Obj: UUID7Obj(), False, id="call"),
        pytest.param(lambda UUID7Obj: UUID7Obj(0), False, id="call-with-argument"),
        pytest.param(lambda UUID7Obj: UUID7Obj.__new__(UUID7Obj), True, id="dunder-new"),
        pytest.param(
            lambda UUID7Obj: object.__new__(UUID7Obj),
            True,
            marks=pytest.mark.native_only("object.__new__ makes an instance of any Python class"),
            id="object-new",
        ),
    ],
)
def test_type_has_no_constructor(vorndal, UUID7Obj, construct, through_object_new):
    refused = f"cannot create '{re.escape(vorndal.__name__)}\\.UUID7Obj' instances"
    if through_object_new and sys.version_info < (3, 12):
        # CPython 3.11's object.__new__ refuses a type without a constructor in words of its own.
        refused += rf"|^object\.__new__\({re.escape(vorndal.__name__)}\.UUID7Obj\) is not safe"
    with pytest.raises(TypeError, match=refused):
        construct(UUID7Obj)


@pytest.mark.parametrize(
    "duplicate",
    [
        pickle.dumps,
        lambda o: pickle.dumps(o, protocol=0),
        lambda o: pickle.dumps(o, protocol=5),
        copy.copy,
        copy.deepcopy,
    ],
    ids=["pickle", "pickle-0", "pickle-5", "copy", "deepcopy"],
)
def test_no_pickling_or_copying(vorndal, duplicate):
    with pytest.raises(TypeError):
        duplicate(vorndal.uuid7_obj())


# --------------------------------------------------------------------------
# Worked examples
# --------------------------------------------------------------------------


def test_worked_example_views(with_words):
    obj = with_words(EXAMPLE_HIGH, EXAMPLE_LOW)
    assert str(obj) == EXAMPLE_TEXT
    assert repr(obj) == f"UUID('{EXAMPLE_TEXT}')"
    assert obj.urn == f"urn:uuid:{EXAMPLE_TEXT}"
    assert obj.hex == "018f2b3c4d5e7abc8123456789abcdef"
    assert obj.bytes == bytes.fromhex("01 8f 2b 3c 4d 5e 7a bc 81 23 45 67 89 ab cd ef")
    assert obj.bytes_le == bytes.fromhex("3c 2b 8f 01 5e 4d bc 7a 81 23 45 67 89 ab cd ef")
    assert obj.int == 2072603367802668490763652334214696431
    assert obj.time == 1714417323358
    assert obj.timestamp == 1714417323358
    assert obj.fields == (26159932, 19806, 31420, 129, 35, 76310993685999)
    assert obj.version == 7
    assert obj.variant == "specified in RFC 4122"
    assert hash(obj) == -810709966582343830


def test_hash_that_would_be_minus_one_becomes_minus_two(with_words):
    obj = with_words(0x7FFFFFFF017D788B, 0x8000000000000019)
    assert str(obj) == "7fffffff-017d-788b-8000-000000000019"
    assert hash(obj) == -2


# --------------------------------------------------------------------------
# Views of any pair of words, checked against the standard library
# --------------------------------------------------------------------------


@property_settings
@given(high=WORD, low=WORD)
def test_views_agree_with_the_standard_library(with_words, high, low):
    obj = with_words(high, low)
    value = (high << 64) | low
    reference = uuid.UUID(int=value)
    assert str(obj) == str(reference)
    assert repr(obj) == f"UUID('{reference}')"
    assert obj.urn == reference.urn
    assert obj.hex == reference.hex
    assert obj.bytes == reference.bytes
    assert obj.bytes_le == reference.bytes_le
    assert obj.fields == reference.fields
    assert obj.int == int(obj) == obj.__int__() == operator.index(obj) == value
    assert bytes(obj) == obj.__bytes__() == obj.bytes == value.to_bytes(16, "big")
    assert hex(obj) == hex(value)
    assert f"{obj}" == format(obj, "") == str(obj)
    assert obj.time == obj.timestamp == value >> 80 == high >> 16
    assert obj.version == 7
    assert obj.variant == "specified in RFC 4122"
    (time_low, time_mid, time_hi_version, clock_seq_hi_variant, clock_seq_low, node) = obj.fields
    assert (time_low << 96) | (time_mid << 80) | (time_hi_version << 64) | (clock_seq_hi_variant << 56) | (
        clock_seq_low << 48
    ) | node == value


@property_settings
@given(left=st.tuples(WORD, WORD), right=st.tuples(WORD, WORD))
def test_comparisons_order_as_unsigned_128_bit_numbers(with_words, left, right):
    a = with_words(*left)
    b = with_words(*right)
    va = (left[0] << 64) | left[1]
    vb = (right[0] << 64) | right[1]
    for compare in (operator.lt, operator.le, operator.eq, operator.ne, operator.gt, operator.ge):
        assert compare(a, b) is compare(va, vb)


# Pairs where a signed comparison, or one that looks at the low word first,
# gives the wrong answer.
TRICKY_PAIRS = [
    ((0, 2**64 - 1), (1, 0)),
    ((2**63 - 1, 2**64 - 1), (2**63, 0)),
    ((5, 2**63 - 1), (5, 2**63)),
    ((2**64 - 1, 0), (2**64 - 1, 1)),
    ((7, 7), (7, 7)),
]


@pytest.mark.parametrize(("left", "right"), TRICKY_PAIRS)
@pytest.mark.parametrize(
    "compare",
    [operator.lt, operator.le, operator.eq, operator.ne, operator.gt, operator.ge],
    ids=["lt", "le", "eq", "ne", "gt", "ge"],
)
def test_comparison_edge_words(with_words, left, right, compare):
    va = (left[0] << 64) | left[1]
    vb = (right[0] << 64) | right[1]
    assert compare(with_words(*left), with_words(*right)) is compare(va, vb)
    assert compare(with_words(*right), with_words(*left)) is compare(vb, va)


def test_equal_instances_are_interchangeable_keys(with_words):
    a = with_words(EXAMPLE_HIGH, EXAMPLE_LOW)
    b = with_words(EXAMPLE_HIGH, EXAMPLE_LOW)
    assert a is not b
    assert a == b and hash(a) == hash(b)
    assert {a: 1}[b] == 1
    assert len({a, b, with_words(EXAMPLE_HIGH, EXAMPLE_LOW + 1)}) == 2


def test_every_instance_is_true(vorndal, with_words):
    assert bool(with_words(0, 0)) is True
    assert bool(vorndal.uuid7_obj()) is True


def test_usable_as_an_index(with_words):
    assert [10, 11, 12][with_words(0, 2)] == 12
    assert operator.index(with_words(0, 0)) == 0


# --------------------------------------------------------------------------
# Foreign objects of the same value
# --------------------------------------------------------------------------


def _same_value_objects(obj):
    return [
        uuid.UUID(int=obj.int),
        obj.int,
        str(obj),
        obj.hex,
        obj.bytes,
    ]


@pytest.mark.parametrize("index", range(5), ids=["uuid.UUID", "int", "str", "hex", "bytes"])
def test_never_equal_to_a_foreign_object_of_the_same_value(vorndal, index):
    obj = vorndal.uuid7_obj()
    other = _same_value_objects(obj)[index]
    assert (obj == other) is False
    assert (other == obj) is False
    assert (obj != other) is True
    assert (other != obj) is True


@pytest.mark.parametrize("index", range(3), ids=["uuid.UUID", "int", "str"])
@pytest.mark.parametrize(
    "compare", [operator.lt, operator.le, operator.gt, operator.ge], ids=["lt", "le", "gt", "ge"]
)
def test_ordering_against_a_foreign_object_raises(vorndal, index, compare):
    obj = vorndal.uuid7_obj()
    other = _same_value_objects(obj)[index]
    with pytest.raises(TypeError, match="not supported between instances"):
        compare(obj, other)
    with pytest.raises(TypeError, match="not supported between instances"):
        compare(other, obj)


# --------------------------------------------------------------------------
# Immutability
# --------------------------------------------------------------------------


@pytest.mark.parametrize("name", [*ATTRIBUTE_DOCS, "nonexistent", "__class__", "__doc__", "high", "low"])
def test_every_attribute_refuses_assignment_and_deletion(with_words, name):
    obj = with_words(EXAMPLE_HIGH, EXAMPLE_LOW)
    with pytest.raises(TypeError, match=IMMUTABLE):
        setattr(obj, name, 1)
    with pytest.raises(TypeError, match=IMMUTABLE):
        delattr(obj, name)
    assert str(obj) == EXAMPLE_TEXT


def test_assignment_statements_are_refused(vorndal):
    obj = vorndal.uuid7_obj()
    before = obj.int
    with pytest.raises(TypeError, match=IMMUTABLE):
        obj.int = 0
    with pytest.raises(TypeError, match=IMMUTABLE):
        del obj.hex
    assert obj.int == before
