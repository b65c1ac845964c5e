"""Deduplicate a pandas data frame of mixed columns in two worker processes.

Each worker takes half of the rows, finds those that repeat an earlier row of
its half, and sends back its filter; the filter of the first half then finds
the rows of the second half that repeat one of the first, and the union of
both filters is the filter of the whole frame, ready to ship. The rows reach
the filters in three ways, and each way's duplicates are checked against
DataFrame.duplicated:

  object array   frame.to_numpy(), the trap: its bytes are the addresses of
                 Python objects, new in every conversion and every process;
  hash           one uint64 per row from pandas.util.hash_pandas_object;
  records        packed records, strings in fixed-width UTF-8.

    python examples/frames.py --rows 200000
"""

import argparse
import multiprocessing
from collections.abc import Callable
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pandas as pd

import tolvane
from sizing import HelpFormatter, plan

NAMES = ["Ada", "Bjørn", "Chidi", "Dagný", "Émile", "Fatoumata", "Gwenhwyfar", "Hà Thị Thu", "Ingrid Ødegård"]
TIERS = ["bronze", "silver", "gold"]


def make_frame(rows: int, duplicates: int, seed: int) -> pd.DataFrame:
    """A frame of every column kind; `duplicates` rows are copies of others.

    Some prices are 0.0, and a copy of such a row has -0.0 there: equal to
    0.0, so still a duplicate, but with other bytes.
    """
    rng = np.random.default_rng(seed)
    price = rng.gamma(2.0, 20.0, size=rows).round(2)
    price[rng.random(rows) < 0.1] = 0.0
    quantity = pd.array(rng.integers(1, 20, size=rows), dtype="Int64")
    quantity[rng.random(rows) < 0.1] = pd.NA
    frame = pd.DataFrame({
        "id": rng.integers(0, 2**40, size=rows),
        "price": price,
        "name": rng.choice(NAMES, size=rows),
        "tier": pd.Categorical(rng.choice(TIERS, size=rows), categories=TIERS),
        "seen": pd.Timestamp("2024-01-01") + pd.to_timedelta(rng.integers(0, 10**9, size=rows), unit="s"),
        "quantity": quantity,
    })
    shuffled = rng.permutation(rows)
    targets, sources = shuffled[:duplicates], rng.choice(shuffled[duplicates:], size=duplicates)
    picks = np.arange(rows)
    picks[targets] = sources
    frame = frame.iloc[picks].reset_index(drop=True)
    zero_copies = targets[frame["price"].to_numpy()[targets] == 0.0]
    frame.loc[zero_copies, "price"] = -0.0
    return frame


def object_rows(frame: pd.DataFrame) -> np.ndarray:
    return frame.to_numpy()


def hashed_rows(frame: pd.DataFrame) -> np.ndarray:
    return pd.util.hash_pandas_object(frame, index=False).to_numpy().reshape(-1, 1)


NAME_WIDTH = 24  # bytes of UTF-8 that every writer of the filter agrees on
RECORD = np.dtype([
    ("id", "<i8"), ("price", "<f8"), ("name", f"S{NAME_WIDTH}"), ("tier", "S6"),
    ("seen", "<M8[us]"), ("quantity", "<i8"), ("quantity_missing", "?"),
])


def fixed_utf8(strings: np.ndarray, width: int) -> np.ndarray:
    """str values as UTF-8 in `width` bytes; a longer value is refused, never cut short."""
    encoded = np.char.encode(strings.astype(str), "utf-8")
    if encoded.dtype.itemsize > width:
        raise ValueError(f"a value takes {encoded.dtype.itemsize} bytes in UTF-8, more than {width}")
    return encoded.astype(f"S{width}")


def record_rows(frame: pd.DataFrame) -> np.ndarray:
    rows = np.zeros(len(frame), dtype=RECORD)  # zeros: no stray bytes anywhere
    rows["id"] = frame["id"].to_numpy()
    price = frame["price"].to_numpy()
    rows["price"] = np.where(np.isnan(price), np.nan, price + 0.0)  # -0.0 becomes 0.0, every NaN one NaN
    rows["name"] = fixed_utf8(frame["name"].to_numpy(), NAME_WIDTH)
    rows["tier"] = fixed_utf8(frame["tier"].astype(str).to_numpy(), 6)
    rows["seen"] = frame["seen"].to_numpy().astype("M8[us]")
    rows["quantity"] = frame["quantity"].fillna(0).to_numpy(dtype=np.int64)
    rows["quantity_missing"] = frame["quantity"].isna().to_numpy()
    return rows.reshape(-1, 1)


WAYS: dict[str, Callable[[pd.DataFrame], np.ndarray]] = {
    "object array": object_rows,
    "hash": hashed_rows,
    "records": record_rows,
}


def dedup_part(part: pd.DataFrame, way: str, k: int, m: int) -> tuple[np.ndarray, tolvane.bloomfilter]:
    """In a worker: the positions in `part` of rows that repeat an earlier row of it, and its filter."""
    rows = WAYS[way](part)
    bloom = tolvane.bloomfilter()
    bloom.configure(k, m)
    return np.flatnonzero(bloom.test_and_insert(rows)), bloom


def found_in(part: pd.DataFrame, way: str, bloom: tolvane.bloomfilter) -> np.ndarray:
    """In a worker: the positions in `part` of rows that `bloom` holds."""
    return np.flatnonzero(bloom.test_mask(WAYS[way](part)))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=HelpFormatter)
    parser.add_argument("--rows", type=int, default=100_000, help="rows of the frame")
    parser.add_argument("--duplicates", type=int, default=5_000, help="rows that copy another row")
    parser.add_argument("--fpr", type=float, default=1e-6, help="false-positive rate of each filter")
    parser.add_argument("--seed", type=int, default=0, help="seed of the frame's random values")
    args = parser.parse_args()
    if not 0 <= args.duplicates <= args.rows // 2:
        parser.error("--duplicates must be between 0 and half of --rows")

    frame = make_frame(args.rows, args.duplicates, args.seed)
    truth = frame.duplicated().to_numpy()
    k, m = plan(len(frame), args.fpr)
    half = len(frame) // 2
    first, second = frame.iloc[:half], frame.iloc[half:]
    print(f"frame: {len(frame):,} rows, {truth.sum():,} duplicates by DataFrame.duplicated; "
          f"columns {', '.join(f'{name} {dtype}' for name, dtype in frame.dtypes.items())}")
    print(f"filters: k = {k}, m = {m:,} bits; rows {half:,} and {len(frame) - half:,} in two worker processes")
    print("found: rows marked as duplicates; missed and extra: against DataFrame.duplicated;")
    print("held: rows of the frame, converted again here, that the union of the workers' filters holds")
    print()
    print(f"{'way':<14} {'found':>8} {'missed':>8} {'extra':>8} {'held':>18}")

    # Workers are spawned, not forked: the frame reaches them pickled, as it would another machine.
    with ProcessPoolExecutor(max_workers=2, mp_context=multiprocessing.get_context("spawn")) as workers:
        for way, to_rows in WAYS.items():
            first_job = workers.submit(dedup_part, first, way, k, m)
            second_job = workers.submit(dedup_part, second, way, k, m)
            first_repeats, first_filter = first_job.result()
            second_repeats, second_filter = second_job.result()
            across = workers.submit(found_in, second, way, first_filter).result()

            found = np.zeros(len(frame), dtype=bool)
            found[first_repeats] = True
            found[half + np.union1d(second_repeats, across)] = True
            whole = first_filter
            whole.union(second_filter)
            held = int(np.count_nonzero(whole.test_mask(to_rows(frame))))
            missed = int(np.count_nonzero(truth & ~found))
            extra = int(np.count_nonzero(found & ~truth))
            verdict = "right" if missed == 0 else "WRONG"
            print(f"{way:<14} {found.sum():>8,} {missed:>8,} {extra:>8,} {f'{held:,} of {len(frame):,}':>18}   {verdict}")


if __name__ == "__main__":
    main()
