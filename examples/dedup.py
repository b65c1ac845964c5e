"""Find the rows of a large array that repeat an earlier row, in one pass.

A row is a duplicate when its bytes equal those of an earlier row, which is
what the filter compares. So rows holding NaN are duplicates when their NaNs
have the same bits, and a row with -0.0 does not repeat one with 0.0. To
compare float values instead, give equal values equal bytes before the rows
reach the filter, with the README's `canonical`:
np.where(np.isnan(rows), np.nan, rows + 0.0) makes -0.0 and 0.0 one value and
every NaN one NaN.

The array is read memory-mapped, a chunk at a time, so it is never held in
memory, let alone twice. test_and_insert tests each row of a chunk against
every row before it, in this chunk or an earlier one, then inserts it, so the
answer does not depend on the chunk size. A row reported is a suspected
duplicate: it may be a false positive, never a missed duplicate.

    python examples/dedup.py data.npy           # a 2-D .npy file of your own
    python examples/dedup.py --rows 2000000     # demo data with planted duplicates
"""

import argparse
import tempfile
from pathlib import Path

import numpy as np
from tqdm import tqdm

import tolvane
from sizing import HelpFormatter, memory, plan


def make_demo_data(path: Path, rows: int, duplicates: int, chunk: int) -> None:
    """Writes random 16-byte rows, then copies `duplicates` of them over others."""
    data = np.lib.format.open_memmap(path, mode="w+", dtype=np.uint32, shape=(rows, 4))
    rng = np.random.default_rng(0)
    for start in range(0, rows, chunk):
        stop = min(start + chunk, rows)
        data[start:stop] = rng.integers(0, 2**32, size=(stop - start, 4), dtype=np.uint32)
    # Copies only come from rows that are not overwritten, so each copy makes
    # exactly one more occurrence of a row (random collisions aside: 2^-128).
    shuffled = rng.permutation(rows)
    targets, sources = shuffled[:duplicates], rng.choice(shuffled[duplicates:], size=duplicates)
    data[targets] = data[sources]
    data.flush()


def chunk_false_positive_rate(k: int, zeros_before: float, zeros_after: float) -> float:
    """The mean rate at which the rows of a chunk that were never inserted test True.

    A new row tests True when its k bits are set already: (1 - foz)^k, with
    foz as it is when the row comes. Over a chunk foz falls from zeros_before
    to zeros_after by about the same factor per row, so the rate is averaged
    over that curve.
    """
    if zeros_before == 0:
        return 1.0
    steps = (np.arange(RATE_SAMPLES) + 0.5) / RATE_SAMPLES
    zeros = zeros_before * (zeros_after / zeros_before) ** steps
    return float(np.mean((1 - zeros) ** k))


RATE_SAMPLES = 64  # points on the curve: plenty for a rate that moves smoothly


def find_duplicates(data: np.ndarray, p: float, chunk: int) -> tuple[np.ndarray, float]:
    """The indices of suspected duplicates, and the false positives to expect among them."""
    k, m = plan(len(data), p)
    bloom = tolvane.bloomfilter()
    bloom.configure(k, m)
    print(f"filter: k = {k}, m = {m:,} bits ({memory(m)}) for {len(data):,} rows at p = {p:g}")

    suspects = []
    expected_false_positives = 0.0
    with tqdm(total=len(data), unit="row", unit_scale=True) as progress:
        for start in range(0, len(data), chunk):
            rows = data[start : start + chunk]
            zeros_before = bloom.foz()
            seen = bloom.test_and_insert(rows)
            # The rows reported False are new, and all but the few false
            # positives of the new rows.
            new = int(np.count_nonzero(~seen))
            expected_false_positives += chunk_false_positive_rate(k, zeros_before, bloom.foz()) * new
            suspects.append(start + np.flatnonzero(seen))
            progress.update(len(rows))
    return np.concatenate(suspects), expected_false_positives


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=HelpFormatter)
    parser.add_argument("path", nargs="?", type=Path, help="a .npy file holding a 2-D array (demo data if not given)")
    parser.add_argument("--rows", type=int, default=2_000_000, help="rows of demo data")
    parser.add_argument("--duplicates", type=int, default=20_000, help="duplicates planted in the demo data")
    parser.add_argument(
        "--chunk", type=int, default=100_000, help="rows read at a time (the answer is the same for any)"
    )
    parser.add_argument("--fpr", type=float, default=0.001, help="false-positive rate at the full row count")
    parser.add_argument(
        "--save", type=Path, help="write the indices of the suspected duplicates to this .npy file (none if not given)"
    )
    args = parser.parse_args()
    if args.duplicates > args.rows // 2:
        parser.error("--duplicates must be at most half of --rows")
    if args.chunk < 1:
        parser.error("--chunk must be at least 1")

    with tempfile.TemporaryDirectory() as scratch:
        path = args.path
        if path is None:
            path = Path(scratch) / "demo.npy"
            make_demo_data(path, args.rows, args.duplicates, args.chunk)
        data = np.load(path, mmap_mode="r")
        if data.ndim != 2:
            parser.error(f"{path} holds a {data.ndim}-D array, not rows of a 2-D one")
        suspects, expected = find_duplicates(data, args.fpr, args.chunk)

    print(f"rows seen:                {len(data):>12,}")
    print(f"suspected duplicates:     {len(suspects):>12,}")
    print(f"expected false positives: {expected:>12,.1f}")
    if args.path is None:
        print(f"planted duplicates:       {args.duplicates:>12,}")
    if args.save:
        np.save(args.save, suspects)
        print(f"indices of the suspected duplicates written to {args.save}")


if __name__ == "__main__":
    main()
