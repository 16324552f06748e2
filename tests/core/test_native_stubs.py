"""Every native function of a module is declared in its surface, with the signature it runs
with: type checkers follow calls across modules only through these declarations."""

import ast
import importlib
import os
import re

import pytest

CORE = "quillon_transpiler.core."
MODULES = [
    CORE + "var_registry",
    CORE + "substitute.subs_poly",
    CORE + "substitute.subs_lowering",
    CORE + "substitute.substitutable_expr.variable",
    CORE + "substitute.substitutable_expr.pair_operator",
    CORE + "substitute.substitutable_expr.variadic_operator",
    CORE + "substitute.substitutable_expr.fold_operator",
    CORE + "compile.compile",
    CORE + "compile.unroll_forall",
    CORE + "compile.pinning_constraint",
]


def natives(module):
    """The functions the extension module defines itself, by name."""
    return {
        name: value
        for name, value in vars(module).items()
        if type(value).__name__ == "builtin_function_or_method" and getattr(value, "__self__", None) is module
    }


def declared(module):
    """The defs of the surface's `if typ.TYPE_CHECKING:` block, by name."""
    stub = os.path.join(os.path.dirname(module.__file__), module.__name__.rsplit(".", 1)[1] + ".pyi")
    with open(stub, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[item.name] = item
                elif isinstance(item, (ast.Assign, ast.AnnAssign)):
                    targets = item.targets if isinstance(item, ast.Assign) else [item.target]
                    names = [t.id for t in targets if isinstance(t, ast.Name)]
                    assert not any(name in natives(module) for name in names), f"{names} declared as a value"
    return found


def arity(native):
    """The number of arguments a native takes, as its own error tells."""
    with pytest.raises(TypeError) as info:
        native(*[None] * 99)
    return int(re.fullmatch(r"expected (\d+) arguments, got 99", str(info.value)).group(1))


@pytest.mark.parametrize("path", MODULES)
def test_every_native_is_declared_with_its_signature(path):
    module = importlib.import_module(path)
    found, stubs = natives(module), declared(module)
    assert found and sorted(found) == sorted(stubs), "natives and their declarations differ"
    for name, native in found.items():
        stub = stubs[name]
        params = stub.args.posonlyargs + stub.args.args
        assert not (stub.args.vararg or stub.args.kwarg or stub.args.kwonlyargs), name
        assert len(params) == arity(native), name
        assert stub.returns is not None and all(p.annotation is not None for p in params), name
