import pytest

import quillon as ql
import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler.core.compile.convert_to_substitutable import (
    Constraint,
    CustomPenalty,
    Problem,
    ProblemSense,
    convert_problem_to_substutitable,
)
from quillon_transpiler.exceptions import SubstituteError

N = ql.Placeholder("N")
A = ql.Placeholder("A", 1)
x = ql.BinaryVar("x", shape=(N,))
i = ql.Element("i", N)


def test_problem_is_lowered_in_order():
    problem = ql.Problem("p", sense=ql.ProblemSense.MAXIMIZE)
    problem += ql.sum(i, x[i])
    problem += ql.Constraint("ge", x[i] >= 1, forall=[(i, i < N - 1)])
    problem += ql.Constraint("eq", x[0] == 1)
    problem += ql.CustomPenaltyTerm("pen", x[i] * 2, forall=i)
    lowered = convert_problem_to_substutitable(problem)
    assert isinstance(lowered, Problem) and lowered.sense is ProblemSense.MAXIMIZE
    assert isinstance(lowered.objective, se.FoldOperator)
    assert list(lowered.constraints) == ["ge", "eq"] and list(lowered.penalties) == ["pen"]
    ge = lowered.constraints["ge"]
    assert isinstance(ge, Constraint) and ge.name == "ge"
    # >= becomes <= with the sides swapped
    assert ge.condition.kind is se.ConstraintKind.LESSTHANEQUAL and isinstance(ge.condition.left, se.Number)
    assert type(ge.forall) is list and len(ge.forall) == 1
    element, condition = ge.forall[0]
    assert isinstance(element, se.Element) and element.name == "i"
    assert isinstance(condition, se.OtherConstraintCondition)
    assert lowered.constraints["eq"].forall == []
    pen = lowered.penalties["pen"]
    assert isinstance(pen, CustomPenalty) and isinstance(pen.forall[0][1], se.TrueCondition)


def test_forall_over_an_array_runs_over_its_index():
    a = ql.Element("a", A)
    problem = ql.Problem("p")
    problem += ql.Constraint("c", x[a] <= 1, forall=a)
    ((element, _),) = convert_problem_to_substutitable(problem).constraints["c"].forall
    assert isinstance(element, se.Element) and isinstance(element.end, se.ArrayLength)
    # the body indexes the array with the same element node
    subscript = convert_problem_to_substutitable(problem).constraints["c"].condition.left.subscripts[0]
    assert isinstance(subscript, se.Subscript)


def test_element_names_are_scoped_per_expression():
    # `e` over A in one constraint must not lend its range to `e` over B in another
    B = ql.Placeholder("B", 1)
    problem = ql.Problem("p")
    problem += ql.Constraint("a", x[ql.Element("e", A)] <= 1, forall=ql.Element("e", A))
    problem += ql.Constraint("b", x[ql.Element("e", B)] <= 1, forall=ql.Element("e", B))
    lowered = convert_problem_to_substutitable(problem)
    ranges = [str(c.forall[0][0].end.array) for c in lowered.constraints.values()]
    assert ranges == ["A", "B"]


@pytest.mark.parametrize(
    "add, prefix",
    [
        (lambda p, bad: p.__iadd__(bad), "In objective: "),
        (lambda p, bad: p.__iadd__(ql.Constraint("c", bad <= 1)), "In constraint `c`: "),
        (lambda p, bad: p.__iadd__(ql.CustomPenaltyTerm("p", bad)), "In penalty `p`: "),
    ],
)
def test_lowering_errors_are_prefixed(add, prefix):
    over_x = ql.Element.__new__(ql.Element)  # over a decision-variable array: the library refuses it
    over_x.__dict__.update(name="e", belong_to=x, ndim=0)
    bad = over_x + 1  # and the lowering cannot lower it
    problem = ql.Problem("p")
    add(problem, bad)
    with pytest.raises(SubstituteError) as info:
        convert_problem_to_substutitable(problem)
    message = str(info.value)
    assert message.startswith(prefix) and "(e + 1) -> e -> Error in Algebric expression conversion." in message
    assert isinstance(info.value.__cause__, SubstituteError)
