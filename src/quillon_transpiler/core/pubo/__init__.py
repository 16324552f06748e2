"""Binary lowering: integer variables encoded by binaries, binary polynomials for solvers."""

import typing as _typ

__all__ = [
    "BinaryModel",
    "PuboModel",
    "QuboArrays",
    "TunedWeights",
    "decode",
    "decode_pubo",
    "to_bqm",
    "to_pubo",
    "to_qubo_arrays",
    "tune_weights",
]


def __getattr__(name: str) -> _typ.Any:
    # resolved on first use, so importing one module of the package loads no other
    if name in ("PuboModel", "decode_pubo", "to_pubo"):
        from quillon_transpiler.core.pubo import route

        return getattr(route, name)
    if name in ("QuboArrays", "to_bqm", "to_qubo_arrays"):
        from quillon_transpiler.core.pubo import arrays

        return getattr(arrays, name)
    if name == "decode":
        from quillon_transpiler.core.pubo.decoding import decode

        return decode
    if name in ("TunedWeights", "tune_weights"):
        from quillon_transpiler.core.pubo import tune

        return getattr(tune, name)
    if name == "BinaryModel":
        from quillon_transpiler.core.pubo.int_encoder import BinaryModel

        return BinaryModel
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
