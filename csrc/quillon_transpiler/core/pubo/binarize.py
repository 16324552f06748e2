from __future__ import annotations

import dataclasses
import typing as typ

import numpy as np

from quillon_transpiler.core.pubo._binary import EncodingTable
from quillon_transpiler.core.pubo.int_encoder import BinaryModel
from quillon_transpiler.core.substitute import SubstitutedExpression

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.
    def _subs_ir_to_binary(
        subs_ir: SubstitutedExpression,
        encoder: typ.Callable[[dict[tuple[int, ...], float], float], tuple[dict[tuple[int, ...], float], float]],
    ) -> BinaryModel: ...
    def _binary_multiply_reduction(coeff: dict[tuple[int, ...], float]) -> dict[tuple[int, ...], float]: ...
    def _lower(request: PuboRequest) -> PuboTerms: ...
    def _lower_arrays(
        request: PuboRequest, consume: bool, progress: typ.Optional[typ.Callable[[str], None]]
    ) -> PuboTermArrays: ...
    def _lower_swing(request: PuboRequest) -> float: ...
    def _lower_arrays_late(
        request: PuboRequest,
        consume: bool,
        progress: typ.Optional[typ.Callable[[str], None]],
        weigh: typ.Callable[[float], dict[str, float]],
    ) -> typ.Optional[PuboTermArrays]: ...


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


# The routes' seam: what ``_lower`` and ``_lower_arrays`` read, and what they give back. Made
# once per call and never changed (``dataclasses.replace`` makes another); not frozen, since a
# frozen record's constructor sets each field through object.__setattr__, which a small model's
# call pays for every field.


@dataclasses.dataclass
class PuboRequest:
    """One compiled instance to lower to a binary polynomial.

    Polynomials are SubstitutedExpressions or native capsules of the native compile; they are
    keyed by label, then forall key. ``kinds`` gives each constraint label its comparison (1:
    ``==``, 2: ``<=``, 3: ``>=``); the weights are numbers by label, a zero one leaving the
    item out. ``sign`` is -1 to maximise the objective, else 1.
    """

    table: EncodingTable
    objective: typ.Any
    sign: int
    constraints: typ.Mapping[str, typ.Mapping[tuple[int, ...], typ.Any]]
    kinds: dict[str, int]
    constraint_weights: dict[str, float]
    penalties: typ.Mapping[str, typ.Mapping[tuple[int, ...], typ.Any]]
    penalty_weights: dict[str, float]
    onehot_weight: float


@dataclasses.dataclass(frozen=True)
class PuboTerms:
    """The binary polynomial as a dict (``to_pubo``): binaries ``0 .. num_binaries - 1``, the
    encoder's then the slacks', listed in ``slacks`` as (constraint label, forall key, binaries)."""

    coeff: dict[tuple[int, ...], float]
    constant: float
    num_binaries: int
    slacks: list[tuple[str, tuple[int, ...], tuple[int, ...]]]


@dataclasses.dataclass
class PuboTermArrays:
    """The binary polynomial as arrays (``to_qubo_arrays``), laid out as ``QuboArrays`` holds them;
    binaries and ``slacks`` as in ``PuboTerms``."""

    linear: np.ndarray
    quadratic_rows: np.ndarray
    quadratic_cols: np.ndarray
    quadratic_biases: np.ndarray
    higher_offsets: np.ndarray
    higher_indices: np.ndarray
    higher_biases: np.ndarray
    offset: float
    num_binaries: int
    slacks: list[tuple[str, tuple[int, ...], tuple[int, ...]]]
    binary_starts: np.ndarray
