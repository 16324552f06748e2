"""Native code that unpacks pairs and re-raises errors follows Python's own rules."""

import pytest

import quillon as ql
import quillon_transpiler.core.substitute.subs_lowering as lw
from quillon_transpiler.core.pubo.binarize import subs_ir_to_binary
from quillon_transpiler.core.pubo.tree_flatten import higher_tree_to_binary_coeff
from quillon_transpiler.core.substitute.higher_subsititute import SubsExprNode
from quillon_transpiler.core.substitute.subs_poly import SubstitutedExpression
from quillon_transpiler.exceptions import SubstituteError


class FailingIter:
    def __iter__(self):
        raise RuntimeError("no items today")


def flatten(monkeypatch, result):
    leaf = SubsExprNode(SubstitutedExpression({(0,): 1}, 0, 1))
    return higher_tree_to_binary_coeff(leaf, lambda coeff, constant: result)


def binarize(monkeypatch, result):
    return subs_ir_to_binary(SubstitutedExpression({(0,): 1}, 0, 1), lambda coeff, constant: result)


def lower_child(monkeypatch, result):
    monkeypatch.setattr(lw, "convert_to_substitutable", lambda expr, el_map: result)
    return lw._convert_to_substitutable(ql.Placeholder("N") + 1, {})


@pytest.mark.parametrize("site", [flatten, binarize, lower_child])
@pytest.mark.parametrize(
    "result, error, message",
    [
        (lambda: iter([{}]), ValueError, "not enough values to unpack (expected 2, got 1)"),
        (lambda: iter([{}, 0, 0]), ValueError, "too many values to unpack (expected 2)"),
        (lambda: [{}, 0, 0, 0], ValueError, "too many values to unpack (expected 2)"),
        (lambda: 5, TypeError, "cannot unpack non-iterable int object"),
        # an iterable whose __iter__ fails keeps its own error, as `a, b = value` does
        (FailingIter, RuntimeError, "no items today"),
    ],
)
def test_pairs_unpack_like_python(monkeypatch, site, result, error, message):
    with pytest.raises(error) as info:
        site(monkeypatch, result())
    assert str(info.value) == message


def test_prefixed_lowering_error_keeps_its_context_inside_an_outer_except(monkeypatch):
    def fail(expr, el_map):
        raise SubstituteError("inner failure")

    monkeypatch.setattr(lw, "_convert_to_substitutable", fail)
    expr = ql.Placeholder("N") + 1
    try:
        raise KeyError("handled by the caller")
    except KeyError:
        with pytest.raises(SubstituteError) as info:
            lw.convert_to_substitutable(expr, {})
    inner = info.value.__context__
    # the error the prefix was made from, not the one the caller happens to be handling
    assert isinstance(inner, SubstituteError) and str(inner) == "inner failure"
    assert str(info.value) == str(expr) + " -> inner failure"
    assert info.value.__cause__ is None
