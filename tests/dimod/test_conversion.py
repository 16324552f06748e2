"""_expr_conversion equals dimod's term-by-term arithmetic, exactly."""

import fractions

import numpy as np
import pytest

dimod = pytest.importorskip("dimod")

from dimod_helpers import assert_same_model, term_by_term  # noqa: E402

from quillon_transpiler.core.dimod.dimod_bridge import _expr_conversion  # noqa: E402
from quillon_transpiler.core.substitute import SubstitutedExpression  # noqa: E402

BINARY = [0, 1, 2, 5]
INTEGER = [3, 4]


def table():
    t = {i: dimod.Binary(("x", (i,))) for i in BINARY}
    t[3] = dimod.Integer(("y", ()), lower_bound=-2, upper_bound=5)
    t[4] = dimod.Integer(("z", (0, 1)), lower_bound=0.5, upper_bound=7.9)
    return t


def random_poly(seed):
    """Linear and quadratic terms in any factor order, x*x for binary and integer x, keys that
    are permutations of each other, cubic keys that reduce (b*b*x), the empty key, and
    coefficients of every number type the compiler stores."""
    rng = np.random.default_rng(seed)
    numbers = [
        lambda: float(rng.normal()),
        lambda: int(rng.integers(-5, 6)),
        lambda: np.float32(rng.normal()),
        lambda: np.int64(rng.integers(-3, 4)),
        lambda: 0.0,
        lambda: True,
    ]
    indices = BINARY + INTEGER
    coeff = {}
    for _ in range(int(rng.integers(0, 25))):
        shape = rng.integers(0, 10)
        if shape == 0:
            key = ()
        elif shape < 4:
            key = (int(rng.choice(indices)),)
        elif shape < 9:
            key = tuple(int(i) for i in rng.choice(indices, 2))
        else:
            b = int(rng.choice(BINARY))
            key = (b, b, int(rng.choice(indices)))
        coeff[key] = numbers[int(rng.integers(len(numbers)))]()
    constant = numbers[int(rng.integers(len(numbers)))]()
    return SubstitutedExpression(coeff, constant, 2)


@pytest.mark.parametrize("seed", range(60))
def test_random_polynomials(seed):
    poly = random_poly(seed)
    assert_same_model(_expr_conversion(poly, table()), term_by_term(poly, table()))


def test_dense_interactions_outnumbering_variables():
    n = 40
    rng = np.random.default_rng(1)
    t = {i: dimod.Binary(("x", (i,))) for i in range(n)}
    coeff = {(i, j): float(rng.normal()) for i in range(n) for j in range(n) if i != j}
    poly = SubstitutedExpression(coeff, 1.5, 2)
    assert_same_model(_expr_conversion(poly, t), term_by_term(poly, t))


POLY = {(0, 1): 2.0, (1, 0): 1.0, (0,): -1.0, (2, 3): 0.5, (1, 1): 3.0, (0, 2): 4.0, (3, 3): 1.0}


@pytest.mark.parametrize(
    "var_map",
    [
        # two indices of one variable: their product is the variable's square
        {
            0: dimod.Binary("a"),
            1: dimod.Binary("a"),
            2: dimod.Integer("i", upper_bound=3),
            3: dimod.Integer("i", upper_bound=3),
        },
        # a binary variable held by a QuadraticModel multiplies from the right, a BQM from the left
        {
            0: dimod.QuadraticModel.from_bqm(dimod.Binary("a")),
            1: dimod.Binary("b"),
            2: dimod.Integer("i"),
            3: dimod.Binary(7),
        },
        # not plain variables: the arithmetic itself
        {0: 2 * dimod.Binary("a") + 1, 1: dimod.Binary("b"), 2: dimod.Integer("i"), 3: dimod.Spin("s")},
        {
            0: dimod.Binary("a"),
            1: dimod.Binary("a"),
            2: dimod.Integer("i", upper_bound=3),
            3: dimod.Integer("i", upper_bound=4),
        },
    ],
)
def test_variable_models_of_any_form(var_map):
    poly = SubstitutedExpression(dict(POLY), 1, 2)
    try:
        want = term_by_term(poly, var_map)
    except ValueError as error:  # conflicting bounds of one label
        with pytest.raises(ValueError, match=str(error)):
            _expr_conversion(poly, var_map)
    else:
        assert_same_model(_expr_conversion(poly, var_map), want)


@pytest.mark.parametrize("coefficient", [fractions.Fraction(1, 3), np.float16(0.1), float("inf"), float("nan")])
def test_unusual_coefficients(coefficient):
    poly = SubstitutedExpression({(0, 1): coefficient, (0,): 1.0, (3,): coefficient}, 0.5, 2)
    got, want = _expr_conversion(poly, table()), term_by_term(poly, table())
    assert list(got.variables) == list(want.variables)
    for a, b in [(got.linear, want.linear), (got.quadratic, want.quadratic)]:
        assert {k: repr(v) for k, v in a.items()} == {k: repr(v) for k, v in b.items()}
    assert repr(got.offset) == repr(want.offset)


@pytest.mark.parametrize(
    "key",
    [(0, 1, 2), (0, 1, 0), (3, 3, 0), (0, 1, 9), (0, 1, 2, 9), (9,), (0, 0, 1), (3, 0, 0)],
)
def test_terms_beyond_quadratic_fail_as_the_arithmetic_does(key):
    poly = SubstitutedExpression({(0,): 1.0, key: 2.0}, 0, 3)
    try:
        want = term_by_term(poly, table())
    except Exception as error:  # noqa: BLE001 - the reference decides
        with pytest.raises(type(error)) as got:
            _expr_conversion(poly, table())
        assert str(got.value) == str(error)
    else:
        assert_same_model(_expr_conversion(poly, table()), want)


def test_constant_only_and_var_map_type():
    model = _expr_conversion(SubstitutedExpression({}, 4, 0), {})
    assert model.num_variables == 0 and model.offset == 4
    with pytest.raises(TypeError, match="Argument 'var_map' has incorrect type"):
        _expr_conversion(SubstitutedExpression({}, 4, 0), None)
