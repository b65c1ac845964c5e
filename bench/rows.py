"""tolvane against its peers and against what the machine can do at best.

Prints one table; every figure is the best of several repetitions and every
ratio compares figures measured in this same run. Peers (rbloom,
pybloomfiltermmap3, fastbloom-rs, a Python set) are skipped with a note when
they are not installed (pip install '.[bench]'). They are fed what they need,
bytes per row: "fed tobytes" counts the conversion a user pays, "pre-built"
is the same work on bytes made beforehand (rbloom and set then also reuse the
hash that Python caches in each bytes object).

The floors are plain C++ loops over the same rows, k and m (bench/floors.cpp):
the hash alone, one row at a time and the fastest way this CPU offers (eight
rows at a time in AVX2 lanes where it has AVX2), and each operation's memory
work alone, with the positions computed beforehand: insert's read-modify-write
of the word of every position, test's read of it. Each tolvane case is set
against three of their sums: "today's" (the one-at-a-time hash + insert's
memory work, as this table had it before), its own memory work alone, and
that + the fastest hash.

    python bench/rows.py --floors build/bench/floors [--quick] [--plot docs/speed.png]
"""

import argparse
import json
import math
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np

import tolvane

IN_CACHE = 10_000_000  # bits: 1.25 MB
GIB = 2**33  # bits: 1 GiB
RNG = np.random.default_rng(2026)


# A shared machine runs slower for seconds at a time. Cases that are compared
# are therefore timed in turn, round after round (a slow phase falls on all of
# them alike), and each timed sample lasts at least SAMPLE_SECONDS (repeating
# a short call), so that a short case is not timed over shorter, and so
# luckier, stretches than a long one.
SAMPLE_SECONDS = 0.05


def fastest(calls: dict, repeat: int) -> dict:
    """Seconds per call of each of `calls` (name: function), the best of
    `repeat` rounds. What a call returns is freed outside the timing."""
    inner = {}
    for name, call in calls.items():
        start = time.perf_counter()
        call()
        inner[name] = max(1, int(SAMPLE_SECONDS / max(time.perf_counter() - start, 1e-7)))
    best = dict.fromkeys(calls, math.inf)
    for _ in range(repeat):
        for name, call in calls.items():
            results = [None] * inner[name]
            start = time.perf_counter()
            for i in range(inner[name]):
                results[i] = call()
            best[name] = min(best[name], (time.perf_counter() - start) / inner[name])
            del results
    return best


def best(call, repeat: int) -> float:
    """Seconds of one call, the best of `repeat` samples."""
    return fastest({"": call}, repeat)[""]


def random_rows(count: int, row_bytes: int) -> np.ndarray:
    return RNG.integers(0, 2**32, size=(count, row_bytes // 4), dtype=np.uint32)


def configured(k: int, m: int) -> tolvane.bloomfilter:
    f = tolvane.bloomfilter()
    f.configure(k, m)
    return f


def tolvane_calls(rows: np.ndarray, k: int, m: int, label: str = "") -> dict:
    """insert and test of rows (the inserted ones: all k probes) on a filter
    whose pages were all touched before, as calls for fastest, with the
    number of rows each call handles."""
    f = configured(k, m)
    f.insert(rows)
    return {f"{label}insert": (lambda: f.insert(rows), len(rows)), f"{label}test": (lambda: f.test(rows), len(rows))}


def ns_per_row(calls: dict, repeat: int) -> dict:
    """calls: name -> (function, rows per call); the result: name -> ns per row."""
    seconds = fastest({name: call for name, (call, _) in calls.items()}, repeat)
    return {name: seconds[name] * 1e9 / rows for name, (_, rows) in calls.items()}


class Floors:
    def __init__(self, binary: str):
        self.binary = binary

    def run(self, *args) -> dict:
        out = subprocess.run([self.binary, *map(str, args)], capture_output=True, text=True, check=True)
        return json.loads(out.stdout)

    def rows(self, rows: np.ndarray, k: int, m: int) -> dict:
        """ns per row: hash (one row at a time), fastest_hash (the fastest way
        this CPU offers), and the memory work of each operation, the better of
        in order and prefetched: a read-modify-write per position for insert,
        a read for test."""
        with tempfile.NamedTemporaryFile(suffix=".rows") as file:
            np.ascontiguousarray(rows).tofile(file.name)
            row_bytes = rows.shape[1] * rows.itemsize
            result = self.run("hash", file.name, row_bytes)
            result.update(self.run("memory", file.name, row_bytes, k, m))
        result["insert"] = min(result["memory"], result["memory_prefetched"])
        result["test"] = min(result["reads"], result["reads_prefetched"])
        return result

    def memcpy_gbps(self, size: int) -> tuple[float, float]:
        """memcpy into a buffer in use, and into a freshly allocated one."""
        result = self.run("memcpy", size)
        return result["memcpy_gbps"], result["fresh_memcpy_gbps"]


def peers(k: int, m: int):
    """(name, make, add_all, test_all) for each installed peer, sized to the
    same m and k: capacity m ln 2 / k at false-positive rate 2^-k."""
    capacity, rate = max(1, int(m * math.log(2) / k)), 0.5**k
    found = []
    try:
        import rbloom

        found.append(("rbloom", lambda: rbloom.Bloom(capacity, rate), lambda f, xs: f.update(xs),
                      lambda f, xs: [x in f for x in xs]))
    except ImportError:
        print("note: rbloom not installed, skipped")
    try:
        import pybloomfilter

        found.append(("pybloomfiltermmap3", lambda: pybloomfilter.BloomFilter(capacity, rate),
                      lambda f, xs: f.update(xs), lambda f, xs: [x in f for x in xs]))
    except ImportError:
        print("note: pybloomfiltermmap3 not installed, skipped")
    try:
        import fastbloom_rs

        found.append(("fastbloom-rs", lambda: fastbloom_rs.BloomFilter(capacity, rate),
                      lambda f, xs: f.add_bytes_batch(xs), lambda f, xs: f.contains_bytes_batch(xs)))
    except ImportError:
        print("note: fastbloom-rs not installed, skipped")
    found.append(("set of tobytes()", set, lambda s, xs: s.update(xs), lambda s, xs: [x in s for x in xs]))
    return found


def peer_calls(peer, rows: np.ndarray, cases=("insert fed tobytes", "test fed tobytes", "insert pre-built",
                                               "test pre-built")) -> dict:
    """A peer's insert and test, fed tobytes and on pre-built bytes, as calls
    for ns_per_row."""
    name, make, add_all, test_all = peer
    prebuilt = [row.tobytes() for row in rows]
    f = make()
    add_all(f, prebuilt)
    calls = {
        "insert fed tobytes": lambda: add_all(f, [row.tobytes() for row in rows]),
        "test fed tobytes": lambda: test_all(f, [row.tobytes() for row in rows]),
        "insert pre-built": lambda: add_all(f, prebuilt),
        "test pre-built": lambda: test_all(f, prebuilt),
    }
    return {f"{name} {case}": (calls[case], len(rows)) for case in cases}


FLOOR_KEYS = ("hash", "fastest_hash", "insert", "test")


def best_floor(a: dict, b: dict) -> dict:
    """The better of two measurements of the floors, key by key."""
    return {key: min(a.get(key, math.inf), b[key]) for key in FLOOR_KEYS} | {"fastest_hash_is": b["fastest_hash_is"]}


def floor_ratios(ns: float, op: str, floor: dict) -> str:
    """ns of tolvane's op against today's floor (hash one row at a time +
    insert's memory work), the op's memory work alone, and that plus the
    fastest hash."""
    today = floor["hash"] + floor["insert"]
    return (f"{ns / today:.2f}x today's, {ns / floor[op]:.2f}x memory, "
            f"{ns / (floor[op] + floor['fastest_hash']):.2f}x memory + fastest hash")


class Table:
    def __init__(self):
        self.lines = []

    def add(self, group: str, case: str, value: float, unit: str, ratio: str = ""):
        self.lines.append((group, case, f"{value:,.1f}" if value >= 10 else f"{value:.2f}", unit, ratio))

    def print(self):
        widths = [max(len(line[i]) for line in self.lines + [self.header]) for i in range(5)]
        for line in [self.header] + self.lines:
            print("  ".join(cell.ljust(width) if i != 2 else cell.rjust(width)
                            for i, (cell, width) in enumerate(zip(line, widths))))

    header = ("group", "case", "value", "unit", "ratio")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--floors", required=True, help="the floors binary (built by make bench)")
    parser.add_argument("--quick", action="store_true", help="fewer rows and repetitions")
    parser.add_argument("--plot", help="write ns per row against filter size to this PNG")
    args = parser.parse_args()
    floors = Floors(args.floors)
    n = 200_000 if args.quick else 1_000_000
    repeat = 3 if args.quick else 5
    table = Table()

    # Peers: in cache, 16-byte rows, k = 7, all timed in turn.
    rows = random_rows(n, 16)
    calls = tolvane_calls(rows, 7, IN_CACHE, "tolvane ")
    for peer in peers(7, IN_CACHE):
        calls.update(peer_calls(peer, rows[: n // 5]))
    ns = ns_per_row(calls, repeat)
    group = "peers (16 B rows, k 7, 10M bits)"
    for case, value in ns.items():
        ours = ns["tolvane insert"] if " insert" in case else ns["tolvane test"]
        table.add(group, case, value, "ns/row", "" if case.startswith("tolvane") else f"{value / ours:.1f}x tolvane")

    # Against the floors of the same rows and positions. The floors run in
    # another process: each side is timed twice, in turn.
    for m, size in ((IN_CACHE, "10M bits"), (GIB, "1 GiB")):
        for row_bytes in (16, 64):
            for k in (3, 7, 14):
                rows = random_rows(n, row_bytes)
                calls = tolvane_calls(rows, k, m)
                # What test's result list costs by itself: a filter with k 0
                # reads nothing and answers True for every row.
                calls["k 0 test"] = tolvane_calls(rows, 0, m)["test"]
                insert = test = list_alone = math.inf
                floor = {}
                for _ in range(2):
                    ns = ns_per_row(calls, repeat)
                    insert, test = min(insert, ns["insert"]), min(test, ns["test"])
                    list_alone = min(list_alone, ns["k 0 test"])
                    floor = best_floor(floor, floors.rows(rows, k, m))
                del calls
                group = f"floor ({size})"
                case = f"{row_bytes} B rows, k {k}"
                table.add(group, f"{case}: hash one by one / fastest", floor["hash"], "ns/row",
                          f"{floor['fastest_hash']:.1f} ({floor['fastest_hash_is']})")
                table.add(group, f"{case}: memory work of insert / test", floor["insert"], "ns/row",
                          f"{floor['test']:.1f}")
                table.add(group, f"{case}: insert", insert, "ns/row", floor_ratios(insert, "insert", floor))
                table.add(group, f"{case}: test", test, "ns/row", floor_ratios(test, "test", floor))
                table.add(group, f"{case}: test with k 0 (the result list alone)", list_alone, "ns/row")

    # Layouts, in cache, k = 7, timed in turn.
    for row_bytes in (16, 64):
        rows = random_rows(n, row_bytes)
        calls = {}
        for name, view in (("C", rows), ("Fortran", np.asfortranarray(rows)), ("reversed", rows[:, ::-1])):
            calls.update(tolvane_calls(view, 7, IN_CACHE, f"{name} "))
        ns = ns_per_row(calls, repeat)
        group = f"layout ({row_bytes} B rows, k 7)"
        table.add(group, "C insert / test", ns["C insert"], "ns/row", f"test {ns['C test']:.1f}")
        for name in ("Fortran", "reversed"):
            for op in ("insert", "test"):
                table.add(group, f"{name} {op}", ns[f"{name} {op}"], "ns/row",
                          f"{ns[f'{name} {op}'] / ns[f'C {op}']:.2f}x C")

    # Cost per row as the work grows, timed in turn.
    counts = (10**4, 10**5, 10**6) if args.quick else (10**4, 10**5, 10**6, 10**7)
    calls = {}
    for count in counts:
        calls.update(tolvane_calls(random_rows(count, 16), 7, IN_CACHE, f"{count:,} rows "))
    ns = ns_per_row(calls, repeat)
    del calls
    for op in ("insert", "test"):
        values = [ns[f"{count:,} rows {op}"] for count in counts]
        for count, value in zip(counts, values):
            table.add("rows (16 B, k 7, 10M bits)", f"{count:,} rows {op}", value, "ns/row",
                      f"max/min {max(values) / min(values):.2f}" if count == counts[-1] else "")

    # The fixed cost of a call, against rbloom's for one row, fed tobytes; and
    # what bounds it: a call of a method that does nothing (get_k) through the
    # same binding, and making the one-item list that test returns.
    one = random_rows(1, 16)
    f = configured(7, IN_CACHE)
    calls = {"insert": lambda: f.insert(one), "test": lambda: f.test(one), "get_k (the binding alone)": f.get_k,
             "[False] (a one-item list)": lambda: [False]}
    try:
        import rbloom

        bloom = rbloom.Bloom(max(1, int(IN_CACHE * math.log(2) / 7)), 0.5**7)
        row = one[0]
        calls["rbloom add(row.tobytes())"] = lambda: bloom.add(row.tobytes())
        calls["rbloom row.tobytes() in bloom"] = lambda: row.tobytes() in bloom
    except ImportError:
        pass
    seconds = fastest(calls, repeat)
    rbloom_of = {"insert": "rbloom add(row.tobytes())", "test": "rbloom row.tobytes() in bloom"}
    for op, value in seconds.items():
        theirs = seconds.get(rbloom_of.get(op, ""))
        table.add("one-row call", op, value * 1e6, "µs/call", f"{value / theirs:.2f}x rbloom" if theirs else "")

    # Whole-filter operations on 1 GiB, against memcpy of the same size.
    # from_bytes takes m as a signed 32-bit int, so it is measured on the
    # largest filter it can build, 256 MiB.
    size = GIB // 8
    memcpy, fresh_memcpy = floors.memcpy_gbps(size)
    group = "whole filter (1 GiB)"
    table.add(group, "memcpy", memcpy, "GB/s")
    table.add(group, "memcpy into a new buffer", fresh_memcpy, "GB/s", f"{fresh_memcpy / memcpy:.2f}x memcpy")
    a, b = configured(7, GIB), configured(7, GIB)
    fill = random_rows(2_000_000, 16)
    a.insert(fill)
    b.insert(fill[::-1])
    operations = {
        "foz": a.foz,
        "to_bytes": a.to_bytes,
        "__getstate__": a.__getstate__,
        "union": lambda: a.union(b),
        "intersect": lambda: a.intersect(b),
    }
    for name, operation in operations.items():
        gbps = size / best(operation, repeat) / 1e9
        ratio = f"{gbps / memcpy:.2f}x memcpy"
        if name in ("to_bytes", "__getstate__"):  # each makes a new 1 GiB bytes object
            ratio += f", {gbps / fresh_memcpy:.2f}x into a new buffer"
        table.add(group, name, gbps, "GB/s", ratio)
    del a, b
    largest = 2**31 - 64
    image = RNG.integers(0, 256, size=largest // 8, dtype=np.uint8).tobytes()
    memcpy, fresh_memcpy = floors.memcpy_gbps(len(image))
    group = "whole filter (256 MiB)"
    table.add(group, "memcpy", memcpy, "GB/s")
    fresh = len(image) / best(lambda: tolvane.bloomfilter().from_bytes(image, 7, largest), repeat) / 1e9
    table.add(group, "from_bytes into a new filter", fresh, "GB/s",
              f"{fresh / memcpy:.2f}x memcpy, {fresh / fresh_memcpy:.2f}x into a new buffer")
    c = configured(7, largest)
    same = len(image) / best(lambda: c.from_bytes(image, 7, largest), repeat) / 1e9
    table.add(group, "from_bytes into one of its size", same, "GB/s", f"{same / memcpy:.2f}x memcpy")
    del image, c

    # ns per row against filter size, for the plot.
    sweep = {}
    if args.plot:
        rows = random_rows(n, 16)
        peer_rows = rows[: n // 5]
        for m in (2**23, IN_CACHE, 2**26, 2**29, GIB):
            calls = tolvane_calls(rows, 7, m, "tolvane ")
            for peer in peers(7, m):
                calls.update(peer_calls(peer, peer_rows, ["insert fed tobytes"]))
            point = ns_per_row(calls, repeat)
            del calls
            floor = best_floor({}, floors.rows(rows, 7, m))
            point.update({"floor: hash + memory of insert": floor["hash"] + floor["insert"],
                          "floor: memory of insert + fastest hash": floor["insert"] + floor["fastest_hash"],
                          "floor: memory of insert": floor["insert"], "floor: memory of test": floor["test"],
                          "floor: hash": floor["hash"], "floor: fastest hash": floor["fastest_hash"]})
            sweep[m] = point
            group = f"size sweep ({m / 8 / 2**20:,.2f} MiB, 16 B rows, k 7)"
            for line, ns in point.items():
                ratio = floor_ratios(ns, line.split()[-1], floor) if line.startswith("tolvane") else ""
                table.add(group, line, ns, "ns/row", ratio)

    table.print()
    if args.plot:
        plot(sweep, args.plot)


def plot(sweep: dict, path: str):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("note: matplotlib not installed, no plot")
        return
    fig, ax = plt.subplots(figsize=(11.5, 5.5))
    sizes = [m / 8 for m in sweep]
    # A colour of its own for each line: the default cycle of ten repeats.
    colours = plt.get_cmap("tab20").colors
    for i, line in enumerate(next(iter(sweep.values()))):
        style = "--" if line.startswith("floor") else "-"
        ax.plot(sizes, [point[line] for point in sweep.values()], style, marker="o", label=line,
                color=colours[2 * i % 20 + 2 * i // 20], linewidth=2.5 if line.startswith("tolvane") else 1.5)
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    ax.set_xlabel("filter size (bytes)")
    ax.set_ylabel("ns per row (16-byte rows, k = 7, best of runs)")
    ax.set_title("tolvane, its peers and the machine's floors")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1))
    fig.tight_layout()
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
