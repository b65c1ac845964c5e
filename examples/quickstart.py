"""Build a filter over a million rows, then test them and a million others."""

import argparse
import math
import time

import numpy as np

import tolvane
from sizing import HelpFormatter


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=HelpFormatter)
    parser.add_argument("--rows", type=int, default=1_000_000, help="random 16-byte rows inserted, and as many tested")
    parser.add_argument("--k", type=int, default=7, help="bit positions per row")
    parser.add_argument("--bits-per-row", type=int, default=10, help="m divided by --rows")
    args = parser.parse_args()
    if args.rows < 1 or args.k < 0 or args.bits_per_row < 1:
        parser.error("--rows and --bits-per-row must be at least 1, --k at least 0")
    n, k = args.rows, args.k
    m = args.bits_per_row * n

    rng = np.random.default_rng(0)
    inserted = rng.integers(0, 2**32, size=(n, 4), dtype=np.uint32)  # 16-byte rows
    others = rng.integers(0, 2**32, size=(n, 4), dtype=np.uint32)

    bloom = tolvane.bloomfilter()
    bloom.configure(k, m)

    start = time.perf_counter()
    bloom.insert(inserted)
    insert_seconds = time.perf_counter() - start

    start = time.perf_counter()
    found = bloom.test(inserted)
    others_found = bloom.test(others)
    test_seconds = time.perf_counter() - start

    false_positive_rate = sum(others_found) / n
    theory = (1 - math.exp(-k * n / m)) ** k

    print(f"filter: k = {bloom.get_k()}, m = {bloom.get_m():,} bits ({len(bloom.to_bytes()):,} bytes)")
    print(f"inserted {n:,} rows of 16 bytes: {n / insert_seconds / 1e6:.1f} million rows/s")
    print(f"tested {2 * n:,} rows: {2 * n / test_seconds / 1e6:.1f} million rows/s")
    print(f"inserted rows found: {sum(found):,} of {n:,}")
    print(f"fraction of zero bits: {bloom.foz():.4f}")
    print(f"false-positive rate: {false_positive_rate:.5f} measured, {theory:.5f} in theory")


if __name__ == "__main__":
    main()
