from __future__ import annotations

import typing as typ

from quillon_transpiler.core import CompiledInstance
from quillon_transpiler.core.decode.evaluate import calc_expr as calc_expr
from quillon_transpiler.core.route_inputs import check_polynomials

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.
    def _eval_energy(
        var_value: dict[str, dict[tuple[int, ...], float]], compiled_instance: CompiledInstance
    ) -> float: ...


def eval_energy(var_value: dict[str, dict[tuple[int, ...], float]], compiled_instance: CompiledInstance) -> float:
    """The energy of a compiled instance for the given variable values.

    The energy is the objective plus the square of every constraint number plus every
    custom-penalty number, each with weight 1, as ``calc_expr`` reports them.

    Args:
        var_value (dict[str, dict[tuple[int, ...], float]]): value by decision-variable label and
            subscripts; only registered elements may be named (fixed elements are not).
        compiled_instance (CompiledInstance): the compiled instance to evaluate.

    Returns:
        float: the energy.
    """
    check_polynomials(compiled_instance, "eval_energy")
    return _eval_energy(var_value, compiled_instance)
