"""Compiles quillon optimisation models against instance data into polynomials."""

from quillon_transpiler.exceptions import SubstituteError

__all__ = ["PuboModel", "SubstituteError", "decode_pubo", "to_pubo"]


def __getattr__(name):
    # the binary route loads its extension modules only when it is used
    if name in ("PuboModel", "decode_pubo", "to_pubo"):
        from quillon_transpiler.core.pubo import route

        return getattr(route, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
