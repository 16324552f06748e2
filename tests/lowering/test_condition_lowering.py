import operator

import pytest

import quillon as ql
import quillon_transpiler.core.substitute.subs_lowering as lw
import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler.exceptions import SubstituteError

N = ql.Placeholder("N")
A = ql.Placeholder("A", 1)


def lower(cond, el_map=None):
    el_map = {} if el_map is None else el_map
    node, returned = lw.convert_to_subs_condition(cond, el_map)
    assert returned is el_map
    return node


def test_dispatch_table_and_none():
    registry = lw._convert_to_subs_condition.registry
    assert set(registry) == {
        object,
        type(None),
        ql.EqualOp,
        ql.LessThanEqualOp,
        ql.GreaterThanEqualOp,
        ql.NotEqualOp,
        ql.LessThanOp,
        ql.GreaterThanOp,
        ql.AndOp,
        ql.OrOp,
        ql.XorOp,
    }
    assert {handler.__name__ for cls, handler in registry.items() if cls is not object} == {"_"}
    el_map = {"i": se.Number(0)}
    assert type(lower(None, el_map)) is se.TrueCondition and len(el_map) == 1


# Greater comparisons come out as less ones with the sides swapped.
@pytest.mark.parametrize(
    "op, kind, swapped",
    [
        (operator.eq, se.ConstraintKind.EQUAL, False),
        (operator.le, se.ConstraintKind.LESSTHANEQUAL, False),
        (operator.ge, se.ConstraintKind.LESSTHANEQUAL, True),
        (operator.ne, se.OtherConstraintKind.NOTEQUAL, False),
        (operator.lt, se.OtherConstraintKind.LESSTHAN, False),
        (operator.gt, se.OtherConstraintKind.LESSTHAN, True),
    ],
)
def test_comparisons(op, kind, swapped):
    i = ql.Element("i", A)
    el_map = {}
    node = lower(op(N, i), el_map)
    node_cls = se.ConstraintCondition if type(kind) is se.ConstraintKind else se.OtherConstraintCondition
    assert type(node) is node_cls and node.kind is kind
    left, right = (node.right, node.left) if swapped else (node.left, node.right)
    assert left.name == "N" and right.subscripts == [el_map["i"]]


@pytest.mark.parametrize("combine, kind", [(operator.and_, "AND"), (operator.or_, "OR"), (operator.xor, "XOR")])
def test_logical_combinations_nest(combine, kind):
    node = lower(combine(N == 0, (N < 1) | (N > 2)))
    assert type(node) is se.ConditionOperator and node.kind is se.ConditionOperatorKind[kind]
    assert type(node.terms) is list and type(node.terms[0]) is se.ConstraintCondition
    assert node.terms[1].kind is se.ConditionOperatorKind.OR and len(node.terms[1].terms) == 2
    empty = ql.XorOp.__new__(ql.XorOp)
    empty.terms = []
    assert lower(empty).terms == []


def test_errors_are_prefixed_by_every_enclosing_node():
    with pytest.raises(SubstituteError) as info:
        lower(True)
    assert str(info.value) == "True -> Cannot convert <class 'bool'> to substitutable condition."
    side = N + 1
    side.terms[1] = ql.Range(0, 1)
    cond = (N == 0) & (side <= 3)
    with pytest.raises(SubstituteError) as info:
        lower(cond)
    assert str(info.value) == (
        f"{cond} -> {cond.terms[1]} -> {side} -> range(0, 1) -> Cannot convert {ql.Range} to substitutable expression."
    )
