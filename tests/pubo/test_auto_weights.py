"""Constraint weights chosen from the model ("auto") and tuned with a sampler (tune_weights).

The oracle is independent of the lowering: every assignment of the binaries is decoded by the
encoder, and the compiled polynomials say what it violates and what it is worth.
"""

import math

import numpy as np
import pytest
from pubo_helpers import all_assignments, decode_rows

import quillon as ql
from quillon_transpiler import compile_model, decode, testing, to_pubo, to_qubo_arrays, tune_weights
from quillon_transpiler.core.pubo import binarize, weights
from quillon_transpiler.core.pubo.route import pubo_request
from quillon_transpiler.core.substitute import SubstitutedExpression

dimod = pytest.importorskip("dimod")


def poly_values(poly, values):
    """A compiled polynomial at every row of variable values."""
    out = np.full(len(values), float(poly.constant))
    for key, c in poly.coeff.items():
        out += c * np.prod(values[:, list(key)], axis=1)
    return out


def violated(compiled, values):
    """Rows of variable values that break some constraint."""
    bad = np.zeros(len(values), dtype=bool)
    for label, polys in compiled.constraint.items():
        kind = compiled.problem.constraints[label].condition.kind.name
        for poly in polys.values():
            lhs = poly_values(poly, values)
            bad |= {"EQUAL": lhs != 0, "LESSTHANEQUAL": lhs > 0, "GREATERTHANEQUAL": lhs < 0}[kind]
    return bad


def worth(compiled, values):
    """The objective to minimise (negated for maximising) plus the custom penalties."""
    sign = -1 if compiled.sense.name == "MAXIMIZE" else 1
    total = sign * poly_values(compiled.objective, values)
    for polys in compiled.penalty.values():
        for poly in polys.values():
            total += poly_values(poly, values)
    return total


def qubo_optimum_is_feasible(compiled, encoder="log", **weights_given):
    """Whether the lowest-energy assignment of all binaries is feasible and as good as the best
    feasible assignment (found independently over the variables' binaries)."""
    arrays = to_qubo_arrays(compiled, encoder=encoder, **weights_given)
    rows = all_assignments(arrays.num_binaries)
    best = rows[np.argmin(arrays.energies(rows))][None, :]
    values, ok = decode_rows(arrays.encoder, best)
    if not ok[0] or violated(compiled, values)[0]:
        return False
    every, valid = decode_rows(arrays.encoder, all_assignments(arrays.encoder.num_binaries))
    feasible = every[valid & ~violated(compiled, every)]
    return bool(np.isclose(worth(compiled, values)[0], worth(compiled, feasible).min()))


def random_model(seed):
    """Binaries and an integer, a quadratic objective of random sign, random integer equalities
    and inequalities over them that a random point satisfies, sometimes a weighted square as a
    custom penalty."""
    rng = np.random.default_rng(seed)
    N, c, Q = ql.Placeholder("N"), ql.Placeholder("c", ndim=1), ql.Placeholder("Q", ndim=2)
    x = ql.BinaryVar("x", shape=(N,))
    y = ql.IntegerVar("y", lower_bound=0, upper_bound=3)
    i, j = ql.Element("i", N), ql.Element("j", N)
    sense = ql.ProblemSense.MAXIMIZE if rng.random() < 0.5 else ql.ProblemSense.MINIMIZE
    problem = ql.Problem("random", sense=sense)
    problem += ql.sum(i, c[i] * x[i]) + ql.sum(i, ql.sum(j, Q[i, j] * x[i] * x[j])) + round(3 * rng.normal(), 2) * y
    n = int(rng.integers(3, 6))
    instance = {"N": n, "c": rng.normal(0, 10, n).round(1), "Q": rng.normal(0, 5, (n, n)).round(2)}
    point, at = rng.integers(0, 2, n), int(rng.integers(0, 4))
    chosen = [kind for kind in ("eq", "le", "ge") if rng.random() < 0.6] or [str(rng.choice(["eq", "le", "ge"]))]
    for kind in chosen:
        A, b = ql.Placeholder("A" + kind, ndim=2), ql.Placeholder("b" + kind, ndim=1)
        K = ql.Placeholder("K" + kind)
        k = ql.Element("k" + kind, K)
        with_y = rng.random() < 0.5
        lhs = ql.sum(i, A[k, i] * x[i]) + (y if with_y else 0)
        problem += ql.Constraint(kind, {"eq": lhs == b[k], "le": lhs <= b[k], "ge": lhs >= b[k]}[kind], forall=k)
        m = int(rng.integers(1, 3))
        a = rng.integers(-3, 4, (m, n))
        room = {"eq": 0, "le": 1, "ge": -1}[kind] * rng.integers(0, 3, m)
        instance.update({"K" + kind: m, "A" + kind: a, "b" + kind: a @ point + with_y * at + room})
    if rng.random() < 0.5:
        problem += ql.CustomPenaltyTerm("spread", float(rng.uniform(0, 5)) * (ql.sum(i, x[i]) - 2) ** 2)
    return compile_model(problem, instance)


# ---- the bound ----


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("degree", [2, 3])
def test_flip_bound_bounds_every_single_flip_and_is_exact_for_qubos(seed, degree):
    rng = np.random.default_rng(seed)
    n = 5
    linear = rng.normal(0, 5, n).round(1)
    pairs = [(a, b) for a in range(n) for b in range(a + 1, n) if rng.random() < 0.6]
    biases = rng.normal(0, 5, len(pairs)).round(1)
    triples = [(0, 1, 2), (1, 3, 4)] if degree == 3 else []
    tbiases = rng.normal(0, 5, len(triples)).round(1)
    rows = all_assignments(n)

    def energy(r):
        e = r @ linear + sum(b * r[:, p].prod(axis=1) for p, b in zip(pairs, biases))
        return e + sum(b * r[:, t].prod(axis=1) for t, b in zip(triples, tbiases))

    worst = max(np.abs(energy(rows ^ (np.arange(n) == b)) - energy(rows)).max() for b in range(n))
    bound = weights.flip_bound(
        linear,
        (np.array([p[0] for p in pairs]), np.array([p[1] for p in pairs]), biases),
        (np.cumsum([0] + [3] * len(triples)), np.array([v for t in triples for v in t]), tbiases),
    )
    assert bound >= worst - 1e-9
    if degree == 2:  # a quadratic term's partner is one binary: both ends are reached
        assert bound == pytest.approx(worst)


@pytest.mark.parametrize(
    "coefficients, constant, kind, step",
    [
        ([1, 1], -1, 1, 1),
        ([3, 3], -7, 1, 1),  # lhs in -7 + 3Z: -1 is reached
        ([3, 3], -7, 2, 4),  # lhs > 0 takes 2, 5, ...
        ([3, 3], -7, 3, 1),  # -lhs > 0 takes 1, 4, ...
        ([10, 20], -30, 1, 100),
        ([0.5, 0.25], -0.5, 1, 0.0625),
        ([0.1, 0.2], -0.3, 1, 0.01),
        ([1, 1], -0.5, 1, 0.25),  # constant finer than the coefficients
        ([math.pi, 2.0], 0, 1, 4.0),  # no grain to read: the smallest coefficient stands in
    ],
)
def test_smallest_step_is_the_least_squared_violation(coefficients, constant, kind, step):
    poly = SubstitutedExpression({(v,): c for v, c in enumerate(coefficients)}, constant, 1)
    flat = SubstitutedExpression({}, 5.0, 0)  # a constant instance changes nothing: left out
    assert weights.smallest_step({(0,): poly, (1,): flat}, kind) == pytest.approx(step)


def rows_of(kind, rng, shape):
    """Constraint data of one number kind (zeros among them, for coefficients that vanish)."""
    if kind == "ints":
        return rng.integers(-4, 5, shape) * 3
    if kind == "decimals":
        return np.round(rng.uniform(-2, 2, shape), 2)
    if kind == "reals":
        return rng.uniform(-2, 2, shape) * (rng.random(shape) < 0.8)
    if kind == "big":  # ints beyond machine ints: read as Python numbers
        return (rng.integers(0, 3, shape).astype(object) * 3**45).tolist()
    values = rng.integers(-3, 4, shape).astype(float)
    values.flat[0] = {"inf": math.inf, "nan": math.nan}[kind]
    return values


@pytest.mark.parametrize("kind", ["ints", "decimals", "reals", "big", "inf", "nan"])
@pytest.mark.parametrize("seed", range(3))
def test_native_polynomials_give_the_steps_of_their_expressions(kind, seed):
    """The steps read in C++ from a family's native polynomials (each distinct coefficient set
    once) are those read from its expressions, for every comparison."""
    from quillon_transpiler.core.native_compile import compile_native

    rng = np.random.default_rng(seed)
    n, m = 5, 6
    x = ql.BinaryVar("x", shape=(n,))
    a, c = ql.Placeholder("a", ndim=2), ql.Placeholder("c", ndim=1)
    i, k = ql.Element("i", n), ql.Element("k", m)
    problem = ql.Problem("steps")
    problem += ql.sum(i, x[i])
    lhs = ql.sum(i, a[k, i] * x[i]) + c[k]
    for label, condition in (("eq", lhs == 0), ("le", lhs <= 0), ("ge", lhs >= 0)):
        problem += ql.Constraint(label, condition, forall=k)
    # rows repeat: keys of one family share their coefficient sets
    a_rows = rows_of(kind, rng, (m, n))
    data = {"a": [a_rows[j % 3] for j in range(m)], "c": rows_of("ints", rng, m)}
    native = compile_native(problem, data, None, None)
    expressions = compile_model(problem, data)
    for label, code in (("eq", 1), ("le", 2), ("ge", 3)):
        assert weights.smallest_step(native.constraint[label], code) == weights.smallest_step(
            expressions.constraint[label], code
        )


def test_auto_weights_follow_the_bound_per_label_and_mix_with_numbers():
    compiled = compile_model(*testing.knapsack())
    # maximised values 1..19 (flip changes of -v_i) and the penalty b0 * b1: swing max v_i
    swing = float(max(abs(v) for v in compiled.objective.coeff.values()))
    request = pubo_request(compiled, {"weight": "auto", "pair": 7.0}, None, "log", 1.0)[1]
    assert request.constraint_weights == {"weight": 2 * swing, "pair": 7.0}
    # the same polynomial as the numbers given outright, through both routes
    given = {"weight": 2 * swing, "pair": 7.0}
    assert to_pubo(compiled, constraint_weight={"weight": "auto", "pair": 7.0}).coeff == (
        to_pubo(compiled, constraint_weight=given).coeff
    )
    np.testing.assert_array_equal(
        to_qubo_arrays(*testing.knapsack(), constraint_weight="auto", progress=False).linear,
        to_qubo_arrays(compiled, constraint_weight=dict.fromkeys(given, 2 * swing)).linear,
    )
    # nothing to buy: the weight stays 1
    assert weights.weight_for(0.0, 1.0) == 1.0


def test_numbers_beyond_float64_get_their_swing_from_the_dict_lowering():
    x = ql.BinaryVar("x", shape=(3,))
    c = ql.Placeholder("c", ndim=1)
    i = ql.Element("i", 3)
    problem = ql.Problem("big")
    problem += ql.sum(i, c[i] * x[i])
    problem += ql.Constraint("one", ql.sum(i, x[i]) == 1)
    compiled = compile_model(problem, {"c": [3**40, 1, 2]})  # an int float64 cannot hold exactly
    assert pubo_request(compiled, "auto", None, "log", 1.0)[1].constraint_weights == {"one": 2 * float(3**40)}
    with pytest.raises(ValueError, match="beyond them: give the weights as numbers"):
        to_pubo(problem, {"c": [10**400, 1, 2]})


# ---- the QUBO's optimum is feasible: brute force over every binary ----

MODELS = {
    "knapsack": (testing.knapsack, {}),
    "assignment 3": (lambda: testing.assignment(3), {}),
    "tsp 3": (lambda: testing.tsp(3), {}),
    "tsp 4": (lambda: testing.tsp(4), {}),
    "tsp 4 mixed": (lambda: testing.tsp(4, onehot="mixed", weight=3.0), {}),
    "cover log": (testing.cover, {}),
    "cover unary": (testing.cover, {"encoder": "unary"}),
    "cover one-hot": (testing.cover, {"encoder": "one-hot", "encoding_weight": "auto"}),
}


@pytest.mark.parametrize("name", MODELS)
def test_auto_weights_make_the_qubo_optimum_the_feasible_optimum(name):
    build, options = MODELS[name]
    compiled = compile_model(*build())
    assert qubo_optimum_is_feasible(compiled, constraint_weight="auto", **options)


@pytest.mark.parametrize("name", MODELS)
def test_weight_one_is_not_enough_on_these_models(name):
    # the brute force above can tell: weight 1 leaves the optimum infeasible here
    build, options = MODELS[name]
    options = {**options, "encoding_weight": 1.0} if "encoding_weight" in options else options
    assert not qubo_optimum_is_feasible(compile_model(*build()), constraint_weight=1.0, **options)


@pytest.mark.parametrize("big", [2**53 - 8, 2**53, 2**60])
def test_a_step_is_not_read_from_magnitudes_past_float64s_integers(big):
    # (big + 1) x0 - big x1 == 1: int data, violations of 1; read as floats, 2**53 + 1 and 2**53
    # share the grain 2**53, whose square gave a weight of 6 / 2**106
    x = ql.BinaryVar("x", shape=(2,))
    problem = ql.Problem("big")
    problem += 3 * x[1]
    problem += ql.Constraint("c", (big + 1) * x[0] - big * x[1] == 1)
    assert to_pubo(problem, {}).constant == 6  # the weight: twice the swing of 3, an int


@pytest.mark.parametrize("seed", range(40))
def test_auto_weights_on_random_models(seed):
    assert qubo_optimum_is_feasible(random_model(seed), constraint_weight="auto")


@pytest.mark.parametrize(
    "kw, error, message",
    [
        ({"constraint_weight": "Auto"}, TypeError, 'constraint_weight must be a number, got str .*or "auto"'),
        ({"constraint_weight": {"task": "max"}}, TypeError, r"constraint_weight\['task'\] must be a number"),
        ({"constraint_weight": {"job": "auto"}}, ValueError, "names unknown labels"),
        ({"penalty_weight": "auto"}, TypeError, "penalty_weight must be a number, got str 'auto'$"),
        ({"encoding_weight": "automatic"}, TypeError, "encoding_weight must be a number"),
    ],
)
def test_auto_is_the_only_word_a_weight_takes(kw, error, message):
    with pytest.raises(error, match=message):
        to_pubo(*testing.assignment(3), **kw)


# ---- tune_weights ----


def reference_model(problem, instance, tuned, **options):
    encoding = {"encoding_weight": tuned.encoding_weight} if options.get("encoder") == "one-hot" else {}
    made = to_qubo_arrays(
        problem, instance, constraint_weight=tuned.constraint_weight, progress=False, **options, **encoding
    )
    assert made.num_binaries == tuned.model.num_binaries and made.slack == tuned.model.slack
    return made


@pytest.mark.parametrize(
    "build, options",
    [
        (testing.knapsack, {}),  # two inequality labels: slacks renumbered after each other
        (testing.cover, {}),
        (testing.cover, {"encoder": "one-hot"}),
        (lambda: testing.tsp(4, onehot="mixed"), {"penalty_weight": 2.5}),
    ],
)
def test_a_rounds_model_is_the_lowered_model_of_its_weights(build, options):
    problem, instance = build()
    tuned = tune_weights(problem, instance, dimod.RandomSampler(), rounds=1, num_reads=4, seed=1, **options)
    rows = np.random.default_rng(0).integers(0, 2, (40, tuned.model.num_binaries))
    made = reference_model(problem, instance, tuned, **options)
    np.testing.assert_allclose(tuned.model.energies(rows), made.energies(rows), rtol=1e-12, atol=1e-9)
    # and it decodes as that model does
    got, want = decode(rows, tuned.model).evaluation, decode(rows, made).evaluation
    np.testing.assert_allclose(got.objective, want.objective, rtol=1e-12, atol=1e-9)
    assert got.constraint_violations == want.constraint_violations


class SpinTwice(dimod.Sampler):
    """Every state of the model in SPIN, the feasible ones read twice."""

    parameters: dict = {}
    properties: dict = {}

    def sample(self, bqm, **options):
        spin = bqm.change_vartype("SPIN", inplace=False)
        states = dimod.ExactSolver().sample(spin).record.sample
        twice = 1 + ((states == 1).sum(axis=1) == 1)  # one binary set: the model's feasible states
        return dimod.SampleSet.from_samples_bqm((states, list(spin.variables)), spin, num_occurrences=twice)


def test_tuning_reads_spin_samples_and_counts_reads():
    x = ql.BinaryVar("x", shape=(3,))
    problem = ql.Problem("p")
    problem += x[0] + 2 * x[1] + 3 * x[2]
    problem += ql.Constraint("one", x[0] + x[1] + x[2] == 1)
    tuned = tune_weights(problem, {}, SpinTwice(), constraint_weight=5.0, rounds=1)
    assert tuned.feasible and tuned.sampleset.feasible().lowest().dense("x").tolist() == [1, 0, 0]
    assert tuned.history[0].feasible_fraction == 6 / 11  # of the 11 reads, not the 8 states


def test_tuning_reaches_feasibility_where_weight_one_does_not():
    from dwave.samplers import SimulatedAnnealingSampler

    problem, instance = testing.tsp(5)  # distances up to ~100 against weight 1
    tuned = tune_weights(
        problem, instance, SimulatedAnnealingSampler(), constraint_weight=1.0, num_reads=16, seed=3, num_sweeps=200
    )
    first, last = tuned.history[0], tuned.history[-1]
    assert not first.feasible and first.broken and last.feasible and tuned.feasible
    assert len(tuned.history) > 1 and all(w > 1.0 for w in tuned.constraint_weight.values())
    # every round raised exactly what its lowest sample broke, by the factor
    for before, after in zip(tuned.history, tuned.history[1:]):
        assert set(before.raised) == set(before.broken)
        for label, w in before.constraint_weight.items():
            assert after.constraint_weight[label] == (2.0 * w if label in before.raised else w)
    # the decoded samples, checked from their records: tours and their lengths
    d = instance["d"]
    best = tuned.sampleset.feasible().lowest()
    x = best.dense("x")
    assert (x.sum(axis=0) == 1).all() and (x.sum(axis=1) == 1).all()
    tour = x.argmax(axis=0)
    assert best.evaluation.objective[0] == pytest.approx(sum(d[tour[t], tour[(t + 1) % 5]] for t in range(5)))
    for k in range(len(tuned.sampleset)):
        x = tuned.sampleset.dense("x", k)
        want = np.abs(x.sum(axis=0) - 1).sum()
        assert tuned.sampleset.evaluation.constraint_violations["one city per step"][k] == want


def test_tuning_with_an_exact_sampler_stops_at_the_first_feasible_optimum():
    problem, instance = testing.assignment(3)
    tuned = tune_weights(problem, instance, dimod.ExactSolver(), constraint_weight=0.5, encoding_weight=1.0)
    assert [r.feasible for r in tuned.history] == [False] * (len(tuned.history) - 1) + [True]
    assert qubo_optimum_is_feasible(compile_model(problem, instance), constraint_weight=tuned.constraint_weight)
    previous = {label: w / 2 for label, w in tuned.constraint_weight.items()}
    assert not qubo_optimum_is_feasible(compile_model(problem, instance), constraint_weight=previous)
    # "auto" starts feasible: one round, weights as chosen
    once = tune_weights(problem, instance, dimod.ExactSolver())
    assert len(once.history) == 1 and once.feasible
    assert (
        once.constraint_weight
        == pubo_request(compile_model(problem, instance), "auto", None, "log", 1)[1].constraint_weights
    )


def test_tuning_lowers_the_model_once_whatever_the_rounds(monkeypatch):
    calls = []
    lower = binarize._lower_arrays
    monkeypatch.setattr(binarize, "_lower_arrays", lambda *a: calls.append(1) or lower(*a))
    problem, instance = testing.knapsack()
    for rounds in (1, 4):
        calls.clear()
        tune_weights(problem, instance, dimod.RandomSampler(), constraint_weight=1e-3, rounds=rounds, num_reads=2)
        assert len(calls) == 4  # the objective, the penalties, and each of two constraint labels


@pytest.mark.parametrize(
    "kw, message",
    [
        ({"rounds": 0}, "rounds must be a positive int"),
        ({"factor": 1.0}, "factor must be greater than 1"),
        ({"constraint_weight": {"task": 0}}, r"constraint_weight of \['task'\] is 0"),
        # weights raised past float64's range: every energy inf or NaN
        ({"constraint_weight": 1e308}, r"the weights \{'(task|worker)': 1e\+308, .*\} take a coefficient .* past"),
    ],
)
def test_tuning_refuses_what_cannot_tune(kw, message):
    with pytest.raises(ValueError, match=message):
        tune_weights(*testing.assignment(3), dimod.RandomSampler(), **kw)


def test_tuning_seeds_each_round_within_a_samplers_range():
    seeds = []

    class Seeded(dimod.Sampler):
        parameters, properties = {"seed": []}, {}

        def sample(self, bqm, **options):
            seeds.append(options["seed"])
            return dimod.SampleSet.from_samples_bqm(dict.fromkeys(bqm.variables, 1), bqm)  # over capacity

    # every round breaks the capacity: three rounds; the first seed is the largest a 32-bit
    # sampler takes (seed + k would pass it)
    tune_weights(*testing.knapsack(), Seeded(), rounds=3, seed=2**31 - 1)
    assert seeds[0] == 2**31 - 1 and len(set(seeds)) == 3 and all(0 <= s < 2**31 for s in seeds)
    for bad in ("a", 1.5, True):
        with pytest.raises(TypeError, match="seed must be an int or None"):
            tune_weights(*testing.knapsack(), Seeded(), seed=bad)


def test_tuning_refuses_terms_a_quadratic_sampler_cannot_take():
    x = ql.BinaryVar("x", shape=(3,))
    problem = ql.Problem("cubic")
    problem += x[0] * x[1] * x[2]
    problem += ql.Constraint("one", x[0] + x[1] + x[2] == 1)
    with pytest.raises(ValueError, match="terms of degree 3 or more"):
        tune_weights(problem, {}, dimod.RandomSampler())


@pytest.mark.parametrize("fixed, feasible", [((1, 0), True), ((1, 1), False)])
@pytest.mark.filterwarnings("ignore:constraint `one` holds no free decision variable")
def test_tuning_a_model_whose_variables_are_all_fixed(fixed, feasible):
    # the exact solver samples nothing from a model without variables: its one answer is kept
    x = ql.BinaryVar("x", shape=(2,))
    problem = ql.Problem("fixed")
    problem += 3 * x[0] + 2 * x[1]
    problem += ql.Constraint("one", x[0] + x[1] == 1)
    tuned = tune_weights(problem, {}, dimod.ExactSolver(), fixed_variables={"x": dict(zip([(0,), (1,)], fixed))})
    assert len(tuned.sampleset) == 1 and tuned.feasible == feasible


@pytest.mark.parametrize(
    "v, a",
    [
        ([3.0, 1.0], 1e-200),  # the least squared violation underflows to 0
        ([3.0, 1.0], 1e-160),  # a subnormal one: the weight overflows
        ([1e308, 1.0], 1.0),  # twice the objective's swing overflows
    ],
)
@pytest.mark.parametrize("route", [to_pubo, to_qubo_arrays])
def test_an_auto_weight_past_float64_is_refused_by_its_constraint(v, a, route):
    n, i = ql.Placeholder("n"), ql.Element("i", ql.Placeholder("n"))
    x = ql.BinaryVar("x", shape=(n,))
    p = ql.Problem("p")
    p += ql.sum(i, ql.Placeholder("v", ndim=1)[i] * x[i])
    p += ql.Constraint("one", ql.sum(i, a * x[i]) == a)
    with pytest.raises(ValueError, match='constraint_weight="auto" cannot weigh constraint `one`.*past float64'):
        route(p, {"n": 2, "v": v})


@pytest.mark.parametrize("label", ["objective", "penalties", "cover"])
def test_a_constraint_named_as_a_part_of_the_model_is_tuned_as_any_other(label):
    x = ql.BinaryVar("x", shape=(3,))
    problem = ql.Problem("p")
    problem += x[0] + 2 * x[1] - x[2]
    problem += ql.CustomPenaltyTerm("pen", x[0] * x[2])
    problem += ql.Constraint(label, x[0] + x[1] + x[2] == 1)
    tuned = tune_weights(problem, {}, dimod.ExactSolver(), penalty_weight=3.0)
    best = tuned.sampleset.lowest()
    assert list(tuned.constraint_weight) == [label] and tuned.feasible
    assert best.dense("x", 0).tolist() == [0, 0, 1] and best.evaluation.objective == [-1.0]


def test_a_constraint_named_as_the_one_hot_codes_is_refused():
    x, y = ql.IntegerVar("x", lower_bound=0, upper_bound=2), ql.BinaryVar("y")
    problem = ql.Problem("p")
    problem += x - 3 * y
    problem += ql.Constraint("one-hot encoding", x + y == 2)
    with pytest.raises(ValueError, match="constraint `one-hot encoding`.*give the constraint another name"):
        tune_weights(problem, {}, dimod.ExactSolver(), encoder="one-hot")


@pytest.mark.parametrize("top", [2**10, 2**20, 2**27])  # the squares' ints summed far below 2**52, near it, past it
def test_an_automatic_weight_is_an_int_that_keeps_integer_data_exact(top):
    # x + y == top - 1, both up to top: a float weight rounded every feasible point's energy
    x, y = (ql.IntegerVar(name, lower_bound=0, upper_bound=top) for name in "xy")
    problem = ql.Problem("p")
    problem += x
    problem += 2 * y  # an objective in parts: the weight is chosen as the lowering merges it
    problem += ql.Constraint("c", 3 * x + 3 * y == 3 * (top - 1))
    pubo = to_pubo(problem, {})
    weight = pubo.constant // (3 * (top - 1)) ** 2
    assert type(weight) is int and pubo.constant == weight * (3 * (top - 1)) ** 2
    for value in range(3):
        bits = pubo.encoder.encode({0: value, 1: top - 1 - value})
        assert pubo.energy([bits.get(k, 0) for k in range(pubo.num_binaries)]) == value + 2 * (top - 1 - value)
    # the arrays at the weight chosen are those of the weight given, or refused alike
    try:
        expected = to_qubo_arrays(problem, {}, constraint_weight=weight, progress=False)
    except ValueError as refused:
        with pytest.raises(ValueError, match=f"\"auto\" chose: constraint_weight={{'c': {weight}}}") as got:
            to_qubo_arrays(problem, {}, progress=False)
        assert str(got.value).startswith(str(refused))
        return
    got = to_qubo_arrays(problem, {}, progress=False)
    assert got.to_dict() == expected.to_dict() and got.offset == expected.offset


@pytest.mark.parametrize("weight", [None, 1, 1.0])
def test_the_default_penalty_weight_keeps_integer_data_exact(weight):
    # 2**53 from the objective and 1 from the penalty make 2**53 + 1, which float64 rounds
    y = ql.BinaryVar("y", shape=(1,))
    problem = ql.Problem("p")
    problem += 2**53 * y[0]
    problem += ql.CustomPenaltyTerm("pen", y[0])
    given = {} if weight is None else {"penalty_weight": weight}
    value = to_pubo(problem, {}, **given).coeff[(0,)]
    if type(weight) is float:  # a float weight asks for float arithmetic
        assert value == float(2**53)
        return
    assert type(value) is int and value == 2**53 + 1
    with pytest.raises(ValueError, match="9007199254740993 of the term \\(0,\\) has no exact float64 value"):
        to_qubo_arrays(problem, {}, progress=False, **given)
