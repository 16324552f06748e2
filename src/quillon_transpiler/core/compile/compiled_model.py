"""The result of compiling a problem against an instance."""

from __future__ import annotations

import dataclasses
import typing as typ

from quillon_transpiler.core.compile.convert_to_substitutable import Problem, ProblemSense
from quillon_transpiler.core.instance_data import InstanceData
from quillon_transpiler.core.records import replaced
from quillon_transpiler.core.substitute import SubstitutedExpression
from quillon_transpiler.core.var_registry import VarRegistry


@dataclasses.dataclass
class CompiledInstance:
    """A problem instantiated against its data.

    ``constraint`` and ``penalty`` map a label to the polynomial of every forall assignment,
    keyed by the tuple of the assignment's values (``()`` without forall); pinning constraints
    are absent from ``constraint`` and appear as fixed variables in ``data``. All polynomials
    index their variables through ``var_map``; ``deci_var_shape`` holds the evaluated shape of
    every decision variable (None for an unknown dimension).
    """

    sense: ProblemSense
    objective: SubstitutedExpression
    constraint: dict[str, dict[tuple[int, ...], SubstitutedExpression]]
    penalty: dict[str, dict[tuple[int, ...], SubstitutedExpression]]
    var_map: VarRegistry
    data: InstanceData
    problem: Problem
    deci_var_shape: dict[str, tuple[int | None, ...]]

    def stripped(self, objective: typ.Any = None, constraint: typ.Any = None) -> CompiledInstance:
        """The record with only the given polynomials (None marks the others absent), as a
        native route keeps it once it has consumed them; the rest is shared."""
        return replaced(self, objective=objective, constraint=constraint, penalty=None)


# Not a field: equality and the constructor stay the fields'. compile_model's instance data
# holds the caller's own fixed-variables dict, which callers fill again for the next instance;
# the values an instance was compiled with are kept here, for its lowerings and decodings.
_FIXED_AT_COMPILE = "_fixed_at_compile"


def keep_fixed_values(compiled: CompiledInstance) -> CompiledInstance:
    """``compiled`` with a copy of the fixed values it was compiled with kept apart from its
    instance data's map (the caller's dict, which may change after the compile)."""
    compiled.__dict__[_FIXED_AT_COMPILE] = fixed_values(compiled)
    return compiled


def fixed_values(compiled: CompiledInstance) -> dict[str, dict[tuple[int, ...], typ.Any]]:
    """A copy of the fixed values (label -> subscripts -> value) ``compiled`` was compiled with:
    those kept by ``keep_fixed_values``, else its instance data's."""
    fixed = compiled.__dict__.get(_FIXED_AT_COMPILE)
    if fixed is None:
        fixed = compiled.data.fixed_variables or {}
    return {label: dict(by_subscripts) for label, by_subscripts in fixed.items()}


def broken_pins(compiled: CompiledInstance) -> dict[str, float]:
    """The pinning constraints no assignment satisfies, by label, with how far their pins are
    from holding: a pin to a value its variable cannot take (out of its bounds, not integral,
    a binary's 2), or against a value fixed before it. The compile fixes the variable as pinned
    and leaves the constraint out of the model, as for any pin; decoding reports the constraint
    violated by that much in every sample, so that no sample passes for feasible."""
    return dict(compiled.__dict__.get("_broken_pins") or {})
