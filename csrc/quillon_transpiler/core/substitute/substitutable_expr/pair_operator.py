from __future__ import annotations

import enum
import typing as typ

from quillon_transpiler.core.instance_data import InstanceData
from quillon_transpiler.core.substitute.subs_poly import SubstitutedExpression
from quillon_transpiler.core.substitute.substitutable_expr.expression import SubstitutableExpr
from quillon_transpiler.core.var_registry import VarRegistry
from quillon_transpiler.exceptions import SubstituteError as SubstituteError

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.
    def _init(self: PairOperator, left: SubstitutableExpr, right: SubstitutableExpr, kind: BinaryOpeKind) -> None: ...
    # a float, or a complex for a negative base and a fractional exponent: typed as
    # float.__pow__ is
    def _operation(self: PairOperator, left: float, right: float) -> typ.Any: ...
    def _substitute(self: PairOperator, var_map: VarRegistry, instance_data: InstanceData) -> SubstitutedExpression: ...
    def _extract(self: PairOperator, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]: ...
    def _str(self: PairOperator) -> str: ...


class BinaryOpeKind(enum.Enum):
    POW = enum.auto()
    MOD = enum.auto()


class PairOperator(SubstitutableExpr):
    """left ** right, or left % right of constants."""

    def __init__(self, left: SubstitutableExpr, right: SubstitutableExpr, kind: BinaryOpeKind) -> None:
        _init(self, left, right, kind)

    def operation(self, left: float, right: float) -> float:
        """The node's operation on two plain numbers."""
        return _operation(self, left, right)

    def _substitute(self, var_map: VarRegistry, instance_data: InstanceData) -> SubstitutedExpression:
        return _substitute(self, var_map, instance_data)

    def extract(self, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]:
        return _extract(self, check)

    def __str__(self) -> str:
        return _str(self)
