import copy
import decimal
import fractions
import itertools

import numpy as np
import pytest
from pubo_helpers import all_assignments, decode_rows, energies, evaluate

import quillon as ql
import quillon_transpiler
from quillon_transpiler import decode_pubo, to_pubo, to_qubo_arrays, tune_weights
from quillon_transpiler.core.compile.compile import compile_model
from quillon_transpiler.core.pubo.int_encoder import UnaryEncoder
from quillon_transpiler.core.substitute import SubstitutedExpression
from quillon_transpiler.core.substitute.substitutable_expr.expression import ConstraintKind

VIOLATION = {
    "EQUAL": lambda v: v**2,
    "LESSTHANEQUAL": lambda v: max(v, 0) ** 2,
    "GREATERTHANEQUAL": lambda v: min(v, 0) ** 2,
}


def expected_energy(compiled, values, cw, pw, sign):
    energy = sign * evaluate(compiled.objective.coeff, compiled.objective.constant, values)
    for label, polys in compiled.constraint.items():
        kind = compiled.problem.constraints[label].condition.kind.name
        for p in polys.values():
            energy += cw.get(label, 1.0) * VIOLATION[kind](evaluate(p.coeff, p.constant, values))
    for label, polys in compiled.penalty.items():
        for p in polys.values():
            energy += pw.get(label, 1.0) * evaluate(p.coeff, p.constant, values)
    return energy


def lowest_by_point(result):
    """For every integer point reached by a valid binary assignment, the lowest energy there."""
    rows = all_assignments(result.num_binaries)
    values, ok = decode_rows(result.encoder, rows)
    energy = energies(result.coeff, result.constant, rows)
    best = {}
    for point, e in zip(map(tuple, values[ok].tolist()), energy[ok].tolist()):
        best[point] = min(best.get(point, e), e)
    return best


@pytest.mark.parametrize(
    "model, encoder, cw, pw, points",
    [
        *[("mixed", e, {}, {}, 80) for e in ("log", "unary", "one-hot")],
        *[("mixed", e, {"cap": 3, "tie": 0.5}, {"small": 2.0}, 80) for e in ("log", "unary", "one-hot")],
        ("binary", "log", {}, {}, 16),
        ("binary", "log", {"at most two": 2}, {"avoid": 1}, 16),
    ],
)
def test_energy_at_every_point_is_objective_plus_weighted_violations(models, model, encoder, cw, pw, points):
    """The slack closes every satisfied inequality exactly and leaves max(lhs, 0)^2 otherwise."""
    compiled = models[model]
    result = to_pubo(compiled, constraint_weight=cw, penalty_weight=pw or None, encoder=encoder, encoding_weight=100)
    best = lowest_by_point(result)
    assert len(best) == points
    sign = -1 if compiled.sense.name == "MAXIMIZE" else 1
    for point, energy in best.items():
        values = dict(enumerate(point))
        assert energy == pytest.approx(expected_energy(compiled, values, cw, pw, sign))


def knapsack(sense):
    n = ql.Placeholder("n")
    v, w = ql.Placeholder("v", ndim=1), ql.Placeholder("w", ndim=1)
    y = ql.IntegerVar("y", shape=(n,), lower_bound=0, upper_bound=2)
    i = ql.Element("i", n)
    problem = ql.Problem("ks", sense=sense)
    objective = ql.sum(i, v[i] * y[i])
    problem += objective if sense == ql.ProblemSense.MAXIMIZE else -objective
    problem += ql.Constraint("weight", ql.sum(i, w[i] * y[i]) <= 7)
    return compile_model(problem, {"n": 3, "v": np.array([4, 5, 3]), "w": np.array([3, 4, 2])})


@pytest.mark.parametrize("sense", [ql.ProblemSense.MAXIMIZE, ql.ProblemSense.MINIMIZE])
def test_optimum_matches_brute_force(sense):
    compiled = knapsack(sense)
    result = to_pubo(compiled, constraint_weight=20)
    rows = all_assignments(result.num_binaries)
    bits = dict(enumerate(rows[np.argmin(energies(result.coeff, result.constant, rows))].tolist()))
    values = result.encoder.decode(bits)
    brute = max(
        4 * a + 5 * b + 3 * c for a, b, c in itertools.product(range(3), repeat=3) if 3 * a + 4 * b + 2 * c <= 7
    )
    assert 4 * values[0] + 5 * values[1] + 3 * values[2] == brute == 10
    assert result.energy(bits) == pytest.approx(-brute)
    assert all(key == tuple(sorted(set(key))) for key in result.coeff)


@pytest.mark.parametrize("sense, sign", [(ql.ProblemSense.MINIMIZE, 1), (ql.ProblemSense.MAXIMIZE, -1)])
def test_hubo_terms_are_kept_and_all_binary_models_keep_indices(sense, sign):
    x = ql.BinaryVar("x", shape=(3,))
    problem = ql.Problem("cubic", sense=sense)
    problem += x[0] * x[1] * x[2] - x[0] + 4
    problem += ql.CustomPenaltyTerm("pair", x[2] * x[1])
    result = to_pubo(compile_model(problem, {}), penalty_weight={"pair": 2})
    assert result.coeff == {(0, 1, 2): sign, (0,): -sign, (1, 2): 2} and result.constant == 4 * sign
    assert result.degree == 3 and result.num_binaries == 3 and result.slack == {}


@pytest.mark.parametrize("weight", [1, 2.5])
def test_terms_meeting_on_one_key_add_up(weight):
    # integer coefficients equal to ones already stored (small ints are shared objects)
    x = ql.BinaryVar("x", shape=(2,))
    problem = ql.Problem("p")
    problem += x[0] + x[1] + 1
    problem += ql.CustomPenaltyTerm("q", x[0] + 2 * x[1] * x[1])
    problem += ql.Constraint("e", x[0] + x[1] == 1)
    result = to_pubo(compile_model(problem, {}), penalty_weight=weight, constraint_weight=weight)
    assert result.coeff == {(0,): 1, (1,): 1 + weight, (0, 1): 2 * weight} and result.constant == 1 + weight


def test_greater_equal_is_the_negated_less_equal(mixed):
    flipped = copy.copy(mixed)
    flipped.constraint = dict(mixed.constraint)
    flipped.problem = copy.deepcopy(mixed.problem)
    negated = SubstitutedExpression({k: -v for k, v in mixed.constraint["cap"][()].coeff.items()}, 3, 1)
    negated.constant = -mixed.constraint["cap"][()].constant
    flipped.constraint["cap"] = {(): negated}
    flipped.problem.constraints["cap"].condition.kind = ConstraintKind.GREATERTHANEQUAL
    assert to_pubo(flipped).coeff == to_pubo(mixed).coeff


def test_inequality_that_always_holds_adds_nothing():
    x = ql.BinaryVar("x", shape=(2,))
    problem = ql.Problem("p")
    problem += x[0]
    problem += ql.Constraint("loose", x[0] + x[1] <= 2)
    result = to_pubo(compile_model(problem, {}))
    assert result.coeff == {(0,): 1} and result.num_binaries == 2


def test_non_integral_inequality_is_refused_by_name():
    x = ql.BinaryVar("x", shape=(2,))
    i = ql.Element("i", 2)
    problem = ql.Problem("p")
    problem += x[0]
    problem += ql.Constraint("half", 0.5 * x[i] + x[1 - i] <= 1, forall=i)
    with pytest.raises(ValueError, match=r"Constraint `half` at forall key \(0,\): .*non-integral .*0\.5"):
        to_pubo(compile_model(problem, {}))


@pytest.mark.parametrize(
    "kind, integral",
    [(np.longdouble, True), (fractions.Fraction, True), (np.longdouble, False), (fractions.Fraction, False)],
)
def test_integral_numbers_of_any_kind_close_an_inequality(kind, integral):
    # np.longdouble(2.0) or Fraction(2) is as integral as 2: the slack closes it as it closes 2
    c = ql.Placeholder("c", ndim=1)
    x = ql.BinaryVar("x", shape=(2,))
    i = ql.Element("i", 2)
    problem = ql.Problem("p")
    problem += ql.Constraint("k", ql.sum(i, c[i] * x[i]) <= 2)
    values = [kind(1), kind(2) if integral else kind(3) / kind(2)]
    if not integral:
        with pytest.raises(ValueError, match="non-integral"):
            to_pubo(compile_model(problem, {"c": values}), constraint_weight=1)
        return
    got = to_pubo(compile_model(problem, {"c": values}), constraint_weight=1)
    want = to_pubo(compile_model(problem, {"c": [1, 2]}), constraint_weight=1)
    assert got.num_binaries == want.num_binaries and got.coeff == want.coeff


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"constraint_weight": {"nope": 1}}, ValueError, r"constraint_weight names unknown labels \['nope'\]"),
        ({"penalty_weight": "heavy"}, TypeError, "penalty_weight must be a number"),
        ({"constraint_weight": True}, TypeError, "constraint_weight must be a number"),
        ({"encoder": "gray"}, ValueError, "unknown encoder"),
    ],
)
def test_bad_arguments(mixed, kwargs, error, message):
    with pytest.raises(error, match=message):
        to_pubo(mixed, **kwargs)


@pytest.mark.parametrize("route", [to_pubo, to_qubo_arrays, tune_weights])
def test_a_weight_dict_may_name_the_constraints_that_pin_variables(route):
    # `start` fixes x[0] and leaves nothing to weigh: a weight for each constraint is no error
    x = ql.BinaryVar("x", shape=(3,))
    problem = ql.Problem("p")
    problem += x[0] + x[1] + x[2]
    problem += ql.Constraint("start", x[0] == 1)
    problem += ql.Constraint("two", x[0] + x[1] + x[2] == 2)
    given = {"start": 5.0, "two": "auto" if route is tune_weights else 5.0}
    kwargs: dict = {"progress": False}
    if route is tune_weights:
        kwargs = {"sampler": pytest.importorskip("dimod").ExactSolver(), "rounds": 1}
    route(problem, {}, constraint_weight=given, **kwargs)
    with pytest.raises(ValueError, match=r"unknown labels \['strat'\]; the model has \['start', 'two'\]"):
        route(problem, {}, constraint_weight={"strat": 1.0}, **kwargs)


def test_decimal_data_takes_float_weights():
    c, x = ql.Placeholder("c", ndim=1), ql.BinaryVar("x", shape=(2,))
    problem = ql.Problem("p")
    problem += c[0] * x[0] + c[1] * x[1]
    problem += ql.Constraint("one", x[0] + x[1] == 1)
    coeff = to_pubo(problem, {"c": [decimal.Decimal("0.5"), decimal.Decimal("0.25")]}, constraint_weight=2.0).coeff
    assert coeff == {(0,): -1.5, (1,): -1.75, (0, 1): 4.0}


def test_zero_weight_leaves_a_constraint_out_and_encoder_objects_are_accepted(mixed):
    full = to_pubo(mixed, encoder=UnaryEncoder(mixed))
    without = to_pubo(mixed, encoder=UnaryEncoder, constraint_weight={"cap": 0})
    assert "cap" in full.slack and "cap" not in without.slack
    assert without.num_binaries == full.num_binaries - len(full.slack["cap"][()])


def test_decode_pubo_restores_integers_and_fixed_values():
    pytest.importorskip("quillon_transpiler.core.decode.decode")
    y = ql.IntegerVar("y", shape=(3,), lower_bound=-2, upper_bound=5)
    problem = ql.Problem("p")
    problem += y[0] + y[1] + y[2]
    compiled = compile_model(problem, {}, fixed_variables={"y": {(2,): 4}})
    result = quillon_transpiler.to_pubo(compiled)
    samples = [result.encoder.encode({0: 3, 1: -2}), result.encoder.encode({0: 0, 1: 5})]
    record = decode_pubo(samples, result)
    assert record.solution["y"] == [(([0, 1, 2],), [3, -2, 4], (3,)), (([1, 2],), [5, 4], (3,))]
    assert all(type(v) is int for v in record.solution["y"][0][1])
    assert decode_pubo(samples[0], result).num_occurrences == [1]
