"""Every native function of the decoding modules and the dimod bridge is declared in its
module's surface, every argument and the result annotated, with as many arguments as the
native takes: a type checker then follows each call across the seam."""

import ast
import importlib
import os
import re

import pytest

MODULES = ["decode.decode", "decode.eval_value", "decode.eval_energy", "dimod.dimod_bridge"]


def load(path):
    if path.startswith("dimod."):
        pytest.importorskip("dimod")
    return importlib.import_module("quillon_transpiler.core." + path)


def natives(module):
    return {
        name: f
        for name, f in vars(module).items()
        if type(f).__name__ == "builtin_function_or_method" and f.__module__ == module.__name__
    }


def declared(module):
    """The functions the surface declares under `if typ.TYPE_CHECKING:`."""
    stub = os.path.join(os.path.dirname(module.__file__), module.__name__.rsplit(".", 1)[1] + ".pyi")
    with open(stub, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.If) and ast.unparse(node.test) == "typ.TYPE_CHECKING":
            found.update({d.name: d for d in node.body if isinstance(d, ast.FunctionDef)})
    return found


def arity(native):
    with pytest.raises(TypeError, match=r"expected \d+ arguments, got 0") as error:
        native()
    return int(re.search(r"expected (\d+)", str(error.value)).group(1))


@pytest.mark.parametrize("path", MODULES)
def test_every_native_is_declared_with_its_arguments(path):
    module = load(path)
    found, stubs = natives(module), declared(module)
    assert found and sorted(found) == sorted(stubs)
    for name, native in found.items():
        stub = stubs[name]
        assert stub.returns is not None and all(a.annotation is not None for a in stub.args.args), name
        assert len(stub.args.args) == arity(native), name
