"""Exact bits pinned across machines: fixed inserts whose images, states and foz
must equal those recorded in tests/data/golden.json, so that a filter built on
one machine (32-bit or 64-bit) is the filter built on every other.

The recorded data was made on x86_64 and checked against the plain-Python model;
after a deliberate change of the bits, regenerate it with
`python tests/test_golden.py` (with the module built and importable)."""

import functools
import hashlib
import json
import pathlib
import numpy as np
import pytest

import model
import tolvane

GOLDEN = pathlib.Path(__file__).parent / "data" / "golden.json"


def mixed_bytes(label: str, size: int) -> bytes:
    """Well-mixed bytes that are the same everywhere, unlike a random generator
    whose stream may change between NumPy versions."""
    blocks = (hashlib.sha256(f"{label} {i}".encode()).digest() for i in range(size // 32 + 1))
    return b"".join(blocks)[:size]


def rows_of(dtype, shape, label: str) -> np.ndarray:
    dtype = np.dtype(dtype)
    raw = mixed_bytes(label, int(np.prod(shape)) * dtype.itemsize)
    return np.frombuffer(raw, dtype=dtype).reshape(shape)


def exact_floats(dtype, shape) -> np.ndarray:
    # Quarters of small integers are exact in float32 and float64, so no
    # rounding (x87 or SSE) can change a bit.
    values = (np.arange(int(np.prod(shape)), dtype=np.int64) * 37 % 1001 - 500) / 4
    return values.astype(dtype).reshape(shape)


WORDS = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "iota", "kappa", "lambda", "mu"]
RECORD = np.dtype([("id", "<u4"), ("name", "S7"), ("score", ">f8"), ("flag", "?")])


def records() -> np.ndarray:
    values = [(i * 2654435761 % 2**32, WORDS[i % len(WORDS)].encode(), i / 8, i % 3 == 0) for i in range(24)]
    return np.array(values, dtype=RECORD).reshape(8, 3)


def cases() -> dict:
    """name: (k, m, arrays inserted one after the other into one filter)."""
    strings = np.array(WORDS, dtype="U7").reshape(6, 2)
    return {
        "uint8, one row": (3, 1000, [np.array([[97, 98, 99]], dtype=np.uint8)]),
        "uint8, m a multiple of 8": (4, 4096, [rows_of("u1", (40, 7), "u1")]),
        "big-endian int16, Fortran order": (5, 997, [np.asfortranarray(rows_of(">i2", (30, 4), ">i2"))]),
        "int32 both byte orders": (7, 4099, [rows_of("<i4", (25, 3), "i4"), rows_of(">i4", (25, 3), "i4")]),
        "int64, reversed view": (2, 65, [rows_of("<i8", (12, 2), "i8")[::-1, ::-1]]),
        "float64 and big-endian float32": (6, 2**20 + 3, [exact_floats("<f8", (50, 3)), exact_floats(">f4", (50, 3))]),
        "complex128 and datetime64": (9, 2**21 + 5, [exact_floats("c16", (20, 2)), rows_of("<M8[s]", (20, 2), "M8")]),
        "unicode and byte strings": (11, 509, [strings, strings.astype("S7"), strings.astype(">U7")]),
        "records, sliced": (8, 3001, [records(), records()[::2, 1:]]),
        "bool, 3-D": (1, 7, [np.stack([rows_of("u1", (10, 3), "?") > 127, np.ones((10, 3), bool)], axis=2)]),
        "empty rows": (4, 64, [np.zeros((3, 0), dtype=np.uint8)]),
        "k = 0": (0, 100, [rows_of("u1", (5, 5), "k0")]),
        "one bit": (3, 1, [rows_of("u1", (5, 5), "m1")]),
        "many positions, prefetched": (14, 2**23 + 9, [rows_of("u1", (64, 16), "big")]),
    }


def build(k: int, m: int, arrays) -> tolvane.bloomfilter:
    f = tolvane.bloomfilter()
    f.configure(k, m)
    for a in arrays:
        f.insert(a)
    return f


def bits_of(image: bytes) -> list[int]:
    set_bytes = np.flatnonzero(np.frombuffer(image, dtype=np.uint8))
    return [8 * int(i) + bit for i in set_bytes for bit in range(8) if image[i] >> bit & 1]


CASES = cases()


@functools.cache
def recorded() -> dict:
    return json.loads(GOLDEN.read_text())


def test_every_case_is_recorded():
    assert sorted(recorded()) == sorted(CASES)


@pytest.mark.parametrize("name", CASES)
def test_bits_match_the_recorded_ones(name):
    k, m, arrays = CASES[name]
    expected = recorded()[name]
    assert (expected["k"], expected["m"]) == (k, m)
    image = model.image_with_bits(m, expected["bits"])
    f = build(k, m, arrays)
    assert f.to_bytes() == image
    assert f.__getstate__() == (k, m, image)
    assert f.foz() == expected["foz"]
    # The recorded image, loaded either way, admits every inserted row.
    from_image = tolvane.bloomfilter()
    from_image.from_bytes(image, k, m)
    from_state = tolvane.bloomfilter.__new__(tolvane.bloomfilter)
    from_state.__setstate__((k, m, image))
    for a in arrays:
        assert from_image.test(a) == from_state.test(a) == [True] * len(a)


def regenerate() -> None:
    golden = {}
    for name, (k, m, arrays) in CASES.items():
        f = build(k, m, arrays)
        rows = [model.row_bytes(a, r) for a in arrays for r in range(a.shape[0])]
        assert f.to_bytes() == model.image(rows, k, m), name
        golden[name] = {"k": k, "m": m, "bits": bits_of(f.to_bytes()), "foz": f.foz()}
    lines = (f" {json.dumps(name)}: {json.dumps(case)}" for name, case in golden.items())
    GOLDEN.write_text("{\n" + ",\n".join(lines) + "\n}\n")
    print(f"{GOLDEN}: {len(golden)} cases")


if __name__ == "__main__":
    regenerate()
