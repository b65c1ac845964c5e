"""configure, get_k, get_m and foz."""

import math

import numpy as np
import pytest

import tolvane
from conftest import INT_MAX, MAX_BITS, SIZE_MAX, check_image, configured, state_of


def with_bits(m: int, bits) -> tolvane.bloomfilter:
    image = bytearray((m + 7) // 8)
    for bit in bits:
        image[bit // 8] |= 1 << (bit % 8)
    f = tolvane.bloomfilter()
    f.from_bytes(bytes(image), 1, m)
    return f


def test_fresh_filter():
    f = tolvane.bloomfilter()
    assert (f.get_k(), f.get_m(), f.to_bytes()) == (0, 0, b"")
    assert math.isnan(f.foz())


@pytest.mark.parametrize("k, m, image", [(3, 10, b"\0\0"), (0, 0, b""), (7, 1, b"\0"), (1, 65, bytes(9))])
def test_configure(k, m, image):
    f = configured(k, m)
    assert state_of(f) == (k, m, image)
    assert f.foz() == 1.0 or (m == 0 and math.isnan(f.foz()))


@pytest.mark.parametrize(
    "m, bits, expected",
    [(8, [0, 3, 7], 0.625), (8, range(8), 0.0), (3, [1], 0.6666666666666667), (10, [9], 0.9),
     (130, range(0, 130, 2), 0.5), (64, range(64), 0.0)],
)
def test_foz(m, bits, expected):
    assert with_bits(m, bits).foz() == expected


def test_configure_clears_every_bit():
    rows = np.arange(12, dtype=np.uint8).reshape(4, 3)
    f = configured(3, 100)
    f.insert(rows)
    assert f.foz() < 1.0
    f.configure(3, 100)
    assert f.foz() == 1.0
    assert f.test(rows) == [False] * 4


@pytest.mark.parametrize("first, second", [(1000, 10), (10, 1000), (64, 64)])
def test_reconfigure_to_any_size_leaves_no_bit(first, second):
    f = with_bits(first, range(first))
    f.configure(2, second)
    assert state_of(f) == (2, second, bytes((second + 7) // 8))


@pytest.mark.parametrize("m", [MAX_BITS + 1, SIZE_MAX], ids=["MAX_BITS + 1", "SIZE_MAX"])
def test_configure_beyond_the_largest_bit_vector_is_a_length_error(m, filled):
    before = state_of(filled)
    with pytest.raises(ValueError, match="^vector<bool>::_M_fill_insert$"):
        filled.configure(1, m)
    assert state_of(filled) == before


def test_configure_without_memory_keeps_the_filter(filled):
    before = state_of(filled)
    try:
        filled.configure(1, MAX_BITS)
    except MemoryError:
        # 2^63 - 64 bits never fit; on a 32-bit target 256 MiB may.
        assert state_of(filled) == before
    else:
        assert (filled.get_k(), filled.get_m()) == (1, MAX_BITS)


def test_k_keeps_every_bit_of_a_size():
    f = configured(SIZE_MAX, 8)
    assert f.get_k() == SIZE_MAX
    assert f.__getstate__() == (SIZE_MAX, 8, b"\0")


def test_foz_counts_the_largest_image_without_overflow():
    # Every bit of the largest filter an image can describe: 2^31 - 32 bits on
    # 32-bit, where foz counts in a 32-bit long, and 2^31 - 1 on 64-bit.
    m = min(MAX_BITS, INT_MAX)
    image = b"\xff" * ((m + 7) // 8)
    f = tolvane.bloomfilter()
    f.from_bytes(image, 1, m)
    assert f.foz() == 0.0
    assert check_image(f)[-1] == 0xFF >> (-m % 8)
