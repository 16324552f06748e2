from __future__ import annotations

import typing as typ

from quillon_transpiler.core.pubo.int_encoder import BinaryModel
from quillon_transpiler.core.substitute import SubstitutedExpression

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.
    _subs_ir_to_binary: typ.Any = ...
    _binary_multiply_reduction: typ.Any = ...


def subs_ir_to_binary(
    subs_ir: SubstitutedExpression,
    encoder: typ.Callable[[dict[tuple[int, ...], float], float], tuple[dict[tuple[int, ...], float], float]],
) -> BinaryModel:
    """The polynomial over binary variables, every monomial reduced by x * x = x.

    ``encoder(coeff, constant)`` rewrites the polynomial's coefficient map from integer-variable
    indices to binary-variable indices and returns (binary coefficient map, constant); the map
    is then reduced by ``binary_multiply_reduction`` and the constant passed on untouched.
    """
    return _subs_ir_to_binary(subs_ir, encoder)


def binary_multiply_reduction(coeff: dict[tuple[int, ...], float]) -> dict[tuple[int, ...], float]:
    """Reduces every key to its sorted distinct indices and sums the keys that become equal.

    An entry keeps the position where its reduced key first occurs; every coefficient comes back
    as a float (summed from 0.0), and entries that sum to zero stay.
    """
    return _binary_multiply_reduction(coeff)
