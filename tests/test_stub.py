"""The type stub: installed where mypy and editors look, and true to the module.

stubtest cannot read the signatures of pybind11's methods (they offer no
__text_signature__), so the types are compared here with the signatures that
pybind11 writes into each method's __doc__.
"""

import ast
from pathlib import Path

import pytest

import tolvane

SOURCE = Path(__file__).resolve().parent.parent / "src" / "tolvane.pyi"
STUB = ast.parse(SOURCE.read_text())
CLASS = next(node for node in STUB.body if isinstance(node, ast.ClassDef) and node.name == "bloomfilter")
METHODS = {node.name: node for node in CLASS.body if isinstance(node, ast.FunctionDef)}

# How the module and the stub write the same types.
STUB_SPELLING = {"tolvane.bloomfilter": "bloomfilter", "tuple": "tuple[typing.Any, ...]"}


def split_top_level(text: str) -> list[str]:
    """Splits at the commas that are not inside brackets."""
    parts, depth, current = [], 0, ""
    for char in text:
        depth += {"[": 1, "]": -1}.get(char, 0)
        if char == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += char
    return parts + [current.strip()] if current.strip() else parts


def spelled(generated: str) -> str:
    """A generated type as the stub writes it: a union names each type once
    (the module's sizes that may be negative are a union of two integer types)."""
    members = list(dict.fromkeys(generated.split(" | ")))
    return " | ".join(STUB_SPELLING.get(member, member) for member in members)


def generated_signature(name: str) -> tuple[list[str], str]:
    """The parameter types after self and the result type, as the module shows them."""
    doc = getattr(tolvane.bloomfilter, name).__doc__.strip()
    parameters, result = doc[len(name) + 1 :].split(") -> ")
    types = [part.split(": ", 1)[1] for part in split_top_level(parameters)[1:] if part != "/"]
    return [spelled(t) for t in types], spelled(result)


def stub_signature(method: ast.FunctionDef) -> tuple[list[str], str]:
    arguments = method.args.posonlyargs + method.args.args
    return [ast.unparse(a.annotation) for a in arguments[1:] if a.annotation], ast.unparse(method.returns)


def test_stub_is_installed_beside_the_module_and_as_a_stub_package():
    module = Path(tolvane.__file__)
    assert module.with_name("tolvane.pyi").read_text() == SOURCE.read_text()
    assert (module.parent / "tolvane-stubs" / "__init__.pyi").read_text() == SOURCE.read_text()


def test_stub_has_every_method_and_no_other():
    runtime = {name for name in vars(tolvane.bloomfilter) if not name.startswith("_")}
    runtime |= {"__init__", "__getstate__", "__setstate__", "__reduce__", "__reduce_ex__"}
    assert set(METHODS) == runtime
    assert ast.get_docstring(CLASS) is None


@pytest.mark.parametrize("name", sorted(METHODS))
def test_stub_signature_matches_the_module(name):
    method = METHODS[name]
    assert stub_signature(method) == generated_signature(name)
    # Parameters have no names in the module: none can be given by keyword.
    assert [a.arg for a in method.args.args] in ([], ["self"])
    assert not (method.args.kwonlyargs or method.args.vararg or method.args.kwarg or method.args.defaults)
