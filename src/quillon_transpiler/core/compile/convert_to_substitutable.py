"""The substitutable form of a quillon problem: every expression lowered to an expression tree.

Each expression (the objective, one constraint with its forall list, one penalty with its
forall list) is lowered with its own element map. Element names are scoped to the expression
they occur in, and the lowering reuses a map entry for an element over an array; one map for
the whole problem would let an element `i` over array `a` in one constraint take the range of
another element `i` over array `b` elsewhere.
"""

from __future__ import annotations

import dataclasses
import enum
import sys
import typing as typ

import quillon as ql
from quillon_transpiler.core.substitute import substitutable_expr as subs_expr
from quillon_transpiler.core.substitute.subs_lowering import convert_to_subs_condition, convert_to_substitutable
from quillon_transpiler.exceptions import SubstituteError


class ProblemSense(enum.Enum):
    MINIMIZE = 1
    MAXIMIZE = 2


@dataclasses.dataclass
class Constraint:
    """A constraint: ``condition`` must hold for every assignment of ``forall``.

    ``forall`` lists (element, condition) pairs, outer level first.
    """

    name: str
    condition: subs_expr.ConstraintCondition
    forall: list[tuple[subs_expr.Element, subs_expr.SubstitutableCondition]]


@dataclasses.dataclass
class CustomPenalty:
    """A penalty term, added for every assignment of ``forall``."""

    name: str
    expression: subs_expr.SubstitutableExpr
    forall: list[tuple[subs_expr.Element, subs_expr.SubstitutableCondition]]


@dataclasses.dataclass
class Problem:
    """A problem whose expressions are expression trees; dicts keep the model's order."""

    name: str
    sense: ProblemSense
    objective: subs_expr.SubstitutableExpr
    constraints: dict[str, Constraint]
    penalties: dict[str, CustomPenalty]


_T = typ.TypeVar("_T")


def convert_problem_to_substutitable(problem: ql.Problem) -> Problem:
    """Lowers every expression of ``problem`` to an expression tree.

    Raises:
        SubstituteError: a part of the model cannot be lowered; the message starts with
            "In objective: ", "In constraint `c`: " or "In penalty `p`: ".
    """
    objective = _in_context("In objective: ", _lower_expression, problem.objective)
    # the items as they are now (list() copies them in one step): another thread may add to
    # the model while its items are lowered, and a dict changed while iterated raises
    constraints = {
        label: _in_context(f"In constraint `{label}`: ", _lower_constraint, constraint)
        for label, constraint in list(problem.constraints.items())
    }
    penalties = {
        label: _in_context(f"In penalty `{label}`: ", _lower_penalty, penalty)
        for label, penalty in list(problem.custom_penalty_terms.items())
    }
    return Problem(
        name=problem.name,
        sense=ProblemSense[problem.sense.name],
        objective=objective,
        constraints=constraints,
        penalties=penalties,
    )


def _in_context(prefix: str, lower: typ.Callable[[typ.Any], _T], item: typ.Any) -> _T:
    try:
        return lower(item)
    except SubstituteError as error:
        raise SubstituteError(prefix + str(error)) from error
    except RecursionError as error:
        text = str(error)
        if text.startswith("maximum recursion depth exceeded"):  # Python's own limit, unexplained
            text = (
                f"the expression nests deeper than Python's recursion limit ({sys.getrecursionlimit()}) allows, "
                "or contains itself: a sum written x + (y + (z + ...)) nests once per term. Write it a + b + c, "
                "or with ql.sum, or raise the limit with sys.setrecursionlimit"
            )
        raise RecursionError(prefix + text) from error


def _lower_expression(expr: typ.Any) -> subs_expr.SubstitutableExpr:
    node, _ = convert_to_substitutable(expr, {})
    return node


def _lower_forall(forall: typ.Iterable[typ.Any], el_map: dict) -> list:
    pairs = []
    for element, condition in forall:
        # The tree element is the map entry, not the lowered node: an element over an array
        # lowers to the array's entry, while the forall runs over the index into the array.
        _, el_map = convert_to_substitutable(element, el_map)
        tree_element = el_map[element.name]
        tree_condition, el_map = convert_to_subs_condition(condition, el_map)
        pairs.append((tree_element, tree_condition))
    return pairs


def _lower_constraint(constraint: ql.Constraint) -> Constraint:
    el_map: dict[str, subs_expr.Element] = {}
    forall = _lower_forall(constraint.forall, el_map)
    condition, _ = convert_to_subs_condition(constraint.expression, el_map)
    # a constraint compares with ==, <= or >= (the modeling library refuses any other), which
    # lower to a ConstraintCondition
    condition = typ.cast(subs_expr.ConstraintCondition, condition)
    return Constraint(name=constraint.name, condition=condition, forall=forall)


def _lower_penalty(penalty: ql.CustomPenaltyTerm) -> CustomPenalty:
    el_map: dict[str, subs_expr.Element] = {}
    forall = _lower_forall(penalty.forall, el_map)
    expression, _ = convert_to_substitutable(penalty.expression, el_map)
    return CustomPenalty(name=penalty.name, expression=expression, forall=forall)
