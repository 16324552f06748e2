"""to_cqm folds native objectives left in parts, and squares, in bulk: the same models as the
dict route, which adds every term on its own, on both sides of what decides between the ways."""

import numpy as np
import pytest

dimod = pytest.importorskip("dimod")

from dimod_helpers import assert_same_cqm, assert_same_model  # noqa: E402

import quillon as ql  # noqa: E402
from quillon_transpiler import to_cqm  # noqa: E402
from quillon_transpiler.core.compile.compile import compile_model  # noqa: E402
from quillon_transpiler.core.dimod import transpile_dimod_bridge_cqm  # noqa: E402


def grid(n, *, integer_data, integer_vars, maximise, seed, scale=1):
    """One nested sum whose terms meet the same pairs within an outer key and across them, and
    squares over rows and columns that share pairs across their forall keys."""
    rng = np.random.default_rng(seed)
    N = ql.Placeholder("N")
    w = ql.Placeholder("w", ndim=2)
    c = ql.Placeholder("c", ndim=1)
    x = ql.BinaryVar("x", shape=(N, N))
    z = ql.IntegerVar("z", shape=(N,), lower_bound=-2, upper_bound=3)
    i, j = ql.Element("i", N), ql.Element("j", N)
    sense = ql.ProblemSense.MAXIMIZE if maximise else ql.ProblemSense.MINIMIZE
    problem = ql.Problem("grid", sense=sense)
    term = w[i, j] * x[i, j] * x[j, (i + 1) % N] + w[j, i] * x[j, 0] * x[j, 1] + c[j] * x[i, j] + c[i] * x[0, 1]
    problem += ql.sum(i, ql.sum(j, term + c[i] * z[j] * x[i, 0] if integer_vars else term))
    problem += ql.CustomPenaltyTerm("rows", (ql.sum(j, w[i, j] * x[i, j]) - c[i]) ** 2, forall=i)
    problem += ql.CustomPenaltyTerm("cols", (ql.sum(i, x[i, j] + x[i, (j + 1) % N]) - 1) ** 2, forall=j)
    if integer_vars:
        problem += ql.CustomPenaltyTerm("ints", (ql.sum(i, c[i] * z[i] + x[i, 1]) - 2) ** 2)
    if integer_data:
        data = {"w": rng.integers(-9, 10, (n, n)) * scale, "c": rng.integers(-3, 4, n) * scale}
    else:
        data = {"w": rng.normal(size=(n, n)) * scale, "c": rng.normal(size=n) * scale}
    return problem, {"N": n, **data}


def same_as_dict_route(problem, data, weights):
    got = to_cqm(problem, data, progress=False)
    want = transpile_dimod_bridge_cqm(compile_model(problem, data))
    for w in (weights, None):
        assert_same_cqm(got.get_model(w), want.get_model(w))
    assert_same_model(got._objective, want._objective)
    assert list(got.custome_penalties) == list(want.custome_penalties)
    for label, penalty in want.custome_penalties.items():
        assert_same_model(got.custome_penalties[label], penalty)


def refusal(make):
    with pytest.raises((ValueError, OverflowError)) as caught:
        make()
    return type(caught.value), str(caught.value)


@pytest.mark.parametrize("n", [3, 9])  # records sorted by comparison, and by radix
@pytest.mark.parametrize("integer_data", [False, True])
@pytest.mark.parametrize("integer_vars, maximise", [(False, False), (True, True)])
def test_bulk_folds_match_the_dict_route(n, integer_data, integer_vars, maximise):
    problem, data = grid(n, integer_data=integer_data, integer_vars=integer_vars, maximise=maximise, seed=n)
    same_as_dict_route(problem, data, {"cols": 0.5, "rows": 3, "ints": 1e-3} if integer_vars else {"rows": 7.25})


@pytest.mark.parametrize(
    "scale",
    [
        2**20,  # int squares and products exact in doubles: folded in bulk
        2**27,  # int products of a square past 2^53: the square is expanded first
        2**48,  # the objective's ints sum past 2^53: its parts are merged first
        1e140,  # float products within float64's range, but near its end: expanded first
        1e150,
        1e160,  # float products that leave float64's range: refused as before
    ],
)
def test_large_numbers_take_the_same_way_out(scale):
    problem, data = grid(4, integer_data=True, integer_vars=False, maximise=False, seed=2, scale=scale)
    if isinstance(scale, float):
        data = {key: value.astype(float) if key != "N" else value for key, value in data.items()}
    if scale == 1e160:
        assert refusal(lambda: to_cqm(problem, data, progress=False)) == refusal(
            lambda: transpile_dimod_bridge_cqm(compile_model(problem, data))
        )
        return
    same_as_dict_route(problem, data, {"rows": 1, "cols": 2.5})


@pytest.mark.parametrize("bad", [float("nan"), float("inf")])
def test_numbers_that_are_not_finite_are_refused_as_before(bad):
    problem, data = grid(3, integer_data=False, integer_vars=False, maximise=False, seed=1)
    for key in ("w", "c"):
        broken = dict(data, **{key: data[key].copy()})
        broken[key].flat[1] = bad
        assert refusal(lambda: to_cqm(problem, broken, progress=False)) == refusal(
            lambda: transpile_dimod_bridge_cqm(compile_model(problem, broken))
        )


@pytest.mark.parametrize("integer_data", [False, True])
def test_objective_squares_of_one_binary_match_the_dict_route(integer_data):
    """x[i] * x[j] meets x[i] * x[i] on the diagonal: a key of one variable twice."""
    rng = np.random.default_rng(4)
    N = ql.Placeholder("N")
    q = ql.Placeholder("q", ndim=2)
    x = ql.BinaryVar("x", shape=(N,))
    i, j = ql.Element("i", N), ql.Element("j", N)
    problem = ql.Problem("dense")
    problem += ql.sum(i, ql.sum(j, q[i, j] * x[i] * x[j]))
    problem += ql.CustomPenaltyTerm("one", (ql.sum(i, x[i]) - 1) ** 2)
    n = 6
    data = {"N": n, "q": rng.integers(-9, 10, (n, n)) if integer_data else rng.normal(size=(n, n))}
    same_as_dict_route(problem, data, {"one": 2.5})


@pytest.mark.parametrize("weight", [100.0, 3, -0.5])
def test_a_weight_written_in_a_squared_penalty_matches_the_dict_route(weight):
    problem, data = grid(5, integer_data=False, integer_vars=False, maximise=False, seed=3)
    N, x = ql.Placeholder("N"), ql.BinaryVar("x", shape=(ql.Placeholder("N"), ql.Placeholder("N")))
    i, j = ql.Element("i", N), ql.Element("j", N)
    problem += ql.CustomPenaltyTerm("weighted", weight * (ql.sum(j, x[i, j]) - 1) ** 2, forall=i)
    same_as_dict_route(problem, data, {"rows": 2, "cols": 1, "weighted": 1.5})
