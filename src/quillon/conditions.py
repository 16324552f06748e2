"""Conditions: comparisons between expressions and their logical combinations."""

from __future__ import annotations

from typing import Any, Iterable, List, Type

from . import expressions as _ex


class Condition:
    """Base of all condition nodes. Conditions hash and compare by identity."""

    def __and__(self, other: Any) -> Condition:
        return _combine(AndOp, self, other)

    def __or__(self, other: Any) -> Condition:
        return _combine(OrOp, self, other)

    def __xor__(self, other: Any) -> Condition:
        return _combine(XorOp, self, other)

    def __bool__(self) -> bool:
        # A condition is symbolic, so `if x == y:` or `a < b and c` would
        # silently test something else; refusing is the only safe answer.
        # Note this also makes `node in some_list` raise for expression nodes
        # (list membership uses ==); use `is`, or a set/dict, which work by
        # identity. Conditions themselves keep identity ==, so they can be
        # looked up in lists.
        raise TypeError(
            f"the condition {self} has no truth value; combine conditions with "
            "&, | and ^ (not and/or), and compare nodes with `is`"
        )

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self})"


class _Comparison(Condition):
    _symbol = ""

    def __init__(self, left: Any, right: Any) -> None:
        self.left = _ex.as_scalar(left, f"left side of {self._symbol}")
        self.right = _ex.as_scalar(right, f"right side of {self._symbol}")

    def __str__(self) -> str:
        return f"({self.left} {self._symbol} {self.right})"


class EqualOp(_Comparison):
    _symbol = "=="


class NotEqualOp(_Comparison):
    _symbol = "!="


class LessThanOp(_Comparison):
    _symbol = "<"


class LessThanEqualOp(_Comparison):
    _symbol = "<="


class GreaterThanOp(_Comparison):
    _symbol = ">"


class GreaterThanEqualOp(_Comparison):
    _symbol = ">="


class _Logical(Condition):
    _symbol = ""

    def __init__(self, terms: Iterable[Any]) -> None:
        terms = list(terms)
        for term in terms:
            if not isinstance(term, Condition):
                raise TypeError(f"operands of {self._symbol} must be conditions, got {_ex._describe(term)}")
        self.terms: List[Condition] = terms

    def __str__(self) -> str:
        return "(" + f" {self._symbol} ".join(map(str, self.terms)) + ")"


class AndOp(_Logical):
    _symbol = "&"


class OrOp(_Logical):
    _symbol = "|"


class XorOp(_Logical):
    _symbol = "^"


def _combine(cls: Type[_Logical], left: Condition, right: Any) -> Condition:
    if not isinstance(right, Condition):
        raise TypeError(f"operands of {cls._symbol} must be conditions, got {_ex._describe(right)}")
    # Flattened on the left only, as for sums: `c1 & c2 & c3` is one AndOp.
    terms = left.terms + [right] if isinstance(left, _Logical) and type(left) is cls else [left, right]
    # `left` is the condition the operator was called on, and its terms were checked when made
    return _ex.made_of(cls, terms)
