"""A compiled instance as one binary polynomial (QUBO/HUBO) for binary solvers, and back.

``to_pubo`` adds up, over binary variables: the objective (negated when maximising), every
equality constraint as weight * (lhs)^2, every ``<=`` constraint as weight * (lhs + s)^2 with an
integer slack s in [0, -min(lhs)] (min over the variables' bounds; ``>=`` as -lhs <= 0; left
out when it holds on the whole box of the bounds), every
custom penalty times its weight, and for one-hot encodings weight * (sum of a group - 1)^2.
Integer variables are encoded with the chosen encoder; keys come back sorted and distinct, and
terms of any degree are kept. ``decode_pubo`` turns binary samples back into a quillon record.
"""

from __future__ import annotations

import dataclasses
import numbers
import typing as typ

from quillon_transpiler.core.pubo.int_encoder import IntegerEncoder, make_encoder

if typ.TYPE_CHECKING:
    import quillon as ql
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance

Weight = typ.Union[float, typ.Mapping[str, float]]

_KINDS = {"EQUAL": 1, "LESSTHANEQUAL": 2, "GREATERTHANEQUAL": 3}


@dataclasses.dataclass(repr=False)
class PuboModel:
    """A binary polynomial: ``sum(coeff[key] * prod(b[i] for i in key)) + constant``.

    ``num_binaries`` counts the binaries 0 .. num_binaries - 1: the encoder's (variables) then
    the slack binaries, listed in ``slack`` by constraint label and forall key.
    """

    coeff: dict[tuple[int, ...], float]
    constant: float
    num_binaries: int
    encoder: IntegerEncoder
    compiled: CompiledInstance
    slack: dict[str, dict[tuple[int, ...], tuple[int, ...]]]

    @property
    def degree(self) -> int:
        return max(map(len, self.coeff), default=0)

    def energy(self, sample: typ.Mapping[int, int]) -> float:
        """The polynomial's value for a binary sample (binary index to 0 or 1, missing = 0)."""
        total = self.constant
        for key, value in self.coeff.items():
            if all(sample.get(i, 0) for i in key):
                total += value
        return total

    def __repr__(self) -> str:
        return (
            f"PuboModel({len(self.coeff)} terms, degree {self.degree}, constant {self.constant!r}, "
            f"{self.num_binaries} binaries, {type(self.encoder).__name__})"
        )


def to_pubo(
    compiled: CompiledInstance,
    *,
    constraint_weight: Weight = 1.0,
    penalty_weight: Weight | None = None,
    encoder: str | IntegerEncoder = "log",
    encoding_weight: float = 1.0,
) -> PuboModel:
    """The compiled instance as one binary polynomial to minimise.

    Args:
        compiled: the result of ``compile_model``.
        constraint_weight: one weight for every constraint, or a dict label -> weight (missing
            labels weigh 1.0). A zero weight leaves the constraint out.
        penalty_weight: the same for custom penalties; None weighs every penalty 1.0.
        encoder: "log" (or "binary"), "unary", "one-hot", or an encoder built from
            ``compiled.var_map``.
        encoding_weight: weight of the one-hot rule of every one-hot encoded variable.

    Raises:
        ValueError: a weight names an unknown label; an inequality has non-integral
            coefficients (its integer slack could not close it); bad bounds.
    """
    from quillon_transpiler.core.pubo import binarize

    encoder, args = lowering_args(compiled, constraint_weight, penalty_weight, encoder, encoding_weight)
    coeff, constant, num_binaries, slacks = binarize._lower(*args)
    return PuboModel(coeff, constant, num_binaries, encoder, compiled, slack_map(slacks))


def decode_pubo(samples: typ.Iterable[typ.Mapping[int, int]] | typ.Mapping[int, int], result: PuboModel) -> ql.Record:
    """Binary samples (binary index to 0 or 1) as a quillon record of the compiled instance.

    Integer variables get their values back through the encoder; fixed variables are included.
    One mapping counts as one sample.
    """
    from quillon_transpiler.core.decode.decode import dict_to_record

    if isinstance(samples, typ.Mapping):
        samples = [samples]
    return dict_to_record([result.encoder.decode(sample) for sample in samples], result.compiled)


def lowering_args(
    compiled: CompiledInstance,
    constraint_weight: Weight,
    penalty_weight: Weight | None,
    encoder: str | IntegerEncoder,
    encoding_weight: float,
) -> tuple[IntegerEncoder, tuple]:
    """The encoder, and the arguments of the native lowering, checked."""
    if isinstance(encoder, IntegerEncoder):
        if encoder.num_variables != compiled.var_map.var_num:
            raise ValueError("the encoder was built for another registry; build it from compiled.var_map")
    elif isinstance(encoder, type) and issubclass(encoder, IntegerEncoder):
        encoder = encoder(compiled.var_map)
    else:
        encoder = make_encoder(encoder, compiled.var_map)
    kinds = {}
    for label in compiled.constraint:
        kind = compiled.problem.constraints[label].condition.kind
        if kind.name not in _KINDS:
            raise NotImplementedError(f"Constraint `{label}`: the comparison {kind.name} has no binary form")
        kinds[label] = _KINDS[kind.name]
    constraint_weights = _weights(constraint_weight, compiled.constraint, "constraint_weight")
    penalty_weights = _weights(1.0 if penalty_weight is None else penalty_weight, compiled.penalty, "penalty_weight")
    _check_weight(encoding_weight, "encoding_weight")
    sign = -1 if compiled.sense.name == "MAXIMIZE" else 1
    args = (
        encoder._table,
        compiled.objective,
        sign,
        compiled.constraint,
        kinds,
        constraint_weights,
        compiled.penalty,
        penalty_weights,
        encoding_weight,
    )
    return encoder, args


def slack_map(slacks: list) -> dict[str, dict[tuple[int, ...], tuple[int, ...]]]:
    """(label, forall key, binaries) records by label and forall key."""
    slack: dict[str, dict[tuple[int, ...], tuple[int, ...]]] = {}
    for label, key, bits in slacks:
        slack.setdefault(label, {})[key] = bits
    return slack


def _check_weight(weight: typ.Any, what: str) -> None:
    if isinstance(weight, bool) or not isinstance(weight, numbers.Real):
        raise TypeError(f"{what} must be a number or a dict label -> number, got {weight!r}")


def _weights(weight: Weight, labels: typ.Iterable[str], what: str) -> dict[str, float]:
    if isinstance(weight, typ.Mapping):
        labels = list(labels)
        unknown = [label for label in weight if label not in labels]
        if unknown:
            raise ValueError(f"{what} names unknown labels {unknown}; the model has {labels}")
        for value in weight.values():
            _check_weight(value, what)
        return {label: weight.get(label, 1.0) for label in labels}
    _check_weight(weight, what)
    return dict.fromkeys(labels, weight)
