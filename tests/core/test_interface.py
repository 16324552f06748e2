import copy
import dataclasses
import enum

import pytest

import quillon_transpiler.core as core
import quillon_transpiler.core.substitute as substitute
import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler.core.substitute.subs_poly import SubstitutedExpression as S
from quillon_transpiler.core.var_registry import IntegerBound, VarRegistry

PKG = "quillon_transpiler.core.substitute.substitutable_expr."


@pytest.mark.parametrize(
    "module, names, base",
    [
        (PKG + "variable", ["Variable"], se.SubstitutableExpr),
        (PKG + "variable", ["Element", "DecisionVariable", "Placeholder"], se.Variable),
        (PKG + "variable", ["Subscript", "ArrayLength"], se.SubstitutableExpr),
        (PKG + "pair_operator", ["PairOperator"], se.SubstitutableExpr),
        (PKG + "variadic_operator", ["MultipleOperator"], se.SubstitutableExpr),
        (PKG + "fold_operator", ["FoldOperator"], se.SubstitutableExpr),
    ],
)
def test_node_classes(module, names, base):
    for cls in (getattr(se, name) for name in names):
        assert cls.__module__ == module and cls.__bases__ == (base,) and not dataclasses.is_dataclass(cls)


@pytest.mark.parametrize(
    "kind, module, members",
    [
        (se.DecisionVarKind, "variable", ["BINARY", "INTEGER", "CONTINUOUS"]),
        (se.BinaryOpeKind, "pair_operator", ["POW", "MOD"]),
        (se.MultipleOpeKind, "variadic_operator", ["ADD", "MUL", "MAX", "MIN"]),
        (se.ReductionOpeKind, "fold_operator", ["SUM", "PROD"]),
    ],
)
def test_kind_enumerations(kind, module, members):
    assert kind.__module__ == PKG + module and kind.__bases__ == (enum.Enum,)
    assert [(m.name, m.value) for m in kind] == [(name, k + 1) for k, name in enumerate(members)]


def test_records_and_exports():
    assert S.__module__ == "quillon_transpiler.core.substitute.subs_poly"
    assert VarRegistry.__module__ == IntegerBound.__module__ == "quillon_transpiler.core.var_registry"
    assert substitute.SubstitutedExpression is S and core.VarRegistry is VarRegistry
    assert all(dataclasses.is_dataclass(cls) for cls in (S, VarRegistry, IntegerBound))
    reg = VarRegistry({"x": {(0,): 0}}, 1, {"x": {(0,): IntegerBound(0, 3)}})
    assert repr(S({(0,): 1}, 2, 1)) == "SubstitutedExpression(coeff={(0,): 1}, constant=2, order=1)"
    assert repr(reg) == (
        "VarRegistry(var_map={'x': {(0,): 0}}, var_num=1, integer_bound={'x': {(0,): IntegerBound(lower=0, upper=3)}})"
    )
    clone = copy.deepcopy(reg)
    clone.add_variable("y", ())
    assert clone != reg and reg.var_num == 1
