"""The README cannot drift from the module: its Python blocks run, its table is printed."""

import re
import subprocess
import sys
from pathlib import Path

from conftest import child_env

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def test_readme_blocks_run_in_order_in_one_namespace(tmp_path, monkeypatch):
    text = README.read_text()
    blocks = list(BLOCK.finditer(text))
    assert len(blocks) >= 5
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, object] = {"__name__": "readme"}
    for block in blocks:
        # Padding with newlines makes tracebacks give the README's line numbers.
        first_line = text.count("\n", 0, block.start(1))
        exec(compile("\n" * first_line + block.group(1), str(README), "exec"), namespace)


def test_readme_shows_the_sizing_table_that_the_example_prints():
    printed = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "sizing.py")],
        capture_output=True, text=True, check=True, env=child_env(),
    ).stdout.strip()
    assert printed.count("\n") == 6
    assert printed in README.read_text()
