"""Arbitrary objects for every function that takes arguments: only the
documented exceptions, never a crash, a partial result or a changed state
where none is allowed.

Each input is drawn as a description, from which both the object and the
expected outcome are made, so the oracle never has to call an object whose
behaviour changes from call to call."""

from __future__ import annotations

import enum
import os
import uuid

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from testkit import (
    BATCHES,
    FAR_FUTURE_MS,
    MAX_COUNTER,
    MAX_MS,
    OVERFLOW_MESSAGE,
    BadIndex,
    Boom,
    Index,
    LyingInt,
    MutatingIndex,
    NoRoom,
    RaisingIndex,
    Slotted,
    fields,
    scale,
)

U64 = 1 << 64
SSIZE_MIN, SSIZE_MAX = -(1 << 63), (1 << 63) - 1
START_COUNTER = 1000
TOO_BIG_TO_ALLOCATE = 1 << 40

SETTINGS = settings(
    max_examples=scale(int(os.environ.get("TEMBREL_FUZZ_EXAMPLES", "300")), minimum=20),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)


def fuzzed(**strategies):
    """A property test over the given strategies, with this file's settings."""
    return lambda test: SETTINGS(given(**strategies)(test))


# --------------------------------------------------------------------------
# Descriptions of objects.
# --------------------------------------------------------------------------


class Colour(enum.IntEnum):
    RED = 3
    BLUE = 70


interesting_ints = st.one_of(
    st.integers(-5, 40),
    st.integers(-(2**70), 2**70),
    st.sampled_from(
        [
            SSIZE_MIN - 1,
            SSIZE_MIN,
            -1,
            MAX_MS,
            MAX_MS + 1,
            MAX_COUNTER,
            MAX_COUNTER + 1,
            SSIZE_MAX,
            SSIZE_MAX + 1,
            U64 - 1,
            U64,
            U64 + 5,
            TOO_BIG_TO_ALLOCATE,
            -(2**64),
        ]
    ),
)

descriptions = st.one_of(
    st.tuples(st.just("int"), interesting_ints),
    st.tuples(st.just("bool"), st.booleans()),
    st.tuples(st.just("intsub"), interesting_ints),
    st.tuples(st.just("enum"), st.sampled_from(list(Colour))),
    st.tuples(st.just("index"), interesting_ints),
    st.tuples(st.just("mutating"), st.integers(0, 20)),
    st.tuples(st.just("raising"), st.none()),
    st.tuples(st.just("badindex"), st.none()),
    st.tuples(st.just("float"), st.floats(allow_nan=True)),
    st.tuples(st.just("str"), st.text(max_size=5)),
    st.tuples(st.just("bytes"), st.binary(max_size=5)),
    st.tuples(st.just("none"), st.none()),
    st.tuples(st.just("list"), st.lists(st.integers(0, 5), max_size=3)),
    st.tuples(st.just("complex"), st.complex_numbers(allow_nan=False, max_magnitude=10)),
)


def make(description, module):
    """The object a description stands for (a mutating one generates through module)."""
    kind, value = description
    return {
        "int": lambda: value,
        "bool": lambda: value,
        "intsub": lambda: LyingInt(value),
        "enum": lambda: value,
        "index": lambda: Index(value),
        "mutating": lambda: MutatingIndex(value, module),
        "raising": RaisingIndex,
        "badindex": BadIndex,
        "float": lambda: value,
        "str": lambda: value,
        "bytes": lambda: value,
        "none": lambda: None,
        "list": lambda: list(value),
        "complex": lambda: value,
    }[kind]()


def index_value(description):
    """What operator.index would make of it: (value, side effects) or the
    exception type."""
    kind, value = description
    if kind in ("int", "intsub", "index"):
        return int(value), 0
    if kind in ("bool", "enum"):
        return int(value), 0
    if kind == "mutating":
        return value, 1
    if kind == "raising":
        return Boom
    return TypeError


# --------------------------------------------------------------------------
# The state check: the monotonic state is parked far in the future with a
# known counter; afterwards the next identifier tells how far it moved.
# --------------------------------------------------------------------------


def park(vorndal):
    vorndal._reset_state_for_tests()
    vorndal._set_state_for_tests(FAR_FUTURE_MS, START_COUNTER)


def assert_moved(vorndal, steps):
    next_one = fields(vorndal._generate_uuid7_bytes_for_tests(FAR_FUTURE_MS))
    assert next_one[:2] == (FAR_FUTURE_MS, START_COUNTER + steps + 1)


# --------------------------------------------------------------------------
# The batch functions: one count, format "n".
# --------------------------------------------------------------------------


def batch_length(name, result):
    if name == "uuid7_bytes_many":
        assert isinstance(result, bytes) and len(result) % 16 == 0
        return len(result) // 16
    assert isinstance(result, list)
    return len(result)


@pytest.mark.parametrize("name", BATCHES)
@fuzzed(description=descriptions)
def test_batch_count(vorndal, name, description):
    park(vorndal)
    expected = index_value(description)
    call = getattr(vorndal, name)
    if isinstance(expected, type):
        with pytest.raises(expected):
            call(make(description, vorndal))
        assert_moved(vorndal, 0)
        return
    count, side_effects = expected
    # A count that fits in memory but would take long to fill proves
    # nothing more than a small one.
    assume(not 10_000 < count < TOO_BIG_TO_ALLOCATE)
    if count < SSIZE_MIN or count > SSIZE_MAX:
        with pytest.raises(OverflowError):
            call(make(description, vorndal))
    elif count < 0:
        with pytest.raises(ValueError, match="^count must be non-negative$"):
            call(make(description, vorndal))
    elif count >= TOO_BIG_TO_ALLOCATE:
        with pytest.raises(MemoryError):
            call(make(description, vorndal))
    else:
        result = call(make(description, vorndal))
        assert batch_length(name, result) == count
        assert_moved(vorndal, side_effects + count)
        return
    assert_moved(vorndal, side_effects)


# --------------------------------------------------------------------------
# Every other number of arguments, and any keyword, for the batch functions
# (one count) and the functions that take no argument.
# --------------------------------------------------------------------------

ARITIES = {
    **dict.fromkeys(BATCHES, 1),
    **dict.fromkeys(
        [
            "generate_uuid7",
            "generate_uuid7_bytes",
            "generate_uuid7_int",
            "uuid7",
            "uuid7_obj",
            "_reset_state_for_tests",
        ],
        0,
    ),
}


@pytest.mark.parametrize("name", ARITIES)
@fuzzed(
    args=st.lists(descriptions, max_size=3),
    keywords=st.dictionaries(st.sampled_from(["n", "count", "x", "a"]), descriptions, max_size=2),
)
def test_other_arities_and_keywords(vorndal, name, args, keywords):
    if len(args) == ARITIES[name] and not keywords:
        return  # the calls the tests above and below make
    park(vorndal)
    with pytest.raises(TypeError):
        getattr(vorndal, name)(
            *(make(d, vorndal) for d in args), **{k: make(d, vorndal) for k, d in keywords.items()}
        )
    assert_moved(vorndal, 0)


# --------------------------------------------------------------------------
# The masking hooks: _set_state_for_tests, _generate_uuid7_bytes_for_tests.
# --------------------------------------------------------------------------


def k_value(description):
    expected = index_value(description)
    if isinstance(expected, type):
        return expected
    value, side_effects = expected
    return value % U64, side_effects


@fuzzed(ts=descriptions, counter=descriptions)
def test_set_state(vorndal, ts, counter):
    park(vorndal)
    expected_ts, expected_counter = k_value(ts), k_value(counter)
    if isinstance(expected_ts, type):
        with pytest.raises(expected_ts):
            vorndal._set_state_for_tests(make(ts, vorndal), make(counter, vorndal))
        assert_moved(vorndal, 0)
        return
    if isinstance(expected_counter, type):
        with pytest.raises(expected_counter):
            vorndal._set_state_for_tests(make(ts, vorndal), make(counter, vorndal))
        assert_moved(vorndal, expected_ts[1])
        return
    (t, t_moves), (c, c_moves) = expected_ts, expected_counter
    if t > MAX_MS or c > MAX_COUNTER:
        with pytest.raises(ValueError, match="^state exceeds timestamp or counter width$"):
            vorndal._set_state_for_tests(make(ts, vorndal), make(counter, vorndal))
        assert_moved(vorndal, t_moves + c_moves)
        return
    assert vorndal._set_state_for_tests(make(ts, vorndal), make(counter, vorndal)) is None
    if c < MAX_COUNTER:
        assert fields(vorndal._generate_uuid7_bytes_for_tests(t))[:2] == (t, c + 1)
    elif t < MAX_MS:
        assert fields(vorndal._generate_uuid7_bytes_for_tests(t))[0] == t + 1
    else:
        with pytest.raises(OverflowError, match=f"^{OVERFLOW_MESSAGE}$"):
            vorndal._generate_uuid7_bytes_for_tests(t)


@fuzzed(ts=descriptions)
def test_generate_bytes_for_tests(vorndal, ts):
    park(vorndal)
    expected = k_value(ts)
    if isinstance(expected, type):
        with pytest.raises(expected):
            vorndal._generate_uuid7_bytes_for_tests(make(ts, vorndal))
        assert_moved(vorndal, 0)
        return
    t, moves = expected
    if t > MAX_MS:
        with pytest.raises(OverflowError, match=f"^{OVERFLOW_MESSAGE}$"):
            vorndal._generate_uuid7_bytes_for_tests(make(ts, vorndal))
        assert_moved(vorndal, moves)
        return
    got = fields(vorndal._generate_uuid7_bytes_for_tests(make(ts, vorndal)))
    if t <= FAR_FUTURE_MS:
        assert got[:2] == (FAR_FUTURE_MS, START_COUNTER + moves + 1)
    else:
        assert got[0] == t


# --------------------------------------------------------------------------
# _generate_uuid7_at_bytes: one int, no __index__.
# --------------------------------------------------------------------------


@fuzzed(ts=descriptions)
def test_generate_at_bytes(vorndal, ts):
    park(vorndal)
    kind, value = ts
    if kind not in ("int", "bool", "intsub", "enum"):
        with pytest.raises(TypeError):
            vorndal._generate_uuid7_at_bytes(make(ts, vorndal))
    elif value < 0 or value >= U64:
        with pytest.raises(OverflowError) as caught:
            vorndal._generate_uuid7_at_bytes(make(ts, vorndal))
        assert str(caught.value) != OVERFLOW_MESSAGE  # the interpreter's own
    elif value > MAX_MS:
        with pytest.raises(OverflowError, match=f"^{OVERFLOW_MESSAGE}$"):
            vorndal._generate_uuid7_at_bytes(make(ts, vorndal))
    else:
        result = vorndal._generate_uuid7_at_bytes(make(ts, vorndal))
        assert len(result) == 16 and int.from_bytes(result[:6], "big") == int(value)
        assert result[6] >> 4 == 7 and result[8] >> 6 == 0b10
    assert_moved(vorndal, 0)


# --------------------------------------------------------------------------
# _uuid7_at_many: any iterable, every element checked before anything is made.
# --------------------------------------------------------------------------


def element_error(index, description):
    """The exception for a bad element, or None for a good one."""
    kind, value = description
    if kind == "bool" or kind not in ("int", "intsub", "enum"):
        return TypeError, rf"unix_ms\[{index}\] must be an integer number of Unix milliseconds"
    if not 0 <= value <= MAX_MS:
        return ValueError, rf"unix_ms\[{index}\] must be between 0 and 2\*\*48 - 1"
    return None


def raising_after(items, count):
    yield from items[:count]
    raise Boom("iteration")


def mutating_generator(vorndal, items):
    """Generates a monotonic identifier while being consumed."""
    for item in items:
        vorndal._generate_uuid7_bytes_for_tests(0)
        yield item


containers = st.sampled_from(["list", "tuple", "generator", "raising", "mutating"])
timestamps_elements = st.one_of(
    descriptions,
    st.tuples(st.just("int"), st.integers(0, MAX_MS)),
    st.tuples(st.just("int"), st.integers(0, MAX_MS)),
)


@fuzzed(container=containers, elements=st.lists(timestamps_elements, max_size=6), stop=st.integers(0, 6))
def test_uuid7_at_many(vorndal, container, elements, stop):
    park(vorndal)
    items = [make(d, vorndal) for d in elements]
    moves = 0
    if container == "list":
        argument = items
    elif container == "tuple":
        argument = tuple(items)
    elif container == "generator":
        argument = iter(items)
    elif container == "mutating":
        argument = mutating_generator(vorndal, items)
        moves = len(items)
    else:
        argument = raising_after(items, stop)
        moves = None
    if moves is None:
        with pytest.raises(Boom, match="^iteration$"):
            vorndal._uuid7_at_many(argument)
        assert_moved(vorndal, 0)
        return
    errors = [e for e in (element_error(i, d) for i, d in enumerate(elements)) if e]
    if errors:
        kind, message = errors[0]
        with pytest.raises(kind, match=f"^{message}$"):
            vorndal._uuid7_at_many(argument)
    else:
        result = vorndal._uuid7_at_many(argument)
        assert isinstance(result, list) and len(result) == len(elements)
        for made, (_, value) in zip(result, elements, strict=True):
            assert type(made) is uuid.UUID and made.is_safe is uuid.SafeUUID.unknown
            assert made.int >> 80 == int(value) and made.version == 7
    assert_moved(vorndal, moves)


@fuzzed(argument=descriptions)
def test_uuid7_at_many_single_objects(vorndal, argument):
    """Any single object as the argument: iterable or not."""
    obj = make(argument, vorndal)
    park(vorndal)
    try:
        values = list(obj)
    except TypeError:
        with pytest.raises(TypeError):
            vorndal._uuid7_at_many(obj)
    else:
        bad = [
            i
            for i, x in enumerate(values)
            if type(x) is bool or not isinstance(x, int) or not 0 <= x <= MAX_MS
        ]
        if bad:
            with pytest.raises((TypeError, ValueError), match=rf"^unix_ms\[{bad[0]}\]"):
                vorndal._uuid7_at_many(obj)
        else:
            assert [u.int >> 80 for u in vorndal._uuid7_at_many(obj)] == values
    assert_moved(vorndal, 0)


# --------------------------------------------------------------------------
# _configure_uuid7.
# --------------------------------------------------------------------------


class Meta(type):
    pass


class WithMeta(metaclass=Meta):
    pass


class WithDict:
    pass


class SetattrRefuses:
    __slots__ = ("int", "is_safe")

    def __setattr__(self, name, value):  # bypassed by the fast path
        raise Boom("setattr")


CLASSES = [
    uuid.UUID,
    Slotted,
    WithDict,
    NoRoom,
    WithMeta,
    SetattrRefuses,
    object,
    int,
    str,
    type,
    bool,
    BaseException,
    Boom,
    LyingInt,
    dict,
    Meta,
]

configure_arguments = st.one_of(
    descriptions.map(lambda d: make(d, None)),  # never converted: no module to generate through
    st.sampled_from(CLASSES),
    st.sampled_from([uuid.SafeUUID.safe, uuid.SafeUUID.unknown, None, uuid.UUID(int=0)]),
)


def usable(cls):
    """Classes that the fast path takes: Python classes down to object."""
    return all(c is object or c.__flags__ & (1 << 9) for c in cls.__mro__) and cls.__itemsize__ == 0


@fuzzed(args=st.lists(configure_arguments, max_size=3))
def test_configure(vorndal, args):
    park(vorndal)
    vorndal._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    if len(args) != 2:
        with pytest.raises(TypeError, match=r"^_configure_uuid7\(\) expects uuid type and safe value$"):
            vorndal._configure_uuid7(*args)
    elif not isinstance(args[0], type):
        with pytest.raises(TypeError, match="^uuid type must be a type$"):
            vorndal._configure_uuid7(*args)
    elif not usable(args[0]):
        with pytest.raises(TypeError):
            vorndal._configure_uuid7(*args)
    else:
        assert vorndal._configure_uuid7(*args) is None
        cls, safe = args
        if cls in (NoRoom, object):
            with pytest.raises(AttributeError):
                vorndal.uuid7()
        else:
            made = vorndal.uuid7()
            assert type(made) is cls and made.is_safe is safe
            assert fields(made.int)[:2] == (FAR_FUTURE_MS, START_COUNTER + 1)
        assert_moved(vorndal, 1)  # generated even when the instance could not be built
        return
    made = vorndal.uuid7()
    assert type(made) is uuid.UUID and made.is_safe is uuid.SafeUUID.unknown
    assert_moved(vorndal, 1)


@fuzzed(
    keywords=st.dictionaries(
        st.sampled_from(["uuid_type", "safe", "cls"]), configure_arguments, min_size=1, max_size=2
    )
)
def test_configure_refuses_keywords(vorndal, keywords):
    with pytest.raises(TypeError):
        vorndal._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown, **keywords)
    assert type(vorndal.uuid7()) is uuid.UUID
