from __future__ import annotations

import dataclasses
import typing as typ

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.
    def _add_variable(self: VarRegistry, label: str, subscripts: tuple[int, ...]) -> int: ...
    def _add_int_variable(
        self: VarRegistry, label: str, subscripts: tuple[int, ...], lower: typ.Any, upper: typ.Any
    ) -> int: ...
    def _to_serializable(self: VarRegistry) -> dict[str, typ.Any]: ...

    # Always a VarRegistry, whatever class it is called on.
    def _from_serializable(cls: type[VarRegistry], data: dict[str, typ.Any]) -> VarRegistry: ...


@dataclasses.dataclass
class IntegerBound:
    """Lower and upper bound of an integer decision variable."""

    lower: int | float
    upper: int | float


@dataclasses.dataclass
class VarRegistry:
    """Dense indices of decision variables, by label and subscript tuple.

    Indices are handed out 0, 1, 2, ... in order of first registration; ``var_num`` is the
    next free index. Integer variables also keep their bounds in ``integer_bound``.
    """

    var_map: dict[str, dict[tuple[int, ...], int]]
    var_num: int
    integer_bound: dict[str, dict[tuple[int, ...], IntegerBound]]

    def add_variable(self, label: str, subscripts: tuple[int, ...]) -> int:
        """The index of variable ``label[subscripts]``, registering it when new."""
        return _add_variable(self, label, subscripts)

    def add_int_variable(self, label, subscripts, lower, upper) -> int:
        """As ``add_variable``, also storing (replacing) the variable's bounds."""
        return _add_int_variable(self, label, subscripts, lower, upper)

    def to_serializable(self) -> dict:
        """A plain dict (JSON-ready) holding the registry."""
        return _to_serializable(self)

    @classmethod
    def from_serializable(cls, data: dict) -> VarRegistry:
        """The registry held by a dict made by ``to_serializable``."""
        return _from_serializable(cls, data)
