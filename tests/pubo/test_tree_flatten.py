import itertools

import pytest

from quillon_transpiler.core.pubo import tree_flatten
from quillon_transpiler.core.pubo.tree_flatten import higher_tree_to_binary_coeff, square_coeff
from quillon_transpiler.core.substitute.higher_subsititute import (
    SubsExprAdd,
    SubsExprMul,
    SubsExprNode,
    SubsExprPower,
    add_coeff,
    mul_coeff,
)
from quillon_transpiler.core.substitute.subs_poly import SubstitutedExpression


def identity(coeff, constant):
    return coeff, constant


def leaf(coeff, constant=0):
    return SubsExprNode(SubstitutedExpression(coeff, constant, 1))


def value(coeff, constant, bits):
    return constant + sum(v for k, v in coeff.items() if all(bits[i] for i in k))


@pytest.mark.parametrize(
    "coeff, constant, expected",
    [
        ({(0,): 1, (1,): 2}, 3, ({(0, 1): 4, (0,): 7.0, (1,): 16.0}, 9.0)),
        ({(5,): 2.0}, 0, ({(5,): 4.0}, 0.0)),
        ({}, 3, ({}, 9.0)),
        ({}, -1.5, ({}, 2.25)),
        # the cross term of (0,) and (1,) lands on the key (0, 1), which is also an input key
        ({(0,): 1, (1,): 1, (0, 1): 1}, 0, ({(0, 1): 3.0, (0, 0, 1): 2, (0,): 1.0, (1, 0, 1): 2, (1,): 1.0}, 0.0)),
    ],
)
def test_square_coeff(coeff, constant, expected):
    out = square_coeff(coeff, constant)
    assert type(out) is tuple and out == expected
    assert list(out[0]) == list(expected[0])
    assert [type(v) for v in out[0].values()] == [type(v) for v in expected[0].values()]


def test_square_coeff_coinciding_keys_accumulate():
    coeff = {(0,): 1.0, (1,): -2.0, (0, 1): 0.5, (1, 0): 3.0}
    squared, const = square_coeff(coeff, 1.5)
    for bits in itertools.product((0, 1), repeat=2):
        assert value(squared, const, bits) == pytest.approx(value(coeff, 1.5, bits) ** 2)


@pytest.mark.parametrize("args", [(None, 1.0), ({(0,): 1}, "x")])
def test_square_coeff_argument_types(args):
    with pytest.raises(TypeError):
        square_coeff(*args)


def test_leaf_returns_encoder_pair_and_power_one_its_operand():
    coeff = {(0,): 1.0}
    pair = higher_tree_to_binary_coeff(leaf(coeff, 2), identity)
    assert pair == (coeff, 2) and pair[0] is coeff
    assert higher_tree_to_binary_coeff(SubsExprPower(leaf(coeff, 2), 1), identity) == (coeff, 2)


@pytest.mark.parametrize("power", [0, -1])
def test_power_below_one(power):
    with pytest.raises(ValueError, match="^power must be at least 1$"):
        higher_tree_to_binary_coeff(SubsExprPower(leaf({(0,): 1.0}), power), identity)


def test_power_three_is_square_times_operand():
    p = ({(0,): 1.0, (1,): 2.0}, 1.0)
    expected = mul_coeff(*square_coeff(*p), *p)
    assert higher_tree_to_binary_coeff(SubsExprPower(leaf(*p), 3), identity) == expected


def test_single_operand_needs_no_combining(monkeypatch):
    def fail(*args):
        raise AssertionError("combined a single operand")

    monkeypatch.setattr(tree_flatten, "add_coeff", fail)
    monkeypatch.setattr(tree_flatten, "mul_coeff", fail)
    for node in (SubsExprAdd, SubsExprMul):
        assert higher_tree_to_binary_coeff(node([leaf({(3,): 2.0}, 1)]), identity) == ({(3,): 2.0}, 1)


def test_power_result_must_be_a_tuple(monkeypatch):
    monkeypatch.setattr(tree_flatten, "mul_coeff", lambda *a: list(mul_coeff(*a)))
    with pytest.raises(TypeError, match="^Expected tuple, got list$"):
        higher_tree_to_binary_coeff(SubsExprPower(leaf({(0,): 1.0}), 3), identity)


def test_unsupported_node():
    with pytest.raises(TypeError, match=r"^<class 'int'> is not supported\.$"):
        higher_tree_to_binary_coeff(3, identity)


def test_leaves_are_encoded_in_order():
    calls = []

    def encoder(coeff, constant):
        calls.append(constant)
        return coeff, constant

    tree = SubsExprMul([leaf({(0,): 1}, 1), SubsExprAdd([leaf({(1,): 1}, 2), SubsExprPower(leaf({(2,): 1}, 3), 2)])])
    higher_tree_to_binary_coeff(tree, encoder)
    assert calls == [1, 2, 3]


def test_flattened_tree_takes_the_tree_value_at_every_binary_assignment():
    a, b, c = ({(0,): 2.0, (1,): -1.0}, 0.5), ({(1, 2): 3.0, (0,): 1.0}, -2.0), ({(2,): 1.5}, 1.0)
    tree = SubsExprAdd(
        [SubsExprMul([leaf(*a), SubsExprPower(leaf(*b), 3)]), SubsExprPower(SubsExprAdd([leaf(*c), leaf(*a)]), 2)]
    )
    coeff, constant = higher_tree_to_binary_coeff(tree, identity)
    assert all(k == tuple(sorted(set(k))) for k in coeff)
    for bits in itertools.product((0, 1), repeat=3):
        va, vb, vc = (value(*p, bits) for p in (a, b, c))
        assert value(coeff, constant, bits) == pytest.approx(va * vb**3 + (vc + va) ** 2)


def test_add_and_mul_coeff_reduce_and_merge():
    assert add_coeff({(1, 0): 1}, 2, {(0, 1): 2, (3,): 1}, 0.5) == ({(0, 1): 3, (3,): 1}, 2.5)
    assert mul_coeff({(0,): 2}, 0, {(0,): 3, (1,): 1}, 1) == ({(0,): 8, (0, 1): 2}, 0)
