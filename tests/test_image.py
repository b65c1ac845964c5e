"""to_bytes, from_bytes and the pickle state (k, m, image)."""

import array
import copy
import pickle
import sys

import numpy as np
import pytest

import tolvane
from conftest import INT_MAX, MAX_BITS, SIZE_BITS, SIZE_MAX, check_image, configured, state_of
from model import image_with_bits

RNG = np.random.default_rng(8)


def restored(image, k, m) -> tolvane.bloomfilter:
    f = tolvane.bloomfilter()
    f.from_bytes(image, k, m)
    return f


@pytest.mark.parametrize(
    "m, bits, image",
    [(10, [0, 9], "0102"), (16, [15], "0080"), (8, range(8), "ff"), (9, [8], "0001"), (0, [], "")],
)
def test_image_bit_order(m, bits, image):
    f = restored(image_with_bits(m, bits), 1, m)
    assert f.to_bytes() == bytes.fromhex(image)


@pytest.mark.parametrize(
    "image, m, expected",
    [("ffff", 10, "ff03"), ("01", 20, "010000"), ("00ffff", 8, "00"), ("", 12, "0000"), ("", 0, ""),
     ("ff" * 9, 65, "ff" * 8 + "01")],
)
def test_short_long_and_partial_images(image, m, expected):
    f = restored(bytes.fromhex(image), 2, m)
    assert state_of(f) == (2, m, bytes.fromhex(expected))


@pytest.mark.parametrize("m", [1, 7, 8, 9, 63, 64, 65, 1000, 2**20 + 3])
def test_random_images_round_trip(m):
    image = bytearray(RNG.integers(0, 256, size=(m + 7) // 8, dtype=np.uint8).tobytes())
    if m % 8:
        image[-1] &= (1 << (m % 8)) - 1
    image = bytes(image)
    f = restored(image, 3, m)
    assert check_image(f) == image
    ones = sum(bin(byte).count("1") for byte in image)
    assert f.foz() == 1.0 - ones / m
    assert state_of(restored(f.to_bytes(), f.get_k(), f.get_m())) == state_of(f)
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        assert state_of(pickle.loads(pickle.dumps(f, protocol))) == state_of(f)


# Pickles that the first release wrote of a filter (k 3, m 20, one row
# inserted): they must load, and the module must write them byte for byte.
STORED_PICKLES = {
    0: b"ccopy_reg\n__newobj__\np0\n(ctolvane\nbloomfilter\np1\ntp2\nRp3\n(I3\nI20\nc_codecs\nencode\np4\n"
       b'(V" \\u0000\np5\nVlatin1\np6\ntp7\nRp8\ntp9\nb.',
    1: b"ccopy_reg\n__newobj__\nq\x00(ctolvane\nbloomfilter\nq\x01tq\x02Rq\x03(K\x03K\x14c_codecs\nencode\nq\x04"
       b'(X\x03\x00\x00\x00" \x00q\x05X\x06\x00\x00\x00latin1q\x06tq\x07Rq\x08tq\tb.',
    2: b"\x80\x02ctolvane\nbloomfilter\nq\x00)\x81q\x01K\x03K\x14c_codecs\nencode\nq\x02X\x03\x00\x00\x00"
       b'" \x00q\x03X\x06\x00\x00\x00latin1q\x04\x86q\x05Rq\x06\x87q\x07b.',
    5: b"\x80\x05\x95+\x00\x00\x00\x00\x00\x00\x00\x8c\x07tolvane\x94\x8c\x0bbloomfilter\x94\x93\x94)\x81\x94K\x03K\x14"
       b'C\x03" \x00\x94\x87\x94b.',
}


@pytest.mark.parametrize("new_arguments", [(), ((),), ((), {}, 1)])
def test_new_arguments_other_than_a_pair_are_refused(new_arguments):
    class Odd(tolvane.bloomfilter):
        def __getnewargs_ex__(self):
            return new_arguments

    with pytest.raises(TypeError, match="^__getnewargs_ex__ should return a tuple of length 2$"):
        pickle.dumps(Odd(), 2)


@pytest.mark.parametrize("protocol", sorted(STORED_PICKLES))
def test_stored_pickles_load_and_are_written_the_same(protocol):
    f = configured(3, 20)
    f.insert(np.array([[97, 98, 99]], dtype=np.uint8))
    assert state_of(pickle.loads(STORED_PICKLES[protocol])) == state_of(f) == (3, 20, b'" \x00')
    assert pickle.dumps(f, protocol) == STORED_PICKLES[protocol]


@pytest.mark.parametrize("m", [1000, 990, 1024, 2000])
def test_from_bytes_replaces_every_bit(m, filled):
    filled.from_bytes(b"\x80\xff", 5, m)
    assert check_image(filled) == b"\x80\xff" + bytes((m + 7) // 8 - 2)
    filled.from_bytes(b"\xff" * 300, 2, m)
    assert state_of(filled) == (2, m, b"\xff" * (m // 8) + (b"\x3f" if m % 8 else b""))


@pytest.mark.parametrize("first_m", [0, 1000], ids=["fresh", "configured"])
def test_from_bytes_beyond_the_largest_bit_vector_is_a_length_error(first_m):
    f = configured(1, first_m)
    with pytest.raises(ValueError, match="^vector<bool>::_M_fill_insert$"):
        f.from_bytes(b"\xff", 2, MAX_BITS + 1)
    assert state_of(f) == (1, first_m, bytes((first_m + 7) // 8))


def test_bytes_subclasses_are_images():
    class Image(bytes):
        pass

    assert restored(Image(b"\x05"), 1, 3).to_bytes() == b"\x05"


@pytest.mark.parametrize("image", [bytearray(b"\x01"), memoryview(b"\x01"), "\x01", None])
def test_from_bytes_takes_only_bytes(image, filled):
    before = state_of(filled)
    with pytest.raises(TypeError, match=r"^from_bytes\(\): incompatible function arguments"):
        filled.from_bytes(image, 1, 8)
    assert state_of(filled) == before


@pytest.mark.parametrize("k, m", [(-1, 8), (1, -1), (-(2**31), -(2**31))])
def test_negative_k_or_m_is_refused_before_any_change(k, m, filled):
    before = state_of(filled)
    with pytest.raises(ValueError, match=r"^k and m must not be negative$"):
        filled.from_bytes(b"\xff", k, m)
    assert state_of(filled) == before


def test_fresh_filter_state():
    assert tolvane.bloomfilter().__getstate__() == (0, 0, b"")


def test_state_is_k_m_and_the_image(filled):
    k, m, image = filled.__getstate__()
    assert (k, m, image) == state_of(filled)
    assert type(k) is int and type(m) is int and type(image) is bytes


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy, lambda f: pickle.loads(pickle.dumps(f))])
def test_copies_are_independent(copier, filled):
    twin = copier(filled)
    assert state_of(twin) == state_of(filled)
    twin.configure(1, 8)
    assert state_of(filled)[:2] == (3, 1000)
    filled.insert(np.ones((1, 1)))
    assert state_of(twin) == (1, 8, b"\0")


def bare_with_state(state) -> tolvane.bloomfilter:
    bare = tolvane.bloomfilter.__new__(tolvane.bloomfilter)
    bare.__setstate__(state)
    return bare


@pytest.mark.parametrize(
    "item",
    [bytearray(b"\x81\x01"), memoryview(b"\x81\x01"), array.array("B", [0x81, 1]),
     np.array([0x81, 1], dtype=np.uint8), memoryview(b"\x00\x81\x01")[1:]],
)
def test_state_image_may_be_any_contiguous_buffer(item):
    assert state_of(bare_with_state((2, 9, item))) == (2, 9, b"\x81\x01")


@pytest.mark.parametrize(
    "view",
    [lambda image: np.frombuffer(image, np.uint64), lambda image: memoryview(image).cast("Q"),
     lambda image: np.frombuffer(image, ">u4").reshape(-1, 2), lambda image: memoryview(bytearray(image)).cast("d")],
    ids=["uint64 array", "memoryview of Q", "2-D big-endian array", "writable memoryview of d"],
)
def test_state_image_of_wide_items_is_all_of_its_bytes(view):
    f = configured(7, 64 * 1000)
    rows = np.arange(3000, dtype=np.int32).reshape(1000, 3)
    f.insert(rows)
    k, m, image = f.__getstate__()
    loaded = bare_with_state((k, m, view(image)))
    assert state_of(loaded) == state_of(f)
    assert loaded.test(rows) == [True] * 1000


@pytest.mark.parametrize(
    "item",
    [memoryview(b"\x01\x02\x03\x04")[::2], memoryview(b"\x01\x02\x03\x04")[::-1],
     np.arange(16, dtype=np.uint8).reshape(4, 4)[:, :2], np.asfortranarray(np.arange(16, dtype=np.uint8).reshape(4, 4))],
    ids=["every other byte", "reversed", "columns of rows", "Fortran order"],
)
def test_state_image_that_is_not_c_contiguous_is_refused(item):
    bare = tolvane.bloomfilter.__new__(tolvane.bloomfilter)
    with pytest.raises(BufferError, match="^the image of a state must be a C-contiguous buffer$"):
        bare.__setstate__((1, 128, item))
    with pytest.raises(ValueError, match="not initialised"):
        bare.get_k()


@pytest.mark.parametrize(
    "state, error, message",
    [
        ((1, 8), RuntimeError, "Invalid State in __setstate__"),
        ((1, 8, b"", 0), RuntimeError, "Invalid State in __setstate__"),
        ((), RuntimeError, "Invalid State in __setstate__"),
        ((1, 8.0, b""), RuntimeError, "Unable to cast Python instance"),
        (("1", 8, b""), RuntimeError, "Unable to cast Python instance"),
        ((SIZE_MAX + 1, 8, b""), RuntimeError, "Unable to cast Python instance"),
        ((1, MAX_BITS + 1, b""), ValueError, "vector<bool>::_M_fill_insert"),
        ((1, 8, 5), TypeError, "Object of type 'int' is not an instance of 'buffer'"),
        ((1, 8, "text"), TypeError, "Object of type 'str' is not an instance of 'buffer'"),
        ((-1, 8, b""), ValueError, "k and m must not be negative"),
        ((1, -8, b""), ValueError, "k and m must not be negative"),
    ],
)
def test_bad_states_leave_the_instance_uninitialised(state, error, message):
    bare = tolvane.bloomfilter.__new__(tolvane.bloomfilter)
    with pytest.raises(error, match="^" + message):
        bare.__setstate__(state)
    with pytest.raises(ValueError, match="not initialised"):
        bare.get_k()


def test_setstate_refuses_what_is_not_a_tuple():
    with pytest.raises(TypeError, match=r"^__setstate__\(\): incompatible constructor arguments"):
        tolvane.bloomfilter.__new__(tolvane.bloomfilter).__setstate__([1, 8, b""])


@pytest.mark.parametrize("state", [(1, 8, b"\xff"), (1, 2), "anything"])
def test_setstate_on_a_live_filter_does_nothing(state, filled):
    before = state_of(filled)
    assert filled.__setstate__(state) is None
    assert state_of(filled) == before


COPIES = {
    **{f"pickle {protocol}": lambda f, protocol=protocol: pickle.loads(pickle.dumps(f, protocol)) for protocol in range(6)},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "from_bytes": lambda f: restored(f.to_bytes(), f.get_k(), f.get_m()),
}


@pytest.mark.parametrize("copier", COPIES.values(), ids=COPIES)
@pytest.mark.parametrize("k", [2**31, SIZE_MAX], ids=["2^31", "SIZE_MAX"])
def test_every_k_that_configure_takes_comes_back(k, copier):
    f = configured(k, 77)
    f.from_bytes(bytes(range(1, 11)), k, 77)
    assert state_of(copier(f)) == state_of(f) == (k, 77, bytes(range(1, 10)) + b"\x0a")


@pytest.mark.parametrize("k, m", [(SIZE_MAX + 1, 8), (1, SIZE_MAX + 1), (-(sys.maxsize + 2), 8)])
def test_from_bytes_refuses_sizes_beyond_size_t_as_incompatible(k, m, filled):
    before = state_of(filled)
    with pytest.raises(TypeError, match=r"^from_bytes\(\): incompatible function arguments"):
        filled.from_bytes(b"\x01", k, m)
    assert state_of(filled) == before


@pytest.fixture(scope="module")
def huge():
    """A filter of 2^33 + 5 bits (1 GiB) holding a million rows."""
    if SIZE_BITS == 32:
        pytest.skip("a 32-bit filter holds at most 2^31 - 32 bits")
    f = configured(7, 2**33 + 5)
    rows = np.random.default_rng(33).integers(0, 2**63, size=(10**6, 2))
    f.insert(rows)
    return f, rows, f.to_bytes()


def out_of_band(f):
    buffers = []
    data = pickle.dumps(f, 5, buffer_callback=buffers.append)
    assert len(data) < 200 and len(buffers) == 1
    return pickle.loads(data, buffers=buffers)


HUGE_COPIES = {name: COPIES[name] for name in ["pickle 4", "pickle 5", "copy", "deepcopy", "from_bytes"]}


@pytest.mark.parametrize("copier", [*HUGE_COPIES.values(), out_of_band], ids=[*HUGE_COPIES, "pickle 5 out of band"])
def test_filters_past_2_to_the_31_bits_come_back(huge, copier):
    f, rows, image = huge
    twin = copier(f)
    assert (twin.get_k(), twin.get_m()) == (7, 2**33 + 5)
    assert twin.to_bytes() == image
    assert twin.test(rows[::1000]) == [True] * 1000


@pytest.mark.parametrize("protocol", range(4))
def test_older_protocols_carry_filters_past_2_to_the_31_bits(protocol):
    # Protocols 0 to 3 write ints past 2^31 and long bytes in other opcodes
    # than protocols 4 and 5. Protocol 0 writes six bytes for a zero byte, so
    # this image of 256 MiB has none.
    if SIZE_BITS == 32:
        pytest.skip("a 32-bit filter holds at most 2^31 - 32 bits")
    f = restored(b"\x5a" * (2**28 + 1), SIZE_MAX, 2**31 + 5)
    twin = pickle.loads(pickle.dumps(f, protocol))
    assert (twin.get_k(), twin.get_m()) == (SIZE_MAX, 2**31 + 5)
    assert twin.to_bytes() == f.to_bytes()


def test_protocol_5_sends_the_image_out_of_band_and_the_same_pickle_without_a_callback(filled):
    buffers = []
    data = pickle.dumps(filled, 5, buffer_callback=buffers.append)
    assert [bytes(buffer.raw()) for buffer in buffers] == [filled.to_bytes()]
    assert state_of(pickle.loads(data, buffers=buffers)) == state_of(filled)
    # A receiver may hand the buffer over in any form, writable or not.
    for received in (bytearray(filled.to_bytes()), memoryview(filled.to_bytes())):
        assert state_of(pickle.loads(data, buffers=[received])) == state_of(filled)
    with pytest.raises(pickle.UnpicklingError):
        pickle.loads(data)
    assert pickle.dumps(filled, 5) == pickle.dumps(filled, 5, buffer_callback=lambda buffer: True)
    assert pickle.loads(pickle.dumps(filled, 5)).__getstate__() == filled.__getstate__()


class Tagged(tolvane.bloomfilter):
    def __getstate__(self):
        return super().__getstate__(), "tag"

    def __setstate__(self, state):
        super().__setstate__(state[0])


def test_a_subclass_state_stays_in_band():
    f = Tagged()
    f.configure(3, 64)
    buffers = []
    data = pickle.dumps(f, 5, buffer_callback=buffers.append)
    assert buffers == [] and state_of(pickle.loads(data)) == state_of(f)
