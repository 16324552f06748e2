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
    def _init(self: MultipleOperator, operands: list[SubstitutableExpr], kind: MultipleOpeKind) -> None: ...
    def _operation(self: MultipleOperator, values: list[float]) -> float: ...
    def _substitute(
        self: MultipleOperator, var_map: VarRegistry, instance_data: InstanceData
    ) -> SubstitutedExpression: ...
    def _extract(self: MultipleOperator, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]: ...
    def _str(self: MultipleOperator) -> str: ...


class MultipleOpeKind(enum.Enum):
    ADD = enum.auto()
    MUL = enum.auto()
    MAX = enum.auto()
    MIN = enum.auto()


class MultipleOperator(SubstitutableExpr):
    """Sum, product, maximum or minimum of its operands, in list order."""

    def __init__(self, operands: list[SubstitutableExpr], kind: MultipleOpeKind) -> None:
        _init(self, operands, kind)

    def operation(self, values: list[float]) -> float:
        """The sum or product of plain numbers."""
        return _operation(self, values)

    def _substitute(self, var_map: VarRegistry, instance_data: InstanceData) -> SubstitutedExpression:
        return _substitute(self, var_map, instance_data)

    def extract(self, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]:
        return _extract(self, check)

    def __str__(self) -> str:
        return _str(self)
