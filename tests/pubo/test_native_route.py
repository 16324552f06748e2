"""The native route (to_qubo_arrays) against the dict route (compile_model + to_pubo).

Both run the same lowering; the native compile keeps the polynomials in C++. On random models
of several families, for every encoder and weight setting, the two must give the same terms,
coefficients, order of terms per degree, constant, binaries and slacks, and the same errors.
"""

import copy
import dataclasses
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from model_generator import models  # the compile tests' model generator

import quillon as ql
from quillon_transpiler import SubstituteError, decode_pubo, testing, to_bqm, to_pubo, to_qubo_arrays
from quillon_transpiler.core.compile.compile import compile_model

# random fixed values and pins include some a variable cannot take: warned of, and meant
pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")


def tsp(rng):
    """One-hot rules as a constraint and as a squared penalty; distances that are no metric."""
    n = int(rng.integers(3, 6))
    d = rng.uniform(0, 10, (n, n)).round(3)
    return (*testing.tsp(n, onehot="mixed", factor_distance=True, d=d), None)


def knapsack(rng):
    n = int(rng.integers(3, 7))
    N, v, w, W = ql.Placeholder("N"), ql.Placeholder("v", ndim=1), ql.Placeholder("w", ndim=1), ql.Placeholder("W")
    b = ql.BinaryVar("b", shape=(N,))
    i = ql.Element("i", N)
    problem = ql.Problem("knapsack", sense=ql.ProblemSense.MAXIMIZE)
    problem += ql.sum(i, v[i] * b[i])
    problem += ql.Constraint("capacity", ql.sum(i, w[i] * b[i]) <= W)
    problem += ql.Constraint("some", ql.sum(i, b[i]) >= 1)
    weights = rng.integers(1, 9, n)
    return problem, {"N": n, "v": rng.uniform(1, 5, n), "w": weights, "W": int(weights.sum() // 2)}, None


def integers(rng):
    n = int(rng.integers(2, 4))
    N, top = ql.Placeholder("N"), ql.Placeholder("top", ndim=1)
    y = ql.IntegerVar("y", shape=(N,), lower_bound=-1, upper_bound=top)
    z = ql.IntegerVar("z", lower_bound=0, upper_bound=3)
    b = ql.BinaryVar("b", shape=(N,))
    i = ql.Element("i", N)
    problem = ql.Problem("integers")
    problem += ql.sum(i, y[i] * b[i] * z) + 2 * y[0] ** 2 - 0.5 * z + 1.25
    problem += ql.Constraint("cap", ql.sum(i, y[i]) + z <= 4)
    problem += ql.Constraint("tie", y[i] - b[i] >= -1, forall=i)
    problem += ql.CustomPenaltyTerm("near", (y[i] - z) ** 2, forall=[(i, i > 0)])
    return problem, {"N": n, "top": rng.integers(1, 4, n)}, None


def pinned(rng):
    n = int(rng.integers(3, 6))
    N, c = ql.Placeholder("N"), ql.Placeholder("c", ndim=1)
    x = ql.BinaryVar("x", shape=(N,))
    y = ql.IntegerVar("y", shape=(N,), lower_bound=0, upper_bound=2)
    i, j = ql.Element("i", N), ql.Element("j", N)
    problem = ql.Problem("pinned")
    problem += ql.sum(i, c[i] * x[i] * y[i]) + ql.sum(i, ql.sum(j, x[i] * x[j]))
    problem += ql.Constraint("pin", x[0] == 1)
    problem += ql.Constraint("pin y", y[1] == 2)
    problem += ql.Constraint("pair", x[i] + y[i] <= 2, forall=[(i, i >= 1)])
    problem += ql.CustomPenaltyTerm("cubic", x[1] * x[i] * y[i], forall=i)
    fixed = {"x": {(2,): 1}, "y": {(0,): 1}}
    return problem, {"N": n, "c": rng.uniform(-2, 2, n)}, fixed


def overlap(rng):
    """An objective whose keys recur across the outer sum, with float weights: the order in
    which their contributions are added shows in the last bits."""
    n = int(rng.integers(3, 6))
    N, w = ql.Placeholder("N"), ql.Placeholder("w", ndim=2)
    x = ql.BinaryVar("x", shape=(N,))
    i, j = ql.Element("i", N), ql.Element("j", N)
    problem = ql.Problem("overlap", sense=ql.ProblemSense.MAXIMIZE if n % 2 else ql.ProblemSense.MINIMIZE)
    problem += ql.sum(i, ql.sum(j, w[i, j] * x[j] * x[(j + 1 + i % 2) % N]) + w[i, i] * x[i])
    problem += ql.CustomPenaltyTerm("pairs", w[i, 0] * x[i] * x[(i + 1) % N] + w[0, i] * x[i], forall=i)
    problem += ql.Constraint("two", ql.sum(i, x[i]) == 2)
    return problem, {"N": n, "w": rng.uniform(-1, 1, (n, n)) / 3}, None


def repeated(rng):
    """An all-binary objective in which one outer value gives a variable times itself."""
    n = int(rng.integers(3, 6))
    N, w = ql.Placeholder("N"), ql.Placeholder("w", ndim=2)
    x = ql.BinaryVar("x", shape=(N,))
    i, j = ql.Element("i", N), ql.Element("j", N)
    problem = ql.Problem("repeated")
    problem += ql.sum(i, ql.sum(j, w[i, j] * x[j] * x[(j + i) % N]))
    problem += ql.CustomPenaltyTerm("one", (ql.sum(i, x[i]) - 1) ** 2)
    return problem, {"N": n, "w": rng.uniform(-1, 1, (n, n)) / 3}, None


def cubic(rng):
    """Cubic binary terms recurring across the objective's outer sum and in a penalty."""
    n = int(rng.integers(3, 6))
    N, w = ql.Placeholder("N"), ql.Placeholder("w", ndim=2)
    x = ql.BinaryVar("x", shape=(N,))
    i, j = ql.Element("i", N), ql.Element("j", N)
    triple = x[j] * x[(j + 1) % N] * x[(j + 2) % N]
    problem = ql.Problem("cubic")
    problem += ql.sum(i, ql.sum(j, w[i, j] * triple) + w[i, 0] * x[i] * x[(i + 1) % N])
    problem += ql.CustomPenaltyTerm("tri", ql.sum(j, w[0, j] * triple) + w[1, 1] * x[0], forall=i)
    return problem, {"N": n, "w": rng.uniform(-1, 1, (n, n)) / 3}, None


def integer_sum(rng):
    """An objective summed over an element whose terms need encoding."""
    n = int(rng.integers(2, 4))
    N, c = ql.Placeholder("N"), ql.Placeholder("c", ndim=1)
    y = ql.IntegerVar("y", shape=(N,), lower_bound=0, upper_bound=3)
    i = ql.Element("i", N)
    problem = ql.Problem("integer sum")
    problem += ql.sum(i, c[i] * (y[i] - 1) ** 2)
    problem += ql.Constraint("total", ql.sum(i, y[i]) <= 4)
    return problem, {"N": n, "c": rng.uniform(0.5, 2, n)}, None


FAMILIES = {
    "tsp": tsp,
    "knapsack": knapsack,
    "integers": integers,
    "pinned": pinned,
    "overlap": overlap,
    "repeated": repeated,
    "cubic": cubic,
    "integer_sum": integer_sum,
}
WEIGHTS = [
    {},
    {"constraint_weight": 2.5, "penalty_weight": 0.5, "encoding_weight": 3.0},
    {"constraint_weight": 0, "penalty_weight": 7, "encoding_weight": 0},
]


def label_weights(compiled):
    """A weight per label, odd values, one label left out (weighs 1)."""
    cw = {label: 1.5 + k for k, label in enumerate(compiled.constraint)}
    if cw:
        cw.popitem()
    pw = {label: 3 - k for k, label in enumerate(compiled.penalty)}
    return {"constraint_weight": cw, "penalty_weight": pw}


def dict_route(problem, instance, fixed, **kw):
    return to_pubo(compile_model(problem, instance, copy.deepcopy(fixed)), **kw)


def assert_same(arrays, pubo):
    """The arrays hold the dict's polynomial, every coefficient equal."""
    # linear biases are dense; the dict may hold a zero linear term
    expected = {k: v for k, v in pubo.coeff.items() if not (len(k) == 1 and v == 0)}
    got = arrays.to_dict()
    assert got == expected
    # quadratic terms sorted by row and column; higher ones in the dict's order
    assert list(zip(arrays.quadratic_rows.tolist(), arrays.quadratic_cols.tolist())) == sorted(
        k for k in expected if len(k) == 2
    )
    assert [k for k in got if len(k) > 2] == [k for k in expected if len(k) > 2]
    assert arrays.offset == pubo.constant and type(arrays.offset) is type(pubo.constant)
    assert arrays.num_binaries == pubo.num_binaries
    assert arrays.slack == pubo.slack
    assert arrays.quadratic_rows.dtype == np.int32 and np.all(arrays.quadratic_rows < arrays.quadratic_cols)


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("encoder", ["log", "unary", "one-hot"])
@pytest.mark.parametrize("family", FAMILIES)
def test_native_route_gives_the_dict_routes_polynomial(family, encoder, seed):
    rng = np.random.default_rng(seed)
    problem, instance, fixed = FAMILIES[family](rng)
    for kw in [*WEIGHTS, label_weights(compile_model(problem, instance, copy.deepcopy(fixed)))]:
        pubo = dict_route(problem, instance, fixed, encoder=encoder, **kw)
        arrays = to_qubo_arrays(problem, instance, copy.deepcopy(fixed), encoder=encoder, progress=False, **kw)
        assert_same(arrays, pubo)
        # a compiled instance goes the same way, and keeps its polynomials
        compiled = compile_model(problem, instance, copy.deepcopy(fixed))
        assert_same(to_qubo_arrays(compiled, encoder=encoder, **kw), pubo)
        assert compiled.objective.coeff == compile_model(problem, instance, copy.deepcopy(fixed)).objective.coeff


@pytest.mark.parametrize("family", ["tsp", "integers", "knapsack"])
def test_native_polynomials_survive_a_lowering_that_keeps_them(family):
    # re-weighting lowers the same capsules again: a lowering asked to keep them must not empty them
    from quillon_transpiler.core.native_compile import compile_native
    from quillon_transpiler.core.pubo import binarize, weights
    from quillon_transpiler.core.pubo.route import pubo_request

    problem, instance, fixed = FAMILIES[family](np.random.default_rng(3))
    compiled = compile_native(problem, instance, copy.deepcopy(fixed), None)
    request = pubo_request(compiled, 2.0, None, "log", 1.0)[1]
    first, again = (binarize._lower_arrays(request, False, None) for _ in range(2))
    assert np.any(first.linear) and len(first.quadratic_biases)
    assert list(vars(first)) == [f.name for f in dataclasses.fields(first)]  # made field by field
    # kept polynomials lower as consumed ones do (an objective in parts read from a copy)
    consumed = binarize._lower_arrays(request, True, None)
    for other in (again, consumed):
        assert (other.offset, other.num_binaries, other.slacks) == (first.offset, first.num_binaries, first.slacks)
        for name in ("linear", "quadratic_rows", "quadratic_cols", "quadratic_biases", "higher_indices"):
            np.testing.assert_array_equal(getattr(other, name), getattr(first, name))
    # the consuming one emptied the objective's terms (its constant is left); the constraints
    # and penalties, which decoding keeps, are left as they were
    rest = binarize._lower_arrays(request, False, None)
    fresh = pubo_request(compile_native(problem, instance, copy.deepcopy(fixed), None), 2.0, None, "log", 1.0)[1]
    alone = binarize._lower_arrays(dataclasses.replace(fresh, objective=weights.empty_polynomial()), False, None)
    assert rest.num_binaries == alone.num_binaries
    for name in ("linear", "quadratic_rows", "quadratic_cols", "quadratic_biases", "higher_indices"):
        np.testing.assert_array_equal(getattr(rest, name), getattr(alone, name))
    assert not compiled.penalty or len(alone.quadratic_biases) or np.any(alone.linear)


@pytest.mark.parametrize("family", ["tsp", "integers"])
def test_arrays_energy_and_bqm_match_the_dict_polynomial(family):
    rng = np.random.default_rng(7)
    problem, instance, fixed = FAMILIES[family](rng)
    pubo = dict_route(problem, instance, fixed, penalty_weight=2.0)
    arrays = to_qubo_arrays(problem, instance, fixed, penalty_weight=2.0, progress=False)
    samples = rng.integers(0, 2, (20, arrays.num_binaries))
    expected = [pubo.energy(dict(enumerate(row))) for row in samples.tolist()]
    np.testing.assert_allclose(arrays.energies(samples), expected, rtol=1e-12, atol=1e-9)
    if arrays.degree <= 2:
        pytest.importorskip("dimod")
        bqm = to_bqm(arrays)
        np.testing.assert_allclose(bqm.energies((samples, range(arrays.num_binaries))), expected, rtol=1e-12)


def test_hubo_terms_cannot_go_into_a_bqm():
    x = ql.BinaryVar("x", shape=(4,))
    problem = ql.Problem("hubo")
    problem += x[0] * x[1] * x[2] - 2 * x[1] * x[2] * x[3] * x[0] + x[3]
    arrays = to_qubo_arrays(problem, {}, progress=False)
    assert arrays.degree == 4
    assert arrays.to_dict() == {(3,): 1, (0, 1, 2): 1, (0, 1, 2, 3): -2}
    np.testing.assert_array_equal(arrays.energies([[1, 1, 1, 0], [1, 1, 1, 1]]), [1, 0])
    pytest.importorskip("dimod")
    with pytest.raises(ValueError, match="degree 3 or more"):
        to_bqm(arrays)


def test_to_bqm_names_the_extra_when_dimod_is_missing(monkeypatch):
    x = ql.BinaryVar("x", shape=(2,))
    problem = ql.Problem("pair")
    problem += x[0] * x[1]
    arrays = to_qubo_arrays(problem, {}, progress=False)
    monkeypatch.setitem(sys.modules, "dimod", None)  # import dimod fails
    with pytest.raises(ImportError, match=r"quillon_transpiler\[dimod\]"):
        to_bqm(arrays)


def test_labels_name_every_binary():
    problem, instance, fixed = knapsack(np.random.default_rng(1))
    arrays = to_qubo_arrays(problem, instance, progress=False)
    labels = arrays.labels()
    assert labels[0] == ("b", (0,), 0)
    slack = arrays.slack["capacity"][()]
    assert [labels[b] for b in slack] == [("slack:capacity", (), k) for k in range(len(slack))]
    assert None not in labels
    # decoding reads the registry and data the arrays keep
    sample = {0: 1, 2: 1}
    expected = decode_pubo(sample, to_pubo(compile_model(problem, instance)))
    assert decode_pubo(sample, arrays).solution == expected.solution
    with pytest.raises(TypeError, match="carries its data"):
        to_qubo_arrays(compile_model(problem, instance), instance)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
# the route tests' limits: the compile tests' (800 terms on a constraint's left side) let a
# cubed constraint of unary integers square into days of work, inherent to such a model
@given(
    models(n=(2, 10), m=(1, 5), objective=1000, constraint=100, side=20, penalty=400),
    st.sampled_from(["log", "unary", "one-hot"]),
    st.sampled_from(WEIGHTS),
)
def test_random_models_give_the_dict_routes_polynomial(model, encoder, kw):
    """Random models of the compile tests (nested sums, powers, integer variables, pinning,
    fixed values, big ints): the same polynomial, or the same error, from both routes."""
    try:
        pubo = dict_route(model.problem, model.instance, model.fixed, encoder=encoder, **kw)
    except Exception as expected:
        with pytest.raises(type(expected)) as got:
            to_qubo_arrays(
                model.problem, model.instance, copy.deepcopy(model.fixed), encoder=encoder, progress=False, **kw
            )
        assert str(got.value) == str(expected)
        event(f"both raise {type(expected).__name__}")
        return
    try:
        arrays = to_qubo_arrays(
            model.problem, model.instance, copy.deepcopy(model.fixed), encoder=encoder, progress=False, **kw
        )
    except ValueError as error:
        # only a coefficient that float64 cannot hold may stop the arrays
        assert "no exact float64 value" in str(error)
        assert any(float(v) != v for v in pubo.coeff.values())
        event("beyond float64")
        return
    assert_same(arrays, pubo)
    event(f"same polynomial, degree {arrays.degree}")


def bad_models():
    N, c = ql.Placeholder("N"), ql.Placeholder("c", ndim=1)
    x = ql.BinaryVar("x", shape=(N,))
    i = ql.Element("i", N)
    objective = ql.Problem("objective")
    objective += ql.sum(i, c[i + 1] * x[i])
    constraint = ql.Problem("constraint")
    constraint += ql.Constraint("c", x[i] * c[i + 1] <= 1, forall=i)
    penalty = ql.Problem("penalty")
    penalty += ql.CustomPenaltyTerm("p", x[i] ** c[i], forall=i)
    shape = ql.Problem("shape")
    shape += ql.sum(i, x[i + 1])
    return [objective, constraint, penalty, shape]


@pytest.mark.parametrize("problem", bad_models(), ids=lambda p: p.name)
def test_errors_are_those_of_compile_model(problem):
    instance = {"N": 3, "c": np.array([1.0, 2.0, 0.5])}
    with pytest.raises(SubstituteError) as expected:
        compile_model(problem, instance)
    with pytest.raises(SubstituteError) as got:
        to_qubo_arrays(problem, instance, progress=False)
    assert str(got.value) == str(expected.value)
    assert type(got.value.__cause__) is type(expected.value.__cause__)


def test_progress_reports_every_item():
    problem, instance, fixed = tsp(np.random.default_rng(0))
    seen = []
    to_qubo_arrays(problem, instance, progress=lambda stage, item, seconds: seen.append((stage, item)))
    assert seen == [
        ("compile", "objective"),
        ("compile", "one city per step"),
        ("compile", "one step per city"),
        ("lower", "one city per step"),
        ("lower", "one step per city"),
    ]


@pytest.mark.parametrize("stage", ["compile", "lower"])
@pytest.mark.parametrize("enabled", [True, False])
def test_the_collector_stays_as_the_callers_code_sets_it(stage, enabled):
    # the compile pauses Python's collector: a progress callback's gc.disable() or gc.enable()
    # must stand after the call, and a call without one must leave it as it found it
    import gc

    problem, instance, _ = tsp(np.random.default_rng(0))
    before = gc.isenabled()
    try:
        for switch in (True, False):
            gc.enable() if enabled else gc.disable()
            flip = (gc.disable if enabled else gc.enable) if switch else (lambda: None)
            to_qubo_arrays(problem, instance, progress=lambda s, i, t: flip() if s == stage else None)
            assert gc.isenabled() is (enabled is not switch)
    finally:
        gc.enable() if before else gc.disable()


@pytest.mark.parametrize(
    "objective, penalty, weight, exact",
    [
        (2**60 + 1, lambda x: x[1], 1, False),  # one coefficient past float64's exact ints
        (2**53, lambda x: x[0] * x[1] + x[1], 1, False),  # two ints whose sum is past them: refused
        (2**51, lambda x: 3 * x[0] * x[1] + x[1], 1, True),  # ints small enough to add as doubles
        # a square's terms, made without expanding it, past them with the objective's
        (1, lambda x: (2**19 * x[0] + (2**19 + 1) * x[1]) ** 2, 2**15, False),
    ],
)
def test_float64_refuses_inexact_coefficients(objective, penalty, weight, exact):
    x = ql.BinaryVar("x", shape=(2,))
    problem = ql.Problem("big")
    problem += objective * x[0] * x[1]
    problem += ql.CustomPenaltyTerm("p", penalty(x))
    pubo = to_pubo(compile_model(problem, {}), penalty_weight=weight)
    if exact:
        assert_same(to_qubo_arrays(problem, {}, penalty_weight=weight, progress=False), pubo)
        return
    with pytest.raises(ValueError, match="no exact float64 value"):
        to_qubo_arrays(problem, {}, penalty_weight=weight, progress=False)


def test_a_model_without_binaries_has_one_energy_for_its_empty_sample():
    x = ql.BinaryVar("x", shape=(2,))
    problem = ql.Problem("fixed")
    problem += 2**53 + 1 + x[0]
    pubo = to_pubo(problem, {}, {"x": {(0,): 0}}, progress=False)
    assert pubo.num_binaries == 0 and pubo.energy([]) == pubo.energy({}) == 2**53 + 1


INTERRUPTED = """
import quillon as ql
from quillon_transpiler import to_qubo_arrays
from quillon_transpiler.core.compile.compile import compile_model
N = ql.Placeholder("N")
x = ql.BinaryVar("x", shape=(N,))
i = ql.Element("i", N)
problem = ql.Problem("long")
problem += ql.Constraint("one", ql.sum(i, {term}) == 1)
source = compile_model(problem, {{"N": 30000}}) if {compiled} else problem
print("ready", flush=True)
try:
    to_qubo_arrays(source, {{"N": 30000}} if not {compiled} else None, progress=False)
except KeyboardInterrupt:
    small = to_qubo_arrays(problem, {{"N": 3}}, progress=False)
    print("interrupted", small.num_terms, flush=True)
"""


@pytest.mark.parametrize(
    "compiled, term, terms",
    # a square of products of binaries is made pair by pair, not by the merge's linear shortcut
    [(True, "x[i]", 6), (False, "x[i]", 6), (False, "x[i] * x[(i + 1) % N]", 4)],
)
def test_ctrl_c_interrupts_the_lowering(compiled, term, terms):
    """Squaring a constraint of 30000 terms makes 4.5e8 products: Ctrl-C stops it, and the
    module keeps working."""
    import signal
    import subprocess
    import sys
    import time

    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED.format(compiled=compiled, term=term)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(1.0)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=10)
    finally:
        child.kill()
        child.communicate()
    assert out == f"interrupted {terms}\n", err


@pytest.mark.parametrize("items", [2, 3, 4, 5])
def test_equal_terms_from_many_sources_add_in_model_order(items):
    # each penalty item adds x0*x5 then x0*x3, so row 0 collects runs of falling columns that
    # the lowering merges; the x0*x5 values only sum to the dict's value when added in order.
    # Item 2's big int keeps it out of the float-only reading: its terms come another way and
    # must still be added in their place
    K = ql.Placeholder("K")
    w, v = ql.Placeholder("w", 1), ql.Placeholder("v", 1)
    x = ql.BinaryVar("x", shape=(6,))
    k = ql.Element("k", K)
    problem = ql.Problem("sources")
    problem += 1e16 * x[0] * x[5]
    problem += ql.CustomPenaltyTerm("p", w[k] * x[0] * x[5] + x[0] * x[3] + x[1] + x[2] + v[k] * x[4], forall=k)
    instance = {"K": items, "w": np.array([1.0, 1.0, -1e16, 1.0, 1.0][:items]), "v": [1, 1, 2**70, 1, 1][:items]}
    pubo = dict_route(problem, instance, {}, penalty_weight=1.0)
    assert_same(to_qubo_arrays(problem, instance, penalty_weight=1.0, progress=False), pubo)


@pytest.mark.parametrize("long_row", [31, 32, 40])
@pytest.mark.parametrize("dtype", [np.int64, np.float64])
def test_objective_rows_of_every_length_are_read_once_each(long_row, dtype):
    # each row i of the objective is a part of its terms: a short row, a long one (its own block
    # from 32 terms on) and a short one again, which shares the first one's block; reading the
    # long row must not free that block before the last row is read
    J = ql.Placeholder("J", ndim=2)
    N = J.len_at(0)
    i, j = ql.Element("i", N), ql.Element("j", N)
    x = ql.BinaryVar("x", shape=(N,))
    problem = ql.Problem("rows")
    problem += ql.sum(i, ql.sum(j, J[i, j] * x[i] * x[j]))
    J_data = np.zeros((long_row, long_row), dtype=dtype)
    J_data[1, long_row - 1] = 3
    J_data[2, :] = np.arange(1, long_row + 1)
    J_data[long_row - 2, 4] = 5
    pubo = dict_route(problem, {"J": J_data}, {})
    assert_same(to_qubo_arrays(problem, {"J": J_data}, progress=False), pubo)


@pytest.mark.parametrize(
    "coefficients, constant, weight",
    [
        ([0.1, 0.2, 0.3], -1, 1.0),  # floats whose products round
        ([0.1, 0.2, 0.3], -1, 3),
        ([1e16, 1.0, -1e16], 1.0, 1.0),  # sums that only come out right in order
        ([1, 2, 3], 0.5, 3),
        ([1, 2, 3], 0, 3),  # ints throughout
        ([3, 7, 11], -5, 0.1),  # ints under a float weight: their product first, then the weight
        ([2**32, 2**32, 2**32], -2, 1.0),  # squares past int64: expanded before the lowering instead
    ],
)
def test_squared_penalties_give_the_dict_routes_terms(coefficients, constant, weight):
    # a penalty that is a square of a sum of variables reaches the lowering unexpanded; its
    # terms must still be those of the expanded square, added where the item stands
    N, K = ql.Placeholder("N"), ql.Placeholder("K")
    c = ql.Placeholder("c", 1)
    x = ql.BinaryVar("x", shape=(N,))
    i = ql.Element("i", N)
    problem = ql.Problem("squares")
    problem += 0.5 * x[0] * x[1] + x[2]
    problem += ql.CustomPenaltyTerm("sq", (ql.sum(i, c[i] * x[i]) + K) ** 2)
    problem += ql.CustomPenaltyTerm("again", (ql.sum(i, c[i] * x[(i + 1) % N]) - K) ** 2)
    instance = {"N": len(coefficients), "c": coefficients, "K": constant}
    expected = dict_route(problem, instance, {}, penalty_weight=weight)
    assert_same(to_qubo_arrays(problem, instance, penalty_weight=weight, progress=False), expected)


@pytest.mark.parametrize("cubic", [False, True])
def test_large_float_lowerings_merge_as_the_dict_route(cubic):
    # past the size where the lowering counts and sorts on two threads: every pair of binaries
    # is met from two objective groups and from a penalty, with values whose sums show the
    # order they were added in; the first half's merged terms leave room that the second
    # half's move into. Cubic terms stop the objective's count on the helper thread.
    M = 300
    a, b = ql.Placeholder("a", 2), ql.Placeholder("b", 1)
    x = ql.BinaryVar("x", shape=(M,))
    i, j = ql.Element("i", M), ql.Element("j", M - 1)
    problem = ql.Problem("large")
    operand = a[i, j] * x[i] * x[(i + j + 1) % M]
    if cubic:
        operand = operand + a[j, i] * x[i] * x[(i + 1) % M] * x[(i + 2) % M]
    problem += ql.sum(i, ql.sum(j, operand))
    problem += ql.CustomPenaltyTerm("one", (ql.sum(i, b[i] * x[i]) - 1) ** 2)
    rng = np.random.default_rng(7)
    instance = {"a": rng.normal(size=(M, M)) * 10.0 ** rng.integers(-8, 9, (M, M)), "b": rng.normal(size=M)}
    assert_same(to_qubo_arrays(problem, instance, progress=False), dict_route(problem, instance, {}))


# ---- "auto" weights: the swing counted natively is the arrays' flip bound ----


def arrays_swing(request):
    """The swing as the arrays give it: the objective and penalties lowered alone to arrays and
    bounded by weights.flip_bound, the dict lowering taking numbers beyond float64."""
    from quillon_transpiler.core.pubo import binarize, weights

    alone = dataclasses.replace(request, constraints={}, kinds={}, constraint_weights={}, onehot_weight=0)
    try:
        lowered = binarize._lower_arrays(alone, False, None)
    except ValueError as error:
        if "exact float64" not in str(error):
            raise
        return weights._dict_swing(binarize._lower(alone))
    quadratic = lowered.quadratic_rows, lowered.quadratic_cols, lowered.quadratic_biases
    higher = lowered.higher_offsets, lowered.higher_indices, lowered.higher_biases
    return weights.flip_bound(lowered.linear, quadratic, higher)


def tsp_floats(rng):
    """A TSP large enough that the merge runs on two threads; unrounded distances."""
    return (*testing.tsp(42, onehot="mixed", weight=1.7, decimals=None, seed=int(rng.integers(100))), None)


# (penalty_weight, encoding_weight): the one-hot rules' weight automatic, or a penalty weighing,
# take the swing from a lowering of its own; otherwise the merge counts it
SWING_OPTIONS = [(None, "auto"), (0, 1.0), (0.3, 1.0)]


@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize("encoder", ["log", "one-hot"])
@pytest.mark.parametrize("family", [*FAMILIES, "tsp_floats"])
def test_auto_weights_come_from_the_arrays_flip_bound(family, encoder, seed):
    from quillon_transpiler.core.native_compile import compile_native
    from quillon_transpiler.core.pubo import weights
    from quillon_transpiler.core.pubo.route import pubo_request

    rng = np.random.default_rng(seed)
    problem, instance, fixed = (tsp_floats if family == "tsp_floats" else FAMILIES[family])(rng)
    for penalty_weight, encoding_weight in SWING_OPTIONS:
        compiled = compile_native(problem, instance, copy.deepcopy(fixed), None)
        _, request = pubo_request(compiled, 1.0, penalty_weight, encoder, 1.0)
        swing = arrays_swing(request)
        assert weights.objective_swing(request) == swing
        chosen = {
            label: weights.weight_for(swing, weights.smallest_step(polys, request.kinds[label]))
            for label, polys in compiled.constraint.items()
        }
        rules = weights.weight_for(swing, 1.0) if encoding_weight == "auto" else encoding_weight
        kw = {"encoder": encoder, "penalty_weight": penalty_weight}
        given = to_qubo_arrays(
            problem,
            instance,
            copy.deepcopy(fixed),
            constraint_weight=chosen,
            encoding_weight=rules,
            progress=False,
            **kw,
        )
        # from the model (its polynomials consumed), and from a compiled instance, read where it
        # is (no progress) or copied
        for progress in (False, None, lambda *_: None):
            if progress is False:
                auto = to_qubo_arrays(
                    problem, instance, copy.deepcopy(fixed), encoding_weight=encoding_weight, progress=False, **kw
                )
            else:
                kept = compile_native(problem, instance, copy.deepcopy(fixed), None)
                auto = to_qubo_arrays(kept, encoding_weight=encoding_weight, progress=progress, **kw)
            for name in ("linear", "quadratic_rows", "quadratic_cols", "quadratic_biases", "higher_indices"):
                assert np.array_equal(getattr(auto, name), getattr(given, name)), name
            assert np.array_equal(auto.higher_biases, given.higher_biases) and auto.offset == given.offset
            assert auto.slack == given.slack
