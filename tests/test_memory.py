"""Memory: no method leaks, on success or failure, nor keeps or drops a
reference to its arguments; a filter far larger than memory fails cleanly or
costs only the pages it touches."""

import gc
import os
import pickle
import sys

import numpy as np
import pytest

import tolvane
from conftest import MAX_BITS, SIZE_BITS, configured, state_of

PAGE = os.sysconf("SC_PAGE_SIZE")
HUGE_PAGE = 2 << 20
# Under AddressSanitizer freed memory waits in a quarantine and every
# allocation records its stack: resident memory says nothing about leaks there
# (LeakSanitizer checks them), and the loops run a hundredth as long.
with open("/proc/self/maps") as maps:
    SANITIZED = "libasan" in maps.read()
# Calls per test, shared among its success and failure paths.
CALLS = 2_000 if SANITIZED else 200_000
GROWTH_BOUND = 1 << 20


def resident() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def refusing(call, error):
    def attempt():
        try:
            call()
        except error:
            return
        raise AssertionError("no error")

    return attempt


def assert_no_growth(*calls, watched=()):
    """Makes CALLS calls, taking the given ones in turn; neither resident
    memory nor the reference counts of the watched objects may grow."""
    rounds = CALLS // len(calls)

    def run(times):
        for _ in range(times):
            for call in calls:
                call()

    # Warm up caches, free lists and allocator arenas before the baseline.
    run(rounds // 10)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    before = resident()
    run(rounds)
    gc.collect()
    growth = resident() - before
    assert [sys.getrefcount(obj) for obj in watched] == counts
    if not SANITIZED:
        assert growth < GROWTH_BOUND, f"resident memory grew by {growth} bytes"


def test_creating_configuring_and_dropping_filters():
    def cycle():
        tolvane.bloomfilter().configure(3, 8192)

    f = configured(2, 64)
    # The largest bit vector never fits in 64-bit memory (2^60 bytes); on a
    # 32-bit target it is 256 MiB, which may well be granted.
    too_large = [refusing(lambda: f.configure(1, MAX_BITS), MemoryError)] if SIZE_BITS == 64 else []
    assert_no_growth(
        cycle,
        lambda: f.configure(5, 4096),
        refusing(lambda: f.configure(-1, 8), TypeError),
        refusing(lambda: f.configure(1, MAX_BITS + 1), ValueError),
        *too_large,
        watched=[f],
    )


@pytest.mark.parametrize("method", ["insert", "test"])
def test_rows(method):
    contiguous = np.arange(60, dtype=np.int32).reshape(20, 3)
    gathered = np.asfortranarray(contiguous)
    one_d, no_bits = np.arange(4), configured(3, 0)
    f = configured(4, 10_000)
    call = getattr(f, method)
    assert_no_growth(
        lambda: call(contiguous),
        lambda: call(gathered),
        refusing(lambda: call(one_d), IndexError),
        refusing(lambda: getattr(no_bits, method)(contiguous), ValueError),
        refusing(lambda: call(None), TypeError),
        watched=[f, contiguous, gathered, one_d],
    )


def test_insert_along():
    rows = np.arange(12, dtype=np.uint8).reshape(4, 3)
    f = configured(3, 512)
    assert_no_growth(
        lambda: f.insert_along(rows, 1),
        refusing(lambda: f.insert_along(None, 0), TypeError),
        watched=[f, rows],
    )


@pytest.mark.parametrize("method", ["dbg_getrow", "dbg_gethex"])
def test_row_diagnostics(method):
    rows = np.arange(40, dtype=np.uint16).reshape(4, 10)[:, ::-1]
    f = configured(1, 8)
    call = getattr(f, method)
    assert_no_growth(
        lambda: call(rows, 3),
        refusing(lambda: call(rows, 4), IndexError),
        refusing(lambda: call(rows, -1), IndexError),
        refusing(lambda: call(rows.ravel(), 0), IndexError),
        watched=[f, rows],
    )


def test_byte_images():
    f = configured(3, 4099)
    f.insert(np.arange(90, dtype=np.int64).reshape(30, 3))
    image, too_short, wrong = f.to_bytes(), b"\x01\x02", bytearray(4)
    assert_no_growth(
        f.to_bytes,
        f.__getstate__,
        lambda: f.from_bytes(image, 3, 4099),
        lambda: f.from_bytes(too_short, 3, 4099),
        refusing(lambda: f.from_bytes(image, -1, 4099), ValueError),
        refusing(lambda: f.from_bytes(wrong, 3, 4099), TypeError),
        refusing(lambda: f.from_bytes(image, 3, [too_short] * 9, k=wrong), TypeError),
        watched=[f, image, too_short, wrong],
    )


def test_states_and_pickles():
    f = configured(2, 1000)
    f.insert(np.arange(30, dtype=np.int8).reshape(10, 3))
    good = f.__getstate__()
    # Every item that is not a buffer is an object of its own: the count of a
    # small int is shared with all the interpreter's code.
    states = [good, (2, 1000, bytearray(good[2])), (2, 1000, np.frombuffer(good[2] + bytes(3), ">u4")), (1,),
              (1.5, 8, b""), (1, 8, object()), (1, 8, memoryview(b"ab")[::-1]), (-1, 8, b"")]
    errors = [None, None, None, RuntimeError, RuntimeError, TypeError, BufferError, ValueError]

    def restoring(state, error):
        def restore():
            tolvane.bloomfilter.__new__(tolvane.bloomfilter).__setstate__(state)

        return refusing(restore, error) if error else restore

    assert_no_growth(
        *[restoring(state, error) for state, error in zip(states, errors)],
        lambda: pickle.loads(pickle.dumps(f)),
        lambda: out_of_band(f),
        watched=[f, *states, *(item for state in states for item in state)],
    )


def out_of_band(f):
    buffers = []
    data = pickle.dumps(f, 5, buffer_callback=buffers.append)
    return pickle.loads(data, buffers=buffers)


@pytest.mark.parametrize("construct", [lambda f: f.__init__(), lambda f: f.__setstate__((1, 8, b"\x01"))])
def test_bare_instances_constructed_after_refusals(construct):
    # A refused call and a failed __setstate__ leave storage in a bare
    # instance, which its construction then takes over.
    def retried():
        bare = tolvane.bloomfilter.__new__(tolvane.bloomfilter)
        refusing(bare.get_k, ValueError)()
        refusing(lambda: bare.__setstate__((1, 8, 7)), TypeError)()
        construct(bare)

    assert_no_growth(retried)


@pytest.mark.parametrize("method", ["union", "intersect"])
def test_merges(method):
    f, same, other = configured(3, 5000), configured(3, 5000), configured(3, 5001)
    same.insert(np.arange(30, dtype=np.uint8).reshape(10, 3))
    call = getattr(f, method)
    assert_no_growth(
        lambda: call(same),
        lambda: call(f),
        refusing(lambda: call(other), RuntimeError),
        refusing(lambda: call(None), TypeError),
        watched=[f, same, other],
    )


def test_queries_and_uninitialised_instances():
    f = configured(3, 777)
    bare = tolvane.bloomfilter.__new__(tolvane.bloomfilter)
    assert_no_growth(f.get_k, f.get_m, f.foz, f.__init__, refusing(bare.get_k, ValueError), watched=[f, bare])


def memory_and_swap() -> int:
    with open("/proc/meminfo") as meminfo:
        fields = dict(line.split(":") for line in meminfo)
    return sum(int(fields[name].split()[0]) * 1024 for name in ("MemTotal", "SwapTotal"))


def test_a_filter_larger_than_memory_fails_cleanly_or_costs_only_what_it_touches(filled):
    # Twice memory and swap, where size_t reaches that far; on a 32-bit build
    # the largest bit vector (256 MiB) may well fit.
    wanted = 16 * memory_and_swap()
    m = min(wanted, MAX_BITS)
    with open("/proc/sys/vm/overcommit_memory") as overcommit:
        always_overcommit = overcommit.read().strip() == "1"
    before = state_of(filled)
    start = resident()
    try:
        filled.configure(4, m)
    except MemoryError:
        assert state_of(filled) == before
        return
    # Only where the kernel grants any amount, or the request was capped.
    assert always_overcommit or m < wanted
    rows = np.arange(300, dtype=np.int64).reshape(100, 3)
    filled.insert(rows)
    assert filled.test(rows) == [True] * 100
    assert (filled.get_k(), filled.get_m()) == (4, m)
    # Untouched pages stay unmapped: 100 rows touch at most 400 of them, each
    # a huge page (2 MiB) where the kernel grants those, and never more than
    # the filter itself.
    assert resident() - start < min(400 * HUGE_PAGE, m // 8 + HUGE_PAGE) + GROWTH_BOUND
    filled.configure(1, 8)
