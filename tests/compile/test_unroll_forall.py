import pytest

import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler.core.compile.unroll_forall import _unroll_forall, unroll_forall
from quillon_transpiler.core.var_registry import VarRegistry
from quillon_transpiler.exceptions import SubstituteError


def node(value):
    return value if isinstance(value, se.SubstitutableExpr) else se.Number(value)


def element(name, start, end):
    return se.Element(name, start=node(start), end=node(end))


i = element("i", 0, 3)
j_below_i = element("j", 0, i)  # the range of j reads the binding of i
j = element("j", 0, 3)
true = se.TrueCondition()


def less(a, b):
    return se.OtherConstraintCondition(a, b, kind=se.OtherConstraintKind.LESSTHAN)


def differ(a, b):
    return se.OtherConstraintCondition(a, b, kind=se.OtherConstraintKind.NOTEQUAL)


@pytest.mark.parametrize(
    "forall, expected",
    [
        ([], [[]]),
        ([(i, true)], [[0], [1], [2]]),
        ([(i, true), (j_below_i, true)], [[1, 0], [2, 0], [2, 1]]),
        ([(i, less(i, se.Number(0)))], []),
        # the inner condition sees the outer element's current value
        ([(i, true), (j, differ(j, i))], [[0, 1], [0, 2], [1, 0], [1, 2], [2, 0], [2, 1]]),
        # an outer value whose inner level yields nothing contributes no assignment
        ([(i, true), (j, less(i, j))], [[0, 1], [0, 2], [1, 2]]),
        ([(i, differ(i, se.Number(1))), (element("k", i, 3), true)], [[0, 0], [0, 1], [0, 2], [2, 2]]),
    ],
)
def test_assignments_are_depth_first_and_filtered(make_data, forall, expected):
    result = unroll_forall(forall, make_data())
    assert result == expected
    assert all(type(a) is list for a in result)
    assert len({id(a) for a in result}) == len(result)


def test_last_values_tried_stay_bound(make_data):
    data = make_data(indices={"other": 7})
    unroll_forall([(i, true), (j_below_i, less(j_below_i, se.Number(1)))], data)
    assert data.indices == {"other": 7, "i": 2, "j": 1}


def test_errors_of_ranges_and_conditions_are_prefixed_and_chained(make_data):
    missing = se.Placeholder("m", 0)
    with pytest.raises(SubstituteError) as info:
        unroll_forall([(i, less(i, missing))], make_data())
    inner = info.value.__cause__
    assert isinstance(inner, SubstituteError)
    assert str(info.value) == "in forall: " + str(inner)
    assert "`m` is missing" in str(inner)
    with pytest.raises(SubstituteError, match="^in forall: .*`m` is missing"):
        unroll_forall([(element("i", 0, missing), true)], make_data())


@pytest.mark.parametrize(
    "entry, error, message",
    [
        ((i, true, true), ValueError, "too many values to unpack (expected 2)"),
        ((i,), ValueError, "need more than 1 value to unpack"),
        ((), ValueError, "need more than 0 values to unpack"),
        (i, ValueError, "need more than 1 value to unpack"),  # a node iterates as itself
        (3, TypeError, "cannot unpack non-iterable int object"),
    ],
)
def test_malformed_entries(make_data, entry, error, message):
    with pytest.raises(error) as info:
        unroll_forall([entry], make_data())
    assert str(info.value) == message


def test_unbound_indices_are_refused(make_data):
    data = make_data()
    data.indices = None
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        unroll_forall([(i, true)], data)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda data: unroll_forall(((i, true),), data), "'forall' has incorrect type (expected list, got tuple)"),
        (lambda data: _unroll_forall(((i, true),), data), "'forall' has incorrect type (expected list, got tuple)"),
        (lambda data: _unroll_forall([(i, true)], data, True), "'depth' has incorrect type (expected int, got bool)"),
        (
            lambda data: _unroll_forall([(i, true)], data, 0, ()),
            "'expanded_values' has incorrect type (expected list, got tuple)",
        ),
        (
            lambda data: _unroll_forall([(i, true)], data, 0, [], None),
            "'indices' has incorrect type (expected list, got NoneType)",
        ),
    ],
)
def test_argument_types(make_data, call, message):
    with pytest.raises(TypeError) as info:
        call(make_data())
    assert str(info.value) == "Argument " + message


def test_worker_appends_from_the_given_depth(make_data):
    data = make_data(indices={"i": 2})
    out = [["kept"]]
    assert _unroll_forall([(i, true), (j_below_i, true)], data, 1, out, [2, 0]) is None
    assert out == [["kept"], [2, 0], [2, 1]]
    out = []
    _unroll_forall([(i, true)], data, 0, out, ["dropped", "at depth 0"])
    assert out == [[0], [1], [2]]


x0 = se.Subscript(se.DecisionVariable.create_binaryvar("x", (se.Number(3),)), [se.Number(0)])


@pytest.mark.parametrize(
    "forall, message",
    [
        ([(i, less(x0, se.Number(1)))], "in forall: Conditions must not contain decision variables."),
        ([(i, true), (element("j", 0, x0), true)], "in forall: Range bounds must not contain decision variables."),
    ],
)
def test_decision_variables_in_ranges_and_conditions_are_refused(make_data, forall, message):
    # the registry they would go to is made only for them, and kept by nobody
    with pytest.raises(SubstituteError) as info:
        unroll_forall(forall, make_data())
    assert str(info.value) == message


def test_python_level_elements_and_conditions_get_a_registry(make_data):
    seen = []

    class Odd(se.Element):
        def get_index_values(self, var_map, instance_data):
            seen.append(type(var_map))
            return [1, 3]

    class Always(se.TrueCondition):
        def substitute(self, var_map, instance_data):
            seen.append(type(var_map))
            return True

    assert unroll_forall([(Odd("i", start=se.Number(0), end=se.Number(1)), Always())], make_data()) == [[1], [3]]
    assert seen == [VarRegistry] * 3
