"""The module, the class and how Python values cross into it."""

import re

import numpy as np
import pytest

import tolvane
from conftest import SIZE_MAX, configured, state_of

METHODS = [
    "__init__", "configure", "insert", "test", "insert_along", "dbg_getrow", "dbg_gethex", "to_bytes",
    "from_bytes", "__getstate__", "__setstate__", "union", "intersect", "get_k", "get_m", "foz",
]
# Beyond the sixteen: the reductions for every pickle protocol.
EXTRA_METHODS = ["__reduce__", "__reduce_ex__"]

DOC = (
    "\n        Bloom Filter - Halvorn Version\n        -----------------------\n\n"
    "        .. currentmodule:: python_example\n\n        .. autosummary::\n"
    "           :toctree: _generate\n\n\tbloomfilter\n    "
)


def test_module_holds_its_docstring_and_one_class():
    assert tolvane.__doc__ == DOC
    public = {name for name in vars(tolvane) if not name.startswith("__")}
    assert public == {"bloomfilter"}
    assert tolvane.bloomfilter.__module__ == "tolvane"
    assert tolvane.bloomfilter.__doc__ is None


def test_methods_are_registered_in_order_without_docstrings():
    own = list(vars(tolvane.bloomfilter))
    assert "_pybind11_conduit_v1_" in own
    assert [name for name in own if name not in ("__doc__", "__module__", "_pybind11_conduit_v1_")] == (
        METHODS + EXTRA_METHODS
    )
    for name in METHODS + EXTRA_METHODS:
        doc = getattr(tolvane.bloomfilter, name).__doc__
        # pybind11's generated signature only: positional arg0, arg1, ...
        assert doc.startswith(f"{name}(self: tolvane.bloomfilter")
        assert doc.strip().count("\n") == 0


@pytest.mark.parametrize(
    "name, signature",
    [
        ("configure", "(self: tolvane.bloomfilter, arg0: typing.SupportsInt | typing.SupportsIndex, "
                      "arg1: typing.SupportsInt | typing.SupportsIndex) -> None"),
        ("test", "(self: tolvane.bloomfilter, arg0: numpy.ndarray) -> list[bool]"),
        ("dbg_getrow", "(self: tolvane.bloomfilter, arg0: numpy.ndarray, "
                       "arg1: typing.SupportsInt | typing.SupportsIndex) -> list[int]"),
        # k and m are sizes or negative numbers, which the module refuses by name.
        ("from_bytes", "(self: tolvane.bloomfilter, arg0: bytes, "
                       "arg1: typing.SupportsInt | typing.SupportsIndex | typing.SupportsInt | typing.SupportsIndex, "
                       "arg2: typing.SupportsInt | typing.SupportsIndex | typing.SupportsInt | typing.SupportsIndex) -> None"),
        ("__getstate__", "(self: tolvane.bloomfilter, /) -> tuple[int, int, bytes]"),
        ("__setstate__", "(self: tolvane.bloomfilter, arg0: tuple) -> None"),
        ("__reduce__", "(self: tolvane.bloomfilter) -> tuple"),
        ("__reduce_ex__", "(self: tolvane.bloomfilter, arg0: typing.SupportsInt | typing.SupportsIndex) "
                          "-> str | tuple[object, ...]"),
        ("union", "(self: tolvane.bloomfilter, arg0: tolvane.bloomfilter) -> None"),
        ("foz", "(self: tolvane.bloomfilter) -> float"),
    ],
)
def test_signatures(name, signature):
    assert getattr(tolvane.bloomfilter, name).__doc__.strip() == name + signature


def test_instances_take_no_new_attributes():
    with pytest.raises(AttributeError):
        tolvane.bloomfilter().color = "red"


def test_second_init_changes_nothing():
    f = configured(3, 64)
    f.insert(np.array([[1, 2]], dtype=np.uint8))
    before = f.to_bytes()
    assert f.__init__() is None
    assert (f.get_k(), f.get_m(), f.to_bytes()) == (3, 64, before)


def test_subclass_must_call_init():
    class Calls(tolvane.bloomfilter):
        pass

    class Forgets(tolvane.bloomfilter):
        def __init__(self):
            pass

    assert Calls().get_m() == 0
    with pytest.raises(TypeError, match=re.escape("tolvane.bloomfilter.__init__() must be called when overriding")):
        Forgets()


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f.get_k(), lambda f: f.configure(1, 8), lambda f: f.to_bytes(), lambda f: f.__getstate__(),
        lambda f: f.insert(np.zeros((1, 1))), lambda f: tolvane.bloomfilter().union(f), lambda f: f.__reduce__(),
    ],
)
def test_uninitialised_instance_is_refused(call):
    bare = tolvane.bloomfilter.__new__(tolvane.bloomfilter)
    with pytest.raises(ValueError, match="bloomfilter instance is not initialised"):
        call(bare)


def incompatible(name: str, kind: str = "function") -> str:
    return re.escape(f"{name}(): incompatible {kind} arguments. The following argument types are supported:\n")


@pytest.mark.parametrize(
    "args",
    [(-1, 8), (1.0, 8), ("3", 8), (3, 2**70), (3, SIZE_MAX + 1), (3,), (3, 8, 1), (None, 8)],
)
def test_configure_refuses_what_is_not_a_size(args, filled):
    before = state_of(filled)
    with pytest.raises(TypeError, match="^" + incompatible("configure")):
        filled.configure(*args)
    assert state_of(filled) == before


def test_integer_conversions_accept_bool_numpy_scalars_and_index():
    class Index:
        def __index__(self):
            return 5

    f = tolvane.bloomfilter()
    f.configure(True, np.uint16(10))
    assert (f.get_k(), f.get_m()) == (1, 10)
    f.configure(np.int64(2), Index())
    assert (f.get_k(), f.get_m()) == (2, 5)
    f.from_bytes(b"\x01", np.int8(1), True)
    assert (f.get_k(), f.get_m(), f.to_bytes()) == (1, 1, b"\x01")


def test_keyword_arguments_are_refused():
    with pytest.raises(TypeError, match=incompatible("configure")):
        tolvane.bloomfilter().configure(k=3, m=8)


def test_constructor_takes_no_arguments():
    with pytest.raises(TypeError, match=incompatible("__init__", "constructor") + "(?s:.*)Invoked with: 5$"):
        tolvane.bloomfilter(5)


@pytest.mark.parametrize("rows", [[[1, 2]], ((1, 2),), np.int32(4), memoryview(b"ab"), None])
def test_only_ndarrays_are_rows(rows):
    with pytest.raises(TypeError, match=incompatible("insert")):
        configured(1, 8).insert(rows)


def test_ndarray_subclasses_are_rows():
    class Tagged(np.ndarray):
        pass

    rows = np.arange(6, dtype=np.uint8).reshape(2, 3)
    f, g = configured(3, 64), configured(3, 64)
    f.insert(rows.view(Tagged))
    g.insert(rows)
    assert f.to_bytes() == g.to_bytes()
