"""tolvane against its peers and against what the machine can do at best.

Prints where it ran (the CPU, its caches, the row kernels of each module that
ran cases), then one table; every figure is the best of several repetitions
and every ratio compares figures measured in this same run. Peers (rbloom,
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
that + the fastest hash. test_and_insert is also set against insert, and
test_mask against test less the cost of test's result list (test with k 0).

The dedup cases find the repeated rows of examples/dedup.py's demo data
(random 16-byte rows, 1% of them copies of others, in chunks of 100,000):
with the older recipe (test a chunk, np.unique for repeats within it, insert
it), with test_and_insert over the same chunks, and with
pandas.DataFrame.duplicated over the whole, in rows per second.

The row cases (everything that puts rows through the row kernels) run with
the module installed, whose kernels the CPU chooses, or with each module that
--path names, built here to run that set of kernels whatever the CPU
(build/bench-PATH, rebuilt by CMake when the sources change), each in a
process of its own; they take turns, round after round, against the same
floors. --i386 runs the row cases here and in the Debian i386 root (through
`tools/i386.sh --bench`), side by side with the ratio i386/x86_64.

    python bench/rows.py --floors build/bench/floors [--quick] [--plot docs/speed.png] [--path avx2 ...]
    python bench/rows.py --floors build/bench/floors --i386 'tools/i386.sh --bench PYBIND11_DIR' [--quick]
"""

import argparse
import json
import math
import os
import platform
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path

import numpy as np

import tolvane

ROOT = Path(__file__).resolve().parent.parent
IN_CACHE = 10_000_000  # bits: 1.25 MB
GIB = 2**33  # bits: 1 GiB
LARGEST_32 = 2**31 - 64  # bits: the largest filter a 32-bit build makes (256 MiB), and from_bytes takes
SEED = 2026
# Every set of row kernels that a build can be made to run: one file each.
KERNEL_SETS = sorted(path.stem for path in (ROOT / "src" / "kernels").glob("*.cpp"))


# A shared machine runs slower for seconds at a time. Cases that are compared
# are therefore timed in turn, round after round (a slow phase falls on all of
# them alike), and each timed sample lasts at least SAMPLE_SECONDS (repeating
# a short call), so that a short case is not timed over shorter, and so
# luckier, stretches than a long one.
SAMPLE_SECONDS = 0.05


def steady_allocator():
    """Results that a sample keeps (what each call returns, freed when the
    sample ends) come from memory the process already has, as they do in a
    loop that drops each result before the next call. Under glibc's default,
    adaptive thresholds, results of a few MiB took new pages at every call
    and were handed back after every sample, so each sample paid page faults
    for them, more or fewer from one process to another: in one run, test's
    result list (10^6 rows) cost 1.0 to 2.4 ns per row, which moved test
    against test_mask by as much, between cases and between builds. Pinned,
    the largest mmap threshold glibc allows and no trimming."""
    if platform.libc_ver()[0] != "glibc":
        return
    import ctypes

    libc = ctypes.CDLL(None)
    m_trim_threshold, m_mmap_threshold = -1, -3  # malloc.h
    largest_mmap_threshold = 4 * 2**20 * ctypes.sizeof(ctypes.c_long)  # DEFAULT_MMAP_THRESHOLD_MAX
    if not (libc.mallopt(m_mmap_threshold, largest_mmap_threshold) and libc.mallopt(m_trim_threshold, 2**31 - 1)):
        print("note: glibc refused the bench's malloc thresholds: results kept by a sample may cost page faults",
              file=sys.stderr)  # a server's standard output carries its replies


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


def ns_per_row(calls: dict, repeat: int) -> dict:
    """calls: name -> (function, rows per call); the result: name -> ns per row."""
    seconds = fastest({name: call for name, (call, _) in calls.items()}, repeat)
    return {name: seconds[name] * 1e9 / rows for name, (_, rows) in calls.items()}


def in_turn(rounds: int, measures: dict) -> dict:
    """Runs each of `measures` (name: function returning a dict of figures,
    lower is better) in turn, `rounds` times, and keeps the best of each
    figure; text figures are kept as they come."""
    found = {name: {} for name in measures}
    for _ in range(rounds):
        for name, measure in measures.items():
            for key, value in measure().items():
                kept = found[name].get(key, math.inf)
                found[name][key] = value if isinstance(value, str) else min(kept, value)
    return found


# Rows, described so that every process that runs a case makes the same ones.
def row_recipe(count: int, row_bytes: int, layout: str = "C") -> dict:
    return {"count": count, "bytes": row_bytes, "layout": layout}


def make_rows(recipe: dict) -> np.ndarray:
    rng = np.random.default_rng(SEED + recipe["count"] + recipe["bytes"])
    rows = rng.integers(0, 2**32, size=(recipe["count"], recipe["bytes"] // 4), dtype=np.uint32)
    if recipe["layout"] == "Fortran":
        return np.asfortranarray(rows)
    if recipe["layout"] == "reversed":
        return rows[:, ::-1]
    return rows


def configured(k: int, m: int) -> tolvane.bloomfilter:
    f = tolvane.bloomfilter()
    f.configure(k, m)
    return f


# The row operations a case may time. "test with k 0" is what test's result
# list costs by itself: a filter with k 0 reads nothing (whatever its m, so it
# is kept small) and answers True for every row.
ROW_OPS = ("insert", "test", "test_and_insert", "test_mask", "test_mask into out", "test with k 0")


def row_calls(rows: np.ndarray, k: int, m: int, ops) -> dict:
    """The operations `ops` on rows (all inserted, so test has all k probes to
    make) of a filter whose pages were all touched before, as calls for
    ns_per_row. test_and_insert sets no new bit: it does insert's work and
    test's."""
    f = configured(k, m)
    f.insert(rows)
    out = np.empty(len(rows), dtype=bool)
    calls = {
        "insert": lambda: f.insert(rows),
        "test": lambda: f.test(rows),
        "test_and_insert": lambda: f.test_and_insert(rows),
        "test_mask": lambda: f.test_mask(rows),
        "test_mask into out": lambda: f.test_mask(rows, out),
    }
    if "test with k 0" in ops:
        empty = configured(0, 64)
        calls["test with k 0"] = lambda: empty.test(rows)
    return {op: (calls[op], len(rows)) for op in ops}


# Deduplication, as examples/dedup.py does it on its demo data.
DEDUP_CHUNK = 100_000
DEDUP_FPR = 0.001
DEDUP_WAYS = ("chunked test, unique, insert", "test_and_insert")


def dedup_data(count: int, duplicates: int) -> np.ndarray:
    """Random 16-byte rows, `duplicates` of which are copied over others, as
    examples/dedup.py makes its demo data (in memory here, not mapped)."""
    rng = np.random.default_rng(0)
    data = rng.integers(0, 2**32, size=(count, 4), dtype=np.uint32)
    shuffled = rng.permutation(count)
    targets, sources = shuffled[:duplicates], rng.choice(shuffled[duplicates:], size=duplicates)
    data[targets] = data[sources]
    return data


def dedup_plan(count: int) -> tuple[int, int]:
    """k and m for `count` rows at DEDUP_FPR, as examples/sizing.py plans them."""
    m = math.ceil(-count * math.log(DEDUP_FPR) / math.log(2) ** 2)
    return max(1, round(m / count * math.log(2))), m


def dedup_chunked(data: np.ndarray, k: int, m: int) -> np.ndarray:
    """The older recipe: test a chunk, find the rows that repeat within it
    (np.unique), then insert it. The indices of the suspected duplicates."""
    f = configured(k, m)
    suspects = []
    for start in range(0, len(data), DEDUP_CHUNK):
        rows = data[start : start + DEDUP_CHUNK]
        _, first = np.unique(rows, axis=0, return_index=True)
        within = np.ones(len(rows), dtype=bool)
        within[first] = False
        seen = np.array(f.test(rows)) | within
        f.insert(rows)
        suspects.append(start + np.flatnonzero(seen))
    return np.concatenate(suspects)


def dedup_test_and_insert(data: np.ndarray, k: int, m: int) -> np.ndarray:
    """test_and_insert over the same chunks: it answers for repeats within a
    chunk too."""
    f = configured(k, m)
    return np.concatenate([start + np.flatnonzero(f.test_and_insert(data[start : start + DEDUP_CHUNK]))
                           for start in range(0, len(data), DEDUP_CHUNK)])


def dedup_calls(recipe: dict, k: int, m: int, ops) -> tuple[dict, dict]:
    """The whole dedup of the data that `recipe` describes, each way of
    `ops`, as calls for ns_per_row; and how many suspects each finds."""
    data = dedup_data(recipe["count"], recipe["duplicates"])
    ways = {"chunked test, unique, insert": dedup_chunked, "test_and_insert": dedup_test_and_insert}
    calls = {op: ((lambda way=ways[op]: way(data, k, m)), len(data)) for op in ops}
    return calls, {op: len(call()) for op, (call, _) in calls.items()}


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

    def cpu(self) -> dict:
        """Which instruction sets of the row kernels this CPU allows."""
        return self.run("cpu")


class Server:
    """Runs the row cases that a request names, with the tolvane module that
    this process imported; `--serve` answers requests from another process."""

    def __init__(self, floors: str | None):
        self.floors = Floors(floors) if floors else None
        self.key, self.calls, self.found = None, {}, {}

    def __call__(self, request: dict) -> dict:
        if "about" in request:
            return {"kernels": tolvane.bloomfilter.kernels(), "machine": platform.machine(),
                    "python": platform.python_version(), "numpy": np.__version__, "module": tolvane.__file__,
                    "floors": self.floors is not None}
        if "cases" in request:
            return {"ns": self.cases(request["cases"], request["repeat"]), "found": self.found}
        if "floors" in request:
            case = request["floors"]
            if self.floors is None:
                return {}
            return self.floors.rows(np.ascontiguousarray(make_rows(case["rows"])), case["k"], case["m"])
        raise ValueError(f"unknown request {sorted(request)}")

    def cases(self, cases: list, repeat: int) -> dict:
        """ns per row of every operation of `cases`, timed in turn. Each case
        is {"name", "rows", "k", "m", "ops"}; its filters and rows are kept
        while the next request names the same cases (the next round)."""
        key = json.dumps(cases)
        if key != self.key:
            self.key, self.calls, self.found = None, {}, {}  # the old filters go before the new ones come
            for case in cases:
                if "dedup" in case:
                    calls, found = dedup_calls(case["dedup"], case["k"], case["m"], case["ops"])
                    self.found.update({f"{case['name']}{op}": count for op, count in found.items()})
                else:
                    calls = row_calls(make_rows(case["rows"]), case["k"], case["m"], case["ops"])
                self.calls.update({f"{case['name']}{op}": call for op, call in calls.items()})
            self.key = key
        return ns_per_row(self.calls, repeat)


def serve(floors: str | None):
    """Answers one JSON request a line from standard input on standard output."""
    server = Server(floors)
    for line in sys.stdin:
        try:
            reply = server(json.loads(line))
        except Exception:
            traceback.print_exc()
            reply = {"error": traceback.format_exc(limit=1).strip().splitlines()[-1]}
        print(json.dumps(reply), flush=True)


class Runner:
    """Where row cases run: this process (the module installed) or another
    one. `name` tells the runners of a run apart; `kernels` is what the
    module that ran the cases says of its row kernels."""

    def __init__(self, name: str, floors: str | None = None, command: list | None = None, env: dict | None = None):
        self.name = name
        self.process = None
        if command is None:
            self.server = Server(floors)
        else:
            self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        self.about = self.request(about=True)
        self.kernels = self.about["kernels"]

    def request(self, **request) -> dict:
        if self.process is None:
            return self.server(json.loads(json.dumps(request)))
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"{self.name}: the process that runs its cases ended (exit code {self.process.wait()})")
        reply = json.loads(line)
        if "error" in reply:
            raise RuntimeError(f"{self.name}: {reply['error']}")
        return reply

    def cases(self, cases: list, repeat: int) -> dict:
        """ns per row of each operation of `cases`; the suspects that each
        dedup case found are kept in self.found."""
        reply = self.request(cases=cases, repeat=repeat)
        self.found = reply["found"]
        return reply["ns"]

    def floors(self, rows: dict, k: int, m: int) -> dict:
        return self.request(floors={"rows": rows, "k": k, "m": m})

    def close(self):
        if self.process is not None:
            self.process.stdin.close()
            self.process.wait()


def kernel_set(path: str) -> str:
    """The row kernels that a --path forces: "" for "zig" (the CPU's)."""
    return path.removeprefix("zig").removeprefix("-")


def forced_build(path: str) -> Path:
    """The build directory of a module that runs the row kernels `path`
    whatever the CPU, or, for "zig", one built by zig's clang and libc++ as
    the wheels are ("zig-SET": with the kernels SET). CMake rebuilds it when
    its sources have changed."""
    import pybind11

    build = ROOT / "build" / f"bench-{path}"
    cmake = shutil.which("cmake", path=str(Path(sys.executable).parent)) or "cmake"
    options, env = [f"-DTOLVANE_KERNELS={kernel_set(path)}"], None
    if path.startswith("zig"):
        import ziglang

        options.append(f"-DCMAKE_CXX_COMPILER={ROOT / 'tools' / 'zig-cxx'}")
        env = dict(os.environ, TOLVANE_ZIG=str(Path(ziglang.__file__).parent / "zig"),
                   TOLVANE_ZIG_TARGET=f"{platform.machine()}-linux-gnu.2.17")
    subprocess.run([cmake, "-S", ROOT, "-B", build, "-DTOLVANE_MODULE=ON", *options,
                    f"-Dpybind11_DIR={pybind11.get_cmake_dir()}", f"-DPython_EXECUTABLE={sys.executable}"],
                   check=True, stdout=subprocess.DEVNULL, env=env)
    subprocess.run([cmake, "--build", build, "--target", "tolvane", "-j", "2"], check=True, env=env)
    return build


def host_runners(paths: list, floors: str, cpu: dict) -> list:
    """A runner for each set of row kernels of `paths` that this CPU runs, each
    in a process of its own; the module installed, here, when none is."""
    runners = []
    for path in dict.fromkeys(paths):
        kernels = kernel_set(path)
        if kernels not in ("one_at_a_time", "") and not cpu.get(kernels, False):
            print(f"note: --path {path} skipped: this CPU (or its OS) does not allow {kernels}")
            continue
        build = forced_build(path)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(build), os.environ.get("PYTHONPATH")])))
        runner = Runner(path, command=[sys.executable, str(Path(__file__).resolve()), "--serve", "--floors", floors],
                        env=env)
        forced = kernels != "" and runner.kernels != kernels.replace("_", " ")
        if forced or not runner.about["module"].startswith(str(build)):
            sys.exit(f"--path {path}: {runner.about['module']} runs the kernels {runner.kernels!r}")
        runners.append(runner)
    if paths and not runners:
        print("note: this CPU runs none of the paths asked for: the row cases run with the module installed")
    return runners or [Runner("installed", floors=floors)]


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "an unnamed CPU"


def cpu_count(cpus: str) -> int:
    """How many CPUs a list such as 0-3,8 names."""
    count = 0
    for part in cpus.split(","):
        first, _, last = part.partition("-")
        count += int(last or first) - int(first) + 1
    return count


def kib_text(kib: int) -> str:
    return f"{kib} KiB" if kib < 1024 else f"{kib / 1024:g} MiB"


def caches() -> list:
    """cpu0's data and unified caches as sysfs gives them: the size of one,
    whether a core has its own or how many CPUs share it, and all of them."""
    base = Path("/sys/devices/system/cpu")
    try:
        core = (base / "cpu0" / "topology" / "thread_siblings_list").read_text().strip()
    except OSError:
        core = "0"
    found = []
    for index in sorted((base / "cpu0" / "cache").glob("index[0-9]*")):
        try:
            level, kind, size, shared = ((index / name).read_text().strip()
                                         for name in ("level", "type", "size", "shared_cpu_list"))
        except OSError:
            continue
        if kind == "Instruction":
            continue
        kib = int(size[:-1]) * (1024 if size.endswith("M") else 1) if size[-1] in "KM" else int(size) // 1024
        instances = set()
        for cpu in base.glob("cpu[0-9]*"):
            try:
                instances.add((cpu / "cache" / index.name / "shared_cpu_list").read_text().strip())
            except OSError:
                pass
        each = "per core" if shared == core else f"shared by {cpu_count(shared)} CPUs"
        found.append(f"L{level}{'d' if kind == 'Data' else ''} {kib_text(kib)} {each} "
                     f"({kib_text(kib * len(instances))} in all)")
    return found or ["not given (no /sys/devices/system/cpu/cpu0/cache)"]


def where_it_ran(runners: list, cpu: dict, installed_for: str = ""):
    """The CPU, its caches and the row kernels of every module that runs
    cases; installed_for: what the module installed runs besides."""
    sets = ", ".join(f"{name} {'yes' if allowed else 'no'}" for name, allowed in cpu.items())
    print(f"CPU: {cpu_model()}" + (f"; instruction sets of the row kernels allowed: {sets}" if sets else ""))
    print(f"caches: {'; '.join(caches())}")
    if installed_for:
        print(f"module installed: row kernels {tolvane.bloomfilter.kernels()} ({installed_for})")
    for runner in runners:
        about = runner.about
        print(f"row cases on {runner.name}: row kernels {runner.kernels} ({about['machine']}, Python "
              f"{about['python']}, NumPy {about['numpy']}, {about['module']})")


NOTED = set()


def note_once(text: str):
    """Prints a note the first time only: peers are looked for at every size."""
    if text not in NOTED:
        NOTED.add(text)
        print(f"note: {text}")


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
        note_once("rbloom not installed, skipped")
    try:
        import pybloomfilter

        found.append(("pybloomfiltermmap3", lambda: pybloomfilter.BloomFilter(capacity, rate),
                      lambda f, xs: f.update(xs), lambda f, xs: [x in f for x in xs]))
    except ImportError:
        note_once("pybloomfiltermmap3 not installed, skipped")
    try:
        import fastbloom_rs

        found.append(("fastbloom-rs", lambda: fastbloom_rs.BloomFilter(capacity, rate),
                      lambda f, xs: f.add_bytes_batch(xs), lambda f, xs: f.contains_bytes_batch(xs)))
    except ImportError:
        note_once("fastbloom-rs not installed, skipped")
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


def floor_ratios(ns: float, op: str, floor: dict) -> str:
    """ns of tolvane's op against today's floor (hash one row at a time +
    insert's memory work), the op's memory work alone, and that plus the
    fastest hash."""
    today = floor["hash"] + floor["insert"]
    return (f"{ns / today:.2f}x today's, {ns / floor[op]:.2f}x memory, "
            f"{ns / (floor[op] + floor['fastest_hash']):.2f}x memory + fastest hash")


def op_ratio(op: str, ns: dict, floor: dict) -> str:
    """A row operation of one module against the floors and, for the new
    ones, against what they are measured by: test_and_insert by insert,
    test_mask by test less its result list."""
    value = ns[op]
    if op in ("insert", "test"):
        return floor_ratios(value, op, floor)
    if op == "test_and_insert":
        return f"{value / ns['insert']:.2f}x insert, {floor_ratios(value, 'insert', floor)}"
    if op.startswith("test_mask"):
        less_list = ns["test"] - ns["test with k 0"]
        return (f"{value / less_list:.2f}x test less its list ({less_list:.1f}), {value / ns['test']:.2f}x test, "
                f"{value / (floor['test'] + floor['fastest_hash']):.2f}x memory + fastest hash")
    return ""


class Table:
    """One line per figure; a figure of a row case says which kernels ran it,
    and when several did, each line after the first says how it compares."""

    header = ("group", "case", "value", "unit", "kernels", "ratio")

    def __init__(self):
        self.lines = []

    def add(self, group: str, case: str, value: float, unit: str, ratio: str = "", kernels: str = ""):
        self.lines.append((group, case, number(value), unit, kernels, ratio))

    def add_each(self, group: str, case: str, unit: str, runners: list, values: dict, ratio=lambda runner: ""):
        """values: runner name -> figure; ratio(runner): its ratio text."""
        first = runners[0]
        for runner in runners:
            text = ratio(runner)
            if runner is not first:
                than_first = f"{values[runner.name] / values[first.name]:.2f}x {first.kernels}"
                text = "; ".join(filter(None, [text, than_first]))
            self.add(group, case, values[runner.name], unit, text, runner.kernels)

    def print(self):
        print_lines(self.header, self.lines, numeric=(2,))


def number(value: float) -> str:
    if value is None or math.isnan(value):
        return "-"
    return f"{value:,.1f}" if value >= 10 else f"{value:.2f}"


def print_lines(header: tuple, lines: list, numeric=()):
    widths = [max(len(line[i]) for line in lines + [header]) for i in range(len(header))]
    for line in [header] + lines:
        print("  ".join(cell.rjust(width) if i in numeric else cell.ljust(width)
                        for i, (cell, width) in enumerate(zip(line, widths))).rstrip())


def pandas_dedup(recipe: dict) -> tuple[dict, dict]:
    """pandas.DataFrame.duplicated over the dedup data (the frame made
    beforehand), as calls for ns_per_row, and the duplicates it finds."""
    try:
        import pandas
    except ImportError:
        print("note: pandas not installed, its dedup skipped")
        return {}, {}
    data = dedup_data(recipe["count"], recipe["duplicates"])
    frame = pandas.DataFrame(data)
    call = lambda: np.flatnonzero(frame.duplicated().to_numpy())  # noqa: E731
    return {"pandas duplicated": (call, len(data))}, {"pandas duplicated": len(call())}


def dedup_sizes(count: int) -> list:
    """(label, k, m): the filter examples/dedup.py plans for `count` rows, and
    one in cache."""
    k, m = dedup_plan(count)
    return [(f"k {k}, {m / 8 / 2**20:.1f} MiB (dedup.py's sizing)", k, m), ("k 7, 10M bits", 7, IN_CACHE)]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--floors", help="the floors binary (built by make bench)")
    parser.add_argument("--quick", action="store_true", help="fewer rows and repetitions")
    parser.add_argument("--plot", help="write ns per row against filter size to this PNG")
    paths = [*KERNEL_SETS, "zig", *(f"zig-{kernels}" for kernels in KERNEL_SETS)]
    parser.add_argument("--path", action="append", default=[], choices=paths,
                        help="run the row cases with a module built to run these row kernels whatever the CPU "
                             "(several allowed, side by side), or zig: one built by zig's clang as the wheels are, "
                             "with the kernels the CPU allows, or zig-SET: with the kernels SET (needs the dist "
                             "extra); the module installed when none is given")
    parser.add_argument("--i386", metavar="COMMAND",
                        help="a command that serves the row cases in the i386 root "
                             "(tools/i386.sh --bench PYBIND11_DIR): runs them here and there, side by side")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    steady_allocator()
    if args.serve:
        serve(args.floors)
    elif not args.floors:
        parser.error("--floors is required")
    elif args.i386:
        if args.path:
            parser.error("--path runs here only, not with --i386")
        bench_i386(args)
    else:
        bench(args)


def bench(args):
    floors = Floors(args.floors)
    cpu = floors.cpu()
    n = 200_000 if args.quick else 1_000_000
    repeat = 3 if args.quick else 5
    runners = host_runners(args.path, args.floors, cpu)
    where_it_ran(runners, cpu, "one-row calls, whole-filter operations")
    table = Table()
    # A single module is timed in one round; several, and modules against
    # the floors or the peers, in turn, twice.
    rounds = 1 if len(runners) == 1 else 2

    def on_each(cases: list, **more) -> dict:
        measures = {runner.name: (lambda runner=runner: runner.cases(cases, repeat)) for runner in runners}
        return in_turn(2 if more else rounds, measures | more)

    # Peers: in cache, 16-byte rows, k = 7.
    recipe = row_recipe(n, 16)
    calls = {}
    for peer in peers(7, IN_CACHE):
        calls.update(peer_calls(peer, make_rows(recipe)[: n // 5]))
    ns = on_each([{"name": "", "rows": recipe, "k": 7, "m": IN_CACHE, "ops": ["insert", "test"]}],
                 peers=lambda: ns_per_row(calls, repeat))
    del calls
    group = "peers (16 B rows, k 7, 10M bits)"
    for op in ("insert", "test"):
        table.add_each(group, f"tolvane {op}", "ns/row", runners, {r.name: ns[r.name][op] for r in runners})
    ours = ns[runners[0].name]
    for case, value in ns["peers"].items():
        op = "insert" if " insert" in case else "test"
        table.add(group, case, value, "ns/row",
                  f"{value / ours[op]:.1f}x tolvane" + (f" ({runners[0].kernels})" if len(runners) > 1 else ""))

    # Against the floors of the same rows and positions; the new operations
    # beside insert and test. The floors run in another process: each side is
    # timed twice, in turn.
    for m, size in ((IN_CACHE, "10M bits"), (GIB, "1 GiB")):
        for row_bytes in (16, 64):
            for k in (3, 7, 14):
                recipe = row_recipe(n, row_bytes)
                ns = on_each([{"name": "", "rows": recipe, "k": k, "m": m, "ops": ROW_OPS}],
                             floors=lambda: runners[0].floors(recipe, k, m))
                floor = ns.pop("floors")
                group = f"floor ({size})"
                case = f"{row_bytes} B rows, k {k}"
                table.add(group, f"{case}: hash one by one / fastest", floor["hash"], "ns/row",
                          f"{floor['fastest_hash']:.1f} ({floor['fastest_hash_is']})")
                table.add(group, f"{case}: memory work of insert / test", floor["insert"], "ns/row",
                          f"{floor['test']:.1f}")
                for op in ROW_OPS:
                    name = "test with k 0 (the result list alone)" if op == "test with k 0" else op
                    table.add_each(group, f"{case}: {name}", "ns/row", runners,
                                   {runner.name: ns[runner.name][op] for runner in runners},
                                   lambda runner: op_ratio(op, ns[runner.name], floor))

    dedup(table, runners, args.quick, repeat, on_each)

    # Layouts, in cache, k = 7.
    for row_bytes in (16, 64):
        layouts = ("C", "Fortran", "reversed")
        ns = on_each([{"name": f"{layout} ", "rows": row_recipe(n, row_bytes, layout), "k": 7, "m": IN_CACHE,
                       "ops": ["insert", "test"]} for layout in layouts])
        group = f"layout ({row_bytes} B rows, k 7)"
        table.add_each(group, "C insert / test", "ns/row", runners, {r.name: ns[r.name]["C insert"] for r in runners},
                       lambda runner: f"test {ns[runner.name]['C test']:.1f}")
        for layout in layouts[1:]:
            for op in ("insert", "test"):
                case = f"{layout} {op}"
                table.add_each(group, case, "ns/row", runners, {r.name: ns[r.name][case] for r in runners},
                               lambda runner: f"{ns[runner.name][case] / ns[runner.name][f'C {op}']:.2f}x C")

    # Cost per row as the work grows.
    counts = (10**4, 10**5, 10**6) if args.quick else (10**4, 10**5, 10**6, 10**7)
    ns = on_each([{"name": f"{count:,} rows ", "rows": row_recipe(count, 16), "k": 7, "m": IN_CACHE,
                   "ops": ["insert", "test"]} for count in counts])
    for op in ("insert", "test"):
        for count in counts:
            def spread(runner):
                values = [ns[runner.name][f"{c:,} rows {op}"] for c in counts]
                return f"max/min {max(values) / min(values):.2f}" if count == counts[-1] else ""

            table.add_each("rows (16 B, k 7, 10M bits)", f"{count:,} rows {op}", "ns/row", runners,
                           {r.name: ns[r.name][f"{count:,} rows {op}"] for r in runners}, spread)

    # The fixed cost of a call, against rbloom's for one row, fed tobytes; and
    # what bounds it: a call of a method that does nothing (get_k) through the
    # same binding, and making the one-item list that test returns.
    one = make_rows(row_recipe(1, 16))
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
        table.add("one-row call", op, value * 1e6, "µs/call", f"{value / theirs:.2f}x rbloom" if theirs else "",
                  tolvane.bloomfilter.kernels() if op in rbloom_of else "")

    # Whole-filter operations on 1 GiB, against memcpy of the same size.
    # from_bytes takes m as a signed 32-bit int, so it is measured on the
    # largest filter it can build, 256 MiB.
    size = GIB // 8
    memcpy, fresh_memcpy = floors.memcpy_gbps(size)
    group = "whole filter (1 GiB)"
    table.add(group, "memcpy", memcpy, "GB/s")
    table.add(group, "memcpy into a new buffer", fresh_memcpy, "GB/s", f"{fresh_memcpy / memcpy:.2f}x memcpy")
    a, b = configured(7, GIB), configured(7, GIB)
    fill = make_rows(row_recipe(2_000_000, 16))
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
    image = np.random.default_rng(SEED).integers(0, 256, size=LARGEST_32 // 8, dtype=np.uint8).tobytes()
    memcpy, fresh_memcpy = floors.memcpy_gbps(len(image))
    group = "whole filter (256 MiB)"
    table.add(group, "memcpy", memcpy, "GB/s")
    fresh = len(image) / best(lambda: tolvane.bloomfilter().from_bytes(image, 7, LARGEST_32), repeat) / 1e9
    table.add(group, "from_bytes into a new filter", fresh, "GB/s",
              f"{fresh / memcpy:.2f}x memcpy, {fresh / fresh_memcpy:.2f}x into a new buffer")
    c = configured(7, LARGEST_32)
    same = len(image) / best(lambda: c.from_bytes(image, 7, LARGEST_32), repeat) / 1e9
    table.add(group, "from_bytes into one of its size", same, "GB/s", f"{same / memcpy:.2f}x memcpy")
    del image, c

    # ns per row against filter size, for the plot.
    sweep = {}
    if args.plot:
        recipe = row_recipe(n, 16)
        for m in (2**23, IN_CACHE, 2**26, 2**29, GIB):
            calls = {}
            for peer in peers(7, m):
                calls.update(peer_calls(peer, make_rows(recipe)[: n // 5], ["insert fed tobytes"]))
            ns = on_each([{"name": "", "rows": recipe, "k": 7, "m": m, "ops": ["insert", "test"]}],
                         peers=lambda: ns_per_row(calls, repeat), floors=lambda: runners[0].floors(recipe, 7, m))
            del calls
            floor = ns.pop("floors")
            group = f"size sweep ({m / 8 / 2**20:,.2f} MiB, 16 B rows, k 7)"
            point = {}
            for op in ("insert", "test"):
                table.add_each(group, f"tolvane {op}", "ns/row", runners, {r.name: ns[r.name][op] for r in runners},
                               lambda runner: floor_ratios(ns[runner.name][op], op, floor))
                point.update({f"tolvane {op}" + (f" ({r.kernels})" if len(runners) > 1 else ""): ns[r.name][op]
                              for r in runners})
            point.update(ns["peers"])
            point.update({"floor: hash + memory of insert": floor["hash"] + floor["insert"],
                          "floor: memory of insert + fastest hash": floor["insert"] + floor["fastest_hash"],
                          "floor: memory of insert": floor["insert"], "floor: memory of test": floor["test"],
                          "floor: hash": floor["hash"], "floor: fastest hash": floor["fastest_hash"]})
            for line, value in point.items():
                if not line.startswith("tolvane"):
                    table.add(group, line, value, "ns/row")
            sweep[m] = point

    for runner in runners:
        runner.close()
    table.print()
    if args.plot:
        plot(sweep, args.plot, f"{cpu_model()}; row kernels {', '.join(runner.kernels for runner in runners)}")


def dedup(table: Table, runners: list, quick: bool, repeat: int, on_each):
    """The whole dedup of dedup.py's demo rows: the chunked recipe and
    test_and_insert with each module, and pandas, in rows per second."""
    count = 400_000 if quick else 2_000_000
    recipe = {"count": count, "duplicates": count // 100}
    sizes = dedup_sizes(count)
    calls, exact = pandas_dedup(recipe)
    cases = [{"name": f"{label}: ", "dedup": recipe, "k": k, "m": m, "ops": DEDUP_WAYS} for label, k, m in sizes]
    ns = on_each(cases, **({"pandas": lambda: ns_per_row(calls, repeat)} if calls else {}))
    found = {runner.name: runner.found for runner in runners}
    group = f"dedup ({count // 1000:,}k 16 B rows)"
    pandas = ns.get("pandas", {}).get("pandas duplicated")
    if pandas:
        table.add(group, "pandas DataFrame.duplicated", 1e3 / pandas, "M rows/s",
                  f"{exact['pandas duplicated']:,} found (exact)")
    for label, _, _ in sizes:
        chunked = f"{label}: {DEDUP_WAYS[0]}"
        for way in DEDUP_WAYS:
            case = f"{label}: {way}"

            def ratio(runner):
                ours = ns[runner.name]
                text = [f"{ours[chunked] / ours[case]:.1f}x the chunked recipe" if case != chunked else "",
                        f"{pandas / ours[case]:.1f}x pandas" if pandas else "", f"{found[runner.name][case]:,} found"]
                return ", ".join(filter(None, text))

            table.add_each(group, case, "M rows/s", runners, {r.name: 1e3 / ns[r.name][case] for r in runners}, ratio)


def bench_i386(args):
    """The row cases here and in the i386 root, side by side, each against
    its own floors."""
    floors = Floors(args.floors)
    cpu = floors.cpu()
    n = 200_000 if args.quick else 1_000_000
    repeat = 3 if args.quick else 5
    here = Runner("x86_64", floors=args.floors)
    print("i386: building the module and the floors in the root", flush=True)
    there = Runner("i386", command=shlex.split(args.i386))
    runners = [here, there]
    where_it_ran(runners, cpu)
    if not there.about["floors"]:
        print("note: the floors did not build in the i386 root: its floor lines are empty")
    lines = []

    def add(group: str, case: str, unit: str, values: tuple, rate: bool = False):
        """values: (x86_64, i386); the ratio is always of times per row."""
        a, b = values
        ratio = "-" if a is None or b is None else f"{(a / b if rate else b / a):.2f}"
        lines.append((group, case, number(a), number(b), ratio, unit))

    def on_both(cases: list, with_floors: tuple = ()) -> dict:
        measures = {runner.name: (lambda runner=runner: runner.cases(cases, repeat)) for runner in runners}
        for runner in runners:
            if with_floors:
                measures[f"{runner.name} floors"] = lambda runner=runner: runner.floors(*with_floors)
        return in_turn(2, measures)

    for m, size in ((IN_CACHE, "10M bits"), (LARGEST_32, "256 MiB")):
        for row_bytes in (16, 64):
            for k in (3, 7, 14):
                recipe = row_recipe(n, row_bytes)
                ns = on_both([{"name": "", "rows": recipe, "k": k, "m": m, "ops": ROW_OPS}], (recipe, k, m))
                group = f"floor ({size})"
                case = f"{row_bytes} B rows, k {k}"
                for key, name in (("hash", "hash one by one"), ("fastest_hash", "fastest hash"),
                                  ("insert", "memory work of insert"), ("test", "memory work of test")):
                    add(group, f"{case}: floor: {name}", "ns/row",
                        tuple(ns[f"{runner.name} floors"].get(key) for runner in runners))
                for op in ROW_OPS:
                    add(group, f"{case}: {op}", "ns/row", tuple(ns[runner.name][op] for runner in runners))

    count = 400_000 if args.quick else 2_000_000
    recipe = {"count": count, "duplicates": count // 100}
    ns = on_both([{"name": f"{label}: ", "dedup": recipe, "k": k, "m": m, "ops": DEDUP_WAYS}
                  for label, k, m in dedup_sizes(count)])
    group = f"dedup ({count // 1000:,}k 16 B rows)"
    for case in ns[here.name]:
        add(group, case, "M rows/s", tuple(1e3 / ns[runner.name][case] for runner in runners), rate=True)

    for row_bytes in (16, 64):
        layouts = ("C", "Fortran", "reversed")
        ns = on_both([{"name": f"{layout} ", "rows": row_recipe(n, row_bytes, layout), "k": 7, "m": IN_CACHE,
                       "ops": ["insert", "test"]} for layout in layouts])
        for case in ns[here.name]:
            add(f"layout ({row_bytes} B rows, k 7, 10M bits)", case, "ns/row", tuple(ns[r.name][case] for r in runners))

    counts = (10**4, 10**5, 10**6) if args.quick else (10**4, 10**5, 10**6, 10**7)
    ns = on_both([{"name": f"{count:,} rows ", "rows": row_recipe(count, 16), "k": 7, "m": IN_CACHE,
                   "ops": ["insert", "test"]} for count in counts])
    for case in ns[here.name]:
        add("rows (16 B, k 7, 10M bits)", case, "ns/row", tuple(ns[r.name][case] for r in runners))

    for runner in runners:
        runner.close()
    print_lines(("group", "case", f"x86_64 ({here.kernels})", f"i386 ({there.kernels})", "i386/x86_64 (time)", "unit"),
                lines, numeric=(2, 3, 4))


def plot(sweep: dict, path: str, where: str):
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
    ax.set_title(f"tolvane, its peers and the machine's floors\n{where}", fontsize=10)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1))
    fig.tight_layout()
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
