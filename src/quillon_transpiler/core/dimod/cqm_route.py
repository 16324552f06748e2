"""A model straight to a dimod constrained quadratic model, without a Python object per term.

``to_cqm`` compiles with the native compile (the driver of ``compile_model``, every polynomial
kept in C++) and builds the model with the bridge's own folding, which reads those polynomials
in place; the result is the builder ``transpile_dimod_bridge_cqm(compile_model(...))`` gives,
with the same model, objective and penalties.
"""

from __future__ import annotations

import time
import typing as typ

from quillon_transpiler.core.native_compile import Progress, compile_native, decodable, reporter
from quillon_transpiler.core.route_inputs import given_compiled

if typ.TYPE_CHECKING:
    import quillon as ql
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance
    from quillon_transpiler.core.dimod.dimod_bridge import DimodBuilder


def to_cqm(
    problem: ql.Problem | CompiledInstance,
    instance: dict[str, typ.Any] | None = None,
    fixed_variables: dict[str, dict[tuple[int, ...], float]] | None = None,
    *,
    progress: Progress | bool | None = None,
) -> DimodBuilder:
    """The dimod builder of ``transpile_dimod_bridge_cqm(compile_model(problem, instance, fixed_variables))``.

    The model, objective and penalties are the same; only the route differs. The builder's
    ``compiled_model`` keeps what decoding needs (registry, data, shapes and the constraints'
    polynomials); its objective and penalties are None, as they live in the dimod models.

    Given a compiled instance (and no instance data, which it already holds) it is
    ``transpile_dimod_bridge_cqm(problem)``.

    Args:
        progress: a callable ``progress(stage, item, seconds)`` told of every item compiled
            (stage "compile") and exported (stage "export"); None (the default) prints a line
            per item to stderr once the call has run for more than a second; False is silent.

    Raises:
        SubstituteError: as ``compile_model``.
        TypeError: as ``transpile_dimod_bridge_cqm`` (a term of degree above two); instance data or
            fixed variables given with a compiled instance, or none with a problem.
        ValueError: as ``transpile_dimod_bridge_cqm`` (integer bounds, numbers that are not finite,
            ints that a float64 cannot hold exactly).
    """
    from quillon_transpiler.core.dimod import dimod_bridge

    report = reporter(progress, time.perf_counter())
    compiled = given_compiled("to_cqm", problem, instance, fixed_variables)
    if compiled is not None:
        return dimod_bridge.transpile_dimod_bridge_cqm(compiled)
    compiled = compile_native(typ.cast("ql.Problem", problem), typ.cast(dict, instance), fixed_variables, report)
    models = dimod_bridge._transpile(compiled)
    if report is not None:
        report("export", "the model")
    # decoding recomputes violations from the constraints' polynomials
    return dimod_bridge._builder(decodable(compiled, constraints=True), models)
