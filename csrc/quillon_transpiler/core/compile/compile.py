from __future__ import annotations

import typing as typ

import numpy as np

import quillon as ql
from quillon_transpiler.core import InstanceData, VarRegistry
from quillon_transpiler.core.compile.compiled_model import CompiledInstance
from quillon_transpiler.core.compile.compiled_model import keep_fixed_values as _keep_fixed_values
from quillon_transpiler.core.compile.convert_to_substitutable import (
    Constraint,
    CustomPenalty,
    Problem,
)
from quillon_transpiler.core.compile.convert_to_substitutable import (
    convert_problem_to_substutitable as convert_problem_to_substutitable,
)
from quillon_transpiler.core.compile.pinning_constraint import convert_to_fixed_vars as convert_to_fixed_vars
from quillon_transpiler.core.compile.unroll_forall import unroll_forall as unroll_forall
from quillon_transpiler.core.substitute import SubstitutedExpression
from quillon_transpiler.core.substitute import substitutable_expr as subs_expr
from quillon_transpiler.exceptions import SubstituteError as SubstituteError

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.

    # What the native compile holds where a SubstitutedExpression would stand: an opaque
    # capsule (Python names no capsule type before 3.13), read by the binary lowering and by
    # _native_expression.
    NativePoly = typ.Any
    FixedVariables = dict[str, dict[tuple[int, ...], float]]

    # The caller's fixed values are checked entry by entry (TypeError naming a wrong one), so
    # any dict is taken.
    def _compile_model(
        problem: ql.Problem, instance: dict[str, typ.Any], fixed_variables: dict[typ.Any, typ.Any] | None
    ) -> CompiledInstance: ...

    # compile_model whose polynomials (objective, constraint and penalty values) are NativePoly
    # capsules; `report(stage, item)` hears of every item compiled (stage "compile").
    def _compile_native(
        problem: ql.Problem,
        instance: dict[str, typ.Any],
        fixed_variables: dict[typ.Any, typ.Any] | None,
        report: typ.Callable[[str, str], None] | None,
    ) -> CompiledInstance: ...
    def _native_expression(poly: NativePoly) -> SubstitutedExpression: ...
    # the base of a penalty held as its unexpanded square, None for any other polynomial
    def _native_square_base(poly: NativePoly) -> SubstitutedExpression | None: ...
    # how many terms the polynomial holds as it is, before merging
    def _native_terms(poly: NativePoly) -> int: ...
    # the same for every polynomial of a label -> key -> polynomial map: the terms of all, and
    # every polynomial as an expression
    def _native_terms_total(polys: typ.Mapping[str, typ.Mapping[tuple[int, ...], NativePoly]]) -> int: ...
    def _native_expressions(
        polys: typ.Mapping[str, typ.Mapping[tuple[int, ...], NativePoly]],
    ) -> dict[str, dict[tuple[int, ...], SubstitutedExpression]]: ...
    # what an automatic constraint weight reads of a constraint's polynomials by forall key:
    # the distinct (magnitudes of the non-zero coefficients, constant) pairs, as floats; None
    # when some polynomial is not native or holds a number beyond machine ints and floats
    def _native_coefficient_sets(
        polys: dict[tuple[int, ...], NativePoly],
    ) -> list[tuple[tuple[float, ...], float]] | None: ...
    def _fixed_vars_from_pinning_constraint(
        problem: Problem, instance_data: InstanceData
    ) -> tuple[FixedVariables, dict[str, Constraint]]: ...
    def _constraint_substitute(
        constraint: Constraint, data: InstanceData, var_map: VarRegistry
    ) -> dict[tuple[int, ...], SubstitutedExpression]: ...
    def _penalty_substitute(
        penalty: CustomPenalty, data: InstanceData, var_map: VarRegistry
    ) -> dict[tuple[int, ...], SubstitutedExpression]: ...
    def _eval_deci_var_shape(problem: Problem, data: InstanceData) -> dict[str, tuple[int | None, ...]]: ...
    def _extract_deci_var(expr: subs_expr.SubstitutableExpr) -> list[subs_expr.DecisionVariable]: ...
    def _collect_decision_variables(
        problem: Problem,
        extract: typ.Callable[[subs_expr.SubstitutableExpr], list[subs_expr.DecisionVariable]],
    ) -> dict[str, subs_expr.DecisionVariable]: ...
    def _placeholders(problem: Problem) -> list[subs_expr.Placeholder]: ...


def compile_model(
    problem: ql.Problem,
    instance: dict[str, np.ndarray | list | int | float],
    fixed_variables: typ.Optional[dict[dict, dict[tuple[int, ...], float]]] = None,
) -> CompiledInstance:
    """Compile a problem and an instance into a compiled model.

    Args:
        problem (ql.Problem): a problem to be compiled
        instance (dict[str, np.ndarray | list | int | float]): an instance to be compiled
        fixed_variables (dict[dict, dict[tuple[int, ...], float]], optional): fixed variables. Defaults to None.

    Returns:
        CompiledInstance: a compiled model
    """
    # the instance data holds the caller's dict itself, which may change before the compiled
    # instance is lowered or decoded: the values compiled with are kept apart
    return _keep_fixed_values(_compile_model(problem, instance, fixed_variables))


def fixed_vars_from_pinning_constraint(
    problem: Problem, instance_data: InstanceData
) -> typ.Tuple[dict[str, dict[tuple[int, ...], float]], dict[str, Constraint]]:
    """Turns pinning constraints into fixed variables.

    A pinning constraint only fixes a decision variable to a data value (``x[i] == c[i]``,
    ``y == 3``); instead of being compiled it fixes the variable, which the substitution then
    treats as a constant. The values are merged into ``instance_data.fixed_variables`` in
    place: fixed variables given by the caller take precedence over pinned ones, subscript by
    subscript, and of two pinning constraints fixing the same subscript the first one wins.

    Returns:
        The merged fixed-variables map and the constraints that pin nothing, by label.
    """
    return _fixed_vars_from_pinning_constraint(problem, instance_data)


def constraint_substitute(
    constraint: Constraint, data: InstanceData, var_map: VarRegistry
) -> dict[tuple[int, ...], SubstitutedExpression]:
    """``left - right`` of the constraint for every assignment of its forall list, by forall key."""
    return _constraint_substitute(constraint, data, var_map)


def penalty_substitute(
    penalty: CustomPenalty, data: InstanceData, var_map: VarRegistry
) -> dict[tuple[int, ...], SubstitutedExpression]:
    """The penalty expression for every assignment of its forall list, by forall key."""
    return _penalty_substitute(penalty, data, var_map)


def eval_deci_var_shape(problem: Problem, data: InstanceData) -> dict[str, tuple[int | None, ...]]:
    """The shape of every decision variable of the problem, evaluated against the data."""
    return _eval_deci_var_shape(problem, data)


def _decision_variables(problem: Problem) -> dict[str, subs_expr.DecisionVariable]:
    def extract_deci_var(expr: subs_expr.SubstitutableExpr) -> list[subs_expr.DecisionVariable]:
        return _extract_deci_var(expr)

    return _collect_decision_variables(problem, extract_deci_var)


def _get_ph_vars(problem: Problem) -> list[subs_expr.Placeholder]:
    return _placeholders(problem)
