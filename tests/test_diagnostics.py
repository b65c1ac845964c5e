"""dbg_getrow and dbg_gethex: the bytes a row contributes to hashing."""

import numpy as np
import pytest

import model
from conftest import configured, state_of


@pytest.mark.parametrize(
    "rows, row, values, text",
    [
        (np.array([[1, 10, 255, 0]], dtype=np.uint8), 0, [1, 10, 255, 0], "1aff0"),
        (np.array([[1, 256]], dtype="<i4"), 0, [1, 0, 0, 0, 0, 1, 0, 0], "10000100"),
        (np.array([[1, 256]], dtype=">i4"), 0, [0, 0, 0, 1, 0, 0, 1, 0], "00010010"),
        (np.array([[0x01, 0x23], [0x12, 0x03]], dtype=np.uint8), 0, [0x01, 0x23], "123"),
        (np.array([[0x01, 0x23], [0x12, 0x03]], dtype=np.uint8), 1, [0x12, 0x03], "123"),
        (np.zeros((2, 4), dtype=np.uint8), 1, [0, 0, 0, 0], "0000"),
        (np.array([[b"ab", b"c"]]), 0, [97, 98, 99, 0], "6162630"),
        (np.zeros((3, 0)), 7, [], ""),
        (np.zeros((3, 0)), -5, [], ""),
    ],
)
def test_row_bytes(rows, row, values, text, filled):
    before = state_of(filled)
    assert filled.dbg_getrow(rows, row) == values
    assert filled.dbg_gethex(rows, row) == text
    assert state_of(filled) == before


def test_shows_what_is_hashed_in_any_layout():
    rows = np.arange(24, dtype=np.int16).reshape(2, 3, 4)
    for view in (rows, np.asfortranarray(rows), rows[::-1, ::-1]):
        for r in range(2):
            assert bytes(configured(0, 0).dbg_getrow(view, r)) == model.row_bytes(view, r)


@pytest.mark.parametrize(
    "rows, row, message",
    [
        (np.zeros((2, 3)), 2, "index 2 is out of bounds for axis 0 with size 2"),
        (np.zeros((2, 3)), -1, "index -1 is out of bounds for axis 0 with size 2"),
        (np.zeros((2, 3)), -(2**31), "index -2147483648 is out of bounds for axis 0 with size 2"),
        (np.zeros((0, 3)), 0, "index 0 is out of bounds for axis 0 with size 0"),
        (np.zeros(4), 0, "invalid axis: 1 (ndim = 1)"),
        (np.zeros(0), 0, "invalid axis: 1 (ndim = 1)"),
        (np.array(1.5), 3, "invalid axis: 1 (ndim = 0)"),
        (np.zeros((2, 3, 0)), 0, "index 0 is out of bounds for axis 2 with size 0"),
    ],
)
@pytest.mark.parametrize("method", ["dbg_getrow", "dbg_gethex"])
def test_errors(method, rows, row, message, filled):
    before = state_of(filled)
    with pytest.raises(IndexError) as raised:
        getattr(filled, method)(rows, row)
    assert str(raised.value) == message
    assert state_of(filled) == before
