"""quillon: a small modeling language for optimisation problems (import as `ql`)."""

from .conditions import (
    AndOp,
    Condition,
    EqualOp,
    GreaterThanEqualOp,
    GreaterThanOp,
    LessThanEqualOp,
    LessThanOp,
    NotEqualOp,
    OrOp,
    XorOp,
)
from .expressions import (
    AbsOp,
    AddOp,
    ArrayLength,
    BinaryVar,
    CeilOp,
    Element,
    Expression,
    FloorOp,
    IntegerVar,
    LnOp,
    Log2Op,
    Log10Op,
    MaxOp,
    MinOp,
    ModOp,
    MulOp,
    NumberLit,
    Placeholder,
    PowOp,
    ProdOp,
    Range,
    Subscript,
    SumOp,
)
from .functions import abs, ceil, floor, ln, log2, log10, max, min, prod, sum
from .problem import Constraint, CustomPenaltyTerm, Problem, ProblemSense
from .results import Evaluation, MeasuringTime, Record, SampleSet, to_dense

__all__ = [
    # expressions
    "Expression", "NumberLit", "Placeholder", "Range", "Element", "BinaryVar",
    "IntegerVar", "Subscript", "ArrayLength", "AddOp", "MulOp", "PowOp", "ModOp",
    "MaxOp", "MinOp", "LnOp", "Log2Op", "Log10Op", "CeilOp", "FloorOp", "AbsOp",
    "SumOp", "ProdOp",
    # conditions
    "Condition", "EqualOp", "NotEqualOp", "LessThanOp", "LessThanEqualOp",
    "GreaterThanOp", "GreaterThanEqualOp", "AndOp", "OrOp", "XorOp",
    # functions
    "max", "min", "ln", "log2", "log10", "ceil", "floor", "abs", "sum", "prod",
    # problems
    "Problem", "ProblemSense", "Constraint", "CustomPenaltyTerm",
    # results
    "Record", "Evaluation", "MeasuringTime", "SampleSet", "to_dense",
]
