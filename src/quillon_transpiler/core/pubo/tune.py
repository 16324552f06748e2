"""Constraint weights tuned with a sampler: sample, raise what the best samples break, sample again.

The model is lowered once, in parts: the objective, the custom penalties at their weights, each
constraint label alone at weight 1 (its slack binaries renumbered to where the whole model puts
them) and the one-hot rules at weight 1. A round's model is the sum of the parts, weighted, made
by NumPy over the terms' union (found once), so no round compiles or lowers again.
"""

from __future__ import annotations

import dataclasses
import math
import numbers
import typing as typ

import numpy as np

import quillon as ql
from quillon_transpiler.core.compile.compiled_model import broken_pins
from quillon_transpiler.core.empty_model import with_the_empty_sample
from quillon_transpiler.core.pubo import _binary, binarize, weights
from quillon_transpiler.core.pubo.arrays import QuboArrays, to_bqm
from quillon_transpiler.core.pubo.decoding import fingerprint, keep_for_decoding
from quillon_transpiler.core.pubo.int_encoder import IntegerEncoder
from quillon_transpiler.core.pubo.route import (
    ConstraintWeight,
    Weight,
    _weights,
    pinning_labels,
    pubo_request,
    slack_map,
)
from quillon_transpiler.core.records import replaced
from quillon_transpiler.core.route_inputs import check_encoder_for_problem, check_weight, describe, given_compiled
from quillon_transpiler.core.solve import batch_seed

if typ.TYPE_CHECKING:
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance


@dataclasses.dataclass(frozen=True)
class TuningRound:
    """One round: the weights sampled with, and what the samples did under them.

    ``broken`` holds the violation (as in the sample set) of every constraint the lowest-energy
    sample breaks; ``raised`` the labels whose weights the round raised for the next one
    (``"one-hot encoding"`` for the encoding weight).
    """

    constraint_weight: dict[str, float]
    encoding_weight: float
    lowest_energy: float
    feasible: bool
    feasible_fraction: float
    broken: dict[str, float]
    raised: tuple[str, ...]


@dataclasses.dataclass
class TunedWeights:
    """What ``tune_weights`` settled on.

    ``constraint_weight`` and ``encoding_weight`` are the weights of the last round (pass them
    to ``to_qubo_arrays`` or ``to_bqm`` to build that model again); ``feasible`` says whether
    its lowest-energy sample was feasible; ``sampleset`` holds its samples decoded, ``model``
    the binary model they were drawn from, and ``history`` every round in order.
    """

    constraint_weight: dict[str, float]
    encoding_weight: float
    feasible: bool
    sampleset: ql.SampleSet
    model: QuboArrays
    history: list[TuningRound]


#: the label under which a sample's broken one-hot codes are counted in a decoded sample set
ONEHOT = "one-hot encoding"
# the parts that are no constraint, under keys no constraint label (a str) can take
_OBJECTIVE, _PENALTIES = ("objective",), ("penalties",)


def tune_weights(
    problem: ql.Problem | CompiledInstance,
    instance: dict[str, typ.Any] | None = None,
    sampler: typ.Any = None,
    *,
    fixed_variables: dict[str, dict[tuple[int, ...], float]] | None = None,
    constraint_weight: ConstraintWeight = "auto",
    penalty_weight: Weight | None = None,
    encoder: str | IntegerEncoder = "log",
    encoding_weight: float | str = "auto",
    rounds: int = 8,
    factor: float = 2.0,
    num_reads: int | None = 32,
    seed: int | None = None,
    **sampler_options: typ.Any,
) -> TunedWeights:
    """Samples the model's QUBO, raises the weights of the constraints its best sample breaks
    and samples again, until the best (lowest-energy) sample is feasible or ``rounds`` rounds
    have run.

    Args:
        problem, instance, fixed_variables: a quillon problem with its instance data (compiled
            here natively), or a compiled instance alone.
        sampler: a dimod sampler of binary quadratic models; None: dwave-samplers'
            ``SimulatedAnnealingSampler``.
        constraint_weight: the first round's weights, as for ``to_qubo_arrays`` ("auto" by
            default); weights must be positive, as a raised zero stays zero.
        penalty_weight, encoder: as for ``to_qubo_arrays``; penalty weights are not tuned.
        encoding_weight: the first weight of the one-hot rules (one-hot encoder only), a number
            or "auto" (the constraints' bound with a step of 1); raised when the best sample
            breaks a one-hot code.
        rounds: the most rounds (samplings) to run.
        factor: what a broken constraint's weight is multiplied by for the next round (> 1).
        num_reads, seed: passed to the sampler when it takes them (round 0 gets ``seed``, each
            later round k a seed of its own drawn from (seed, k), as ``solve``'s batches do);
            None leaves them out.
        sampler_options: passed to every ``sampler.sample`` call.

    Every round's model is the one ``to_qubo_arrays`` gives for its weights (up to the order
    in which floating-point terms are added). Its decoded samples report, per sample, the
    record, the energy under that round's weights, the objective (its own sign) and, per
    constraint label, the sum of |lhs| (equalities) or of the excess (inequalities) over its
    forall keys; with a one-hot encoder, the count of broken one-hot codes under the label
    ``"one-hot encoding"``.

    Raises:
        ValueError: ``rounds`` < 1, ``factor`` <= 1, a zero constraint weight; terms of degree 3
            or more (a quadratic sampler cannot take them); as ``to_qubo_arrays``.
        TypeError: a seed that is not an int; as ``to_qubo_arrays``.
        ImportError: dimod, or (with no sampler given) dwave-samplers, is not installed.
    """
    if isinstance(rounds, bool) or not isinstance(rounds, numbers.Integral) or rounds < 1:
        raise ValueError(f"rounds must be a positive int, got {rounds!r}")
    rounds = int(rounds)
    check_weight(factor, "factor")
    if not factor > 1:
        raise ValueError(f"factor must be greater than 1 (weights are multiplied by it), got {factor!r}")
    if seed is not None and (isinstance(seed, bool) or not isinstance(seed, numbers.Integral)):
        raise TypeError(f"seed must be an int or None, got {describe(seed)}")
    if sampler is None:
        sampler = _default_sampler()
    _check_sampler(sampler)
    parts = _Parts.lower(problem, instance, fixed_variables, constraint_weight, penalty_weight, encoder)
    weight = parts.first_weights(constraint_weight, encoding_weight)
    # without one-hot rules the encoding weight weighs nothing: reported as given
    unused = 1.0 if weights.is_auto(encoding_weight) else float(encoding_weight)
    history: list[TuningRound] = []
    for round_ in range(rounds):
        model = parts.model(weight, weight.get(ONEHOT, 0.0))
        # seed + k would overrun a sampler's seed range, and share reads with the run of seed + 1
        seeded = None if seed is None else int(seed) if round_ == 0 else batch_seed(int(seed), round_)
        sampleset = _sample(sampler, model, num_reads, seeded, sampler_options)
        rows = _rows(sampleset, model.num_binaries)
        decoded = _decoded(model, parts, rows, sampleset.record.num_occurrences)
        lowest = _lowest(decoded)
        violations = decoded.evaluation.constraint_violations
        broken = {label: float(v[lowest]) for label, v in violations.items() if v[lowest] > _TOLERANCE}
        feasible = not broken
        # a pin no assignment satisfies is broken whatever the weights (it has none)
        weighed = tuple(label for label in broken if label in weight)
        last = feasible or round_ == rounds - 1 or not weighed
        raised = () if last else weighed
        history.append(
            TuningRound(
                {label: w for label, w in weight.items() if label != ONEHOT},
                weight.get(ONEHOT, unused),
                float(decoded.evaluation.energy[lowest]),
                feasible,
                # of the reads, as a sampler's aggregated samples count them
                sum(decoded.feasible(_TOLERANCE).record.num_occurrences) / max(sum(decoded.record.num_occurrences), 1),
                broken,
                raised,
            )
        )
        if last:
            break
        for label in raised:
            weight[label] *= factor
    final = history[-1]
    return TunedWeights(
        final.constraint_weight, final.encoding_weight, final.feasible, decoded, parts.decodable(model, weight), history
    )


_TOLERANCE = 1e-9


@dataclasses.dataclass
class _Lowered:
    """One part of the model: its terms over the whole model's binaries."""

    linear: np.ndarray
    rows: np.ndarray
    cols: np.ndarray
    biases: np.ndarray
    higher: list[tuple[tuple[int, ...], float]]
    offset: float


class _Parts:
    """The parts of one compiled model, lowered once, and the union of their terms."""

    def __init__(
        self,
        compiled: CompiledInstance,
        encoder: IntegerEncoder,
        request: binarize.PuboRequest,
        parts: dict[typ.Any, _Lowered],
        slack: dict[str, dict[tuple[int, ...], tuple[int, ...]]],
        num_binaries: int,
        binary_starts: np.ndarray,
        evaluated: CompiledInstance,
    ) -> None:
        self.compiled = compiled
        self.encoder = encoder
        self.request = request
        self.parts = parts  # _OBJECTIVE, _PENALTIES, constraint labels, and ONEHOT
        self.onehot = parts.get(ONEHOT)
        self.slack = slack
        self.num_binaries = num_binaries
        self.binary_starts = binary_starts
        self.evaluated = evaluated  # the constraints as expressions, for their violations
        self.sign = request.sign
        self._union()

    @classmethod
    def lower(
        cls,
        problem: typ.Any,
        instance: typ.Any,
        fixed_variables: typ.Any,
        constraint_weight: typ.Any,
        penalty_weight: typ.Any,
        encoder: typ.Any,
    ) -> _Parts:
        compiled = given_compiled("tune_weights", problem, instance, fixed_variables)
        if compiled is None:
            from quillon_transpiler.core.native_compile import compile_native

            check_encoder_for_problem(encoder)
            compiled = compile_native(problem, instance, fixed_variables, None)
        # checked before any work
        _weights(
            constraint_weight, compiled.constraint, "constraint_weight", auto=True, pinning=pinning_labels(compiled)
        )
        if ONEHOT in compiled.constraint:
            raise ValueError(
                f"constraint `{ONEHOT}`: tune_weights reports the encoding's broken one-hot codes under this label, "
                "and weighs the encoding under it: give the constraint another name"
            )
        encoder, request = pubo_request(compiled, 1.0, penalty_weight, encoder, 1.0)
        empty = weights.empty_polynomial()
        alone = dataclasses.replace(
            request, constraints={}, kinds={}, constraint_weights={}, penalties={}, penalty_weights={}, onehot_weight=0
        )
        nenc = encoder.num_binaries
        lowered: dict[typ.Any, typ.Any] = {_OBJECTIVE: binarize._lower_arrays(alone, False, None)}
        if any(request.penalty_weights.values()):
            penalties = dataclasses.replace(
                alone, objective=empty, penalties=request.penalties, penalty_weights=request.penalty_weights
            )
            lowered[_PENALTIES] = binarize._lower_arrays(penalties, False, None)
        slack: dict[str, dict[tuple[int, ...], tuple[int, ...]]] = {}
        shift = 0
        shifts = {}
        for label, polys in compiled.constraint.items():
            one = dataclasses.replace(
                alone,
                objective=empty,
                constraints={label: polys},
                kinds={label: request.kinds[label]},
                constraint_weights={label: 1},
            )
            part = binarize._lower_arrays(one, False, None)
            lowered[label] = part
            shifts[label] = shift
            for key, bits in slack_map(part.slacks).get(label, {}).items():
                slack.setdefault(label, {})[key] = tuple(b + shift for b in bits)
            shift += part.num_binaries - nenc
        if any(encoder.onehot and len(encoder.coefficients(v)[1]) > 1 for v in range(encoder.num_variables)):
            rules = dataclasses.replace(alone, objective=empty, onehot_weight=1)
            lowered[ONEHOT] = binarize._lower_arrays(rules, False, None)
        nbin = nenc + shift
        parts = {name: _placed(part, nenc, shifts.get(name, 0), nbin) for name, part in lowered.items()}
        return cls(
            compiled,
            encoder,
            request,
            parts,
            slack,
            nbin,
            lowered[_OBJECTIVE].binary_starts,
            _evaluable(compiled),
        )

    def _union(self) -> None:
        """The sorted union of every part's quadratic and higher keys, and each part's slots in it."""
        names = list(self.parts)
        n = self.num_binaries
        keys = [p.rows.astype(np.int64) * n + p.cols for p in self.parts.values()]
        union, inverse = np.unique(np.concatenate(keys), return_inverse=True)
        self._names = names
        self._quadratic = (union // n).astype(np.int32), (union % n).astype(np.int32)
        self._inverse = inverse.reshape(-1)
        self._sizes = [len(k) for k in keys]
        higher: dict[tuple[int, ...], int] = {}
        for part in self.parts.values():
            for key, _ in part.higher:
                higher.setdefault(key, len(higher))
        self._higher = higher

    def first_weights(self, constraint_weight: typ.Any, encoding_weight: typ.Any) -> dict[str, float]:
        pinning = pinning_labels(self.compiled)
        given = _weights(constraint_weight, self.compiled.constraint, "constraint_weight", auto=True, pinning=pinning)
        zero = [label for label, w in given.items() if not weights.is_auto(w) and w == 0]
        if zero:
            raise ValueError(
                f"constraint_weight of {zero} is 0, which tune_weights cannot raise (it multiplies weights): give a "
                "positive weight, or leave the constraint out of the model"
            )
        swing = None
        out: dict[str, float] = {}
        for label, w in given.items():
            if weights.is_auto(w):
                swing = self._swing() if swing is None else swing
                step = weights.smallest_step(self.evaluated.constraint[label], self.request.kinds[label])
                w = weights.weight_for(swing, step, label)
            out[label] = float(w)
        if self.onehot is not None:
            if weights.is_auto(encoding_weight):
                swing = self._swing() if swing is None else swing
                out[ONEHOT] = weights.weight_for(swing, 1.0)
            else:
                check_weight(encoding_weight, "encoding_weight")
                if encoding_weight == 0:
                    raise ValueError("encoding_weight is 0, which tune_weights cannot raise: give a positive weight")
                out[ONEHOT] = float(encoding_weight)
        elif not weights.is_auto(encoding_weight):
            check_weight(encoding_weight, "encoding_weight")
        return out

    def decodable(self, model: QuboArrays, weight: typ.Mapping[str, float]) -> QuboArrays:
        """``model`` (lowered with ``weight``) as ``decode`` reads it: with what ``to_qubo_arrays``
        keeps of a native compile for the same weights (the objective's polynomial, or the parts
        that derive it), where the parts' own record keeps only the constraints."""
        if self.evaluated is self.compiled:  # expressions throughout: the objective is there
            return model
        request = replaced(
            self.request,
            constraint_weights={label: w for label, w in weight.items() if label != ONEHOT},
            onehot_weight=weight.get(ONEHOT, 0.0),
        )
        kept, lowered = keep_for_decoding(self.compiled, request)
        sealed = None if lowered is None else lowered.sealed(fingerprint(model.offset, model.linear))
        return dataclasses.replace(model, compiled=kept, lowered=sealed)

    def _swing(self) -> float:
        """``weights.objective_swing`` of the objective and penalties, from their parts."""
        summed = self.model({_OBJECTIVE: 1.0, _PENALTIES: 1.0}, 0.0, only=(_OBJECTIVE, _PENALTIES))
        higher = summed.higher_offsets, summed.higher_indices, summed.higher_biases
        # the union's other terms weigh 0 here: they add nothing to the bound
        return weights.flip_bound(
            summed.linear, (summed.quadratic_rows, summed.quadratic_cols, summed.quadratic_biases), higher
        )

    def model(
        self, weight: typ.Mapping[typ.Any, float], onehot: float, only: tuple[typ.Any, ...] | None = None
    ) -> QuboArrays:
        """The model with constraint label ``l`` weighted ``weight[l]`` and the one-hot rules ``onehot``."""
        scale = []
        for name in self._names:
            if only is not None:
                scale.append(float(weight.get(name, 0.0)) if name in only else 0.0)
            elif name in (_OBJECTIVE, _PENALTIES):
                scale.append(1.0)
            else:
                scale.append(onehot if name == ONEHOT else float(weight[name]))
        parts = [self.parts[name] for name in self._names]
        with np.errstate(over="ignore", invalid="ignore"):  # weights past range: refused below, by name
            linear = sum((w * p.linear for w, p in zip(scale, parts)), np.zeros(self.num_binaries))
            values = np.concatenate([w * p.biases for w, p in zip(scale, parts)])
            biases = np.bincount(self._inverse, weights=values, minlength=len(self._quadratic[0]))
            higher = np.zeros(len(self._higher))
            for w, p in zip(scale, parts):
                for key, value in p.higher:
                    higher[self._higher[key]] += w * value
        keys = list(self._higher)
        offsets = np.cumsum([0] + [len(k) for k in keys], dtype=np.int64)
        offset = float(sum(w * p.offset for w, p in zip(scale, parts)))
        finite = all(np.isfinite(a).all() for a in (linear, biases, higher)) and math.isfinite(offset)
        if not finite:  # raised round after round, or given so: every energy would be inf or NaN
            named = {label: weight[label] for label in self._names if label in weight and label != ONEHOT}
            raise ValueError(
                f"the weights {named} take a coefficient of the model past float64's range: give smaller "
                "constraint weights (or a smaller factor, or fewer rounds)"
            )
        return QuboArrays(
            linear,
            self._quadratic[0],
            self._quadratic[1],
            biases,
            offsets,
            np.array([i for k in keys for i in k], dtype=np.int32),
            higher,
            offset,
            self.num_binaries,
            self.binary_starts,
            self.encoder,
            self.evaluated,
            self.slack,
        )


def _placed(part: typ.Any, nenc: int, shift: int, nbin: int) -> _Lowered:
    """A lowered part over the whole model's binaries: its slack binaries (from ``nenc`` on)
    moved up by ``shift``."""

    def move(index: np.ndarray) -> np.ndarray:
        index = np.asarray(index, dtype=np.int64)
        return np.where(index >= nenc, index + shift, index)

    linear = np.zeros(nbin)
    own = np.asarray(part.linear, dtype=np.float64)
    linear[move(np.arange(len(own)))] = own
    offsets, indices = part.higher_offsets.tolist(), move(part.higher_indices).tolist()
    higher = [
        (tuple(indices[offsets[k] : offsets[k + 1]]), float(b)) for k, b in enumerate(part.higher_biases.tolist())
    ]
    return _Lowered(
        linear,
        move(part.quadratic_rows),
        move(part.quadratic_cols),
        np.asarray(part.quadratic_biases, dtype=np.float64),
        higher,
        float(part.offset),
    )


def _evaluable(compiled: CompiledInstance) -> CompiledInstance:
    """The compiled instance with its constraints as expressions (a native compile's capsules
    converted), as decoding evaluates them."""
    if all(hasattr(poly, "coeff") for polys in compiled.constraint.values() for poly in polys.values()):
        return compiled
    from quillon_transpiler.core.native_compile import decodable

    return decodable(compiled, constraints=True)


def _check_sampler(sampler: typ.Any) -> None:
    """Refuses, before any work, what cannot sample a binary quadratic model."""
    if callable(getattr(sampler, "sample", None)) and not isinstance(sampler, type):
        return
    if callable(getattr(sampler, "sample_cqm", None)):
        raise TypeError(
            f"tune_weights samples binary quadratic models, and {type(sampler).__name__} samples constrained ones, "
            "which take the constraints as they are: use solve with it, or give tune_weights a BQM sampler"
        )
    raise TypeError(
        f"tune_weights takes a dimod sampler of binary quadratic models (an object with a sample method) or None "
        f"for its own choice, got {describe(sampler)}"
    )


def _default_sampler() -> typ.Any:
    try:
        from dwave.samplers import SimulatedAnnealingSampler
    except ImportError:
        raise ImportError(
            "tune_weights samples with dwave-samplers' SimulatedAnnealingSampler when no sampler is given: install "
            "it (pip install dwave-samplers) or pass a dimod sampler"
        ) from None
    made: typ.Any = SimulatedAnnealingSampler  # dwave-samplers carries no annotations
    return made()


def _sample(
    sampler: typ.Any, model: QuboArrays, num_reads: int | None, seed: int | None, options: dict[str, typ.Any]
) -> typ.Any:
    if len(model.higher_biases):
        raise ValueError(
            f"the model has terms of degree 3 or more (degree {model.degree}): tune_weights samples binary quadratic "
            "models; lower the model's degree"
        )
    accepted = getattr(sampler, "parameters", None)
    given = dict(options)
    for name, value in (("num_reads", num_reads), ("seed", seed)):
        if value is not None and (not isinstance(accepted, typ.Mapping) or name in accepted):
            given.setdefault(name, value)
    bqm = to_bqm(model)
    return with_the_empty_sample(sampler.sample(bqm, **given), bqm)


def _rows(sampleset: typ.Any, nbin: int) -> np.ndarray:
    """The samples as a (samples x binaries) array of 0 and 1, columns in binary order."""
    variables = list(sampleset.variables)
    column = {v: k for k, v in enumerate(variables)}
    samples = np.asarray(sampleset.record.sample)
    if getattr(getattr(sampleset, "vartype", None), "name", None) == "SPIN":  # -1 and 1, as decode reads them
        samples = (samples + 1) // 2
    rows = np.zeros((len(samples), nbin), dtype=np.int8)
    for b in range(nbin):
        if b in column:
            rows[:, b] = samples[:, column[b]]
    if not np.isin(rows, (0, 1)).all():
        raise ValueError("the sampler returned values other than 0 and 1: tune_weights needs a BINARY sampler")
    return rows


def _lowest(decoded: ql.SampleSet) -> int:
    """The lowest-energy sample; among ties, a feasible one when there is one."""
    energy = np.asarray(decoded.evaluation.energy)
    best = np.flatnonzero(energy == energy.min())
    violations = decoded.evaluation.constraint_violations.values()
    for k in best.tolist():
        if all(v[k] <= _TOLERANCE for v in violations):
            return int(k)
    return int(best[0])


def _decoded(model: QuboArrays, parts: _Parts, rows: np.ndarray, occurrences: typ.Any) -> ql.SampleSet:
    """The samples in the model's terms: record, energy, objective, violations by label."""
    from quillon_transpiler.core.decode import decode

    table, nbin = model.encoder._table, model.num_binaries
    values = [_binary._decode(table, dict(enumerate(row)), nbin, None) for row in rows.tolist()]
    compiled = parts.evaluated
    record = decode._record(values, compiled.var_map.var_map, model.fixed_variables, compiled.deci_var_shape)
    record.num_occurrences = [int(n) for n in occurrences]
    objective = parts.parts[_OBJECTIVE]
    own = rows @ objective.linear + objective.offset
    if len(objective.biases):
        own = own + (rows[:, objective.rows] * rows[:, objective.cols]) @ objective.biases
    for key, value in objective.higher:
        own = own + value * rows[:, list(key)].all(axis=1)
    violations = violations_of(values, compiled)
    for label, gap in broken_pins(model.compiled).items():
        violations[label] = [gap] * len(values)
    if parts.onehot is not None:
        violations[ONEHOT] = _broken_codes(model.encoder, rows)
    return ql.SampleSet(
        record,
        ql.Evaluation(model.energies(rows).tolist(), (parts.sign * own).tolist(), violations),
    )


def violations_of(values: list[dict[int, typ.Any]], compiled: CompiledInstance) -> dict[str, list[float]]:
    """Per constraint label, per sample: the sum over forall keys of |lhs| (equalities) or of
    the excess over the bound (inequalities)."""
    from quillon_transpiler.core.decode.evaluate import eval_constraint

    kinds = {label: compiled.problem.constraints[label].condition.kind.name for label in compiled.constraint}
    out: dict[str, list[float]] = {label: [] for label in compiled.constraint}
    for sample in values:
        for label, by_key in eval_constraint(sample, compiled).items():
            kind = kinds[label]
            if kind == "EQUAL":
                total = sum(abs(v) for v in by_key.values())
            elif kind == "LESSTHANEQUAL":
                total = sum(max(v, 0.0) for v in by_key.values())
            else:
                total = sum(max(-v, 0.0) for v in by_key.values())
            out[label].append(float(total))
    return out


def _broken_codes(encoder: IntegerEncoder, rows: np.ndarray) -> list[float]:
    """Per sample, the one-hot encoded variables whose binaries do not hold exactly one 1."""
    broken = np.zeros(len(rows))
    for v in range(encoder.num_variables):
        bits = encoder.binaries(v)
        if len(bits) > 1:
            broken += rows[:, bits.start : bits.stop].sum(axis=1) != 1
    return broken.tolist()
