from __future__ import annotations

import typing as typ

from quillon_transpiler.core.instance_data import InstanceData
from quillon_transpiler.core.substitute import substitutable_expr as subs_expr

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.
    Forall = list[tuple[subs_expr.Element, subs_expr.SubstitutableCondition]]

    def _unroll(forall: Forall, data: InstanceData) -> list[list[int]]: ...

    # _unroll, the levels read once and kept in `store` (a model's kept entry) under `key`
    def _unroll_kept(
        forall: Forall, data: InstanceData, store: dict[typ.Any, typ.Any], key: typ.Any
    ) -> list[list[int]]: ...

    # Appends to `expanded_values` the assignments of the levels from `depth` on.
    def _unroll_level(
        forall: Forall, data: InstanceData, depth: int, expanded_values: list[list[int]], indices: list[int]
    ) -> None: ...


def unroll_forall(
    forall: list[tuple[subs_expr.Element, subs_expr.SubstitutableCondition]], data: InstanceData
) -> list[list[int]]:
    """The index assignments of a forall list.

    Each assignment holds one value per level, outer level first; the assignments come in
    depth-first, outer-level-major order, each level's values in the order its element yields
    them, and only where every level's condition holds. The values tried are left bound in
    ``data.indices``. An empty forall list gives one empty assignment.

    Raises:
        SubstituteError: "in forall: " and the error met evaluating a range or condition.
    """
    return _unroll(forall, data)


def _unroll_forall(
    forall: list[tuple[subs_expr.Element, subs_expr.SubstitutableCondition]],
    data: InstanceData,
    depth: int = 0,
    expanded_values: list[list[int]] = [],  # noqa: B006 - kept as the interface has it
    indices: list[int] = [],  # noqa: B006 - likewise; replaced at depth 0
) -> None:
    """Appends to ``expanded_values`` the assignments of the levels from ``depth`` on.

    ``indices`` holds the values chosen for the outer levels; at depth 0 a new list is used.
    Callers pass their own ``expanded_values``: what lands in the default list is unreachable.
    """
    return _unroll_level(forall, data, depth, expanded_values, indices)
