import copy
import functools
import inspect
import operator
import pickle
import re
import sys
import threading
import weakref

import numpy as np
import pytest

import quillon as ql

a, b, c = ql.Placeholder("a"), ql.Placeholder("b"), ql.Placeholder("c")
n = ql.Placeholder("n")
v = ql.Placeholder("v", ndim=1)
d = ql.Placeholder("d", ndim=2)
x = ql.BinaryVar("x", shape=(n, n))
i = ql.Element("i", n)
j = ql.Element("j", (0, n))


@pytest.mark.parametrize(
    "build, cls, text",
    [
        (lambda: a + b + c, ql.AddOp, "(a + b + c)"),
        (lambda: a + (b + c), ql.AddOp, "(a + (b + c))"),
        (lambda: a - b - c, ql.AddOp, "(a + (-1 * b) + (-1 * c))"),
        (lambda: 1 - a, ql.AddOp, "(1 + (-1 * a))"),
        (lambda: a * b * c, ql.MulOp, "(a * b * c)"),
        (lambda: -a, ql.MulOp, "(-1 * a)"),
        (lambda: a / b / c, ql.MulOp, "(a * (b ** -1) * (c ** -1))"),
        (lambda: 2 / a, ql.MulOp, "(2 * (a ** -1))"),
        (lambda: 2.5 * a, ql.MulOp, "(2.5 * a)"),
        (lambda: np.int64(3) * a, ql.MulOp, "(3 * a)"),
        (lambda: np.float64(0.5) + a, ql.AddOp, "(0.5 + a)"),
        (lambda: 2**a, ql.PowOp, "(2 ** a)"),
        (lambda: a % 3, ql.ModOp, "(a % 3)"),
        (lambda: ql.max(a, b, 1), ql.MaxOp, "max(a, b, 1)"),
        (lambda: ql.min(a, b), ql.MinOp, "min(a, b)"),
        (lambda: ql.log2(a), ql.Log2Op, "log2(a)"),
        (lambda: abs(a), ql.AbsOp, "abs(a)"),
        (lambda: x[i, j], ql.Subscript, "x[i, j]"),
        (lambda: d[i][j + 1], ql.Subscript, "d[i][(j + 1)]"),
        (lambda: d.len_at(1), ql.ArrayLength, "len_at(d, 1)"),
        (lambda: ql.sum(i, v[i] * x[i, j]), ql.SumOp, "sum_{i}((v[i] * x[i, j]))"),
        (lambda: ql.prod(j, x[i, j], j != i), ql.ProdOp, "prod_{j | (j != i)}(x[i, j])"),
        (lambda: j.belong_to, ql.Range, "range(0, n)"),
        (lambda: 1 < a, ql.GreaterThanOp, "(a > 1)"),
        (lambda: a == 2, ql.EqualOp, "(a == 2)"),
        (lambda: (a <= b) & (b >= c) & (a != c), ql.AndOp, "((a <= b) & (b >= c) & (a != c))"),
        (lambda: (a < b) | ((b > c) ^ (a == c)), ql.OrOp, "((a < b) | ((b > c) ^ (a == c)))"),
    ],
)
def test_construction_builds_the_documented_node(build, cls, text):
    node = build()
    assert type(node) is cls
    assert str(node) == text


def test_flattening_never_mutates_the_left_operand():
    s = a + b
    t = s + c
    assert len(s.terms) == 2 and len(t.terms) == 3
    assert t.terms[0] is a and t.terms[2] is c


COPIES = [lambda e: e, lambda e: pickle.loads(pickle.dumps(e)), copy.deepcopy, copy.copy]


@pytest.mark.parametrize("copied", COPIES)
@pytest.mark.parametrize("op, cls", [(operator.add, ql.AddOp), (operator.mul, ql.MulOp)])
def test_chains_written_term_by_term_branch_and_copy_as_lists(op, cls, copied):
    # a chain's list is made when first read: each branch keeps its own terms, whatever is read first
    t = [x[k, 0] for k in range(6)]
    stem = op(op(t[0], t[1]), t[2])
    left = op(op(stem, t[3]), t[4])
    right = op(stem, t[5])
    longer = op(left, a)
    got = [copied(e) for e in (right, longer, stem, left)]
    want = [t[:3] + [t[5]], t[:5] + [a], t[:3], t[:5]]
    assert [type(e) for e in got] == [cls] * 4
    assert [[str(u) for u in e.terms] for e in got] == [[str(u) for u in w] for w in want]


@pytest.mark.parametrize(
    "edit",
    [lambda s: s.terms.__setitem__(0, a), lambda s: s.terms.append(a), lambda s: setattr(s, "terms", [a, b])],
    ids=["item set", "appended", "list replaced unread"],
)
def test_a_list_read_out_and_changed_reaches_only_what_is_built_after(edit):
    t = [x[k, 0] for k in range(4)]
    stem = t[0] + t[1]
    before = stem + t[2]
    edit(stem)
    after = stem + t[3]
    assert str(before) == "(x[0, 0] + x[1, 0] + x[2, 0])"
    assert str(after) == str(ql.AddOp([*stem.terms, t[3]]))


def test_threads_reading_one_chain_first_all_read_it_whole():
    chain = sum(x[k % 3, 0] for k in range(20_000))
    seen = []
    threads = [threading.Thread(target=lambda: seen.append(len(chain.terms))) for _ in range(4)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert seen == [20_001] * 4


def test_a_sum_written_term_by_term_keeps_no_step_before_the_last():
    # each step linked to the one before would keep a sum of n terms' n steps alive, and the
    # collector would walk all of them over and over while the model is written
    first = x[0, 0] + x[1, 0]
    gone = weakref.ref(first)
    last = sum((x[k, 0] for k in range(2, 50)), first)
    del first
    assert gone() is None
    assert len(last.terms) == 50


class Pair(ql.MaxOp):
    """A user's node of the terms kind that keeps its operands otherwise."""

    def __init__(self, first, second):
        self.first, self.second = first, second


def test_a_terms_node_without_terms_copies_and_says_it_has_none():
    pair = Pair(a, b)
    assert [str(copy.deepcopy(pair).first), str(pickle.loads(pickle.dumps(pair)).second)] == ["a", "b"]
    assert getattr(pair, "terms", None) is None


@pytest.mark.parametrize(
    "value, expected",
    [(3, 3), (2.5, 2.5), (np.int32(4), 4), (np.float32(0.5), 0.5)],
)
def test_numbers_become_plain_python_literals(value, expected):
    lit = (a + value).terms[1]
    assert type(lit) is ql.NumberLit and lit.value == expected
    assert type(lit.value) is type(expected)


@pytest.mark.parametrize("junk", [True, np.bool_(False), "2", None, [1], 1j, np.array([1, 2])])
@pytest.mark.parametrize(
    "use",
    [
        lambda e: a + e,
        lambda e: e * a,
        lambda e: a == e,
        lambda e: x[e, 0],
        lambda e: ql.NumberLit(e),
        lambda e: ql.ln(e),
    ],
)
def test_non_numbers_are_refused_naming_the_type(junk, use):
    with pytest.raises(TypeError, match=type(junk).__name__):
        use(junk)


@pytest.mark.parametrize(
    "build",
    [
        lambda: v + 1,
        lambda: ql.sum(i, v),
        lambda: v == 0,
        lambda: a[0],
        lambda: x[i, j, 0],
        lambda: d[i][j][0],
        lambda: d.len_at(2),
        lambda: d[i].len_at(1),
        lambda: d.len_at(-1),
    ],
)
def test_shape_mistakes_raise_value_error(build):
    with pytest.raises(ValueError):
        build()


@pytest.mark.parametrize(
    "belong_to, ndim, stored",
    [
        (3, 0, ql.NumberLit),
        (n, 0, ql.Placeholder),
        ((1, n), 0, ql.Range),
        (v, 0, ql.Placeholder),
        (d, 1, ql.Placeholder),
        (d[i], 0, ql.Subscript),
    ],
)
def test_element_domain_and_ndim(belong_to, ndim, stored):
    e = ql.Element("e", belong_to)
    assert e.ndim == ndim and type(e.belong_to) is stored


@pytest.mark.parametrize("array", [ql.NumberLit(3), a + b, ql.ln(a)])
def test_length_of_a_non_array_kind_is_left_to_the_lowering(array):
    # the lowering refuses it with a message naming the node; the library must let it through
    length = ql.ArrayLength(array, 0)
    assert length.array is array and length.axis == 0


def test_subscript_ndim_and_nesting():
    nested = d[i][j]
    assert nested.ndim == 0 and nested.variable.ndim == 1
    assert nested.variable.variable is d and nested.subscripts == [j]
    assert d[i, j].subscripts == [i, j] and d[i].ndim == 1


def test_integer_var_bounds():
    lower = ql.Placeholder("lo", ndim=1)
    y = ql.IntegerVar("y", shape=[n], lower_bound=lower, upper_bound=5)
    assert y.ndim == 1 and y.lower_bound is lower and y.upper_bound.value == 5
    with pytest.raises(TypeError):
        ql.IntegerVar("y", upper_bound=5)
    with pytest.raises(ValueError):
        ql.IntegerVar("y", lower_bound=lower, upper_bound=5)


def test_arrays_are_not_iterable():
    # Otherwise Python iterates through __getitem__ with 0, 1, ... forever.
    with pytest.raises(TypeError):
        iter(v)


def test_nodes_hash_by_identity_and_conditions_have_no_truth_value():
    p, q = ql.Placeholder("p"), ql.Placeholder("p")
    assert len({p: 1, q: 2}) == 2 and {p: 1}[p] == 1
    cond = p == q
    assert cond in [p < q, cond]
    with pytest.raises(TypeError, match="no truth value"):
        bool(cond)
    with pytest.raises(TypeError):
        (a < b) & (a + b)


def test_each_public_node_class_dispatches_on_its_own():
    classes = [
        obj
        for _, obj in inspect.getmembers(ql, inspect.isclass)
        if obj not in (ql.Expression, ql.Condition, ql.ProblemSense)
    ]
    for sub in classes:
        for sup in classes:
            assert sub is sup or not issubclass(sub, sup), (sub, sup)

    @functools.singledispatch
    def name(node):
        return "?"

    name.register(ql.LnOp, lambda node: "ln")
    assert name(ql.log10(a)) == "?" and name(ql.ln(a)) == "ln"


@pytest.mark.parametrize(
    "build, error, message",
    [
        (lambda: ql.max(), ValueError, "ql.max needs at least one term"),
        (lambda: ql.min(), ValueError, "ql.min needs at least one term"),
        (lambda: ql.Element("k", ql.BinaryVar("x", shape=(3,))), TypeError, "runs over x, a decision variable"),
        (lambda: ql.Element("k", ql.IntegerVar("z", (2, 2), 0, 3)[0]), TypeError, "runs over z[0], a decision"),
    ],
)
def test_what_has_no_value_is_refused_when_built(build, error, message):
    with pytest.raises(error, match=re.escape(message)):
        build()
