"""Bad inputs across every method: each gives its exact exception and message,
and leaves every filter as it was. The cases that other test files already
make (configure's own TypeErrors, the row-array errors of insert and test,
the length and memory errors) are not repeated here."""

import re

import numpy as np
import pytest

import tolvane
from conftest import MAX_BITS, SIZE_MAX, configured, state_of

ROWS = np.arange(6, dtype=np.uint8).reshape(2, 3)
# Marks a pybind11 "incompatible arguments" TypeError, whose signature lines
# and argument reprs follow a stable first line.
INCOMPATIBLE = object()
NEGATIVE = "k and m must not be negative"
INVALID_STATE = "Invalid State in __setstate__"
NOT_CONTIGUOUS = "the image of a state must be a C-contiguous buffer"
NOT_INITIALISED = "bloomfilter instance is not initialised: create it with bloomfilter()"


def cast_error(type_name: str) -> str:
    return (f"Unable to cast Python instance of type <class '{type_name}'> to C++ type '?' "
            "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)")


def bare() -> tolvane.bloomfilter:
    return tolvane.bloomfilter.__new__(tolvane.bloomfilter)


def is_initialised(f: tolvane.bloomfilter) -> bool:
    try:
        f.get_k()
    except ValueError:
        return False
    return True


# A filter of the fixture's k = 3 and m = 1000 would match; these do not.
OTHERS = {"m 999": configured(3, 999), "k 4": configured(4, 1000), "k 0, m 0": tolvane.bloomfilter()}

CASES = [
    # configure
    ("configure", (np.float64(3), 8), TypeError, INCOMPATIBLE),
    ("configure", (3, 8.0), TypeError, INCOMPATIBLE),
    ("configure", (3, b"8"), TypeError, INCOMPATIBLE),
    # insert, insert_along, test: arguments that are not an array, or a bad axis
    ("insert", ("ab",), TypeError, INCOMPATIBLE),
    ("insert", (), TypeError, INCOMPATIBLE),
    ("insert", (ROWS, 0), TypeError, INCOMPATIBLE),
    ("insert_along", (ROWS, 2**31), TypeError, INCOMPATIBLE),
    ("insert_along", (ROWS, -(2**31) - 1), TypeError, INCOMPATIBLE),
    ("insert_along", (ROWS, 1.0), TypeError, INCOMPATIBLE),
    ("insert_along", (ROWS,), TypeError, INCOMPATIBLE),
    ("insert_along", ([[1, 2]], 0), TypeError, INCOMPATIBLE),
    ("test", (None,), TypeError, INCOMPATIBLE),
    ("test", ([[1, 2]],), TypeError, INCOMPATIBLE),
    ("test", (bytearray(b"ab"),), TypeError, INCOMPATIBLE),
    # dbg_getrow, dbg_gethex: dimensions and rows
    ("dbg_getrow", (np.zeros(3), 0), IndexError, "invalid axis: 1 (ndim = 1)"),
    ("dbg_getrow", (np.array(5), 0), IndexError, "invalid axis: 1 (ndim = 0)"),
    ("dbg_getrow", (ROWS, 2), IndexError, "index 2 is out of bounds for axis 0 with size 2"),
    ("dbg_getrow", (ROWS, -1), IndexError, "index -1 is out of bounds for axis 0 with size 2"),
    ("dbg_getrow", (ROWS, -(2**31)), IndexError, "index -2147483648 is out of bounds for axis 0 with size 2"),
    ("dbg_getrow", (np.zeros((2, 3, 0)), 0), IndexError, "index 0 is out of bounds for axis 2 with size 0"),
    ("dbg_getrow", (ROWS, 2**31), TypeError, INCOMPATIBLE),
    ("dbg_getrow", (ROWS, 0.0), TypeError, INCOMPATIBLE),
    ("dbg_getrow", ([[1, 2]], 0), TypeError, INCOMPATIBLE),
    ("dbg_gethex", (np.zeros((0, 3)), 0), IndexError, "index 0 is out of bounds for axis 0 with size 0"),
    ("dbg_gethex", (np.zeros(4), 4), IndexError, "invalid axis: 1 (ndim = 1)"),
    ("dbg_gethex", (ROWS, "0"), TypeError, INCOMPATIBLE),
    # from_bytes
    ("from_bytes", (bytearray(b"\x01"), 1, 8), TypeError, INCOMPATIBLE),
    ("from_bytes", (memoryview(b"\x01"), 1, 8), TypeError, INCOMPATIBLE),
    ("from_bytes", ("\x01", 1, 8), TypeError, INCOMPATIBLE),
    ("from_bytes", (None, 1, 8), TypeError, INCOMPATIBLE),
    ("from_bytes", (b"\x01", SIZE_MAX + 1, 8), TypeError, INCOMPATIBLE),
    ("from_bytes", (b"\x01", 1, SIZE_MAX + 1), TypeError, INCOMPATIBLE),
    ("from_bytes", (b"\x01", 1, MAX_BITS + 1), ValueError, "vector<bool>::_M_fill_insert"),
    ("from_bytes", (b"\x01", 1.0, 8), TypeError, INCOMPATIBLE),
    ("from_bytes", (b"\x01", 1), TypeError, INCOMPATIBLE),
    ("from_bytes", (b"\x01", -1, 8), ValueError, NEGATIVE),
    ("from_bytes", (b"\x01", 1, -8), ValueError, NEGATIVE),
    ("from_bytes", (b"", -(2**31), -(2**31)), ValueError, NEGATIVE),
    ("from_bytes", (b"", np.int64(-1), 8), ValueError, NEGATIVE),
    # __setstate__, on an instance that unpickling made: it stays uninitialised
    ("__setstate__", ((),), RuntimeError, INVALID_STATE),
    ("__setstate__", ((1, 8),), RuntimeError, INVALID_STATE),
    ("__setstate__", ((1, 8, b"\0", 0),), RuntimeError, INVALID_STATE),
    ("__setstate__", ([1, 8, b"\0"],), TypeError, INCOMPATIBLE),
    ("__setstate__", ((1, SIZE_MAX + 1, b""),), RuntimeError, cast_error("int")),
    ("__setstate__", ((SIZE_MAX + 1, 8, b"\0"),), RuntimeError, cast_error("int")),
    ("__setstate__", ((1, MAX_BITS + 1, b""),), ValueError, "vector<bool>::_M_fill_insert"),
    ("__setstate__", ((1, 8.0, b"\0"),), RuntimeError, cast_error("float")),
    ("__setstate__", (("1", 8, b"\0"),), RuntimeError, cast_error("str")),
    # m (item 1) is converted before k (item 0)
    ("__setstate__", (("1", None, b"\0"),), RuntimeError, cast_error("NoneType")),
    ("__setstate__", ((-1, 8, b"\0"),), ValueError, NEGATIVE),
    ("__setstate__", ((1, -8, b"\0"),), ValueError, NEGATIVE),
    ("__setstate__", ((1, 8, 5),), TypeError, "Object of type 'int' is not an instance of 'buffer'"),
    ("__setstate__", ((1, 8, "ab"),), TypeError, "Object of type 'str' is not an instance of 'buffer'"),
    ("__setstate__", ((1, 8, None),), TypeError, "Object of type 'NoneType' is not an instance of 'buffer'"),
    ("__setstate__", ((1, 8, memoryview(b"abcd")[::2]),), BufferError, NOT_CONTIGUOUS),
    ("__setstate__", ((1, 8, np.zeros((2, 2), np.uint8)[:, :1]),), BufferError, NOT_CONTIGUOUS),
    # union, intersect
    ("union", (None,), TypeError, INCOMPATIBLE),
    ("union", (5,), TypeError, INCOMPATIBLE),
    ("union", (), TypeError, INCOMPATIBLE),
    ("intersect", ("filter",), TypeError, INCOMPATIBLE),
    ("union", (OTHERS["m 999"],), RuntimeError, "Configuration Mismatch in union"),
    ("union", (OTHERS["k 4"],), RuntimeError, "Configuration Mismatch in union"),
    ("intersect", (OTHERS["m 999"],), RuntimeError, "Configuration Mismatch in intersect"),
    ("intersect", (OTHERS["k 0, m 0"],), RuntimeError, "Configuration Mismatch in intersect"),
    ("union", (bare(),), ValueError, NOT_INITIALISED),
    # the queries take no arguments
    ("to_bytes", (1,), TypeError, INCOMPATIBLE),
    ("__getstate__", (1,), TypeError, INCOMPATIBLE),
    ("get_k", (0,), TypeError, INCOMPATIBLE),
    ("get_m", (None,), TypeError, INCOMPATIBLE),
    ("foz", (1.0,), TypeError, INCOMPATIBLE),
]


def case_id(case) -> str:
    method, args, error, _ = case
    return f"{method}-{error.__name__}-" + ",".join(type(arg).__name__ for arg in args)


@pytest.mark.parametrize("method, args, error, message", CASES, ids=[case_id(case) for case in CASES])
def test_bad_input_is_refused_and_changes_nothing(method, args, error, message, filled):
    target = bare() if method == "__setstate__" else filled
    before = state_of(filled)
    others = [(arg, state_of(arg)) for arg in args if isinstance(arg, tolvane.bloomfilter) and is_initialised(arg)]
    with pytest.raises(error) as raised:
        getattr(target, method)(*args)
    text = str(raised.value)
    if message is INCOMPATIBLE:
        kind = "constructor" if method == "__setstate__" else "function"
        assert text.startswith(f"{method}(): incompatible {kind} arguments. "
                               "The following argument types are supported:\n"), text
        assert re.search(r"\nInvoked with: ", text)
    else:
        assert text == message
    assert state_of(filled) == before
    for other, state in others:
        assert state_of(other) == state
    if target is not filled:
        assert not is_initialised(target)



LONG = {
    "bytes": (bytes(10**8), "b'" + r"\x00" * 32 + "'... (100000000 bytes)"),
    "bytearray": (bytearray(10**6), "bytearray(b'" + r"\x00" * 32 + "')... (1000000 bytes)"),
    "str": ("ab" * 10**6, "'" + "ab" * 100 + "'... (2000000 characters)"),
    "list": (list(range(10**6)), "[0, 1, 2, 3, 4, 5, 6, 7, ... (1000000 items)]"),
    "nested": ([(bytes(100), "x")], "[(b'" + r"\x00" * 32 + "'... (100 bytes), 'x')]"),
    "array": (np.zeros((10**6, 4), np.uint8), "<numpy.ndarray of shape (1000000, 4) and dtype uint8>"),
    "object": (range(5), "range(0, 5)"),
}


@pytest.mark.parametrize("value, described", LONG.values(), ids=LONG)
def test_a_refused_call_describes_each_argument_briefly(value, described, filled):
    with pytest.raises(TypeError) as raised:
        filled.from_bytes(value, 7, 1.5)
    lines = str(raised.value).split("\n")
    assert lines[0] == "from_bytes(): incompatible function arguments. The following argument types are supported:"
    assert lines[-1] == f"Invoked with: {filled!r}, {described}, 7, 1.5"
    assert len(str(raised.value)) < 1000


def test_a_refused_constructor_describes_its_arguments_after_self():
    with pytest.raises(TypeError) as raised:
        tolvane.bloomfilter.__new__(tolvane.bloomfilter).__setstate__([1, 8, bytes(1000)])
    assert str(raised.value) == (
        "__setstate__(): incompatible constructor arguments. The following argument types are supported:\n"
        "    1. tolvane.bloomfilter(arg0: tuple)\n\n"
        "Invoked with: [1, 8, b'" + r"\x00" * 32 + "'... (1000 bytes)]"
    )


def test_a_refused_call_describes_keyword_arguments_briefly(filled):
    with pytest.raises(TypeError) as raised:
        filled.configure(8, k=bytes(100))
    assert str(raised.value).endswith(f"Invoked with: {filled!r}, 8; kwargs: k=b'" + r"\x00" * 32 + "'... (100 bytes)")
