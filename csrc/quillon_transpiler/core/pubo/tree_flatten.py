from __future__ import annotations

import typing as typ

# the tree classes and combining functions belong to this module's namespace too
from quillon_transpiler.core.substitute.higher_subsititute import (  # noqa: F401
    HigherSubstitutedExprTree,
    SubsExprAdd,
    SubsExprMul,
    SubsExprNode,
    SubsExprPower,
    add_coeff,
    mul_coeff,
)

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.
    def _higher_tree_to_binary_coeff(
        expr_tree: HigherSubstitutedExprTree,
        binarizer: typ.Callable[[dict[tuple[int, ...], float], float], tuple[dict[tuple[int, ...], float], float]],
    ) -> tuple[dict[tuple[int, ...], float], float]: ...
    def _square_coeff(
        coeff: dict[tuple[int, ...], float], constant: float
    ) -> tuple[dict[tuple[int, ...], float], float]: ...


def higher_tree_to_binary_coeff(
    expr_tree: HigherSubstitutedExprTree,
    binarizer: typ.Callable[[dict[tuple[int, ...], float], float], tuple[dict[tuple[int, ...], float], float]],
) -> tuple[dict[tuple[int, ...], float], float]:
    """Flattens a higher-order tree into one binary polynomial (coefficient map, constant).

    Leaves pass through ``binarizer`` depth-first, left to right; sums and products fold their
    operands with ``add_coeff`` and ``mul_coeff``; a power squares its operand once with
    ``square_coeff`` and multiplies the operand in for every further power.

    Raises:
        ValueError: a power node's power is below 1.
        TypeError: a node of another class.
    """
    return _higher_tree_to_binary_coeff(expr_tree, binarizer)


# the signature is the interface's, which gives no return annotation
def square_coeff(coeff: dict[tuple[int, ...], float], constant: float):  # type: ignore[no-untyped-def]
    """The square of ``constant + sum(coeff)`` over binary monomials (m * m = m).

    Cross terms are keyed by the two keys concatenated, a monomial's square by its own key;
    contributions that meet under one key add up. An empty map gives ({}, constant ** 2).
    """
    return _square_coeff(coeff, constant)
