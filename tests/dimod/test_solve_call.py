"""solve: model to decoded answer in one call, against optima found here by brute force over the
data alone; the CQM and HUBO routes; Ctrl-C while sampling; the progress line."""

import itertools
import warnings

import numpy as np
import pytest

dimod = pytest.importorskip("dimod")
samplers = pytest.importorskip("dwave.samplers")

import quillon as ql  # noqa: E402
from quillon_transpiler import solve, testing, tune_weights  # noqa: E402
from quillon_transpiler.core.solve import batch_seed  # noqa: E402


def knapsack_optimum(data):
    v, w, W, n = data["v"], data["w"], data["W"], data["N"]
    return max(
        v @ b
        for b in map(np.array, itertools.product((0, 1), repeat=n))
        if w @ b <= W and all(b[2 * p] + b[2 * p + 1] <= 1 for p in range(n // 2))
    )


def knapsack_objective(best, data):
    return data["v"] @ best.dense("b")


def assignment_optimum(data):
    c, n = data["c"], data["N"]
    return min(sum(c[i, p[i]] for i in range(n)) for p in itertools.permutations(range(n)))


def tour_length(d, order):
    return sum(d[order[t], order[(t + 1) % len(order)]] for t in range(len(order)))


def tsp_optimum(data):
    return min(tour_length(data["d"], p) for p in itertools.permutations(range(data["N"])))


def permutation_objective(weights):
    def objective(best, data):
        x = best.dense("x")
        assert (x.sum(axis=0) == 1).all() and (x.sum(axis=1) == 1).all()
        if weights == "d":
            return tour_length(data["d"], [int(np.argmax(x[:, t])) for t in range(data["N"])])
        return (data["c"] * x).sum()

    return objective


MODELS = {
    "knapsack": (testing.knapsack(6), max, knapsack_optimum, knapsack_objective),
    "assignment": (testing.assignment(3), min, assignment_optimum, permutation_objective("c")),
    "tsp": (testing.tsp(4), min, tsp_optimum, permutation_objective("d")),
}


@pytest.mark.parametrize("name", MODELS)
@pytest.mark.parametrize("sampler", ["exact", "annealing", "default"])
def test_the_best_feasible_sample_is_the_brute_force_optimum(name, sampler):
    (problem, data), _, optimum, objective = MODELS[name]
    options = {"seed": 3, "num_reads": 64}
    if sampler == "exact":
        chosen, options = dimod.ExactSolver(), {}
    elif sampler == "annealing":
        chosen = samplers.SimulatedAnnealingSampler()
    else:
        chosen = None  # exact up to 12 binaries (the assignment), annealing beyond; seed left out when exact
    decoded = solve(problem, data, chosen, progress=False, **options)
    assert isinstance(decoded, ql.SampleSet) and decoded.measuring_time.total >= decoded.measuring_time.solve > 0
    best = decoded.feasible().lowest().take([0])
    assert best.evaluation.objective[0] == pytest.approx(optimum(data))
    assert objective(best, data) == pytest.approx(optimum(data))  # the record, not only the number
    if sampler != "exact":
        assert sum(decoded.record.num_occurrences) == 64 or name == "assignment"
        again = solve(problem, data, chosen, progress=False, **options)
        assert again.record.solution == decoded.record.solution  # seeded batches repeat


@pytest.mark.parametrize("penalty_weight", [None, 1000.0])
def test_cqm_sampler_gets_the_cqm_with_its_penalties(penalty_weight):
    # "one step per city" is a squared custom penalty: the CQM's objective must carry it, at 1.0 by default
    problem, data = testing.tsp(4, onehot="mixed")
    decoded = solve(problem, data, dimod.ExactCQMSolver(), penalty_weight=penalty_weight, progress=False)
    weight = 1.0 if penalty_weight is None else penalty_weight
    d, n = data["d"], 4
    best = min(  # one city per step (the constraint); the penalty counts repeated cities
        tour_length(d, order) + weight * sum((order.count(i) - 1) ** 2 for i in range(n))
        for order in itertools.product(range(n), repeat=n)
    )
    assert len(decoded) == 2**16  # every assignment, as ExactCQMSolver gives them
    assert decoded.feasible().lowest().evaluation.energy[0] == pytest.approx(best)
    with pytest.raises(ValueError, match="constraint_weight, encoder with a CQM sampler"):
        solve(problem, data, dimod.ExactCQMSolver(), constraint_weight=5.0, encoder="unary")


@pytest.mark.parametrize("encoder", ["log", "unary", "one-hot"])
def test_integer_model_with_each_encoder(encoder):
    problem, data = testing.cover()
    u, c, D = data["u"], data["c"], data["D"]
    ranges = [range(4)] + [range(int(b) + 1) for b in u]
    optimum = min(
        2 * y * y + c @ np.array(z) for y, *z in itertools.product(*ranges) if y + sum(z) >= D and sum(z) <= 3
    )
    decoded = solve(problem, data, samplers.SimulatedAnnealingSampler(), encoder=encoder, seed=2, progress=False)
    best = decoded.feasible().lowest().take([0])
    y, z = int(best.dense("y")), best.dense("z")
    assert 2 * y * y + c @ z == pytest.approx(optimum) == best.evaluation.objective[0]
    assert y + z.sum() >= D and z.sum() <= 3 and (z <= u).all()


def cubic():
    """Cubic terms (with negative and positive weights) under a <= constraint."""
    n = ql.Placeholder("n")
    c, g = ql.Placeholder("c", ndim=1), ql.Placeholder("g", ndim=1)
    x = ql.BinaryVar("x", shape=(n,))
    i, k = ql.Element("i", n), ql.Element("k", n - 2)
    problem = ql.Problem("cubic")
    problem += ql.sum(i, c[i] * x[i]) + ql.sum(k, g[k] * x[k] * x[k + 1] * x[k + 2])
    problem += ql.Constraint("at most three", ql.sum(i, x[i]) <= 3)
    data = {"n": 5, "c": np.array([1.0, -0.5, 2.0, 0.5, -1.0]), "g": np.array([-4.0, -3.0, 2.5])}
    rows = [np.array(b) for b in itertools.product((0, 1), repeat=5) if sum(b) <= 3]
    optimum = min(data["c"] @ b + sum(data["g"][k] * b[k] * b[k + 1] * b[k + 2] for k in range(3)) for b in rows)
    return problem, data, optimum


@pytest.mark.parametrize("sampler", [None, "annealing", "polynomial"])
def test_higher_order_model_on_a_quadratic_sampler_is_reduced(sampler):
    problem, data, optimum = cubic()
    chosen = {"annealing": samplers.SimulatedAnnealingSampler(), "polynomial": dimod.ExactPolySolver()}.get(sampler)
    options = {"seed": 5, "num_reads": 64} if sampler == "annealing" else {}
    decoded = solve(problem, data, chosen, progress=False, **options)
    best = decoded.feasible().lowest().take([0])
    assert best.evaluation.objective[0] == pytest.approx(optimum)
    assert best.dense("x").shape == (5,)  # no auxiliary binary reaches the record
    x = best.dense("x")
    assert data["c"] @ x + sum(data["g"][k] * x[k] * x[k + 1] * x[k + 2] for k in range(3)) == pytest.approx(optimum)
    with pytest.raises(ValueError, match="unknown reduction|reduction"):
        solve(problem, data, dimod.ExactSolver(), reduction="nonsense")


@pytest.mark.parametrize("sampler", [None, "bqm", "cqm", "polynomial"])
@pytest.mark.parametrize("fixed, feasible, objective", [((1, 0), True, 3.0), ((1, 1), False, 5.0), (None, True, 7.0)])
def test_a_model_without_variables_has_its_one_answer(sampler, fixed, feasible, objective):
    # every variable fixed, or every range empty: the exact solvers sample nothing from a model
    # without variables, yet its one assignment (the empty one) is the answer
    chosen = {"bqm": dimod.ExactSolver(), "cqm": dimod.ExactCQMSolver(), "polynomial": dimod.ExactPolySolver()}
    n = ql.Placeholder("n")
    x = ql.BinaryVar("x", shape=(n,))
    i = ql.Element("i", n)
    problem = ql.Problem("none")
    problem += ql.sum(i, (3 - i) * x[i]) + 7 * (fixed is None)
    problem += ql.Constraint("one", ql.sum(i, x[i]) == 1) if fixed else ql.CustomPenaltyTerm("p", ql.sum(i, x[i]))
    values = {"x": {(0,): fixed[0], (1,): fixed[1]}} if fixed else None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        decoded = solve(problem, {"n": 2 if fixed else 0}, chosen.get(sampler), fixed_variables=values, progress=False)
    assert len(decoded) == 1 and len(decoded.feasible()) == int(feasible)
    assert decoded.evaluation.objective[0] == objective


class Records(samplers.SimulatedAnnealingSampler):
    """Simulated annealing that records the options of each sample call."""

    def __init__(self):
        super().__init__()
        self.calls = []

    def sample(self, bqm, **options):
        self.calls.append(options)
        return super().sample(bqm, **options, num_sweeps=1)


def test_neighbouring_seeds_share_no_batch():
    # seed + k made batch 1 of seed 1 batch 0 of seed 2: a sweep over seeds reused its reads
    problem, data = testing.tsp(5)
    seeds = {}
    for seed in (1, 2):
        sampler = Records()
        solve(problem, data, sampler, num_reads=4000, seed=seed, progress=False)
        seeds[seed] = [c["seed"] for c in sampler.calls]
        assert len(seeds[seed]) > 1 and seeds[seed][0] == seed
    assert not set(seeds[1]) & set(seeds[2])


class StopsAt(samplers.SimulatedAnnealingSampler):
    """Simulated annealing that is interrupted (as by Ctrl-C) on its n-th sample call."""

    def __init__(self, n):
        super().__init__()
        self.n, self.calls = n, []

    def sample(self, bqm, **options):
        self.calls.append(options)
        if len(self.calls) == self.n:
            raise KeyboardInterrupt
        return super().sample(bqm, **options)


def test_ctrl_c_keeps_the_batches_sampled():
    problem, data = testing.tsp(5)
    sampler = StopsAt(2)
    with pytest.warns(RuntimeWarning, match=r"interrupted while sampling: kept the (\d+) of 4000 reads") as caught:
        decoded = solve(problem, data, sampler, num_reads=4000, seed=9, progress=False)
    first = sampler.calls[0]["num_reads"]
    assert len(sampler.calls) == 2 and 0 < first < 4000 and str(first) in str(caught[0].message)
    assert [c["seed"] for c in sampler.calls] == [9, batch_seed(9, 1)]
    assert sum(decoded.record.num_occurrences) == first  # the first batch, decoded
    assert len(decoded.feasible()) > 0
    for n in (1, 2):  # nothing sampled yet: no result; or warnings made errors: the Ctrl-C itself
        with pytest.raises(KeyboardInterrupt), warnings.catch_warnings():
            warnings.simplefilter("error")
            solve(problem, data, StopsAt(n), num_reads=4000, progress=False)


@pytest.mark.parametrize("progress", [True, False])
def test_progress_line(progress, capsys):
    problem, data = testing.assignment(3)
    solve(problem, data, progress=progress)
    err = capsys.readouterr().err
    if progress:
        for line in ("compiled objective", "exported the model", "sampled the model", "decoded 512 samples"):
            assert f"quillon_transpiler: {line} (" in err
    else:
        assert err == ""


@pytest.mark.parametrize(
    "route, sampler, said",
    [
        (solve, "sa", "a dimod sampler"),
        (solve, 3, "a dimod sampler"),
        (solve, dimod.ExactSolver, r"an instance, ExactSolver\(\)"),
        (tune_weights, "sa", "a dimod sampler of binary quadratic models"),
        (tune_weights, dimod.ExactCQMSolver(), "ExactCQMSolver samples constrained ones.*use solve"),
    ],
)
def test_what_cannot_sample_is_refused_before_the_compile(route, sampler, said):
    problem = ql.Problem("unused")  # compiling it would fail: the refusal must come first
    problem += ql.Placeholder("missing")
    with pytest.raises(TypeError, match=said):
        route(problem, {}, sampler, progress=False) if route is solve else route(problem, {}, sampler)


@pytest.mark.parametrize("sampler", [dimod.ExactSolver(), dimod.ExactCQMSolver()])
def test_a_problem_without_its_data_names_solve(sampler):
    problem = ql.Problem("p")
    problem += ql.BinaryVar("x")
    with pytest.raises(TypeError, match=r"^solve takes .* call solve\(problem, instance\)"):
        solve(problem, sampler=sampler)


def test_a_sampler_that_returns_no_sample_set_is_named():
    class ReturnsNone(dimod.Sampler):
        parameters, properties = {}, {}

        def sample(self, bqm, **options):
            return None

    with pytest.raises(TypeError, match="the sampler ReturnsNone returned NoneType None, not the dimod SampleSet"):
        solve(*testing.knapsack(4), ReturnsNone(), progress=False)


@pytest.mark.parametrize("sense", [ql.ProblemSense.MINIMIZE, ql.ProblemSense.MAXIMIZE])
@pytest.mark.parametrize("sampler", [dimod.ExactSolver(), dimod.ExactCQMSolver()], ids=["bqm", "cqm"])
def test_the_objective_leaves_the_weighted_penalties_out(sampler, sense):
    y = ql.BinaryVar("y", shape=(2,))
    problem = ql.Problem("p", sense=sense)
    problem += 2 * y[0] + 3 * y[1] + 1
    problem += ql.CustomPenaltyTerm("both", y[0] * y[1])
    decoded = solve(problem, {}, sampler, penalty_weight=10.0, progress=False)
    for k in range(len(decoded)):
        a, b = decoded.dense("y", k).tolist()
        assert decoded.evaluation.objective[k] == 2 * a + 3 * b + 1
