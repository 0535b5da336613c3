"""The monotonic generator against a model of it: the Python implementation.

A private copy of the Python module, whose randomness is all zero bits,
takes every call the generator under test takes and predicts every field of
every identifier, except a counter freshly seeded at a new millisecond (the
model's is 0, which no counted-on identifier has): that one it learns from
the identifier, through its state hook.  For the native module the model
states the algorithm; for the Python one it checks that the calls of the
suite leave one generator as they leave a fresh copy.
"""

from __future__ import annotations

import importlib
import os
import types
import uuid

import pytest
import testkit
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, precondition, rule, run_state_machine_as_test
from testkit import MAX_COUNTER, MAX_MS, fields, now_ms, scale

U64 = 1 << 64
# The bits of an independent identifier that are not random: timestamp, version, variant.
FIXED_BITS = ((1 << 48) - 1) << 80 | 0xF << 76 | 0b11 << 62


def load_model():
    """A copy of the Python module of its own, whose every random byte is zero."""
    path = importlib.import_module(testkit.MODULES["python"]).__file__
    model = types.ModuleType("generator_model")
    model.__file__ = path
    with open(path, encoding="utf-8") as source:
        exec(compile(source.read(), path, "exec"), vars(model))
    assert model._urandom is os.urandom  # its one source of random bytes
    model._urandom = bytes
    model._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    return model


def timestamps():
    """Timestamps around interesting places, as offsets resolved at run time."""
    return st.one_of(
        st.integers(-3, 3).map(lambda d: ("last", d)),
        st.integers(-3, 0).map(lambda d: ("top", d)),
        st.integers(0, MAX_MS).map(lambda t: ("abs", t)),
        st.integers(0, 5).map(lambda t: ("abs", t)),
        st.integers(MAX_MS + 1, U64 - 1).map(lambda t: ("abs", t)),
        st.integers(-(2**70), -1).map(lambda t: ("abs", t)),
        st.integers(U64, 2**80).map(lambda t: ("abs", t)),
    )


def outcome(call):
    """What call() gave: ("value", its 128-bit value, or None) or ("error", type, message)."""
    try:
        result = call()
    except (OverflowError, ValueError, TypeError) as error:
        return ("error", type(error), str(error))
    if result is not None and not isinstance(result, (bytes, int)):
        result = result.int
    if isinstance(result, bytes):
        result = int.from_bytes(result, "big")
    return ("value", result)


class Generator(RuleBasedStateMachine):
    def __init__(self, module, model):
        super().__init__()
        self.module, self.model = module, model
        for generator in (module, model):
            generator._reset_state_for_tests()
        # Where the sequence is, for the rules' choices: initialised or not, its last timestamp.
        self.initialized = False
        self.last_ms = 0
        self.previous = None  # last monotonic identifier since a reset or a set

    # -- helpers ----------------------------------------------------------

    def resolve(self, choice):
        kind, value = choice
        if kind == "last":
            return self.last_ms + value
        if kind == "top":
            return MAX_MS + value
        return value

    def both(self, name, *args):
        """The function called on the generator and on the model: the same
        outcome, but for the random bits and a freshly seeded counter, which
        the model learns."""
        got = outcome(lambda: getattr(self.module, name)(*args))
        predicted = outcome(lambda: getattr(self.model, name)(*args))
        if predicted[0] == "error" or got[0] == "error":
            assert got == predicted
            return None
        ts, counter, _ = fields(got[1])
        model_ts, model_counter, model_tail = fields(predicted[1])
        assert model_tail == 0
        assert ts == model_ts
        if model_counter == 0:  # seeded: 0 only by the model's zero randomness
            self.model._set_state_for_tests(ts, counter)
        else:
            assert counter == model_counter
        if self.previous is not None:
            assert got[1] > self.previous
        self.previous = got[1]
        self.initialized, self.last_ms = True, ts
        return got[1]

    # -- rules ------------------------------------------------------------

    @rule()
    def reset(self):
        for generator in (self.module, self.model):
            generator._reset_state_for_tests()
        self.initialized = False
        self.last_ms = 0
        self.previous = None

    @rule(
        ts=st.one_of(
            st.integers(0, MAX_MS),
            st.integers(MAX_MS - 3, MAX_MS),
            st.integers(0, 3),
            st.integers(-(2**66), 2**66),
            st.integers(MAX_MS - 2, MAX_MS + 2),
        ),
        counter=st.one_of(
            st.integers(0, MAX_COUNTER),
            st.integers(MAX_COUNTER - 3, MAX_COUNTER),
            st.integers(-(2**66), 2**66),
            st.integers(MAX_COUNTER - 2, MAX_COUNTER + 2),
        ),
    )
    def set_state(self, ts, counter):
        got = outcome(lambda: self.module._set_state_for_tests(ts, counter))
        assert got == outcome(lambda: self.model._set_state_for_tests(ts, counter))
        if got == ("value", None):  # the state is set
            self.initialized, self.last_ms = True, ts % U64
            self.previous = None

    @rule(choice=timestamps())
    def generate_at(self, choice):
        self.both("_generate_uuid7_bytes_for_tests", self.resolve(choice))

    @rule(steps=st.integers(1, 40))
    def count_on(self, steps):
        """A run at the same millisecond."""
        for _ in range(steps):
            ts = self.last_ms if self.initialized else 0
            if self.both("_generate_uuid7_bytes_for_tests", ts) is None:
                return

    @precondition(lambda self: self.initialized and self.last_ms > now_ms() + 60_000)
    @rule(which=st.sampled_from(["generate_uuid7_bytes", "generate_uuid7_int", "uuid7_obj", "uuid7"]))
    def clock_driven_behind_the_state(self, which):
        """With the state ahead of the clock, a clock-driven call counts on."""
        self.both(which)

    @precondition(lambda self: not self.initialized or self.last_ms < now_ms() - 1000)
    @rule()
    def clock_driven_ahead_of_the_state(self):
        before = now_ms()
        result = self.module.generate_uuid7_bytes()
        after = now_ms()
        ts, counter, _ = fields(result)
        assert before <= ts <= after
        self.model._set_state_for_tests(ts, counter)
        if self.previous is not None:
            assert int.from_bytes(result, "big") > self.previous
        self.previous = int.from_bytes(result, "big")
        self.initialized, self.last_ms = True, ts

    @rule(choice=timestamps(), times=st.integers(1, 4))
    def independent(self, choice, times):
        """Independent identifiers in between leave the sequence alone."""
        raw = self.resolve(choice)
        for _ in range(times):
            got = outcome(lambda: self.module._generate_uuid7_at_bytes(raw))
            predicted = outcome(lambda: self.model._generate_uuid7_at_bytes(raw))
            if predicted[0] == "error" or got[0] == "error":
                assert got == predicted
            else:
                assert got[1] & FIXED_BITS == predicted[1] & FIXED_BITS
                assert got[1] >> 80 == raw


MODEL_SETTINGS = settings(
    max_examples=scale(int(os.environ.get("TEMBREL_MODEL_EXAMPLES", "400")), minimum=25),
    stateful_step_count=60,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)


@pytest.fixture(scope="module")
def model():
    return load_model()


def test_generator_model(vorndal, model):
    run_state_machine_as_test(lambda: Generator(vorndal, model), settings=MODEL_SETTINGS)
