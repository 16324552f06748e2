"""The native compile the routes share, and the progress they report.

``to_qubo_arrays`` (and ``to_bqm`` through it) and ``to_cqm`` compile a model with the driver of
``compile_model`` whose polynomials stay in C++: capsules that the binary lowering and the dimod
bridge read in place, so that no Python object is made per term. Once a route has lowered or
exported them, the compiled instance it hands back keeps only what decoding reads.
"""

from __future__ import annotations

import sys
import time
import typing as typ

from quillon_transpiler.core.compile import compile as driver
from quillon_transpiler.core.route_inputs import fixed_copy

if typ.TYPE_CHECKING:
    import quillon as ql
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance

#: progress(stage, item, seconds): stage "compile", "lower" or "export" (and for ``solve``
#: "sample" and "decode"), the item's label ("objective" for the objective, "the model" for a
#: stage run on the whole model), seconds since the call started
Progress = typ.Callable[[str, str, float], None]
#: a route's own report(stage, item), timed from the start of the call
Report = typ.Callable[[str, str], None]


def reporter(progress: Progress | bool | None, start: float | None = None) -> Report | None:
    """The report a route makes of ``progress``: None (print a line per item to stderr once the
    call has run for more than a second), True (print every line), False (silent: no report) or
    a callable told ``(stage, item, seconds)``."""
    if progress is False:
        return None
    begun = time.perf_counter() if start is None else start
    if progress is None or progress is True:
        verbose = progress is True

        def show(stage: str, item: str) -> None:
            seconds = time.perf_counter() - begun
            if verbose or seconds > 1.0:
                verb = {"compile": "compiled", "lower": "lowered", "sample": "sampled", "decode": "decoded"}.get(
                    stage, stage + "ed"
                )
                print(f"quillon_transpiler: {verb} {item} ({seconds:.1f} s)", file=sys.stderr, flush=True)

        return show
    if not callable(progress):
        raise TypeError(f"progress must be a callable, None or a bool, got {progress!r}")
    told = progress
    return lambda stage, item: told(stage, item, time.perf_counter() - begun)


def compile_native(
    problem: ql.Problem,
    instance: dict[str, typ.Any],
    fixed_variables: dict[str, dict[tuple[int, ...], typ.Any]] | None,
    report: Report | None,
) -> CompiledInstance:
    """``compile_model(problem, instance, fixed_variables)`` with every polynomial kept in C++
    (native capsules in place of the objective's, constraints' and penalties' expressions), with
    the same errors, and the caller's fixed values copied first (see ``fixed_copy``); ``report``
    hears ("compile", label) of every item compiled."""
    fixed = fixed_copy(fixed_variables)
    compiled: CompiledInstance = driver._compile_native(problem, instance, fixed, report)
    return compiled


def decodable(compiled: CompiledInstance, *, constraints: bool) -> CompiledInstance:
    """What a native route keeps of its compile once it has lowered or exported the polynomials:
    the registry, data and shapes, and with ``constraints`` the constraints' polynomials as
    expressions (decoding recomputes violations from them). Nothing that looks like the emptied
    or exported polynomials is kept."""
    kept: typ.Any = None
    if constraints:
        kept = driver._native_expressions(compiled.constraint)
    # the record's fields name full polynomials; a native route's record marks them absent
    return compiled.stripped(constraint=kept)
