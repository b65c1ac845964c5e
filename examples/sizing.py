"""Choosing k and m for n rows and a target false-positive rate, and
estimating how many distinct rows a filter holds.

Run it to print the sizing table of the README and the estimates of a filter
filled with random rows.
"""

import argparse
import math

import numpy as np

import tolvane

LN2 = math.log(2)


class HelpFormatter(argparse.ArgumentDefaultsHelpFormatter, argparse.RawDescriptionHelpFormatter):
    """--help of the examples: the description as written, and every default."""

    def _get_help_string(self, action: argparse.Action) -> str | None:
        # An option without a default says in its help what its absence means.
        return action.help if action.default is None else super()._get_help_string(action)


def plan(n: int, p: float) -> tuple[int, int]:
    """The (k, m) that hold n rows at a false-positive rate of p.

    m = -n ln p / (ln 2)^2 bits is the least that reaches p; k = (m / n) ln 2
    bits per row is the count that minimises the rate for that m.
    """
    if n < 1:
        raise ValueError(f"n must be at least 1, not {n}")
    if not 0 < p < 1:
        raise ValueError(f"p must lie strictly between 0 and 1, not {p}")
    m = math.ceil(-n * math.log(p) / LN2**2)
    k = max(1, round(m / n * LN2))
    return k, m


def false_positive_rate(k: int, m: int, n: int) -> float:
    """The expected rate at which rows never inserted test True, after n rows."""
    return (1 - math.exp(-k * n / m)) ** k


def estimated_rows(bloom: tolvane.bloomfilter) -> float:
    """The distinct rows inserted, estimated from the fraction of zero bits.

    After n distinct rows a fraction exp(-k n / m) of the bits is still 0, so
    n is about -(m / k) ln(foz). Rows inserted again set no new bits and are
    not counted; a filter with no zero bit left gives infinity.
    """
    k, m, zero = bloom.get_k(), bloom.get_m(), bloom.foz()
    return math.inf if zero == 0 else -(m / k) * math.log(zero)


def memory(m: int) -> str:
    """The size of a filter of m bits (m / 8 bytes) in binary units."""
    size = math.ceil(m / 8)
    if size < 1024:
        return f"{size} B"
    scaled, unit = size / 1024, "KiB"
    for larger in ("MiB", "GiB"):
        if scaled < 1024:
            break
        scaled, unit = scaled / 1024, larger
    return f"{scaled:,.1f} {unit}"


def sizing_table(n: int, rates: list[float]) -> str:
    lines = [
        f"| target p | bits per row | k | m for {n:,} rows | memory | p at 2n rows |",
        "|---|---|---|---|---|---|",
    ]
    for p in rates:
        k, m = plan(n, p)
        lines.append(
            f"| {p:g} | {m / n:.2f} | {k} | {m:,} | {memory(m)} | {false_positive_rate(k, m, 2 * n):.3g} |"
        )
    return "\n".join(lines)


def estimate_table(n: int, p: float, counts: list[int]) -> str:
    """Inserts random 16-byte rows into the filter planned for n rows at p, up
    to each count in turn, and prints the estimate beside the count."""
    k, m = plan(n, p)
    bloom = tolvane.bloomfilter()
    bloom.configure(k, m)
    rng = np.random.default_rng(0)
    lines = [
        f"| rows inserted (filter for {n:,} at p = {p:g}) | -(m / k) ln(foz()) | error |",
        "|---|---|---|",
    ]
    inserted = 0
    for count in counts:
        bloom.insert(rng.integers(0, 2**63, size=(count - inserted, 2), dtype=np.int64))
        inserted = count
        estimate = estimated_rows(bloom)
        lines.append(f"| {count:,} | {estimate:,.0f} | {(estimate - count) / count:+.2%} |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=HelpFormatter)
    parser.add_argument("--rows", type=int, default=1_000_000, help="rows the filters are planned for")
    parser.add_argument("--fpr", type=float, default=0.01, help="target false-positive rate of the estimated filter")
    args = parser.parse_args()
    print(sizing_table(args.rows, [0.1, 0.01, 0.001, 1e-4, 1e-6]))
    print()
    print(estimate_table(args.rows, args.fpr, [args.rows * share // 100 for share in (1, 10, 50, 100, 200, 300)]))


if __name__ == "__main__":
    main()
