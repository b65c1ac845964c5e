"""The fuzzer's steps: generated arguments, the outcome each must have, checks.

A Subject is a filter together with what it must hold: k, m and the byte
image, or "bare" for an instance made by __new__ alone. Every step draws its
arguments from the fuzzer's data, predicts the exact exception or the result,
calls the method and compares; then check() compares the filter with what it
must hold.

Some steps are probed (see run): their integer arguments may call methods of
the filters involved while they are converted, and they may pickle on
protocols 0 and 1, cases that once aborted the interpreter.
"""

import copy
import math
import os
import pickle
import select
import signal
import traceback

import atheris
import numpy as np
from numpy.lib.stride_tricks import as_strided

import model
import tolvane
from conftest import INT_MAX, MAX_BITS, SIZE_BITS, SIZE_MAX

INT_MIN = -INT_MAX - 1
SSIZE_MIN = -(2 ** (SIZE_BITS - 1))
NOT_INITIALISED = (ValueError, "bloomfilter instance is not initialised: create it with bloomfilter()")
NEGATIVE = (ValueError, "k and m must not be negative")
LENGTH_ERROR = (ValueError, "vector<bool>::_M_fill_insert")
INVALID_STATE = (RuntimeError, "Invalid State in __setstate__")
NOT_CONTIGUOUS = (BufferError, "the image of a state must be a C-contiguous buffer")
# Small enough for the model, large enough for several words and a partial one.
LARGEST_K = 16
LARGEST_M = 400
# Longer rows are legal but too slow for the model.
LONGEST_MODELLED_ROW = 4096

DTYPES = [np.dtype(name) for name in [
    "u1", "i1", "<u2", ">i2", "<i4", ">u4", "<i8", ">f8", "<f4", "<c8", ">c16", "?",
    "S1", "S3", "S7", "U1", ">U2", "M8[s]", "m8[ms]", "V5", "V0",
]] + [np.dtype([("a", "<i2"), ("b", "S3")]), np.dtype(object)]
# No record dtype with padding: NumPy's copies, and so model.row_bytes, leave
# the padding bytes out, while a filter hashes every stored byte.
OBJECTS = [0, 1, None, "a", 2.5, (), b"x", 10**30]
NON_ARRAYS = [[[1, 2]], ((1, 2),), None, 3, np.int32(4), memoryview(b"ab"), "ab"]
NON_FILTERS = [None, 5, "filter", np.zeros((1, 1))]
NON_BUFFERS = [7, "abc", None, 1.5, [1, 2], (1, 2)]


class Index:
    """An integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Reentrant:
    """An integer whose __index__ first makes a call: conversion runs Python
    code that may change the filters involved."""

    def __init__(self, value, call):
        self.value, self.call = value, call

    def __index__(self):
        self.call()
        return self.value


class ReentrantInt(Reentrant):
    """The same through __int__ alone."""

    __index__ = None

    def __int__(self):
        self.call()
        return self.value


class Sub(tolvane.bloomfilter):
    pass


CLASSES = [tolvane.bloomfilter, tolvane.bloomfilter, Sub]


class Image(bytes):
    pass


class Subject:
    def __init__(self, f, k=0, m=0, image=b"", bare=False):
        self.filter, self.k, self.m, self.image, self.bare = f, k, m, bytes(image), bare


def bare(cls=tolvane.bloomfilter) -> Subject:
    return Subject(cls.__new__(cls), bare=True)


def incompatible(name, kind="function"):
    return TypeError, f"{name}(): incompatible {kind} arguments. The following argument types are supported:\n"


def cast_error(item):
    return RuntimeError, (f"Unable to cast Python instance of type {type(item)} to C++ type '?' "
                          "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)")


FAILED = object()


def outcome(expected, call):
    """Calls call(); expected is None for success or (type, message). The
    message of pybind11's incompatible-arguments error is a stable prefix."""
    try:
        result = call()
    except Exception as error:  # noqa: BLE001 - every exception is compared
        if expected is None:
            raise AssertionError(f"unexpected {type(error).__name__}: {error}") from error
        kind, message = expected
        text = str(error)
        prefix = kind is TypeError and "incompatible" in message
        if type(error) is not kind or not (text.startswith(message) if prefix else text == message):
            raise AssertionError(f"expected {kind.__name__}({message!r}), got {type(error).__name__}({text!r})") from error
        return FAILED
    if expected is not None:
        raise AssertionError(f"expected {expected[0].__name__}({expected[1]!r}), got {result!r}")
    return result


def check(s: Subject):
    f = s.filter
    if s.bare:
        outcome(NOT_INITIALISED, f.get_k)
        outcome(NOT_INITIALISED, f.to_bytes)
        return
    assert (f.get_k(), f.get_m()) == (s.k, s.m)
    image = f.to_bytes()
    assert type(image) is bytes and image == s.image
    assert len(image) == (s.m + 7) // 8
    if s.m % 8:
        assert image[-1] >> (s.m % 8) == 0
    zeros = f.foz()
    if s.m == 0:
        assert math.isnan(zeros)
    else:
        assert zeros == 1.0 - int.from_bytes(image, "little").bit_count() / s.m


def masked(image: bytes, m: int) -> bytes:
    """What a filter of m bits holds after reading image."""
    bits = bytearray(image[: (m + 7) // 8].ljust((m + 7) // 8, b"\0"))
    if m % 8:
        bits[-1] &= (1 << (m % 8)) - 1
    return bytes(bits)


# --- arguments --------------------------------------------------------------

def integer_like(fdp, value):
    """value as int, bool, a NumPy integer or an __index__ object."""
    kind = fdp.ConsumeIntInRange(0, 4)
    if kind == 1 and value in (0, 1):
        return bool(value)
    if kind == 2 and -(2**63) <= value < 2**63:
        return np.int64(value)
    if kind == 3 and 0 <= value < 2**16:
        return np.uint16(value)
    if kind == 4:
        return Index(value)
    return value


def integer(fdp, lo, hi, choices, involved=()):
    """(argument, value, effect): a convertible integer in lo .. hi drawn from
    choices (pairs of bounds), or an argument that no integer conversion takes
    (value None). In a probed step an integer argument may make a call on one
    of the involved subjects when it is converted; effect then does to the
    model what that call does to the filter (see converted)."""
    if fdp.ConsumeIntInRange(0, 7):
        low, high = fdp.PickValueInList(choices)
        value = fdp.ConsumeIntInRange(low, high)
        argument = integer_like(fdp, value)
    else:
        value = None
        bad = fdp.ConsumeIntInRange(0, 4)
        if bad == 0:
            argument = lo - 1 - fdp.ConsumeIntInRange(0, 2**70)
        elif bad == 1:
            argument = hi + 1 + fdp.ConsumeIntInRange(0, 2**70)
        elif bad == 2:
            argument = float(fdp.ConsumeIntInRange(0, 9))
        elif bad == 3:
            argument = np.float64(1.0)
        else:
            argument = fdp.PickValueInList(["3", None, b"3", 2j])
    if probing and involved and type(argument) is int and fdp.ConsumeIntInRange(0, 2) == 0:
        call, effect = reentry(fdp, fdp.PickValueInList(list(involved)))
        return fdp.PickValueInList([Reentrant, ReentrantInt])(argument, call), value, effect
    return argument, value, None


def reentry(fdp, s):
    """(call, effect): a call on the filter of s for an argument to make while
    it is converted, and what it does to s. The call does not raise: only the
    refusal of a bare filter is expected, and caught. Conversion may make it
    more than once; every call here gives the same filter when repeated."""
    f = s.filter
    kind = fdp.ConsumeIntInRange(0, 4)
    k = fdp.ConsumeIntInRange(0, LARGEST_K)
    m = fdp.ConsumeIntInRange(0, 70)
    image = image_bytes(fdp, m)

    def unless_bare(call):
        def run():
            try:
                call()
            except ValueError as error:
                if str(error) != NOT_INITIALISED[1]:
                    raise
        return run

    def initialise(k, m, image):
        def effect():
            if s.bare:
                s.bare, s.k, s.m, s.image = False, k, m, image
        return effect

    def replace(k, m, image):
        def effect():
            if not s.bare:
                s.k, s.m, s.image = k, m, image
        return effect

    if kind == 0:
        return f.__init__, initialise(0, 0, b"")
    if kind == 1:
        return lambda: f.__setstate__((k, m, image)), initialise(k, m, masked(image, m))
    if kind == 2:
        return unless_bare(lambda: f.configure(k, m)), replace(k, m, bytes((m + 7) // 8))
    if kind == 3:
        return unless_bare(lambda: f.from_bytes(image, k, m)), replace(k, m, masked(image, m))
    name = fdp.PickValueInList(["union", "intersect"])
    return unless_bare(lambda: getattr(f, name)(f)), lambda: None


def converted(*arguments):
    """Whether every argument converts, each given as (converts, effect).
    Conversion goes in order and stops at the first argument that does not
    convert; the effects of the arguments it reached are applied."""
    for converts, effect in arguments:
        if effect:
            effect()
        if not converts:
            return False
    return True


def image_bytes(fdp, m):
    return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, (m + 7) // 8 + 3))


def axis_lengths(fdp):
    """Mostly short axes; now and then, rows enough for whole batches of eight
    (which the filter hashes eight at a time) and columns enough to fill a
    vector with items (which it copies a vector at a time)."""
    shape = [fdp.ConsumeIntInRange(0, 4) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    if len(shape) >= 2 and fdp.ConsumeIntInRange(0, 3) == 0:
        shape[0] = fdp.ConsumeIntInRange(8, 19)
        shape[1] = fdp.ConsumeIntInRange(0, 40)
    return tuple(shape)


def make_array(fdp):
    """An array of random dtype, shape and strides, as_strided over a buffer
    that holds exactly the bytes its elements occupy (or one element when it
    has none), so that any read outside the view is a read outside the buffer.
    An array that occupies no memory (no elements, or items of size 0) takes
    any strides at all."""
    dtype = fdp.PickValueInList(DTYPES)
    size = dtype.itemsize
    if size == 0 or fdp.ConsumeIntInRange(0, 31) == 0:
        shape = tuple(fdp.ConsumeIntInRange(0, 4) for _ in range(fdp.ConsumeIntInRange(0, 4)))
        if size and shape:
            shape = shape[:-1] + (0,)
        strides = tuple(fdp.ConsumeIntInRange(-(2**63), 2**63 - 1) for _ in shape)
        return as_strided(np.empty(1, dtype=dtype), shape=shape, strides=strides)
    if fdp.ConsumeIntInRange(0, 63) == 0:
        # A broadcast row longer than the hash takes.
        shape, strides = (1, INT_MAX // size + 1), (0, 0)
    else:
        shape = axis_lengths(fdp)
        strides = []
        natural = size
        for length in reversed(shape):
            kind = fdp.ConsumeIntInRange(0, 6)
            if kind <= 1:
                stride = natural
            elif kind == 2:
                stride = -natural
            elif kind == 6:
                # As rows in Fortran order have.
                stride = size
            elif kind == 3:
                stride = 0
            elif kind == 4 or length > 1:
                stride = fdp.ConsumeIntInRange(-3 * size - 3, 3 * size + 3)
            else:
                stride = fdp.PickValueInList([1, -1]) * (2**40 + fdp.ConsumeIntInRange(0, 2**20))
            if dtype == object:
                stride -= stride % 8
            strides.append(stride)
            natural *= max(length, 1)
        strides = tuple(reversed(strides))
    if all(shape):
        low = sum(min(0, stride * (length - 1)) for stride, length in zip(strides, shape))
        high = sum(max(0, stride * (length - 1)) for stride, length in zip(strides, shape))
    else:
        low = high = 0
    pad = fdp.ConsumeIntInRange(0, 7)
    if dtype == object:
        count = (high - low) // 8 + 1 + pad
        buffer = np.empty(count, dtype=object)
        for i in range(count):
            buffer[i] = fdp.PickValueInList(OBJECTS)
        first = buffer[pad - low // 8:][:1]
    else:
        total = pad + high - low + size
        buffer = np.empty(total, dtype=np.uint8)
        buffer[:] = np.frombuffer(fdp.ConsumeBytes(total).ljust(total, b"\0"), dtype=np.uint8)
        first = buffer[pad - low:][:size].view(dtype)
    return as_strided(first, shape=shape, strides=strides)


def array_argument(fdp):
    """(argument, array or None when the argument is not an ndarray)."""
    if fdp.ConsumeIntInRange(0, 15) == 0:
        return fdp.PickValueInList(NON_ARRAYS), None
    a = make_array(fdp)
    return a, a


def rows_error(a):
    """The error of insert and test for the rows of a, before the filter counts."""
    ndim = a.ndim
    if ndim == 0:
        return IndexError, "invalid axis: 0 (ndim = 0)"
    if a.shape[0] == 0:
        return None
    if ndim < 2:
        return IndexError, f"invalid axis: 1 (ndim = {ndim})"
    if a.shape[1] > 0:
        for axis in range(2, ndim):
            if a.shape[axis] == 0:
                return IndexError, f"index 0 is out of bounds for axis {axis} with size 0"
    if a.shape[1] * a.itemsize > INT_MAX:
        return ValueError, "row too long to hash: more than 2147483647 bytes"
    return None


def call_error(s, a, out_error=None):
    """The error of a call on the rows of a: theirs, then out's, then that
    of a filter of no bits."""
    expected = rows_error(a) or out_error
    if expected is None and a.shape[0] > 0 and s.k > 0 and s.m == 0:
        expected = ValueError, "filter has no bits: configure m > 0 first"
    return expected


def row_error(a, row):
    """The error of dbg_getrow and dbg_gethex, or None."""
    if a.ndim < 2:
        return IndexError, f"invalid axis: 1 (ndim = {a.ndim})"
    if a.shape[1] == 0:
        return None
    if not 0 <= row < a.shape[0]:
        return IndexError, f"index {row} is out of bounds for axis 0 with size {a.shape[0]}"
    for axis in range(2, a.ndim):
        if a.shape[axis] == 0:
            return IndexError, f"index 0 is out of bounds for axis {axis} with size 0"
    return None


def row_bytes(a, row):
    # Without columns, or with items of size 0, a row is empty whatever its
    # strides and later axes.
    return model.row_bytes(a, row) if a.shape[1] and a.itemsize else b""


def rows_of(a):
    return [row_bytes(a, r) for r in range(a.shape[0])]


def member(image, row, k, m):
    return all(image[p // 8] >> (p % 8) & 1 for p in model.positions(row, k, m))


def inserted_in_order(image, rows, k, m):
    """(answers, image) of test_and_insert: each row tested against the bits
    of the rows before it, then inserted."""
    bits = bytearray(image)
    answers = []
    for row in rows:
        answers.append(member(bits, row, k, m))
        for p in model.positions(row, k, m):
            bits[p // 8] |= 1 << (p % 8)
    return answers, bytes(bits)


def with_repeats(fdp, a):
    """a's rows, some of them again, within a batch of eight and across, laid
    out C, Fortran, or reversed along either axis."""
    if a.ndim < 2 or a.size == 0 or a.shape[1] * a.itemsize > LONGEST_MODELLED_ROW:
        return a
    count = fdp.ConsumeIntInRange(*fdp.PickValueInList([(1, 7), (8, 19)]))
    rows = a[[fdp.ConsumeIntInRange(0, a.shape[0] - 1) for _ in range(count)]]
    layout = fdp.ConsumeIntInRange(0, 3)
    if layout == 1:
        return np.asfortranarray(rows)
    if layout == 2:
        return rows[::-1]
    if layout == 3:
        return rows[:, ::-1]
    return rows


# --- steps ------------------------------------------------------------------

def new_subject(fdp) -> Subject:
    kind = fdp.ConsumeIntInRange(0, 7)
    cls = fdp.PickValueInList(CLASSES)
    if kind == 0:
        return bare(cls)
    f = cls()
    if kind == 1:
        return Subject(f)
    k = fdp.ConsumeIntInRange(0, LARGEST_K)
    m = fdp.ConsumeIntInRange(*fdp.PickValueInList([(0, LARGEST_M), (0, 2), (60, 70)]))
    if kind <= 4:
        f.configure(k, m)
        return Subject(f, k, m, bytes((m + 7) // 8))
    image = image_bytes(fdp, m)
    f.from_bytes(image, k, m)
    return Subject(f, k, m, masked(image, m))


def step_configure(fdp, s):
    k, k_value, k_effect = integer(fdp, 0, SIZE_MAX, [(0, LARGEST_K)], [s])
    m, m_value, m_effect = integer(fdp, 0, SIZE_MAX, size_choices(fdp, (0, LARGEST_M), (0, 70), (0, 2)), [s])
    if not converted((k_value is not None, k_effect), (m_value is not None, m_effect)):
        expected = incompatible("configure")
    elif s.bare:
        expected = NOT_INITIALISED
    elif m_value > MAX_BITS:
        expected = LENGTH_ERROR
    elif m_value == MAX_BITS:
        expected = MemoryError, "std::bad_alloc"
    else:
        expected = None
    if outcome(expected, lambda: s.filter.configure(k, m)) is not FAILED:
        s.k, s.m, s.image = k_value, m_value, bytes((m_value + 7) // 8)
    return s


def size_choices(fdp, *choices):
    """Ranges of m: those given, above the largest filter, and on 64 bits the
    largest filter itself, which never fits in memory."""
    choices = [*choices, (MAX_BITS + 1, SIZE_MAX)]
    if SIZE_BITS == 64 and fdp.ConsumeIntInRange(0, 3) == 0:
        choices.append((MAX_BITS, MAX_BITS))
    return choices


def size_error(k_value, m_value):
    """The error of from_bytes and a state for k and m that convert, or None."""
    if k_value < 0 or m_value < 0:
        return NEGATIVE
    if m_value > MAX_BITS:
        return LENGTH_ERROR
    if m_value == MAX_BITS:
        return MemoryError, "std::bad_alloc"
    return None


def step_from_bytes(fdp, s):
    # k and m take any size_t or negative ssize_t; k stays small for the model.
    k, k_value, k_effect = integer(fdp, SSIZE_MIN, SIZE_MAX, [(0, LARGEST_K), (0, LARGEST_K), (-3, -1), (SSIZE_MIN, -1)],
                                   [s])
    m_choices = size_choices(fdp, (0, LARGEST_M), (0, 70), (-3, -1), (INT_MIN, -1), (SSIZE_MIN, -1))
    m, m_value, m_effect = integer(fdp, SSIZE_MIN, SIZE_MAX, m_choices, [s])
    raw = image_bytes(fdp, min(max(m_value or 0, 0), LARGEST_M))
    kind = fdp.ConsumeIntInRange(0, 5)
    image = [raw, raw, Image(raw), bytearray(raw), memoryview(raw), raw.decode("latin-1")][kind]
    if not converted((kind < 3, None), (k_value is not None, k_effect), (m_value is not None, m_effect)):
        expected = incompatible("from_bytes")
    elif s.bare:
        expected = NOT_INITIALISED
    else:
        expected = size_error(k_value, m_value)
    if outcome(expected, lambda: s.filter.from_bytes(image, k, m)) is not FAILED:
        s.k, s.m, s.image = k_value, m_value, masked(raw, m_value)
    return s


def step_rows(fdp, s):
    name = fdp.PickValueInList(["insert", "insert_along", "test"])
    argument, a = array_argument(fdp)
    args = (argument,)
    axis_ok = True
    if name == "insert_along":
        axis, axis_value, axis_effect = integer(fdp, INT_MIN, INT_MAX, [(INT_MIN, INT_MAX), (-2, 4)], [s])
        args = (argument, axis)
        axis_ok = converted((a is not None, None), (axis_value is not None, axis_effect))
    if a is None or not axis_ok:
        expected = incompatible(name)
    elif s.bare:
        expected = NOT_INITIALISED
    else:
        expected = call_error(s, a)
    result = outcome(expected, lambda: getattr(s.filter, name)(*args))
    if result is FAILED:
        return s
    rows = rows_of(a)
    if name == "test":
        assert result == [member(s.image, row, s.k, s.m) for row in rows]
        assert all(answer is True or answer is False for answer in result)
        return s
    assert result is None
    if s.m:
        added = model.image(rows, s.k, s.m)
        s.image = bytes(x | y for x, y in zip(s.image, added))
    # Every row just inserted is a member.
    assert s.filter.test(a) == [True] * len(rows)
    return s


def step_test_and_insert(fdp, s):
    argument, a = array_argument(fdp)
    if a is not None and fdp.ConsumeBool():
        argument = a = with_repeats(fdp, a)
    if a is None:
        expected = incompatible("test_and_insert")
    elif s.bare:
        expected = NOT_INITIALISED
    else:
        expected = call_error(s, a)
    result = outcome(expected, lambda: s.filter.test_and_insert(argument))
    if result is FAILED:
        return s
    rows = rows_of(a)
    answers, image = inserted_in_order(s.image, rows, s.k, s.m)
    assert type(result) is np.ndarray and result.dtype == np.bool_ and result.shape == (len(rows),)
    assert result.tolist() == answers
    s.image = image
    assert s.filter.test_mask(a).all()
    return s


NOT_BOOL = [np.dtype(name) for name in ["u1", "i1", "<i4", ">u2", "f8", "S1", "V1", "M8[s]"]] + [np.dtype(object)]


# An array that comes back from a worker process has a bool dtype equal to
# NumPy's, but another object.
BOOL_DTYPES = [np.dtype(bool), np.dtype(bool), np.dtype(bool), pickle.loads(pickle.dumps(np.dtype(bool)))]


class BoolArray(np.ndarray):
    pass


def mask_argument(fdp, a):
    """(how out is given, out, expected error, buffer, offset): out for
    test_mask of a's rows, of any stride, over the bytes of buffer from
    offset, or in a's own memory; or an out that is refused. How: "none"
    (left out), "keyword", "positional", or "other keyword"."""
    how = fdp.PickValueInList(["none", "keyword", "positional", "keyword", "positional", "other keyword"])
    if how == "none":
        return how, None, None, None, 0
    rows = a.shape[0] if a is not None and a.ndim else 0
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind == 0:
        out = fdp.PickValueInList([None, [True] * rows, np.bool_(True), bytearray(rows), memoryview(bytes(rows))])
        return how, out, None if out is None else incompatible("test_mask"), None, 0
    if kind <= 3:
        # Refused for its dtype, then its shape, then for being read-only.
        dtype = np.dtype(bool) if kind > 1 else fdp.PickValueInList(NOT_BOOL)
        shape = (rows,)
        if kind < 3 and fdp.ConsumeBool():
            shape = fdp.PickValueInList([(), (rows + 1,), (max(rows - 1, 0),), (rows, 1), (1, rows), (rows, 0)])
        out = np.zeros(shape, dtype=dtype)
        read_only = kind == 3 or fdp.ConsumeIntInRange(0, 3) == 0
        if read_only and fdp.ConsumeBool():
            out.setflags(write=False)
        elif read_only:
            out = np.broadcast_to(np.zeros((), dtype=dtype), shape)
        if dtype != np.bool_:
            error = TypeError, f"out must be an array of bool, not {dtype}"
        elif shape != (rows,):
            error = ValueError, f"out must have the shape ({rows},), one item per row, not {shape}"
        elif read_only:
            error = ValueError, "out is read-only"
        else:
            error = None
        return how, out, error, None, 0
    if kind in (4, 5) and a is not None and a.itemsize == 1 and a.ndim >= 2 and a.size:
        # A column of the rows themselves: the answers overwrite what is tested.
        column = fdp.ConsumeIntInRange(0, a.shape[1] - 1)
        return how, a[(slice(None), column) + (0,) * (a.ndim - 2)].view(bool), None, None, 0
    if kind == 6 and a is not None and a.ndim == 1 and a.dtype == np.bool_ and rows == 0:
        return how, a, None, None, 0
    # Any stride, 0 and negative too, over a buffer of exactly the bytes that
    # out spans and a few more around it, which must stay as they were.
    stride = fdp.PickValueInList([1, 1, -1, 0, 2, -3, 7])
    pad = fdp.ConsumeIntInRange(0, 3)
    span = abs(stride) * (rows - 1) + 1 if rows else 1
    buffer = np.frombuffer(fdp.ConsumeBytes(span + 2 * pad).ljust(span + 2 * pad, b"\x02"), dtype=np.uint8).copy()
    offset = pad + (abs(stride) * (rows - 1) if stride < 0 and rows else 0)
    out = as_strided(buffer[offset:].view(fdp.PickValueInList(BOOL_DTYPES)), shape=(rows,), strides=(stride,))
    if fdp.ConsumeIntInRange(0, 7) == 0:
        out = out.view(BoolArray)
    return how, out, None, buffer, offset


def step_test_mask(fdp, s):
    argument, a = array_argument(fdp)
    how, out, out_error, buffer, offset = mask_argument(fdp, a)
    args, kwargs = (argument,), {}
    if how == "positional":
        args += (out,)
    elif how == "keyword":
        kwargs["out"] = out
    elif how == "other keyword":
        kwargs["mask"] = out
    before = out.copy() if isinstance(out, np.ndarray) else None
    out_converts = out_error is None or "incompatible" not in out_error[1]
    if a is None or how == "other keyword" or not out_converts:
        expected = incompatible("test_mask")
    elif s.bare:
        expected = NOT_INITIALISED
    else:
        expected = call_error(s, a, out_error)
    rows = rows_of(a) if expected is None else None
    buffer_before = None if buffer is None else buffer.copy()
    result = outcome(expected, lambda: s.filter.test_mask(*args, **kwargs))
    if result is FAILED:
        if before is not None:
            assert out.tobytes() == before.tobytes()
        if buffer is not None:
            assert np.array_equal(buffer, buffer_before)
        return s
    answers = [member(s.image, row, s.k, s.m) for row in rows]
    assert isinstance(result, np.ndarray) and result.dtype == np.bool_ and result.shape == (len(rows),)
    if out is None or how == "none":
        assert type(result) is np.ndarray and result.flags.c_contiguous and result.flags.writeable
        assert result.tolist() == answers
        return s
    # out itself comes back, of whatever ndarray type it is.
    assert result is out
    # Items of out that share an address hold the last answer written there.
    written = {}
    for index, answer in enumerate(answers):
        written[out.strides[0] * index] = answer
    assert out.tolist() == [written[out.strides[0] * index] for index in range(len(answers))]
    if buffer is not None:
        expected_buffer = buffer_before.copy()
        for place, answer in written.items():
            expected_buffer[offset + place] = answer
        assert np.array_equal(buffer, expected_buffer)
    return s


def step_row_bytes(fdp, s):
    name = fdp.PickValueInList(["dbg_getrow", "dbg_gethex"])
    argument, a = array_argument(fdp)
    row, row_value, row_effect = integer(fdp, INT_MIN, INT_MAX, [(0, 3), (0, 3), (-2, 5), (INT_MIN, INT_MAX)], [s])
    if a is not None and a.ndim >= 2 and a.shape[1] * a.itemsize > LONGEST_MODELLED_ROW:
        return s
    if not converted((a is not None, None), (row_value is not None, row_effect)):
        expected = incompatible(name)
    elif s.bare:
        expected = NOT_INITIALISED
    else:
        expected = row_error(a, row_value)
    result = outcome(expected, lambda: getattr(s.filter, name)(argument, row))
    if result is FAILED:
        return s
    expected_bytes = row_bytes(a, row_value)
    if name == "dbg_getrow":
        assert type(result) is list and result == list(expected_bytes)
    else:
        assert result == "".join(format(byte, "x") for byte in expected_bytes)
    return s


def step_merge(fdp, s):
    name = fdp.PickValueInList(["union", "intersect"])
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 0:
        other = None
        argument = fdp.PickValueInList(NON_FILTERS)
    elif kind == 1:
        other = s
        argument = s.filter
    elif kind <= 3 and not s.bare:
        f = tolvane.bloomfilter()
        image = masked(image_bytes(fdp, s.m), s.m)
        if s.k <= INT_MAX and s.m <= INT_MAX:
            f.from_bytes(image, s.k, s.m)
            other = Subject(f, s.k, s.m, image)
        else:
            other = Subject(f)
        argument = other.filter
    else:
        other = new_subject(fdp)
        argument = other.filter
    if other is None:
        expected = incompatible(name)
    elif s.bare or other.bare:
        expected = NOT_INITIALISED
    elif (other.k, other.m) != (s.k, s.m):
        expected = RuntimeError, f"Configuration Mismatch in {name}"
    else:
        expected = None
    if outcome(expected, lambda: getattr(s.filter, name)(argument)) is not FAILED and other is not s:
        combine = (lambda x, y: x | y) if name == "union" else (lambda x, y: x & y)
        s.image = bytes(combine(x, y) for x, y in zip(s.image, other.image))
    if other is not None and other is not s:
        check(other)
    return s


def copied(f, how):
    if how <= pickle.HIGHEST_PROTOCOL:
        return pickle.loads(pickle.dumps(f, protocol=how))
    return copy.copy(f) if how == pickle.HIGHEST_PROTOCOL + 1 else copy.deepcopy(f)


def step_copy(fdp, s):
    # Protocols 0 and 1 only where a probe runs first.
    how = fdp.ConsumeIntInRange(0 if probing else 2, pickle.HIGHEST_PROTOCOL + 2)
    duplicate = outcome(NOT_INITIALISED if s.bare else None, lambda: copied(s.filter, how))
    if duplicate is FAILED:
        return s
    assert type(duplicate) is type(s.filter)
    check(Subject(duplicate, s.k, s.m, s.image))
    # A copy is independent of its original.
    duplicate.configure(1, 9)
    duplicate.insert(np.zeros((1, 1), dtype=np.uint8))
    return s


def step_getstate(fdp, s):
    state = outcome(NOT_INITIALISED if s.bare else None, s.filter.__getstate__)
    if state is not FAILED:
        assert type(state) is tuple and state == (s.k, s.m, s.image) and type(state[2]) is bytes
    return s


def state_item(fdp, involved, choices):
    """(item, value, effect): an item 0 or 1 of a state and the int it converts
    to, or None, as integer() gives them."""
    return integer(fdp, SSIZE_MIN, SIZE_MAX, choices, involved)


def state_image(fdp):
    """(item 2 of a state, expected error, the bytes the filter reads)."""
    raw = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, LARGEST_M // 8 + 4))
    kind = fdp.ConsumeIntInRange(0, 8)
    if kind == 0:
        item = fdp.PickValueInList(NON_BUFFERS)
        return item, (TypeError, f"Object of type '{type(item).__name__}' is not an instance of 'buffer'"), None
    if kind <= 2:
        item = [raw, bytearray(raw)][kind - 1]
    elif kind == 3:
        item = memoryview(raw)[:: fdp.PickValueInList([1, 2, -1, -3])]
    elif kind == 4:
        item = memoryview(raw[: len(raw) // 4 * 4]).cast(fdp.PickValueInList(["B", "H", "I"]))
    else:
        dtype = fdp.PickValueInList(["u1", "<u2", ">i4", "f8"])
        usable = len(raw) // 8 * 8
        item = np.frombuffer(raw[:usable], dtype=dtype).copy()
        if kind == 6 and item.size >= 2 and item.size % 2 == 0:
            item = item.reshape(2, -1)[:, ::fdp.PickValueInList([1, -1, 2])]
        elif kind == 7 and item.size:
            item = item[0]
            item = np.array(item)
        elif kind == 8:
            item = item[:: fdp.PickValueInList([1, 2, -1])]
    view = memoryview(item)
    # An empty buffer is contiguous whatever its strides, though a memoryview
    # says otherwise.
    if view.nbytes and not view.c_contiguous:
        return item, NOT_CONTIGUOUS, None
    # All of its bytes, whatever the size of its items.
    return item, None, view.tobytes()


def step_setstate(fdp, s):
    if fdp.ConsumeIntInRange(0, 7) == 0:
        # On a live filter __setstate__ does nothing at all, whatever it is given.
        if not s.bare:
            assert s.filter.__setstate__(fdp.PickValueInList([(), (1, 2, 3), [1], None])) is None
        return s
    # A bare subject is restored in place now and then, also after a failure.
    target = s if s.bare and fdp.ConsumeBool() else bare(fdp.PickValueInList(CLASSES))
    if fdp.ConsumeIntInRange(0, 15) == 0:
        outcome(incompatible("__setstate__", "constructor"), lambda: target.filter.__setstate__([0, 8, b""]))
        check(target)
        return s
    small = [(0, LARGEST_K), (0, LARGEST_M), (0, 70), (-2, -1), (INT_MIN, -1), (SSIZE_MIN, -1)]
    k, k_value, k_effect = state_item(fdp, [target, s], small)
    m, m_value, m_effect = state_item(fdp, [target, s], size_choices(fdp, *small))
    image, image_error, read = state_image(fdp)
    items = [k, m, image]
    length = fdp.PickValueInList([3] * 8 + [0, 1, 2, 4])
    state = tuple(items[:length]) + tuple(range(length - 3))
    # The items are converted only in a state of three, item 1 first.
    if length != 3:
        expected = INVALID_STATE
    elif not converted((m_value is not None, m_effect), (k_value is not None, k_effect)):
        expected = cast_error(m if m_value is None else k)
    elif not target.bare:
        # The conversion initialised the instance: it keeps what it was given,
        # whatever the rest of the state.
        expected = None
    else:
        expected = size_error(k_value, m_value) or image_error
    if outcome(expected, lambda: target.filter.__setstate__(state)) is FAILED:
        check(target)
        return s
    if target.bare:
        target.bare, target.k, target.m, target.image = False, k_value, m_value, masked(read, m_value)
    check(target)
    return target if fdp.ConsumeBool() else s


def step_init(fdp, s):
    assert s.filter.__init__() is None
    if s.bare:
        return Subject(s.filter)
    return s


STEPS = [step_configure, step_from_bytes, step_rows, step_rows, step_rows, step_test_and_insert, step_test_and_insert,
         step_test_mask, step_test_mask, step_row_bytes, step_merge, step_copy, step_getstate, step_setstate,
         step_setstate, step_init]


# Set while a probed step runs.
probing = False
PROBE_SECONDS = 20


def probed(step, fdp, s):
    """Runs a step that may abort or hang the interpreter in a forked child
    first, so that its death is reported as a finding of this input rather
    than lost with the fuzzer; then runs it here, where its coverage counts
    and the model goes on. The child draws the same arguments from its copy
    of the data."""
    global probing
    probing = True
    try:
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read)
            status = 0
            try:
                check(step(fdp, s))
            except BaseException:  # noqa: BLE001 - reported to the parent
                os.write(write, traceback.format_exc()[-4000:].encode())
                status = 1
            os._exit(status)
        os.close(write)
        exited = os.pidfd_open(pid)
        hung = not select.select([exited], [], [], PROBE_SECONDS)[0]
        os.close(exited)
        if hung:
            os.kill(pid, signal.SIGKILL)
        status = os.waitpid(pid, 0)[1]
        with os.fdopen(read, "rb") as pipe:
            report = pipe.read().decode()
        if hung:
            raise AssertionError(f"{step.__name__} hung for {PROBE_SECONDS} s in a child")
        if os.WIFSIGNALED(status):
            raise AssertionError(f"{step.__name__} killed the child: {signal.Signals(os.WTERMSIG(status)).name}")
        if os.WEXITSTATUS(status):
            raise AssertionError(f"{step.__name__} failed in the child:\n{report}")
        return step(fdp, s)
    finally:
        probing = False


def run(data: bytes):
    fdp = atheris.FuzzedDataProvider(data)
    s = new_subject(fdp)
    check(s)
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        step = fdp.PickValueInList(STEPS)
        # Data that has run out reads as zeros: it does not probe every step.
        s = probed(step, fdp, s) if fdp.ConsumeIntInRange(0, 7) == 7 else step(fdp, s)
        check(s)
