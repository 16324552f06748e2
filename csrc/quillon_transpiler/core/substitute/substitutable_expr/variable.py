from __future__ import annotations

import enum
import typing as typ

from quillon_transpiler.core.instance_data import InstanceData
from quillon_transpiler.core.substitute.subs_poly import SubstitutedExpression
from quillon_transpiler.core.substitute.substitutable_expr.expression import Number, SubstitutableExpr
from quillon_transpiler.core.var_registry import VarRegistry
from quillon_transpiler.exceptions import SubstituteError as SubstituteError

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.
    _variable_init: typ.Any = ...
    _variable_extract: typ.Any = ...
    _variable_str: typ.Any = ...
    _element_init: typ.Any = ...
    _element_substitute: typ.Any = ...
    _element_index_values: typ.Any = ...
    _element_extract: typ.Any = ...
    _decvar_init: typ.Any = ...
    _create_var: typ.Any = ...
    _decvar_substitute: typ.Any = ...
    _decvar_extract: typ.Any = ...
    _placeholder_substitute: typ.Any = ...
    _placeholder_getitem: typ.Any = ...
    _subscript_init: typ.Any = ...
    _subscript_getitem: typ.Any = ...
    _subscript_substitute: typ.Any = ...
    _subscript_extract: typ.Any = ...
    _subscript_str: typ.Any = ...
    _arraylength_init: typ.Any = ...
    _arraylength_substitute: typ.Any = ...
    _arraylength_extract: typ.Any = ...


class Variable(SubstitutableExpr):
    """A named leaf: placeholder, index element or decision variable."""

    ndim: int

    def __init__(self, name: str, ndim: int) -> None:
        _variable_init(self, name, ndim)

    def extract(self, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]:
        return _variable_extract(self, check)

    def __str__(self) -> str:
        return _variable_str(self)


class Element(Variable):
    """An index element running over the integers from ``start`` up to, not including, ``end``."""

    def __init__(self, name: str, start: SubstitutableExpr, end: SubstitutableExpr) -> None:
        _element_init(self, name, start, end)

    def _substitute(self, var_map: VarRegistry, instance_data: InstanceData) -> SubstitutedExpression:
        return _element_substitute(self, var_map, instance_data)

    def get_index_values(self, var_map: VarRegistry, instance_data: InstanceData) -> typ.Iterable[int]:
        """The integers of the element's range for the current data."""
        return _element_index_values(self, var_map, instance_data)

    def extract(self, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]:
        return _element_extract(self, check)


class DecisionVarKind(enum.Enum):
    BINARY = enum.auto()
    INTEGER = enum.auto()
    CONTINUOUS = enum.auto()


class DecisionVariable(Variable):
    """A decision variable with a shape and bound expressions."""

    def __init__(
        self,
        name: str,
        shape: tuple[SubstitutableExpr, ...],
        kind: DecisionVarKind,
        lower: SubstitutableExpr,
        upper: SubstitutableExpr,
    ) -> None:
        _decvar_init(self, name, shape, kind, lower, upper)

    @classmethod
    def create_binaryvar(cls, name: str, shape: tuple[SubstitutableExpr, ...]) -> DecisionVariable:
        return _create_var(cls, name, shape, DecisionVarKind.BINARY, Number(0), Number(1))

    @classmethod
    def create_intvar(
        cls, name: str, shape: tuple[SubstitutableExpr, ...], lower: SubstitutableExpr, upper: SubstitutableExpr
    ) -> DecisionVariable:
        return _create_var(cls, name, shape, DecisionVarKind.INTEGER, lower, upper)

    @classmethod
    def create_contvar(
        cls, name: str, shape: tuple[SubstitutableExpr, ...], lower: SubstitutableExpr, upper: SubstitutableExpr
    ) -> DecisionVariable:
        return _create_var(cls, name, shape, DecisionVarKind.CONTINUOUS, lower, upper)

    def _substitute(self, var_map: VarRegistry, instance_data: InstanceData) -> SubstitutedExpression:
        return _decvar_substitute(self, var_map, instance_data)

    def extract(self, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]:
        return _decvar_extract(self, check)


class Placeholder(Variable):
    """Named instance data: an array or a number."""

    def __init__(self, name: str, ndim: int) -> None:
        _variable_init(self, name, ndim)

    def _substitute(self, var_map: VarRegistry, instance_data: InstanceData) -> SubstitutedExpression:
        return _placeholder_substitute(self, var_map, instance_data)

    def __getitem__(self, subscript: SubstitutableExpr) -> Subscript:
        return _placeholder_getitem(self, subscript)


class Subscript(SubstitutableExpr):
    """An indexed placeholder or decision variable."""

    def __init__(self, variable: typ.Union[DecisionVariable, Placeholder], subscripts: list[SubstitutableExpr]) -> None:
        _subscript_init(self, variable, subscripts)

    def __getitem__(self, subscript: SubstitutableExpr) -> Subscript:
        return _subscript_getitem(self, subscript)

    def _substitute(self, var_map: VarRegistry, instance_data: InstanceData) -> SubstitutedExpression:
        return _subscript_substitute(self, var_map, instance_data)

    def extract(self, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]:
        return _subscript_extract(self, check)

    def __str__(self) -> str:
        return _subscript_str(self)


class ArrayLength(SubstitutableExpr):
    """The length of a placeholder, or of a sub-array of one, along an axis."""

    def __init__(self, array: typ.Union[Placeholder, Subscript, DecisionVariable], axis: int) -> None:
        _arraylength_init(self, array, axis)

    def _substitute(self, var_map: VarRegistry, instance_data: InstanceData) -> SubstitutedExpression:
        return _arraylength_substitute(self, var_map, instance_data)

    def extract(self, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]:
        return _arraylength_extract(self, check)
