import pytest

import quillon as ql
import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler.core.compile.compile import compile_model
from quillon_transpiler.core.compile.convert_to_substitutable import convert_problem_to_substutitable
from quillon_transpiler.core.compile.pinning_constraint import (
    check_pinning_constraint,
    convert_to_fixed_vars,
    has_deci_var,
)
from quillon_transpiler.exceptions import SubstituteError

n = ql.Placeholder("n")
c = ql.Placeholder("c", 1)
x = ql.BinaryVar("x", shape=(n,))
y = ql.BinaryVar("y", shape=(n,))
z = ql.IntegerVar("z", lower_bound=0, upper_bound=9)
i = ql.Element("i", n)
k = ql.Element("k", n)


def lowered(*constraints):
    problem = ql.Problem("p")
    for constraint in constraints:
        problem += constraint
    return list(convert_problem_to_substutitable(problem).constraints.values())


@pytest.mark.parametrize(
    "expression, has",
    [
        (ql.sum(k, c[k] * x[k]), True),  # only inside a fold operand
        (ql.sum(k, c[k]) + n, False),
        (z, True),
    ],
)
def test_has_deci_var(expression, has):
    (constraint,) = lowered(ql.Constraint("c", expression <= 0))
    assert has_deci_var(constraint.condition.left) is has


@pytest.mark.parametrize(
    "constraint",
    [
        ql.Constraint("le", x[i] <= 1, forall=i),
        ql.Constraint("var_on_right", x[i] == y[i], forall=i),
        ql.Constraint("value_on_left", ql.EqualOp(3, z)),
        ql.Constraint("placeholder", c[i] == 1, forall=i),
        ql.Constraint("sum", x[0] + x[1] == 1),
    ],
)
def test_what_does_not_pin(make_data, constraint):
    (lowered_constraint,) = lowered(constraint)
    assert check_pinning_constraint(lowered_constraint.condition) is None
    assert convert_to_fixed_vars(lowered_constraint, make_data({"n": 3, "c": [1, 2, 3]})) is None


def test_pinning_triple_shares_the_subscript_list():
    (constraint,) = lowered(ql.Constraint("pin", x[i] == c[i], forall=i))
    variable, subscripts, value = check_pinning_constraint(constraint.condition)
    left = constraint.condition.left
    assert variable is left.variable and subscripts is left.subscripts
    assert value is constraint.condition.right
    variable, subscripts, value = check_pinning_constraint(lowered(ql.Constraint("s", z == 3))[0].condition)
    assert isinstance(variable, se.DecisionVariable) and subscripts == [] and value.value == 3


@pytest.mark.parametrize(
    "constraint, instance, expected",
    [
        (ql.Constraint("s", z == 3), {}, {"z": {(): 3}}),
        (ql.Constraint("f", x[i] == c[i], forall=i), {"n": 3, "c": [5, 6, 7]}, {"x": {(0,): 5, (1,): 6, (2,): 7}}),
        (ql.Constraint("none", x[i] == 1, forall=[(i, i > n)]), {"n": 3}, {"x": {}}),
        # a subscript evaluating to 1.0 gives the int key 1
        (ql.Constraint("half", x[n / 2] == 0), {"n": 2}, {"x": {(1,): 0}}),
        # the later assignment overrides an earlier one with the same subscripts
        (ql.Constraint("same", x[0] == c[i], forall=i), {"n": 3, "c": [5, 6, 7]}, {"x": {(0,): 7}}),
    ],
)
@pytest.mark.filterwarnings("ignore:.*for two assignments of its forall")  # "same" pins x[0] thrice
def test_fixed_values(make_data, constraint, instance, expected):
    data = make_data(instance)
    fixed = convert_to_fixed_vars(lowered(constraint)[0], data)
    assert fixed == expected
    assert all(type(s) is int for values in fixed.values() for key in values for s in key)


def test_subscripts_with_decision_variables_are_refused(make_data):
    b = ql.BinaryVar("b")
    (constraint,) = lowered(ql.Constraint("dyn", x[b] == 1))
    with pytest.raises(SubstituteError) as info:
        convert_to_fixed_vars(constraint, make_data({"n": 2}))
    assert str(info.value) == "Subscripts must not contain decision variables."
    # a fixed decision variable is a constant and may index
    assert convert_to_fixed_vars(constraint, make_data({"n": 2}, fixed={"b": {(): 1}})) == {"x": {(1,): 1}}


def test_errors_of_the_forall_are_wrapped(make_data):
    (constraint,) = lowered(ql.Constraint("f", x[i] == 1, forall=i))
    with pytest.raises(SubstituteError, match="^in forall: .*`n` is missing"):
        convert_to_fixed_vars(constraint, make_data())


@pytest.mark.parametrize("caller", [None, {"w": {}}])
@pytest.mark.parametrize(
    "item",
    [
        lambda w: w,  # in the objective
        lambda w: ql.Constraint("use", w + z <= 5),  # in another constraint
        lambda w: ql.CustomPenaltyTerm("pen", 3 * w),
    ],
)
def test_pinning_nothing_leaves_a_scalar_variable_free(caller, item):
    w = ql.BinaryVar("w")
    problem = ql.Problem("p")
    problem += item(w)
    problem += ql.Constraint("pin", w == 1, forall=[(i, i > n)])  # no value of i passes
    compiled = compile_model(problem, {"n": 3}, caller)
    assert compiled.data.fixed_variables["w"] == {} and "pin" not in compiled.constraint
    assert compiled.var_map.var_map["w"] == {(): 0}
    by_key = [*compiled.constraint.values(), *compiled.penalty.values()]
    polys = [compiled.objective] + [poly for polys in by_key for poly in polys.values()]
    assert any((0,) in poly.coeff for poly in polys)


def pinned_by_data():
    m, pins = ql.Placeholder("m"), ql.Placeholder("pins", 1)
    j = ql.Element("j", m)
    problem = ql.Problem("p")
    problem += ql.sum(i, (i + 1) * x[i])
    problem += ql.Constraint("pin", x[j] == pins[j], forall=j)
    return problem


@pytest.mark.parametrize("route", ["to_pubo", "to_qubo_arrays", "to_cqm", "tune_weights"])
def test_a_route_neither_changes_nor_follows_the_callers_fixed_values(route):
    # compile_model merges the pinned values into the map it is given (the caller's own), where
    # they would fix the next instance's variables; a route compiles with a copy
    import numpy as np

    import quillon_transpiler

    extra = []
    if route in ("to_cqm", "tune_weights"):
        dimod = pytest.importorskip("dimod")
        extra = [dimod.ExactSolver()] if route == "tune_weights" else []
    problem, fixed = pinned_by_data(), {"x": {(1,): 0}}
    getattr(quillon_transpiler, route)(problem, {"n": 3, "m": 1, "pins": [1]}, *extra, fixed_variables=fixed)
    assert fixed == {"x": {(1,): 0}}
    arrays = quillon_transpiler.to_qubo_arrays(problem, {"n": 3, "m": 0, "pins": []}, fixed_variables=fixed)
    assert arrays.num_binaries == 2
    decoded = quillon_transpiler.decode(np.zeros((1, 2), dtype=int), arrays).record.solution
    fixed["x"][(2,)] = 1  # after the route: its decoding reads what it compiled with
    assert quillon_transpiler.decode(np.zeros((1, 2), dtype=int), arrays).record.solution == decoded


@pytest.mark.parametrize("route", ["to_pubo", "to_qubo_arrays", "to_cqm", "pickled"])
def test_a_compiled_instance_decodes_with_the_values_it_was_compiled_with(route):
    # compile_model's instance data holds the caller's dict itself (pinned values merged in),
    # and callers fill it again for the next instance: the lowerings and decodings of the
    # instance compiled first must still read the values its polynomials were built with
    import pickle

    import quillon_transpiler

    fixed = {"x": {(1,): 1}}
    compiled = compile_model(pinned_by_data(), {"n": 3, "m": 1, "pins": [0]}, fixed)
    assert compiled.data.fixed_variables is fixed
    fixed["x"].update({(0,): 1, (1,): 0, (2,): 1})
    if route == "to_cqm":
        dimod = pytest.importorskip("dimod")
        builder = quillon_transpiler.to_cqm(compiled)
        cqm = builder.get_model()
        sampleset = dimod.SampleSet.from_samples(([0] * len(cqm.variables), cqm.variables), "BINARY", [0.0])
        decoded = builder.decode_from_cqm_result(sampleset)
    else:
        lower = quillon_transpiler.to_pubo if route == "to_pubo" else quillon_transpiler.to_qubo_arrays
        if route == "pickled":
            compiled = pickle.loads(pickle.dumps(compiled))
            fixed["x"][(1,)] = 1
        model = lower(compiled)
        assert model.num_binaries == 1  # x[2] alone: x[0] pinned to 0, x[1] fixed to 1
        decoded = quillon_transpiler.decode([[0]], model)
    assert decoded.dense("x").tolist() == [0, 1, 0]
