"""A model straight to a dimod constrained quadratic model, without a Python object per term.

``to_cqm`` compiles with the native compile (the driver of ``compile_model``, every polynomial
kept in C++) and builds the model with the bridge's own folding, which reads those polynomials
in place; the result is the builder ``transpile_dimod_bridge_cqm(compile_model(...))`` gives,
with the same model, objective and penalties.
"""

from __future__ import annotations

import dataclasses
import time
import typing as typ

from quillon_transpiler.core.pubo.arrays import Progress, _reporter

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
            fixed variables given with a compiled instance.
        ValueError: as ``transpile_dimod_bridge_cqm`` (integer bounds, numbers that are not finite).
    """
    from quillon_transpiler.core.compile.compile import _compile_native, _native_expression
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance
    from quillon_transpiler.core.dimod import dimod_bridge

    if isinstance(problem, CompiledInstance):
        if instance is not None or fixed_variables is not None:
            raise TypeError(
                "to_cqm was given a compiled instance together with instance data or fixed variables; the "
                "compiled instance already holds both: call to_cqm(compiled) alone, or to_cqm(problem, instance, "
                "fixed_variables) with the quillon Problem"
            )
        return dimod_bridge.transpile_dimod_bridge_cqm(problem)

    report = _reporter(progress, time.perf_counter())
    compiled = _compile_native(problem, instance, fixed_variables, report)
    models = dimod_bridge._transpile(compiled)
    if report is not None:
        report("export", "the model")
    # decoding recomputes violations from the constraints' polynomials
    constraint = {
        label: {key: _native_expression(poly) for key, poly in by_key.items()}
        for label, by_key in compiled.constraint.items()
    }
    compiled = dataclasses.replace(compiled, objective=None, constraint=constraint, penalty=None)
    return dimod_bridge._builder(compiled, models)
