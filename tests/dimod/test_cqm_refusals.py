"""What the CQM routes refuse or repair: models handed out and then changed under a caller,
integer bounds, fixed values missing from decoded samples, numbers that are not finite,
weights, wrong objects and terms a CQM cannot hold."""

import dataclasses
import decimal
import fractions
import math
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

dimod = pytest.importorskip("dimod")

from dimod_helpers import assert_same_model, reference_cqm  # noqa: E402

import quillon as ql  # noqa: E402
from quillon_transpiler import testing as models  # noqa: E402
from quillon_transpiler import to_bqm, to_cqm, to_qubo_arrays  # noqa: E402
from quillon_transpiler.core.compile.compile import compile_model  # noqa: E402
from quillon_transpiler.core.dimod.dimod_bridge import DimodBuilder, transpile_dimod_bridge_cqm  # noqa: E402


def build(route, problem, data, fixed=None):
    if route == "dict":
        return transpile_dimod_bridge_cqm(compile_model(problem, data, fixed))
    return to_cqm(problem, data, fixed, progress=False)


routes = pytest.mark.parametrize("route", ["dict", "to_cqm"])

# ---------------------------------------------------------------------------------------------
# models handed out are never changed

PREAMBLE = """
import threading
import quillon as ql
from quillon_transpiler import to_cqm
n = ql.Placeholder("n"); x = ql.BinaryVar("x", shape=(n,)); i = ql.Element("i", n); j = ql.Element("j", n)
p = ql.Problem("p"); p += ql.sum(i, ql.sum(j, x[i] * x[j]))
p += ql.Constraint("c", ql.sum(i, x[i]) == 2)
p += ql.CustomPenaltyTerm("pen", ql.sum(i, x[i]))
b = to_cqm(p, {"n": 30}, progress=False)
"""

SEQUENCE = """
it = iter(b.get_model({"pen": 1.0}).objective.quadratic.items())
next(it)
b.get_model({"pen": 2.0})
assert sum(v for _, v in it) == 868.0
"""

THREADS = """
model = b.get_model({"pen": 1.0})
want = sum(model.objective.quadratic.values())
def build():
    for k in range(40):
        b.get_model({"pen": float(k)})
def read():
    for _ in range(40):
        assert sum(v for _, v in model.objective.quadratic.items()) == want
        assert len(model.constraints) == 1
workers = [threading.Thread(target=build), threading.Thread(target=build), threading.Thread(target=read)]
for w in workers: w.start()
for w in workers: w.join()
"""


@pytest.mark.parametrize("script", [SEQUENCE, THREADS], ids=["sequence", "threads"])
def test_get_model_never_frees_a_model_in_use(script):
    # a crash would take the test run with it: run in a child interpreter
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(PREAMBLE + script)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_each_get_model_is_a_new_model_and_earlier_ones_keep_their_objective():
    compiled = compile_model(*models.knapsack())
    builder = transpile_dimod_bridge_cqm(compiled)
    weighted = builder.get_model({"first two": 2.0})
    plain = builder.get_model()
    assert plain is not weighted and builder._model is plain
    assert_same_model(weighted.objective, reference_cqm(compiled, {"first two": 2.0}).objective)
    assert_same_model(plain.objective, reference_cqm(compiled).objective)
    assert list(weighted.constraints) == list(plain.constraints) == ["weight_()", "pair_(0,)", "pair_(1,)", "pair_(2,)"]


# ---------------------------------------------------------------------------------------------
# integer bounds


def bounded(lower, upper, scalar=False):
    """min y[0] - y[1] (each variable pulled to one end of its range), or min y for a scalar."""
    lo, hi = ql.Placeholder("lo"), ql.Placeholder("hi")
    problem = ql.Problem("bounded")
    if scalar:
        y = ql.IntegerVar("y", lower_bound=lo, upper_bound=hi)
        problem += y
    else:
        y = ql.IntegerVar("y", shape=(2,), lower_bound=lo, upper_bound=hi)
        problem += y[0] - y[1]
    return problem, {"lo": lower, "hi": upper}


@routes
@pytest.mark.parametrize(
    "lower, upper, want", [(0.5, 3.5, (1, 3)), (-2.7, -0.2, (-2, -1)), (np.float64(1.0), 4, (1, 4))]
)
def test_integer_bounds_are_rounded_inward(route, lower, upper, want):
    builder = build(route, *bounded(lower, upper))
    cqm = builder.get_model()
    assert [(cqm.lower_bound(v), cqm.upper_bound(v)) for v in cqm.variables] == [want, want]
    best = builder.decode_from_cqm_result(dimod.ExactCQMSolver().sample_cqm(cqm)).feasible().lowest()
    assert list(best.dense("y", 0)) == [want[0], want[1]]


@routes
@pytest.mark.parametrize(
    "lower, upper, scalar, message",
    [
        (0.5, 0.7, False, r"Integer variable y\[0\] has no integer value within its bounds \[0.5, 0.7\]"),
        (3, 2, True, r"Integer variable y has no integer value within its bounds \[3, 2\]"),
        (0, math.inf, False, r"Integer variable y\[0\] has the bound inf, but a CQM needs finite"),
        (math.nan, 3, True, r"Integer variable y has the bound nan, but a CQM needs finite"),
        (0, 1e20, False, r"Integer variable y\[0\] has the bounds \[0, 1e\+20\], which dimod refuses \(upper_bound"),
    ],
)
def test_bounds_without_integer_values_are_refused(route, lower, upper, scalar, message):
    with pytest.raises(ValueError, match=message):
        build(route, *bounded(lower, upper, scalar))


# ---------------------------------------------------------------------------------------------
# fixed values in decoded samples


def with_fixed_values():
    """y[0] fixed by the caller, x[1] pinned by a constraint, z fixed entirely; a constraint that
    samples violate, and an objective that counts every fixed value."""
    x = ql.BinaryVar("x", shape=(3,))
    y = ql.IntegerVar("y", shape=(3,), lower_bound=0, upper_bound=2)
    z = ql.BinaryVar("z", shape=(2,))
    i = ql.Element("i", 3)
    problem = ql.Problem("fixed")
    problem += ql.sum(i, (i + 1) * y[i] - 2 * x[i]) + 3 * y[0] * x[2] + 5 * z[0] + 7 * z[1]
    problem += ql.Constraint("pin", x[1] == 1)
    problem += ql.Constraint("cover", ql.sum(i, x[i] + y[i]) >= 6)
    return problem, {}, {"y": {(0,): 2}, "z": {(0,): 1, (1,): 0}}


def recomputed(decoded, k):
    x, y, z = (decoded.dense(label, k) for label in "xyz")
    objective = sum((i + 1) * y[i] - 2 * x[i] for i in range(3)) + 3 * y[0] * x[2] + 5 * z[0] + 7 * z[1]
    return objective, {"cover": max(0.0, 6 - x.sum() - y.sum())}


@routes
def test_decoded_samples_hold_the_fixed_values_the_energies_count(route):
    problem, data, fixed = with_fixed_values()
    builder = build(route, problem, data, fixed)
    decoded = builder.decode_from_cqm_result(dimod.ExactCQMSolver().sample_cqm(builder.get_model()))
    assert 0 < len(decoded.feasible()) < len(decoded)
    for k in range(len(decoded)):
        assert (decoded.dense("y", k)[0], decoded.dense("x", k)[1], list(decoded.dense("z", k))) == (2, 1, [1, 0])
        objective, violations = recomputed(decoded, k)
        assert decoded.evaluation.objective[k] == pytest.approx(objective)
        assert {label: v[k] for label, v in decoded.evaluation.constraint_violations.items()} == violations
    # the fixed entries come after the sample's own, in the fixed map's order
    (subscripts,), values, _ = decoded.record.solution["y"][0]
    assert subscripts[-1] == 0 and values[-1] == 2 and 0 not in subscripts[:-1]
    assert decoded.record.solution["z"][0] == (([0],), [1], (2,))


@routes
def test_builders_keep_the_fixed_values_they_were_built_with(route):
    problem, data, fixed = with_fixed_values()
    builder = build(route, problem, data, fixed)
    samples = dimod.ExactCQMSolver().sample_cqm(builder.get_model())
    before = builder.decode_from_cqm_result(samples).record.solution
    assert before["z"][0] == (([0],), [1], (2,))
    fixed["y"][(0,)] = 1  # reused for another instance
    fixed["y"][(2,)] = 2
    fixed["z"].clear()
    fixed["x"] = {(0,): 1}
    assert builder.decode_from_cqm_result(samples).record.solution == before
    # the snapshot is no field: construction and equality are the four fields'
    assert [f.name for f in dataclasses.fields(DimodBuilder)] == [
        "compiled_model",
        "_model",
        "_objective",
        "custome_penalties",
    ]
    assert builder == DimodBuilder(
        builder.compiled_model, builder._model, builder._objective, builder.custome_penalties
    )


# ---------------------------------------------------------------------------------------------
# numbers that are not finite


def three_items(
    o=(1.0, 1.0, 1.0), oc=0.0, c=(1.0, 1.0, 1.0), cc=(0.0, 0.0, 0.0), p=(1.0, 1.0, 1.0), pc=(0.0, 0.0, 0.0)
):
    """An objective, a constraint and a custom penalty, each coef[i] * x[i] + constant."""
    ph = {name: ql.Placeholder(name, ndim=0 if name == "oc" else 1) for name in ("o", "oc", "c", "cc", "p", "pc")}
    x = ql.BinaryVar("x", shape=(3,))
    i = ql.Element("i", 3)
    problem = ql.Problem("items")
    problem += ql.sum(i, ph["o"][i] * x[i]) + ph["oc"]
    problem += ql.Constraint("c", ph["c"][i] * x[i] + ph["cc"][i] <= 1, forall=i)
    problem += ql.CustomPenaltyTerm("p", ph["p"][i] * x[i] + ph["pc"][i], forall=i)
    data = {"o": o, "oc": oc, "c": c, "cc": cc, "p": p, "pc": pc}
    return problem, {k: np.array(v, dtype=float) for k, v in data.items()}


@routes
@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
@pytest.mark.parametrize(
    "data, message",
    [
        ({"o": (1, "bad", 1)}, r"In objective: the coefficient of x\[1\] is {}"),
        ({"oc": "bad"}, r"In objective: the constant is {}"),
        ({"c": (1, "bad", 1)}, r"In constraint `c` forall key \(1,\): the coefficient of x\[1\] is {}"),
        ({"cc": (0, 0, "bad")}, r"In constraint `c` forall key \(2,\): the constant is {}"),
        ({"p": (1, "bad", 1)}, r"In penalty `p` forall key \(1,\): the coefficient of x\[1\] is {}"),
        ({"pc": ("bad", 0, 0)}, r"In penalty `p` forall key \(0,\): the constant is {}"),
    ],
)
def test_numbers_that_are_not_finite_are_refused(route, bad, data, message):
    data = {k: bad if v == "bad" else tuple(bad if e == "bad" else e for e in v) for k, v in data.items()}
    with pytest.raises(ValueError, match=message.format(re.escape(repr(bad))) + ", but a CQM takes finite numbers"):
        build(route, *three_items(**data))


@routes
@pytest.mark.parametrize(
    "name, message",
    [
        ("o", r"In objective: the coefficient of x\[0\]"),
        ("c", r"In constraint `c` forall key \(0,\): the coefficient of x\[0\]"),
        ("p", r"In penalty `p` forall key \(0,\): the coefficient of x\[0\]"),
    ],
)
def test_complex_numbers_are_refused(route, name, message):
    problem, data = three_items()
    data[name] = data[name] + 0j  # a complex array: every entry a complex number
    with pytest.raises(ValueError, match=message + r" is not a real number \(.*\), but a CQM takes real numbers"):
        build(route, problem, data)


@pytest.mark.parametrize(
    "where, key, coefficient, message",
    [
        # not a float: only dimod's arithmetic takes it, and the check holds there too
        ("objective", (0,), decimal.Decimal("Infinity"), r"In objective: the coefficient of x\[0\] is inf"),
        # finite coefficients whose sum overflows: x0*x1 and x1*x0 are one interaction
        ("objective", (1, 0), 1e308, r"In objective: the sum of the coefficients of x\[0\]\*x\[1\] is inf"),
        # an int past the float range
        ("constraint", (2,), 10**400, r"In constraint `c` forall key \(2,\): the coefficient of x\[2\] is too large"),
    ],
)
def test_coefficients_past_floats_are_refused(where, key, coefficient, message):
    compiled = compile_model(*three_items())
    poly = compiled.objective if where == "objective" else compiled.constraint["c"][(2,)]
    if key == (1, 0):
        poly.coeff[(0, 1)] = coefficient
    poly.coeff[key] = coefficient
    with pytest.raises(ValueError, match=message):
        transpile_dimod_bridge_cqm(compiled)


# ---------------------------------------------------------------------------------------------
# weights


@pytest.mark.parametrize(
    "weight, error, message",
    [
        ("2", TypeError, "must be a number, got str"),
        (None, TypeError, "must be a number, got NoneType"),
        (math.nan, ValueError, "is nan: a weight must be finite"),
        (math.inf, ValueError, "is inf: a weight must be finite"),
        (-0.5, ValueError, "is -0.5: a negative weight rewards violations"),
    ],
)
def test_penalty_weights_must_be_finite_non_negative_numbers(weight, error, message):
    builder = transpile_dimod_bridge_cqm(compile_model(*models.knapsack()))
    kept = builder.get_model({"first two": 1.0})
    with pytest.raises(error, match="the weight of custom penalty `first two` " + re.escape(message)):
        builder.get_model({"first two": weight})
    assert builder._model is kept  # a refused call leaves the builder as it was
    with pytest.raises(KeyError):
        builder.get_model({"no such penalty": weight})


@pytest.mark.parametrize("pickled", [False, True])  # a pickled builder weighs with dimod's arithmetic
def test_a_weight_that_takes_a_bias_past_float64_is_refused(pickled):
    import pickle

    x = ql.BinaryVar("x", shape=(2,))
    problem = ql.Problem("p")
    problem += x[0]
    problem += ql.CustomPenaltyTerm("pair", 4 * x[0] * x[1] - 3 * x[0])
    builder = transpile_dimod_bridge_cqm(compile_model(problem, {}))
    if pickled:
        builder = pickle.loads(pickle.dumps(builder))
    kept = builder.get_model({"pair": 1.0})
    with pytest.raises(ValueError, match=r"weighted by penalty_weight=\{'pair': 1e\+308\} has a bias past"):
        builder.get_model({"pair": 1e308})  # 4e308 and -3e308: inf energies
    assert builder._model is kept


# ---------------------------------------------------------------------------------------------
# wrong objects


def test_routes_say_which_object_they_take():
    problem, data = models.knapsack()
    with pytest.raises(
        TypeError, match=r"takes a compiled instance .* got a quillon Problem \(compile the problem first"
    ):
        transpile_dimod_bridge_cqm(problem)
    for consumed in (to_cqm(problem, data, progress=False).compiled_model, to_qubo_arrays(problem, data).compiled):
        with pytest.raises(ValueError, match="consumed by a native route"):
            transpile_dimod_bridge_cqm(consumed)
    compiled = compile_model(problem, data)
    assert_same_model(
        to_cqm(compiled).get_model().objective, transpile_dimod_bridge_cqm(compiled).get_model().objective
    )
    with pytest.raises(TypeError, match="compiled instance already holds both"):
        to_cqm(compiled, data)
    with pytest.raises(TypeError, match="takes the dimod.SampleSet a sampler returned"):
        transpile_dimod_bridge_cqm(compiled).decode_from_cqm_result({"x": 1})


def test_bqm_samples_of_a_binary_cqm_are_scored_by_the_cqm():
    compiled = compile_model(*models.knapsack())
    builder = transpile_dimod_bridge_cqm(compiled)
    cqm = builder.get_model({"first two": 3.0})
    bqm, _ = dimod.cqm_to_bqm(cqm)  # slack variables for the <= constraints
    from_bqm = dimod.ExactSolver().sample(bqm)
    assert "is_feasible" not in from_bqm.record.dtype.names
    got = builder.decode_from_cqm_result(from_bqm)
    labels = list(cqm.variables)
    want = builder.decode_from_cqm_result(
        dimod.SampleSet.from_samples_cqm(
            (from_bqm.record.sample[:, [from_bqm.variables.index(v) for v in labels]], labels), cqm
        )
    )
    assert got.record.solution == want.record.solution
    assert got.evaluation.energy == want.evaluation.energy  # the CQM objective's, not the BQM's
    assert got.evaluation.constraint_violations == want.evaluation.constraint_violations
    assert got.evaluation.energy != from_bqm.record.energy.tolist()


@pytest.mark.parametrize("cut", ["relabelled", "a column short"])
def test_cqm_samples_that_miss_variables_are_refused(cut):
    # read as 0, the missing y (in [2, 5]) would take a value it cannot, and the sampler's flags
    # would pass the sample for feasible
    builder = transpile_dimod_bridge_cqm(compile_model(*bounded(2, 5)))
    samples = dimod.ExactCQMSolver().sample_cqm(builder.get_model())
    if cut == "relabelled":
        samples = samples.relabel_variables({v: k for k, v in enumerate(samples.variables)}, inplace=False)
    else:
        labels = list(samples.variables)[1:]
        samples = dimod.SampleSet.from_samples(
            (samples.record.sample[:, 1:], labels), "INTEGER", samples.record.energy, is_feasible=True
        )
    with pytest.raises(ValueError, match=r"the sample set lacks variables of the CQM \(\('y', \(0,\)\)"):
        builder.decode_from_cqm_result(samples)


def test_bqm_samples_that_cannot_be_scored_are_refused():
    builder = transpile_dimod_bridge_cqm(compile_model(*bounded(0, 3)))
    encoded = dimod.ExactSolver().sample(dimod.cqm_to_bqm(builder.get_model())[0])  # integers in binaries
    with pytest.raises(
        ValueError, match=r"no is_feasible field.*lacks variables of the CQM \(\('y', \(0,\)\), .*invert"
    ):
        builder.decode_from_cqm_result(encoded)
    builder = transpile_dimod_bridge_cqm(compile_model(*models.assignment()))
    labels = list(builder.get_model().variables)
    spins = dimod.SampleSet.from_samples(([[-1] * len(labels)], labels), "SPIN", energy=[0.0])
    with pytest.raises(ValueError, match="values other than 0 and 1"):
        builder.decode_from_cqm_result(spins)


# ---------------------------------------------------------------------------------------------
# terms a CQM cannot hold


@routes
@pytest.mark.parametrize(
    "item, message",
    [
        ("objective", r"In objective: the term x\[0\]\*x\[1\]\*x\[2\]"),
        ("constraint", r"In constraint `c` forall key \(1,\): the term x\[0\]\*x\[1\]\*x\[2\]"),
        ("penalty", r"In penalty `p`: the term x\[0\]\*x\[1\]\*x\[2\]"),
    ],
)
def test_terms_of_degree_three_are_refused(route, item, message):
    x = ql.BinaryVar("x", shape=(3,))
    i = ql.Element("i", 3)
    problem = ql.Problem("cubic")
    problem += x[0] * x[1] + (x[0] * x[1] * x[2] if item == "objective" else 0)
    if item == "constraint":
        problem += ql.Constraint("c", x[i] * x[(i + 1) % 3] * x[(i + 2) % 3] <= 0, forall=(i, i >= 1))
    if item == "penalty":
        problem += ql.CustomPenaltyTerm("p", x[0] * x[1] * x[2])
    with pytest.raises(TypeError, match=message + " has more than two variable factors, but a CQM holds quadratic"):
        build(route, problem, {})


@routes
@pytest.mark.parametrize("export", ["cqm", "bqm"])
def test_a_term_of_degree_three_that_cancelled_is_no_refusal(route, export):
    x = ql.BinaryVar("x", shape=(3,))
    problem = ql.Problem("cancelled")
    problem += x[0] * x[1] * x[2] - x[2] * x[1] * x[0] + x[2] - x[0] * x[1]
    if export == "bqm":
        model = to_bqm(problem, {})
    else:
        model = build(route, problem, {}).get_model().objective
    assert sorted(model.linear.values()) == [0.0, 0.0, 1.0] and list(model.quadratic.values()) == [-1.0]


@routes
@pytest.mark.parametrize(
    "written", [lambda x: x[0] * x[1] * x[1], lambda x: (x[0] * x[1]) ** 2, lambda x: x[1] * x[0] * x[1] * x[0]]
)
def test_binaries_met_again_in_a_product_leave_it_quadratic(route, written):
    x = ql.BinaryVar("x", shape=(2,))
    problem = ql.Problem("repeats")
    problem += written(x)
    objective = build(route, problem, {}).get_model().objective
    assert list(objective.quadratic.values()) == [1.0] and not any(objective.linear.values())
    y = ql.IntegerVar("y", lower_bound=0, upper_bound=3)
    cubic = ql.Problem("cubic")
    cubic += x[0] * y * y
    with pytest.raises(TypeError, match="more than two variable factors"):
        build(route, cubic, {})


_X = ql.BinaryVar("x", shape=(2,))
_I = ql.Element("i", 2)


@pytest.mark.parametrize("route", ["dict", "native"])
@pytest.mark.parametrize(
    "item, text",
    [
        (ql.Constraint("cap", (2**53 + 1) * _X[0] <= 2**53), "In constraint `cap`: the coefficient of x[0]"),
        (ql.Constraint("s", ql.sum(_I, (2**53 + 1) * _X[_I]) <= 5), "In constraint `s`: the coefficient of x[0]"),
        (ql.CustomPenaltyTerm("q", (ql.sum(_I, (2**27 + 1) * _X[_I]) - 1) ** 2), "In penalty `q`: the coefficient"),
        (ql.Constraint("c", _X[0] + 2**53 + 1 <= 0), "In constraint `c`: the constant"),
    ],
)
def test_ints_a_float64_rounds_are_refused_not_rounded(route, item, text):
    """x[0] = 1 breaks (2**53 + 1) x[0] <= 2**53 by one: rounded, the CQM would call it feasible."""
    p = ql.Problem("p")
    p += -_X[0] - _X[1]
    p += item
    with pytest.raises(ValueError, match="an integer that a float64 cannot hold exactly") as info:
        build(route, p, {}).get_model()
    assert str(info.value).startswith(text)
    ok = ql.Problem("ok")
    ok += ql.Constraint("cap", 2**53 * _X[0] <= 2**52)  # a float64 holds these exactly
    assert build(route, ok, {}).get_model().constraints


def test_a_bqm_of_arrays_refuses_an_offset_a_float64_rounds():
    p = ql.Problem("p")
    p += _X[0] + _X[1] + (2**53 + 1)
    with pytest.raises(ValueError, match="offset 9007199254740993 has no exact float64 value"):
        to_bqm(to_qubo_arrays(p, {}))


@routes
@pytest.mark.parametrize(
    "values, floats",
    [([decimal.Decimal("0.1"), decimal.Decimal("1")], [0.1, 1.0]), ([fractions.Fraction(1, 3), 1], [1 / 3, 1.0])],
)
def test_numbers_of_other_kinds_are_read_as_floats(route, values, floats):
    # dimod's own arithmetic refuses to mix a Decimal with its float biases
    c = ql.Placeholder("c", ndim=1)
    problem = ql.Problem("kinds")
    problem += ql.sum(_I, c[_I] * _X[_I])
    assert list(build(route, problem, {"c": values}).get_model().objective.linear.values()) == floats
