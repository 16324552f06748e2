"""Compiles quillon optimisation models against instance data into polynomials."""

from quillon_transpiler.exceptions import SubstituteError

__all__ = [
    "PuboModel",
    "QuboArrays",
    "SubstituteError",
    "decode_pubo",
    "to_bqm",
    "to_cqm",
    "to_pubo",
    "to_qubo_arrays",
]


def __getattr__(name):
    # the binary route loads its extension modules only when it is used
    if name in ("PuboModel", "decode_pubo", "to_pubo"):
        from quillon_transpiler.core.pubo import route

        return getattr(route, name)
    if name in ("QuboArrays", "to_bqm", "to_qubo_arrays"):
        from quillon_transpiler.core.pubo import arrays

        return getattr(arrays, name)
    if name == "to_cqm":
        from quillon_transpiler.core.dimod.cqm_route import to_cqm

        return to_cqm
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
