"""An independent, plain-Python model of what a filter stores: the MurmurHash3
x86_128 digest of each row's bytes, the k positions derived from it and the
packed byte image. Slow, and written for obviousness rather than speed."""

import numpy as np

SEED = 0xFFFEA282
MASK32 = 0xFFFFFFFF
MASK64 = 0xFFFFFFFFFFFFFFFF


def _rotl32(x, r):
    return ((x << r) | (x >> (32 - r))) & MASK32


def _fmix32(h):
    h ^= h >> 16
    h = (h * 0x85EBCA6B) & MASK32
    h ^= h >> 13
    h = (h * 0xC2B2AE35) & MASK32
    h ^= h >> 16
    return h


def murmur3_x86_128(key: bytes, seed: int) -> tuple[int, int, int, int]:
    c = (0x239B961B, 0xAB0E9789, 0x38B34AE5, 0xA1E38B93)
    rot_k = (15, 16, 17, 18)
    rot_h = (19, 17, 15, 13)
    add = (0x561CCD1B, 0x0BCAA747, 0x96CD1C35, 0x32AC3B17)
    h = [seed] * 4
    nblocks = len(key) // 16

    def mix_k(lane, k):
        k = (k * c[lane]) & MASK32
        k = _rotl32(k, rot_k[lane])
        return (k * c[(lane + 1) % 4]) & MASK32

    for block in range(nblocks):
        words = [int.from_bytes(key[16 * block + 4 * i : 16 * block + 4 * i + 4], "little") for i in range(4)]
        for lane in range(4):
            h[lane] ^= mix_k(lane, words[lane])
            h[lane] = _rotl32(h[lane], rot_h[lane])
            h[lane] = (h[lane] + h[(lane + 1) % 4]) & MASK32
            h[lane] = (h[lane] * 5 + add[lane]) & MASK32

    tail = key[16 * nblocks :]
    for lane in range(4):
        chunk = tail[4 * lane : 4 * lane + 4]
        if chunk:
            h[lane] ^= mix_k(lane, int.from_bytes(chunk, "little"))

    h = [x ^ len(key) for x in h]
    h[0] = (h[0] + h[1] + h[2] + h[3]) & MASK32
    h[1:] = [(x + h[0]) & MASK32 for x in h[1:]]
    h = [_fmix32(x) for x in h]
    h[0] = (h[0] + h[1] + h[2] + h[3]) & MASK32
    h[1:] = [(x + h[0]) & MASK32 for x in h[1:]]
    return tuple(h)


def digest(row: bytes) -> tuple[int, int]:
    w = murmur3_x86_128(row, SEED)
    return w[0] | w[1] << 32, w[2] | w[3] << 32


def positions(row: bytes, k: int, m: int) -> list[int]:
    h1, h2 = digest(row)
    return [((h1 + j * h2) & MASK64) % m for j in range(1, k + 1)]


def row_bytes(a: np.ndarray, r: int) -> bytes:
    """The stored bytes of elements (r, 0, 0..), (r, 1, 0..), ... in order."""
    row = a[(r, slice(None)) + (0,) * (a.ndim - 2)]
    return np.ascontiguousarray(row).tobytes()


def image(rows: list[bytes], k: int, m: int) -> bytes:
    bits = bytearray((m + 7) // 8)
    for row in rows:
        for p in positions(row, k, m):
            bits[p // 8] |= 1 << (p % 8)
    return bytes(bits)


def image_of_array(a: np.ndarray, k: int, m: int) -> bytes:
    return image([row_bytes(a, r) for r in range(a.shape[0])], k, m)


def image_with_bits(m: int, set_bits) -> bytes:
    bits = bytearray((m + 7) // 8)
    for p in set_bits:
        bits[p // 8] |= 1 << (p % 8)
    return bytes(bits)


def test_and_insert(rows: list[bytes], k: int, m: int, image: bytes) -> tuple[list[bool], bytes]:
    """Each row in turn: whether all its bits were set before its own were
    (its positions tested together, then set), and the image after all rows."""
    bits = bytearray(image)
    seen = []
    for row in rows:
        where = positions(row, k, m)
        seen.append(all(bits[p // 8] >> (p % 8) & 1 for p in where))
        for p in where:
            bits[p // 8] |= 1 << (p % 8)
    return seen, bytes(bits)


def rows_of(a: np.ndarray) -> list[bytes]:
    return [row_bytes(a, r) for r in range(a.shape[0])]
