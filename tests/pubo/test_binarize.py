import pytest

from quillon_transpiler.core.pubo.binarize import binary_multiply_reduction, subs_ir_to_binary
from quillon_transpiler.core.pubo.int_encoder import BinaryModel
from quillon_transpiler.core.substitute import SubstitutedExpression


class SubDict(dict):
    pass


@pytest.mark.parametrize(
    "coeff, expected",
    [
        ({(3, 1, 3): 2.0}, {(1, 3): 2.0}),
        ({(1, 2): 1.0, (2, 1): 2.0, (2, 2, 1): 0.5}, {(1, 2): 3.5}),
        ({(0,): 1.0, (0, 0): -1.0}, {(0,): 0.0}),
        ({(): 5}, {(): 5.0}),
        ({}, {}),
        ({(2,): 1, (1,): 1}, {(2,): 1.0, (1,): 1.0}),
        # already reduced keys (copied): ints and -0.0 still become value + 0.0
        ({(0, 1): 3, (2,): -0.0, (1, 5): 2.5}, {(0, 1): 3.0, (2,): 0.0, (1, 5): 2.5}),
        ({(5, 1): 1, (1, 5): 2, (9,): 3}, {(1, 5): 3.0, (9,): 3.0}),
    ],
)
def test_reduction(coeff, expected):
    out = binary_multiply_reduction(coeff)
    assert list(out.items()) == list(expected.items())
    assert all(type(v) is float for v in out.values())
    if (2,) in out and not out[(2,)]:
        assert str(out[(2,)]) == "0.0"  # not -0.0


@pytest.mark.parametrize("bad", [SubDict({(0,): 1.0}), None, [((0,), 1.0)]])
def test_reduction_takes_exactly_a_dict(bad):
    with pytest.raises(TypeError, match=r"^Argument 'coeff' has incorrect type \(expected dict, got "):
        binary_multiply_reduction(bad)


def test_subs_ir_to_binary_passes_map_and_constant_through_encoder():
    poly = SubstitutedExpression({(0, 0): 2, (1, 0): 1}, 7, 2)
    seen = []

    def encoder(coeff, constant):
        seen.append((coeff, constant))
        return {(k[0] + 10, k[1] + 10): v for k, v in coeff.items()}, constant

    model = subs_ir_to_binary(encoder=encoder, subs_ir=poly)
    assert seen == [(poly.coeff, 7)] and seen[0][0] is poly.coeff
    assert isinstance(model, BinaryModel)
    assert model == BinaryModel({(10,): 2.0, (10, 11): 1.0}, 7)


@pytest.mark.parametrize(
    "result, error, message",
    [
        (({}, 0, 1), ValueError, r"too many values to unpack \(expected 2\)"),
        (({},), ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
        ((SubDict(), 0), TypeError, r"Argument 'coeff' has incorrect type \(expected dict, got SubDict\)"),
        (5, TypeError, r"cannot unpack non-iterable int object"),
    ],
)
def test_subs_ir_to_binary_encoder_results(result, error, message):
    with pytest.raises(error, match=message):
        subs_ir_to_binary(SubstitutedExpression({(0,): 1}, 0, 1), lambda c, k: result)
