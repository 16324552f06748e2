"""transpile_dimod_bridge_cqm and get_model against the same CQM built by model arithmetic."""

import fractions

import numpy as np
import pytest

dimod = pytest.importorskip("dimod")

from dimod_helpers import assert_same_cqm, assert_same_model, reference_cqm  # noqa: E402

import quillon as ql  # noqa: E402
from quillon_transpiler import testing as models  # noqa: E402
from quillon_transpiler import to_cqm  # noqa: E402
from quillon_transpiler.core.compile.compile import compile_model  # noqa: E402
from quillon_transpiler.core.dimod.dimod_bridge import DimodBuilder, transpile_dimod_bridge_cqm  # noqa: E402
from quillon_transpiler.core.substitute import SubstitutedExpression  # noqa: E402
from quillon_transpiler.core.substitute.substitutable_expr import ConstraintKind, OtherConstraintKind  # noqa: E402


@pytest.mark.parametrize(
    "model, weights",
    [
        (models.knapsack, None),
        (models.knapsack, {"first two": 2.5}),
        (models.assignment, None),
        (models.cover, None),
        (models.smoothing, {"rows": 0.25, "pairs": 3}),
    ],
)
def test_cqm_equals_model_arithmetic(model, weights):
    compiled = compile_model(*model())
    builder = transpile_dimod_bridge_cqm(compiled)
    assert isinstance(builder, DimodBuilder) and builder.compiled_model is compiled
    assert_same_cqm(builder.get_model(weights), reference_cqm(compiled, weights))


def fraction_coefficient(poly):
    key = next(iter(poly.coeff))
    poly.coeff[key] = fractions.Fraction(7, 3)  # only dimod's arithmetic takes it


def numpy_indices(poly):
    key, value = poly.coeff.popitem()
    poly.coeff[tuple(np.int64(i) for i in key)] = value  # equal to the registry's ints


@pytest.mark.parametrize("change", [fraction_coefficient, numpy_indices])
def test_unusual_polynomials(change):
    compiled = compile_model(*models.cover())
    change(compiled.objective)
    change(compiled.constraint["demand"][()])
    assert_same_cqm(transpile_dimod_bridge_cqm(compiled).get_model(), reference_cqm(compiled))


def test_labels_senses_vartypes_and_bounds():
    N = ql.Placeholder("N")
    x = ql.BinaryVar("x", shape=(N,))
    k = ql.IntegerVar("k", shape=(N,), lower_bound=-1, upper_bound=ql.Placeholder("u", ndim=1))
    i = ql.Element("i", N)
    problem = ql.Problem("p")
    problem += ql.sum(i, x[i] + k[i])
    problem += ql.Constraint("c", ql.sum(i, x[i]) == 1)
    problem += ql.Constraint("d", x[i] + k[i] <= 2, forall=i)
    problem += ql.Constraint("e", ql.sum(i, k[i]) >= 1)
    compiled = compile_model(problem, {"N": 2, "u": [3, 4]})
    # the lowering writes a >= b as b <= a; a compiled >= (negated, so the same constraint) too
    compiled.problem.constraints["e"].condition.kind = ConstraintKind.GREATERTHANEQUAL
    compiled.constraint["e"][()].mul(SubstitutedExpression({}, -1, 0))
    cqm = transpile_dimod_bridge_cqm(compiled).get_model()
    assert list(cqm.constraints) == ["c_()", "d_(0,)", "d_(1,)", "e_()"]
    assert [c.sense.value for c in cqm.constraints.values()] == ["==", "<=", "<=", ">="]
    e = cqm.constraints["e_()"].lhs
    assert (dict(e.linear), e.offset) == ({("k", (0,)): 1.0, ("k", (1,)): 1.0}, -1.0)
    # variables in order of first use: constraints first, then the objective
    assert list(cqm.variables) == [("x", (0,)), ("x", (1,)), ("k", (0,)), ("k", (1,))]
    assert [cqm.vartype(v) for v in cqm.variables] == [dimod.BINARY] * 2 + [dimod.INTEGER] * 2
    assert (cqm.lower_bound(("k", (1,))), cqm.upper_bound(("k", (1,)))) == (-1, 4)


def test_maximisation_negates_the_objective_constant_included():
    x = ql.BinaryVar("x")
    problem = ql.Problem("max", sense=ql.ProblemSense.MAXIMIZE)
    problem += 3 * x + 2
    objective = transpile_dimod_bridge_cqm(compile_model(problem, {})).get_model().objective
    assert (dict(objective.linear), objective.offset) == ({("x", ()): -3.0}, -2.0)


def test_empty_model_and_constant_objective():
    problem = ql.Problem("empty")
    problem += ql.NumberLit(5)
    cqm = transpile_dimod_bridge_cqm(compile_model(problem, {})).get_model()
    assert (cqm.num_variables(), cqm.num_constraints(), cqm.objective.offset) == (0, 0, 5.0)


def test_penalty_weights():
    compiled = compile_model(*models.knapsack())
    builder = transpile_dimod_bridge_cqm(compiled)
    plain = reference_cqm(compiled).objective
    assert_same_model(
        builder.get_model({"first two": 2.0}).objective, reference_cqm(compiled, {"first two": 2.0}).objective
    )
    assert_same_model(builder.get_model().objective, plain)  # _objective itself is untouched
    with pytest.raises(KeyError):
        builder.get_model({"q": 1.0})
    with pytest.raises(TypeError, match="Argument 'penalty_weight' has incorrect type"):
        builder.get_model([("first two", 1.0)])
    # without custom penalties the weights are not consulted
    assert_same_model(
        transpile_dimod_bridge_cqm(compile_model(*models.assignment())).get_model({"q": 1.0}).objective,
        reference_cqm(compile_model(*models.assignment())).objective,
    )


def test_errors():
    compiled = compile_model(*models.cover())
    compiled.problem.constraints["demand"].condition.kind = OtherConstraintKind.NOTEQUAL
    with pytest.raises(ValueError, match="unknown condition"):
        transpile_dimod_bridge_cqm(compiled)

    compiled = compile_model(*models.cover())
    del compiled.var_map.integer_bound["z"][(1,)]
    with pytest.raises(KeyError):
        transpile_dimod_bridge_cqm(compiled)

    compiled = compile_model(*models.cover())
    bound = compiled.var_map.integer_bound["z"][(1,)]
    bound.lower, bound.upper = 5, 1
    with pytest.raises(ValueError, match=r"Integer variable z\[1\] has no integer value within its bounds \[5, 1\]"):
        transpile_dimod_bridge_cqm(compiled)


def scattered():
    """Penalties over variables the objective orders otherwise (their pairs change order when
    mapped) and over variables it does not use at all; the penalties share pairs."""
    x = ql.BinaryVar("x", shape=(6,))
    y = ql.BinaryVar("y", shape=(3,))
    problem = ql.Problem("scattered")
    problem += 2 * x[5] * x[4] + x[3] * x[0] - 1.5 * x[2] * x[1] + x[0]
    problem += ql.CustomPenaltyTerm("rise", (x[0] + x[1] + 2 * x[2] + x[3] - 1) ** 2)
    problem += ql.CustomPenaltyTerm("fresh", y[2] * y[0] + 0.1 * x[1] * x[0] + y[1] * x[5] - 3)
    return problem, {}


@pytest.mark.parametrize(
    "model, weights",
    [
        (scattered, {"rise": 2.5, "fresh": 3}),
        (scattered, {"fresh": 0.3, "rise": 7}),  # the order of the weights is the order of the sums
        (scattered, {"fresh": 0}),  # a zero weight still brings the penalty's variables and pairs
        (scattered, {"rise": 1e-17}),
        (models.smoothing, {"pairs": 1, "rows": 0.1}),  # maximised
        (models.knapsack, {"first two": 2}),  # int weight
    ],
)
def test_weighted_objective_sums_as_model_arithmetic(model, weights):
    compiled = compile_model(*model())
    assert_same_cqm(transpile_dimod_bridge_cqm(compiled).get_model(weights), reference_cqm(compiled, weights))
    problem, data = model()
    assert_same_cqm(to_cqm(problem, data, progress=False).get_model(weights), reference_cqm(compiled, weights))
