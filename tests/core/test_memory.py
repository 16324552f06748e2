import gc
import sys
import tracemalloc

import numpy as np
import pytest
from core_helpers import N, binary

import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler.core import InstanceData, VarRegistry
from quillon_transpiler.core.substitute import SubstitutedExpression as S
from quillon_transpiler.exceptions import SubstituteError

WARM_UP, RUNS = 10_000, 100_000


class Scaled(se.SubstitutableExpr):
    """A node outside the package, substituted through its own hook."""

    def __init__(self, operand):
        super().__init__()
        self.operand = operand

    def _substitute(self, var_map, instance_data):
        poly = self.operand.substitute(var_map, instance_data)
        poly.mul(S({}, 2, 0))
        return poly


def make_tree():
    name = "".join(["co", "st"])
    c = se.Placeholder(name, 1)
    x = se.DecisionVariable.create_intvar("x", (N(3),), N(0), se.Placeholder("upper", 1))
    i = se.Element("i", N(0), se.ArrayLength(c, 0))
    keep = se.OtherConstraintCondition(i, N(1), kind=se.OtherConstraintKind.NOTEQUAL)
    term = se.MultipleOperator([se.Subscript(c, [i]), se.Subscript(x, [i])], se.MultipleOpeKind.MUL)
    y = binary("y")
    square = se.PairOperator(
        se.MultipleOperator([y, se.Placeholder("p", 0)], se.MultipleOpeKind.ADD), N(2.0), se.BinaryOpeKind.POW
    )
    tree = se.MultipleOperator(
        [
            se.FoldOperator(i, keep, term, se.ReductionOpeKind.SUM),
            square,
            Scaled(y),
            se.UnaryOperator(N(2.5), se.UnaryOpeKind.CEIL),
            se.PairOperator(N(7), N(3), se.BinaryOpeKind.MOD),
            se.MultipleOperator([N(1), se.Placeholder("p", 0)], se.MultipleOpeKind.MAX),
        ],
        se.MultipleOpeKind.ADD,
    )
    data = InstanceData(
        {name: np.array([1.0, 2.0, 3.0]), "upper": np.array([4, 5, 6]), "p": 1.5},
        {"z": {(): 1}},
        [name, "upper", "p"],
        indices={},
    )
    return tree, data


def traced_after(step, count):
    for _ in range(count):
        step()
    gc.collect()
    return tracemalloc.get_traced_memory()[0]


def growth(step, runs):
    traced_after(step, WARM_UP)
    tracemalloc.start()
    try:
        before = traced_after(step, 1000)
        return traced_after(step, runs) - before
    finally:
        tracemalloc.stop()


def shared_registry():
    tree, data = make_tree()
    reg = VarRegistry({}, 0, {})
    return lambda: tree.substitute(reg, data)


def fresh_registry():
    tree, data = make_tree()
    return lambda: tree.substitute(VarRegistry({}, 0, {}), data)


def raising():
    tree, data = make_tree()
    bad_index = se.MultipleOperator([tree, se.Subscript(se.Placeholder("upper", 1), [N(5)])], se.MultipleOpeKind.ADD)
    bad_max = se.MultipleOperator([N(1), binary("y")], se.MultipleOpeKind.MAX)
    reg = VarRegistry({}, 0, {})

    def step():
        for node in (bad_index, bad_max):
            try:
                node.substitute(reg, data)
            except SubstituteError:
                pass
        try:
            S({(0,): 1}, 1, 1).power(-1)
        except SubstituteError:
            pass

    return step


def polynomial_ops():
    base = S({(0,): 1, (1,): 2.5}, np.float64(1.0), 1)

    def step():
        poly = S(dict(base.coeff), base.constant, base.order)
        poly.power(3)
        poly.add(base)
        S.from_serializable(poly.to_serializable())

    return step


@pytest.mark.parametrize(
    "scenario, runs",
    [(shared_registry, RUNS), (fresh_registry, RUNS // 5), (raising, RUNS // 10), (polynomial_ops, RUNS // 10)],
)
def test_repeated_work_does_not_grow_memory(scenario, runs):
    # one leaked object per run would show as at least runs * 16 bytes
    assert growth(scenario(), runs) < 16 * 1024


def test_substitution_keeps_no_references():
    tree, data = make_tree()
    reg = VarRegistry({}, 0, {})
    tree.substitute(reg, data)
    watched = [
        tree,
        data,
        reg,
        data.instance,
        data.indices,
        data.fixed_variables,
        reg.var_map,
        *data.instance.values(),
        *data.instance.keys(),
        tree.operands[3].operand.value,
    ]
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(1000):
        tree.substitute(reg, data)
    assert [sys.getrefcount(obj) for obj in watched] == before
