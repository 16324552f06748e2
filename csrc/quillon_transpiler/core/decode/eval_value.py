from __future__ import annotations

import typing as typ

from quillon_transpiler.core.substitute import SubstitutedExpression

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.
    def _value(deci_var: dict[int, int | float], subs_expr: SubstitutedExpression) -> float: ...


def eval_value(deci_var: dict[int, int | float], subs_expr: SubstitutedExpression) -> float:
    """The value of a polynomial for the given variable values.

    Args:
        deci_var (dict[int, int | float]): value by variable index; a missing index counts as 0.
        subs_expr (SubstitutedExpression): the polynomial to evaluate.

    Returns:
        float: the constant plus every coefficient times the product of its key's values; a
        polynomial without terms gives its constant unchanged.
    """
    return _eval_value(deci_var, subs_expr)


def _eval_value(deci_var: dict[int, int | float], subs_expr: SubstitutedExpression) -> float:
    return _value(deci_var, subs_expr)
