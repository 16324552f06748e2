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
import numbers
import typing as typ

from quillon_transpiler.core.pubo import _binary
from quillon_transpiler.core.var_registry import VarRegistry


@dataclasses.dataclass
class BinaryModel:
    """A polynomial over binary variables: monomial key to coefficient, and the constant."""

    coeff: dict[tuple[int, ...], float]
    constant: float


@dataclasses.dataclass(frozen=True)
class VariableEncoding:
    """An integer variable as ``offset + sum(coefficients[k] * binary k)``, taking the integers of
    [lower, upper]; ``onehot``: exactly one of its binaries is 1."""

    offset: int
    coefficients: tuple[int, ...]
    lower: int
    upper: int
    onehot: bool


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
        self._registry = registry  # for the names of variables in messages
        self._encodings: dict[int, VariableEncoding] = {}
        for index, (lower, upper) in integer_bounds(registry).items():
            try:
                coefs = tuple(self.scheme(upper - lower)) if upper > lower else ()
            except MemoryError:  # a binary per value (or per unit) of a huge range
                raise MemoryError(
                    f"out of memory encoding integer variable {variable_name(registry, index)}, which takes "
                    f"{upper - lower + 1} values, with {type(self).__name__}: give it a smaller range, or use "
                    'encoder="log" (a binary per power of two)'
                ) from None
            self._encodings[index] = VariableEncoding(lower, coefs, lower, upper, self.onehot and bool(coefs))
        self._table = _binary._encoding_table(self.num_variables, self._encodings)
        self._starts: list[int] | None = None

    def check_registry(self, registry: typ.Any) -> None:
        """Raises ValueError unless this encoder encodes the variables of ``registry`` (or of a
        compiled instance) with their bounds: an encoder of another instance of the same model
        would read values outside this instance's bounds, or miss some of them."""
        if not isinstance(registry, VarRegistry):
            registry = registry.var_map
        hint = "build the encoder from this compiled instance (make_encoder(kind, compiled))"
        if registry.var_num != self.num_variables:
            raise ValueError(
                f"the encoder encodes {self.num_variables} variables, this compiled instance has "
                f"{registry.var_num}: it was built for another instance; {hint}"
            )
        expected = integer_bounds(registry)
        for index in sorted(set(expected) | set(self._encodings)):
            mine = self.bounds(index)
            theirs = expected.get(index, (0, 1))
            if mine != theirs or (index in expected) != (index in self._encodings):
                name = variable_name(registry, index)
                raise ValueError(
                    f"the encoder was built for another instance: variable {name} takes [{mine[0]}, {mine[1]}] "
                    f"in the encoder but [{theirs[0]}, {theirs[1]}] in this compiled instance; {hint}"
                )

    def scheme(self, span: int) -> list[int]:
        """Coefficients of the binaries of a variable taking lower + 0 .. lower + span (span >= 1)."""
        raise NotImplementedError

    # The table is a native capsule, which cannot be pickled: an encoder travels as its
    # encodings (and registry) and builds the table again where it is loaded.
    def __getstate__(self) -> dict[str, typ.Any]:
        state = self.__dict__.copy()
        del state["_table"]
        state["_starts"] = None
        return state

    def __setstate__(self, state: dict[str, typ.Any]) -> None:
        self.__dict__.update(state)
        self._table = _binary._encoding_table(self.num_variables, self._encodings)

    def __eq__(self, other: object) -> bool:
        """Encoders are equal when they write the same variables with the same binaries."""
        if type(other) is not type(self):
            return NotImplemented
        assert isinstance(other, IntegerEncoder)
        return self.num_variables == other.num_variables and self._encodings == other._encodings

    def __hash__(self) -> int:
        return hash((type(self), self.num_variables, len(self._encodings)))

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
        return _binary._table_size(self._table)

    def binaries(self, index: int) -> range:
        """The binary indices of variable ``index``."""
        if self._starts is None:
            encodings = self._encodings
            counts = (len(encodings[i].coefficients) if i in encodings else 1 for i in range(self.num_variables))
            self._starts = [0, *itertools.accumulate(counts)]
        return range(self._starts[index], self._starts[index + 1])

    def coefficients(self, index: int) -> tuple[int, tuple[int, ...]]:
        """(offset, coefficients): variable ``index`` is offset + sum(coefficient * binary)."""
        encoding = self._encodings.get(index)
        return (0, (1,)) if encoding is None else (encoding.offset, encoding.coefficients)

    def bounds(self, index: int) -> tuple[int, int]:
        encoding = self._encodings.get(index)
        return (0, 1) if encoding is None else (encoding.lower, encoding.upper)

    def __call__(
        self, coeff: dict[tuple[int, ...], float], constant: float
    ) -> tuple[dict[tuple[int, ...], float], float]:
        """The polynomial over the binaries; keys sorted and distinct, the empty key folded into the constant."""
        return _binary._expand(self._table, coeff, constant)

    def decode(self, sample: typ.Mapping[int, int]) -> dict[int, int]:
        """Variable index to value for a binary sample (binary index to 0 or 1, missing = 0).

        A one-hot group that breaks the rule decodes to the value its polynomial takes.
        """
        return _binary._decode(self._table, sample, -1, None)

    def encode(self, values: typ.Mapping[int, int]) -> dict[int, int]:
        """A binary assignment of the given variables (variable index to value within its bounds)."""
        out: dict[int, int] = {}
        for index, value in values.items():
            known = isinstance(index, numbers.Integral) and not isinstance(index, bool)
            if not known or not 0 <= index < self.num_variables:
                raise ValueError(f"{index!r} is no variable index of this encoder (0 to {self.num_variables - 1})")
            lower, upper = self.bounds(index)
            if not isinstance(value, numbers.Real):
                name = variable_name(self._registry, index)
                raise TypeError(f"variable {name} needs an integer value, got {value!r}")
            if not (math.isfinite(value) and value == int(value)) or not lower <= value <= upper:
                name = variable_name(self._registry, index)
                raise ValueError(
                    f"variable {name} cannot take the value {value!r}: it takes the integers of [{lower}, {upper}]"
                )
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


ENCODERS: dict[str, type[IntegerEncoder]] = {
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


def integer_bounds(registry: VarRegistry) -> dict[int, tuple[int, int]]:
    """Variable index -> (lower, upper) of every registered integer variable, rounded inward to
    integers; ValueError naming the variable for bounds that are not numbers, not finite or
    leave no integer."""
    out: dict[int, tuple[int, int]] = {}
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
            out[indices[subs]] = (lower, upper)
    return out


def variable_name(registry: VarRegistry, index: int) -> str:
    """``label[subscripts]`` (or ``label``) of a variable index, for messages."""
    for label, by_subscripts in registry.var_map.items():
        for subs, i in by_subscripts.items():
            if i == index:
                return f"{label}{list(subs)}" if subs else label
    return f"#{index}"


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
    rounded: int = math.floor(value) if upper else math.ceil(value)
    return rounded
