"""Expression trees: the intermediate form of model expressions, substituted against data."""

# isort: off
# base and leaf nodes first, then the operators built on them
from quillon_transpiler.core.substitute.substitutable_expr.expression import (
    ConditionOperator,
    ConditionOperatorKind,
    ConstraintCondition,
    ConstraintKind,
    Number,
    OtherConstraintCondition,
    OtherConstraintKind,
    SubstitutableCondition,
    SubstitutableExpr,
    TrueCondition,
    UnaryOperator,
    UnaryOpeKind,
)
from quillon_transpiler.core.substitute.substitutable_expr.variable import (
    ArrayLength,
    DecisionVariable,
    DecisionVarKind,
    Element,
    Placeholder,
    Subscript,
    Variable,
)
from quillon_transpiler.core.substitute.substitutable_expr.pair_operator import BinaryOpeKind, PairOperator
from quillon_transpiler.core.substitute.substitutable_expr.variadic_operator import (
    MultipleOperator,
    MultipleOpeKind,
)
from quillon_transpiler.core.substitute.substitutable_expr.fold_operator import FoldOperator, ReductionOpeKind
# isort: on

__all__ = [
    "ArrayLength",
    "BinaryOpeKind",
    "ConditionOperator",
    "ConditionOperatorKind",
    "ConstraintCondition",
    "ConstraintKind",
    "DecisionVariable",
    "DecisionVarKind",
    "Element",
    "FoldOperator",
    "MultipleOperator",
    "MultipleOpeKind",
    "Number",
    "OtherConstraintCondition",
    "OtherConstraintKind",
    "PairOperator",
    "Placeholder",
    "ReductionOpeKind",
    "Subscript",
    "SubstitutableCondition",
    "SubstitutableExpr",
    "TrueCondition",
    "UnaryOperator",
    "UnaryOpeKind",
    "Variable",
]
