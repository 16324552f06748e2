"""Base of the expression tree, with its constant, unary and condition nodes."""

from __future__ import annotations

import enum
import math
import typing as typ

import numpy as np

from quillon_transpiler.core.substitute.subs_poly import SubstitutedExpression
from quillon_transpiler.exceptions import SubstituteError


class SubstitutableExpr:
    """A node of an expression tree that instantiates into a SubstitutedExpression."""

    def __init__(self):
        pass

    def substitute(self, var_map, instance_data) -> SubstitutedExpression:
        """The polynomial of this subtree for the current data; the caller owns it."""
        return self._substitute(var_map, instance_data)

    def _substitute(self, var_map, instance_data) -> SubstitutedExpression:
        raise NotImplementedError(f"{type(self).__name__} cannot be substituted.")

    def extract(self, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]:
        """The nodes of this subtree for which ``check`` holds, in pre-order."""
        return [self] if check(self) else []

    def extract_type(self, cls) -> list[SubstitutableExpr]:
        """The nodes of this subtree that are instances of ``cls``, in pre-order."""
        return self.extract(lambda node: isinstance(node, cls))

    def __iter__(self):
        # indexing converts its argument with list(); a single node is one subscript
        yield self

    def __sub__(self, other: SubstitutableExpr) -> SubstitutableExpr:
        from quillon_transpiler.core.substitute.substitutable_expr.variadic_operator import (
            MultipleOpeKind,
            MultipleOperator,
        )

        negated = MultipleOperator([Number(-1), other], kind=MultipleOpeKind.MUL)
        return MultipleOperator([self, negated], kind=MultipleOpeKind.ADD)

    def __str__(self) -> str:
        fields = ", ".join(f"{key}={value}" for key, value in vars(self).items())
        return f"{type(self).__name__}({fields})"


class Number(SubstitutableExpr):
    """A constant."""

    def __init__(self, value):
        self.value = value
        super().__init__()

    def _substitute(self, var_map, instance_data) -> SubstitutedExpression:
        return SubstitutedExpression(coeff={}, constant=self.value, order=0)

    def __str__(self) -> str:
        return str(self.value)


class UnaryOpeKind(enum.Enum):
    LN = enum.auto()
    LOG2 = enum.auto()
    LOG10 = enum.auto()
    CEIL = enum.auto()
    FLOOR = enum.auto()
    ABS = enum.auto()


_SCALAR_UNARY: dict[UnaryOpeKind, typ.Callable[[typ.Any], typ.Any]] = {
    UnaryOpeKind.LN: math.log,
    UnaryOpeKind.LOG2: math.log2,
    UnaryOpeKind.LOG10: math.log10,
    UnaryOpeKind.CEIL: math.ceil,
    UnaryOpeKind.FLOOR: math.floor,
    UnaryOpeKind.ABS: abs,
}
_ARRAY_UNARY = {
    UnaryOpeKind.LN: np.log,
    UnaryOpeKind.LOG2: np.log2,
    UnaryOpeKind.LOG10: np.log10,
    UnaryOpeKind.CEIL: np.ceil,
    UnaryOpeKind.FLOOR: np.floor,
    UnaryOpeKind.ABS: np.abs,
}


def _check_unary_kind(kind) -> None:
    if not isinstance(kind, UnaryOpeKind):
        raise SubstituteError("Unknown UnaryOpeKind")


def _unary_value(kind: UnaryOpeKind, value):
    """``kind`` applied to a constant: element-wise for arrays, exact for numbers."""
    _check_unary_kind(kind)
    if isinstance(value, np.ndarray):
        return _ARRAY_UNARY[kind](value)
    try:
        return _SCALAR_UNARY[kind](value)
    except (ValueError, OverflowError) as error:
        raise SubstituteError(f"{kind.name} is undefined for {value!r}: {error}.") from None


class UnaryOperator(SubstitutableExpr):
    """ln, log2, log10, ceil, floor or abs of a constant operand."""

    def __init__(self, operand: SubstitutableExpr, kind: UnaryOpeKind):
        self.operand = operand
        self.kind = kind

    def _substitute(self, var_map, instance_data) -> SubstitutedExpression:
        value = self.operand.substitute(var_map, instance_data)
        _check_unary_kind(self.kind)
        if value.coeff:
            raise SubstituteError(f"{self.kind.name} needs an operand without decision variables.")
        return SubstitutedExpression(coeff={}, constant=_unary_value(self.kind, value.constant), order=0)

    def extract(self, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]:
        return super().extract(check) + self.operand.extract(check)

    def __str__(self) -> str:
        return f"{self.kind.name.lower()}({self.operand})"


def _constant_of(expr: SubstitutableExpr, var_map, instance_data):
    value = expr.substitute(var_map, instance_data)
    if value.coeff:
        raise SubstituteError("Conditions must not contain decision variables.")
    return value.constant


class SubstitutableCondition:
    """A condition on data; substitutes to a value that is tested for truth."""

    def substitute(self, var_map, instance_data) -> bool:
        return self._substitute(var_map, instance_data)

    def _substitute(self, var_map, instance_data) -> bool:
        raise NotImplementedError(f"{type(self).__name__} cannot be substituted.")

    def extract_expr(self, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]:
        """The expression nodes inside this condition for which ``check`` holds."""
        return []


class TrueCondition(SubstitutableCondition):
    """The condition that always holds."""

    def _substitute(self, var_map, instance_data) -> bool:
        return True

    def __str__(self) -> str:
        return "True"


class ConstraintKind(enum.Enum):
    EQUAL = enum.auto()
    LESSTHANEQUAL = enum.auto()
    GREATERTHANEQUAL = enum.auto()


class OtherConstraintKind(enum.Enum):
    NOTEQUAL = enum.auto()
    LESSTHAN = enum.auto()


_COMPARE = {
    ConstraintKind.EQUAL: ("==", lambda a, b: a == b),
    ConstraintKind.LESSTHANEQUAL: ("<=", lambda a, b: a <= b),
    ConstraintKind.GREATERTHANEQUAL: (">=", lambda a, b: a >= b),
    OtherConstraintKind.NOTEQUAL: ("!=", lambda a, b: a != b),
    OtherConstraintKind.LESSTHAN: ("<", lambda a, b: a < b),
}


class _Comparison(SubstitutableCondition):
    def __init__(self, left: SubstitutableExpr, right: SubstitutableExpr, kind):
        self.left = left
        self.right = right
        self.kind = kind

    def _substitute(self, var_map, instance_data) -> bool:
        left = _constant_of(self.left, var_map, instance_data)
        right = _constant_of(self.right, var_map, instance_data)
        return bool(_COMPARE[self.kind][1](left, right))

    def extract_expr(self, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]:
        return self.left.extract(check) + self.right.extract(check)

    def __str__(self) -> str:
        return f"({self.left} {_COMPARE[self.kind][0]} {self.right})"


class ConstraintCondition(_Comparison):
    """left == right or left <= right (or >=): the comparisons a constraint can make."""


class OtherConstraintCondition(_Comparison):
    """left != right or left < right: comparisons only filters make."""


class ConditionOperatorKind(enum.Enum):
    AND = enum.auto()
    OR = enum.auto()
    XOR = enum.auto()


class ConditionOperator(SubstitutableCondition):
    """AND, OR or XOR (odd number true) over conditions."""

    def __init__(self, terms: list[SubstitutableCondition], kind: ConditionOperatorKind):
        self.terms = terms
        self.kind = kind

    def _substitute(self, var_map, instance_data) -> bool:
        values = (term.substitute(var_map, instance_data) for term in self.terms)
        if self.kind == ConditionOperatorKind.AND:
            return all(values)
        if self.kind == ConditionOperatorKind.OR:
            return any(values)
        return sum(bool(v) for v in values) % 2 == 1

    def extract_expr(self, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]:
        found = []
        for term in self.terms:
            found.extend(term.extract_expr(check))
        return found

    def __str__(self) -> str:
        sep = {ConditionOperatorKind.AND: " & ", ConditionOperatorKind.OR: " | "}.get(self.kind, " ^ ")
        return "(" + sep.join(str(term) for term in self.terms) + ")"
