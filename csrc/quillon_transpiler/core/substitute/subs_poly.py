from __future__ import annotations

import dataclasses
import typing as typ

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.
    _Poly = typ.TypeVar("_Poly", bound="SubstitutedExpression")

    # `order == 0` when that is false (a NumPy order gives NumPy's boolean), else whether
    # `coeff` is empty.
    def _is_constant(self: SubstitutedExpression) -> typ.Any: ...
    def _to_serializable(self: SubstitutedExpression) -> dict[str, typ.Any]: ...
    def _from_serializable(cls: type[_Poly], data: dict[str, typ.Any]) -> _Poly: ...
    def _add(self: SubstitutedExpression, other: SubstitutedExpression) -> None: ...
    def _mul(self: SubstitutedExpression, other: SubstitutedExpression) -> None: ...
    def _power(self: SubstitutedExpression, exponent: float) -> None: ...


@dataclasses.dataclass
class SubstitutedExpression:
    """A polynomial over decision-variable indices.

    ``coeff`` maps a monomial key (the index of every factor, repeated for powers) to its
    coefficient; ``order`` is the degree as tracked by the operations.
    """

    coeff: dict[tuple[int, ...], float]
    constant: float
    order: int

    def is_constant(self) -> bool:
        """Whether the polynomial has order 0 and no variable terms."""
        return _is_constant(self)

    def to_serializable(self) -> dict:
        """A plain dict (JSON-ready) holding the polynomial."""
        return _to_serializable(self)

    @classmethod
    def from_serializable(cls, data: dict) -> SubstitutedExpression:
        """The polynomial held by a dict made by ``to_serializable``."""
        return _from_serializable(cls, data)

    def add(self, other):
        """In place: self becomes self + other."""
        _add(self, other)

    def mul(self, other):
        """In place: self becomes self * other."""
        _mul(self, other)

    def power(self, exponent: float):
        """In place: self becomes self ** exponent."""
        _power(self, exponent)
