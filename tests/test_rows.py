"""insert, insert_along, test, test_mask and test_and_insert: the bits they set
and read, for every dtype, layout and number of dimensions, compared with the
plain-Python model, and on emulated CPUs without AVX-512 and without AVX2 with
this one."""

import json
import os
import pickle
import platform
import subprocess
import sys

import numpy as np
import pytest

import model
from conftest import MAX_BITS, SIZE_BITS, check_image, child_env, configured, state_of

RNG = np.random.default_rng(1208)

DTYPES = ["u1", "i2", ">i4", "<i8", "f4", "c16", "?", "S5", "U3", "M8[s]", [("a", "<i4"), ("b", "S3")], object]


def sample(dtype, shape) -> np.ndarray:
    dtype = np.dtype(dtype)
    if dtype == object:
        return np.array(RNG.integers(0, 50, size=shape).tolist(), dtype=object).reshape(shape)
    raw = RNG.integers(0, 256, size=int(np.prod(shape)) * dtype.itemsize, dtype=np.uint8)
    return raw.view(dtype).reshape(shape)


def unaligned(a: np.ndarray) -> np.ndarray:
    buffer = np.zeros(a.nbytes + 1, dtype=np.uint8)
    view = buffer[1:].view(a.dtype).reshape(a.shape)
    view[...] = a
    return view


def read_only(a: np.ndarray) -> np.ndarray:
    a = a.copy()
    a.flags.writeable = False
    return a


def three_d(a: np.ndarray) -> np.ndarray:
    # Only elements (r, c, 0) belong to row r; the rest must not count.
    return np.stack([a, a[::-1]], axis=2)


LAYOUTS = {
    "C": lambda a: a,
    "Fortran": np.asfortranarray,
    "transposed": lambda a: np.ascontiguousarray(a.T).T,
    "sliced": lambda a: np.repeat(np.repeat(a, 2, axis=0), 3, axis=1)[::2, 1::3],
    "reversed": lambda a: a[::-1, ::-1],
    "broadcast": lambda a: np.broadcast_to(a[:1], a.shape),
    "single column": lambda a: a[:, 1:2],
    "unaligned": unaligned,
    "read-only": read_only,
    "3-D": three_d,
    "4-D Fortran": lambda a: np.asfortranarray(three_d(a)[..., None].repeat(2, axis=3)),
}


def member(image: bytes, row: bytes, k: int, m: int) -> bool:
    return all(image[p // 8] >> (p % 8) & 1 for p in model.positions(row, k, m))


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", DTYPES, ids=str)
def test_insert_sets_the_bits_of_every_row(dtype, layout):
    if layout == "unaligned" and np.dtype(dtype) == object:
        pytest.skip("object references cannot be placed in a raw byte buffer")
    rows = LAYOUTS[layout](sample(dtype, (9, 4)))
    f = configured(5, 997)
    f.insert(rows)
    assert check_image(f) == model.image_of_array(rows, 5, 997)
    assert f.test(rows) == [True] * 9


def with_repeats(rows: np.ndarray) -> np.ndarray:
    """The rows, then again some of them: within the first batch of eight,
    across batches, and among the rows after the last whole batch."""
    return rows[[0, 1, 2, 1, 4, 0, 6, 3, 8, 5, 8, *range(9, rows.shape[0]), 2, 9]]


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", DTYPES, ids=str)
def test_test_and_insert_answers_as_rows_inserted_one_at_a_time(dtype, layout):
    if layout == "unaligned" and np.dtype(dtype) == object:
        pytest.skip("object references cannot be placed in a raw byte buffer")
    rows = LAYOUTS[layout](with_repeats(sample(dtype, (12, 4))))
    f = configured(5, 997)
    f.insert(sample(dtype, (3, 4)))
    before = f.to_bytes()
    seen = f.test_and_insert(rows)
    expected, image = model.test_and_insert(model.rows_of(rows), 5, 997, before)
    assert seen.dtype == np.bool_ and seen.shape == (rows.shape[0],)
    assert seen.tolist() == expected
    assert check_image(f) == image
    mask = f.test_mask(rows)
    assert mask.dtype == np.bool_ and mask.tolist() == f.test(rows) == [True] * rows.shape[0]


# Layouts whose rows are copied a vector at a time where they are hashed eight
# at a time: columns of consecutive elements (Fortran order, transposed views,
# with the columns reversed too) and rows of consecutive elements in reverse.
# Column counts on both sides of the numbers of items in a vector.
VECTOR_LAYOUTS = {
    "Fortran": np.asfortranarray,
    "transposed": lambda a: np.ascontiguousarray(a.T).T,
    "Fortran reversed": lambda a: np.asfortranarray(a)[:, ::-1],
    "reversed": lambda a: a[:, ::-1],
}


@pytest.mark.parametrize("layout", VECTOR_LAYOUTS)
@pytest.mark.parametrize("cols", [1, 2, 3, 4, 5, 6, 8, 9, 17, 33, 70])
@pytest.mark.parametrize("dtype", ["u1", "<i2", ">i4", "f8", "c16", "S3"])
def test_every_layout_gives_the_bits_of_its_c_ordered_copy(dtype, cols, layout):
    # Two whole batches of eight rows and three more; half of the probed rows
    # were inserted.
    inserted = sample(dtype, (19, cols))
    probed = np.concatenate([inserted[::2], sample(dtype, (9, cols))])
    rows, probes = VECTOR_LAYOUTS[layout](inserted), VECTOR_LAYOUTS[layout](probed)
    f, g = configured(5, 4099), configured(5, 4099)
    f.insert(rows)
    g.insert(np.ascontiguousarray(rows))
    assert f.to_bytes() == g.to_bytes()
    assert f.test(probes) == g.test(np.ascontiguousarray(probes)) == f.test_mask(probes).tolist()
    again, again_c = configured(5, 4099), configured(5, 4099)
    repeated = VECTOR_LAYOUTS[layout](with_repeats(inserted))
    seen = again.test_and_insert(repeated)
    assert seen.tolist() == again_c.test_and_insert(np.ascontiguousarray(repeated)).tolist()
    assert again.to_bytes() == again_c.to_bytes()


@pytest.mark.parametrize("m", [1, 2, 63, 64, 65, 1000, 4099, 2**23 + 9])
@pytest.mark.parametrize("k", [1, 3, 7, 14])
def test_positions_and_answers_match_the_model(k, m):
    inserted, probed = sample("u1", (40, 16)), sample("u1", (60, 16))
    f = configured(k, m)
    f.insert(inserted)
    image = f.to_bytes()
    expected = model.image_of_array(inserted, k, m)
    assert image == expected
    # Rows that were not inserted are members exactly when all their bits are set.
    answers = f.test(probed)
    assert answers == [member(expected, model.row_bytes(probed, r), k, m) for r in range(60)]
    assert all(answer is True or answer is False for answer in answers)
    assert f.test_mask(probed).tolist() == answers
    repeated = np.concatenate([probed, probed[::-3], inserted[:5]])
    seen, after = model.test_and_insert(model.rows_of(repeated), k, m, image)
    assert f.test_and_insert(repeated).tolist() == seen
    assert f.to_bytes() == after


@pytest.mark.parametrize("count", [1, 7, 8, 9, 16, 17, 25])
@pytest.mark.parametrize("k", [1, 7, 64, 65])
def test_a_row_repeated_anywhere_in_one_call_is_seen_exactly_as_one_at_a_time(k, count):
    # Whole batches of eight rows and the rows after them; k on both sides of
    # the steps that a batch keeps before it answers. Few bits, so that rows
    # meet each other's positions.
    rows = sample("u1", (count, 5))
    repeated = np.concatenate([rows, rows[::-1], rows[: count // 2]])
    f, g = configured(k, 160), configured(k, 160)
    seen = f.test_and_insert(repeated)
    one_at_a_time = [g.test_and_insert(repeated[r : r + 1])[0] for r in range(len(repeated))]
    assert seen.tolist() == one_at_a_time
    assert seen[count:].all()
    assert f.to_bytes() == g.to_bytes() == model.image_of_array(repeated, k, 160)


def test_a_row_is_not_seen_through_a_position_it_repeats():
    # k = 64 positions in 2 bits: every row meets its own positions again;
    # the first of each row still finds the bits clear.
    f = configured(64, 2)
    rows = np.array([[1], [1], [2], [2]], dtype=np.uint8)
    for r in (0, 2):
        where = model.positions(model.row_bytes(rows, r), 64, 2)
        assert len(set(where)) < len(where)
    assert f.test_and_insert(rows).tolist() == model.test_and_insert(model.rows_of(rows), 64, 2, b"\0")[0]
    assert f.test_and_insert(rows[:1]).tolist() == [True]


def test_a_row_is_not_seen_through_a_word_that_only_looks_like_an_earlier_rows():
    # test_and_insert looks for the word of a row's first lacked bit among the
    # earlier rows' of its batch by their low 16 bits first: two rows whose
    # words are a multiple of 2^16 apart, in one batch of eight.
    m = 2**23
    first_with_low_bits = {}
    for value in range(1, 10**5):
        word = model.positions(np.uint64(value).tobytes(), 1, m)[0] >> 6
        earlier = first_with_low_bits.setdefault(word % 2**16, (word, value))
        if earlier[0] != word:
            break
    assert earlier[0] != word and earlier[0] % 2**16 == word % 2**16
    rows = np.array([earlier[1], value, *range(10**6, 10**6 + 6)], dtype=np.uint64).reshape(8, 1)
    f = configured(1, m)
    expected, image = model.test_and_insert(model.rows_of(rows), 1, m, f.to_bytes())
    assert expected[:2] == [False, False]
    assert f.test_and_insert(rows).tolist() == expected
    assert f.to_bytes() == image


def test_masks_of_many_rows_answer_as_fewer_rows_do():
    # Past the size from which a new mask's pages are brought in before the
    # kernels write it. Seven rows a call go one at a time.
    rows = sample("u1", (300_001, 8))
    f, g = configured(3, 2_000_003), configured(3, 2_000_003)
    f.insert(rows[::2])
    assert f.test_mask(rows).tolist() == f.test(rows)
    seen = f.test_and_insert(rows)
    g.insert(rows[::2])
    assert seen.tolist() == [a for i in range(0, len(rows), 7) for a in g.test_and_insert(rows[i : i + 7]).tolist()]
    assert f.to_bytes() == g.to_bytes()


# NaN with other payloads and signs, and both zeros: equal values, other bytes.
FLOAT_BYTES = [
    np.array([[np.nan, 1.0]]), np.array([[-np.nan, 1.0]]),
    np.array([[0x7FF8_0000_0000_0001, 0x3FF0_0000_0000_0000]], dtype=np.uint64).view(np.float64),
    np.array([[0.0, 1.0]]), np.array([[-0.0, 1.0]]),
]


def test_test_and_insert_tells_rows_apart_by_their_bytes():
    rows = np.concatenate(FLOAT_BYTES * 2)
    f = configured(7, 10_000)
    assert f.test_and_insert(rows).tolist() == [False] * 5 + [True] * 5


# Filters on both sides of 2^30 bits, where the remainder in lanes changes,
# and of more than 2^32 bits (as many as the platform holds on 32 bits).
@pytest.mark.parametrize("m", [2**30, 2**30 + 3, min(2**32 + 15, MAX_BITS)])
def test_positions_in_large_filters(m):
    rows = sample("u1", (50, 16))
    f = configured(14, m)
    f.insert(rows)
    expected = sorted({p for r in range(50) for p in model.positions(model.row_bytes(rows, r), 14, m)})
    image = np.frombuffer(f.to_bytes(), dtype=np.uint8)
    found = [8 * int(byte) + bit for byte in np.flatnonzero(image) for bit in range(8) if image[byte] >> bit & 1]
    assert found == expected


def test_worked_example_abc():
    f = configured(3, 1000)
    f.insert(np.array([[97, 98, 99]], dtype=np.uint8))
    assert f.foz() == 1 - 3 / 1000
    image = f.to_bytes()
    assert len(image) == 125
    assert {i: b for i, b in enumerate(image) if b} == {16: 0x20, 40: 0x20, 115: 0x02}


@pytest.mark.parametrize("count", [1, 5, 19])
def test_empty_rows_set_the_positions_of_the_empty_string(count):
    f = configured(4, 64)
    f.insert(np.zeros((count, 0), dtype=np.uint8))
    assert f.to_bytes() == bytes.fromhex("000000c003000000")
    assert f.test(np.zeros((count, 0), dtype=np.float64)) == [True] * count


@pytest.mark.parametrize(
    "a, b, same",
    [
        (np.ones((2, 3), np.int32), np.ones((2, 3), np.int64), False),
        (np.ones((2, 3), "<i4"), np.ones((2, 3), ">i4"), False),
        (np.arange(6, dtype=np.int8).reshape(2, 3), np.arange(6, dtype=np.uint8).reshape(2, 3), True),
        (np.arange(6, dtype=np.uint8).reshape(2, 3), np.arange(6, dtype=np.uint8).reshape(2, 3)[:, ::-1], False),
    ],
)
def test_items_are_told_apart_by_their_bytes_alone(a, b, same):
    f, g = configured(3, 256), configured(3, 256)
    f.insert(a)
    g.insert(b)
    assert (f.to_bytes() == g.to_bytes()) is same


@pytest.mark.parametrize("axis", [0, 1, -7, 2**31 - 1, -(2**31)])
def test_insert_along_ignores_the_axis(axis):
    rows = sample("i2", (6, 5))
    f, g = configured(4, 300), configured(4, 300)
    f.insert_along(rows, axis)
    g.insert(rows)
    assert f.to_bytes() == g.to_bytes()


def test_repeated_insert_and_test_change_nothing_more():
    rows = sample("f4", (30, 3))
    f = configured(6, 500)
    f.insert(rows)
    once = f.to_bytes()
    f.insert(rows)
    assert f.to_bytes() == once
    assert f.test(rows) == f.test(rows) == [True] * 30
    assert f.to_bytes() == once


def test_k_zero_sets_nothing_and_admits_every_row():
    f = configured(0, 100)
    f.insert(sample("u1", (10, 4)))
    assert f.foz() == 1.0
    assert f.test(sample("u1", (3, 4))) == [True] * 3
    assert f.test_mask(sample("u1", (3, 4))).tolist() == [True] * 3
    assert f.test_and_insert(sample("u1", (3, 4))).tolist() == [True] * 3
    assert f.foz() == 1.0
    empty = configured(0, 0)
    assert empty.test(sample("u1", (2, 4))) == empty.test_and_insert(sample("u1", (2, 4))).tolist() == [True, True]


def test_a_filter_with_nothing_inserted_admits_no_row():
    assert configured(3, 1000).test(sample("u1", (50, 8))) == [False] * 50


@pytest.mark.parametrize("shape", [(0,), (0, 3), (0, 3, 0), (0, 0, 5)])
def test_arrays_without_rows(shape):
    f = configured(3, 64)
    f.insert(np.zeros(shape))
    f.insert_along(np.zeros(shape), 1)
    assert f.test(np.zeros(shape)) == []
    for answers in (f.test_mask(np.zeros(shape)), f.test_and_insert(np.zeros(shape))):
        assert answers.dtype == np.bool_ and answers.shape == (0,)
    assert f.foz() == 1.0
    assert configured(3, 0).test(np.zeros(shape)) == []
    assert configured(3, 0).test_and_insert(np.zeros(shape)).shape == (0,)


def test_zero_length_axes_after_the_second_leave_rows_empty_only_without_columns():
    f = configured(4, 64)
    f.insert(np.zeros((2, 0, 0)))
    assert f.to_bytes() == bytes.fromhex("000000c003000000")


def too_long_row() -> np.ndarray:
    return np.broadcast_to(np.zeros((1, 1), dtype=np.uint16), (1, 2**30))


@pytest.mark.parametrize(
    "make_rows, error, message",
    [
        (lambda: np.array(5), IndexError, "invalid axis: 0 (ndim = 0)"),
        (lambda: np.arange(4), IndexError, "invalid axis: 1 (ndim = 1)"),
        (lambda: np.zeros((2, 3, 0)), IndexError, "index 0 is out of bounds for axis 2 with size 0"),
        (lambda: np.zeros((2, 3, 1, 0)), IndexError, "index 0 is out of bounds for axis 3 with size 0"),
        pytest.param(
            too_long_row, ValueError, "row too long to hash: more than 2147483647 bytes",
            marks=pytest.mark.skipif(
                SIZE_BITS < 64, reason="NumPy holds no array, hence no row, of more than 2^31 - 1 bytes on 32 bits"
            ),
        ),
    ],
    ids=["0-D", "1-D", "empty axis 2", "empty axis 3", "row too long"],
)
@pytest.mark.parametrize("method", ["insert", "insert_along", "test", "test_mask", "test_and_insert"])
def test_errors_come_before_any_change(method, make_rows, error, message, filled):
    rows = make_rows()
    before = state_of(filled)
    args = (rows, 0) if method == "insert_along" else (rows,)
    with pytest.raises(error) as raised:
        getattr(filled, method)(*args)
    assert str(raised.value) == message
    assert state_of(filled) == before


@pytest.mark.parametrize("method", ["insert", "test", "test_mask", "test_and_insert"])
def test_a_filter_without_bits_refuses_rows(method):
    f = configured(2, 0)
    with pytest.raises(ValueError, match=r"^filter has no bits: configure m > 0 first$"):
        getattr(f, method)(np.zeros((1, 2)))
    with pytest.raises(IndexError, match=r"invalid axis: 1 \(ndim = 1\)"):
        getattr(f, method)(np.zeros(3))
    assert state_of(f) == (2, 0, b"")


def strided_out(count: int) -> np.ndarray:
    return np.zeros(2 * count, dtype=bool)[::2]


def out_among_the_rows(rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    # The answers overwrite a column of the rows they answer for: every row is
    # read before any answer is written.
    both = np.concatenate([rows.view(bool), np.zeros((rows.shape[0], 1), bool)], axis=1)
    return both[:, :-1].view(rows.dtype), both[:, 0]


class Mask(np.ndarray):
    pass


OUTS = {
    "contiguous": lambda n: np.ones(n, bool),
    "strided": strided_out,
    # A dtype object of its own, as an array from another process has.
    "unpickled": lambda n: pickle.loads(pickle.dumps(np.ones(n, bool))),
    "subclass": lambda n: np.ones(n, bool).view(Mask),
}


@pytest.mark.parametrize("make_out", OUTS.values(), ids=OUTS)
def test_test_mask_fills_out_and_returns_it(make_out, filled):
    rows = sample("u1", (19, 3))
    filled.insert(rows[::2])
    out = make_out(19)
    assert filled.test_mask(rows, out=out) is out
    assert out.tolist() == filled.test(rows)


def test_test_mask_reads_every_row_before_it_writes_into_them(filled):
    rows = sample("u1", (19, 3))
    filled.insert(rows[::3])
    expected = filled.test(rows)
    view, out = out_among_the_rows(rows)
    assert filled.test_mask(view, out).tolist() == expected


@pytest.mark.parametrize(
    "out, error, message",
    [
        (np.zeros(4, np.uint8), TypeError, "out must be an array of bool, not uint8"),
        (np.zeros(5, bool), ValueError, r"out must have the shape \(4,\), one item per row, not \(5,\)"),
        (np.zeros((4, 1), bool), ValueError, r"out must have the shape \(4,\), one item per row, not \(4, 1\)"),
        (np.broadcast_to(np.zeros(1, bool), (4,)), ValueError, "out is read-only"),
        ([False] * 4, TypeError, r"test_mask\(\): incompatible function arguments"),
    ],
    ids=["dtype", "length", "dimensions", "read-only", "a list"],
)
def test_test_mask_refuses_an_out_that_does_not_fit(out, error, message, filled):
    before = state_of(filled)
    with pytest.raises(error, match="^" + message):
        filled.test_mask(sample("u1", (4, 3)), out=out)
    assert state_of(filled) == before


def test_test_mask_checks_the_rows_before_its_out_and_its_out_before_the_bits():
    with pytest.raises(IndexError, match="invalid axis"):
        configured(3, 0).test_mask(np.zeros(3), out=np.zeros(7, np.uint8))
    with pytest.raises(TypeError, match="out must be an array of bool"):
        configured(3, 0).test_mask(np.zeros((3, 2)), out=np.zeros(3, np.uint8))


# A quarter of the address space: a few rows of it overflow an offset.
HUGE_STRIDE = 2 ** (SIZE_BITS - 2)


@pytest.mark.parametrize(
    "rows",
    [
        np.lib.stride_tricks.as_strided(np.zeros(1, np.uint8), shape=(4, 0), strides=(HUGE_STRIDE, 1)),
        np.lib.stride_tricks.as_strided(np.zeros(1, "V0"), shape=(4, 3), strides=(HUGE_STRIDE, -HUGE_STRIDE)),
    ],
    ids=["no columns", "items of size 0"],
)
def test_rows_of_no_bytes_take_any_strides(rows):
    # Such rows occupy no memory, so their strides are unbounded; multiplying
    # them by a row number overflowed (UBSan, make asan).
    f = configured(4, 64)
    f.insert(rows)
    assert f.to_bytes() == bytes.fromhex("000000c003000000")
    assert f.test(rows) == f.test_mask(rows).tolist() == f.test_and_insert(rows).tolist() == [True] * 4
    assert f.dbg_getrow(rows, 3) == [] and f.dbg_gethex(rows, 3) == ""


# Every layout's reader, and every path through the positions: whole batches
# of eight rows and the rows after them; m on both sides of 2^30 (where the
# lanes' remainder changes); k below and above the steps the lanes keep in
# flight; rows shorter and longer than those whose words AVX2 gathers. The
# bits are compared as the positions that are set, so that large filters need
# not be hashed whole.
ROWS_SCRIPT = """
import json
import numpy as np
import tolvane

rng = np.random.default_rng(7)
out = {}
for m, ks, counts in ((1, (3,), (19,)), (1000, (1, 3, 14, 40, 70), (1, 8, 19)), (2**30, (7,), (19,)),
                      (2**30 + 3, (7,), (19,))):
    for k in ks:
        for count in counts:
            for cols in (6, 9):
                raw = rng.integers(0, 2**32, size=(count, cols), dtype=np.uint32)
                layouts = {"C": raw, "Fortran": np.asfortranarray(raw), "reversed": raw[:, ::-1],
                           "odd items": raw.view("S6"), "8-byte items": np.asfortranarray(raw[:, :6].view("u8"))}
                for layout, rows in layouts.items() if m < 2**20 else [("C", raw)]:
                    f = tolvane.bloomfilter()
                    f.configure(k, m)
                    f.insert(rows[::2])
                    answers = [f.test(rows), f.test_mask(rows).tolist()]
                    answers.append(f.test_and_insert(np.concatenate([rows[1::2], rows[::3]])).tolist())
                    image = np.frombuffer(f.to_bytes(), dtype=np.uint8)
                    out[f"{m} {k} {count} {cols} {layout}"] = [np.flatnonzero(image).tolist(), answers]
print(json.dumps([tolvane.bloomfilter.kernels(), out]))
"""


def run_rows_script(*command: str) -> tuple[str, dict]:
    done = subprocess.run([*command, sys.executable, "-c", ROWS_SCRIPT],
                          capture_output=True, text=True, timeout=600, env=child_env())
    assert done.returncode == 0, done.stderr
    kernels, results = json.loads(done.stdout)
    return kernels, results


# make test fetches a qemu-user that emulates AVX2 correctly (tools/qemu.sh):
# Debian 12's answers some AVX2 sequences wrongly.
QEMU = os.path.join(os.environ.get("TOLVANE_QEMU_DIR", ""), "qemu-x86_64")


@pytest.mark.skipif(platform.machine() != "x86_64" or not os.path.isfile(QEMU),
                    reason="needs TOLVANE_QEMU_DIR with qemu-x86_64 8 or later (tools/qemu.sh) to emulate other CPUs")
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="the sanitizer runtimes do not run under qemu-user")
@pytest.mark.parametrize("cpu, kernels", [("Nehalem", "one at a time"), ("Haswell", "avx2")])
def test_other_cpus_set_and_read_the_same_bits(cpu, kernels):
    # Nehalem has every instruction NumPy needs and no AVX: every row goes one
    # at a time. Haswell has AVX2 and no AVX-512 (which qemu does not emulate).
    emulated = run_rows_script(QEMU, "-cpu", cpu)
    assert emulated == (kernels, run_rows_script()[1])
