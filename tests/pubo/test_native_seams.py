"""The seams of the binary-lowering modules: every native function a module exports is declared in
its surface with the number of arguments it takes, and the modules import in any order (no
import circle, so none hides inside a function)."""

import ast
import importlib
import inspect
import os
import re
import subprocess
import sys

import pytest

PUBO = "quillon_transpiler.core.pubo."
MODULES = [PUBO + "binarize", PUBO + "_binary", PUBO + "tree_flatten"]


def declared(module):
    """Name -> parameter count of every native the module's stub declares for type checkers."""
    stub = os.path.join(os.path.dirname(module.__file__), module.__name__.rsplit(".", 1)[1] + ".pyi")
    with open(stub, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.If) and ast.unparse(node.test) == "typ.TYPE_CHECKING":
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[item.name] = len(item.args.args)
    return found


def arity(native):
    """The count of arguments a native takes, as its refusal of none says it."""
    with pytest.raises(TypeError) as info:
        native()
    return int(re.fullmatch(r"expected (\d+) arguments, got 0", str(info.value)).group(1))


@pytest.mark.parametrize("path", MODULES)
def test_every_native_is_declared_with_its_arity(path):
    module = importlib.import_module(path)
    natives = {
        name: fn
        for name, fn in vars(module).items()
        if inspect.isbuiltin(fn) and getattr(fn, "__self__", None) is module
    }
    assert natives
    assert {name: arity(fn) for name, fn in natives.items()} == declared(module)


@pytest.mark.parametrize(
    "first, not_loaded",
    [
        (PUBO + "int_encoder", [PUBO + "binarize", PUBO + "tree_flatten"]),
        ("quillon_transpiler.core.substitute.higher_subsititute", [PUBO + "binarize", PUBO + "tree_flatten"]),
        (PUBO + "binarize", [PUBO + "tree_flatten"]),
        (PUBO + "tree_flatten", [PUBO + "binarize"]),
        (PUBO + "route", [PUBO + "tree_flatten"]),
    ],
)
def test_modules_import_first_without_the_modules_above_them(first, not_loaded):
    # a circle would fail here for one of the orders, or pull in a module that imports this one
    code = f"import sys, {first}; print([m for m in {not_loaded!r} if m in sys.modules])"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "[]"
