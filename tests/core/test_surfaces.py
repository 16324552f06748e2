"""The Python surfaces of the extension modules, as tools see them: annotations that resolve,
source lines in tracebacks, a stub beside every module declaring every native it defines, and the
packages' py.typed markers."""

import ast
import builtins
import importlib
import importlib.machinery
import inspect
import os
import re
import sys
import traceback
import types
import typing

import pytest

import quillon
import quillon_transpiler

CORE = "quillon_transpiler.core."
MODULES = [
    CORE + "substitute.subs_poly",
    CORE + "var_registry",
    CORE + "substitute.substitutable_expr.variable",
    CORE + "substitute.substitutable_expr.pair_operator",
    CORE + "substitute.substitutable_expr.variadic_operator",
    CORE + "substitute.substitutable_expr.fold_operator",
    CORE + "substitute.subs_lowering",
    CORE + "compile.compile",
    CORE + "compile.unroll_forall",
    CORE + "compile.pinning_constraint",
    CORE + "pubo.binarize",
    CORE + "pubo._binary",
    CORE + "pubo.tree_flatten",
    CORE + "decode.decode",
    CORE + "decode.eval_value",
    CORE + "decode.eval_energy",
    CORE + "dimod.dimod_bridge",
]


def load(path):
    try:
        return importlib.import_module(path)
    except ImportError as error:
        # a module not built yet, or one needing an optional package (dimod), is skipped; one of
        # ours missing under a module that is built fails. An extension module's own import
        # error reaches us as the cause of the loader's.
        cause = error if isinstance(error, ModuleNotFoundError) else error.__cause__
        if not isinstance(cause, ModuleNotFoundError):
            raise
        missing = cause.name or ""
        if path.startswith(missing):
            pytest.skip(f"{path} is not built yet")
        if missing.split(".")[0] != "quillon_transpiler":
            pytest.skip(f"{path} needs {missing}, not installed")
        raise


def surface_functions(module):
    """Every Python function the module's surface defines: module level, in its classes and
    registered with its single-dispatch functions."""
    found = []
    for obj in vars(module).values():
        if getattr(obj, "__module__", None) != module.__name__:
            continue
        if inspect.isclass(obj):
            for member in vars(obj).values():
                member = getattr(member, "__func__", getattr(member, "fget", member))
                if inspect.isfunction(member):
                    found.append(member)
        elif inspect.isfunction(obj):
            found.append(inspect.unwrap(obj))
            for impl in getattr(obj, "registry", {}).values():
                if inspect.isfunction(impl) and impl.__module__ == module.__name__ and impl not in found:
                    found.append(impl)
    return found


def surface_classes(module):
    return [obj for obj in vars(module).values() if inspect.isclass(obj) and obj.__module__ == module.__name__]


def names_resolve(obj):
    """Before 3.10 `X | Y` cannot be evaluated, so there every name an annotation text uses must
    at least be bound in the defining module or be a builtin."""
    namespace = vars(sys.modules[obj.__module__])
    annotations = dict(getattr(obj, "__annotations__", {}))
    if inspect.isclass(obj):
        annotations = vars(obj).get("__annotations__", {})
    for text in annotations.values():
        if not isinstance(text, str):
            continue
        for node in ast.walk(ast.parse(text, mode="eval")):
            if isinstance(node, ast.Name):
                assert node.id in namespace or hasattr(builtins, node.id), f"{obj.__qualname__}: {node.id} in {text!r}"


def check_hints(obj):
    try:
        typing.get_type_hints(obj)
    except TypeError:
        if sys.version_info >= (3, 10):
            raise
        names_resolve(obj)


@pytest.mark.parametrize("path", MODULES)
def test_every_annotation_resolves(path):
    module = load(path)
    for obj in surface_functions(module) + surface_classes(module):
        check_hints(obj)


def defined_in(tree, module):
    """The functions a surface file defines at module level and in its classes, as they run."""
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and node.name != "_":  # "_": single-dispatch cases
            yield node, inspect.unwrap(getattr(module, node.name))
        elif isinstance(node, ast.ClassDef):
            cls = getattr(module, node.name)
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    member = vars(cls)[item.name]
                    yield item, getattr(member, "__func__", getattr(member, "fget", member))


@pytest.mark.parametrize("path", MODULES)
def test_stub_beside_module_is_the_executed_source(path):
    module = load(path)
    stub = os.path.join(os.path.dirname(module.__file__), path.rsplit(".", 1)[1] + ".pyi")
    assert os.path.isfile(stub), f"no stub shipped beside {module.__file__}"
    with open(stub, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    for node, fn in defined_in(tree, module):
        # the functions run from the stub file, so tracebacks and inspect read its lines
        first = min([node.lineno] + [d.lineno for d in node.decorator_list])
        assert (fn.__code__.co_filename, fn.__code__.co_firstlineno) == (stub, first), fn.__qualname__
        assert f"def {node.name}(" in inspect.getsource(fn)


def frames(error):
    return [(os.path.basename(f.filename), f.name, f.line) for f in traceback.extract_tb(error.__traceback__)]


def test_tracebacks_show_surface_lines(make_data):
    from quillon_transpiler.core.compile.unroll_forall import unroll_forall
    from quillon_transpiler.core.substitute.subs_poly import SubstitutedExpression

    with pytest.raises(TypeError) as info:
        SubstitutedExpression({}, 1, 0).power("2")
    assert ("subs_poly.pyi", "power", "_power(self, exponent)") in frames(info.value)
    with pytest.raises(TypeError) as info:
        unroll_forall(None, make_data())
    assert ("unroll_forall.pyi", "unroll_forall", "return _unroll(forall, data)") in frames(info.value)


@pytest.mark.parametrize("package", [quillon, quillon_transpiler])
def test_packages_are_marked_typed(package):
    assert os.path.isfile(os.path.join(os.path.dirname(package.__file__), "py.typed"))


def built_extension_modules():
    """The dotted names of the extension modules built into the package's folders."""
    root = os.path.dirname(quillon_transpiler.__file__)
    suffixes = sorted(importlib.machinery.EXTENSION_SUFFIXES, key=len, reverse=True)
    found = []
    for folder, _, files in os.walk(root):
        for name in files:
            suffix = next((s for s in suffixes if name.endswith(s)), None)
            if suffix:
                relative = os.path.relpath(os.path.join(folder, name[: -len(suffix)]), os.path.dirname(root))
                found.append(relative.replace(os.sep, "."))
    return found


def test_every_built_extension_module_is_checked():
    assert set(built_extension_modules()) <= set(MODULES)


def natives(module):
    """The functions the extension defines in its module (not the surface's Python functions,
    nor functions imported from elsewhere)."""
    found = {}
    for name, obj in vars(module).items():
        if isinstance(obj, types.BuiltinFunctionType):
            if obj.__self__ is module:
                found[name] = obj
        elif type(obj).__name__ == "nb_func" and getattr(obj, "__module__", None) == module.__name__:
            found[name] = obj
    return found


def declared(tree):
    """Module-level function declarations of a stub (those under a top-level `if`, such as
    `if typ.TYPE_CHECKING:`, included; methods are not), by name."""
    found = {}
    body = list(tree.body)
    while body:
        node = body.pop()
        if isinstance(node, ast.FunctionDef):
            found[node.name] = node
        elif isinstance(node, ast.If):
            body += node.body + node.orelse
    return found


def unannotated(node):
    args = node.args
    params = args.posonlyargs + args.args + args.kwonlyargs + [a for a in (args.vararg, args.kwarg) if a]
    missing = [a.arg for a in params if a.annotation is None]
    return missing + (["return"] if node.returns is None else [])


def arity(native):
    """The number of arguments a native takes, as its own refusal of 99 says it."""
    with pytest.raises(TypeError) as info:
        native(*[None] * 99)
    return int(re.fullmatch(r"expected (\d+) arguments, got 99", str(info.value)).group(1))


@pytest.mark.parametrize("path", MODULES)
def test_every_native_is_declared_with_its_signature(path):
    """A native a module defines is declared in its stub as `def _name(arg: Type, ...) -> Type`,
    so a type checker follows every call into it."""
    module = load(path)
    stub = os.path.join(os.path.dirname(module.__file__), path.rsplit(".", 1)[1] + ".pyi")
    with open(stub, encoding="utf-8") as f:
        declarations = declared(ast.parse(f.read()))
    defined = natives(module)
    assert defined, f"{path} defines no native function: is it built?"
    undeclared = sorted(set(defined) - set(declarations))
    assert not undeclared, f"{path} defines natives its surface does not declare with def: {undeclared}"
    untyped = {name: unannotated(declarations[name]) for name in defined if unannotated(declarations[name])}
    assert not untyped, f"{path} declares natives without annotations for: {untyped}"
    counts = {name: len(declarations[name].args.posonlyargs + declarations[name].args.args) for name in defined}
    assert counts == {name: arity(native) for name, native in defined.items()}, f"{path}: argument counts differ"
