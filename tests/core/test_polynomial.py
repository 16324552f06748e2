import dataclasses
import json
import math
import types

import numpy as np
import pytest
from core_helpers import snapshot

from quillon_transpiler.core.substitute import SubstitutedExpression as S
from quillon_transpiler.exceptions import SubstituteError


def test_record():
    assert [(f.name, f.type) for f in dataclasses.fields(S)] == [
        ("coeff", "dict[tuple[int, ...], float]"),
        ("constant", "float"),
        ("order", "int"),
    ]
    coeff = {(0,): 1}
    poly = S(coeff, 2, 1)
    assert poly.coeff is coeff and poly == S(coeff={(0,): 1}, constant=2, order=1) != S({(0,): 1}, 2, 2)
    with pytest.raises(TypeError):
        hash(poly)


@pytest.mark.parametrize("coeff, order, expected", [({}, 0, True), ({}, 1, False), ({(0,): 1}, 0, False)])
def test_is_constant(coeff, order, expected):
    assert S(coeff, 5, order).is_constant() is expected


def test_is_constant_returns_the_order_comparison_when_it_fails():
    result = S({}, 5, np.int64(1)).is_constant()
    assert type(result) is np.bool_ and not result


def test_add_appends_new_keys_and_reads_other_only():
    a, b = S({(1,): 1, (0, 1): 2}, 1, 2), S({(2,): 3, (1,): -1, (0, 0, 0): 4}, 2.5, 3)
    assert a.add(b) is None
    assert snapshot(a) == ([((1,), 0), ((0, 1), 2), ((2,), 3), ((0, 0, 0), 4)], 3.5, 3)
    assert snapshot(b) == ([((2,), 3), ((1,), -1), ((0, 0, 0), 4)], 2.5, 3)
    b.add(b)
    assert snapshot(b) == ([((2,), 6), ((1,), -2), ((0, 0, 0), 8)], 5.0, 3)
    b.add(types.SimpleNamespace(coeff={(9,): 1}, constant=0, order=5))  # any object with the three fields
    assert list(b.coeff)[-1] == (9,) and b.order == 5


def test_mul_order_and_types():
    a, b = S({(1,): 1}, 1, 1), S({(2,): 1}, 1, 1)
    assert a.mul(b) is None
    assert snapshot(a) == ([((2,), 1), ((1,), 1.0), ((1, 2), 1)], 1, 2)
    assert [type(v) for v in a.coeff.values()] == [int, float, int]
    assert snapshot(b) == ([((2,), 1)], 1, 1)


@pytest.mark.parametrize(
    "value, kept",
    [
        (2**53 - 1, 2**53 - 1.0),
        (-(2**53) + 1, -(2**53) + 1.0),
        (2**53, 2**53),
        (-(2**53 + 1), -(2**53 + 1)),
        (2**70, 2**70),
    ],
)
def test_mul_keeps_ints_floats_do_not_hold_as_ints(value, kept):
    # a term scaled onto the float 0.0 is a float, as far as floats hold every int: past
    # 2**53 it would round (2**53 + 1 to 2**53), and terms that cancel would be wrong
    a = S({(1,): value}, 0, 1)
    a.mul(S({}, 1, 0))
    assert a.coeff[(1,)] == kept and type(a.coeff[(1,)]) is type(kept)


def test_ints_written_after_a_variable_stay_exact_in_every_route():
    import quillon as ql
    from quillon_transpiler import compile_model, to_pubo, to_qubo_arrays

    x, c = ql.BinaryVar("x", shape=(2,)), ql.Placeholder("c", ndim=1)
    problem = ql.Problem("p")
    problem += (c[0] * x[0] + c[1] * x[0]) * 1 - c[2] * x[0] + x[0] * c[3] - c[3] * x[0] + x[1] * 2**60
    instance = {"c": [2**62 + 1, 2**62, 2**63, 2**53 + 1]}
    assert compile_model(problem, instance).objective.coeff == {(0,): 1, (1,): 2**60}
    assert to_pubo(problem, instance).coeff == {(0,): 1, (1,): 2**60}
    assert to_qubo_arrays(problem, instance).linear.tolist() == [1.0, 2.0**60]


@pytest.mark.parametrize(
    "constant, expected",
    [(0, [((3,), 8.0), ((0, 3), 10), ((1, 3), 14)]), (math.nan, None)],
)
def test_mul_carries_other_terms_only_for_nonzero_constant(constant, expected):
    a = S({(3,): 2}, constant, 1)
    a.mul(S({(0,): 5, (1,): 7}, 4, 1))
    if expected is None:  # NaN counts as non-zero
        assert list(a.coeff)[:2] == [(0,), (1,)] and math.isnan(a.coeff[(0,)])
    else:
        assert snapshot(a) == (expected, 0, 2)


@pytest.mark.parametrize("op", ["add", "mul"])
def test_other_without_fields(op):
    with pytest.raises(AttributeError):
        getattr(S({(0,): 1}, 1, 1), op)(object())


def test_failing_add_keeps_merged_terms_and_failing_mul_changes_nothing():
    a = S({(0,): 1, (1,): "s"}, 1, 1)
    with pytest.raises(TypeError):
        a.add(S({(0,): 1, (1,): 1}, 1, 1))
    assert a.coeff[(0,)] == 2
    b = S({(0,): 1, (1,): "s"}, 1, 1)
    with pytest.raises(TypeError):
        b.mul(S({(2,): 2}, 2, 1))
    assert snapshot(b) == ([((0,), 1), ((1,), "s")], 1, 1)


@pytest.mark.parametrize(
    "poly, exponent, expected",
    [
        (S({(3,): 1}, 0, 1), 2, ([((3,), 0), ((3, 3), 1)], 0, 2)),
        (S({(1, 2): 3}, 0, 2), 2, ([((1, 2), 0), ((1, 2, 1, 2), 9)], 0, 4)),
        # x**2 + 2x + 1 with x first: a later term's 2*value*constant adds to an earlier square
        (S({(0,): 2, (0, 0): 1}, 1, 2), 2.0, ([((0,), 4), ((0, 0, 0), 4), ((0, 0), 6), ((0, 0, 0, 0), 1)], 1, 4)),
        (S({(0,): 1}, 1, 1), 3, ([((0,), 3), ((0, 0), 3.0), ((0, 0, 0), 1)], 1, 3)),
        (S({(0,): 2}, 3, 1), 1.0, ([((0,), 2)], 3, 1)),
        (S({(0,): 2}, 3, 1), 0, ([], 1, 0)),
        (S({(0,): 2}, 3, 1), False, ([], 1, 0)),
    ],
)
def test_power_with_variables(poly, exponent, expected):
    assert poly.power(exponent) is None
    assert snapshot(poly) == expected and type(poly.constant) is type(expected[1])


@pytest.mark.parametrize("exponent", [-1, -0.5, 0.5, 2.7, math.nan, math.inf])
def test_power_rejects_exponents_other_than_non_negative_integers(exponent):
    a = S({(0,): 2, (1,): 1}, 3, 1)
    with pytest.raises(SubstituteError) as info:
        a.power(exponent)
    assert str(info.value) == (
        f"Cannot raise a polynomial with variables to the power {float(exponent)!r}: "
        "only non-negative integer exponents are supported."
    )
    assert snapshot(a) == ([((0,), 2), ((1,), 1)], 3, 1)


@pytest.mark.parametrize("constant, exponent, expected", [(4, 0.5, 2.0), (2, -1, 0.5), (3, 2, 9.0), (-2.0, 3, -8.0)])
def test_power_of_constant_uses_exponent_as_float(constant, exponent, expected):
    a = S({}, constant, 3)
    a.power(exponent)
    assert snapshot(a) == ([], expected, 3) and type(a.constant) is float


def test_power_errors():
    a = S({}, -8.0, 0)
    a.power(1 / 3)
    assert isinstance(a.constant, complex)
    with pytest.raises(ZeroDivisionError):
        S({}, 0.0, 0).power(-1)
    b = S({(0,): 1}, 1, 1)
    with pytest.raises(TypeError):
        b.power("2")
    assert snapshot(b) == ([((0,), 1)], 1, 1)


def test_array_constants_are_never_changed_in_place():
    arr = np.array([1.0, 2.0])
    a = S({}, arr, 0)
    a.add(S({}, arr, 0))
    a.power(2)
    np.testing.assert_array_equal(a.constant, [4.0, 16.0])
    b = S({(0,): arr}, arr, 1)
    b.add(S({(0,): arr, (1,): arr}, arr, 1))
    np.testing.assert_array_equal(b.coeff[(0,)], [2.0, 4.0])
    assert b.coeff[(1,)] is arr
    np.testing.assert_array_equal(arr, [1.0, 2.0])


def test_serialization_round_trip():
    a = S({(2,): 1.5, (0, 1): -2, (1, 1, 1): 0}, 4, 3)
    data = a.to_serializable()
    assert list(data) == ["class", "coeff_key", "coeff_value", "constant", "order"]
    assert data == {
        "class": "SubstitutedExpression",
        "coeff_key": [[2], [0, 1], [1, 1, 1]],
        "coeff_value": [1.5, -2, 0],
        "constant": 4,
        "order": 3,
    }
    assert all(type(k) is list for k in data["coeff_key"])
    back = S.from_serializable(json.loads(json.dumps(data)))
    assert type(back) is S and snapshot(back) == snapshot(a)


def test_from_serializable_pairs_to_shorter_and_ignores_class():
    class Sub(S):
        pass

    data = {"class": "Other", "coeff_key": [[0], [1]], "coeff_value": [5], "constant": 1, "order": 1, "x": 0}
    back = Sub.from_serializable(data)
    assert type(back) is Sub and snapshot(back) == ([((0,), 5)], 1, 1)
    data.update(coeff_key=[[0]], coeff_value=[1, 2])
    assert snapshot(S.from_serializable(data))[0] == [((0,), 1)]


@pytest.mark.parametrize("missing", ["coeff_key", "coeff_value", "constant", "order"])
def test_from_serializable_missing_key(missing):
    data = {"coeff_key": [], "coeff_value": [], "constant": 0, "order": 0}
    del data[missing]
    with pytest.raises(KeyError, match=missing):
        S.from_serializable(data)


@pytest.mark.parametrize("data, got", [([], "list"), (None, "NoneType")])
def test_from_serializable_wants_a_dict(data, got):
    with pytest.raises(TypeError) as info:
        S.from_serializable(data)
    assert str(info.value) == f"Argument 'data' has incorrect type (expected dict, got {got})"


def test_serialization_turns_numpy_numbers_into_python_numbers():
    arr = np.array([1, 2])
    a = S({(0,): np.float64(1.5), (1,): np.int64(3), (2,): np.array(2.5), (3,): np.float32(0.5)}, np.array(4), 1)
    data = a.to_serializable()
    assert data["coeff_value"] == [1.5, 3, 2.5, 0.5] and data["constant"] == 4
    assert [type(v) for v in [*data["coeff_value"], data["constant"]]] == [float, int, float, float, int]
    json.dumps(data)
    assert S({}, arr, 0).to_serializable()["constant"] is arr
    assert type(a.coeff[(0,)]) is np.float64  # the polynomial itself is kept
