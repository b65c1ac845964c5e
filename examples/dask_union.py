"""Build a filter over a dask array on a cluster: one filter per partition, then their union.

Each worker builds the filter of the partitions it holds; the filters travel
between processes by pickling (their images out of band, as dask sends large
buffers), are merged pairwise by union, and the one that arrives equals, bit
for bit, the filter that one process builds over all rows.

    python examples/dask_union.py                                 # a LocalCluster of 2 worker processes
    python examples/dask_union.py --scheduler tcp://host:8786     # a running cluster
    python examples/dask_union.py --bits 8589934592               # filters of 1 GiB
"""

import argparse
import contextlib
import copy
import pickle
import time

import dask.array as da
import numpy as np
from dask.delayed import Delayed, delayed
from distributed import Client, LocalCluster

import tolvane
from sizing import LN2, HelpFormatter, memory, plan


def filter_of(block: np.ndarray, k: int, m: int) -> tolvane.bloomfilter:
    """The filter of one partition; every partition's filter has the same k and m."""
    bloom = tolvane.bloomfilter()
    bloom.configure(k, m)
    bloom.insert(block)
    return bloom


def union_of(left: tolvane.bloomfilter, right: tolvane.bloomfilter) -> tolvane.bloomfilter:
    # A task must not change its inputs: dask may hold them for other tasks.
    merged = copy.copy(left)
    merged.union(right)
    return merged


def union_tree(filters: list[Delayed]) -> Delayed:
    """Merges the filters pairwise, in log2(len(filters)) rounds that run in parallel."""
    while len(filters) > 1:
        pairs = [delayed(union_of)(a, b) for a, b in zip(filters[::2], filters[1::2])]
        filters = pairs + filters[len(pairs) * 2 :]
    return filters[0]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=HelpFormatter)
    parser.add_argument("--scheduler", help="address of a running dask scheduler (a LocalCluster if not given)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the LocalCluster")
    parser.add_argument("--rows", type=int, default=4_000_000, help="16-byte rows of the dask array")
    parser.add_argument("--partitions", type=int, default=8, help="partitions (blocks of rows) of the array")
    parser.add_argument("--fpr", type=float, default=0.01, help="false-positive rate of the filter")
    parser.add_argument("--bits", type=int, help="bits m of the filter, with the best k for --rows (planned from --fpr if not given)")
    args = parser.parse_args()
    if args.rows < args.partitions or args.partitions < 1:
        parser.error("--partitions must be at least 1 and at most --rows")
    if args.bits is not None and args.bits < 1:
        parser.error("--bits must be at least 1")

    with contextlib.ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(Client(args.scheduler))
        else:
            cluster = stack.enter_context(
                LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None)
            )
            client = stack.enter_context(Client(cluster))
        print(f"cluster: {len(client.scheduler_info()['workers'])} workers")
        # 16-byte rows made on the workers, split into partitions of whole rows.
        rows = da.random.RandomState(0).randint(
            0, 2**32, size=(args.rows, 4), dtype=np.uint32, chunks=(-(-args.rows // args.partitions), 4)
        )
        k, m = plan(args.rows, args.fpr)
        if args.bits is not None:
            m = args.bits
            k = max(1, min(30, round(m / args.rows * LN2)))
        print(f"filter: k = {k}, m = {m:,} bits ({memory(m)}); {rows.numblocks[0]} partitions")

        start = time.perf_counter()
        partials = [delayed(filter_of)(block, k, m) for block in rows.to_delayed().ravel()]
        merged: tolvane.bloomfilter = union_tree(partials).compute()
        print(f"built on the cluster and merged in {time.perf_counter() - start:.2f} s")

        start = time.perf_counter()
        whole = filter_of(rows.compute(), k, m)
        print(f"built in one process (after fetching the rows) in {time.perf_counter() - start:.2f} s")

    same = merged.to_bytes() == whole.to_bytes()
    images: list[pickle.PickleBuffer] = []
    stream = pickle.dumps(merged, 5, buffer_callback=images.append)
    print(f"each filter travels as a pickle of {len(stream):,} bytes and its image of {images[0].raw().nbytes:,}")
    print(f"images equal: {same}; fraction of zero bits {merged.foz():.4f}")
    if not same:
        raise SystemExit("the union of the partition filters differs from the filter of all rows")


if __name__ == "__main__":
    main()
