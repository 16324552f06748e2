"""Problems: an objective plus labelled constraints and penalty terms."""

from __future__ import annotations

import enum
from typing import Any, Dict, List, Optional, Set, Tuple

from .conditions import Condition, EqualOp, GreaterThanEqualOp, LessThanEqualOp
from .expressions import (
    AddOp,
    Element,
    Expression,
    NumberLit,
    _check_name,
    _describe,
    as_scalar,
    chained,
    check_bound_names,
    unread,
)

Forall = List[Tuple[Element, Optional[Condition]]]


class ProblemSense(enum.Enum):
    MINIMIZE = "minimize"
    MAXIMIZE = "maximize"


def _is_forall_pair(item: Any) -> bool:
    return (
        isinstance(item, tuple)
        and len(item) == 2
        and isinstance(item[0], Element)
        and (item[1] is None or isinstance(item[1], Condition))
    )


def _normalise_forall(forall: Any) -> Forall:
    """Turn the accepted `forall` spellings into [(Element, condition or None), ...]."""
    if isinstance(forall, Element) or _is_forall_pair(forall):
        forall = [forall]
    elif not isinstance(forall, (list, tuple)):
        raise TypeError(
            f"forall must be an Element, an (Element, condition) pair or a list of those, got {_describe(forall)}"
        )
    pairs: Forall = []
    seen: Set[int] = set()  # ids of the elements so far: long forall lists stay linear
    for item in forall:
        if isinstance(item, Element):
            item = (item, None)
        elif not _is_forall_pair(item):
            raise TypeError(f"forall entries must be an Element or an (Element, condition) pair, got {_describe(item)}")
        if id(item[0]) in seen:
            raise ValueError(f"element {item[0]} appears twice in forall")
        if any(element.name == item[0].name for element, _ in pairs):
            raise ValueError(
                f"two elements named `{item[0].name}` in forall: elements are bound by name, so give each its own name"
            )
        seen.add(id(item[0]))
        pairs.append(item)
    return pairs


def _check_scope(forall: Forall, expression: Any, what: str) -> None:
    """The forall elements are bound over the whole expression (and the later conditions)."""
    if forall:
        roots = [expression] + [condition for _, condition in forall]
        check_bound_names([element for element, _ in forall], roots, f"the forall list of {what}")


def _forall_repr(forall: Forall) -> str:
    return "[" + ", ".join(str(e) if c is None else f"({e}, {c})" for e, c in forall) + "]"


class Constraint:
    _KINDS = (EqualOp, LessThanEqualOp, GreaterThanEqualOp)

    def __init__(self, name: str, expression: Any, forall: Any = ()) -> None:
        self.name = _check_name(name, "Constraint name")
        if not isinstance(expression, self._KINDS):
            raise TypeError(f"Constraint expression must be an ==, <= or >= comparison, got {_describe(expression)}")
        self.expression = expression
        self.forall = _normalise_forall(forall)
        _check_scope(self.forall, expression, f"constraint `{self.name}`")

    def __repr__(self) -> str:
        return f"Constraint({self.name!r}, {self.expression}, forall={_forall_repr(self.forall)})"


class CustomPenaltyTerm:
    def __init__(self, name: str, expression: Any, forall: Any = ()) -> None:
        self.name = _check_name(name, "CustomPenaltyTerm name")
        self.expression = as_scalar(expression, "CustomPenaltyTerm expression")
        self.forall = _normalise_forall(forall)
        _check_scope(self.forall, self.expression, f"penalty `{self.name}`")

    def __repr__(self) -> str:
        return f"CustomPenaltyTerm({self.name!r}, {self.expression}, forall={_forall_repr(self.forall)})"


class Problem:
    def __init__(self, name: str, sense: ProblemSense = ProblemSense.MINIMIZE) -> None:
        self.name = _check_name(name, "Problem name")
        if not isinstance(sense, ProblemSense):
            raise TypeError(f"sense must be a ProblemSense, got {_describe(sense)}")
        self.sense = sense
        self.objective: Expression = NumberLit(0)
        self.constraints: Dict[str, Constraint] = {}
        self.custom_penalty_terms: Dict[str, CustomPenaltyTerm] = {}
        self._objective_terms: List[Expression] = []

    def __getstate__(self) -> Dict[str, Any]:
        # "_derived" holds what tools derived from this problem while it lives (a compiler's
        # lowered trees): made again after a copy or a pickle, never carried along.
        state = self.__dict__.copy()
        state.pop("_derived", None)
        return state

    def __copy__(self) -> Problem:
        # a copy that can be added to without adding to this problem
        out = type(self).__new__(type(self))
        out.__dict__.update(self.__getstate__())
        out.constraints = dict(self.constraints)
        out.custom_penalty_terms = dict(self.custom_penalty_terms)
        out._objective_terms = list(self._objective_terms)
        return out

    def __iadd__(self, other: Any) -> Problem:
        if isinstance(other, (Constraint, CustomPenaltyTerm)):
            # One namespace for both kinds, so a label names one thing in results.
            if other.name in self.constraints or other.name in self.custom_penalty_terms:
                raise ValueError(f"label {other.name!r} is already used in problem {self.name!r}")
            if isinstance(other, Constraint):
                self.constraints[other.name] = other
            else:
                self.custom_penalty_terms[other.name] = other
        elif isinstance(other, Condition):
            raise TypeError(f"cannot add the condition {other} to a problem; wrap it in ql.Constraint")
        elif isinstance(other, Expression) and other.ndim != 0:
            raise TypeError(
                f"an objective term added to a problem must be a scalar, but {other} has ndim {other.ndim}; "
                "subscript it first"
            )
        else:
            term = as_scalar(other, "objective term added to a problem")
            # The objective is the sum of the added terms, each kept whole,
            # rather than a flattening of whatever sums the user added.
            self._objective_terms.append(term)
            terms = self._objective_terms
            # every term was checked as it came: the sum is made without checking them again,
            # one step on from the last sum made (a model added term by term takes linear time)
            if len(terms) == 1:
                objective = term
            elif (
                len(terms) > 2
                and self.__dict__.get("_objective_sum") is self.objective
                and "terms" not in self.objective.__dict__  # its list not read out (nor changed)
            ):
                objective = chained(self.objective, term)
            else:
                # unread, so that the next term extends it: a sum made whole would be copied
                # again at every later term (quadratic in the terms added)
                objective = unread(AddOp, list(terms))
            self.objective = self._objective_sum = objective
        return self

    def __repr__(self) -> str:
        return (
            f"Problem({self.name!r}, {self.sense}, objective={self.objective}, "
            f"constraints={list(self.constraints)}, "
            f"custom_penalty_terms={list(self.custom_penalty_terms)})"
        )
