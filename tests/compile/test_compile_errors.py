import numpy as np
import pytest

import quillon as ql
from quillon_transpiler.core.compile.compile import compile_model, constraint_substitute, penalty_substitute
from quillon_transpiler.exceptions import SubstituteError, UnboundElementError

N = ql.Placeholder("N")
c = ql.Placeholder("c", 1)
d = ql.Placeholder("d", 2)
b = ql.BinaryVar("b", shape=(N,))
y = ql.BinaryVar("y")
i = ql.Element("i", N)

OUT_OF_RANGE = (
    "Index 2 is out of range for axis 0 of placeholder `c` (length 2): check the subscripts against the data."
)


def problem_with(*items):
    problem = ql.Problem("p")
    for item in items:
        problem += item
    return problem


def compile_error(problem, instance, fixed=None):
    with pytest.raises(SubstituteError) as info:
        compile_model(problem, instance, fixed)
    return info.value


@pytest.mark.parametrize(
    "item, message, chained",
    [
        (ql.sum(i, c[i] * b[i]), "In objective: " + OUT_OF_RANGE, False),
        (
            ql.Constraint("cap", b[i] <= c[i], forall=i),
            "In constraint `cap`: In constraint `cap` forall={'i': 2}: " + OUT_OF_RANGE,
            False,
        ),
        (ql.CustomPenaltyTerm("pen", c[i] * b[i], forall=i), "In penalty `pen` forall={'i': 2}: " + OUT_OF_RANGE, True),
        # a pinning constraint is named like any other, with the same chain of errors
        (
            ql.Constraint("pin", b[i] == c[i], forall=i),
            "In constraint `pin`: In constraint `pin` forall={'i': 2}: " + OUT_OF_RANGE,
            False,
        ),
        (
            ql.Constraint("filter", b[i] <= 1, forall=[(i, c[i] > 0)]),
            "In constraint `filter`: in forall: " + OUT_OF_RANGE,
            False,
        ),
        (
            ql.Constraint("pinf", b[i] == 1, forall=[(i, c[i] > 0)]),
            "In constraint `pinf`: in forall: " + OUT_OF_RANGE,
            False,
        ),
        (
            ql.CustomPenaltyTerm("penf", b[i], forall=[(i, c[i] > 0)]),
            "In penalty `penf`: in forall: " + OUT_OF_RANGE,
            False,
        ),
    ],
)
def test_data_errors_name_where_they_happen(item, message, chained):
    error = compile_error(problem_with(item), {"N": 3, "c": [1, 2]})
    assert str(error) == message
    # `raise ... from` sets the cause; a plain re-raise leaves it to the context
    assert isinstance(error.__context__, SubstituteError)
    assert (error.__cause__ is error.__context__) if chained else (error.__cause__ is None)
    if "forall={" in message and not chained:
        # the inner "In constraint `c` forall=...: m" is caused by the error raised with m
        inner = error.__context__
        assert str(inner) == message.split(": ", 1)[1]
        assert inner.__cause__ is inner.__context__ and str(inner.__cause__) == OUT_OF_RANGE


@pytest.mark.parametrize(
    "item, where",
    [
        (ql.sum(i, b[i] / c[i]), "In objective"),
        (ql.Constraint("mod", ql.sum(i, (N % c[i]) * b[i]) <= 1), "In constraint `mod`"),
        (ql.CustomPenaltyTerm("inv", b[i] / c[i], forall=i), "In penalty `inv` forall={'i': 1}"),
        (ql.Constraint("pin", b[0] == 1 / c[1]), "In constraint `pin`"),  # a pinning constraint
    ],
)
def test_a_zero_divisor_in_the_data_keeps_its_error_and_names_the_item(item, where):
    """Python's own arithmetic errors pass through unchanged, with a note naming the item."""
    with pytest.raises(ZeroDivisionError) as info:
        compile_model(problem_with(item), {"N": 2, "c": [1, 0]})
    (note,) = info.value.__notes__
    assert note.startswith(where + ": raised by arithmetic on the instance data")


def test_nested_forall_values_are_named():
    j = ql.Element("j", N)
    error = compile_error(
        problem_with(ql.Constraint("c2", b[i] <= c[j], forall=[i, (j, j >= i)])), {"N": 3, "c": [1, 2]}
    )
    assert str(error) == "In constraint `c2`: In constraint `c2` forall={'i': 0, 'j': 2}: " + OUT_OF_RANGE


MISSING = "Placeholder `c` is missing from the instance data: add a value for `c` to the instance dict."


@pytest.mark.parametrize(
    "item, message",
    [
        (ql.sum(i, c[i] * b[i]), "In objective: " + MISSING),
        (
            ql.Constraint("cap", b[i] <= c[i], forall=i),
            "In constraint `cap`: In constraint `cap` forall={'i': 0}: " + MISSING,
        ),
        (
            ql.Constraint("pin", b[i] == c[i], forall=i),
            "In constraint `pin`: In constraint `pin` forall={'i': 0}: " + MISSING,
        ),
        (ql.CustomPenaltyTerm("pen", c[i] * b[i], forall=i), "In penalty `pen` forall={'i': 0}: " + MISSING),
        (ql.CustomPenaltyTerm("penf", b[i], forall=[(i, c[i] > 0)]), "In penalty `penf`: in forall: " + MISSING),
    ],
)
def test_missing_placeholders_are_named_where_they_are_read(item, message):
    assert str(compile_error(problem_with(item), {"N": 3})) == message


@pytest.mark.parametrize(
    "instance, message",
    [
        ({"N": 3, "c": 4}, "Placeholder `c` has ndim 1 in the model but its data has 0 axes"),
        ({"N": 3, "c": [[1, 2, 3]]}, "Placeholder `c` has ndim 1 in the model but its data has 2 axes"),
        ({"N": 3, "c": [[1], [2, 3]]}, "Placeholder `c` has ndim 1 in the model but its data has 2 axes"),
        ({"N": [3], "c": [1, 2, 3]}, "Placeholder `N` has ndim 0 in the model but its data has 1 axis"),
        ({"N": np.int64(3), "c": np.zeros((3, 1))}, "Placeholder `c` has ndim 1 in the model but its data has 2 axes"),
    ],
)
def test_placeholders_are_checked_up_front(instance, message):
    problem = problem_with(ql.Constraint("cap", b[i] <= c[i], forall=i))
    assert str(compile_error(problem, instance)).startswith(message)


@pytest.mark.parametrize(
    "data, ndim",
    [(4, 1), ([1, 2, 3], 0)],
)
def test_one_name_with_two_ndims_is_checked_for_both(data, ndim):
    # the check reads each placeholder once per (name, ndim), not once per name
    scalar = ql.Placeholder("c")
    problem = problem_with(ql.Constraint("cap", b[i] <= c[i], forall=i), scalar * y)
    for _ in range(2):  # the second compile reads the model's kept plan
        error = compile_error(problem, {"N": 3, "c": data})
        assert str(error).startswith(f"Placeholder `c` has ndim {ndim} in the model")


@pytest.mark.parametrize(
    "instance",
    [
        {"d": [[1.0, 2.0], [3.0]], "N": 2},  # jagged rows keep their depth
        {"d": np.ones((2, 2)), "N": np.float64(2.0)},
    ],
)
def test_matching_data_compiles(instance):
    compile_model(problem_with(d[0, 0] * b[0]), instance)


@pytest.mark.parametrize(
    "where",
    [
        lambda: ql.Constraint("fill", b[i] <= 1, forall=[(i, c[i] > 0)]),  # only in a forall condition
        lambda: ql.BinaryVar("s", shape=(c[0],))[0],  # only in a shape
    ],
)
def test_placeholders_outside_expressions_are_checked(where):
    error = compile_error(problem_with(b[0], where()), {"N": 3, "c": 1.0})
    assert str(error).startswith("Placeholder `c` has ndim 1 in the model but its data has 0 axes")


@pytest.mark.parametrize(
    "item, message",
    [
        (
            ql.Constraint("dyn", b[y] == 1),
            "In constraint `dyn`: In constraint `dyn` : Subscripts must not contain decision variables.",
        ),
        (ql.BinaryVar("s", shape=(y,))[0], "Shapes must not contain decision variables."),
    ],
)
def test_decision_variables_where_data_must_stand(item, message):
    assert str(compile_error(problem_with(item), {"N": 3})) == message


def test_lowering_errors_carry_the_item():
    e = ql.Element.__new__(ql.Element)  # over a decision variable: the library refuses it, the lowering too
    e.__dict__.update(name="e", belong_to=b, ndim=0)
    error = compile_error(problem_with(ql.Constraint("arr", e <= 1, forall=e)), {"N": 3})
    assert str(error).startswith("In constraint `arr`: e -> Error in Algebric expression conversion.")


def test_steps_wrap_like_the_driver(make_data, reg):
    from quillon_transpiler.core.compile.convert_to_substitutable import convert_problem_to_substutitable

    problem = convert_problem_to_substutitable(
        problem_with(ql.Constraint("cap", b[i] <= c[i], forall=i), ql.CustomPenaltyTerm("pen", c[i], forall=i))
    )
    data = make_data({"N": 3, "c": [1, 2]})
    with pytest.raises(SubstituteError, match=r"^In constraint `cap`: In constraint `cap` forall=\{'i': 2\}: "):
        constraint_substitute(problem.constraints["cap"], data, reg)
    with pytest.raises(SubstituteError, match=r"^In penalty `pen` forall=\{'i': 2\}: Index 2"):
        penalty_substitute(problem.penalties["pen"], data, reg)
    # errors of a penalty's forall reach the caller as unroll_forall raised them
    with pytest.raises(SubstituteError, match="^in forall: .*`N` is missing"):
        penalty_substitute(problem.penalties["pen"], make_data({"c": [1]}), reg)


@pytest.mark.parametrize("n, fails", [(2, False), (3, True)])
def test_callers_arrays_are_untouched(n, fails):
    data = np.array([1.0, 2.0])
    problem = problem_with(ql.Constraint("cap", b[i] <= c[i], forall=i))
    if fails:
        compile_error(problem, {"N": n, "c": data})
    else:
        compile_model(problem, {"N": n, "c": data})
    assert data.tolist() == [1.0, 2.0] and data.flags.writeable


@pytest.mark.parametrize(
    "item, message",
    [
        (
            ql.sum(i, b[i + 1]),
            "In objective: Subscript 3 on axis 0 of b[3] is out of range for decision variable `b` of shape (3,)",
        ),
        (
            ql.Constraint("next", b[i - 1] <= 1, forall=i),
            "In constraint `next`: In constraint `next` forall={'i': 0}: Subscript -1 on axis 0 of b[-1]",
        ),
        # a pinning constraint would otherwise fix a variable outside the shape
        (
            ql.Constraint("pin", b[i + 1] == 1, forall=i),
            "In constraint `pin`: In constraint `pin` forall={'i': 2}: Subscript 3 on axis 0 of b[3]",
        ),
        (
            ql.Constraint("pin0", b[-1] == 1),
            "In constraint `pin0`: In constraint `pin0` : Subscript -1 on axis 0 of b[-1]",
        ),
    ],
)
def test_decision_variables_stay_inside_their_shape(item, message):
    # x[t + 1] without the wrap-around would otherwise add a variable the model never declared
    assert str(compile_error(problem_with(item), {"N": 3, "c": [1, 2, 3]})).startswith(message)


w = ql.IntegerVar("w", shape=(N,), lower_bound=c, upper_bound=5)
z = ql.IntegerVar("z", lower_bound=y + 2, upper_bound=5)
j = ql.Element("j", N)


@pytest.mark.parametrize(
    "item, message",
    [
        (z, "In objective: Bounds must not contain decision variables."),
        (ql.sum(i, w[i]), "In objective: The bounds of integer variable `w` have no entry at (2,)"),
        (ql.Constraint("k", b[j] <= 1), "In constraint `k`: Index element `j` has no value here"),
    ],
)
def test_model_mistakes_in_bounds_and_elements_are_named(item, message):
    assert str(compile_error(problem_with(item), {"N": 3, "c": [1, 2]})).startswith(message)


@pytest.mark.parametrize(
    "items, message",
    [
        ([ql.sum(i, b[i]) + 5 * b[i]], "In objective: Index element `i`"),
        ([ql.sum(i, b[i]), ql.Constraint("k", b[i] <= 1)], "In constraint `k`: Index element `i`"),
        (
            [ql.Constraint("pin", b[i] == 1, forall=i), ql.CustomPenaltyTerm("q", b[i])],
            "In penalty `q`: Index element `i`",
        ),
        ([ql.sum(i, b[i]), ql.sum(ql.Element("k", (0, i)), b[0])], "In objective: Index element `i`"),
        ([ql.sum(i, b[i], i != j), ql.Constraint("k", b[j] == 1, forall=j)], "In objective: Index element `j`"),
        ([ql.sum(j, b[j]), ql.Constraint("k", b[i] <= 0, forall=[(i, i < j)])], "In constraint `k`: Index element `j`"),
        ([ql.sum(j, b[j]), ql.CustomPenaltyTerm("q", b[0], forall=ql.Element("e", (0, j)))], "In penalty `q`: Index"),
        ([ql.sum(i, b[i]) + ql.IntegerVar("z", lower_bound=0, upper_bound=c[i])], "In objective: Index element `i`"),
        ([ql.BinaryVar("w", shape=(c[i],))[0] + ql.sum(i, b[i])], "The shape of decision variable `w` reads"),
    ],
)
def test_an_element_an_earlier_loop_left_bound_is_still_unbound_outside_it(items, message):
    # the loop's last value stays in the data: read there, it would give b[2] without an error
    error = compile_error(problem_with(*items), {"N": 3, "c": [1, 2, 3]})
    assert str(error).startswith(message)
    assert isinstance(error.__context__, UnboundElementError) or "shape" in message


@pytest.mark.parametrize(
    "item, data, error, where",
    [
        (ql.sum(i, y), {"N": float("nan")}, ValueError, "In objective"),
        (ql.sum(i, y), {"N": float("inf")}, OverflowError, "In objective"),
        (ql.sum(i, b[c[i]]), {"N": 2, "c": [0.0, float("nan")]}, ValueError, "In objective"),
        (b[0], {"N": float("nan")}, ValueError, "In the shape of decision variable `b`"),
    ],
)
def test_a_nan_or_inf_where_an_integer_is_needed_keeps_its_error_and_names_the_item(item, data, error, where):
    with pytest.raises(error) as info:
        compile_model(problem_with(item), data)
    (note,) = info.value.__notes__
    assert note.startswith(where + ": raised by arithmetic on the instance data") and "a NaN where" in note


def test_a_ragged_bound_array_names_its_variable():
    v = ql.IntegerVar("v", shape=(N, N), lower_bound=0, upper_bound=d)
    message = str(compile_error(problem_with(ql.sum(i, v[i, 0])), {"N": 2, "d": [[1], [3, 4]]}))
    assert message.startswith("In objective: The upper bound of integer variable `v` is no array NumPy can make (")


@pytest.mark.parametrize(
    "instance, note", [({"N": 3, "C": [1, 2, 3]}, " (it holds `C`: a misspelt name?)"), ({"N": 3}, "")]
)
def test_a_missing_placeholder_names_a_close_key_of_the_instance(instance, note):
    error = compile_error(problem_with(ql.sum(i, c[i] * b[i])), instance)
    assert str(error) == "In objective: " + MISSING[:-1] + note + "."
