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
    Check = typ.Callable[[SubstitutableExpr], bool]

    def _variable_init(self: Variable, name: str, ndim: int) -> None: ...
    def _variable_extract(self: Variable, check: Check) -> list[SubstitutableExpr]: ...
    def _variable_str(self: Variable) -> str: ...
    def _element_init(self: Element, name: str, start: SubstitutableExpr, end: SubstitutableExpr) -> None: ...
    def _element_substitute(
        self: Element, var_map: VarRegistry, instance_data: InstanceData
    ) -> SubstitutedExpression: ...
    def _element_index_values(self: Element, var_map: VarRegistry, instance_data: InstanceData) -> range: ...
    def _element_extract(self: Element, check: Check) -> list[SubstitutableExpr]: ...
    def _decvar_init(
        self: DecisionVariable,
        name: str,
        shape: tuple[SubstitutableExpr, ...],
        kind: DecisionVarKind,
        lower: SubstitutableExpr,
        upper: SubstitutableExpr,
    ) -> None: ...

    # cls(name, shape, kind, lower=lower, upper=upper) after checking name and shape
    def _create_var(
        cls: type[DecisionVariable],
        name: str,
        shape: tuple[SubstitutableExpr, ...],
        kind: DecisionVarKind,
        lower: SubstitutableExpr,
        upper: SubstitutableExpr,
    ) -> DecisionVariable: ...
    def _decvar_substitute(
        self: DecisionVariable, var_map: VarRegistry, instance_data: InstanceData
    ) -> SubstitutedExpression: ...
    def _decvar_extract(self: DecisionVariable, check: Check) -> list[SubstitutableExpr]: ...
    def _placeholder_substitute(
        self: Placeholder, var_map: VarRegistry, instance_data: InstanceData
    ) -> SubstitutedExpression: ...
    def _placeholder_getitem(self: Placeholder, subscript: SubstitutableExpr) -> Subscript: ...
    def _subscript_init(
        self: Subscript, variable: DecisionVariable | Placeholder, subscripts: list[SubstitutableExpr]
    ) -> None: ...
    def _subscript_getitem(self: Subscript, subscript: SubstitutableExpr) -> Subscript: ...
    def _subscript_substitute(
        self: Subscript, var_map: VarRegistry, instance_data: InstanceData
    ) -> SubstitutedExpression: ...
    def _subscript_extract(self: Subscript, check: Check) -> list[SubstitutableExpr]: ...
    def _subscript_str(self: Subscript) -> str: ...
    def _arraylength_init(self: ArrayLength, array: Placeholder | Subscript | DecisionVariable, axis: int) -> None: ...
    def _arraylength_substitute(
        self: ArrayLength, var_map: VarRegistry, instance_data: InstanceData
    ) -> SubstitutedExpression: ...
    def _arraylength_extract(self: ArrayLength, check: Check) -> list[SubstitutableExpr]: ...


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
