"""The examples run, on small sizes, and find what they claim to find."""

import importlib.util
import math
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(EXAMPLES))

from conftest import SANITIZED, TIMEOUT_SCALE, child_env, needs_pandas  # noqa: E402
from sizing import false_positive_rate, plan  # noqa: E402


def run(script: str, *args: str, cwd: Path, expect: int = 0) -> subprocess.CompletedProcess[str]:
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / script), *args],
        cwd=cwd, capture_output=True, text=True, timeout=(600 if SANITIZED else 120) * TIMEOUT_SCALE, env=child_env(),
    )
    assert done.returncode == expect, done.stdout + done.stderr
    return done


def number(label: str, output: str) -> float:
    """The number printed after `label:` in an example's summary."""
    found = re.search(rf"^{re.escape(label)}:\s+([\d,.]+)", output, re.MULTILINE)
    assert found, f"no {label!r} in:\n{output}"
    return float(found.group(1).replace(",", ""))


def needs_distributed() -> None:
    """dask_union.py runs a distributed cluster, and distributed needs ssl, which
    the musl roots' CPython lacks."""
    if importlib.util.find_spec("distributed") is None:
        pytest.skip("needs distributed, which this interpreter lacks")
    pytest.importorskip("ssl", reason="distributed needs ssl, which this interpreter lacks")


def test_quickstart(tmp_path):
    output = run("quickstart.py", cwd=tmp_path).stdout
    assert "inserted rows found: 1,000,000 of 1,000,000" in output


@pytest.mark.parametrize("p", [0.1, 0.01, 1e-4, 1e-6])
@pytest.mark.parametrize("n", [1, 1000, 10**6])
def test_planned_filter_reaches_its_rate(n, p):
    k, m = plan(n, p)
    # Rounding k to a whole number costs at most a few percent.
    assert false_positive_rate(k, m, n) <= 1.05 * p
    assert false_positive_rate(k, m, 2 * n) > false_positive_rate(k, m, n)


@pytest.mark.parametrize("n, p", [(0, 0.01), (10, 0.0), (10, 1.0)])
def test_plan_refuses_impossible_targets(n, p):
    with pytest.raises(ValueError):
        plan(n, p)


def test_dedup_on_demo_data(tmp_path):
    # 3,000-row chunks do not divide 20,000: the last chunk is short.
    output = run("dedup.py", "--rows", "20000", "--duplicates", "300", "--chunk", "3000", cwd=tmp_path).stdout
    assert number("rows seen", output) == 20_000
    assert number("planted duplicates", output) == 300
    false_positives = number("suspected duplicates", output) - 300
    expected = number("expected false positives", output)
    assert 0 < expected < 50
    # A filter never misses a duplicate; its false positives stay near the estimate.
    assert 0 <= false_positives <= expected + 5 * math.sqrt(expected) + 5


def test_dedup_finds_repeats_within_and_across_chunks(tmp_path):
    rows = np.arange(1000 * 3, dtype=np.int16).reshape(1000, 3)
    repeats = {5: 4, 7: 4, 8: 4, 500: 9, 999: 0, 640: 639}  # index -> the earlier row it copies
    for index, original in repeats.items():
        rows[index] = rows[original]
    np.save(tmp_path / "rows.npy", np.asfortranarray(rows))
    output = run(
        "dedup.py", "rows.npy", "--chunk", "64", "--fpr", "1e-9", "--save", "found.npy", cwd=tmp_path
    ).stdout
    assert number("rows seen", output) == 1000
    assert "planted" not in output
    assert np.load(tmp_path / "found.npy").tolist() == sorted(repeats)


def float_rows_with_byte_traps(count: int) -> np.ndarray:
    """Rows drawn from few values, so that they repeat often, among them NaNs
    of several payloads and signs, -0.0 and 0.0: equal bytes or equal values,
    never both alike."""
    payload_nan = np.array([0x7FF8_0000_0000_0001, 0xFFF8_0000_0000_0000], dtype=np.uint64).view(np.float64)
    values = np.array([np.nan, *payload_nan, 0.0, -0.0, 1.0])
    rng = np.random.default_rng(21)
    return values[rng.integers(0, len(values), size=(count, 2))]


def repeated_bytes(rows: np.ndarray) -> list[int]:
    seen: set[bytes] = set()
    repeats = []
    for index, row in enumerate(rows):
        key = row.tobytes()
        if key in seen:
            repeats.append(index)
        seen.add(key)
    return repeats


@pytest.fixture(scope="module")
def trap_rows(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, list[int]]:
    rows = float_rows_with_byte_traps(300)
    repeats = repeated_bytes(rows)
    # Both traps of comparing values are there: NaN rows that repeat byte for
    # byte early on, and zero rows of several byte patterns.
    nan_repeats = [i for i in repeats if np.isnan(rows[i]).any()]
    assert nan_repeats and nan_repeats[0] < 20
    assert len({row.tobytes() for row in rows if (row == 0.0).all()}) > 1
    path = tmp_path_factory.mktemp("traps") / "rows.npy"
    np.save(path, rows)
    return path, repeats


@pytest.mark.parametrize("chunk", [1, 3, 7, 64, 299, 300, None], ids=lambda c: f"chunk {c or 'default'}")
def test_dedup_finds_byte_repeats_whatever_the_chunk(trap_rows, chunk, tmp_path):
    path, repeats = trap_rows
    chunking = ["--chunk", str(chunk)] if chunk else []
    run("dedup.py", str(path), *chunking, "--fpr", "1e-9", "--save", "found.npy", cwd=tmp_path)
    assert np.load(tmp_path / "found.npy").tolist() == repeats


def test_dedup_refuses_an_array_without_rows(tmp_path):
    np.save(tmp_path / "flat.npy", np.arange(10))
    done = run("dedup.py", "flat.npy", cwd=tmp_path, expect=2)
    assert "holds a 1-D array" in done.stderr


def test_join_prefilter(tmp_path):
    output = run("join_prefilter.py", "--customers", "500", "--orders", "20000", cwd=tmp_path).stdout
    orders = number("orders", output)
    passed = number("passed the filter", output)
    matched = number("matched exactly", output)
    assert orders == 20_000
    assert number("false positives", output) == passed - matched
    assert number("exact lookups saved", output) == orders - passed
    # About 5 % of the orders are by known customers, 1 % of the rest pass by chance.
    assert 600 < matched < 1400 and passed - matched < 600
    assert "an exact join of every order finds the same matches" in output


@pytest.mark.parametrize("bits", [None, 2**31 + 5], ids=["planned", "past 2^31 bits"])
def test_dask_union_on_worker_processes(tmp_path, bits):
    needs_distributed()
    # Five partitions: the pairwise union carries one filter over to the next round.
    if bits and sys.maxsize < bits:
        pytest.skip("a 32-bit filter holds at most 2^31 - 32 bits")
    if bits and SANITIZED:
        pytest.skip("five filters of 256 MiB through dask take minutes under the sanitizers; make test runs them")
    extra = ["--bits", str(bits)] if bits else []
    output = run("dask_union.py", "--rows", "20000", "--partitions", "5", "--workers", "2", *extra, cwd=tmp_path).stdout
    assert "cluster: 2 workers" in output
    assert "5 partitions" in output
    assert f"m = {bits:,} bits" in output if bits else "k = 7" in output
    assert "images equal: True" in output


def test_frames_finds_the_duplicates_through_each_recipe_and_none_through_objects(tmp_path):
    needs_pandas()
    output = run("frames.py", "--rows", "20000", "--duplicates", "1000", cwd=tmp_path).stdout
    assert "20,000 rows, 1,000 duplicates by DataFrame.duplicated" in output
    lines = {line[:14].strip(): line[14:].split() for line in output.splitlines()[-3:]}
    # found, missed, extra, held "of" rows, verdict
    assert lines["hash"] == lines["records"] == ["1,000", "0", "0", "20,000", "of", "20,000", "right"]
    assert lines["object array"][1] != "0" and lines["object array"][-1] == "WRONG"


@pytest.mark.parametrize("script", sorted(path.name for path in EXAMPLES.glob("*.py")))
def test_every_example_explains_its_options_and_their_defaults(script, tmp_path):
    if script == "frames.py":
        needs_pandas()
    if script == "dask_union.py":
        needs_distributed()
    shown = run(script, "--help", cwd=tmp_path).stdout
    assert shown.startswith("usage: ")
    options = [line for line in shown.split("options:")[1].splitlines() if line.strip().startswith("--")]
    assert options
    # Each option has help, and it shows the default (or what leaving it out means).
    help_text = " ".join(shown.split("options:")[1].split())
    assert help_text.count("(default: ") + help_text.count(" if not given)") == len(options)
