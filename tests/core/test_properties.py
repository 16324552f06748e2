import copy
import math
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler.core import InstanceData, VarRegistry
from quillon_transpiler.core.substitute import SubstitutedExpression as S
from quillon_transpiler.exceptions import SubstituteError

NVARS = 4
small = st.integers(-4, 4)
keys = st.lists(st.integers(0, NVARS - 1), min_size=1, max_size=3).map(tuple)


@st.composite
def polys(draw):
    coeff = draw(st.dictionaries(keys, small, max_size=5))
    order = max(map(len, coeff), default=0) + draw(st.integers(0, 1))
    return S(coeff, draw(small), order)


points = st.lists(st.integers(-3, 3), min_size=NVARS, max_size=NVARS)


def value(poly, x):
    return sum(c * math.prod(x[k] for k in key) for key, c in poly.coeff.items()) + poly.constant


def check_order(poly):
    assert max(map(len, poly.coeff), default=0) <= poly.order


@settings(max_examples=300, deadline=None)
@given(polys(), polys(), points)
def test_add_and_mul_evaluate_like_numbers(a, b, x):
    total, product = copy.deepcopy(a), copy.deepcopy(b)
    total.add(b)
    product.mul(a)
    assert value(total, x) == value(a, x) + value(b, x)
    assert value(product, x) == value(a, x) * value(b, x)
    assert set(total.coeff) == set(a.coeff) | set(b.coeff)
    assert all(list(key) == sorted(key) for key in set(product.coeff) - set(a.coeff) - set(b.coeff))
    check_order(product)
    square = copy.deepcopy(a)
    square.mul(square)
    assert value(square, x) == value(a, x) ** 2


@settings(max_examples=300, deadline=None)
@given(polys(), st.integers(0, 4), st.booleans(), points)
def test_power_evaluates_like_numbers(a, e, as_float, x):
    result = copy.deepcopy(a)
    result.power(float(e) if as_float else e)
    assert value(result, x) == value(a, x) ** e
    check_order(result)
    if e >= 2 and a.coeff:
        assert result.order == a.order * e
        by_mul = copy.deepcopy(a)
        for _ in range(e - 1):
            by_mul.mul(a)
        assert value(by_mul, x) == value(result, x)
    if e == 2 and a.coeff and all(len(key) == 1 for key in a.coeff):
        # a square lists variable by variable: x_i, its products with the later ones, x_i * x_i
        ks = [v for (v,) in a.coeff]
        expected = [k for i, v in enumerate(ks) for k in [(v,), *[tuple(sorted((v, w))) for w in ks[i + 1 :]], (v, v)]]
        assert list(result.coeff) == expected


# --- random trees through the substitution engine against the polynomial methods ---

DATA = {"p": 3, "q": -2}
ELEMENT_VALUE = 2

numbers = st.one_of(small, small.map(float), small.map(np.int64), small.map(np.float64), st.just(0.5))
exponents = st.sampled_from([0, 1, 2, 3, 2.0, np.int64(2), -1, 0.5])
leaves = st.one_of(
    st.tuples(st.just("num"), numbers),
    st.tuples(st.just("ph"), st.sampled_from(sorted(DATA))),
    st.tuples(st.just("el")),
    st.tuples(st.just("bin"), st.integers(0, 2)),
    st.tuples(st.just("int"), st.integers(0, 1)),
    st.tuples(st.just("sub"), st.integers(0, 2)),
    st.tuples(st.just("fixed"), st.integers(0, 1)),
    st.tuples(st.just("xk")),
    st.tuples(st.sampled_from(["xk1", "xk2", "kv", "yik", "yik2"])),
)
trees = st.recursive(
    leaves,
    lambda kids: st.one_of(
        st.tuples(st.sampled_from(["add", "mul"]), st.lists(kids, max_size=3)),
        st.tuples(st.just("pow"), kids, exponents),
        st.tuples(st.sampled_from(["sum", "prod"]), kids, st.integers(0, 3)),
    ),
    max_leaves=7,
)

ARRAY_X = se.DecisionVariable.create_binaryvar("x", (se.Number(3),))
ARRAY_F = se.DecisionVariable.create_binaryvar("f", (se.Number(2),))
ARRAY_Y = se.DecisionVariable.create_binaryvar("y", (se.Number(3), se.Number(3)))
FIXED = {"f": {(1,): 5}}
K = se.Element("k", se.Number(0), se.Number(3))


def build(tree):
    tag = tree[0]
    if tag == "num":
        return se.Number(tree[1])
    if tag == "ph":
        return se.Placeholder(tree[1], 0)
    if tag == "el":
        return se.Element("i", se.Number(0), se.Number(3))
    if tag == "bin":
        return se.DecisionVariable.create_binaryvar(f"b{tree[1]}", ())
    if tag == "int":
        return se.DecisionVariable.create_intvar(f"n{tree[1]}", (), se.Number(-1), se.Placeholder("p", 0))
    if tag == "sub":
        return se.Subscript(ARRAY_X, [se.Number(tree[1])])
    if tag == "fixed":
        return se.Subscript(ARRAY_F, [se.Number(tree[1])])
    if tag == "xk":
        return se.Subscript(ARRAY_X, [K])
    if tag == "xk1":  # x[(k + 1) % 3]
        following = se.MultipleOperator([K, se.Number(1)], se.MultipleOpeKind.ADD)
        return se.Subscript(ARRAY_X, [se.PairOperator(following, se.Number(3), se.BinaryOpeKind.MOD)])
    if tag == "xk2":  # x[k % 2]
        return se.Subscript(ARRAY_X, [se.PairOperator(K, se.Number(2), se.BinaryOpeKind.MOD)])
    if tag == "kv":
        return K
    if tag == "yik":
        return se.Subscript(ARRAY_Y, [se.Element("i", se.Number(0), se.Number(3)), K])
    if tag == "yik2":  # y[i, (k + 1) % 2]
        following = se.MultipleOperator([K, se.Number(1)], se.MultipleOpeKind.ADD)
        return se.Subscript(
            ARRAY_Y,
            [
                se.Element("i", se.Number(0), se.Number(3)),
                se.PairOperator(following, se.Number(2), se.BinaryOpeKind.MOD),
            ],
        )
    if tag == "pow":
        return se.PairOperator(build(tree[1]), se.Number(tree[2]), se.BinaryOpeKind.POW)
    if tag in ("sum", "prod"):
        k = se.Element("k", se.Number(0), se.Number(tree[2]))
        return se.FoldOperator(k, se.TrueCondition(), build(tree[1]), se.ReductionOpeKind[tag.upper()])
    kind = se.MultipleOpeKind.ADD if tag == "add" else se.MultipleOpeKind.MUL
    return se.MultipleOperator([build(kid) for kid in tree[1]], kind)


def variable(index):
    return S({(index,): 1}, 0, 1)


def by_hand(tree, reg, bound):
    tag = tree[0]
    if tag == "num":
        return S({}, tree[1], 0)
    if tag == "ph":
        return S({}, DATA[tree[1]], 0)
    if tag == "el":
        return S({}, ELEMENT_VALUE, 0)
    if tag == "bin":
        return variable(reg.add_variable(label=f"b{tree[1]}", subscripts=()))
    if tag == "int":
        return variable(reg.add_int_variable(label=f"n{tree[1]}", subscripts=(), lower=-1, upper=DATA["p"]))
    if tag == "sub":
        return variable(reg.add_variable(label="x", subscripts=(tree[1],)))
    if tag == "fixed":
        if (tree[1],) in FIXED.get("f", {}):
            return S({}, FIXED["f"][(tree[1],)], 0)
        return variable(reg.add_variable(label="f", subscripts=(tree[1],)))
    if tag == "xk":
        return variable(reg.add_variable(label="x", subscripts=(bound["k"],)))
    if tag == "xk1":
        return variable(reg.add_variable(label="x", subscripts=((bound["k"] + 1) % 3,)))
    if tag == "xk2":
        return variable(reg.add_variable(label="x", subscripts=(bound["k"] % 2,)))
    if tag == "kv":
        return S({}, bound["k"], 0)
    if tag == "yik":
        return variable(reg.add_variable(label="y", subscripts=(ELEMENT_VALUE, bound["k"])))
    if tag == "yik2":
        return variable(reg.add_variable(label="y", subscripts=(ELEMENT_VALUE, (bound["k"] + 1) % 2)))
    if tag == "pow":
        base = by_hand(tree[1], reg, bound)
        base.power(tree[2])
        return base
    if tag in ("sum", "prod"):
        acc = S({}, 0 if tag == "sum" else 1, 0)
        for v in range(tree[2]):
            bound["k"] = v
            term = by_hand(tree[1], reg, bound)
            acc.add(term) if tag == "sum" else acc.mul(term)
        return acc
    polys = [by_hand(kid, reg, bound) for kid in tree[1]]
    if not polys:
        return S({}, 0 if tag == "add" else 1, 0)
    first = polys[0]
    for other in polys[1:]:
        first.add(other) if tag == "add" else first.mul(other)
    return first


def outcome(substitute):
    reg = VarRegistry({}, 0, {})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            poly = substitute(reg)
            result = (type(poly), repr(list(poly.coeff.items())), repr(poly.constant), poly.order)
        except (SubstituteError, ArithmeticError) as error:
            result = (type(error), str(error))
    return result, repr(reg)


@pytest.fixture(params=[True, False], ids=["fixed", "none fixed"])
def fixed(request, monkeypatch):
    """The fixed values of the data: some, or none at all (which lets the engine skip their checks)."""
    if not request.param:
        monkeypatch.setitem(globals(), "FIXED", {})
    return FIXED


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(tree=trees)
def test_engine_matches_polynomial_methods(tree, fixed):
    data = InstanceData(dict(DATA), copy.deepcopy(fixed), list(DATA), indices={"i": ELEMENT_VALUE, "k": 0})
    bound = {"i": ELEMENT_VALUE, "k": 0}
    assert outcome(lambda reg: build(tree).substitute(reg, data)) == outcome(lambda reg: by_hand(tree, reg, bound))
    assert data.indices == bound


@pytest.mark.parametrize(
    "tree",
    [
        ("sum", ("mul", [("num", -1.5), ("xk",), ("sub", 1)]), 3),  # a constant times variables: -0.0 on the way
        ("sum", ("mul", [("xk",), ("num", 0.0), ("sub", 0)]), 3),  # a zero factor drops the term
        ("sum", ("mul", [("xk",), ("xk",)]), 3),  # a variable twice in one key
        ("sum", ("mul", [("fixed", 1), ("xk",), ("num", np.int64(2))]), 3),  # fixed value, NumPy factor
        ("sum", ("mul", [("fixed", 1), ("xk",)]), 3),  # two arrays of variables, met again in turn
        ("sum", ("mul", [("xk",), ("num", 2), ("ph", "q")]), 3),  # int factors after a variable
        ("sum", ("sum", ("mul", [("num", 2.5), ("xk",), ("sub", 2)]), 2), 3),  # nested sums of products
        ("sum", ("xk",), 3),
        # below the top, where a sum's later values reuse the first one's arithmetic
        ("add", [("sum", ("mul", [("xk",), ("xk1",)]), 3)]),  # cyclic neighbours
        ("add", [("sum", ("mul", [("xk1",), ("num", 0.1), ("xk",)]), 2)]),  # one new, one met before
        ("add", [("xk",), ("sum", ("mul", [("num", 0.5), ("xk1",), ("xk",)]), 3)]),
        ("add", [("sub", 0), ("sub", 1), ("sum", ("mul", [("kv",), ("xk",)]), 3)]),  # a factor reads the index
        ("add", [("sub", 2), ("sum", ("mul", [("num", 0.5), ("yik",), ("xk",)]), 3)]),  # an outer element's row
        ("sum", ("add", [("sum", ("mul", [("yik",), ("xk1",)]), 3)]), 2),  # the inner sum runs twice
        # keys met again within one run: a remainder below the range's length, the same row
        ("add", [("sum", ("mul", [("xk2",), ("fixed", 0)]), 3)]),
        ("add", [("sum", ("mul", [("yik",), ("yik2",)]), 2)]),
        ("sum", ("add", [("sum", ("mul", [("yik",), ("num", 1.5), ("xk",)]), 3)]), 2),  # keys apart
    ],
)
def test_sums_of_products_match_polynomial_methods(tree, fixed):
    data = InstanceData(dict(DATA), copy.deepcopy(fixed), list(DATA), indices={"i": ELEMENT_VALUE, "k": 0})
    bound = {"i": ELEMENT_VALUE, "k": 0}
    assert outcome(lambda reg: build(tree).substitute(reg, data)) == outcome(lambda reg: by_hand(tree, reg, bound))
    assert data.indices == bound  # each sum leaves its last value bound
