"""Hosts beyond one plain interpreter: legacy and isolated subinterpreters, and
Python code that runs in the middle of a batch.

Each case runs in a fresh process, so a crash fails the case instead of
taking the suite down, and no configuration leaks between cases.  The cases
of subinterpreters and of the shared object's symbols test the native module
alone; a batch's cases run for both implementations.
"""

from __future__ import annotations

import os
import sys
import textwrap

import pytest
import testkit

# What every script starts with.
PRELUDE = """
import gc, sys, uuid
"""

# Helpers of the scripts with subinterpreters: a legacy subinterpreter (shares
# the GIL, may load single-phase modules) and running code in it, raising on
# failure; BARE_IMPORT, the module imported without the package.
SUBINTERPRETERS = f"""
import _interpreters

def legacy():
    return _interpreters.create(_interpreters.new_config("legacy"))

def run(interp, code):
    failure = _interpreters.run_string(interp, code)
    if failure is not None:
        raise AssertionError(failure.errdisplay)

BARE_IMPORT = {testkit.BARE_IMPORT!r}
"""


def assert_prints(
    body: str,
    expected: str,
    env: dict[str, str] | None = None,
    implementation: str = "native",
    subinterpreters: bool = False,
) -> None:
    """The script prints what is expected, with the implementation given
    (which the package binds too)."""
    body = (SUBINTERPRETERS if subinterpreters else "") + textwrap.dedent(body)
    source = testkit.retarget(PRELUDE + body, implementation)
    done = testkit.run_python(source, env=testkit.implementation_env(implementation, env))
    assert done.returncode == 0, testkit.output_of(done)
    assert done.stdout.strip() == expected, testkit.output_of(done)
    assert "Traceback" not in done.stderr, done.stderr


SUBINTERPRETER_CONFIGURATION = "one process-wide module, a uuid.UUID fast path per interpreter"
# The scripts make their subinterpreters with _interpreters, which CPython 3.11 and 3.12 lack.
needs_interpreters = pytest.mark.skipif(
    sys.version_info < (3, 13),
    reason="_interpreters, which makes subinterpreters, first came in CPython 3.13",
)


# --------------------------------------------------------------------------
# Legacy subinterpreters: each has its own uuid.UUID configuration.
# --------------------------------------------------------------------------

# What a legacy subinterpreter runs: identifiers are instances of its own
# uuid.UUID, with correct int and is_safe, from every function that builds them.
CHECK_OWN_CLASS = """
import uuid, tembrel
made = [tembrel.uuid7(), *tembrel.uuid7_many(3), tembrel.uuid7_at(5), *tembrel.uuid7_at_many([6, 7])]
for u in made:
    assert type(u) is uuid.UUID, type(u)
    assert u.is_safe is uuid.SafeUUID.unknown
    assert u.version == 7 and repr(u) == repr(uuid.UUID(int=u.int))
assert [tembrel.time_ms(u) for u in made[4:]] == [5, 6, 7]
"""

# The same, with a class of its own configured through the module.
CONFIGURE_OWN_CLASS = """
import tembrel
from tembrel.tembrel_impl import vorndal
class Mine:
    __slots__ = ("int", "is_safe")
vorndal._configure_uuid7(Mine, "mine")
for u in [vorndal.uuid7(), *vorndal.uuid7_many(2), *vorndal._uuid7_at_many([1])]:
    assert type(u) is Mine and u.is_safe == "mine" and u.int >> 76 & 0xF == 7
"""

# Unconfigured (the module without the package): every call that would make
# an instance is refused.
UNCONFIGURED = """
for call in (vorndal.uuid7, lambda: vorndal.uuid7_many(2), lambda: vorndal._uuid7_at_many([1])):
    try:
        call()
    except RuntimeError as error:
        assert str(error) == "uuid7 object fast path is not configured", error
    else:
        raise AssertionError("made an instance of another interpreter's class")
assert vorndal.uuid7_many(0) == []
"""

# Main's identifiers are its own uuid.UUID's, whatever a subinterpreter did.
CHECK_MAIN = """
for u in [tembrel.uuid7(), *tembrel.uuid7_many(2), tembrel.uuid7_at(9), *tembrel.uuid7_at_many([9])]:
    assert type(u) is uuid.UUID, f"main got a foreign class: {type(u)}"
    assert u.is_safe is uuid.SafeUUID.unknown and repr(u) == repr(uuid.UUID(int=u.int))
"""


@pytest.mark.parametrize(
    "inside",
    [
        pytest.param(CHECK_OWN_CLASS, id="own_class"),
        pytest.param(CONFIGURE_OWN_CLASS, id="configured_by_hand"),
        pytest.param(testkit.BARE_IMPORT + UNCONFIGURED, id="unconfigured"),
    ],
)
@pytest.mark.parametrize("main_imports_first", [True, False])
@pytest.mark.native_only(SUBINTERPRETER_CONFIGURATION)
@needs_interpreters
def test_a_legacy_subinterpreter_keeps_its_configuration_to_itself(
    inside: str, main_imports_first: bool
) -> None:
    assert_prints(
        f"""
        if {main_imports_first}:
            import tembrel
        interp = legacy()
        run(interp, {inside!r})
        import tembrel
        exec({CHECK_MAIN!r})
        _interpreters.destroy(interp)
        gc.collect()
        exec({CHECK_MAIN!r})
        print("ok")
        """,
        "ok",
        subinterpreters=True,
    )


# Hangs an object on the subinterpreter's uuid.UUID that reports when the
# class is released.
PROBE = r"""
import os, uuid, tembrel
class Probe:
    def __del__(self, write=os.write):
        write(1, b"released\n")
uuid.UUID._probe = Probe()
tembrel.uuid7_many(2)
"""


@pytest.mark.native_only(SUBINTERPRETER_CONFIGURATION)
@needs_interpreters
def test_a_destroyed_subinterpreter_leaves_nothing_behind() -> None:
    # Its class goes with the interpreter, not never.
    assert_prints(
        f"""
        import tembrel
        interp = legacy()
        run(interp, {PROBE!r})
        print("destroying", flush=True)
        _interpreters.destroy(interp)
        print("destroyed", flush=True)
        """,
        "destroying\nreleased\ndestroyed",
        subinterpreters=True,
    )


@pytest.mark.native_only(SUBINTERPRETER_CONFIGURATION)
@needs_interpreters
def test_many_subinterpreters_come_and_go() -> None:
    # Classes of destroyed interpreters are freed, and a new interpreter's
    # uuid.UUID may take the same address; no cached layout may outlive its class.
    assert_prints(
        f"""
        import tembrel
        for round in range(12):
            interp = legacy()
            run(interp, {CHECK_OWN_CLASS!r})
            if round % 3 == 0:
                other = legacy()
                run(other, {CHECK_OWN_CLASS!r})
                _interpreters.destroy(other)
            run(interp, {CHECK_OWN_CLASS!r})
            _interpreters.destroy(interp)
            exec({CHECK_MAIN!r})
        print("ok")
        """,
        "ok",
        subinterpreters=True,
    )


@pytest.mark.native_only("the extension module refuses isolated subinterpreters")
@needs_interpreters
def test_an_isolated_subinterpreter_cannot_import_the_module() -> None:
    # The package binds the Python implementation there instead.
    assert_prints(
        """
        import tembrel
        # The private module: concurrent.interpreters first appeared in 3.14.
        interp = _interpreters.create(_interpreters.new_config("isolated"))
        try:
            failure = _interpreters.run_string(interp, "from tembrel.tembrel_impl import vorndal")
            print(failure.type.__name__, "subinterpreters" in failure.msg)
            run(interp, "import tembrel; assert tembrel.implementation == 'python', tembrel.implementation")
        finally:
            _interpreters.destroy(interp)
        """,
        "ImportError True",
        subinterpreters=True,
    )


# A property on the subinterpreter's uuid.UUID.int, as tracing shims add,
# whose setter deletes the fast-path record from the interpreter's dictionary:
# the running call goes on with the record, only the next call finds none.
DROP_RECORD = """
import gc, uuid, tembrel
slot = uuid.UUID.int

def drop(self, value):
    for candidate in gc.get_objects():
        if type(candidate) is dict:
            candidate.pop("tembrel.tembrel_impl.vorndal.UuidClassConfig", None)
    slot.__set__(self, value)

uuid.UUID.int = property(slot.__get__, drop)
made = list(CALL)
assert {(type(u), u.is_safe, u.version) for u in made} == {(uuid.UUID, uuid.SafeUUID.unknown, 7)}
try:
    tembrel.uuid7()
except RuntimeError as error:
    print(error)
"""


@pytest.mark.parametrize(
    "call", ["[tembrel.uuid7()]", "tembrel.uuid7_many(2)", "tembrel.uuid7_at_many([1, 2])"]
)
@pytest.mark.native_only("the fast path's record in each interpreter's dictionary")
@needs_interpreters
def test_a_fast_path_record_dropped_mid_call_lives_until_the_call_ends(call: str) -> None:
    script = DROP_RECORD.replace("CALL", call)
    assert_prints(
        f"run(legacy(), {script!r})", "uuid7 object fast path is not configured", subinterpreters=True
    )


# --------------------------------------------------------------------------
# Python code run by a batch never sees the list half built.
# --------------------------------------------------------------------------

# A class whose int setter walks every list the collector knows and reads
# every item: a list with an empty slot crashes the process right there.
SPY = """
from tembrel.tembrel_impl import vorndal
import tembrel

class Spy:
    __slots__ = ("_int", "is_safe")
    seen = 0

def walk_then_set(self, value):
    self._int = value
    for candidate in gc.get_objects():
        if type(candidate) is list:
            Spy.seen += sum(type(item) is Spy for item in candidate)

Spy.int = property(lambda self: self._int, walk_then_set)
vorndal._configure_uuid7(Spy, None)
"""


@pytest.mark.native_only("a list that C code fills has empty slots until it is full")
@pytest.mark.parametrize("call", ["vorndal.uuid7_many(4)", "vorndal._uuid7_at_many([1, 2, 3, 4])"])
def test_int_setter_that_walks_the_collector_never_sees_an_empty_slot(call: str, implementation: str) -> None:
    assert_prints(
        SPY
        + f"""
result = {call}
assert [type(u) for u in result] == [Spy] * 4 and all(u.int >> 76 & 0xF == 7 for u in result)
# The list under construction is hidden until it is full: only earlier
# results could have been seen, and there are none.
print(Spy.seen)
""",
        "0",
        implementation=implementation,
    )


# --------------------------------------------------------------------------
# A signal handler that raises stops a batch at once, with nothing returned.
# --------------------------------------------------------------------------

# SIGALRM comes some milliseconds into a batch of 2**21; its handler counts
# the identifiers made so far (by the sequence, pinned ahead of the clock, or
# by the instances' references to is_safe) and raises.  Handlers run every
# EVERY identifiers: a handler that waited for the batch would count it all.
INTERRUPT = """
import signal
from tembrel.tembrel_impl import vorndal
from testkit import FAR_FUTURE_MS, fields

COUNT, STAMPS, marker = 2**21, tuple(range(2**21)), object()
vorndal._configure_uuid7(uuid.UUID, marker)
# An interpreter without reference counts (PyPy) counts by the sequence alone.
references = getattr(sys, "getrefcount", lambda obj: 0)

def stop(signum, frame):
    global made
    _, sequence, _ = fields(vorndal._generate_uuid7_bytes_for_tests(FAR_FUTURE_MS))
    made = max(sequence - 1, references(marker) - base)
    raise KeyboardInterrupt

signal.signal(signal.SIGALRM, stop)
made, delay = 0, 0.005
while made == 0:  # the signal came before the first identifier: later, then
    vorndal._set_state_for_tests(FAR_FUTURE_MS, 0)
    base = references(marker)
    try:  # a signal due before the batch begins (a slow, emulated host) stops nothing: try again
        signal.setitimer(signal.ITIMER_REAL, delay)
        result = CALL
    except KeyboardInterrupt:
        pass
    delay *= 2
assert "result" not in globals() and references(marker) == base
print(made % EVERY, made < COUNT)
"""

# How often a batch lets signal handlers run: the native module every 65,536
# identifiers, the Python one at any identifier.
SIGNALS_EVERY = {"native": 2**16, "python": 1}


@pytest.mark.parametrize(
    "call",
    ["uuid7_str_many(COUNT)", "uuid7_bytes_many(COUNT)", "uuid7_obj_many(COUNT)", "uuid7_many(COUNT)"]
    + [
        pytest.param(
            "_uuid7_at_many(STAMPS)",
            # Its handler would see nothing made, and wait for a later signal forever.
            marks=pytest.mark.native_only(
                "the Python implementation draws independent identifiers before it builds their"
                " instances, in loops without handlers: no handler can count them"
            ),
        )
    ],
)
def test_a_raising_signal_handler_stops_a_batch(call: str, implementation: str) -> None:
    script = INTERRUPT.replace("CALL", f"vorndal.{call}").replace("EVERY", str(SIGNALS_EVERY[implementation]))
    assert_prints(script, "0 True", implementation=implementation)


# --------------------------------------------------------------------------
# A library loaded first that exports the core's names cannot take over.
# --------------------------------------------------------------------------

# Built with the native tests (tests/native/foreign_generator.cpp); `nox -s tests` passes its path.
FOREIGN = os.environ.get("TEMBREL_FOREIGN_GENERATOR", "")

# Fifteen identifiers from every function that calls the core's
# generate_uuid7_words or generate_uuid7_bytes, as integers.
EVERY_SHAPE = """
import tembrel, uuid
t = tembrel
ids = [t.uuid7(), t.uuid7_str(), t.uuid7_bytes(), t.uuid7_int(), t.uuid7_compact(), *t.uuid7_many(2),
       *t.uuid7_str_many(2), *t.uuid7_int_many(2), *t.uuid7_compact_many(2), t.uuid7_bytes_many(2)]
ints = [t.as_uuid(i).int for i in ids[:13]] + [int.from_bytes(ids[13][i:i + 16]) for i in (0, 16)]
print(len(set(ints)), 0x0123456789AB7CDE8123456789ABCDEF in ints)
"""


@pytest.mark.native_only("the shared object's binding of the core's symbols")
@pytest.mark.parametrize("loaded", ["rtld_global", "ld_preload"])
def test_a_foreign_library_cannot_take_over_generation(loaded: str) -> None:
    if not os.path.exists(FOREIGN):
        pytest.skip("TEMBREL_FOREIGN_GENERATOR names no library: run through `nox -s tests`")
    env = dict(os.environ)
    body = EVERY_SHAPE
    if loaded == "ld_preload":
        env["LD_PRELOAD"] = ":".join(filter(None, [env.get("LD_PRELOAD"), FOREIGN]))
    else:  # as a plugin loader would, before tembrel's first import
        body = f"import ctypes, os\nctypes.CDLL({FOREIGN!r}, os.RTLD_GLOBAL)\n" + body
    assert_prints(body, "15 False", env)
