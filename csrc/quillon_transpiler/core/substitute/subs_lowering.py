from __future__ import annotations

import typing as typ
from functools import singledispatch

import quillon as ql
import quillon_transpiler.core.substitute.substitutable_expr as subs_expr
from quillon_transpiler.exceptions import SubstituteError as SubstituteError

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes. Each handler takes a
    # quillon node and the element map, and returns the tree node beside the updated map.
    ElementMap = dict[str, subs_expr.Element]

    def _is_scalar(expr: typ.Any) -> bool: ...
    def _convert_expr(expr: typ.Any, el_map: ElementMap) -> tuple[subs_expr.SubstitutableExpr, ElementMap]: ...
    def _cannot_convert_expr(expr: typ.Any, el_map: ElementMap) -> typ.NoReturn: ...
    def _lower_number(expr: ql.NumberLit, el_map: ElementMap) -> tuple[subs_expr.Number, ElementMap]: ...
    def _lower_element(
        expr: ql.Element, el_map: ElementMap
    ) -> tuple[subs_expr.Element | subs_expr.Subscript, ElementMap]: ...
    def _lower_multiple(
        expr: ql.AddOp | ql.MulOp | ql.MaxOp | ql.MinOp, el_map: ElementMap
    ) -> tuple[subs_expr.MultipleOperator, ElementMap]: ...
    def _lower_unary(
        expr: ql.LnOp | ql.Log2Op | ql.Log10Op | ql.CeilOp | ql.FloorOp | ql.AbsOp, el_map: ElementMap
    ) -> tuple[subs_expr.UnaryOperator, ElementMap]: ...
    def _lower_pair(expr: ql.ModOp | ql.PowOp, el_map: ElementMap) -> tuple[subs_expr.PairOperator, ElementMap]: ...
    def _lower_fold(expr: ql.SumOp | ql.ProdOp, el_map: ElementMap) -> tuple[subs_expr.FoldOperator, ElementMap]: ...
    def _lower_subscript(expr: ql.Subscript, el_map: ElementMap) -> tuple[subs_expr.Subscript, ElementMap]: ...
    def _lower_placeholder(expr: ql.Placeholder, el_map: ElementMap) -> tuple[subs_expr.Placeholder, ElementMap]: ...
    def _lower_array_length(expr: ql.ArrayLength, el_map: ElementMap) -> tuple[subs_expr.ArrayLength, ElementMap]: ...
    def _lower_decision_var(
        expr: ql.BinaryVar | ql.IntegerVar, el_map: ElementMap
    ) -> tuple[subs_expr.DecisionVariable, ElementMap]: ...
    def _convert_condition(
        condition: typ.Any, el_map: ElementMap
    ) -> tuple[subs_expr.SubstitutableCondition, ElementMap]: ...
    def _cannot_convert_condition(condition: typ.Any, el_map: ElementMap) -> typ.NoReturn: ...
    def _lower_true(condition: None, el_map: ElementMap) -> tuple[subs_expr.TrueCondition, ElementMap]: ...
    def _lower_constraint(
        condition: ql.EqualOp | ql.LessThanEqualOp | ql.GreaterThanEqualOp, el_map: ElementMap
    ) -> tuple[subs_expr.ConstraintCondition, ElementMap]: ...
    def _lower_other_constraint(
        condition: ql.NotEqualOp | ql.LessThanOp | ql.GreaterThanOp, el_map: ElementMap
    ) -> tuple[subs_expr.OtherConstraintCondition, ElementMap]: ...
    def _lower_logical(
        condition: ql.AndOp | ql.OrOp | ql.XorOp, el_map: ElementMap
    ) -> tuple[subs_expr.ConditionOperator, ElementMap]: ...


# Classes whose instances may be arrays; everything else stands for a single value.
VariableTypes = (ql.Element, ql.BinaryVar, ql.IntegerVar, ql.Subscript, ql.Placeholder)


def is_scalar(expr) -> bool:
    """Whether a quillon object stands for a single value (``ndim`` 0, or not an array kind)."""
    return _is_scalar(expr)


def convert_to_substitutable(
    expr, el_map: dict[str, subs_expr.Element]
) -> tuple[subs_expr.SubstitutableExpr, dict[str, subs_expr.Element]]:
    """Lower a quillon expression into an expression tree.

    ``el_map`` maps index-element names to their tree ``Element`` nodes; it is updated in place
    and returned beside the tree. A SubstituteError is re-raised prefixed with ``str(expr)``.
    """
    return _convert_expr(expr, el_map)


@singledispatch
def _convert_to_substitutable(
    expr, el_map: dict[str, subs_expr.Element]
) -> tuple[subs_expr.SubstitutableExpr, dict[str, subs_expr.Element]]:
    return _cannot_convert_expr(expr, el_map)


# Stacked decorators apply bottom-up: each row registers its classes in the listed order.
@_convert_to_substitutable.register(ql.NumberLit)
def _(
    expr: ql.NumberLit, el_map: dict[str, subs_expr.Element]
) -> tuple[subs_expr.Number, dict[str, subs_expr.Element]]:
    return _lower_number(expr, el_map)


@_convert_to_substitutable.register(ql.Element)
def _(
    expr: ql.Element, el_map: dict[str, subs_expr.Element]
) -> tuple[typ.Union[subs_expr.Element, subs_expr.Subscript], dict[str, subs_expr.Element]]:
    return _lower_element(expr, el_map)


@_convert_to_substitutable.register(ql.MinOp)
@_convert_to_substitutable.register(ql.MaxOp)
@_convert_to_substitutable.register(ql.MulOp)
@_convert_to_substitutable.register(ql.AddOp)
def _(
    expr: typ.Union[ql.AddOp, ql.MulOp], el_map: dict[str, subs_expr.Element]
) -> tuple[subs_expr.MultipleOperator, dict[str, subs_expr.Element]]:
    return _lower_multiple(expr, el_map)


@_convert_to_substitutable.register(ql.AbsOp)
@_convert_to_substitutable.register(ql.FloorOp)
@_convert_to_substitutable.register(ql.CeilOp)
@_convert_to_substitutable.register(ql.Log10Op)
@_convert_to_substitutable.register(ql.Log2Op)
@_convert_to_substitutable.register(ql.LnOp)
def _(
    expr: typ.Union[ql.LnOp, ql.Log2Op, ql.Log10Op, ql.CeilOp, ql.FloorOp, ql.AbsOp],
    el_map: dict[str, subs_expr.Element],
) -> tuple[subs_expr.UnaryOperator, dict[str, subs_expr.Element]]:
    return _lower_unary(expr, el_map)


@_convert_to_substitutable.register(ql.PowOp)
@_convert_to_substitutable.register(ql.ModOp)
def _(
    expr: typ.Union[ql.ModOp, ql.PowOp], el_map: dict[str, subs_expr.Element]
) -> tuple[subs_expr.PairOperator, dict[str, subs_expr.Element]]:
    return _lower_pair(expr, el_map)


@_convert_to_substitutable.register(ql.ProdOp)
@_convert_to_substitutable.register(ql.SumOp)
def _(
    expr: typ.Union[ql.SumOp, ql.ProdOp], el_map: dict[str, subs_expr.Element]
) -> tuple[subs_expr.FoldOperator, dict[str, subs_expr.Element]]:
    return _lower_fold(expr, el_map)


@_convert_to_substitutable.register(ql.Subscript)
def _(
    expr: ql.Subscript, el_map: dict[str, subs_expr.Element]
) -> tuple[subs_expr.Subscript, dict[str, subs_expr.Element]]:
    return _lower_subscript(expr, el_map)


@_convert_to_substitutable.register(ql.Placeholder)
def _(
    expr: ql.Placeholder, el_map: dict[str, subs_expr.Element]
) -> tuple[subs_expr.Placeholder, dict[str, subs_expr.Element]]:
    return _lower_placeholder(expr, el_map)


@_convert_to_substitutable.register(ql.ArrayLength)
def _(
    expr: ql.ArrayLength, el_map: dict[str, subs_expr.Element]
) -> tuple[subs_expr.ArrayLength, dict[str, subs_expr.Element]]:
    return _lower_array_length(expr, el_map)


@_convert_to_substitutable.register(ql.IntegerVar)
@_convert_to_substitutable.register(ql.BinaryVar)
def _(
    expr: typ.Union[ql.BinaryVar, ql.IntegerVar], el_map: dict[str, subs_expr.Element]
) -> tuple[subs_expr.DecisionVariable, dict[str, subs_expr.Element]]:
    return _lower_decision_var(expr, el_map)


def convert_to_subs_condition(
    expr, el_map: dict[str, subs_expr.Element]
) -> tuple[subs_expr.SubstitutableCondition, dict[str, subs_expr.Element]]:
    """Lower a quillon condition (or None, for no condition) into a condition node.

    Shares ``el_map`` and the error prefixing of ``convert_to_substitutable``.
    """
    return _convert_condition(expr, el_map)


@singledispatch
def _convert_to_subs_condition(
    expr, el_map: dict[str, subs_expr.Element]
) -> tuple[subs_expr.SubstitutableCondition, dict[str, subs_expr.Element]]:
    return _cannot_convert_condition(expr, el_map)


@_convert_to_subs_condition.register(type(None))
def _(condition, el_map: dict[str, subs_expr.Element]) -> tuple[subs_expr.TrueCondition, dict[str, subs_expr.Element]]:
    return _lower_true(condition, el_map)


@_convert_to_subs_condition.register(ql.GreaterThanEqualOp)
@_convert_to_subs_condition.register(ql.LessThanEqualOp)
@_convert_to_subs_condition.register(ql.EqualOp)
def _(
    condition: typ.Union[ql.EqualOp, ql.LessThanEqualOp, ql.GreaterThanEqualOp],
    el_map: dict[str, subs_expr.Element],
) -> tuple[subs_expr.ConstraintCondition, dict[str, subs_expr.Element]]:
    return _lower_constraint(condition, el_map)


@_convert_to_subs_condition.register(ql.GreaterThanOp)
@_convert_to_subs_condition.register(ql.LessThanOp)
@_convert_to_subs_condition.register(ql.NotEqualOp)
def _(
    condition: typ.Union[ql.NotEqualOp, ql.LessThanOp, ql.GreaterThanOp],
    el_map: dict[str, subs_expr.Element],
) -> tuple[subs_expr.OtherConstraintCondition, dict[str, subs_expr.Element]]:
    return _lower_other_constraint(condition, el_map)


@_convert_to_subs_condition.register(ql.XorOp)
@_convert_to_subs_condition.register(ql.OrOp)
@_convert_to_subs_condition.register(ql.AndOp)
def _(
    condition: typ.Union[ql.AndOp, ql.OrOp, ql.XorOp], el_map: dict[str, subs_expr.Element]
) -> tuple[subs_expr.ConditionOperator, dict[str, subs_expr.Element]]:
    return _lower_logical(condition, el_map)


# What the native lowering may run in place of the entries and handlers (see subs_lowering.cpp):
# the entries as imported, and the native each handler registered above calls.
_IMPORTED = (convert_to_substitutable, _convert_expr, _convert_to_substitutable)
_NATIVE_OF = {
    _convert_to_substitutable.registry[cls]: native
    for cls, native in (
        (ql.NumberLit, _lower_number),
        (ql.Element, _lower_element),
        (ql.AddOp, _lower_multiple),
        (ql.LnOp, _lower_unary),
        (ql.ModOp, _lower_pair),
        (ql.SumOp, _lower_fold),
        (ql.Subscript, _lower_subscript),
        (ql.Placeholder, _lower_placeholder),
        (ql.ArrayLength, _lower_array_length),
        (ql.BinaryVar, _lower_decision_var),
    )
}
