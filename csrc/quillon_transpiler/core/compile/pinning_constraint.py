from __future__ import annotations

import typing as typ

from quillon_transpiler.core.compile.convert_to_substitutable import Constraint
from quillon_transpiler.core.compile.unroll_forall import unroll_forall as unroll_forall
from quillon_transpiler.core.instance_data import InstanceData
from quillon_transpiler.core.substitute import substitutable_expr as subs_expr
from quillon_transpiler.core.var_registry import VarRegistry as VarRegistry

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.
    def _has_deci_var(expr: subs_expr.SubstitutableExpr) -> bool: ...
    def _seperate_var_subs(
        variable: subs_expr.DecisionVariable | subs_expr.Subscript,
    ) -> tuple[subs_expr.DecisionVariable, list[subs_expr.SubstitutableExpr]] | None: ...

    # `separate` splits the left side as _seperate_var_subs does (the surface passes its own).
    def _check_pinning_constraint(
        condition: subs_expr.ConstraintCondition,
        separate: typ.Callable[
            [subs_expr.DecisionVariable | subs_expr.Subscript],
            tuple[subs_expr.DecisionVariable, list[subs_expr.SubstitutableExpr]] | None,
        ],
    ) -> tuple[subs_expr.DecisionVariable, list[subs_expr.SubstitutableExpr], subs_expr.SubstitutableExpr] | None: ...
    def _convert_to_fixed_vars(
        constraint: Constraint, data: InstanceData
    ) -> dict[str, dict[tuple[int, ...], float]] | None: ...


def has_deci_var(expr: subs_expr.SubstitutableExpr) -> bool:
    """Whether a decision variable occurs anywhere in ``expr``."""
    return _has_deci_var(expr)


def check_pinning_constraint(
    condition: subs_expr.ConstraintCondition,
) -> typ.Optional[tuple[subs_expr.DecisionVariable, list[subs_expr.SubstitutableExpr], subs_expr.SubstitutableExpr]]:
    """The variable, subscripts and value that ``condition`` pins, or None.

    A condition pins a variable when it is an equality whose left side is a decision variable,
    bare or subscripted, and whose right side holds no decision variable.
    """

    def seperate_var_subs(
        variable: subs_expr.DecisionVariable | subs_expr.Subscript,
    ) -> typ.Optional[tuple[subs_expr.DecisionVariable, list[subs_expr.SubstitutableExpr]]]:
        return _seperate_var_subs(variable)

    return _check_pinning_constraint(condition, seperate_var_subs)


def convert_to_fixed_vars(
    constraint: Constraint, data: InstanceData
) -> typ.Optional[dict[str, dict[tuple[int, ...], float]]]:
    """The values a pinning constraint fixes, for every assignment of its forall list.

    Returns None when the constraint does not pin a variable, else
    ``{variable name: {subscript tuple: value}}``; a later assignment giving the same
    subscripts overrides an earlier one.

    Raises:
        SubstituteError: "Subscripts must not contain decision variables." for a subscript
            that depends on a decision variable; errors of the data pass through.
    """
    return _convert_to_fixed_vars(constraint, data)
