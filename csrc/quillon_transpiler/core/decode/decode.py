from __future__ import annotations

import typing as typ

import quillon as ql
from quillon_transpiler.core.compile import CompiledInstance

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.
    def _dict_to_record(
        results: typ.Iterable[dict[int, int | float]], compiled_model: CompiledInstance
    ) -> ql.Record: ...
    def _record(
        results: typ.Iterable[typ.Mapping[int, typ.Any]],
        registry: dict[str, dict[tuple[int, ...], int]],
        fixed_variables: typ.Optional[typ.Mapping[str, typ.Mapping[tuple[int, ...], typ.Any]]],
        shapes: dict[str, tuple[typ.Optional[int], ...]],
    ) -> ql.Record: ...


def dict_to_record(results: typ.Iterable[dict[int, int | float]], compiled_model: CompiledInstance) -> ql.Record:
    """convert to ql.Record from dict result

    Every label of the registry is reported, in registry order, then every label that carries
    fixed values without being registered (all of its elements fixed), in the order of the
    fixed-variables map. Within a sample, the solver's non-zero values come first, in
    registration order, then the non-zero fixed values.

    Args:
        results (typ.Iterable[dict[int, int | float]]): dict result
        compiled_model (CompiledInstance): compiled_model to get var_map and fixed_variables.

    Returns:
        ql.Record: converted record.
    """
    return _dict_to_record(results, compiled_model)
