"""Squares the arrays route makes itself, against the dict route's expansion.

A constraint's weight * lhs^2 (its slack included), an objective that is a square and a squared
penalty reach the lowering unexpanded; it makes their terms where they stand, natively when their
numbers allow, and writes a model that is one square straight into its output. Every way must
give to_pubo's terms and coefficients, bit for bit.
"""

import numpy as np
import pytest
from test_native_route import assert_same, dict_route

import quillon as ql
from quillon_transpiler import testing, to_qubo_arrays
from quillon_transpiler.core.pubo import binarize


def linear_model(rng, n, *, kind, integer, encoded, sense, reverse, extra):
    """sum_i a[i] v[i] in the role `kind` (objective square, penalty square, ==, <= or >=
    constraint), int or float coefficients, over binaries or (`encoded`) integers in [-1, 2], its
    terms in index order or reversed (after an objective that registers them in order); with
    `extra`, a penalty besides it."""
    N, B = ql.Placeholder("N"), ql.Placeholder("B")
    a = ql.Placeholder("a", ndim=1)
    x = ql.BinaryVar("x", shape=(N,))
    y = ql.IntegerVar("y", shape=(N,), lower_bound=-1, upper_bound=2)
    i = ql.Element("i", N)
    var = y if encoded else x
    total = ql.sum(i, a[i] * var[N - 1 - i if reverse else i])
    problem = ql.Problem("squares", sense=sense)
    if kind == "objective":
        problem += (total - B) ** 2
    elif reverse:
        problem += 0.5 * x[0] + ql.sum(i, 0.25 * var[i])  # registers the variables in index order
    if kind == "penalty":
        problem += ql.CustomPenaltyTerm("sq", (total - B) ** 2)
    elif kind != "objective":
        problem += ql.Constraint("c", {"==": total == B, "<=": total <= B, ">=": total >= B}[kind])
    if extra:
        problem += ql.CustomPenaltyTerm("pair", x[0] * x[n - 1] - 0.25 * x[1])
    values = rng.integers(-9, 10, n) if integer else rng.uniform(-3, 3, n).round(int(rng.integers(1, 6)))
    bound = int(values.sum() // 2) if integer else float(values.sum() / 3)
    return problem, {"N": n, "a": values, "B": bound}


WEIGHTS = [
    {},
    {"constraint_weight": 3, "penalty_weight": 2},
    {"constraint_weight": 0.1, "penalty_weight": 2.5, "encoding_weight": 0.5},
    {"constraint_weight": 0, "penalty_weight": 0},
]


@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize("encoder", ["log", "unary", "one-hot"])
@pytest.mark.parametrize("kind", ["objective", "penalty", "==", "<=", ">="])
def test_squares_give_the_dict_routes_terms(kind, encoder, seed):
    rng = np.random.default_rng(seed)
    for integer, encoded in ((False, False), (True, False), (True, True), (False, True)):
        if kind in ("<=", ">=") and not integer:
            continue  # a slack closes integral inequalities only
        for sense in (ql.ProblemSense.MINIMIZE, ql.ProblemSense.MAXIMIZE):
            for reverse, extra in ((False, False), (True, True), (True, False)):
                n = int(rng.integers(2, 9))
                problem, instance = linear_model(
                    rng, n, kind=kind, integer=integer, encoded=encoded, sense=sense, reverse=reverse, extra=extra
                )
                per_label = {"constraint_weight": {"c": 7} if kind in ("==", "<=", ">=") else {}}
                for kw in [*WEIGHTS, per_label]:
                    arrays = to_qubo_arrays(problem, instance, encoder=encoder, progress=False, **kw)
                    assert_same(arrays, dict_route(problem, instance, {}, encoder=encoder, **kw))


@pytest.mark.parametrize(
    "values, weight",
    [
        ([2**20 - 1, 3, -(2**20 - 1)], 1),  # the largest ints made natively
        ([2**20, 3, -(2**20)], 1),  # one past: made as Python numbers
        ([5, 3, 1], 2**20 - 1),
        ([5, 3, 1], 2**20),
        ([2**19] * 4, 800),  # ints summing below 2^52: the square is written straight out
        ([2**19] * 4, 820),  # above: merged as exact ints instead
        ([0.5, 9e153, -1e-300], 1.0),  # products within float64's range
        ([2**40, 1.5, 3], 2),  # squares past the native bound
    ],
)
@pytest.mark.parametrize("kind", ["objective", "==", "penalty"])
def test_native_bounds_keep_the_dict_routes_numbers(values, weight, kind):
    n = len(values)
    x = ql.BinaryVar("x", shape=(n,))
    total = sum(v * x[k] for k, v in enumerate(values))
    problem = ql.Problem("bounds")
    if kind == "objective":
        problem += (total - 1) ** 2  # weighted by the sense alone
        kw = {}
    elif kind == "==":
        problem += ql.Constraint("c", total == 0)
        kw = {"constraint_weight": weight}
    else:
        problem += ql.CustomPenaltyTerm("p", (total + 2) ** 2)
        kw = {"penalty_weight": weight}
    try:
        expected = dict_route(problem, {}, {}, **kw)
    except ValueError:
        with pytest.raises(ValueError):
            to_qubo_arrays(problem, {}, progress=False, **kw)
        return
    try:
        arrays = to_qubo_arrays(problem, {}, progress=False, **kw)
    except ValueError as error:
        assert "no exact float64 value" in str(error)
        assert any(float(v) != v for v in expected.coeff.values())
        return
    assert_same(arrays, expected)


ENCODED = {  # (coefficients, constant, weight, bounds): squares over integers made as binary squares or not
    "int weight, offsets": ([7, -3, 0, 5], 4, 2, (-1, 2)),
    "integral float weight": ([7, 3, 0], -4, 3.0, (-1, 2)),
    "weight 0.3: expanded": ([7, 3, 0], -4, 0.3, (-1, 2)),  # w * (p + q) is not w * p + w * q
    "below 2^52": ([-2249, 991, 2140], 9673, 7.0, (-3, 1000)),
    "past 2^52: expanded": ([-224910, 99166, 2140500], 967363421, 1.0, (-3, 1000)),  # sums round
}


@pytest.mark.parametrize(
    "case, encoder",
    # a thousand binaries per integer but for the log encoder: the dict route's expansion would take long
    [
        (case, encoder)
        for case in ENCODED
        for encoder in ("log", "unary", "one-hot")
        if encoder == "log" or ENCODED[case][3][1] <= 2
    ],
)
@pytest.mark.parametrize("kind", ["objective", "penalty", "3 * penalty", "0.5 * penalty"])
def test_squares_over_integers_keep_the_dict_routes_numbers(kind, case, encoder):
    """A square over encoded integers (a fixed one and a binary beside them) is the square of
    its binary form where every number is an int and the weight's products stay exact."""
    values, constant, weight, (lo, hi) = ENCODED[case]
    n = len(values)
    y = ql.IntegerVar("y", shape=(n,), lower_bound=lo, upper_bound=hi)
    fixed = ql.IntegerVar("f", lower_bound=3, upper_bound=3)
    x = ql.BinaryVar("x")
    square = (sum(v * y[k] for k, v in enumerate(values)) + 2 * fixed - x - constant) ** 2
    problem = ql.Problem("encoded")
    scale = {"3 * penalty": 3, "0.5 * penalty": 0.5}.get(kind)  # a weight written in the model
    if scale is not None:
        square = scale * square
    problem += square if kind == "objective" else ql.CustomPenaltyTerm("p", square)
    kw = {} if kind == "objective" else {"penalty_weight": weight}
    expected = dict_route(problem, {}, {}, encoder=encoder, **kw)
    try:
        arrays = to_qubo_arrays(problem, {}, encoder=encoder, progress=False, **kw)
    except ValueError as error:  # exact ints past 2^53 (weighted by the sense alone)
        assert "no exact float64 value" in str(error)
        assert any(float(v) != v for v in expected.coeff.values())
        return
    assert_same(arrays, expected)


@pytest.mark.parametrize(
    "values, constant, scale",
    [
        ([7, -3, 5], 4, 3),
        ([-6, 6, 7], 2, 0.3),  # not integral: expanded
        ([2613089, -3475827, -2689047], -2207794, 3001),  # 2^52 passed by the scale alone: expanded
    ],
)
def test_a_weight_written_on_a_square_of_integers_keeps_the_dict_routes_numbers(values, constant, scale):
    y = ql.IntegerVar("y", shape=(3,), lower_bound=-1, upper_bound=2)
    problem = ql.Problem("scaled")
    problem += ql.CustomPenaltyTerm("p", scale * (sum(v * y[k] for k, v in enumerate(values)) - constant) ** 2)
    arrays = to_qubo_arrays(problem, {}, progress=False, penalty_weight=1.0)
    assert_same(arrays, dict_route(problem, {}, {}, penalty_weight=1.0))


@pytest.mark.parametrize("kind", ["objective", "penalty"])
def test_products_past_float64_are_named_as_the_dict_route_names_them(kind):
    x = ql.BinaryVar("x", shape=(3,))
    problem = ql.Problem("overflow")
    square = (1.2e154 * x[0] + 1.2e154 * x[1] - x[2]) ** 2  # squares finite, 2 v_0 v_1 not
    problem += square if kind == "objective" else ql.CustomPenaltyTerm("p", square)
    with pytest.raises(ValueError) as expected:
        dict_route(problem, {}, {})
    with pytest.raises(ValueError) as got:
        to_qubo_arrays(problem, {}, progress=False)
    assert str(got.value) == str(expected.value)


def late_model(second):
    """sum_i v[i] b[i] + second * b[2] (an objective of two statements, whose parts let the
    weight wait for the merge) beside the constraint sum_i w[i] b[i] == C."""
    N, C = ql.Placeholder("N"), ql.Placeholder("C")
    v, w = ql.Placeholder("v", ndim=1), ql.Placeholder("w", ndim=1)
    b, i = ql.BinaryVar("b", shape=(N,)), ql.Element("i", N)
    problem = ql.Problem("late")
    problem += ql.sum(i, v[i] * b[i])
    problem += second * b[2]
    problem += ql.Constraint("c", ql.sum(i, w[i] * b[i]) == C)
    return problem


@pytest.mark.parametrize("value", [1e3, 1e298, 2e298])
@pytest.mark.parametrize("data", ["int", "float"])
def test_a_weight_chosen_late_that_overflows_a_pair_is_named_as_the_dict_route_names_it(value, data):
    # a linear objective of two statements (its parts let the weight wait for the merge) beside
    # a constraint whose squares cancel: at 1e298 the chosen weight takes 2 v_0 v_1, and only it,
    # past float64, which the merge finds term by term once the weight is known
    problem = late_model(2.0)
    weights = np.array([100000, 100000, 1, 2]) if data == "int" else np.array([1e5, 1e5, 1.0, 2.0])
    instance = {"N": 4, "v": np.array([value, -value, 3.0, 1.0]), "w": weights, "C": 50000}
    if value < 1e10:
        assert_same(to_qubo_arrays(problem, instance, progress=False), dict_route(problem, instance, {}))
        return
    if data == "int":  # the chosen weight is an int: the dict keeps w * 2 v_0 v_1 exactly
        exact = dict_route(problem, instance, {}).coeff[(0, 1)]
        assert type(exact) is int and exact > 2**1000
        with pytest.raises(ValueError, match=rf"coefficient {exact} of the term \(0, 1\) has no exact float64"):
            to_qubo_arrays(problem, instance, progress=False)
        return
    with pytest.raises(ValueError) as expected:
        dict_route(problem, instance, {})
    with pytest.raises(ValueError, match=r"term \(0, 1\)") as got:
        to_qubo_arrays(problem, instance, progress=False)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("top", [2**50, 2**51, 2**53 + 1])  # the ints' sum below 2^52, past it, past 2^53
def test_a_linear_objectives_ints_beside_a_square_on_both_sides_of_2_52(top):
    # past 2^52 the ints' sums may round in doubles: the general merge adds them as ints, and
    # a sum a double cannot hold is refused, never rounded
    N, C = ql.Placeholder("N"), ql.Placeholder("C")
    v, w = ql.Placeholder("v", ndim=1), ql.Placeholder("w", ndim=1)
    b, i = ql.BinaryVar("b", shape=(N,)), ql.Element("i", N)
    problem = ql.Problem("ints", sense=ql.ProblemSense.MAXIMIZE)
    problem += ql.sum(i, v[i] * b[i])
    problem += ql.Constraint("c", ql.sum(i, w[i] * b[i]) <= C)
    instance = {"N": 4, "v": np.array([top, top - 1, 3, 1]), "w": np.array([3, 5, 2, 7]), "C": 9}
    for kw in ({"constraint_weight": 2}, {"constraint_weight": 0.5}):
        pubo = dict_route(problem, instance, {}, **kw)
        if top > 2**53 and kw["constraint_weight"] == 2:
            with pytest.raises(ValueError, match="exact float64"):
                to_qubo_arrays(problem, instance, progress=False, **kw)
        else:
            assert_same(to_qubo_arrays(problem, instance, progress=False, **kw), pubo)


@pytest.mark.parametrize("n", [362, 363])  # 65341 and 65703 quadratic terms: one thread, then two
@pytest.mark.parametrize("integer", [False, True])
@pytest.mark.parametrize("role", ["minimise", "maximise", "constraint", "penalty"])
# beside the square: an objective of one binary per term (a knapsack's values, written straight
# out too, its values added to the square's), or one with a pair (merged the general way)
@pytest.mark.parametrize("beside", ["nothing", "linear", "pair"])
def test_a_model_that_is_one_square_is_written_straight_out(n, integer, role, beside):
    problem, instance = testing.dense_square(n, integer=integer)
    square = problem.objective
    total = square.base  # sum_i a[i] x[i] - B
    maximise = role == "maximise" or (beside != "nothing" and role == "constraint")
    model = ql.Problem("one", sense=ql.ProblemSense.MAXIMIZE if maximise else ql.ProblemSense.MINIMIZE)
    if role in ("minimise", "maximise"):
        model += square
    elif role == "constraint":
        model += ql.Constraint("c", total == 0)
    else:
        model += ql.CustomPenaltyTerm("p", square)
    if beside != "nothing" and role not in ("minimise", "maximise"):
        x, i = ql.BinaryVar("x", shape=(ql.Placeholder("N"),)), ql.Element("i", ql.Placeholder("N"))
        a = ql.Placeholder("a", ndim=1)
        model += ql.sum(i, (a[i] % 7 - 3.25) * x[i])
        model += 0.5 * x[0] * x[n - 1] if beside == "pair" else 1.5 * x[3]
    weights = [{"constraint_weight": 0.1, "penalty_weight": 2.5}, {"constraint_weight": 3, "penalty_weight": 7}]
    for kw in ({}, *weights):  # {}: a constraint's weight chosen from the objective ("auto")
        assert_same(to_qubo_arrays(model, instance, progress=False, **kw), dict_route(model, instance, {}, **kw))


def test_a_long_square_before_other_items_is_merged_with_them():
    # past the contributions that make the merge compact: the square waits, and is merged with
    # the penalty that comes after it
    problem, instance = testing.dense_square(1450)
    x = ql.BinaryVar("x", shape=(ql.Placeholder("N"),))
    problem += ql.CustomPenaltyTerm("after", 0.1 * x[3] * x[1000] + x[7])
    problem += ql.Constraint("first", x[0] + x[1] == 1)
    assert_same(to_qubo_arrays(problem, instance, progress=False), dict_route(problem, instance, {}))


@pytest.mark.parametrize("a, late", [(10**4, True), (2 * 10**4, False), (10**5, False)])
def test_an_int_weight_chosen_late_is_applied_in_doubles_only_while_they_hold_its_ints(monkeypatch, a, late):
    # the weight (2 * 10**6) times the square's ints summed: 2e15, then 8e15 past 2**52 (lowered
    # again at the int weight, exact), then coefficients past 2**53 (refused as when given)
    problem = late_model(2)
    instance = {"N": 3, "v": np.array([10**6, 2, 3]), "w": np.array([a, a, 1]), "C": a}
    weight = dict_route(problem, instance, {}).constant // a**2
    taken = []
    lower_late = binarize._lower_arrays_late
    monkeypatch.setattr(binarize, "_lower_arrays_late", lambda *args: taken.append(lower_late(*args)) or taken[-1])
    try:
        expected = to_qubo_arrays(problem, instance, progress=False, constraint_weight=weight)
    except ValueError as refused:
        with pytest.raises(ValueError) as got:
            to_qubo_arrays(problem, instance, progress=False)
        assert str(got.value).startswith(str(refused))
    else:
        got = to_qubo_arrays(problem, instance, progress=False)
        assert got.to_dict() == expected.to_dict() and got.offset == expected.offset
    assert [t is not None for t in taken] == [late]
