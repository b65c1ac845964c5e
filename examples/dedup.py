"""Find the rows of a large array that repeat an earlier row, in one pass.

The array is read memory-mapped, a chunk at a time, so it is never held in
memory, let alone twice. Each chunk is first tested against the filter of
every earlier chunk, then inserted into it. A row that tests True is a
suspected duplicate: it may be a false positive, never a missed duplicate.

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


def repeats_within(rows: np.ndarray) -> np.ndarray:
    """True for each row that equals an earlier row of the same chunk."""
    _, first = np.unique(rows, axis=0, return_index=True)
    repeated = np.ones(len(rows), dtype=bool)
    repeated[first] = False
    return repeated


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
            # A row never inserted tests True with the probability that all its
            # k bits are already set: (1 - foz)^k for the filter as it is now.
            within = repeats_within(rows)
            expected_false_positives += (1 - bloom.foz()) ** k * int(np.count_nonzero(~within))
            # Rows that repeat within the chunk are not yet in the filter when
            # it is tested, so they are found by comparison instead.
            seen = np.array(bloom.test(rows)) | within
            bloom.insert(rows)
            suspects.append(start + np.flatnonzero(seen))
            progress.update(len(rows))
    return np.concatenate(suspects), expected_false_positives


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=HelpFormatter)
    parser.add_argument("path", nargs="?", type=Path, help="a .npy file holding a 2-D array (demo data if not given)")
    parser.add_argument("--rows", type=int, default=2_000_000, help="rows of demo data")
    parser.add_argument("--duplicates", type=int, default=20_000, help="duplicates planted in the demo data")
    parser.add_argument("--chunk", type=int, default=100_000, help="rows read at a time")
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
