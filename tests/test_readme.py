"""The README cannot drift from the module: its Python blocks run, its tables are printed.

The blocks run in order in one namespace, one test each. A block that imports
what this interpreter lacks (pandas and pyarrow in the i386 root, StringDType
before NumPy 2) is skipped, and so is every block that uses a name only
skipped blocks define.
"""

import ast
import importlib
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import child_env

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
TEXT = README.read_text()
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)
# (first line, code); padding with newlines makes tracebacks give the README's line numbers.
BLOCKS = [(TEXT.count("\n", 0, m.start(1)) + 1, "\n" * TEXT.count("\n", 0, m.start(1)) + m.group(1))
          for m in BLOCK.finditer(TEXT)]


def missing_import(tree: ast.Module) -> str | None:
    for node in tree.body:
        if isinstance(node, ast.Import):
            wanted = [(alias.name, None) for alias in node.names]
        elif isinstance(node, ast.ImportFrom) and node.module:
            wanted = [(node.module, alias.name) for alias in node.names]
        else:
            continue
        for module, name in wanted:
            try:
                found = importlib.import_module(module)
            except ImportError:
                return module
            if name and not hasattr(found, name):
                return f"{module}.{name}"
    return None


def outside_scopes(tree: ast.Module) -> list[ast.AST]:
    """The nodes of a block outside its functions and comprehensions, whose names are their own."""
    nodes, stack = [], list(tree.body)
    while stack:
        node = stack.pop()
        nodes.append(node)
        if not isinstance(node, (ast.FunctionDef, ast.Lambda, ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp)):
            stack.extend(ast.iter_child_nodes(node))
    return nodes


def names(tree: ast.Module, context: type[ast.expr_context]) -> set[str]:
    found = {n.id for n in outside_scopes(tree) if isinstance(n, ast.Name) and isinstance(n.ctx, context)}
    if context is ast.Store:
        for node in tree.body:
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                found.add(node.name)
            elif isinstance(node, (ast.Import, ast.ImportFrom)):
                found.update((alias.asname or alias.name).split(".")[0] for alias in node.names)
    return found


namespace: dict[str, object] = {"__name__": "readme"}
unavailable: dict[str, str] = {}  # name -> the missing import that its block needed


@pytest.fixture(scope="module")
def workdir(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("readme")


@pytest.mark.parametrize("line, code", BLOCKS, ids=[f"line {line}" for line, _ in BLOCKS])
def test_readme_block(line, code, workdir, monkeypatch):
    monkeypatch.chdir(workdir)
    tree = ast.parse(code)
    defined = names(tree, ast.Store)
    lacking = missing_import(tree) or next(
        (unavailable[name] for name in names(tree, ast.Load) - defined if name in unavailable), None
    )
    if lacking:
        unavailable.update(dict.fromkeys(defined, lacking))
        pytest.skip(f"needs {lacking}, which this interpreter lacks")
    for name in defined:
        unavailable.pop(name, None)
    exec(compile(code, str(README), "exec"), namespace)


def test_readme_shows_the_tables_that_sizing_prints():
    printed = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "sizing.py")],
        capture_output=True, text=True, check=True, env=child_env(),
    ).stdout.strip()
    tables = printed.split("\n\n")
    assert [table.count("\n") for table in tables] == [6, 7]
    for table in tables:
        assert table in TEXT


def test_readme_lists_the_make_targets_that_make_help_prints():
    makefile = (ROOT / "Makefile").read_text()
    listed = [line[3:].split(" | ") for line in makefile.splitlines() if line.startswith("## ")]
    targets = re.findall(r"^([\w-]+):", makefile, re.MULTILINE)
    assert sorted(target for target, *_ in listed) == sorted(targets)
    rows = [line for line in TEXT.splitlines() if line.startswith("| `make ")]
    assert rows == [f"| `make {target}` | {does} | {needs} | {takes} |" for target, does, needs, takes in listed]
