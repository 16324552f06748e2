from __future__ import annotations

import enum
import typing as typ

from quillon_transpiler.core.instance_data import InstanceData
from quillon_transpiler.core.substitute.subs_poly import SubstitutedExpression
from quillon_transpiler.core.substitute.substitutable_expr.expression import (
    SubstitutableCondition,
    SubstitutableExpr,
)
from quillon_transpiler.core.substitute.substitutable_expr.variable import Element
from quillon_transpiler.core.var_registry import VarRegistry
from quillon_transpiler.exceptions import SubstituteError as SubstituteError

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.
    def _init(
        self: FoldOperator,
        index: Element,
        condition: SubstitutableCondition,
        operand: SubstitutableExpr,
        kind: ReductionOpeKind,
    ) -> None: ...
    def _substitute(self: FoldOperator, var_map: VarRegistry, instance_data: InstanceData) -> SubstitutedExpression: ...
    def _extract(self: FoldOperator, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]: ...
    def _str(self: FoldOperator) -> str: ...


class ReductionOpeKind(enum.Enum):
    SUM = enum.auto()
    PROD = enum.auto()


class FoldOperator(SubstitutableExpr):
    """The sum or product of ``operand`` over the values of ``index`` where ``condition`` holds."""

    def __init__(
        self, index: Element, condition: SubstitutableCondition, operand: SubstitutableExpr, kind: ReductionOpeKind
    ) -> None:
        _init(self, index, condition, operand, kind)

    def _substitute(self, var_map: VarRegistry, instance_data: InstanceData) -> SubstitutedExpression:
        return _substitute(self, var_map, instance_data)

    def extract(self, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]:
        return _extract(self, check)

    def __str__(self) -> str:
        return _str(self)
