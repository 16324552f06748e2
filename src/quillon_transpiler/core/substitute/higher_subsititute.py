"""Higher-order expression trees: sums, products and powers over polynomial leaves.

A tree keeps a product of polynomials unexpanded until it is flattened into one binary
polynomial (``quillon_transpiler.core.pubo.tree_flatten``), so each leaf is encoded on its own.
"""

from __future__ import annotations

import dataclasses
import numbers
import typing as typ

from quillon_transpiler.core.pubo._binary import _add_coeff, _mul_coeff
from quillon_transpiler.core.substitute.subs_poly import SubstitutedExpression


@dataclasses.dataclass
class SubsExprNode:
    """A leaf: one polynomial."""

    expr: SubstitutedExpression


def _check_operands(node: typ.Any) -> None:
    # an empty sum or product has no first operand to flatten: refused where it is made
    if not isinstance(node.operands, typ.Sequence) or isinstance(node.operands, str):
        raise TypeError(f"{type(node).__name__} takes a list of operands, got {type(node.operands).__name__}")
    if len(node.operands) == 0:
        raise ValueError(f"{type(node).__name__} needs at least one operand, got an empty list")


@dataclasses.dataclass
class SubsExprAdd:
    """The sum of the operands (at least one)."""

    operands: list[HigherSubstitutedExprTree]

    def __post_init__(self) -> None:
        _check_operands(self)


@dataclasses.dataclass
class SubsExprMul:
    """The product of the operands (at least one)."""

    operands: list[HigherSubstitutedExprTree]

    def __post_init__(self) -> None:
        _check_operands(self)


@dataclasses.dataclass
class SubsExprPower:
    """``operand ** power`` for an integer power of at least 1."""

    operand: HigherSubstitutedExprTree
    power: int

    def __post_init__(self) -> None:
        if isinstance(self.power, bool) or not isinstance(self.power, numbers.Integral):
            raise TypeError(f"SubsExprPower takes an integer power, got {self.power!r}")


HigherSubstitutedExprTree = typ.Union[SubsExprNode, SubsExprAdd, SubsExprMul, SubsExprPower]


def add_coeff(
    coeff: dict[tuple[int, ...], float],
    constant: float,
    other_coeff: dict[tuple[int, ...], float],
    other_constant: float,
) -> tuple[dict[tuple[int, ...], float], float]:
    """The sum of two binary polynomials; keys come back sorted and distinct, equal keys merged."""
    return _add_coeff(coeff, constant, other_coeff, other_constant)


def mul_coeff(
    coeff: dict[tuple[int, ...], float],
    constant: float,
    other_coeff: dict[tuple[int, ...], float],
    other_constant: float,
) -> tuple[dict[tuple[int, ...], float], float]:
    """The product of two binary polynomials, every product reduced by x * x = x.

    Terms come in this order: the first map's terms times the other constant (skipped when it is
    zero), the other map's terms times the first constant (likewise), then the cross products.
    """
    return _mul_coeff(coeff, constant, other_coeff, other_constant)
