import sys

import pytest
from core_helpers import EVERYTHING, N, binary, in_thread

import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler.core import InstanceData, VarRegistry
from quillon_transpiler.exceptions import SubstituteError

ADD, MUL, POW, SUM = se.MultipleOpeKind.ADD, se.MultipleOpeKind.MUL, se.BinaryOpeKind.POW, se.ReductionOpeKind.SUM


@pytest.fixture(params=["default limit", "raised limit"])
def limit(request):
    """Python's recursion limit as left, or raised so far that only the C stack can stop a recursion."""
    old = sys.getrecursionlimit()
    if request.param == "raised limit":
        sys.setrecursionlimit(10**6)
    yield
    sys.setrecursionlimit(old)


def substitute(tree):
    return tree.substitute(VarRegistry({}, 0, {}), InstanceData({}, {}, [], indices={}))


def fold(operand, condition=None, index=None):
    index = index or se.Element("i", N(0), N(3))
    return se.FoldOperator(index, condition or se.TrueCondition(), operand, SUM)


def own_operand():
    node = se.MultipleOperator([binary("x")], ADD)
    node.operands.append(node)
    return node


def own_base():
    node = se.PairOperator(binary("x"), N(2), POW)
    node.left = node
    return node


def own_fold_operand():
    node = fold(binary("x"))
    node.operand = node
    return node


def holding_each_other():
    a = se.MultipleOperator([binary("x")], ADD)
    b = se.MultipleOperator([a, N(2)], MUL)
    a.operands.append(b)
    return b


def range_through_own_fold():
    index = se.Element("i", N(0), N(3))
    node = fold(binary("x"), index=index)
    index.end = node
    return node


def fold_in_own_condition():
    node = fold(binary("x"))
    node.condition = se.ConstraintCondition(node, N(1), se.ConstraintKind.LESSTHANEQUAL)
    return node


def condition_in_itself():
    condition = se.ConditionOperator([], se.ConditionOperatorKind.AND)
    condition.terms.append(condition)
    return fold(binary("x"), condition)


CYCLES = [own_operand, own_base, own_fold_operand, holding_each_other, range_through_own_fold]


@pytest.mark.parametrize("make", CYCLES + [fold_in_own_condition, condition_in_itself])
def test_cyclic_trees_are_refused_by_substitution(limit, make):
    tree = make()
    with pytest.raises(SubstituteError, match="^The expression tree is cyclic: a \\w+ node is among its own operands"):
        substitute(tree)
    # inside a larger tree too (the cycle is met below the root)
    with pytest.raises(SubstituteError, match="cyclic"):
        substitute(se.MultipleOperator([N(1), se.MultipleOperator([binary("y"), tree], MUL)], ADD))


@pytest.mark.parametrize("make", CYCLES)
def test_cyclic_trees_cannot_be_printed_or_listed(limit, make):
    tree = make()
    with pytest.raises(RecursionError):
        tree.extract(EVERYTHING)
    if make is not range_through_own_fold:  # an element prints as its name: nothing to loop over
        with pytest.raises(RecursionError):
            str(tree)


def chain(depth, wrap):
    tree = binary("x")
    for _ in range(depth):
        tree = wrap(tree)
    return tree


WRAPS = {
    "sum": lambda t: se.MultipleOperator([t, N(1)], ADD),
    "power": lambda t: se.PairOperator(t, N(1), POW),
    "fold": lambda t: fold(t, index=se.Element("i", N(0), N(1))),  # one value: one pass per level
}


@pytest.mark.parametrize("limit", ["raised limit"], indirect=True)
# instrumented frames are larger: under the sanitizer 300 levels no longer fit in 512 KiB
@pytest.mark.parametrize("stack_size", [4 << 20, pytest.param(512 << 10, marks=pytest.mark.no_sanitizer)])
@pytest.mark.parametrize("wrap", WRAPS.values(), ids=WRAPS.keys())
def test_deep_trees_stop_before_the_c_stack_runs_out(limit, stack_size, wrap):
    # with Python's limit out of the way, trees as deep as the stack holds are substituted and
    # deeper ones raise, whatever the thread's stack size
    shallow, deep = chain(300, wrap), chain(30_000, wrap)
    assert in_thread(lambda: substitute(shallow).coeff, stack_size) == {(0,): 1}
    error = in_thread(lambda: substitute(deep), stack_size)
    assert isinstance(error, RecursionError) and "the C stack is nearly used up" in str(error)
