"""The C++ engine takes shortcuts (cached bindings, folded products, a registry cache); these
cases pin down where a shortcut could differ from step-by-step substitution."""

import numpy as np
import pytest

import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler.core import InstanceData, VarRegistry

T = se.TrueCondition()
SUM, PROD = se.ReductionOpeKind.SUM, se.ReductionOpeKind.PROD
ADD, MUL = se.MultipleOpeKind.ADD, se.MultipleOpeKind.MUL


def N(v):
    return se.Number(v)


def data(**instance):
    return InstanceData(instance, {}, list(instance), indices={})


def test_nested_fold_rebinds_an_equal_name_held_in_another_string():
    outer = se.Element("idx", N(0), N(3))
    inner = se.Element("".join(["id", "x"]), N(10), N(12))
    tree = se.FoldOperator(outer, T, se.MultipleOperator([se.FoldOperator(inner, T, inner, SUM), outer], ADD), SUM)
    # the inner fold leaves idx at 11, which the outer operand then reads: 3 * (21 + 11)
    assert tree.substitute(VarRegistry({}, 0, {}), data()).constant == 96


@pytest.mark.parametrize(
    "tree",
    [
        se.MultipleOperator([se.Placeholder("A", 1), N(2)], MUL),
        se.MultipleOperator(
            [se.MultipleOperator([se.DecisionVariable.create_binaryvar("x", ()), se.Placeholder("A", 1)], ADD), N(2)],
            MUL,
        ),
        se.FoldOperator(se.Element("k", N(0), N(2)), T, se.Placeholder("A", 1), PROD),
    ],
)
def test_products_test_array_constants_against_zero(tree):
    with pytest.raises(ValueError, match="ambiguous"):
        tree.substitute(VarRegistry({}, 0, {}), data(A=np.array([1.0, 2.0])))


def test_every_operand_is_substituted_before_an_arithmetic_error():
    x = se.DecisionVariable.create_binaryvar("x", ())
    registry = VarRegistry({}, 0, {})
    with pytest.raises(TypeError):
        se.MultipleOperator([N("a"), N(1), x], ADD).substitute(registry, data())
    assert registry.var_map == {"x": {(): 0}}


def test_integer_bounds_become_arrays_before_either_is_indexed():
    y = se.DecisionVariable.create_intvar("y", (N(3),), se.Placeholder("L", 1), se.Element("e", N(0), N(1)))
    with pytest.raises(KeyError, match="e"):
        se.Subscript(y, [N(2)]).substitute(VarRegistry({}, 0, {}), data(L=np.zeros(2)))


def test_a_registry_subclass_sees_every_occurrence():
    calls = []

    class Counting(VarRegistry):
        def add_variable(self, label, subscripts):
            calls.append((label, subscripts))
            return super().add_variable(label, subscripts)

    x = se.DecisionVariable.create_binaryvar("x", (N(3),))
    tree = se.MultipleOperator([se.Subscript(x, [N(2)]), se.Subscript(x, [N(2)])], ADD)
    poly = tree.substitute(Counting({}, 0, {}), data())
    assert calls == [("x", (2,)), ("x", (2,))] and poly.coeff == {(0,): 2}


def test_an_unbound_element_is_a_key_error_that_says_what_to_do():
    from quillon_transpiler.exceptions import SubstituteError

    with pytest.raises(KeyError) as info:
        se.Element("i", N(0), N(2)).substitute(VarRegistry({}, 0, {}), data())
    assert info.value.args == ("i",) and isinstance(info.value, SubstituteError)
    assert "forall" in str(info.value)


@pytest.mark.no_sanitizer
def test_a_very_deep_tree_is_a_recursion_error_not_a_crash():
    tree = N(1)
    for _ in range(100_000):
        tree = se.MultipleOperator([tree, N(1)], ADD)
    with pytest.raises(RecursionError):
        tree.substitute(VarRegistry({}, 0, {}), data())
