"""Encodings of integer decision variables by binary variables.

An encoder writes every variable of a registry as offset + sum(coefficient * binary): a binary
decision variable as one binary of its own, an integer variable with bounds [lower, upper] after
the encoder's scheme. Binaries are numbered variable by variable in variable-index order, so a
model without integer variables keeps its indices. Called with a polynomial's (coefficient map,
constant), an encoder returns the polynomial over the binaries, every product reduced by
b * b = b; ``decode`` turns a binary sample back into a value per variable index.
"""

from __future__ import annotations

import dataclasses
import itertools
import math
import typing as typ

from quillon_transpiler.core.var_registry import VarRegistry


@dataclasses.dataclass
class BinaryModel:
    """A polynomial over binary variables: monomial key to coefficient, and the constant."""

    coeff: dict[tuple[int, ...], float]
    constant: float


class IntegerEncoder:
    """Base of the encoders; subclasses give the scheme for an integer range.

    Built from a ``VarRegistry`` or from a compiled instance (its ``var_map``).
    """

    #: whether the binaries of one integer variable must hold exactly one 1
    onehot = False

    def __init__(self, registry: typ.Any) -> None:
        if not isinstance(registry, VarRegistry):
            registry = registry.var_map
        self.num_variables: int = registry.var_num
        self._specs: dict[int, tuple] = {}
        for label, bounds in registry.integer_bound.items():
            indices = registry.var_map.get(label, {})
            for subs, bound in bounds.items():
                if subs not in indices:
                    continue
                name = f"{label}{list(subs)}" if subs else label
                lower = _integer_bound(bound.lower, False, name)
                upper = _integer_bound(bound.upper, True, name)
                if upper < lower:
                    raise ValueError(
                        f"Integer variable {name} has no integer value within its bounds "
                        f"[{bound.lower}, {bound.upper}]; check the bounds in the instance data."
                    )
                coefs = tuple(self.scheme(upper - lower)) if upper > lower else ()
                self._specs[indices[subs]] = (lower, coefs, lower, upper, self.onehot and bool(coefs))
        from quillon_transpiler.core.pubo import binarize

        self._table = binarize._encoding_table(self.num_variables, self._specs)
        self._starts: list[int] | None = None

    def scheme(self, span: int) -> list[int]:
        """Coefficients of the binaries of a variable taking lower + 0 .. lower + span (span >= 1)."""
        raise NotImplementedError

    def bits_for(self, value: int, coefs: tuple[int, ...]) -> list[int]:
        """The binaries' values giving ``value`` (0 <= value <= span): greedy, largest last binary first."""
        bits = [0] * len(coefs)
        for position in reversed(range(len(coefs))):
            if coefs[position] <= value:
                bits[position] = 1
                value -= coefs[position]
        return bits

    @property
    def num_binaries(self) -> int:
        """Binaries used by the variables."""
        from quillon_transpiler.core.pubo import binarize

        return binarize._table_size(self._table)

    def binaries(self, index: int) -> range:
        """The binary indices of variable ``index``."""
        if self._starts is None:
            counts = (len(self._specs[i][1]) if i in self._specs else 1 for i in range(self.num_variables))
            self._starts = [0, *itertools.accumulate(counts)]
        return range(self._starts[index], self._starts[index + 1])

    def coefficients(self, index: int) -> tuple[int, tuple[int, ...]]:
        """(offset, coefficients): variable ``index`` is offset + sum(coefficient * binary)."""
        spec = self._specs.get(index)
        return (0, (1,)) if spec is None else (spec[0], spec[1])

    def bounds(self, index: int) -> tuple[int, int]:
        spec = self._specs.get(index)
        return (0, 1) if spec is None else (spec[2], spec[3])

    def __call__(
        self, coeff: dict[tuple[int, ...], float], constant: float
    ) -> tuple[dict[tuple[int, ...], float], float]:
        """The polynomial over the binaries; keys sorted and distinct, the empty key folded into the constant."""
        from quillon_transpiler.core.pubo import binarize

        return binarize._expand(self._table, coeff, constant)

    def decode(self, sample: typ.Mapping[int, int]) -> dict[int, int]:
        """Variable index to value for a binary sample (binary index to 0 or 1, missing = 0).

        A one-hot group that breaks the rule decodes to the value its polynomial takes.
        """
        from quillon_transpiler.core.pubo import binarize

        return binarize._decode(self._table, sample)

    def encode(self, values: typ.Mapping[int, int]) -> dict[int, int]:
        """A binary assignment of the given variables (variable index to value within its bounds)."""
        out = {}
        for index, value in values.items():
            lower, upper = self.bounds(index)
            if value != int(value) or not lower <= value <= upper:
                raise ValueError(f"variable {index} cannot take the value {value}: its range is [{lower}, {upper}]")
            offset, coefs = self.coefficients(index)
            out.update(zip(self.binaries(index), self.bits_for(int(value) - offset, coefs)))
        return out


class LogEncoder(IntegerEncoder):
    """Binary (logarithmic) encoding: coefficients 1, 2, 4, ... with the last one capped so
    that every assignment of the binaries stays within the bounds."""

    def scheme(self, span: int) -> list[int]:
        k = span.bit_length()
        return [1 << i for i in range(k - 1)] + [span - (1 << (k - 1)) + 1]


class UnaryEncoder(IntegerEncoder):
    """Unary encoding: the value is lower plus the number of binaries set."""

    def scheme(self, span: int) -> list[int]:
        return [1] * span


class OneHotEncoder(IntegerEncoder):
    """One-hot encoding: one binary per value, exactly one of them set."""

    onehot = True

    def scheme(self, span: int) -> list[int]:
        return list(range(span + 1))

    def bits_for(self, value: int, coefs: tuple[int, ...]) -> list[int]:
        return [int(c == value) for c in coefs]


ENCODERS: dict[str, type] = {
    "log": LogEncoder,
    "binary": LogEncoder,
    "unary": UnaryEncoder,
    "one-hot": OneHotEncoder,
    "onehot": OneHotEncoder,
}


def make_encoder(kind: str, registry: typ.Any) -> IntegerEncoder:
    """The encoder named ``kind`` ("log" or "binary", "unary", "one-hot") for a registry or compiled instance."""
    try:
        cls = ENCODERS[kind]
    except (KeyError, TypeError):
        raise ValueError(f"unknown encoder {kind!r}; choose one of {sorted(ENCODERS)}") from None
    return cls(registry)


def _integer_bound(value: typ.Any, upper: bool, name: str) -> int:
    if hasattr(value, "item") and getattr(value, "ndim", 0) == 0:
        value = value.item()  # NumPy scalars and zero-dimensional arrays
    if isinstance(value, int):
        return int(value)
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"Integer variable {name} has the non-numeric bound {value!r}") from None
    if not math.isfinite(number):
        raise ValueError(f"Integer variable {name} has the unbounded bound {value!r}; binaries need finite bounds")
    return math.floor(value) if upper else math.ceil(value)
