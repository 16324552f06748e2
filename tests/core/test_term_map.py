"""The engine's term map searches up to eight terms in a list and indexes larger maps in a hash
table, built early when a merge announces its size and regrown as it fills. These cases put
polynomials on both sides of those sizes (and keys on both sides of the inline key length) and
compare every result with plain dicts, following the documented add, mul and power."""

import pytest
from core_helpers import Given

import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler.core import InstanceData, VarRegistry
from quillon_transpiler.core.substitute import SubstitutedExpression as S

ADD, MUL, POW = se.MultipleOpeKind.ADD, se.MultipleOpeKind.MUL, se.BinaryOpeKind.POW
SIZES = [0, 1, 7, 8, 9, 16, 17, 33]


def keys(first, count, width=1):
    """`count` distinct monomial keys of `width` factors (keys past three factors leave inline storage)."""
    return [tuple(range(i, i + width)) for i in range(first, first + count)]


def terms(key_list, scale=1):
    return {key: scale * (pos + 1) for pos, key in enumerate(key_list)}


def substitute(node):
    return node.substitute(VarRegistry({}, 0, {}), InstanceData({}, {}, [], indices={}))


def given(coeff, constant=0):
    return Given(S(dict(coeff), constant, max(map(len, coeff), default=0)))


def accumulate(out, key, value):
    out[key] = out[key] + value if key in out else value


def dict_add(*maps):
    out = {}
    for m in maps:
        for key, value in m.items():
            accumulate(out, key, value)
    return out


def dict_mul(a, ca, b, cb):
    out = {key: value * ca for key, value in b.items()} if ca != 0 else {}
    if cb != 0:
        for key, value in a.items():
            out[key] = value * cb + out.get(key, 0.0)
    for k1, v1 in a.items():
        for k2, v2 in b.items():
            accumulate(out, tuple(sorted(k1 + k2)), v1 * v2)
    return out


def dict_power(a, c, exponent):
    square, items = {}, list(a.items())
    for i, (key, value) in enumerate(items):
        accumulate(square, key, 2 * value * c)
        for other, v2 in items[i + 1 :]:
            accumulate(square, tuple(sorted(key + other)), 2 * value * v2)
        accumulate(square, key + key, value**2)
    result, constant = square, c**2
    for _ in range(exponent - 2):
        result, constant = dict_mul(result, constant, a, c), constant * c
    return result


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("width", [1, 3, 4, 7])
def test_growth_one_term_at_a_time(size, width):
    # n one-term operands, then all of them again: the second pass must find every key
    parts = [terms([key]) for key in keys(0, size, width)] * 2
    result = substitute(se.MultipleOperator([given(p) for p in parts] or [se.Number(0)], ADD))
    assert list(result.coeff.items()) == list(dict_add(*parts).items())


@pytest.mark.parametrize("first, second", [(a, b) for a in SIZES for b in SIZES if 0 < a + b <= 40])
@pytest.mark.parametrize("overlap", ["none", "front", "back", "spread"])
def test_merges_across_the_boundary(first, second, overlap):
    """self + other (which sizes the map for both at once), then every key met again, one term
    at a time in reverse order, or all at once in a third polynomial."""
    a = keys(0, first)
    fresh = keys(100, second)
    shared = {"none": [], "front": a[:2], "back": a[-2:], "spread": a[::3]}[overlap][:second]
    b = fresh[: second - len(shared)]
    b = {"front": shared + b, "back": b + shared, "spread": b[::2] + shared + b[1::2]}.get(overlap, b)
    again = list(reversed(a + b))
    parts = [terms(a), terms(b, 10)] + [{key: 100} for key in again]
    result = substitute(se.MultipleOperator([given(p) for p in parts], ADD))
    assert list(result.coeff.items()) == list(dict_add(*parts).items())
    # the first two merged in a nested sum, whose result then takes a third polynomial
    parts = [terms(a), terms(b, 10), terms(again, 100)]
    nested = se.MultipleOperator([se.MultipleOperator([given(parts[0]), given(parts[1])], ADD), given(parts[2])], ADD)
    assert list(substitute(nested).coeff.items()) == list(dict_add(*parts).items())


@pytest.mark.parametrize("first, second", [(1, 9), (3, 3), (8, 1), (8, 2), (9, 9), (17, 2), (5, 7)])
@pytest.mark.parametrize("constants", [(0, 0), (2, 0), (0, 3), (2, 3)])
def test_products_of_sums(first, second, constants):
    a, b = terms(keys(0, first)), terms(keys(first - 1, second), 10)  # one shared variable
    ca, cb = constants
    result = substitute(se.MultipleOperator([given(a, ca), given(b, cb)], MUL))
    assert list(result.coeff.items()) == list(dict_mul(a, ca, b, cb).items())
    assert result.constant == ca * cb


@pytest.mark.parametrize("size", [1, 2, 3, 4, 5, 8, 9, 17])
@pytest.mark.parametrize("exponent", [2, 3])
@pytest.mark.parametrize("constant", [0, 1])
def test_powers_of_sums(size, exponent, constant):
    a = terms(keys(0, size))
    result = substitute(se.PairOperator(given(a, constant), se.Number(exponent), POW))
    assert list(result.coeff.items()) == list(dict_power(a, constant, exponent).items())


def test_sum_of_squares_that_reuse_keys():
    # the one-hot penalty shape: sum_i (x_i + x_{i+1} - 1)^2, each square merged into a map
    # that already holds half of its keys
    total = [se.PairOperator(given(terms(keys(i, 2)), -1), se.Number(2), POW) for i in range(12)]
    expected = dict_add(*[dict_power(terms(keys(i, 2)), -1, 2) for i in range(12)])
    assert list(substitute(se.MultipleOperator(total, ADD)).coeff.items()) == list(expected.items())
