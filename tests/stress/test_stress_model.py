"""The monotonic generator against a small model of it.

The model holds what the generator holds (initialised or not, last timestamp,
last counter) and predicts every field of every identifier, except a counter
freshly seeded at a new millisecond: that one it learns from the identifier.
"""

from __future__ import annotations

import os

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, precondition, rule
from tembrel.tembrel_impl import vorndal
from testkit import MAX_COUNTER, MAX_MS, OVERFLOW_MESSAGE, fields, now_ms, scale

U64 = 1 << 64


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


class Generator(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        vorndal._reset_state_for_tests()
        self.initialized = False
        self.last_ms = 0
        self.counter = 0
        self.previous = None  # last monotonic identifier since a reset or a set

    # -- helpers ----------------------------------------------------------

    def resolve(self, choice):
        kind, value = choice
        if kind == "last":
            return self.last_ms + value
        if kind == "top":
            return MAX_MS + value
        return value

    def expect_next(self, ts):
        """What the next monotonic identifier at ts must be: ("overflow",),
        ("exact", ts, counter) or ("seed", ts)."""
        if ts > MAX_MS:
            return ("overflow",)
        if self.initialized and self.last_ms >= ts:
            following = (self.counter + 1) & MAX_COUNTER
            if following:
                return ("exact", self.last_ms, following)
            if self.last_ms == MAX_MS:
                return ("overflow",)
            return ("seed", self.last_ms + 1)
        return ("seed", ts)

    def check(self, expected, result):
        ts, counter, _ = fields(result)
        if expected[0] == "exact":
            assert (ts, counter) == expected[1:]
        else:
            assert ts == expected[1]
        if self.previous is not None:
            assert int.from_bytes(result, "big") > self.previous
        self.previous = int.from_bytes(result, "big")
        self.initialized, self.last_ms, self.counter = True, ts, counter

    def overflow(self, call):
        with pytest.raises(OverflowError) as caught:
            call()
        return caught

    # -- rules ------------------------------------------------------------

    @rule()
    def reset(self):
        vorndal._reset_state_for_tests()
        self.initialized = False
        self.last_ms = self.counter = 0
        self.previous = None

    @rule(
        ts=st.one_of(st.integers(0, MAX_MS), st.integers(MAX_MS - 3, MAX_MS), st.integers(0, 3)),
        counter=st.one_of(st.integers(0, MAX_COUNTER), st.integers(MAX_COUNTER - 3, MAX_COUNTER)),
    )
    def set_state(self, ts, counter):
        self._apply_set(ts, counter)

    @rule(
        ts=st.one_of(st.integers(-(2**66), 2**66), st.integers(MAX_MS - 2, MAX_MS + 2)),
        counter=st.one_of(st.integers(-(2**66), 2**66), st.integers(MAX_COUNTER - 2, MAX_COUNTER + 2)),
    )
    def set_state_any(self, ts, counter):
        # The hook reduces both modulo 2**64 before the range tests.
        if ts % U64 > MAX_MS or counter % U64 > MAX_COUNTER:
            with pytest.raises(ValueError, match="^state exceeds timestamp or counter width$"):
                vorndal._set_state_for_tests(ts, counter)
        else:
            vorndal._set_state_for_tests(ts, counter)
            self.initialized, self.last_ms, self.counter = True, ts % U64, counter % U64
            self.previous = None

    def _apply_set(self, ts, counter):
        vorndal._set_state_for_tests(ts, counter)
        self.initialized, self.last_ms, self.counter = True, ts, counter
        self.previous = None

    @rule(choice=timestamps())
    def generate_at(self, choice):
        raw = self.resolve(choice)
        ts = raw % U64  # the hook reduces any int modulo 2**64
        expected = self.expect_next(ts)
        if expected[0] == "overflow":
            caught = self.overflow(lambda: vorndal._generate_uuid7_bytes_for_tests(raw))
            assert str(caught.value) == OVERFLOW_MESSAGE
            return
        self.check(expected, vorndal._generate_uuid7_bytes_for_tests(raw))

    @rule(steps=st.integers(1, 40))
    def count_on(self, steps):
        """A run at the same millisecond: every counter exactly one more."""
        for _ in range(steps):
            ts = self.last_ms if self.initialized else 0
            expected = self.expect_next(ts)
            if expected[0] == "overflow":
                self.overflow(lambda ts=ts: vorndal._generate_uuid7_bytes_for_tests(ts))
                return
            self.check(expected, vorndal._generate_uuid7_bytes_for_tests(ts))

    @precondition(lambda self: self.initialized and self.last_ms > now_ms() + 60_000)
    @rule(which=st.sampled_from(["generate_uuid7_bytes", "generate_uuid7_int", "uuid7_obj", "uuid7"]))
    def clock_driven_behind_the_state(self, which):
        """With the state ahead of the clock, a clock-driven call counts on."""
        expected = self.expect_next(now_ms())
        call = getattr(vorndal, which)
        if expected[0] == "overflow":
            caught = self.overflow(call)
            assert str(caught.value) == OVERFLOW_MESSAGE
            return
        value = call()
        if not isinstance(value, (bytes, int)):
            value = value.int
        if isinstance(value, int):
            value = value.to_bytes(16, "big")
        self.check(expected, value)

    @precondition(lambda self: not self.initialized or self.last_ms < now_ms() - 1000)
    @rule()
    def clock_driven_ahead_of_the_state(self):
        before = now_ms()
        result = vorndal.generate_uuid7_bytes()
        after = now_ms()
        ts = fields(result)[0]
        assert before <= ts <= after
        self.check(("seed", ts), result)

    @rule(choice=timestamps(), times=st.integers(1, 4))
    def independent(self, choice, times):
        """Independent identifiers in between leave the sequence alone."""
        raw = self.resolve(choice)
        for _ in range(times):
            if raw < 0 or raw >= U64:
                with pytest.raises(OverflowError):
                    vorndal._generate_uuid7_at_bytes(raw)
            elif raw > MAX_MS:
                caught = self.overflow(lambda: vorndal._generate_uuid7_at_bytes(raw))
                assert str(caught.value) == OVERFLOW_MESSAGE
            else:
                result = vorndal._generate_uuid7_at_bytes(raw)
                assert int.from_bytes(result[:6], "big") == raw
                assert result[6] >> 4 == 7 and result[8] >> 6 == 0b10


Generator.TestCase.settings = settings(
    max_examples=scale(int(os.environ.get("TEMBREL_MODEL_EXAMPLES", "400")), minimum=25),
    stateful_step_count=60,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)

test_generator_model = Generator.TestCase


@pytest.fixture(autouse=True)
def _reset_after():
    yield
    vorndal._reset_state_for_tests()
