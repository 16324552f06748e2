import numpy as np
import pytest
from pubo_helpers import all_assignments, decode_rows, energies

import quillon as ql
from quillon_transpiler import to_pubo
from quillon_transpiler.core import VarRegistry
from quillon_transpiler.core.pubo.binarize import subs_ir_to_binary
from quillon_transpiler.core.pubo.int_encoder import (
    LogEncoder,
    OneHotEncoder,
    UnaryEncoder,
    make_encoder,
)

ENCODERS = [LogEncoder, UnaryEncoder, OneHotEncoder]
RANGES = [(0, 1), (-3, 2), (2, 2), (0, 5), (1, 8), (-7, 0), (0, 16)]


def registry(lower, upper):
    reg = VarRegistry({}, 0, {})
    reg.add_variable(label="b", subscripts=())
    reg.add_int_variable(label="x", subscripts=(0,), lower=lower, upper=upper)
    return reg


@pytest.mark.parametrize("cls", ENCODERS)
@pytest.mark.parametrize("lower, upper", RANGES)
def test_round_trip_and_every_assignment_in_bounds(cls, lower, upper):
    enc = cls(registry(lower, upper))
    assert list(enc.binaries(0)) == [0]
    bits = enc.binaries(1)
    assert enc.num_binaries == 1 + len(bits)
    for value in range(lower, upper + 1):
        sample = enc.encode({1: value})
        assert set(sample) == set(bits)
        assert enc.decode(sample) == {0: 0, 1: value}
    rows = all_assignments(enc.num_binaries)
    values, ok = decode_rows(enc, rows)
    for row, value in zip(rows[ok][:: max(1, ok.sum() // 64)], values[ok][:: max(1, ok.sum() // 64)]):
        assert list(enc.decode(dict(enumerate(row.tolist()))).values()) == value.tolist()
    assert set(values[ok][:, 1].tolist()) == set(range(lower, upper + 1))


@pytest.mark.parametrize(
    "cls, span, coefs",
    [
        (LogEncoder, 5, (1, 2, 2)),
        (LogEncoder, 8, (1, 2, 4, 1)),
        (LogEncoder, 7, (1, 2, 4)),
        (UnaryEncoder, 3, (1, 1, 1)),
    ],
)
def test_coefficients(cls, span, coefs):
    assert cls(registry(-1, span - 1)).coefficients(1) == (-1, coefs)


@pytest.mark.parametrize("cls", ENCODERS)
def test_encoded_polynomials_agree_with_integer_ones(cls, mixed):
    """Every polynomial of the model, encoded, takes the integer polynomial's value at the
    decoded values, at every valid binary assignment."""
    enc = cls(mixed)
    polys = [mixed.objective] + [p for by in (mixed.constraint, mixed.penalty) for d in by.values() for p in d.values()]
    models = [subs_ir_to_binary(p, enc) for p in polys]
    for model in models:
        assert all(key == tuple(sorted(set(key))) for key in model.coeff)
    rows = all_assignments(enc.num_binaries)
    values, ok = decode_rows(enc, rows)
    rows, values = rows[ok], values[ok]
    for poly, model in zip(polys, models):
        expected = energies({}, poly.constant, rows)
        for key, c in poly.coeff.items():
            expected += c * values[:, list(key)].prod(axis=1)
        np.testing.assert_allclose(energies(model.coeff, model.constant, rows), expected)
    for row, value in zip(rows[::7], values[::7]):
        assert list(enc.decode(dict(enumerate(row.tolist()))).values()) == value.tolist()


def test_integer_coefficients_stay_integers(mixed):
    coeff, constant = LogEncoder(mixed)(mixed.constraint["cap"][()].coeff, mixed.constraint["cap"][()].constant)
    assert all(type(v) is int for v in coeff.values()) and constant == -5 and type(constant) is int


@pytest.mark.parametrize(
    "lower, upper, message",
    [(3, 2, "no integer value within its bounds"), (0.2, 0.8, "no integer value"), (0, float("inf"), "unbounded")],
)
def test_bad_bounds(lower, upper, message):
    with pytest.raises(ValueError, match=message):
        LogEncoder(registry(lower, upper))


def test_decode_and_encode_refuse_bad_values():
    enc = LogEncoder(registry(0, 3))
    with pytest.raises(ValueError, match="the binary 1 the value 2"):
        enc.decode({1: 2})
    with pytest.raises(ValueError, match=r"x\[0\] cannot take the value 4: it takes the integers of \[0, 3\]"):
        enc.encode({1: 4})
    assert enc.decode({0: 1.0, 1: True, 2: 0}) == {0: 1, 1: 1}


def test_unknown_encoder_and_unencoded_index():
    with pytest.raises(ValueError, match="unknown encoder 'gray'"):
        make_encoder("gray", registry(0, 1))
    with pytest.raises(ValueError, match="variable index 5 is not encoded"):
        LogEncoder(registry(0, 1))({(5,): 1.0}, 0)


@pytest.mark.parametrize("kind", ["one-hot", "unary"])
def test_a_range_too_large_for_its_encoder_names_the_variable(kind, monkeypatch):
    """A binary per value of a range of 10**8: memory runs out building the codes, and the
    error says which variable and what to use instead (CPython's own MemoryError says nothing)."""
    cls = {"one-hot": OneHotEncoder, "unary": UnaryEncoder}[kind]

    def exhausted(self, span):
        raise MemoryError

    monkeypatch.setattr(cls, "scheme", exhausted)
    with pytest.raises(MemoryError, match=r"encoding integer variable y, which takes 100000001 values.*encoder=.log"):
        to_pubo(*one_integer(0, 10**8), encoder=kind)


def one_integer(lower, upper):
    problem = ql.Problem("p")
    problem += ql.IntegerVar("y", lower_bound=lower, upper_bound=upper)
    return problem, {}
