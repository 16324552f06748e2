"""Compiles quillon optimisation models against instance data into polynomials."""

from quillon_transpiler.exceptions import SubstituteError

__all__ = ["SubstituteError"]
