import os

import numpy as np
import pytest

import tolvane

# size_t is the platform's width: 32 bits on the target (make test-i386), 64 on x86_64.
SIZE_BITS = np.dtype(np.uintp).itemsize * 8
SIZE_MAX = 2**SIZE_BITS - 1
# The largest filter: libstdc++'s std::vector<bool>::max_size(), whatever library builds the module.
MAX_BITS = {32: 2147483616, 64: 2**63 - 64}[SIZE_BITS]
INT_MAX = 2**31 - 1
# Under AddressSanitizer (make asan) every allocation is recorded and every
# access checked: what takes seconds in make test takes minutes there.
with open("/proc/self/maps") as maps:
    SANITIZED = "libasan" in maps.read()
# Timeouts catch hangs, not slowness: runs under emulation (make test-aarch64
# and the aarch64 wheel's check) are many times slower and stretch them.
TIMEOUT_SCALE = float(os.environ.get("TOLVANE_TIMEOUT_SCALE", "1"))


def pytest_report_header() -> str:
    # Which module the run tests: the build in .venv, or an installed wheel (make dist).
    return f"tolvane: {tolvane.__file__}"


def child_env() -> dict[str, str]:
    """The environment for child interpreters. Under the sanitizer build
    (make asan) they are checked for memory errors but not for leaks: what
    CPython, dask and tqdm keep at exit is theirs, and the module's own leaks
    are looked for in the test process."""
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return env


def needs_pandas() -> None:
    """Skips where pandas has no package: the Debian roots of test-i386 and
    test-aarch64, and musl on i686, which has no wheel of it."""
    pytest.importorskip("pandas", reason="needs pandas, which this interpreter lacks")


def configured(k: int, m: int) -> tolvane.bloomfilter:
    f = tolvane.bloomfilter()
    f.configure(k, m)
    return f


def state_of(f: tolvane.bloomfilter) -> tuple[int, int, bytes]:
    return f.get_k(), f.get_m(), f.to_bytes()


def check_image(f: tolvane.bloomfilter) -> bytes:
    """The image invariants that hold after every operation."""
    image = f.to_bytes()
    m = f.get_m()
    assert len(image) == (m + 7) // 8
    if m % 8:
        assert image[-1] >> (m % 8) == 0
    return image


@pytest.fixture
def filled() -> tolvane.bloomfilter:
    f = configured(3, 1000)
    f.insert(np.arange(60, dtype=np.int32).reshape(20, 3))
    return f
