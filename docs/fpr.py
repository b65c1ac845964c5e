"""Draw docs/fpr.png: measured false-positive rates of tolvane against theory.

Left: filters of n rows over a range of bits per row m / n and k bits per row.
Right: filters sized for n0 rows at 1 % and 0.1 %, filled past n0.
Every point inserts random 16-byte rows into a real filter and tests a million
rows that were never inserted.

    python docs/fpr.py [docs/fpr.png]
"""

import sys
from pathlib import Path

import matplotlib.pyplot as plt
from matplotlib.axes import Axes
import numpy as np

import tolvane

# The sizing rules are those of the examples, so that the plot shows them.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
from sizing import false_positive_rate, plan

RNG = np.random.default_rng(0)
PROBES = RNG.integers(0, 2**64, size=(1_000_000, 2), dtype=np.uint64)


def random_rows(count: int) -> np.ndarray:
    return RNG.integers(0, 2**64, size=(count, 2), dtype=np.uint64)


def measured_rate(bloom: tolvane.bloomfilter) -> float:
    # The probes are random 128-bit rows: none of them was inserted (but with
    # a chance of 2^-100 or so), so every True is a false positive.
    return sum(bloom.test(PROBES)) / len(PROBES)


def filled(k: int, m: int, n: int) -> tolvane.bloomfilter:
    bloom = tolvane.bloomfilter()
    bloom.configure(k, m)
    bloom.insert(random_rows(n))
    return bloom


def against_bits_per_row(axes: Axes) -> None:
    bits_per_row = np.linspace(1, 20, 200)
    for k, colour in zip((1, 2, 4, 8), ("C0", "C1", "C2", "C3")):
        theory = (1 - np.exp(-k / bits_per_row)) ** k
        axes.plot(bits_per_row, theory, color=colour, label=f"theory, k = {k}")
        for n, marker in ((1_000, "o"), (100_000, "x")):
            ratios = [2, 4, 6, 8, 11, 14, 17, 20]
            rates = [measured_rate(filled(k, ratio * n, n)) for ratio in ratios]
            axes.plot(ratios, rates, marker, color=colour, fillstyle="none", linestyle="none")
    axes.plot([], [], "o", color="grey", fillstyle="none", label="measured, n = 1,000")
    axes.plot([], [], "x", color="grey", label="measured, n = 100,000")
    axes.set_xlabel("bits per row m / n")
    axes.set_ylabel("false-positive rate")
    axes.set_title("Rate against m / n and k")


def past_planned_rows(axes: Axes) -> None:
    planned = 100_000
    steps = 12
    for target, colour in ((0.01, "C0"), (0.001, "C3")):
        k, m = plan(planned, target)
        bloom = tolvane.bloomfilter()
        bloom.configure(k, m)
        loads, measured, estimated = [], [], []
        for step in range(1, steps + 1):
            bloom.insert(random_rows(3 * planned // steps))
            loads.append(step * 3 / steps)
            measured.append(measured_rate(bloom))
            estimated.append((1 - bloom.foz()) ** k)
        curve = np.linspace(0.05, 3, 200)
        axes.plot(curve, [false_positive_rate(k, m, int(x * planned)) for x in curve], color=colour,
                  label=f"theory, sized for p = {target:g} (k = {k})")
        axes.plot(loads, measured, "o", color=colour, fillstyle="none", label="measured")
        axes.plot(loads, estimated, "+", color=colour, label="(1 - foz())^k")
    axes.axvline(1, color="grey", linestyle=":")
    axes.set_xlabel(f"rows inserted / planned rows (planned n = {planned:,})")
    axes.set_title("Past the planned row count")


def main() -> None:
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("fpr.png")
    figure, (left, right) = plt.subplots(1, 2, figsize=(12, 5), constrained_layout=True)
    against_bits_per_row(left)
    past_planned_rows(right)
    for axes in (left, right):
        axes.set_yscale("log")
        axes.set_ylim(1e-5, 1)
        axes.grid(True, which="both", alpha=0.3)
        axes.legend(fontsize="small")
    figure.suptitle(f"tolvane: measured false-positive rates, {len(PROBES):,} probes per point")
    figure.savefig(output, dpi=100)
    print(f"wrote {output}")


if __name__ == "__main__":
    main()
