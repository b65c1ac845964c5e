"""Choosing k and m for n rows and a target false-positive rate.

Run it to print the sizing table of the README.
"""

import math

LN2 = math.log(2)


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


if __name__ == "__main__":
    print(sizing_table(1_000_000, [0.1, 0.01, 0.001, 1e-4, 1e-6]))
