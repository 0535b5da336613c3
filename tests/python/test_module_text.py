"""The module frame (function table, exported symbols) and canonical text.
(What every generating function shares: test_module_sequence.py.)"""

from __future__ import annotations

import inspect
import shutil
import subprocess
import sys
import types
from itertools import pairwise

import pytest
from testkit import CANONICAL, CPYTHON, decode, values_of

pytestmark = pytest.mark.usefixtures("reset_generator")


FUNCTIONS = {
    "_uuid7_at_many": "Generate independent UUID v7 objects after validating all timestamps",
    "_generate_uuid7_at_bytes": "Generate independent UUID v7 bytes at a Unix millisecond timestamp",
    "_set_state_for_tests": "Set timestamp and counter for deterministic boundary tests",
    "uuid7": "Generate a UUID v7 uuid.UUID object",
    "uuid7_obj": "Generate a compact native UUID v7 object",
    "uuid7_many": "Generate UUID v7 objects in one call",
    "uuid7_obj_many": "Generate compact native UUID v7 objects in one call",
    "uuid7_str_many": "Generate UUID v7 strings in one call",
    "uuid7_bytes_many": "Generate contiguous UUID v7 bytes in one call",
    "_configure_uuid7": "Configure the UUID v7 object fast path",
    "generate_uuid7": "Generate a UUID v7 string",
    "generate_uuid7_bytes": "Generate UUID v7 bytes",
    "generate_uuid7_int": "Generate a UUID v7 integer",
    "_generate_uuid7_bytes_for_tests": "Generate UUID v7 bytes for a specific timestamp",
    "_reset_state_for_tests": "Reset UUID v7 generator state",
}

# The same functions under the package's names, with the same docstrings.
ALIASES = {
    "uuid7_str": "generate_uuid7",
    "uuid7_bytes": "generate_uuid7_bytes",
    "uuid7_int": "generate_uuid7_int",
    "uuid7_compact": "uuid7_obj",
    "uuid7_compact_many": "uuid7_obj_many",
}
FUNCTIONS |= {alias: FUNCTIONS[name] for alias, name in ALIASES.items()}

# The signature of every public function, as inspect.signature gives it without annotations.
SIGNATURES = {name: "(count, /)" if name.endswith("_many") else "()" for name in FUNCTIONS if name[0] != "_"}

CORE_SYMBOLS = {
    "generate_uuid7_bytes",
    "generate_uuid7_bytes_for_timestamp",
    "generate_uuid7_at_bytes",
    "generate_uuid7_at_words",
    "generate_uuid7_words",
    "reset_uuid7_state",
    "set_uuid7_state_for_tests",
}


# --------------------------------------------------------------------------
# The function table and the module object
# --------------------------------------------------------------------------


def test_module_offers_exactly_its_functions_and_the_type(vorndal, implementation):
    if implementation == "native":
        public = {name for name in vars(vorndal) if not name.startswith("__")}
    else:  # the module's own helpers have private names; its private functions are named here
        public = {name for name in vars(vorndal) if not name.startswith("_") or name in FUNCTIONS}
    assert public == set(FUNCTIONS) | {"UUID7Obj"}
    assert vorndal.UUID7Obj is type(vorndal.uuid7_obj())
    assert isinstance(vorndal.UUID7Obj, type)


def test_module_docstring(vorndal, implementation):
    if implementation == "native":
        assert vorndal.__doc__ is None
    else:  # the Python module lists where it differs from the native one
        assert "Where it differs from the native module" in vorndal.__doc__


# Each implementation's kind of function: a C function bound to the module, or a Python one.
FUNCTION_TYPES = {"native": types.BuiltinFunctionType, "python": types.FunctionType}


@pytest.mark.parametrize(("name", "doc"), sorted(FUNCTIONS.items()))
def test_function_type_and_docstring(vorndal, implementation, name, doc):
    function = getattr(vorndal, name)
    assert type(function) is FUNCTION_TYPES[implementation]
    assert function.__doc__ == doc
    if implementation == "native":
        assert function.__self__ is vorndal


@pytest.mark.parametrize(("name", "expected"), sorted(SIGNATURES.items()))
def test_signature_is_the_same_in_both_implementations(vorndal, name, expected):
    signature = inspect.signature(getattr(vorndal, name))
    bare = signature.replace(
        parameters=[p.replace(annotation=p.empty) for p in signature.parameters.values()],
        return_annotation=signature.empty,
    )
    assert str(bare) == expected


@pytest.mark.parametrize(("alias", "name"), sorted(ALIASES.items()))
def test_package_names_are_the_same_functions_named_as_the_package_names_them(vorndal, alias, name):
    function, original = getattr(vorndal, alias), getattr(vorndal, name)
    assert (function.__name__, function.__qualname__) == (alias, alias)
    assert function.__doc__ == original.__doc__
    assert inspect.signature(function) == inspect.signature(original)
    if hasattr(original, "__code__"):  # the Python module's: a copy of the same code
        assert function.__code__ is original.__code__
    else:
        assert function.__self__ is original.__self__


@pytest.mark.native_only("the exported symbols of the shared object")
def test_shared_object_exports_only_the_init_function_and_the_core(vorndal):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", vorndal.__file__],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    symbols = {line.split()[-1] for line in listing.splitlines() if line.strip()}
    assert symbols == CORE_SYMBOLS | {"PyInit_vorndal"}


# --------------------------------------------------------------------------
# Canonical text
# --------------------------------------------------------------------------


def test_generate_uuid7_is_canonical_compact_ascii_text(vorndal):
    text = vorndal.generate_uuid7()
    assert type(text) is str
    assert CANONICAL.fullmatch(text), text
    assert [i for i, c in enumerate(text) if c == "-"] == [8, 13, 18, 23]
    # A compact ASCII string of one byte per character, exactly like a literal.
    if CPYTHON:
        assert sys.getsizeof(text) == sys.getsizeof("x" * 36)


def test_text_shows_the_bytes_in_order_high_nibble_first(vorndal):
    # With a pinned state the first twelve bytes are known: timestamp
    # 0x123456789ABC and the counter one above the pinned one.
    vorndal._set_state_for_tests(0x123456789ABC, 0x2345ABCDEF0)
    text = vorndal.generate_uuid7()
    assert text.startswith("12345678-9abc-7")
    parts = decode(bytes.fromhex(text.replace("-", "")))
    assert (parts.timestamp, parts.version, parts.variant) == (0x123456789ABC, 7, 2)
    assert parts.counter == 0x2345ABCDEF1


def test_successive_strings_strictly_increase(vorndal):
    texts = [vorndal.generate_uuid7() for _ in range(2000)]
    assert all(a < b for a, b in pairwise(texts))


def test_strings_share_the_sequence_with_the_other_shapes(vorndal):
    values = []
    for _ in range(200):
        for result in (
            vorndal.generate_uuid7(),
            vorndal.generate_uuid7_bytes(),
            vorndal.generate_uuid7_int(),
            vorndal.uuid7_obj(),
            vorndal.uuid7_str_many(3),
        ):
            values += values_of(result)
    assert all(a < b for a, b in pairwise(values))
