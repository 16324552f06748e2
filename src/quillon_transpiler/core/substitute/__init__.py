"""Substitution of expression trees into polynomials."""

from quillon_transpiler.core.substitute.subs_poly import SubstitutedExpression

__all__ = ["SubstitutedExpression"]
