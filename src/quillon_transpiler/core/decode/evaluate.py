"""Values of a compiled instance's polynomials for one index assignment."""

from __future__ import annotations

import dataclasses

from quillon_transpiler.core.compile.compiled_model import CompiledInstance
from quillon_transpiler.core.decode.eval_value import _eval_value
from quillon_transpiler.core.route_inputs import check_polynomials
from quillon_transpiler.core.substitute.substitutable_expr import ConstraintKind


@dataclasses.dataclass
class ExprValues:
    """The objective, constraint and penalty numbers of one assignment.

    ``constraint`` maps a constraint label, then a forall key, to the instance's violation:
    the value of left - right for an equality, its positive part for ``<=`` and its negative
    part for ``>=``, so that a satisfied instance gives 0. ``penalty`` maps a penalty label,
    then a forall key, to the penalty polynomial's value.
    """

    objective: float
    constraint: dict[str, dict[tuple[int, ...], float]]
    penalty: dict[str, dict[tuple[int, ...], float]]


def _check_values(values: object) -> None:
    if type(values) is not dict:
        raise TypeError(f"Argument 'values' has incorrect type (expected dict, got {type(values).__name__:.200s})")


def eval_constraint(
    values: dict[int, int | float], compiled_instance: CompiledInstance
) -> dict[str, dict[tuple[int, ...], float]]:
    """The value of left - right of every constraint instance, by label and forall key.

    ``values`` maps variable indices to values; a missing index counts as 0.
    """
    _check_values(values)
    return {
        label: {key: _eval_value(values, poly) for key, poly in by_key.items()}
        for label, by_key in compiled_instance.constraint.items()
    }


def _violation(kind: ConstraintKind, value: float) -> float:
    if kind == ConstraintKind.EQUAL:
        return value
    if kind == ConstraintKind.LESSTHANEQUAL:
        return max(value, 0)
    if kind == ConstraintKind.GREATERTHANEQUAL:
        return min(value, 0)
    raise ValueError(f"constraint kind {kind!r} cannot be evaluated; use ==, <= or >=")


def calc_expr(values: dict[int, int | float], compiled_instance: CompiledInstance) -> ExprValues:
    """Objective value, constraint violations and penalty values of an index assignment.

    ``values`` maps variable indices to values; a missing index counts as 0. A constraint's
    comparison kind is read from the compiled instance's substitutable problem.
    """
    _check_values(values)
    check_polynomials(compiled_instance, "calc_expr")
    objective = _eval_value(values, compiled_instance.objective)
    constraints = compiled_instance.problem.constraints
    constraint: dict[str, dict[tuple[int, ...], float]] = {}
    for label, values_by_key in eval_constraint(values, compiled_instance).items():
        kind = constraints[label].condition.kind
        constraint[label] = {key: _violation(kind, value) for key, value in values_by_key.items()}
    penalty = {
        label: {key: _eval_value(values, poly) for key, poly in by_key.items()}
        for label, by_key in compiled_instance.penalty.items()
    }
    return ExprValues(objective, constraint, penalty)
