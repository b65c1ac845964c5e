"""tolvane against its peers and against what the machine can do at best.

Prints one table; every figure is the best of several repetitions and every
ratio compares figures measured in this same run. Peers (rbloom,
pybloomfiltermmap3, fastbloom-rs, a Python set) are skipped with a note when
they are not installed (pip install '.[bench]'). They are fed what they need,
bytes per row: "fed tobytes" counts the conversion a user pays, "pre-built"
is the same work on bytes made beforehand (rbloom and set then also reuse the
hash that Python caches in each bytes object).

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


def best(fn, repeat: int) -> float:
    """Seconds of the fastest of `repeat` calls."""
    fastest = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        fastest = min(fastest, time.perf_counter() - start)
        del result  # freeing what fn made is not part of its cost
    return fastest


def random_rows(count: int, row_bytes: int) -> np.ndarray:
    return RNG.integers(0, 2**32, size=(count, row_bytes // 4), dtype=np.uint32)


def configured(k: int, m: int) -> tolvane.bloomfilter:
    f = tolvane.bloomfilter()
    f.configure(k, m)
    return f


def tolvane_ns(rows: np.ndarray, k: int, m: int, repeat: int) -> tuple[float, float]:
    """ns per row of insert and of test (of the inserted rows: all k probes)."""
    f = configured(k, m)
    f.insert(rows)  # every page of the filter is touched before timing
    insert = best(lambda: f.insert(rows), repeat)
    test = best(lambda: f.test(rows), repeat)
    return insert * 1e9 / len(rows), test * 1e9 / len(rows)


class Floors:
    def __init__(self, binary: str):
        self.binary = binary

    def run(self, *args) -> dict:
        out = subprocess.run([self.binary, *map(str, args)], capture_output=True, text=True, check=True)
        return json.loads(out.stdout)

    def rows(self, rows: np.ndarray, k: int, m: int) -> dict:
        """hash, memory (in order) and memory_prefetched, ns per row."""
        with tempfile.NamedTemporaryFile(suffix=".rows") as file:
            np.ascontiguousarray(rows).tofile(file.name)
            row_bytes = rows.shape[1] * rows.itemsize
            result = self.run("hash", file.name, row_bytes)
            result.update(self.run("memory", file.name, row_bytes, k, m))
        result["floor"] = result["hash"] + min(result["memory"], result["memory_prefetched"])
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


def peer_ns(peer, rows: np.ndarray, repeat: int) -> dict:
    """ns per row of insert and test, fed tobytes and on pre-built bytes."""
    _, make, add_all, test_all = peer
    prebuilt = [row.tobytes() for row in rows]
    f = make()
    add_all(f, prebuilt)
    n = len(rows)
    return {
        "insert fed tobytes": best(lambda: add_all(f, [row.tobytes() for row in rows]), repeat) * 1e9 / n,
        "test fed tobytes": best(lambda: test_all(f, [row.tobytes() for row in rows]), repeat) * 1e9 / n,
        "insert pre-built": best(lambda: add_all(f, prebuilt), repeat) * 1e9 / n,
        "test pre-built": best(lambda: test_all(f, prebuilt), repeat) * 1e9 / n,
    }


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

    # Peers: in cache, 16-byte rows, k = 7.
    rows = random_rows(n, 16)
    insert, test = tolvane_ns(rows, 7, IN_CACHE, repeat)
    group = "peers (16 B rows, k 7, 10M bits)"
    table.add(group, "tolvane insert", insert, "ns/row")
    table.add(group, "tolvane test", test, "ns/row")
    peer_rows = rows[: n // 5]
    for peer in peers(7, IN_CACHE):
        for case, ns in peer_ns(peer, peer_rows, repeat).items():
            ours = insert if case.startswith("insert") else test
            table.add(group, f"{peer[0]} {case}", ns, "ns/row", f"{ns / ours:.1f}x tolvane")

    # Against the floor: hash + the memory work of the same positions.
    for m, size in ((IN_CACHE, "10M bits"), (GIB, "1 GiB")):
        for row_bytes in (16, 64):
            for k in (3, 7, 14):
                rows = random_rows(n, row_bytes)
                insert, test = tolvane_ns(rows, k, m, repeat)
                floor = floors.rows(rows, k, m)
                group = f"floor ({size})"
                case = f"{row_bytes} B rows, k {k}"
                table.add(group, f"{case}: hash / memory / prefetched", floor["hash"], "ns/row",
                          f"{floor['memory']:.1f} / {floor['memory_prefetched']:.1f}")
                table.add(group, f"{case}: insert", insert, "ns/row", f"{insert / floor['floor']:.2f}x floor")
                table.add(group, f"{case}: test", test, "ns/row", f"{test / floor['floor']:.2f}x floor")

    # Layouts, in cache, k = 7.
    for row_bytes in (16, 64):
        rows = random_rows(n, row_bytes)
        c_insert, c_test = tolvane_ns(rows, 7, IN_CACHE, repeat)
        group = f"layout ({row_bytes} B rows, k 7)"
        table.add(group, "C insert / test", c_insert, "ns/row", f"test {c_test:.1f}")
        for name, view in (("Fortran", np.asfortranarray(rows)), ("reversed", rows[:, ::-1])):
            insert, test = tolvane_ns(view, 7, IN_CACHE, repeat)
            table.add(group, f"{name} insert", insert, "ns/row", f"{insert / c_insert:.2f}x C")
            table.add(group, f"{name} test", test, "ns/row", f"{test / c_test:.2f}x C")

    # Cost per row as the work grows.
    counts = (10**4, 10**5, 10**6) if args.quick else (10**4, 10**5, 10**6, 10**7)
    costs = {}
    for count in counts:
        costs[count] = tolvane_ns(random_rows(count, 16), 7, IN_CACHE, repeat)
    for op, index in (("insert", 0), ("test", 1)):
        values = [cost[index] for cost in costs.values()]
        spread = max(values) / min(values)
        for count, cost in costs.items():
            table.add("rows (16 B, k 7, 10M bits)", f"{count:,} rows {op}", cost[index], "ns/row",
                      f"max/min {spread:.2f}" if count == counts[-1] else "")

    # The fixed cost of a call.
    one = random_rows(1, 16)
    f = configured(7, IN_CACHE)
    calls = 20_000
    for op in ("insert", "test"):
        method = getattr(f, op)
        seconds = best(lambda: [method(one) for _ in range(calls)], repeat)
        table.add("one-row call", op, seconds / calls * 1e6, "µs/call")

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
            point = dict(zip(("tolvane insert", "tolvane test"), tolvane_ns(rows, 7, m, repeat)))
            floor = floors.rows(rows, 7, m)
            point.update({"floor: hash + memory": floor["floor"], "floor: hash": floor["hash"],
                          "floor: memory in order": floor["memory"],
                          "floor: memory prefetched": floor["memory_prefetched"]})
            for peer in peers(7, m):
                point[f"{peer[0]} insert fed tobytes"] = peer_ns(peer, peer_rows, 1)["insert fed tobytes"]
            sweep[m] = point
            group = f"size sweep ({m / 8 / 2**20:,.2f} MiB, 16 B rows, k 7)"
            for line, ns in point.items():
                ratio = f"{ns / point['floor: hash + memory']:.2f}x floor" if line.startswith("tolvane") else ""
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
    for line in next(iter(sweep.values())):
        style = "--" if line.startswith("floor") else "-"
        ax.plot(sizes, [point[line] for point in sweep.values()], style, marker="o", label=line)
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
