import copy
import re

import pytest

import quillon as ql

n = ql.Placeholder("n")
x = ql.BinaryVar("x", shape=(n, n))
i = ql.Element("i", n)
j = ql.Element("j", n)
k = ql.Element("k", n)


def test_objective_is_zero_then_the_term_then_the_sum_of_terms():
    problem = ql.Problem("p")
    assert problem.sense is ql.ProblemSense.MINIMIZE
    assert type(problem.objective) is ql.NumberLit and problem.objective.value == 0
    first = x[0, 0] + x[1, 1]
    problem += first
    assert problem.objective is first
    problem += 3
    assert type(problem.objective) is ql.AddOp
    assert problem.objective.terms[0] is first and problem.objective.terms[1].value == 3
    assert len(first.terms) == 2


def test_labels_are_kept_in_order_and_unique_across_kinds():
    problem = ql.Problem("p", sense=ql.ProblemSense.MAXIMIZE)
    problem += ql.Constraint("b", ql.sum(j, x[i, j]) == 1, forall=i)
    problem += ql.CustomPenaltyTerm("c", 2)
    problem += ql.Constraint("a", x[0, 0] <= 1)
    assert list(problem.constraints) == ["b", "a"]
    assert problem.custom_penalty_terms["c"].expression.value == 2
    for again in (ql.Constraint("c", x[0, 1] >= 0), ql.CustomPenaltyTerm("a", x[0, 0])):
        with pytest.raises(ValueError, match="already used"):
            problem += again


@pytest.mark.parametrize("junk", [x[0, 0] == 1, "objective", None, True, x, x[0]])
def test_problem_refuses_what_it_cannot_hold(junk):
    problem = ql.Problem("p")
    with pytest.raises(TypeError):
        problem += junk
    assert problem.objective.value == 0


@pytest.mark.parametrize(
    "expression, ok",
    [
        (x[0, 0] == 1, True),
        (x[0, 0] <= 1, True),
        (x[0, 0] >= 1, True),
        (x[0, 0] < 1, False),
        (x[0, 0] > 1, False),
        (x[0, 0] != 1, False),
        ((x[0, 0] <= 1) & (x[0, 0] >= 0), False),
        (x[0, 0], False),
    ],
)
def test_constraint_accepts_only_equalities_and_non_strict_inequalities(expression, ok):
    if ok:
        assert ql.Constraint("c", expression).expression is expression
    else:
        with pytest.raises(TypeError):
            ql.Constraint("c", expression)


cond = j != i


@pytest.mark.parametrize(
    "forall, expected",
    [
        ((), []),
        (i, [(i, None)]),
        ((j, cond), [(j, cond)]),
        ((i, j), [(i, None), (j, None)]),
        ([i, (j, cond), (k, None)], [(i, None), (j, cond), (k, None)]),
    ],
)
def test_forall_is_normalised_outer_first(forall, expected):
    for cls in (ql.Constraint, ql.CustomPenaltyTerm):
        got = cls("c", x[i, j] <= 1 if cls is ql.Constraint else x[i, j], forall=forall).forall
        assert got == expected


@pytest.mark.parametrize(
    "forall, error",
    [([i, i], ValueError), (n, TypeError), ([(i, x[0, 0])], TypeError), ([[i]], TypeError)],
)
def test_bad_forall_is_refused(forall, error):
    with pytest.raises(error):
        ql.Constraint("c", x[0, 0] <= 1, forall=forall)


def test_a_shallow_copy_is_added_to_on_its_own():
    y = ql.BinaryVar("y")
    original = ql.Problem("p")
    original += y
    copied = copy.copy(original)
    copied += ql.Constraint("only in the copy", y == 1)
    copied += 5
    original += 7
    assert list(original.constraints) == [] and str(original.objective) == "(y + 7)"
    assert list(copied.constraints) == ["only in the copy"] and str(copied.objective) == "(y + 5)"
    # past two terms the objective grows a step at a time: each problem still keeps its own
    before = original.objective
    again = copy.copy(original)
    original += 1
    again += 2
    original.objective = y
    original += 3
    assert [str(p.objective) for p in (original, again)] == ["(y + 7 + 1 + 3)", "(y + 7 + 2)"]
    assert str(before) == "(y + 7)"


X = ql.BinaryVar("X", shape=(3, 3))
I3, I2 = ql.Element("i", 3), ql.Element("i", 2)


@pytest.mark.parametrize(
    "build, message",
    [
        (
            lambda: ql.sum(I3, ql.sum(I2, X[I3, I2])),
            "sum_{i} binds the element `i` over 2, and an element of that name over 3",
        ),
        (lambda: ql.sum(I3, ql.sum(I3, X[I3, 0])), "sum_{i} inside it binds that name again"),
        (lambda: ql.Constraint("c", X[I3, I2] <= 1, forall=[I3, I2]), "two elements named `i` in forall"),
        (
            lambda: ql.CustomPenaltyTerm("p", ql.sum(I2, X[I2, 0]) + X[I3, 0], forall=[I3]),
            "the forall list of penalty `p` binds the element `i`, and sum_{i} inside it",
        ),
    ],
)
def test_an_element_name_bound_twice_in_one_scope_is_refused(build, message):
    # elements are bound by name: the inner one would read the outer's values, or the reverse
    with pytest.raises(ValueError, match=re.escape(message)):
        build()


@pytest.mark.parametrize("extend", [lambda b: b + ql.sum(I3, X[I3, 0]), lambda b: b + ql.Element("i", 5)])
@pytest.mark.parametrize(
    "bind",
    [
        lambda b: ql.sum(I3, b),
        lambda b: ql.Constraint("c", b <= 1, forall=[I3]),
        lambda b: ql.CustomPenaltyTerm("p", b, forall=[I3]),
    ],
)
def test_a_sum_binds_only_its_own_terms_after_a_longer_sum_grew_from_it(extend, bind):
    # a sum written step by step shares its list with the longer sums made from it: their terms
    # (a sum over the same name, an element of the name over other values) are not its own
    base = X[I3, 0] + 1
    extend(base)
    assert str(bind(base)).count("(X[i, 0] + 1)") == 1
