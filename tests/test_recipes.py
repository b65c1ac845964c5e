"""What the README promises of the recipes and of the filter's numbers, beyond its own blocks."""

import math
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

from conftest import child_env, configured, needs_pandas  # noqa: E402
from sizing import estimated_rows, plan  # noqa: E402

# The README's frame, made and hashed by a fresh interpreter.
HASH_FRAME = """
import pandas as pd
frame = pd.DataFrame({
    "id": [1, 2, 3, 1],
    "price": [9.5, 0.25, -0.0, 9.5],
    "name": ["Ada", "Bjørn", "Chidi", "Ada"],
    "tier": pd.Categorical(["gold", "silver", "gold", "gold"]),
    "seen": pd.to_datetime(["2024-01-02", "2024-03-04", "2024-05-06", "2024-01-02"]).as_unit("ns"),
    "qty": pd.array([5, None, 7, 5], dtype="Int64"),
})
print(pd.util.hash_pandas_object(frame, index=False).tolist())
"""
# Recorded on x86_64; the hash key is fixed, so no process, machine or string
# hash seed may change them.
FRAME_HASHES = [12156017451831849224, 13521536413002523856, 12581915337653364573, 12156017451831849224]


@pytest.mark.parametrize("seed", ["0", "1", "random"])
def test_pandas_row_hashes_are_the_same_in_every_process(seed):
    needs_pandas()
    printed = subprocess.run(
        [sys.executable, "-c", HASH_FRAME], capture_output=True, text=True, check=True,
        env=child_env() | {"PYTHONHASHSEED": seed},
    ).stdout
    assert eval(printed) == FRAME_HASHES


def estimate_sd(k: int, m: int, n: int) -> float:
    """The standard deviation of -(m / k) ln(foz) after n distinct rows."""
    x = k * n / m
    return (m / k) * math.sqrt((1 - (1 + x) * math.exp(-x)) / (m * math.exp(-x)))


@pytest.mark.parametrize("k, m, n", [
    (7, 9_585_059, 1_000_000),       # the planned load at 1 %
    (7, 9_585_059, 3_000_000),       # three times past it
    (1, 1_000, 300),
    (20, 100_000, 100),
])
def test_the_count_estimate_holds_on_real_rows(k, m, n):
    rows = np.random.default_rng(n).integers(0, 2**63, size=(n, 2), dtype=np.int64)
    bloom = configured(k, m)
    bloom.insert(rows)
    bloom.insert(rows[: n // 2])          # repeats are not counted
    assert abs(estimated_rows(bloom) - n) <= 5 * estimate_sd(k, m, n) + 1


def test_the_count_estimate_of_a_full_filter_is_infinite():
    bloom = configured(3, 8)
    bloom.from_bytes(b"\xff", 3, 8)
    assert estimated_rows(bloom) == math.inf


def test_a_row_costs_k_positions():
    # The README: k = 10^7 makes a row take milliseconds (22 ms on the machine
    # it was measured on), so 1,000 rows take seconds; no sound plan needs it.
    assert max(plan(10**6, p)[0] for p in (0.1, 0.01, 1e-6, 1e-9)) == 30
    bloom = configured(10_000_000, 7)
    start = time.perf_counter()
    bloom.insert(np.zeros((1, 2), dtype=np.int64))
    assert time.perf_counter() - start > 0.002
