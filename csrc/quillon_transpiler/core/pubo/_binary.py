"""The encoding table's natives and the combining of binary coefficient maps.

Private: ``int_encoder`` builds, expands and decodes through these; ``higher_subsititute`` adds
and multiplies binary polynomials with them. This module imports neither, so both import it at
the top.
"""

from __future__ import annotations

import typing as typ

if typ.TYPE_CHECKING:
    from quillon_transpiler.core.pubo.int_encoder import VariableEncoding

#: An encoder's table of every variable's binaries: an opaque object the natives read.
EncodingTable = typ.NewType("EncodingTable", object)

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.
    def _encoding_table(num_variables: int, encodings: dict[int, VariableEncoding]) -> EncodingTable: ...
    def _table_size(table: EncodingTable) -> int: ...
    def _expand(
        table: EncodingTable, coeff: dict[tuple[int, ...], float], constant: float
    ) -> tuple[dict[tuple[int, ...], float], float]: ...
    def _decode(
        table: EncodingTable, sample: typ.Any, nbin: int, labels: typ.Optional[dict[typ.Any, int]]
    ) -> dict[int, int]: ...
    def _sample_bits(
        table: EncodingTable, sample: typ.Any, nbin: int, labels: typ.Optional[dict[typ.Any, int]]
    ) -> bytes: ...
    def _add_coeff(
        coeff: dict[tuple[int, ...], float],
        constant: float,
        other_coeff: dict[tuple[int, ...], float],
        other_constant: float,
    ) -> tuple[dict[tuple[int, ...], float], float]: ...
    def _mul_coeff(
        coeff: dict[tuple[int, ...], float],
        constant: float,
        other_coeff: dict[tuple[int, ...], float],
        other_constant: float,
    ) -> tuple[dict[tuple[int, ...], float], float]: ...
