import itertools
import math
import random
import types

import numpy as np
import pytest

import quillon as ql
import quillon_transpiler.core.decode.eval_energy as energy_module
from quillon_transpiler import to_qubo_arrays
from quillon_transpiler.core.compile.compile import compile_model
from quillon_transpiler.core.decode.eval_energy import eval_energy
from quillon_transpiler.core.decode.eval_value import _eval_value, eval_value
from quillon_transpiler.core.decode.evaluate import ExprValues, calc_expr, eval_constraint
from quillon_transpiler.core.substitute import SubstitutedExpression as S
from quillon_transpiler.core.substitute.substitutable_expr import ConstraintKind


def reference(values, poly):
    result = poly.constant
    for key, coeff in poly.coeff.items():
        term = 1.0
        for i in key:
            term *= values.get(i, 0)
        result += coeff * term
    return result


@pytest.mark.parametrize(
    "values, poly, expected",
    [
        ({}, S({(0,): 2.0}, 1, 1), 1.0),
        ({0: 3, 1: 2}, S({(0, 1): 2.0, (0, 0): 1.0}, 0.5, 2), 21.5),
        ({0: 3}, S({(0,): 2}, 1, 1), 7.0),  # int inputs: the product starts as the float 1.0
        ({0: np.int64(3)}, S({(0,): 2}, 1, 1), 7.0),
        ({0: 2**70}, S({(0,): 1}, 0, 1), float(2**70)),
    ],
)
def test_eval_value_numbers(values, poly, expected):
    for f in (eval_value, _eval_value):
        result = f(values, poly)
        assert result == expected and type(result) is type(reference(values, poly))


@pytest.mark.parametrize("constant", [4, 2**80, 1.5])
def test_eval_value_without_terms_returns_the_constant_itself(constant):
    assert eval_value({0: 1.0}, S({}, constant, 0)) is constant


def test_eval_value_matches_python_arithmetic_bit_for_bit():
    rng = random.Random(5)
    for _ in range(50):
        coeff = {}
        for _ in range(rng.randrange(1, 30)):
            key = tuple(sorted(rng.randrange(8) for _ in range(rng.randrange(1, 4))))
            coeff[key] = rng.choice([rng.uniform(-3, 3), rng.randrange(-5, 5)])
        values = {i: rng.choice([rng.uniform(-2, 2), rng.randrange(-3, 4), 0]) for i in range(8) if rng.random() < 0.8}
        poly = S(coeff, rng.uniform(-1, 1), 3)
        assert eval_value(values, poly) == reference(values, poly)


@pytest.mark.parametrize(
    "values",
    [
        {1: 2.0, 3: -1.5},
        {True: 2, 3: 4},  # a key equal to 1 without being the int 1
        {np.int64(1): 2.5},
        {-1: 7.0, 1: 2.0},
        {10**30: 7.0, 1: 2.0},
        {1: 2.0, 3: 1.0, 5: 1.0, 7: 1.0, 9: 1.0, 11: 1.0},  # more keys than terms
    ],
)
def test_eval_value_reads_values_like_dict_get(values):
    poly = S({(1,): 1.0, (1, 1): 0.5, (3, 10**30): 2.0, (np.int64(3),): 3.0, (-1, 1): 1.0, (2,): 9.0}, 0, 2)
    assert eval_value(values, poly) == reference(values, poly)


class SubDict(dict):
    pass


@pytest.mark.parametrize("f, name", [(eval_value, "deci_var"), (_eval_value, "deci_var"), (eval_energy, "var_value")])
@pytest.mark.parametrize("bad", [None, SubDict(), [(0, 1)]])
def test_value_maps_must_be_plain_dicts(f, name, bad):
    with pytest.raises(TypeError) as info:
        f(bad, S({}, 0, 0))
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected dict, got {type(bad).__name__})"


def test_eval_energy_squares_constraints_and_adds_penalties(monkeypatch):
    result = ExprValues(1.0, {"c": {(): 2.0, (1,): -1.0}}, {"p": {(): 3.0}})
    compiled = types.SimpleNamespace(var_map=types.SimpleNamespace(var_map={}))
    monkeypatch.setattr(energy_module, "calc_expr", lambda values, instance: result)
    assert eval_energy({}, compiled) == 9.0
    monkeypatch.setattr(energy_module, "calc_expr", lambda values, instance: ExprValues(0.0, None, {}))
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
        eval_energy({}, compiled)


N = ql.Placeholder("N")
w = ql.Placeholder("w", 1)
x = ql.BinaryVar("x", shape=(N,))
y = ql.IntegerVar("y", lower_bound=0, upper_bound=2)
i = ql.Element("i", N)


def small_model():
    problem = ql.Problem("small")
    problem += ql.sum(i, w[i] * x[i]) - y
    problem += ql.Constraint("cap", ql.sum(i, x[i]) <= y)
    problem += ql.Constraint("floor", x[i] + x[i + 1] >= 1, forall=[(i, i < N - 1)])
    problem += ql.Constraint("sum", x[0] + y == 2)
    problem += ql.CustomPenaltyTerm("pair", x[i] * x[i + 1], forall=[(i, i < N - 1)])
    return problem


def test_eval_energy_matches_brute_force():
    n, weights = 3, np.array([1.5, -2.0, 0.25])
    compiled = compile_model(small_model(), {"N": n, "w": weights})
    for bits in itertools.product([0, 1], repeat=n):
        for yv in range(3):
            xs = np.array(bits)
            energy = float(weights @ xs) - yv
            energy += max(xs.sum() - yv, 0) ** 2
            energy += sum(min(xs[k] + xs[k + 1] - 1, 0) ** 2 for k in range(n - 1))
            energy += (xs[0] + yv - 2) ** 2
            energy += sum(xs[k] * xs[k + 1] for k in range(n - 1))
            var_value = {"x": {(k,): int(bits[k]) for k in range(n)}, "y": {(): yv}}
            assert math.isclose(eval_energy(var_value, compiled), energy, abs_tol=1e-12)


@pytest.mark.parametrize("var_value", [{"x": {(7,): 1}}, {"z": {(): 1}}])
def test_eval_energy_refuses_unregistered_elements(var_value):
    compiled = compile_model(small_model(), {"N": 3, "w": np.ones(3)})
    with pytest.raises(KeyError, match="not registered"):
        eval_energy(var_value, compiled)


def test_calc_expr_reports_violations_by_kind():
    compiled = compile_model(small_model(), {"N": 3, "w": np.array([1.0, 2.0, 3.0])})
    index = {label: {s: k for s, k in by.items()} for label, by in compiled.var_map.var_map.items()}
    # x = (1, 0, 0), y = 0: cap 1 - 0 over, floor (0,) met and (1,) short by 1 (quillon states
    # a >= b as b <= a), sum 1 - 2 under
    values = {index["x"][(0,)]: 1}
    constraints = eval_constraint(values, compiled)
    result = calc_expr(values, compiled)
    assert result.objective == 1.0
    assert constraints["cap"] == {(): 1.0} and result.constraint["cap"] == {(): 1.0}
    assert result.constraint["floor"] == {(0,): 0.0, (1,): 1.0}
    assert result.constraint["sum"] == constraints["sum"] == {(): -1.0}
    assert result.penalty == {"pair": {(0,): 0.0, (1,): 0.0}}
    values[index["y"][()]] = 2  # cap now satisfied: its negative value is no violation
    assert calc_expr(values, compiled).constraint["cap"] == {(): 0}
    assert eval_constraint(values, compiled)["cap"] == {(): -1.0}


@pytest.mark.parametrize(
    "kind, violations",
    [("EQUAL", [-1.0, 0.0, 2.0]), ("LESSTHANEQUAL", [0, 0.0, 2.0]), ("GREATERTHANEQUAL", [-1.0, 0.0, 0])],
)
def test_calc_expr_violation_of_each_kind(kind, violations):
    problem = ql.Problem("one")
    problem += ql.Constraint("c", 2 * x[0] - x[1] == 0)
    compiled = compile_model(problem, {"N": 2})
    compiled.problem.constraints["c"].condition.kind = ConstraintKind[kind]
    index = compiled.var_map.var_map["x"]
    for values, expected in zip([{index[(1,)]: 1}, {}, {index[(0,)]: 1}], violations):
        got = calc_expr(values, compiled).constraint["c"][()]
        assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("evaluate, values", [(eval_energy, {"x": {(0,): 1}}), (calc_expr, {0: 1})])
def test_an_instance_a_native_route_consumed_is_refused_clearly(evaluate, values):
    x = ql.BinaryVar("x", shape=(2,))
    problem = ql.Problem("p")
    problem += x[0] + x[1]
    problem += ql.Constraint("c", x[0] + x[1] == 1)
    consumed = to_qubo_arrays(problem, {}, progress=False).compiled
    with pytest.raises(ValueError, match="consumed by a native route.*compile the problem again"):
        evaluate(values, consumed)
