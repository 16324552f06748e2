"""Limits of the binary lowering: numbers a QUBO cannot hold."""

import re

import numpy as np
import pytest

import quillon as ql
from quillon_transpiler import to_pubo, to_qubo_arrays
from quillon_transpiler.core.compile.compile import compile_model

ROUTES = {
    "dict": lambda problem, instance, **kw: to_pubo(compile_model(problem, instance), **kw),
    "native": lambda problem, instance, **kw: to_qubo_arrays(problem, instance, progress=False, **kw),
    "compiled": lambda problem, instance, **kw: to_qubo_arrays(compile_model(problem, instance), **kw),
}


def item_model(item):
    """One item of each kind reading d (coefficients) and e (constants), made bad at index 1."""
    N, d, e = ql.Placeholder("N"), ql.Placeholder("d", ndim=1), ql.Placeholder("e", ndim=1)
    x = ql.BinaryVar("x", shape=(N,))
    i, k = ql.Element("i", N), ql.Element("k", N)
    problem = ql.Problem(item)
    if item == "objective":  # a sum at the root: the native compile hands its terms over in parts
        problem += ql.sum(i, d[i] * x[i] * x[(i + 2) % N] + e[i])
        return problem
    problem += x[0] * x[2]
    if item == "constraint":
        problem += ql.Constraint("c", d[k] * x[k] + x[(k + 1) % N] == e[k], forall=k)
    elif item == "penalty":
        problem += ql.CustomPenaltyTerm("p", d[k] * x[k] * x[(k + 1) % N] + e[k], forall=k)
    else:
        problem += ql.CustomPenaltyTerm("p", (d[k] * x[k] + x[(k + 1) % N] + e[k]) ** 2, forall=k)
    return problem


NAMES = {
    "objective": "In objective: ",
    "constraint": "Constraint `c` at forall key (1,): ",
    "penalty": "Penalty `p` at forall key (1,): ",
    "square": "Penalty `p` at forall key (1,): ",
}


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("where", ["coefficient", "constant"])
@pytest.mark.parametrize("item", NAMES)
def test_non_finite_data_is_refused_naming_the_item(item, where, bad, route):
    d, e = np.array([1.0, 2.0, 3.0]), np.array([0.5, 0.5, 0.5])
    (d if where == "coefficient" else e)[1] = bad
    with pytest.raises(ValueError) as error:
        ROUTES[route](item_model(item), {"N": 3, "d": d, "e": e})
    # the compile keeps IEEE arithmetic: an inf may turn other terms NaN too (inf * 0)
    named = r"(the term \(\d+(, \d+)*,?\) has the coefficient|the constant is) (nan|-?inf)\. "
    assert re.match(re.escape(NAMES[item]) + named, str(error.value)), str(error.value)
    assert "check the instance data for inf or NaN" in str(error.value)


@pytest.mark.parametrize("route", ["dict", "native"])
@pytest.mark.parametrize("item", ["constraint", "penalty", "square"])
def test_an_item_of_weight_zero_is_not_checked(item, route):
    instance = {"N": 3, "d": np.array([1.0, np.inf, 3.0]), "e": np.zeros(3)}
    weight = {"constraint_weight" if item == "constraint" else "penalty_weight": 0}
    result = ROUTES[route](item_model(item), instance, **weight)
    coeff = result.coeff if route == "dict" else result.to_dict()
    assert coeff == {(0, 1): 1}  # x[0] * x[2] alone


OVERFLOWS = {
    # finite data whose weighted sums leave float64: which term, and how it is made
    "quadratic": (lambda x: 1e308 * x[0] * x[1], lambda x: 1e308 * x[0] * x[1], {}, "inf of the term (0, 1)"),
    "linear": (lambda x: -1e308 * x[2], lambda x: -1e308 * x[2], {}, "the coefficient -inf of the term (0,)"),
    "cubic": (lambda x: 1e308 * x[0] * x[1] * x[2], lambda x: 1e308 * x[0] * x[1] * x[2], {}, "the term (0, 1, 2)"),
    "weight": (lambda x: x[0], lambda x: 1e200 * x[1] * x[2], {"penalty_weight": 1e200}, "inf of the term (1, 2)"),
    "constant": (lambda x: x[0] + 1e308, lambda x: x[1] + 1e308, {}, "the constant inf"),
}


@pytest.mark.parametrize("route", ["dict", "native"])
@pytest.mark.parametrize("case", OVERFLOWS)
def test_coefficients_overflowing_from_finite_data_are_refused(case, route):
    objective, penalty, weights, named = OVERFLOWS[case]
    x = ql.BinaryVar("x", shape=(3,))
    problem = ql.Problem(case)
    problem += objective(x)
    problem += ql.CustomPenaltyTerm("p", penalty(x))
    with pytest.raises(ValueError, match="overflow float64") as error:
        ROUTES[route](problem, {}, **weights)
    assert named in str(error.value)
