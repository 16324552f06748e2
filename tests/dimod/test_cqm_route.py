"""to_cqm (native compile, polynomials read in place by the bridge) against the dict route."""

import pickle

import numpy as np
import pytest

dimod = pytest.importorskip("dimod")

from dimod_helpers import assert_same_cqm, assert_same_model  # noqa: E402

import quillon as ql  # noqa: E402
from quillon_transpiler import testing as models  # noqa: E402
from quillon_transpiler import to_cqm  # noqa: E402
from quillon_transpiler.core.compile.compile import compile_model  # noqa: E402
from quillon_transpiler.core.dimod import transpile_dimod_bridge_cqm  # noqa: E402


def tsp(n=6, seed=1):
    """Nested sums (the objective is kept in grouped parts) and a squared one-hot penalty."""
    d = np.random.default_rng(seed).uniform(0, 10, (n, n))
    return models.tsp(n, onehot="mixed", factor_distance=True, d=d)


@pytest.mark.parametrize("model", [models.knapsack, models.assignment, models.cover, models.smoothing, tsp])
def test_same_builder_as_the_dict_route(model):
    problem, data = model()
    got = to_cqm(problem, data, progress=False)
    want = transpile_dimod_bridge_cqm(compile_model(problem, data))
    weights = {label: 1.5 + k for k, label in enumerate(want.custome_penalties)}
    assert_same_cqm(got.get_model(weights), want.get_model(weights))
    assert_same_model(got._objective, want._objective)
    assert list(got.custome_penalties) == list(want.custome_penalties)
    for label, penalty in want.custome_penalties.items():
        assert_same_model(got.custome_penalties[label], penalty)
    # decoding reads the constraints' polynomials: the same samples decode the same way
    cqm = want.get_model()
    samples = dimod.SampleSet.from_samples_cqm(
        (np.random.default_rng(0).integers(0, 2, (6, len(cqm.variables))), list(cqm.variables)), cqm
    )
    a, b = got.decode_from_cqm_result(samples), want.decode_from_cqm_result(samples)
    assert a.record.solution == b.record.solution
    assert a.evaluation.constraint_violations == b.evaluation.constraint_violations
    assert a.evaluation.objective == b.evaluation.objective


def test_errors_and_fallbacks_follow_the_dict_route():
    x = ql.BinaryVar("x", shape=(3,))
    problem = ql.Problem("cubic")
    problem += x[0] * x[1] * x[2]
    with pytest.raises(
        TypeError, match=r"In objective: the term x\[0\]\*x\[1\]\*x\[2\] has more than two variable factors"
    ):
        to_cqm(problem, {}, progress=False)
    # a coefficient beyond int64 is held as a Python int natively: the same bias comes out
    problem = ql.Problem("big")
    problem += 2**80 * x[0] + x[1]
    got, want = to_cqm(problem, {}, progress=False), transpile_dimod_bridge_cqm(compile_model(problem, {}))
    assert_same_model(got._objective, want._objective)


@pytest.mark.parametrize("bounds, added", [((2, 5), True), ((-5, -2), True), ((0, 3), False)])
@pytest.mark.parametrize("where", ["penalty left out", "factor fixed to 0"])
def test_integers_the_cqm_would_lack_take_values_within_their_bounds(where, bounds, added):
    # all of y's terms go: the sampler never assigns it, and decoding reads it as 0
    x = ql.BinaryVar("x", shape=(2,))
    y = ql.IntegerVar("y", lower_bound=bounds[0], upper_bound=bounds[1])
    problem = ql.Problem("p")
    problem += x[1] - x[0]
    if where == "penalty left out":
        problem += ql.CustomPenaltyTerm("q", (y - 3) ** 2)
        builder = to_cqm(problem, {}, progress=False)
    else:
        problem += x[0] * y
        builder = to_cqm(problem, {}, {"x": {(0,): 0}}, progress=False)
    cqm = builder.get_model()
    assert (("y", ()) in cqm.variables) == added
    # a builder read back from a pickle keeps no native models: its registry says the same
    assert (("y", ()) in pickle.loads(pickle.dumps(builder)).get_model().variables) == added
    decoded = builder.decode_from_cqm_result(dimod.ExactCQMSolver().sample_cqm(cqm))
    assert {decoded.dense("y", k).item() for k in range(len(decoded))} == (
        set(range(bounds[0], bounds[1] + 1)) if added else {0}
    )
