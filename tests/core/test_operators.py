import math

import numpy as np
import pytest
from core_helpers import EVERYTHING, Given, N, binary, lin, snapshot

import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler.core.substitute import SubstitutedExpression as S
from quillon_transpiler.exceptions import SubstituteError

POW, MOD = se.BinaryOpeKind.POW, se.BinaryOpeKind.MOD
ADD, MUL, MAX, MIN = se.MultipleOpeKind.ADD, se.MultipleOpeKind.MUL, se.MultipleOpeKind.MAX, se.MultipleOpeKind.MIN
SUM, PROD = se.ReductionOpeKind.SUM, se.ReductionOpeKind.PROD


def test_pair_strings_and_extract():
    x, i = se.Placeholder("x", 0), se.Element("i", N(0), N(3))
    node = se.PairOperator(left=x, right=N(2), kind=POW)
    assert (node.left, node.right.value, node.kind) == (x, 2, POW)
    assert [str(node), str(se.PairOperator(i, N(2), MOD)), str(se.PairOperator(node, N(3), MOD))] == [
        "(x POW 2)",
        "(i MOD 2)",
        "((x POW 2) MOD 3)",
    ]
    nested = se.PairOperator(node, se.PairOperator(i, x, MOD), MOD)
    assert nested.extract(EVERYTHING) == [nested, node, x, node.right, nested.right, i, i.start, i.end, x]
    assert nested.extract(lambda n: False) == []


@pytest.mark.parametrize(
    "kind, left, right, expected",
    [
        (MOD, 7, 3, 1.0),
        (MOD, -7, 3, 2.0),
        (MOD, 7, -3, -2.0),
        (MOD, -7.0, -3.0, -1.0),
        (MOD, 7.5, 2, 1.5),
        (POW, -2.0, 5.0, -32.0),
        (POW, 2.0, 0.5, math.sqrt(2)),
        (POW, 0.0, 2.0, 0.0),
        (POW, 5, 0, 1.0),
        (POW, np.float64(3), True, 3.0),
        (POW, 10.0, 400.0, math.inf),
        (POW, -10.0, 401.0, -math.inf),
        (POW, 0.0, -1.0, math.inf),
    ],
)
def test_pair_operation(kind, left, right, expected):
    value = se.PairOperator(N(0), N(0), kind).operation(left, right)
    assert type(value) is float and value == pytest.approx(expected)


@pytest.mark.parametrize(
    "left, right, sign", [(-6.0, 3.0, -1.0), (6.0, -3.0, 1.0), (-0.0, 2.0, -1.0), (0.0, -2.0, 1.0)]
)
def test_pair_remainder_zero_keeps_the_dividend_sign(left, right, sign):
    value = se.PairOperator(N(0), N(0), MOD).operation(left, right)
    assert value == 0.0 and math.copysign(1.0, value) == sign


def test_pair_operation_complex_and_errors():
    power = se.PairOperator(N(0), N(0), POW)
    root = power.operation(-8.0, 1 / 3)
    assert type(root) is complex and root == pytest.approx(2 * complex(math.cos(math.pi / 3), math.sin(math.pi / 3)))
    with pytest.raises(ZeroDivisionError, match=r"^float divmod\(\)$"):
        se.PairOperator(N(0), N(0), MOD).operation(5.0, -0.0)
    with pytest.raises(TypeError):
        power.operation("2", 1)
    with pytest.raises(NotImplementedError):
        se.PairOperator(N(0), N(0), ADD).operation(1, 2)


def test_pair_substitute(reg, make_data):
    assert snapshot(se.PairOperator(lin("x", 1), N(2.0), POW).substitute(reg, make_data())) == (
        [((0,), 2), ((0, 0), 1)],
        1,
        2,
    )
    assert snapshot(se.PairOperator(N(2), N(-1), POW).substitute(reg, make_data())) == ([], 0.5, 0)
    for left, right, expected in [(-7, 3, 2), (7.5, -2, -0.5), (np.int64(-7), 3, 2), (2**70 + 1, 2**70, 1)]:
        poly = se.PairOperator(N(left), N(right), MOD).substitute(reg, make_data())
        assert snapshot(poly) == ([], expected, 0) and type(poly.constant) is type(left % right)
    with pytest.raises(ZeroDivisionError):
        se.PairOperator(N(1), N(0), MOD).substitute(reg, make_data())
    with pytest.raises(SubstituteError, match=r"^Cannot raise a polynomial with variables to the power 0\.5: "):
        se.PairOperator(binary("x"), N(0.5), POW).substitute(reg, make_data())


@pytest.mark.parametrize(
    "left, right, kind, message",
    [
        (N(2), lin("y", 2), POW, "The exponent of POW must not contain decision variables."),
        (lin("x", 1), lin("y", 2), POW, "The exponent of POW must not contain decision variables."),
        (lin("x", 7), N(3), MOD, "MOD needs operands without decision variables."),
        (N(7), lin("y", 3), MOD, "MOD needs operands without decision variables."),
        (lin("x", 1), lin("y", 2), ADD, "Unknown BinaryOpeKind"),
    ],
)
def test_pair_rejections_after_both_sides(reg, make_data, left, right, kind, message):
    with pytest.raises(SubstituteError) as info:
        se.PairOperator(left, right, kind).substitute(reg, make_data())
    assert str(info.value) == message
    assert list(reg.var_map) == [n for n in ("x", "y") if n in str(left) + str(right)]


def test_multiple_strings_and_extract():
    a, b, c = (se.Placeholder(n, 0) for n in "abc")
    operands = [a, b, c]
    node = se.MultipleOperator(operands, ADD)
    assert node.operands is operands and node.kind is ADD
    assert [
        str(node),
        str(se.MultipleOperator([a, b, c], MUL)),
        str(se.MultipleOperator([], ADD)),
        str(se.MultipleOperator([a, b], MAX)),
        str(se.MultipleOperator([a, se.MultipleOperator([b, c], MUL)], MIN)),
        str(se.MultipleOperator([], MAX)),
    ] == ["(a+b+c)", "(a*b*c)", "()", "MAX(a, b)", "MIN(a, (b*c))", "MAX()"]
    inner = se.MultipleOperator([b, c], MUL)
    outer = se.MultipleOperator([a, inner, c], MAX)
    assert outer.extract(EVERYTHING) == [outer, a, inner, b, c, c]
    assert outer.extract(lambda n: np.bool_(n is c)) == [c, c] and outer.extract(lambda n: "y" if n is b else "") == [b]
    with pytest.raises(ZeroDivisionError):
        outer.extract(lambda n: 1 / 0)


@pytest.mark.parametrize(
    "build, message",
    [
        (
            lambda: se.MultipleOperator((N(1),), ADD),
            "Argument 'operands' has incorrect type (expected list, got tuple)",
        ),
        (
            lambda: se.MultipleOperator(None, ADD),
            "Argument 'operands' has incorrect type (expected list, got NoneType)",
        ),
        (
            lambda: se.MultipleOperator(type("L", (list,), {})(), ADD),
            "Argument 'operands' has incorrect type (expected list, got L)",
        ),
        (
            lambda: se.MultipleOperator([], ADD).operation((1, 2)),
            "Argument 'values' has incorrect type (expected list, got tuple)",
        ),
    ],
)
def test_multiple_argument_types(build, message):
    with pytest.raises(TypeError) as info:
        build()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kind, values, expected",
    [
        (ADD, [], 0),
        (MUL, [], 1),
        (ADD, [1.5, 2.5], 4.0),
        (MUL, [2, 3, 4], 24),
        (MUL, [2, 0.5], 1.0),
        (MAX, [1, 2], NotImplementedError),
        (MIN, [], NotImplementedError),
    ],
)
def test_multiple_operation(kind, values, expected):
    node = se.MultipleOperator([], kind)
    if expected is NotImplementedError:
        with pytest.raises(NotImplementedError):
            node.operation(values)
    else:
        value = node.operation(values)
        assert value == expected and type(value) is type(expected)


@pytest.mark.parametrize("kind, constant", [(ADD, 0), (MUL, 1), (MAX, 0), (MIN, 0)])
def test_multiple_without_operands(reg, make_data, kind, constant):
    poly = se.MultipleOperator([], kind).substitute(reg, make_data())
    assert snapshot(poly) == ([], constant, 0) and type(poly.constant) is int


@pytest.mark.parametrize("kind", [ADD, MUL])
def test_single_operand_keeps_its_polynomial(reg, make_data, kind):
    poly = S({(0,): 2}, 1, 1)
    assert snapshot(se.MultipleOperator([Given(poly)], kind).substitute(reg, make_data())) == ([((0,), 2)], 1, 1)
    assert snapshot(poly) == ([((0,), 2)], 1, 1)


@pytest.mark.parametrize("operands", [1, 3])
def test_sum_returns_first_operand_polynomial_object(reg, make_data, operands):
    poly = S({(0,): 2}, 1, 1)
    assert se.MultipleOperator([Given(poly)] + [N(1)] * (operands - 1), ADD).substitute(reg, make_data()) is poly


@pytest.mark.parametrize(
    "values, largest, smallest",
    [
        ([2, 4, "p", 4.0], 4, -1.5),
        ([1, True], 1, 1),
        ([math.nan, 1], math.nan, math.nan),
        ([1, math.nan], 1, 1),
        ([2**70, 1.5, np.float64(2.0)], 2**70, 1.5),
    ],
)
def test_max_min_of_constants_like_the_builtins(reg, make_data, values, largest, smallest):
    operands = [se.Placeholder("p", 0) if v == "p" else N(v) for v in values]
    for kind, expected in [(MAX, largest), (MIN, smallest)]:
        poly = se.MultipleOperator(operands, kind).substitute(reg, make_data({"p": -1.5}))
        assert snapshot(poly)[::2] == ([], 0) and repr(poly.constant) == repr(expected)
        with pytest.raises(TypeError):
            se.MultipleOperator([N(1), N("a")], kind).substitute(reg, make_data())


@pytest.mark.parametrize(
    "kind, message",
    [
        (MAX, "MAX needs operands without decision variables."),
        (MIN, "MIN needs operands without decision variables."),
        (POW, "Unknown MultipleOpeKind"),
    ],
)
def test_multiple_rejections_after_all_operands(reg, make_data, kind, message):
    with pytest.raises(SubstituteError) as info:
        se.MultipleOperator([N(1), lin("x", 2), binary("y"), N(5)], kind).substitute(reg, make_data())
    assert str(info.value) == message
    assert reg.var_map == {"x": {(): 0}, "y": {(): 1}}


def test_operand_errors_propagate_after_earlier_registrations(reg, make_data):
    with pytest.raises(SubstituteError, match="missing"):
        se.MultipleOperator([binary("x"), se.Placeholder("missing", 0), binary("y")], ADD).substitute(reg, make_data())
    assert list(reg.var_map) == ["x"]


def test_nodes_are_read_at_every_substitution(reg, make_data):
    operands = [N(1), N(2)]
    node = se.MultipleOperator(operands, ADD)
    assert node.substitute(reg, make_data()).constant == 3
    operands.append(N(10))
    operands[0].value = 100
    assert node.substitute(reg, make_data()).constant == 112
    node.kind = MUL
    assert node.substitute(reg, make_data()).constant == 2000


def test_overridden_hooks_are_used(reg, make_data):
    class Half(se.Placeholder):
        def _substitute(self, var_map, instance_data):
            return S({}, instance_data.get_value(self.name, ()) / 2, 0)

    class Twice(se.Element):
        def get_index_values(self, var_map, instance_data):
            return [5, 5]

    class Never(se.TrueCondition):
        def _substitute(self, var_map, instance_data):
            return False

    k, data = Twice("k", N(0), N(1)), make_data({"p": 8})
    assert se.MultipleOperator([Half("p", 0), N(1)], ADD).substitute(reg, data).constant == 5
    assert se.FoldOperator(k, se.TrueCondition(), k, SUM).substitute(reg, data).constant == 10
    assert se.FoldOperator(se.Element("i", N(0), N(3)), Never(), binary("x"), SUM).substitute(reg, data).constant == 0
    assert reg.var_num == 0


def x_of(index):
    return se.Subscript(binary("x", (N(5),)), [index])


def test_fold_strings_and_extract():
    i = se.Element("i", N(0), N(3))
    assert str(se.FoldOperator(i, se.TrueCondition(), x_of(i), SUM)) == "sum_{i}(x[i])"
    assert str(se.FoldOperator(i, se.TrueCondition(), x_of(i), PROD)) == "prod_{i}(x[i])"
    p = se.Placeholder("p", 1)
    cond = se.ConstraintCondition(se.Subscript(p, [i]), N(1), kind=se.ConstraintKind.EQUAL)
    node = se.FoldOperator(i, cond, se.MultipleOperator([i, N(2)], MUL), SUM)
    assert (node.index, node.condition, node.kind) == (i, cond, SUM)
    assert node.extract(EVERYTHING) == [
        node,
        i,
        i.start,
        i.end,
        cond.left,
        p,
        i,
        i.start,
        i.end,
        cond.right,
        node.operand,
        i,
        i.start,
        i.end,
        node.operand.operands[1],
    ]


@pytest.mark.parametrize("kind, constant", [(SUM, 0), (PROD, 1)])
@pytest.mark.parametrize(
    "end, condition", [(2, se.TrueCondition()), (5, se.ConditionOperator([], se.ConditionOperatorKind.OR))]
)
def test_fold_with_nothing_to_fold(reg, make_data, kind, constant, end, condition):
    data = make_data(indices={"i": "before"})
    i = se.Element("i", N(2), N(end))
    poly = se.FoldOperator(i, condition, x_of(i), kind).substitute(reg, data)
    assert snapshot(poly) == ([], constant, 0) and type(poly.constant) is int
    assert data.indices["i"] == ("before" if end == 2 else 4) and reg.var_num == 0


def test_fold_values_conditions_and_bindings(reg, make_data):
    data = make_data()
    i = se.Element("i", N(1), N(4))
    assert snapshot(se.FoldOperator(i, se.TrueCondition(), i, PROD).substitute(reg, data)) == ([], 6, 0)
    odd = se.OtherConstraintCondition(se.PairOperator(i, N(2), MOD), N(0), kind=se.OtherConstraintKind.NOTEQUAL)
    assert snapshot(se.FoldOperator(i, odd, x_of(i), SUM).substitute(reg, data)) == ([((0,), 1), ((1,), 1)], 0, 1)
    assert reg.var_map == {"x": {(1,): 0, (3,): 1}} and data.indices == {"i": 3}
    two = se.Element("j", N(0), N(2))
    assert snapshot(se.FoldOperator(two, se.TrueCondition(), lin("y", 1), PROD).substitute(reg, data)) == (
        [((2,), 2), ((2, 2), 1)],
        1,
        2,
    )


def test_nested_folds_see_outer_binding(reg, make_data):
    x = binary("x", (N(3), N(3)))
    i = se.Element("i", N(0), N(3))
    j = se.Element("j", N(0), i)
    inner = se.FoldOperator(j, se.TrueCondition(), se.Subscript(x, [i, j]), SUM)
    data = make_data()
    poly = se.FoldOperator(i, se.TrueCondition(), inner, SUM).substitute(reg, data)
    assert list(reg.var_map["x"]) == [(1, 0), (2, 0), (2, 1)]
    assert list(poly.coeff) == [(0,), (1,), (2,)] and data.indices == {"i": 2, "j": 1}


@pytest.mark.parametrize(
    "lo, hi, instance, values",
    [
        (se.Placeholder("a", 0), se.Placeholder("b", 0), {"a": 1, "b": 4}, range(1, 4)),  # ints: read natively
        (se.Placeholder("a", 0), se.Placeholder("b", 0), {"a": 1.0, "b": 3.9}, range(1, 3)),  # int() truncates
        (N(-2), se.Placeholder("b", 0), {"b": np.int64(2)}, range(-2, 2)),
        (N(0), N(2**63 + 1) - N(2**63 - 2), {}, range(3)),  # past int64 on the way
        (N(True), N(3), {}, range(1, 3)),
    ],
)
def test_sum_ranges_are_int_of_their_bounds(reg, make_data, lo, hi, instance, values):
    x = binary("x", (N(10),))
    i = se.Element("i", lo, hi)
    j = se.Element("j", N(0), i)  # an inner range read off the outer index
    inner = se.FoldOperator(j, se.TrueCondition(), se.Subscript(x, [j]), SUM)
    data = make_data(instance)
    poly = se.FoldOperator(i, se.TrueCondition(), inner, SUM).substitute(reg, data)
    expected: dict = {}
    for v in values:
        for w in range(v):
            expected[(w,)] = expected.get((w,), 0) + 1
    names = {index: subscripts for subscripts, index in reg.var_map.get("x", {}).items()}
    assert {names[key[0]]: c for key, c in poly.coeff.items()} == expected
    assert data.indices["i"] == values[-1]


class FakeIndex:
    def __init__(self, values):
        self.values, self.name, self.calls = values, "k", 0

    def get_index_values(self, var_map, instance_data):
        self.calls += 1
        return iter(self.values)


def test_fold_takes_any_iterable_once_and_rejects_unknown_kinds(reg, make_data):
    index = FakeIndex([3, 1, 2])
    poly = se.FoldOperator(index, se.TrueCondition(), x_of(se.Element("k", N(0), N(1))), SUM).substitute(
        reg, make_data()
    )
    assert index.calls == 1 and list(poly.coeff) == [(0,), (1,), (2,)] and list(reg.var_map["x"]) == [(3,), (1,), (2,)]
    index = FakeIndex([0, 1])
    with pytest.raises(SubstituteError) as info:
        se.FoldOperator(index, se.TrueCondition(), N(1), MAX).substitute(reg, make_data())
    assert str(info.value) == "Unknown ReductionOpeKind" and index.calls == 1


def test_a_sum_inside_a_python_range_leaves_its_last_value_bound(reg, make_data):
    # the inner sum's binding reaches the data when the outer sum, looping a Python iterable, ends
    j = se.Element("j", N(0), N(3))
    inner = se.FoldOperator(j, se.TrueCondition(), x_of(j), SUM)
    data = make_data()
    se.FoldOperator(FakeIndex([5, 4]), se.TrueCondition(), inner, SUM).substitute(reg, data)
    assert data.indices == {"k": 4, "j": 2}


def test_fold_errors(reg, make_data):
    i = se.Element("i", N(0), N(3))
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        se.FoldOperator(i, se.TrueCondition(), i, SUM).substitute(reg, type("D", (), {"indices": None})())
    data = make_data({"p": [1, 2]})
    operand = se.MultipleOperator([x_of(i), se.Subscript(se.Placeholder("p", 1), [i])], ADD)
    with pytest.raises(SubstituteError):
        se.FoldOperator(i, se.TrueCondition(), operand, SUM).substitute(reg, data)
    assert data.indices["i"] == 2 and list(reg.var_map["x"]) == [(0,), (1,), (2,)]


@pytest.mark.parametrize(
    "kind, value, expected",
    [
        ("LN", math.e, 1.0),
        ("LOG2", 8, 3.0),
        ("LOG10", 1000, 3.0),
        ("CEIL", 2.1, 3),
        ("FLOOR", -2.1, -3),
        ("ABS", -4.5, 4.5),
    ],
)
def test_unary_on_constants(reg, make_data, kind, value, expected):
    poly = se.UnaryOperator(N(value), se.UnaryOpeKind[kind]).substitute(reg, make_data())
    assert poly.coeff == {} and poly.order == 0 and poly.constant == pytest.approx(expected)
    with pytest.raises(SubstituteError) as info:
        se.UnaryOperator(lin("x", value), se.UnaryOpeKind[kind]).substitute(reg, make_data())
    assert str(info.value) == f"{kind} needs an operand without decision variables."


@pytest.mark.parametrize(
    "cls, kind, left, right, expected",
    [
        (se.ConstraintCondition, se.ConstraintKind.EQUAL, 2, 2.0, True),
        (se.ConstraintCondition, se.ConstraintKind.LESSTHANEQUAL, 3, 2, False),
        (se.ConstraintCondition, se.ConstraintKind.GREATERTHANEQUAL, 3, 2, True),
        (se.OtherConstraintCondition, se.OtherConstraintKind.NOTEQUAL, 1, 1, False),
        (se.OtherConstraintCondition, se.OtherConstraintKind.LESSTHAN, 1, 2, True),
    ],
)
def test_conditions_compare_constants(reg, make_data, cls, kind, left, right, expected):
    assert bool(cls(N(left), N(right), kind=kind).substitute(reg, instance_data=make_data())) is expected
    for sides in [(lin("x", left), N(right)), (N(left), lin("x", right))]:
        with pytest.raises(SubstituteError) as info:
            cls(*sides, kind=kind).substitute(reg, make_data())
        assert str(info.value) == "Conditions must not contain decision variables."


@pytest.mark.parametrize(
    "kind, truths, expected",
    [
        ("AND", [True, True, False], False),
        ("AND", [], True),
        ("OR", [False, True], True),
        ("OR", [], False),
        ("XOR", [True, True, True], True),
        ("XOR", [True, True], False),
    ],
)
def test_condition_operators(reg, make_data, kind, truths, expected):
    terms = [se.ConstraintCondition(N(1), N(1 if t else 0), kind=se.ConstraintKind.EQUAL) for t in truths]
    node = se.ConditionOperator(terms, kind=se.ConditionOperatorKind[kind])
    assert bool(node.substitute(reg, make_data())) is expected
    assert node.extract_expr(EVERYTHING) == [n for t in terms for n in (t.left, t.right)]


@pytest.mark.parametrize("operand", [N(2.5), lin("x", 1)])
def test_unknown_unary_kind(reg, make_data, operand):
    node = se.UnaryOperator(operand, "SQRT")
    for tree in (node, se.MultipleOperator([N(1), node], ADD)):  # the node's own method, and the engine
        with pytest.raises(SubstituteError) as info:
            tree.substitute(reg, make_data())
        assert str(info.value) == "Unknown UnaryOpeKind"
