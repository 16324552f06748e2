"""Checks of what the routes (QUBO, arrays, BQM, CQM) are handed, with errors that say what to pass.

A route that gets the wrong object must say so before it reads an attribute the object lacks;
a weight that is not a finite, non-negative number would silently reward violations or turn
every energy into NaN.
"""

from __future__ import annotations

import math
import numbers
import typing as typ

import quillon as ql

if typ.TYPE_CHECKING:
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance
    from quillon_transpiler.core.pubo.int_encoder import IntegerEncoder


def describe(obj: typ.Any) -> str:
    """What a wrongly passed object is, in words a user knows."""
    kind = type(obj)
    module = kind.__module__.split(".")[0]
    if module == "quillon":
        return f"a quillon {kind.__name__}"
    if module == "quillon_transpiler":
        return f"a {kind.__name__}"
    return f"{kind.__name__} {obj!r:.80}"


def compiled_instance(obj: typ.Any, route: str) -> CompiledInstance:
    """``obj`` when it is a compiled instance that still holds its polynomials, else a clear error."""
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance

    if not isinstance(obj, CompiledInstance):
        hint = ""
        if hasattr(obj, "custom_penalty_terms"):
            hint = " (compile the problem first: compile_model(problem, instance))"
        elif hasattr(obj, "compiled") or hasattr(obj, "compiled_model"):
            hint = " (it holds a compiled instance without its polynomials; compile the problem again)"
        raise TypeError(f"{route} takes a compiled instance from compile_model, got {describe(obj)}{hint}")
    check_polynomials(obj, route)
    return obj


def check_polynomials(obj: typ.Any, route: str) -> None:
    """A clear error for a compiled instance whose polynomials a native route consumed."""
    if any(getattr(obj, name, True) is None for name in ("objective", "constraint", "penalty")):
        raise ValueError(
            f"{route} needs the polynomials of the compiled instance, but this one was consumed by a "
            "native route (to_qubo_arrays, to_cqm), which keeps only what decoding needs: compile the "
            "problem again with compile_model"
        )


def given_compiled(
    route: str, problem: typ.Any, instance: typ.Any, fixed_variables: typ.Any
) -> CompiledInstance | None:
    """What a route was handed: a compiled instance (returned, checked), which comes alone, or a
    quillon problem with its instance data (None: the route compiles it); else a TypeError."""
    if isinstance(problem, ql.Problem):  # the common case, told first
        if instance is None:
            raise TypeError(
                f"{route} takes a compiled instance from compile_model, got a quillon Problem without its instance "
                f"data: call {route}(problem, instance) or {route}(compile_model(problem, instance))"
            )
        return None
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance

    if isinstance(problem, CompiledInstance):
        if instance is not None or fixed_variables is not None:
            raise TypeError(
                f"{route} was given a compiled instance together with instance data or fixed variables, but a "
                "compiled instance carries its data (the compiled instance already holds both): call "
                f"{route}(compiled) alone, or {route}(problem, instance, fixed_variables) with the quillon Problem"
            )
        return compiled_instance(problem, route)
    hint = ""
    if hasattr(problem, "compiled") or hasattr(problem, "compiled_model"):
        hint = " (it holds a compiled instance without its polynomials; compile the problem again)"
    raise TypeError(
        f"{route} takes a compiled instance from compile_model, or a quillon Problem with its instance data, got "
        f"{describe(problem)}{hint}"
    )


def fixed_copy(fixed_variables: typ.Any) -> typ.Any:
    """The caller's fixed values, copied down to each variable's dict, for a route to compile
    with: ``compile_model`` merges a model's pinned values into the map it is given, where they
    would win over the next instance's own, and its compiled instance (which a route keeps for
    decoding) reads the map it was given. A number is refused here (a weight passed by
    position); anything else but a dict is passed on for the compile to refuse."""
    if isinstance(fixed_variables, numbers.Number):
        raise TypeError(
            f"fixed_variables must be a dict of fixed values, got {describe(fixed_variables)}: weights are "
            "keyword arguments (penalty_weight=..., constraint_weight=...)"
        )
    if not isinstance(fixed_variables, dict):
        return fixed_variables
    return {label: dict(values) if isinstance(values, dict) else values for label, values in fixed_variables.items()}


def check_encoder_for_problem(encoder: str | IntegerEncoder | type[IntegerEncoder]) -> None:
    """An encoder object is bound to the registry it was built from, which a problem compiled by
    the route itself does not have yet."""
    if isinstance(encoder, str):  # a name, the common case
        return
    from quillon_transpiler.core.pubo.int_encoder import IntegerEncoder

    if isinstance(encoder, IntegerEncoder):
        raise ValueError("an encoder object belongs to a compiled registry: pass its name, or a compiled instance")


def check_weight(value: typ.Any, what: str, auto: bool = False) -> None:
    """A weight must be a finite, non-negative real number (or, where ``auto`` allows it, the
    string "auto"); ``what`` names it in the error."""
    # a float, the common case, skips the abstract class check
    if type(value) is not float and (isinstance(value, bool) or not isinstance(value, numbers.Real)):
        also = ', or "auto" to choose it from the model\'s numbers' if auto else ""
        raise TypeError(f"{what} must be a number, got {describe(value)}{also}")
    try:
        finite = math.isfinite(value)
    except OverflowError:  # an int past float64, which the lowering's weights are
        digits = len(str(abs(int(typ.cast(typ.Any, value)))))
        raise ValueError(f"{what} has {digits} digits, past float64's range: give a smaller weight") from None
    if not finite:
        raise ValueError(f"{what} is {value!r}: a weight must be finite")
    if value < 0:
        raise ValueError(f"{what} is {value!r}: a negative weight rewards violations; use 0 to leave it out")
