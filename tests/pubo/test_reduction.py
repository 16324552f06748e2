"""reduction="substitute": higher-order models as QUBOs, and their samples decoded.

The promise, checked over every assignment of the original binaries: the minimum of the
reduced energy over the auxiliaries is the original energy, reached exactly where every
auxiliary equals the product it stands for (a strength of the bound alone would allow ties).
"""

import itertools

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from pubo_helpers import all_assignments

import quillon as ql
from quillon_transpiler import decode, to_bqm, to_pubo, to_qubo_arrays
from quillon_transpiler.core.pubo.reduction import substitute

dimod = pytest.importorskip("dimod")


def hubo(terms, n):
    """(linear, rows, cols, biases, offsets, indices, higher biases) of {key: coefficient}."""
    linear = np.zeros(n)
    quadratic = sorted((k, c) for k, c in terms.items() if len(k) == 2)
    higher = [(k, c) for k, c in terms.items() if len(k) > 2]
    for k, c in terms.items():
        if len(k) == 1:
            linear[k[0]] += c
    return (
        linear,
        np.array([k[0] for k, _ in quadratic], dtype=np.int32),
        np.array([k[1] for k, _ in quadratic], dtype=np.int32),
        np.array([c for _, c in quadratic], dtype=np.float64),
        np.cumsum([0] + [len(k) for k, _ in higher]).astype(np.int64),
        np.array([i for k, _ in higher for i in k], dtype=np.int32),
        np.array([c for _, c in higher], dtype=np.float64),
    )


def check_exhaustively(terms, n, strength=None):
    made = substitute(*hubo(terms, n), strength=strength)
    reduction = made.reduction
    total = n + reduction.num_auxiliaries
    assert total <= 20, "too many binaries to enumerate"
    rows = all_assignments(total)
    energy = rows @ made.linear + (rows[:, made.rows] * rows[:, made.cols]) @ made.biases
    original = sum(c * rows[:, list(k)].all(axis=1) for k, c in terms.items())
    right = reduction.auxiliaries(rows[:, :n].astype(np.uint8))
    for x in range(2**n):  # rows enumerate the original binaries fastest: x is the low bits
        at = np.flatnonzero((np.arange(len(rows)) % 2**n) == x)
        best = energy[at].min()
        assert best == original[at[0]], f"assignment {x}: min over the auxiliaries {best}, original {original[at[0]]}"
        winners = at[energy[at] == best]
        assert len(winners) == 1 and (rows[winners[0]] == right[winners[0]]).all(), (
            f"assignment {x}: a wrong auxiliary ties"
        )
    if strength is not None:
        assert (reduction.strength >= strength).all()
    return reduction


@pytest.mark.parametrize(
    "terms, n, auxiliaries",
    [
        ({(0, 1, 2): 1}, 3, 1),
        ({(0, 1, 2): -3, (0, 1): 2, (2,): 1}, 3, 1),  # a pair already a term: its bias merges
        ({(0, 1, 2): 2, (0, 1, 3): -1, (1, 2, 3): 4}, 4, 2),  # (0, 1) is shared, then one more
        ({(0, 1, 2, 3): 5, (0, 1, 2, 4): -2, (2, 3, 4): 1}, 5, 3),
        ({(0, 1, 2, 3, 4): -1, (1, 2, 3): 2, (0, 4): 3}, 5, 3),  # degree 5: three rounds
    ],
)
@pytest.mark.parametrize("strength", [None, 50.0])
def test_the_minimum_over_auxiliaries_is_the_original_energy(terms, n, auxiliaries, strength):
    reduction = check_exhaustively(terms, n, strength)
    assert reduction.num_auxiliaries == auxiliaries


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_random_higher_order_models_reduce_soundly(data):
    n = data.draw(st.integers(3, 6))
    key = st.lists(st.integers(0, n - 1), min_size=1, max_size=min(n, 5), unique=True).map(lambda k: tuple(sorted(k)))
    coefficient = st.one_of(st.integers(-9, 9), st.sampled_from([0.5, -1.25, 3.75]))
    terms = data.draw(st.dictionaries(key, coefficient, min_size=1, max_size=8))
    if n + sum(max(len(k) - 2, 0) for k in terms) <= 20:
        check_exhaustively(terms, n)


def cubic(sense=ql.ProblemSense.MINIMIZE):
    n = ql.Placeholder("n")
    x, y = ql.BinaryVar("x", shape=(n,)), ql.IntegerVar("y", lower_bound=0, upper_bound=3)
    i = ql.Element("i", n)
    p = ql.Problem("cubic", sense=sense)
    p += ql.sum(i, (i - 2) * x[i] * x[(i + 1) % n] * x[(i + 2) % n]) - 2 * y * x[0] * x[1] + y
    p += ql.Constraint("some", ql.sum(i, x[i]) >= 2)
    return p, {"n": 5}


def test_every_route_reduces_alike_and_refuses_without_reduction():
    p, instance = cubic()
    arrays, pubo = to_qubo_arrays(p, instance), to_pubo(p, instance)
    reduced = to_qubo_arrays(p, instance, reduction="substitute", reduction_strength=2)
    want = to_bqm(reduced)
    assert reduced.degree == 2 and reduced.reduction.num_original == arrays.num_binaries
    assert reduced.labels()[: arrays.num_binaries] == arrays.labels()
    assert reduced.labels()[arrays.num_binaries :] == [
        ("aux", tuple(pair), 0) for pair in reduced.reduction.pairs.tolist()
    ]
    options = {"reduction": "substitute", "reduction_strength": 2}
    for bqm in (to_bqm(arrays, **options), to_bqm(pubo, **options), to_bqm(p, instance, **options)):
        assert bqm == want
    with pytest.raises(ValueError, match="reduction='substitute'"):
        to_bqm(arrays)
    for options, message in [
        ({"reduction": "rosenberg"}, "unknown reduction"),
        ({"reduction_strength": 3}, "without a reduction"),
        ({"reduction": "substitute", "reduction_strength": -1}, "negative"),
    ]:
        with pytest.raises(ValueError, match=message):
            to_qubo_arrays(p, instance, **options)


@pytest.mark.parametrize("sense", [ql.ProblemSense.MINIMIZE, ql.ProblemSense.MAXIMIZE], ids=["min", "max"])
def test_samples_of_the_reduced_model_decode_without_auxiliaries(sense):
    """Against the reduced arrays, the unreduced ones and the dict model alike, by index and by
    label; the energy is the original one; the best feasible sample is the brute-force optimum."""
    p, instance = cubic(sense)
    reduced = to_qubo_arrays(p, instance, reduction="substitute")
    plain, pubo = to_qubo_arrays(p, instance), to_pubo(p, instance)
    bqm = to_bqm(reduced)
    sampleset = dimod.ExactSolver().sample(bqm)
    want = decode(sampleset, reduced)
    assert set(want.record.solution) == {"x", "y"}
    assert decode(sampleset, plain) == want == decode(sampleset, pubo)
    n = reduced.reduction.num_original
    bits = sampleset.record.sample[:, np.argsort(list(sampleset.variables))]
    assert np.array_equal(want.evaluation.energy, plain.energies(bits[:, :n]))
    labels = dict(enumerate(reduced.labels()))
    relabelled = dimod.ExactSolver().sample(bqm.relabel_variables(labels, inplace=False))
    assert decode(relabelled, reduced) == decode(relabelled, plain)
    best = want.feasible().lowest()
    sign = 1 if sense is ql.ProblemSense.MINIMIZE else -1
    optimum = min(
        sign * (sum((i - 2) * x[i] * x[(i + 1) % 5] * x[(i + 2) % 5] for i in range(5)) - 2 * y * x[0] * x[1] + y)
        for x in itertools.product((0, 1), repeat=5)
        for y in range(4)
        if sum(x) >= 2
    )
    assert best.evaluation.energy[0] == optimum == sign * best.evaluation.objective[0]


@pytest.mark.parametrize(
    "coefficient, strength, refused",
    [(1e300, None, False), (6e307, None, True), (1.0, 1e300, False), (1.0, 1e308, True)],
)
def test_penalty_weights_past_a_third_of_float64s_range_are_refused(coefficient, strength, refused):
    # 3 M (and 2 M) of an auxiliary overflowed to inf, decoded as a NaN energy, with a warning only
    x = ql.BinaryVar("x", shape=(3,))
    p = ql.Problem("p")
    p += coefficient * x[0] * x[1] * x[2] + x[0]
    options = {"reduction": "substitute", "reduction_strength": strength}
    if refused:
        with pytest.raises(ValueError, match="times 3 pass float64's range"):
            to_qubo_arrays(p, {}, progress=False, **options)
        return
    arrays = to_qubo_arrays(p, {}, progress=False, **options)
    assert np.isfinite(arrays.linear).all() and np.isfinite(arrays.quadratic_biases).all()
