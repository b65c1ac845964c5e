"""union and intersect."""

import numpy as np
import pytest

import tolvane
from conftest import configured, state_of

RNG = np.random.default_rng(13)


def pair(k=4, m=333):
    a, b = configured(k, m), configured(k, m)
    rows_a, rows_b = RNG.integers(0, 256, (40, 8), dtype=np.uint8), RNG.integers(0, 256, (40, 8), dtype=np.uint8)
    a.insert(rows_a)
    b.insert(rows_b)
    return a, b, rows_a, rows_b


def bytewise(op, x: bytes, y: bytes) -> bytes:
    return bytes(op(p, q) for p, q in zip(x, y))


def test_union_is_the_bytewise_or():
    a, b, rows_a, rows_b = pair()
    image_a, image_b = a.to_bytes(), b.to_bytes()
    a.union(b)
    assert a.to_bytes() == bytewise(int.__or__, image_a, image_b)
    assert b.to_bytes() == image_b
    assert a.test(rows_a) == a.test(rows_b) == [True] * 40


def test_intersect_is_the_bytewise_and():
    a, b, _, _ = pair()
    image_a, image_b = a.to_bytes(), b.to_bytes()
    a.intersect(b)
    assert a.to_bytes() == bytewise(int.__and__, image_a, image_b)
    assert b.to_bytes() == image_b


@pytest.mark.parametrize("method", ["union", "intersect"])
def test_with_itself_changes_nothing(method):
    a, _, _, _ = pair(m=1000)
    before = state_of(a)
    getattr(a, method)(a)
    assert state_of(a) == before


def test_with_an_empty_filter():
    a, _, _, _ = pair()
    before = a.to_bytes()
    a.union(configured(4, 333))
    assert a.to_bytes() == before
    a.intersect(configured(4, 333))
    assert a.foz() == 1.0


@pytest.mark.parametrize("method", ["union", "intersect"])
def test_unconfigured_filters_match(method):
    f = tolvane.bloomfilter()
    getattr(f, method)(tolvane.bloomfilter())
    assert state_of(f) == (0, 0, b"")


@pytest.mark.parametrize("other", [(4, 334), (5, 333), (5, 334), (0, 0)])
@pytest.mark.parametrize("method, message", [("union", "union"), ("intersect", "intersect")])
def test_mismatched_configurations_are_refused(method, message, other):
    a, _, _, _ = pair()
    b = configured(*other)
    before_a, before_b = state_of(a), state_of(b)
    with pytest.raises(RuntimeError, match=f"^Configuration Mismatch in {message}$"):
        getattr(a, method)(b)
    assert (state_of(a), state_of(b)) == (before_a, before_b)


@pytest.mark.parametrize("method", ["union", "intersect"])
@pytest.mark.parametrize("other", [None, 5, b"\x00", np.zeros((1, 1))])
def test_other_must_be_a_filter(method, other):
    a, _, _, _ = pair()
    before = state_of(a)
    with pytest.raises(TypeError, match=rf"^{method}\(\): incompatible function arguments"):
        getattr(a, method)(other)
    assert state_of(a) == before


def test_subclass_instances_merge():
    class Named(tolvane.bloomfilter):
        pass

    a, b = Named(), configured(2, 64)
    a.configure(2, 64)
    b.insert(np.ones((1, 2)))
    a.union(b)
    assert a.to_bytes() == b.to_bytes()
