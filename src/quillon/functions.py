"""Function-style constructors (`ql.max`, `ql.sum`, ...).

These names shadow builtins on purpose, mirroring how users write models;
nothing in this module relies on the builtins they hide.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional

from .expressions import (
    AbsOp,
    CeilOp,
    FloorOp,
    LnOp,
    Log2Op,
    Log10Op,
    MaxOp,
    MinOp,
    ProdOp,
    SumOp,
)

if TYPE_CHECKING:
    from .conditions import Condition
    from .expressions import Element


def max(*terms: Any) -> MaxOp:
    if not terms:
        raise ValueError("ql.max needs at least one term: the max of nothing has no value")
    return MaxOp(terms)


def min(*terms: Any) -> MinOp:
    if not terms:
        raise ValueError("ql.min needs at least one term: the min of nothing has no value")
    return MinOp(terms)


def ln(operand: Any) -> LnOp:
    return LnOp(operand)


def log2(operand: Any) -> Log2Op:
    return Log2Op(operand)


def log10(operand: Any) -> Log10Op:
    return Log10Op(operand)


def ceil(operand: Any) -> CeilOp:
    return CeilOp(operand)


def floor(operand: Any) -> FloorOp:
    return FloorOp(operand)


def abs(operand: Any) -> AbsOp:
    return AbsOp(operand)


def sum(index: Element, operand: Any, condition: Optional[Condition] = None) -> SumOp:
    return SumOp(index, operand, condition)


def prod(index: Element, operand: Any, condition: Optional[Condition] = None) -> ProdOp:
    return ProdOp(index, operand, condition)
