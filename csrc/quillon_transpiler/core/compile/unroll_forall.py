from __future__ import annotations


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
    expanded_values: list[list[int]] = [],
    indices: list[int] = [],
) -> None:
    """Appends to ``expanded_values`` the assignments of the levels from ``depth`` on.

    ``indices`` holds the values chosen for the outer levels; at depth 0 a new list is used.
    Callers pass their own ``expanded_values``: what lands in the default list is unreachable.
    """
    return _unroll_level(forall, data, depth, expanded_values, indices)
