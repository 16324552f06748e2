"""Compiles quillon optimisation models against instance data into polynomials.

The front door: ``compile_model`` (a model and its data to polynomials), and the routes to
solvers, each taking a quillon problem with its instance data or a compiled instance:
``to_pubo`` (a binary polynomial as a dict), ``to_qubo_arrays`` (the same in NumPy arrays),
``to_bqm`` (a dimod BinaryQuadraticModel) and ``to_cqm`` (a dimod constrained quadratic model);
``decode`` reads a sampler's answer back as a quillon SampleSet (objective, violations,
feasibility), ``decode_pubo`` binary samples as a bare record;
``tune_weights`` tunes constraint weights with a sampler.
"""

import typing as _typ

from quillon_transpiler.exceptions import SubstituteError

if _typ.TYPE_CHECKING:  # type checkers see the names that __getattr__ resolves at run time
    from quillon_transpiler.core.compile.compile import compile_model
    from quillon_transpiler.core.dimod.cqm_route import to_cqm
    from quillon_transpiler.core.pubo.arrays import QuboArrays, to_bqm, to_qubo_arrays
    from quillon_transpiler.core.pubo.decoding import decode
    from quillon_transpiler.core.pubo.route import PuboModel, decode_pubo, to_pubo
    from quillon_transpiler.core.pubo.tune import TunedWeights, tune_weights

__all__ = [
    "PuboModel",
    "QuboArrays",
    "SubstituteError",
    "TunedWeights",
    "compile_model",
    "decode",
    "decode_pubo",
    "to_bqm",
    "to_cqm",
    "to_pubo",
    "to_qubo_arrays",
    "tune_weights",
]


def __getattr__(name: str) -> _typ.Any:
    # the compile and the routes load their extension modules only when they are used
    if name == "compile_model":
        from quillon_transpiler.core.compile.compile import compile_model

        return compile_model
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
    if name == "to_cqm":
        from quillon_transpiler.core.dimod.cqm_route import to_cqm

        return to_cqm
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
