"""Prefilter a join: drop the orders whose customer cannot be in the customer table.

A filter over the keys of the small table travels cheaply (m / 8 bytes) to
wherever the large table is; only the orders that pass it need the costly
exact lookup: a shuffle, a remote query, a disk seek. The filter never drops
a matching order; the few non-matching ones that pass are sorted out by the
exact check.

    python examples/join_prefilter.py --customers 50000 --orders 1000000
"""

import argparse
import time

import numpy as np

import tolvane
from sizing import HelpFormatter, memory, plan

# A row is the bytes it holds, so both tables must give their keys in one
# dtype: the orders store the customer id as int32, the customers as int64.
KEY = np.dtype([("id", "<i8"), ("country", "S2")])
COUNTRIES = np.array([b"NO", b"SE", b"DK", b"FI", b"IS"])


def key_rows(table: np.ndarray, id_field: str) -> np.ndarray:
    """The join key of each row as a packed (id, country) record, one per row of a 2-D array."""
    keys = np.empty(len(table), dtype=KEY)
    keys["id"] = table[id_field]
    keys["country"] = table["country"]
    return keys.reshape(-1, 1)


def make_tables(customers: int, orders: int, share: float) -> tuple[np.ndarray, np.ndarray]:
    """A customer table and an order table of which about `share` are by those customers."""
    rng = np.random.default_rng(0)
    people = np.zeros(customers, dtype=[("id", "<i8"), ("country", "S2"), ("since", "<i2")])
    people["id"] = rng.choice(10 * customers + 10 * orders, size=customers, replace=False)
    people["country"] = rng.choice(COUNTRIES, size=customers)
    people["since"] = rng.integers(1990, 2025, size=customers)

    sales = np.zeros(orders, dtype=[("order", "<i8"), ("customer", "<i4"), ("country", "S2"), ("amount", "<f8")])
    sales["order"] = np.arange(orders)
    known = rng.random(orders) < share
    picked = rng.integers(0, customers, size=int(np.count_nonzero(known)))
    sales["customer"][known] = people["id"][picked]
    sales["country"][known] = people["country"][picked]
    sales["customer"][~known] = rng.integers(0, 10 * customers + 10 * orders, size=int(np.count_nonzero(~known)))
    sales["country"][~known] = rng.choice(COUNTRIES, size=int(np.count_nonzero(~known)))
    sales["amount"] = rng.gamma(2.0, 50.0, size=orders).round(2)
    return people, sales


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=HelpFormatter)
    parser.add_argument("--customers", type=int, default=50_000, help="rows of the customer table")
    parser.add_argument("--orders", type=int, default=1_000_000, help="rows of the order table")
    parser.add_argument("--share", type=float, default=0.05, help="share of the orders by known customers")
    parser.add_argument("--fpr", type=float, default=0.01, help="false-positive rate of the filter")
    args = parser.parse_args()
    if args.customers < 1 or args.orders < 1:
        parser.error("--customers and --orders must be at least 1")

    people, sales = make_tables(args.customers, args.orders, args.share)
    customer_keys = key_rows(people, "id")
    order_keys = key_rows(sales, "customer")

    start = time.perf_counter()
    k, m = plan(len(people), args.fpr)
    bloom = tolvane.bloomfilter()
    bloom.configure(k, m)
    bloom.insert(customer_keys)
    may_match = bloom.test_mask(order_keys)
    filter_seconds = time.perf_counter() - start

    # The exact check, on the survivors only.
    start = time.perf_counter()
    survivors = sales[may_match]
    matches = survivors[np.isin(order_keys[may_match, 0], customer_keys[:, 0])]
    exact_seconds = time.perf_counter() - start

    # The same join without the filter: the work the filter saved.
    start = time.perf_counter()
    everything = sales[np.isin(order_keys[:, 0], customer_keys[:, 0])]
    unfiltered_seconds = time.perf_counter() - start
    assert np.array_equal(everything, matches), "the filter dropped a matching order"

    passed = len(survivors)
    false_positives = passed - len(matches)
    others = len(sales) - len(matches)
    print(f"filter over {len(people):,} customer keys: k = {k}, m = {m:,} bits ({memory(m)})")
    print(f"orders:                {len(sales):>10,}")
    print(f"passed the filter:     {passed:>10,} ({passed / len(sales):.1%})")
    print(f"matched exactly:       {len(matches):>10,}")
    print(f"false positives:       {false_positives:>10,} ({false_positives / max(others, 1):.2%} of the others)")
    print(f"exact lookups saved:   {len(sales) - passed:>10,} ({1 - passed / len(sales):.1%})")
    print(f"time: filter {filter_seconds:.3f} s + exact check of the survivors {exact_seconds:.3f} s, "
          f"against {unfiltered_seconds:.3f} s for an exact check of every order")
    print(f"revenue of the matched orders: {matches['amount'].sum():,.2f}")
    print("checked: an exact join of every order finds the same matches")

if __name__ == "__main__":
    main()
