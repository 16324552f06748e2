"""Whole models, compiled, against a plain-Python reading of the same model (model_oracle.py).

Random models (model_generator.py) mix what users write: nested sums and products with
conditions, squares and cubes of sums, products of sums, shifted, modular, summed and indirect
subscripts, binary and integer variables, 1-d, 2-d and jagged data, constraints and penalties over
conditioned forall lists, pinning constraints and caller-fixed variables. Every compiled polynomial is evaluated at random
integer points, binary variables included (the compiled polynomial must be the model's polynomial,
not only agree on 0/1), and compared exactly, or within rounding where the data hold floats.
Polynomials run from single terms to hundreds (two thirds of the models have one past eight
terms, a third one past thirty-two), so every representation of the compiler's term maps, and
each switch between them, is met many times in a run. QTX_MODEL_EXAMPLES sets the number of
models (300 by default; raise it for a longer search).
"""

import copy
import operator
import os
import random

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from model_generator import N, models, w, x
from model_oracle import Oracle, polynomial_value

import quillon as ql
from quillon_transpiler.core.compile.compile import compile_model

# random fixed values and pins include some a variable cannot take: warned of, and meant
pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")


def check(problem, instance, fixed=None, seed=0, points=3):
    fixed = {} if fixed is None else fixed
    compiled = compile_model(problem, instance, copy.deepcopy(fixed))
    oracle = Oracle(instance)
    expected_fixed = oracle.fixed_values(problem, fixed)
    pinned = compiled.data.fixed_variables
    assert {label: set(by) for label, by in pinned.items()} == {label: set(by) for label, by in expected_fixed.items()}
    for label, by in oracle.fixed_values(problem, fixed, measured=True).items():
        for at, (value, magnitude) in by.items():
            got = pinned[label][at]
            # a constant raised to a power is a float (the exponent is one), exact ints stay exact
            if isinstance(got, float):
                assert abs(got - value) <= 1e-9 * max(magnitude, 1), f"{label}{list(at)}: fixed {got}, model {value}"
            else:
                assert got == value, f"{label}{list(at)}: fixed {got}, model {value}"
    registered = compiled.var_map.var_map
    assert not any(s in expected_fixed.get(label, {}) for label, by in registered.items() for s in by)
    kept = {label: c for label, c in problem.constraints.items() if oracle.pinned_variable(c) is None}
    assert list(compiled.constraint) == list(kept)
    assert list(compiled.penalty) == list(problem.custom_penalty_terms)

    def same(poly, expected, what):
        got = polynomial_value(poly, point)
        value, magnitude = expected
        if any(isinstance(v, float) for v in [poly.constant, *poly.coeff.values()]):
            assert abs(got - value) <= 1e-9 * max(magnitude, 1), f"{what}: compiled {got}, model {value}"
        else:  # ints are exact: so must the polynomial be
            assert got == value, f"{what}: compiled {got}, model {value}"

    rng = random.Random(seed)
    for _ in range(points):
        free = {(label, s): rng.randint(-99, 99) for label, by in registered.items() for s in by}
        point = {registered[label][s]: value for (label, s), value in free.items()}

        def variable_value(label, subscripts):
            if subscripts in expected_fixed.get(label, {}):
                return expected_fixed[label][subscripts]
            assert (label, subscripts) in free, f"{label}{list(subscripts)} is used but not registered"
            return free[label, subscripts]

        oracle.variable_value = variable_value
        same(compiled.objective, oracle.measure(problem.objective), "objective")
        for group, items in (("constraint", kept), ("penalty", problem.custom_penalty_terms)):
            for label, item in items.items():
                polys = getattr(compiled, group)[label]
                keys = list(oracle.assignments(item.forall))
                assert list(polys) == keys, f"{group} {label}: forall keys"
                for key in keys:
                    same(polys[key], oracle.instance_value(item, key), f"{group} {label} at {key}")
    return compiled


@settings(
    max_examples=int(os.environ.get("QTX_MODEL_EXAMPLES", "300")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(models())
def test_compiled_models_equal_the_model(model):
    check(model.problem, model.instance, model.fixed, model.seed)


# --- the models the property test was written after: each compiled to a wrong coefficient ---


def issue_model(objective=None, *items):
    p = ql.Problem("issue")
    if objective is not None:
        p += objective
    for item in items:
        p += item
    return p


def coefficient_of(compiled, poly, factors):
    """The coefficient of the monomial whose factors are (label, subscripts) pairs."""
    index = sorted(compiled.var_map.var_map[label][s] for label, s in factors)
    return sum(c for key, c in poly.coeff.items() if sorted(key) == index)


i2, i3 = ql.Element("i", (0, 2)), ql.Element("i", 3)
j2, j8, jn = ql.Element("j", 2), ql.Element("j", (0, 8)), ql.Element("j", N)


def X(s):
    return ("x", (s,))


ISSUE = [  # model, N, which polynomial, monomial, its coefficient
    (issue_model(ql.sum(i2, ql.sum(jn, (x[jn] + x[i2]) ** 2, jn != i2))), 3, "objective", [X(2), X(2)], 2),
    (issue_model(x[0] + ql.sum(j8, x[j8 + 1]) + x[1]), 9, "objective", [X(1)], 2),
    (issue_model(x[0] + (x[0] + x[1] + 1) ** 3 + x[1]), 2, "objective", [X(1)], 4),
    (issue_model((w + 1) ** 2 + (w + 1) ** 8 + w**3), 1, "objective", [("w", ())] * 3, 57),
    (issue_model(ql.sum(i3, (ql.sum(j2, x[i3 + j2]) - 1) ** 2)), 4, "objective", [X(2)], -4),
    (issue_model(ql.sum(i3, (ql.sum(j2, x[i3 + j2]) - 1) ** 2)), 4, "objective", [X(2), X(2)], 2),
    (
        issue_model(None, ql.Constraint("c", x[i2] + ql.sum(j8, x[i2 + j8 + 1]) + x[i2 + 1] == 1, forall=i2)),
        10,
        ("c", (1,)),
        [X(2)],
        2,
    ),
    (
        issue_model(None, ql.CustomPenaltyTerm("p", x[i2] + (x[i2] + x[i2 + 1] + 1) ** 3 + x[i2 + 1], forall=i2)),
        3,
        ("p", (1,)),
        [X(2)],
        4,
    ),
]


@pytest.mark.parametrize(
    "model, n, where, factors, expected",
    ISSUE,
    ids=[
        "double-sum-square",
        "shifted-sum",
        "cube",
        "scalar-powers",
        "one-hot",
        "one-hot-square",
        "constraint-forall",
        "penalty-forall",
    ],
)
def test_models_from_the_issue(model, n, where, factors, expected):
    compiled = check(model, {"N": n, "M": 1, "U": [0] * n}, points=5)
    if where == "objective":
        poly = compiled.objective
    else:
        label, key = where
        poly = (compiled.constraint if label in compiled.constraint else compiled.penalty)[label][key]
    assert coefficient_of(compiled, poly, factors) == expected


COMPARISONS = {
    "<": operator.lt,
    "<=": operator.le,
    "==": operator.eq,
    "!=": operator.ne,
    ">": operator.gt,
    ">=": operator.ge,
}


@pytest.mark.parametrize("compare", COMPARISONS.values(), ids=COMPARISONS.keys())
@pytest.mark.parametrize("bound", ["outer index", 2, -3, 9, 2.5, "both"])
@pytest.mark.parametrize("index_first", [True, False])
def test_sums_under_a_comparison_with_their_index(compare, bound, index_first):
    # a sum whose condition compares its own index with what does not read it runs only over
    # the values it lets through (one run, two for !=, none); a bound no int read before (a
    # float) has every value tested; "both": the comparison and i != j joined by &
    i, j = ql.Element("i", N), ql.Element("j", N)
    other = i if bound in ("outer index", "both") else ql.Placeholder("c")
    condition = compare(j, other) if index_first else compare(other, j)
    if bound == "both":
        condition = condition & (j != i)
    d = ql.Placeholder("d", ndim=2)
    problem = ql.Problem("comparisons")
    problem += ql.sum(i, ql.sum(j, d[i, j] * x[i] * x[j], condition))
    problem += ql.CustomPenaltyTerm("row", ql.sum(j, x[j], condition), forall=i)
    n = 6
    instance = {"N": n, "d": np.arange(n * n).reshape(n, n) - 7, "c": 0 if isinstance(bound, str) else bound}
    check(problem, instance, points=2)


@pytest.mark.parametrize("gaps", [7, 8])
def test_a_sum_with_more_gaps_than_its_runs_hold_tests_every_value(gaps):
    # each != cuts one more run: seven gaps leave eight runs (the most the kernel keeps), eight
    # leave nine, and every value is then tested the general way
    i, j = ql.Element("i", N), ql.Element("j", N)
    condition = j != 1
    for k in range(2, gaps + 1):
        condition = condition & (j != 2 * k - 1)
    problem = ql.Problem("gaps")
    problem += ql.sum(i, ql.sum(j, x[i] * x[j], condition))
    check(problem, {"N": 2 * gaps + 3}, points=2)
