"""Models solved by dimod.ExactCQMSolver and decoded: every sample's decoded solution, objective
and violations agree with values computed here from the data alone, and the best feasible
objective is the brute-force optimum."""

import itertools

import numpy as np
import pytest

dimod = pytest.importorskip("dimod")

import quillon as ql  # noqa: E402
from quillon_transpiler import testing as models  # noqa: E402
from quillon_transpiler.core.compile.compile import compile_model  # noqa: E402
from quillon_transpiler.core.dimod.dimod_bridge import transpile_dimod_bridge_cqm  # noqa: E402
from quillon_transpiler.core.substitute import SubstitutedExpression  # noqa: E402
from quillon_transpiler.core.substitute.substitutable_expr import ConstraintKind  # noqa: E402


def solve(compiled):
    builder = transpile_dimod_bridge_cqm(compiled)
    sampleset = dimod.ExactCQMSolver().sample_cqm(builder.get_model())
    # the record is not in energy order, so that a decoder sorting by energy would show
    assert list(sampleset.record.energy) != sorted(sampleset.record.energy)
    decoded = builder.decode_from_cqm_result(sampleset)
    assert isinstance(decoded, ql.SampleSet) and isinstance(decoded.measuring_time, ql.MeasuringTime)
    assert decoded.record.num_occurrences == sampleset.record.num_occurrences.tolist()
    assert decoded.evaluation.energy == sampleset.record.energy.tolist()
    return decoded


def check(decoded, objective, violations, best, optimum):
    """objective(sample) and violations(sample) -> {label: value} from the decoded solution."""
    for k in range(len(decoded)):
        assert decoded.evaluation.objective[k] == pytest.approx(objective(decoded, k))
        got = {label: v[k] for label, v in decoded.evaluation.constraint_violations.items()}
        assert got == pytest.approx(violations(decoded, k))
    feasible = decoded.feasible()
    assert len(feasible) > 0
    assert best(feasible.evaluation.objective) == pytest.approx(optimum)


def test_knapsack_maximisation():
    problem, data = models.knapsack()
    v, w, W, n = data["v"], data["w"], data["W"], data["N"]

    def violations(sample_set, k):
        b = sample_set.dense("b", k)
        return {"weight": max(0.0, w @ b - W), "pair": sum(max(0, b[2 * p] + b[2 * p + 1] - 1) for p in range(n // 2))}

    optimum = max(
        v @ b
        for b in map(np.array, itertools.product((0, 1), repeat=n))
        if w @ b <= W and all(b[2 * p] + b[2 * p + 1] <= 1 for p in range(n // 2))
    )
    decoded = solve(compile_model(problem, data))
    assert decoded.evaluation.objective == [-e for e in decoded.evaluation.energy]
    check(decoded, lambda s, k: v @ s.dense("b", k), violations, max, optimum)


def test_assignment():
    problem, data = models.assignment()
    c, n = data["c"], data["N"]

    def violations(sample_set, k):
        x = sample_set.dense("x", k)
        return {"task": float(np.abs(x.sum(axis=1) - 1).sum()), "worker": float(np.abs(x.sum(axis=0) - 1).sum())}

    optimum = min(sum(c[i, p[i]] for i in range(n)) for p in itertools.permutations(range(n)))
    check(solve(compile_model(problem, data)), lambda s, k: (c * s.dense("x", k)).sum(), violations, min, optimum)


@pytest.mark.parametrize("as_greater_equal", [False, True])
def test_integers_with_a_scalar_variable_and_a_covering_constraint(as_greater_equal):
    problem, data = models.cover()
    D, u, c = data["D"], data["u"], data["c"]
    compiled = compile_model(problem, data)
    if as_greater_equal:
        # y + sum(z) - D >= 0: short samples are violations of their shortfall
        compiled.problem.constraints["demand"].condition.kind = ConstraintKind.GREATERTHANEQUAL
        compiled.constraint["demand"][()].mul(SubstitutedExpression({}, -1, 0))

    def values(sample_set, k):
        y = sample_set.dense("y", k)
        assert y.shape == ()
        return int(y), sample_set.dense("z", k)

    def objective(sample_set, k):
        y, z = values(sample_set, k)
        return 2 * y * y + c @ z

    def violations(sample_set, k):
        y, z = values(sample_set, k)
        return {"demand": max(0, D - y - z.sum()), "few z": max(0, z.sum() - 3)}

    ranges = [range(4)] + [range(int(b) + 1) for b in u]
    optimum = min(
        2 * y * y + c @ np.array(z) for y, *z in itertools.product(*ranges) if y + sum(z) >= D and sum(z) <= 3
    )
    decoded = solve(compiled)
    short = [k for k in range(len(decoded)) if decoded.evaluation.constraint_violations["demand"][k] > 0]
    assert short  # infeasible samples were decoded, y among their values
    check(decoded, objective, violations, min, optimum)


def test_sample_layout():
    problem, data = models.cover()
    compiled = compile_model(problem, data)
    builder = transpile_dimod_bridge_cqm(compiled)
    cqm = builder.get_model()
    labels = list(cqm.variables)  # y, z0, z1, z2
    samples = [[0, 0, 0, 0], [2, 0, 1, 2], [1, 2, 0, 0]]
    decoded = builder.decode_from_cqm_result(dimod.SampleSet.from_samples_cqm((samples, labels), cqm))
    assert decoded.record.solution["y"] == [((), [], ()), ((), [2], ()), ((), [1], ())]
    assert decoded.record.solution["z"] == [(([],), [], (3,)), (([1, 2],), [1, 2], (3,)), (([0],), [2], (3,))]
    assert decoded.evaluation.constraint_violations == {"demand": [4.0, 0.0, 1.0], "few z": [0.0, 0.0, 0.0]}

    # a sampler's own variables are not the model's: ignored
    extra = dimod.SampleSet.from_samples(
        ([[1, 2, 0, 1, 0]], labels + ["aux"]), "INTEGER", energy=[7.0], is_feasible=[False]
    )
    decoded = builder.decode_from_cqm_result(extra)
    assert decoded.record.solution == {"y": [((), [1], ())], "z": [(([0, 2],), [2, 1], (3,))]}
    assert decoded.evaluation.constraint_violations == {"demand": [0.0], "few z": [0.0]}


def test_no_constraints():
    x = ql.BinaryVar("x", shape=(2,))
    problem = ql.Problem("free")
    problem += x[0] - x[1]
    builder = transpile_dimod_bridge_cqm(compile_model(problem, {}))
    decoded = builder.decode_from_cqm_result(dimod.ExactCQMSolver().sample_cqm(builder.get_model()))
    assert decoded.evaluation.constraint_violations == {}
    assert min(decoded.evaluation.objective) == -1


@pytest.mark.parametrize(
    "written, violation",
    [(lambda x: x[0] + x[1] == 0, 2.0), (lambda x: x[0] + x[1] <= 1, 1.0), (lambda x: x[0] + x[1] >= 0, 0.0)],
    ids=["==", "<=", ">="],
)
@pytest.mark.filterwarnings("ignore:constraint `c` holds no free decision variable")
def test_a_constraint_of_fixed_variables_alone_is_scored_by_its_constant(written, violation):
    """x[0] and x[1] fixed to 1: the constraint is a constant in the CQM, which dimod counts as
    satisfied whatever it is; the decoded violation is the constant's."""
    x = ql.BinaryVar("x", shape=(3,))
    problem = ql.Problem("fixed")
    problem += x[2] + 7
    problem += ql.Constraint("c", written(x))
    builder = transpile_dimod_bridge_cqm(compile_model(problem, {}, {"x": {(0,): 1, (1,): 1}}))
    decoded = builder.decode_from_cqm_result(dimod.ExactCQMSolver().sample_cqm(builder.get_model()))
    assert decoded.evaluation.constraint_violations == {"c": [violation] * len(decoded)}
    assert len(decoded.feasible()) == (len(decoded) if violation == 0 else 0)


@pytest.mark.parametrize("sense", [ql.ProblemSense.MINIMIZE, ql.ProblemSense.MAXIMIZE])
def test_an_objective_without_variables_keeps_its_constant(sense):
    """dimod scores an objective without variables as 0, leaving its offset out."""
    x = ql.BinaryVar("x", shape=(2,))
    problem = ql.Problem("constant", sense=sense)
    problem += ql.NumberLit(7)
    problem += ql.Constraint("c", x[0] + x[1] == 1)
    builder = transpile_dimod_bridge_cqm(compile_model(problem, {}))
    decoded = builder.decode_from_cqm_result(dimod.ExactCQMSolver().sample_cqm(builder.get_model()))
    minimise = sense == ql.ProblemSense.MINIMIZE
    assert decoded.evaluation.energy == [7.0 if minimise else -7.0] * len(decoded)
    assert decoded.evaluation.objective == [7.0] * len(decoded)


def exact(cqm):
    return dimod.ExactCQMSolver().sample_cqm(cqm)


def x0_alone(cqm):
    return dimod.SampleSet.from_samples_cqm([{("x", (0,)): 1, ("x", (1,)): 0}], cqm)


@pytest.mark.parametrize(
    "constant, sampled, later, sample, want",
    [
        (10, {"pen": 1.0}, None, exact, [10.0, 11.0, 12.0, 13.0]),  # the penalty brought variables
        (10, None, {"pen": 1.0}, exact, [10.0] * 4),  # none: dimod left the offset out
        (-3, {"pen": 1.0}, None, exact, [-3.0, -2.0, -1.0, 0.0]),
        # every energy truly 0, which only the last CQM (made alike) tells from an offset left out
        (-2.5, {"pen": 2.5}, {"pen": 2.5}, x0_alone, [0.0]),
    ],
)
def test_decoded_energies_are_the_sampled_cqms_whatever_get_model_made_since(constant, sampled, later, sample, want):
    x = ql.BinaryVar("x", shape=(2,))
    problem = ql.Problem("constant objective")
    problem += ql.NumberLit(constant)
    problem += ql.Constraint("c", x[0] + x[1] <= 2)
    problem += ql.CustomPenaltyTerm("pen", x[0] + 2 * x[1])
    builder = transpile_dimod_bridge_cqm(compile_model(problem, {}))
    sampleset = sample(builder.get_model(sampled))
    first = builder.decode_from_cqm_result(sampleset).evaluation.energy
    builder.get_model(later)
    assert sorted(first) == sorted(builder.decode_from_cqm_result(sampleset).evaluation.energy) == want
