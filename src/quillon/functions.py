"""Function-style constructors (`ql.max`, `ql.sum`, ...).

These names shadow builtins on purpose, mirroring how users write models;
nothing in this module relies on the builtins they hide.
"""

from __future__ import annotations

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


def max(*terms) -> MaxOp:
    return MaxOp(terms)


def min(*terms) -> MinOp:
    return MinOp(terms)


def ln(operand) -> LnOp:
    return LnOp(operand)


def log2(operand) -> Log2Op:
    return Log2Op(operand)


def log10(operand) -> Log10Op:
    return Log10Op(operand)


def ceil(operand) -> CeilOp:
    return CeilOp(operand)


def floor(operand) -> FloorOp:
    return FloorOp(operand)


def abs(operand) -> AbsOp:
    return AbsOp(operand)


def sum(index, operand, condition=None) -> SumOp:
    return SumOp(index, operand, condition)


def prod(index, operand, condition=None) -> ProdOp:
    return ProdOp(index, operand, condition)
