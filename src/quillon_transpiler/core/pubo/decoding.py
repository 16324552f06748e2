"""A binary sampler's answer in the model's own terms: ``decode``.

``decode`` reads the samples of a binary model (a ``PuboModel`` or ``QuboArrays``) and gives a
quillon ``SampleSet``: per sample the record, the energy, the objective, every constraint's
violation and, when variables are one-hot encoded, how many of them hold no valid code. The
work is done on arrays (one row per distinct sample), never sample by sample in Python.

What a native route keeps. ``to_qubo_arrays`` of a problem lowers polynomials that it then
frees; before that it keeps what decoding reads (``keep_for_decoding``): the constraints'
polynomials always (they are small, as the CQM route keeps them; the lowering leaves them as
they are, and they become expressions when a decoding first reads them), and then the cheaper
of two: the objective's polynomial, when it has no more terms than the constraints or the
penalties, or else the penalties' (a penalty given as a square keeps its base) with the weights
of the lowering, from which the objective is derived.
"""

from __future__ import annotations

import dataclasses
import fractions
import math
import numbers
import struct
import typing as typ
from collections import abc

import numpy as np

from quillon_transpiler.core.compile import compile as driver
from quillon_transpiler.core.compile.compiled_model import broken_pins
from quillon_transpiler.core.pubo.reduction import written_entries
from quillon_transpiler.core.records import replaced

try:  # hashlib's own BLAKE2, without the OpenSSL library hashlib loads first (a few ms at start)
    from _blake2 import blake2b
except ImportError:  # an interpreter built without it
    from hashlib import blake2b

if typ.TYPE_CHECKING:
    import quillon as ql
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance
    from quillon_transpiler.core.pubo.binarize import PuboRequest
    from quillon_transpiler.core.substitute import SubstitutedExpression

#: elements of the temporary arrays one step of the evaluation makes (rows times terms)
_STEP = 1 << 22
_INT_LIMIT = 1 << 62
_INT64_MAX = (1 << 63) - 1


@dataclasses.dataclass(frozen=True)
class LoweredParts:
    """The weights and penalties a lowering used, kept when the objective's polynomial is not:
    the objective is then derived from the energy.

    ``sign`` is -1 for a maximisation (the lowering minimises the negated objective), else 1;
    the weights are those of the lowering, by label (0: left out); ``penalties`` maps a weighted
    penalty's label and forall key to (polynomial, squared): with ``squared`` the penalty is the
    polynomial's square. ``fingerprint`` is that of the arrays lowered with these weights (see
    ``fingerprint``): arrays re-weighted without new parts are refused, not misread.
    """

    sign: int
    constraint_weights: dict[str, float]
    penalty_weights: dict[str, float]
    encoding_weight: float
    penalties: typ.Mapping[str, dict[tuple[int, ...], tuple[SubstitutedExpression, bool]]]
    fingerprint: str = ""

    @staticmethod
    def of(
        sign: int,
        constraint_weights: dict[str, float],
        penalty_weights: dict[str, float],
        encoding_weight: float,
        penalties: typ.Mapping[str, dict[tuple[int, ...], tuple[SubstitutedExpression, bool]]],
    ) -> LoweredParts:
        """``LoweredParts(...)`` without a fingerprint yet, made as ``sealed`` makes its copy."""
        out = object.__new__(LoweredParts)
        out.__dict__.update(
            sign=sign,
            constraint_weights=constraint_weights,
            penalty_weights=penalty_weights,
            encoding_weight=encoding_weight,
            penalties=penalties,
            fingerprint="",
        )
        return out

    def sealed(self, fingerprint: str) -> LoweredParts:
        """These parts with the fingerprint of the arrays lowered with them."""
        return replaced(self, fingerprint=fingerprint)


class _NativeSnapshot(abc.Mapping[str, dict[tuple[int, ...], typ.Any]]):
    """Polynomials of the native compile by label and forall key, kept as they are (a lowering
    reads them without emptying them) and made expressions by ``_read`` when first read: a
    model that is never decoded makes none."""

    def __init__(self, native: typ.Mapping[str, typ.Mapping[tuple[int, ...], typ.Any]]) -> None:
        self._native = {label: dict(by_key) for label, by_key in native.items()}
        self._read_all: typ.Optional[dict[str, dict[tuple[int, ...], typ.Any]]] = None

    @staticmethod
    def _read(poly: typ.Any) -> typ.Any:
        raise NotImplementedError

    def _expressions(self) -> dict[str, dict[tuple[int, ...], typ.Any]]:
        read = self._read_all
        if read is None:  # two threads may both read them: the same expressions either way
            read = {
                label: {key: self._read(poly) for key, poly in by_key.items()} for label, by_key in self._native.items()
            }
            self._read_all = read
        return read

    def __getitem__(self, label: str) -> dict[tuple[int, ...], typ.Any]:
        return self._expressions()[label]

    def __iter__(self) -> typ.Iterator[str]:
        return iter(self._native if self._read_all is None else self._read_all)

    def __len__(self) -> int:
        return len(self._native if self._read_all is None else self._read_all)

    def __repr__(self) -> str:
        return repr(self._expressions())


class ConstraintSnapshot(_NativeSnapshot):
    """The constraints' polynomials by label and forall key, read as expressions when first
    read; pickled as expressions."""

    @staticmethod
    def _read(poly: typ.Any) -> typ.Any:
        return driver._native_expression(poly)

    def __reduce__(self) -> tuple[typ.Any, ...]:
        return (_read_constraints, (self._expressions(),), None)


class PenaltySnapshot(_NativeSnapshot):
    """The weighted penalties' polynomials by label and forall key, as (polynomial, squared):
    with ``squared`` the penalty is the polynomial's square (its base is kept); pickled as
    expressions."""

    @staticmethod
    def _read(poly: typ.Any) -> tuple[typ.Any, bool]:
        base = driver._native_square_base(poly)
        return (driver._native_expression(poly), False) if base is None else (base, True)

    def __reduce__(self) -> tuple[typ.Any, ...]:
        return (_read_snapshot, (self._expressions(),), None)


def _read_snapshot(read: dict[str, dict[tuple[int, ...], tuple[typ.Any, bool]]]) -> PenaltySnapshot:
    """A PenaltySnapshot of expressions read before (as pickled)."""
    snapshot = PenaltySnapshot({})
    snapshot._read_all = read
    return snapshot


def _read_constraints(read: dict[str, dict[tuple[int, ...], typ.Any]]) -> ConstraintSnapshot:
    """A ConstraintSnapshot of expressions read before (as pickled)."""
    snapshot = ConstraintSnapshot({})
    snapshot._read_all = read
    return snapshot


def fingerprint(offset: float, linear: np.ndarray) -> str:
    """A digest of a lowering's offset and linear biases (the original binaries'), which every
    weight of a constraint, of the one-hot rule and of a penalty with a constant or linear part
    moves: b * b = b puts every squared coefficient on a linear bias."""
    # the array's own buffer when it is one already (a fresh lowering's is): no copy to hash
    digest = blake2b(np.ascontiguousarray(linear, dtype=np.float64).data, digest_size=16)
    digest.update(struct.pack("=d", offset))
    return digest.hexdigest()


def keep_for_decoding(
    compiled: CompiledInstance, request: PuboRequest
) -> tuple[CompiledInstance, typ.Optional[LoweredParts]]:
    """What a native route keeps of its compile, taken before the lowering consumes it: the
    registry, data and shapes, the constraints' polynomials, and the objective's polynomial
    (then no LoweredParts) or the penalties' (see the module's text)."""
    constraints = ConstraintSnapshot(compiled.constraint)
    weighted = {label: by_key for label, by_key in compiled.penalty.items() if request.penalty_weights[label] != 0}
    constraint_terms = driver._native_terms_total(compiled.constraint)
    penalty_terms = driver._native_terms_total(weighted)
    objective: typ.Any = None
    lowered = None
    if driver._native_terms(compiled.objective) <= max(constraint_terms, penalty_terms):
        objective = driver._native_expression(compiled.objective)
    else:
        lowered = LoweredParts.of(
            request.sign,
            dict(request.constraint_weights),
            dict(request.penalty_weights),
            request.onehot_weight,
            PenaltySnapshot(weighted),
        )
    # the record's fields name full polynomials; what is not kept is marked absent
    return compiled.stripped(objective=objective, constraint=constraints), lowered


def decode(samples: typ.Any, model: typ.Any, *, best_slack: bool = False) -> ql.SampleSet:
    """The samples of a binary model as a quillon ``SampleSet``, in the model's own terms.

    Args:
        samples: a dimod ``SampleSet`` whose variables are binary indices or the entries of
            ``model.labels()`` (a BQM relabelled with them), SPIN or BINARY; a list of samples
            as ``decode_pubo`` reads them (mappings by index or label, or one value per
            binary); or a 2-D array of 0s and 1s, one row per sample. Binaries a sample leaves
            out are 0. Auxiliary binaries of a reduction (``reduction="substitute"``) may be
            given, by index or label, and are not read: the record and the numbers below are
            those of the original binaries.
        model: the ``PuboModel`` or ``QuboArrays`` the samples solve; a dimod builder
            (``to_cqm``) decodes with its ``decode_from_cqm_result``.
        best_slack: read each inequality's slack binaries at their best for the sample's
            variables (the code that makes its square least: 0 for a constraint that holds),
            so that the energy is the least the model gives the decoded values. ``solve``
            decodes so: a sampler may leave a feasible sample's slack elsewhere, and
            ``feasible().lowest()`` would rank it below a worse feasible one.

    Per sample, in the given order (a sample set's occurrences kept):

    - the record, as ``decode_pubo`` gives it (integers through the encoder, fixed values
      included);
    - ``energy``: the model's value of the sample, computed from its own polynomial in float64
      (a reduced model's: the original higher-order energy, which the auxiliaries reach at
      their best values), not the sampler's; integer biases whose magnitudes sum past 2**53
      are summed exactly, then rounded once;
    - ``objective``: the objective at the decoded values, with its own sign (a maximisation's
      is not negated). From the objective's polynomial when the model keeps it (a model made
      from a compiled instance always does; see the module's text), exact up to float64
      rounding of the sum. Otherwise derived: sign * (energy - the weighted constraint, penalty
      and one-hot parts at the sample), each part from its polynomial; exact where the parts
      are, otherwise within a few float64 ulps of the energy's magnitude;
    - ``constraint_violations``: per constraint label, from its polynomials at the decoded
      values (not from the energy): equalities the sum of |lhs| over forall keys, ``<=`` the
      sum of the excess above 0, ``>=`` of the shortfall below it; integer arithmetic when the
      coefficients are integers, float64 otherwise. Constraints left out of the model (weight
      0) are evaluated all the same;
    - ``encoding_violations`` (one-hot encodings only, else None): per variable label, how
      many of its one-hot encoded elements have no bit or several bits set. Such an element
      decodes to the value its bits sum to, which may lie outside its bounds: the sample is
      infeasible (``feasible()`` leaves it out) whatever its constraints say. Slack binaries
      never reach the record or the violations, and every assignment of them is a valid code.

    Raises:
        TypeError: ``model`` is not a binary model; ``samples`` of another kind.
        ValueError: a variable or key that names no binary of the model, a value other than 0
            and 1 (or -1 and 1 in a SPIN sample set), a row of the wrong length, one binary
            given two values.
    """
    import quillon as ql
    from quillon_transpiler.core.decode import decode as records
    from quillon_transpiler.core.pubo.route import binary_model

    if hasattr(model, "decode_from_cqm_result") and hasattr(model, "compiled_model"):
        return typ.cast("ql.SampleSet", model.decode_from_cqm_result(samples))
    model = binary_model(model, "decode")
    bits, occurrences = read_samples(samples, model)
    if len(bits):
        rows, inverse = np.unique(bits, axis=0, return_inverse=True)
        inverse = inverse.ravel()
    else:
        rows, inverse = bits, np.zeros(0, dtype=np.intp)
    plan = _plan(model)
    values = plan.values(rows)

    def spread(per_row: typ.Any) -> list[typ.Any]:
        return np.asarray(per_row)[inverse].tolist()

    violations, lhs = plan.violations(values)
    for label, gap in broken_pins(model.compiled).items():
        violations[label] = np.full(len(rows), gap)
    settled = plan.best_slack(rows, lhs) if best_slack else rows
    energy = plan.energies(settled)
    encoding = plan.encoding_violations(rows)
    if model.compiled.objective is not None:
        objective = plan.objective(values)
    else:
        objective = plan.derived_objective(settled, values, lhs, energy)
    compiled = model.compiled
    dicts = [dict(zip(np.flatnonzero(v).tolist(), v[v != 0].tolist())) for v in values]
    record = records._record(
        [dicts[k] for k in inverse.tolist()],
        compiled.var_map.var_map,
        model.fixed_variables,
        compiled.deci_var_shape,
    )
    record.num_occurrences = occurrences
    evaluation = ql.Evaluation(
        spread(energy),
        spread(objective),
        {label: spread(v) for label, v in violations.items()},
        encoding_violations=None if encoding is None else {label: spread(v) for label, v in encoding.items()},
    )
    return ql.SampleSet(record, evaluation, ql.MeasuringTime())


# ---- reading the samples ----


def read_samples(samples: typ.Any, model: typ.Any) -> tuple[np.ndarray, list[int]]:
    """The samples' original binaries (one row per sample, uint8) and their occurrences."""
    n = original_binaries(model)
    if hasattr(samples, "record") and hasattr(samples, "variables"):  # a dimod SampleSet
        return _sampleset_bits(samples, model, n)
    if isinstance(samples, np.ndarray) and samples.ndim in (1, 2) and samples.dtype != object:
        rows = np.atleast_2d(samples)
        if rows.shape[1] not in (n, model.num_binaries):
            extended = _extended(model)
            if extended is None or rows.shape[1] != extended[0]:
                raise ValueError(
                    f"a sample row needs one value per binary ({model.num_binaries}), got {rows.shape[1]}; give a "
                    "sample as a dict {binary index: 0 or 1}, or one row per sample in a 2-D array"
                )
        bad = ~((rows == 0) | (rows == 1))
        if bad.any():
            r, c = np.argwhere(bad)[0]
            raise ValueError(f"sample {r} gives binary {c} the value {rows[r, c].item()!r}; binaries take 0 or 1")
        return rows[:, :n].astype(np.uint8), [1] * len(rows)
    return _listed_bits(samples, model, n)


def _listed_bits(samples: typ.Any, model: typ.Any, n: int) -> tuple[np.ndarray, list[int]]:
    """Samples as ``decode_pubo`` reads them, through its native reader."""
    from quillon_transpiler.core.pubo import _binary
    from quillon_transpiler.core.pubo.route import label_index, sample_list

    table = model.encoder._table

    def read(nbin: int, labels: dict[typ.Any, int]) -> np.ndarray:
        listed = sample_list(samples, nbin)
        out = np.zeros((len(listed), n), dtype=np.uint8)
        for k, sample in enumerate(listed):
            out[k] = np.frombuffer(_binary._sample_bits(table, sample, nbin, labels), dtype=np.uint8)[:n]
        return out

    try:
        return _with_occurrences(read(model.num_binaries, label_index(model)))
    except ValueError as error:
        extended = _extended(model)  # a reduced BQM's samples, decoded with the unreduced model
        if extended is None:
            raise
        try:
            return _with_occurrences(read(*extended))
        except ValueError:
            raise error from None


def _with_occurrences(bits: np.ndarray) -> tuple[np.ndarray, list[int]]:
    return bits, [1] * len(bits)


def _sampleset_bits(sampleset: typ.Any, model: typ.Any, n: int) -> tuple[np.ndarray, list[int]]:
    """A dimod sample set's columns mapped to binaries by label, once per column."""
    from quillon_transpiler.core.pubo.route import label_index

    record = sampleset.record
    sample = np.asarray(record.sample)
    variables = list(sampleset.variables)
    if getattr(getattr(sampleset, "vartype", None), "name", None) == "SPIN":
        if not np.isin(sample, (-1, 1)).all():
            raise ValueError("a SPIN sample set holds values other than -1 and 1")
        sample = (sample + 1) // 2
    index = label_index(model)
    total = model.num_binaries
    extended: typ.Any = None
    columns = np.empty(len(variables), dtype=np.int64)
    for j, v in enumerate(variables):
        b = _binary_of(v, index, total)
        if b < 0:
            if extended is None:
                extended = _extended(model) or (total, index)
            b = _binary_of(v, extended[1], extended[0])
        if b < 0:
            raise ValueError(
                f"the sample set's variable {v!r} names no binary of this model: sample a BQM whose variables are "
                f"binary indices (0 to {total - 1}) or the entries of the model's labels(), or decode with the model "
                "the samples solve"
            )
        columns[j] = b
    bad = ~((sample == 0) | (sample == 1)).all(axis=0) if len(sample) else np.zeros(len(variables), dtype=bool)
    if bad.any():
        v = variables[int(np.flatnonzero(bad)[0])]
        raise ValueError(f"the sample set gives the binary {v!r} values other than 0 and 1")
    used = np.flatnonzero(columns < n)
    out = np.zeros((len(sample), n), dtype=np.uint8)
    out[:, columns[used]] = sample[:, used]
    if len(np.unique(columns[used])) < len(used):
        # a binary named twice (by index and by label): both must agree
        again = out[:, columns[used]] != sample[:, used]
        if again.any():
            j = used[int(np.flatnonzero(again.any(axis=0))[0])]
            raise ValueError(f"the sample set gives binary {columns[j]} two values, one of them as {variables[j]!r}")
    return out, np.asarray(record.num_occurrences).tolist()


def _binary_of(v: typ.Any, index: dict[typ.Any, int], total: int) -> int:
    if isinstance(v, numbers.Integral) and not isinstance(v, bool):
        b = int(v)
        return b if 0 <= b < total else -1
    try:
        return index.get(v, -1)
    except TypeError:  # an unhashable label
        return -1


def original_binaries(model: typ.Any) -> int:
    """The model's binaries before a reduction added auxiliaries."""
    reduction = getattr(model, "reduction", None)
    return model.num_binaries if reduction is None else int(reduction.num_original)


def _extended(model: typ.Any) -> typ.Optional[tuple[int, dict[typ.Any, int]]]:
    """For a model with terms of degree 3 or more and no reduction: the binary count and labels
    of its reduction (made once), whose samples decode against it; else None."""
    if getattr(model, "reduction", None) is not None or model.degree < 3:
        return None
    cached = _cache(model).get("extended")
    if cached is None:
        from quillon_transpiler.core.pubo.arrays import reduced
        from quillon_transpiler.core.pubo.route import label_index

        made = reduced(model, "substitute")
        cached = _cache(model)["extended"] = (made.num_binaries, label_index(made))
    return typ.cast("tuple[int, dict[typ.Any, int]]", cached)


# ---- the numbers of every distinct sample ----


class _Plan:
    """What decoding reads of a model, made once per model: the encoding as arrays, the
    constraints' (and objective's, penalties') polynomials as evaluators, the energy's terms."""

    def __init__(self, model: typ.Any) -> None:
        self.model = model
        compiled = model.compiled
        if compiled.constraint is None:
            raise ValueError(
                "this model keeps no constraint polynomials to compute violations from; lower the model again "
                "with to_pubo or to_qubo_arrays"
            )
        encoder = model.encoder
        nvar = encoder.num_variables
        self.nvar = nvar
        self.nenc = encoder.num_binaries
        starts = np.zeros(nvar + 1, dtype=np.int64)
        offsets: list[typ.Any] = [0] * nvar
        coefs: list[typ.Any] = []
        onehot = np.zeros(nvar, dtype=bool)
        reach = [0] * nvar  # the largest magnitude a variable's bits can give it
        for v in range(nvar):
            offset, cs = encoder.coefficients(v)
            offsets[v] = offset
            coefs.extend(cs)
            starts[v + 1] = starts[v] + len(cs)
            reach[v] = abs(offset) + sum(abs(c) for c in cs)
            encoding = encoder._encodings.get(v)
            onehot[v] = encoding is not None and encoding.onehot
        # every variable its own binary, read as it is (a variable of no binary beside one of two
        # makes as many binaries as variables, but not one each)
        one_each = bool(np.all(np.diff(starts) == 1))
        self.identity = one_each and all(o == 0 for o in offsets) and all(c == 1 for c in coefs)
        self.exact_ints = all(isinstance(x, int) for x in offsets + coefs) and max(reach, default=0) < _INT_LIMIT
        dtype = np.int64 if self.exact_ints else object
        self.offsets = np.array(offsets, dtype=dtype)
        self.coefs = np.array(coefs, dtype=dtype)
        self.starts = starts
        self.filled = np.flatnonzero(np.diff(starts) > 0)
        self.onehot = np.flatnonzero(onehot)
        self.reach = reach
        labels: dict[int, str] = {}
        for label, by_subscripts in compiled.var_map.var_map.items():
            for index in by_subscripts.values():
                labels[index] = label
        self.onehot_labels = [labels[int(v)] for v in self.onehot]
        kinds = {label: compiled.problem.constraints[label].condition.kind.name for label in compiled.constraint}
        self.kinds = kinds
        keys = [(label, key) for label, by_key in compiled.constraint.items() for key in by_key]
        self.constraints = _Polys([compiled.constraint[label][key] for label, key in keys], reach)
        self.columns: dict[str, tuple[int, int]] = {}  # a label's instances are adjacent columns
        for k, (label, _) in enumerate(keys):
            first, _ = self.columns.get(label, (k, k))
            self.columns[label] = (first, k + 1)
        for label in compiled.constraint:
            self.columns.setdefault(label, (0, 0))
        self._lowering: typ.Any = None
        self._slacks: typ.Optional[list[typ.Any]] = None
        self._penalties: typ.Optional[dict[str, tuple[_Polys, np.ndarray]]] = None
        self.objective_poly = None if compiled.objective is None else _Polys([compiled.objective], reach)

    # values of the variables, one row per sample
    def values(self, rows: np.ndarray) -> np.ndarray:
        if self.identity:
            return rows[:, : self.nvar].astype(np.int64)
        out = np.empty((len(rows), self.nvar), dtype=self.offsets.dtype)
        out[:] = self.offsets
        if len(self.filled) and len(rows):
            weighted = rows[:, : self.nenc].astype(self.coefs.dtype) * self.coefs
            out[:, self.filled] += np.add.reduceat(weighted, self.starts[self.filled], axis=1)
        return out

    def encoding_violations(self, rows: np.ndarray) -> typ.Optional[dict[str, np.ndarray]]:
        if not len(self.onehot):
            return None
        counts = np.add.reduceat(rows[:, : self.nenc].astype(np.int64), self.starts[self.filled], axis=1)
        bad = np.zeros((len(rows), self.nvar), dtype=bool)
        bad[:, self.filled] = counts != 1
        out: dict[str, np.ndarray] = {}
        for v, label in zip(self.onehot.tolist(), self.onehot_labels):
            out[label] = out.get(label, 0) + bad[:, v].astype(np.int64)
        return out

    def violations(self, values: np.ndarray) -> tuple[dict[str, np.ndarray], np.ndarray]:
        """Per constraint label the violation of every row, and every instance's lhs."""
        lhs = self.constraints(values)
        out: dict[str, np.ndarray] = {}
        for label, (first, last) in self.columns.items():
            x = lhs[:, first:last]
            kind = self.kinds[label]
            if kind == "EQUAL":
                part = np.abs(x)
            else:
                part = np.maximum(x if kind == "LESSTHANEQUAL" else -x, 0)
            # each instance's lhs fits int64, the sum of a label's instances may not: summed as
            # Python ints then, a wrapped sum would read as a negative violation, i.e. feasible
            if part.dtype == np.int64 and part.size and int(part.max()) > _INT64_MAX // part.shape[1]:
                part = part.astype(object)
            out[label] = part.sum(axis=1).astype(np.float64)
        return out, lhs

    def objective(self, values: np.ndarray) -> np.ndarray:
        assert self.objective_poly is not None
        return self.objective_poly(values)[:, 0].astype(np.float64)

    def energies(self, rows: np.ndarray) -> np.ndarray:
        return _energies(self.model, rows)

    def derived_objective(
        self, rows: np.ndarray, values: np.ndarray, lhs: np.ndarray, energy: np.ndarray
    ) -> np.ndarray:
        """sign * (energy - the weighted parts), the parts as the lowering made them."""
        model = self.model
        lowered: LoweredParts | None = getattr(model, "lowered", None)
        if lowered is None:
            raise ValueError(
                "this model keeps neither its objective's polynomial nor the parts to derive it from; lower it "
                "again with to_qubo_arrays"
            )
        if lowered.fingerprint != fingerprint(model.offset, model.linear[: original_binaries(model)]):
            raise ValueError(
                "these arrays differ from those lowered with the weights they keep for decoding (re-weighted or "
                "edited arrays?): the objective cannot be derived from their energy; lower the model again with "
                "to_qubo_arrays, or decode with arrays of a compiled instance, which keep the objective"
            )
        parts = np.zeros(len(rows))
        for label, weight, sign, lowered_keys, slack in self.inequalities(lowered):
            first, last = self.columns[label]
            x = sign * lhs[:, first:last]
            if slack is not None:
                bits, coefficients, starts, keys = slack
                closing = np.zeros(x.shape, dtype=np.int64)
                closing[:, keys] = np.add.reduceat(rows[:, bits].astype(np.int64) * coefficients, starts, axis=1)
                x = x + closing
            parts += weight * np.square(x[:, lowered_keys].astype(np.float64)).sum(axis=1)
        if self._penalties is None:
            self._penalties = {
                label: (
                    _Polys([poly for poly, _ in by_key.values()], self.reach),
                    np.array([squared for _, squared in by_key.values()], dtype=bool),
                )
                for label, by_key in lowered.penalties.items()
            }
        for label, (polys, squared) in self._penalties.items():
            at = polys(values).astype(np.float64)
            at[:, squared] = np.square(at[:, squared])
            parts += lowered.penalty_weights[label] * at.sum(axis=1)
        if lowered.encoding_weight != 0 and len(self.onehot):
            counts = np.add.reduceat(rows[:, : self.nenc].astype(np.int64), self.starts[self.filled], axis=1)
            onehot = np.zeros(self.nvar, dtype=bool)
            onehot[self.onehot] = True
            parts += lowered.encoding_weight * np.square(counts[:, onehot[self.filled]] - 1).sum(axis=1)
        return lowered.sign * (np.asarray(energy) - parts)

    def best_slack(self, rows: np.ndarray, lhs: np.ndarray) -> np.ndarray:
        """``rows`` with the slack binaries of every inequality instance set to the code of
        clip(-sign * lhs, 0, span), the slack that makes its square least (0 when it holds)."""
        if self._slacks is None:
            self._slacks = self.slack_codes()
        if not self._slacks or not len(rows):
            return rows
        out = rows.copy()
        for column, sign, bits, coefficients, span in self._slacks:
            target = np.clip(-sign * lhs[:, column], 0, span)  # integral: the lowering's rule for a slack
            rest = target.astype(object if span > 2**62 or target.dtype == object else np.int64)
            # the largest coefficient first: 1, 2, 4, ... reach every value below the last one
            for bit, coefficient in sorted(zip(bits, coefficients), key=lambda bc: -bc[1]):
                taken = rest >= coefficient
                out[:, bit] = taken
                rest = rest - np.where(taken, coefficient, 0)
        return out

    def slack_codes(self) -> list[tuple[int, int, list[int], list[int], int]]:
        """Per inequality instance with a slack: its lhs column, sign, slack binaries and their
        coefficients, and the span of the slack."""
        model = self.model
        codes = []
        for label, by_key in model.compiled.constraint.items():
            slacks = model.slack.get(label)
            kind = self.kinds[label]
            if not slacks or kind == "EQUAL":
                continue
            sign = 1 if kind == "LESSTHANEQUAL" else -1
            first, _ = self.columns[label]
            for k, (key, poly) in enumerate(by_key.items()):
                bits = slacks.get(key, ())
                if bits:
                    lo, _ = _inequality_range(poly, sign, model.encoder)
                    codes.append((first + k, sign, list(bits), _slack_coefficients(-lo, len(bits)), -lo))
        return codes

    def inequalities(self, lowered: LoweredParts) -> list[typ.Any]:
        """Per weighted constraint label, what the lowering squared: (label, weight, sign, the
        instances lowered, the slack of those with one: binaries, coefficients, the start of
        each instance's binaries, which instances). An inequality that holds on the whole box
        of the bounds was left out; ``>=`` was lowered as -lhs <= 0."""
        if self._lowering is not None:
            return typ.cast("list[typ.Any]", self._lowering)
        model = self.model
        plan: list[typ.Any] = []
        for label, by_key in model.compiled.constraint.items():
            weight = lowered.constraint_weights[label]
            if weight == 0 or not by_key:
                continue
            kind = self.kinds[label]
            if kind == "EQUAL":
                plan.append((label, weight, 1, np.arange(len(by_key)), None))
                continue
            sign = 1 if kind == "LESSTHANEQUAL" else -1
            kept: list[int] = []
            bits: list[int] = []
            coefficients: list[int] = []
            starts: list[int] = []
            keys: list[int] = []
            for k, (key, poly) in enumerate(by_key.items()):
                lo, hi = _inequality_range(poly, sign, model.encoder)
                if hi <= 0:
                    continue
                kept.append(k)
                slack = model.slack.get(label, {}).get(key, ())
                if slack:
                    starts.append(len(bits))
                    keys.append(k)
                    bits.extend(slack)
                    coefficients.extend(_slack_coefficients(-lo, len(slack)))
            closing = None
            if keys:
                closing = (np.array(bits), np.array(coefficients, dtype=np.int64), np.array(starts), np.array(keys))
            plan.append((label, weight, sign, np.array(kept, dtype=np.intp), closing))
        self._lowering = plan
        return plan


def _plan(model: typ.Any) -> _Plan:
    plan = _cache(model).get("plan")
    if plan is None:
        plan = _cache(model)["plan"] = _Plan(model)
    return typ.cast(_Plan, plan)


def _cache(model: typ.Any) -> dict[str, typ.Any]:
    """What decoding made of a model, kept with it: one entry of its ``__dict__``, which a copy
    or a pickle of the model may leave out. The model is a dataclass a caller may change: once
    a field holds another object (a new offset, an array replaced), the cache starts afresh."""
    fields = getattr(type(model), "__dataclass_fields__", ())
    state = model.__dict__
    stamp = tuple(state.get(name) for name in fields)
    cache: typ.Optional[dict[str, typ.Any]] = state.get("_decoding")
    if cache is not None:
        kept = cache.get("_stamp", ())
        if len(kept) == len(stamp) and all(a is b for a, b in zip(kept, stamp)):
            return cache
    cache = state["_decoding"] = {"_stamp": stamp}
    return cache


class _Polys:
    """Polynomials over variable indices evaluated at many rows of values at once: column k of
    the result is polynomial k. Integer coefficients (and values) evaluate in int64 when no sum
    can leave its range, other floats in float64, anything else as Python numbers."""

    def __init__(self, polys: list[typ.Any], reach: list[int]) -> None:
        self.count = len(polys)
        # floats of integral value (the 0.0 a product leaves as a constant) count as ints when
        # every number is integral: the sums are then exact, and floats only in the end
        every = [poly.constant for poly in polys] + [c for poly in polys for c in poly.coeff.values()]
        integral = any(type(x) is float for x in every) and all(
            type(x) is int or (type(x) is float and x.is_integer()) for x in every
        )
        self.floats = integral  # floats made ints: the sums are floats again in the end

        def number(x: typ.Any) -> typ.Any:
            return int(x) if integral and type(x) is float else x

        numbers_seen: list[typ.Any] = []
        by_degree: dict[int, tuple[list[tuple[int, ...]], list[typ.Any], list[int]]] = {}
        constants: list[typ.Any] = []
        bound = 0
        for k, poly in enumerate(polys):
            constant = number(poly.constant)
            constants.append(constant)
            numbers_seen.append(constant)
            size = abs(constant) if isinstance(constant, int) else 0
            for key, c in poly.coeff.items():
                c = number(c)
                keys, cs, cols = by_degree.setdefault(len(key), ([], [], []))
                keys.append(key)
                cs.append(c)
                cols.append(k)
                numbers_seen.append(c)
                if isinstance(c, int):
                    size += abs(c) * math.prod(reach[i] for i in key)
            bound = max(bound, size)
        integers = all(type(x) is int for x in numbers_seen)
        if integers and bound < _INT_LIMIT:
            self.dtype: typ.Any = np.int64
        elif not integers and all(type(x) is float or (type(x) is int and abs(x) <= 2**53) for x in numbers_seen):
            # ints past int64's reach stay Python ints below: float64 would round their sums
            self.dtype = np.float64
        else:
            self.dtype = object
        self.constants = np.array(constants, dtype=self.dtype)
        self.groups = []
        for d, (keys, cs, cols) in by_degree.items():
            order = np.argsort(np.array(cols, dtype=np.int64), kind="stable")
            col = np.array(cols, dtype=np.int64)[order]
            first = np.flatnonzero(np.r_[True, col[1:] != col[:-1]]) if len(col) else np.zeros(0, dtype=np.int64)
            index = np.array(keys, dtype=np.int64).reshape(len(keys), d)[order]
            self.groups.append((index, np.array(cs, dtype=self.dtype)[order], first, col[first]))
        # the variables the terms read, and the terms' indices among them: only their values are
        # cast (another variable's may lie past int64 where these cannot)
        self.used = np.unique(np.concatenate([g[0].ravel() for g in self.groups] + [np.zeros(0, dtype=np.int64)]))
        self.groups = [(np.searchsorted(self.used, g[0]), *g[1:]) for g in self.groups]

    def __call__(self, values: np.ndarray) -> np.ndarray:
        out = self._sums(values)
        return out.astype(np.float64) if self.floats else out

    def _sums(self, values: np.ndarray) -> np.ndarray:
        out = np.empty((len(values), self.count), dtype=self.dtype)
        out[:] = self.constants
        if not self.groups:  # constants only: the values, which may be past int64, are not read
            return out
        values = values[:, self.used]
        if self.dtype is not values.dtype and self.dtype is not object:
            values = values.astype(self.dtype)
        elif self.dtype is object:
            values = values.astype(object)
        for index, cs, first, cols in self.groups:
            step = max(1, _STEP // max(1, len(cs)))
            for s in range(0, len(values), step):
                term = np.empty((len(values[s : s + step]), len(cs)), dtype=self.dtype)
                term[:] = cs
                for column in index.T:
                    term *= values[s : s + step][:, column]
                out[s : s + step, cols] += np.add.reduceat(term, first, axis=1) if len(cs) else 0
        return out


def exact_sum(offset: int | float, values: list[float]) -> float:
    """offset + sum(values) summed exactly and rounded once: as ints when every number is
    integral, else as fractions (floats are exact binary fractions); +-inf past float64's range
    (math.fsum raises on a partial sum past it even when the total is back in range)."""
    if not all(map(math.isfinite, values)) or (isinstance(offset, float) and not math.isfinite(offset)):
        return math.fsum([float(offset), *values])
    total: typ.Any
    if all(v.is_integer() for v in values) and (isinstance(offset, int) or offset.is_integer()):
        total = sum(map(int, values), int(offset))
    else:
        total = sum(map(fractions.Fraction, values), fractions.Fraction(offset))
    try:
        return float(total)
    except OverflowError:
        return math.inf if total > 0 else -math.inf


def _inequality_range(poly: typ.Any, sign: int, encoder: typ.Any) -> tuple[int, int]:
    """The range the lowering gives sign * lhs of an inequality over the bounds' box: monomial
    by monomial, each as the product of its variables' ranges (a power's own range)."""

    def integral(value: typ.Any) -> int:
        value = sign * value
        return int(value)

    lo = hi = integral(poly.constant)
    for key, c in poly.coeff.items():
        low, high = 1, 1
        for v in sorted(set(key)):
            k = key.count(v)
            vl, vh = encoder.bounds(v)
            pl, ph = vl**k, vh**k
            if k % 2 == 1 or vl >= 0:
                fl, fh = pl, ph
            elif vh <= 0:
                fl, fh = ph, pl
            else:
                fl, fh = 0, max(pl, ph)
            products = (low * fl, low * fh, high * fl, high * fh)
            low, high = min(products), max(products)
        x, y = integral(c) * low, integral(c) * high
        lo += min(x, y)
        hi += max(x, y)
    return lo, hi


def _slack_coefficients(span: int, bits: int) -> list[int]:
    """The lowering's slack in [0, span]: 1, 2, 4, ... with the last one capped at span."""
    if span.bit_length() != bits:
        raise RuntimeError(
            f"a slack of {bits} binaries does not encode the range [0, {span}] the constraint's bounds give; "
            "decode with the model the samples solve"
        )
    return [1 << i if i + 1 < bits else span - ((1 << (bits - 1)) - 1) for i in range(bits)]


def _energies(model: typ.Any, rows: np.ndarray) -> np.ndarray:
    """The model's energy at every row of original binaries (see ``decode``)."""
    from quillon_transpiler.core.pubo.arrays import QuboArrays, _pubo_arrays

    if not isinstance(model, QuboArrays):
        # the dict's terms as they are now, which a caller may have changed since the last decode
        # (a value changed, or a term moved to other binaries): compared with a copy of the dict
        # the arrays were made of, value by value (hashes would miss -1 made -2: both hash -2)
        kept: typ.Any = _cache(model).get("arrays")
        try:
            same = kept is not None and kept[0] == model.coeff
        except (TypeError, ValueError):  # values that do not compare as numbers: made again
            same = False
        if not same:
            stamp = dict(model.coeff)
            arrays: QuboArrays | bool
            try:
                arrays = _pubo_arrays(model)
            except ValueError:  # a coefficient float64 cannot hold: Python's numbers
                arrays = False
            kept = _cache(model)["arrays"] = (stamp, arrays)
        if kept[1] is False:
            return np.array([model.energy(row.tolist()) for row in rows], dtype=np.float64)
        model = kept[1]
    terms: _Terms | None
    if model.reduction is not None:
        # made from copies of the biases: made again, so that biases changed in place count
        terms = _Terms(model)
        rows = model.reduction.auxiliaries(rows)
    else:
        terms = _cache(model).get("terms")
        if terms is None or not terms.indices_unchanged(model):
            terms = _cache(model)["terms"] = _Terms(model)
    return terms(rows.astype(np.bool_))


_INDEX_FIELDS = ("quadratic_rows", "quadratic_cols", "higher_offsets", "higher_indices")


class _Terms:
    """A binary polynomial's terms laid out for evaluation at many samples: quadratic ones by
    row (as the arrays hold them), with the row starts, so that a sample with few binaries set
    reads only the rows of those (a sampler's samples of one-hot models mostly are), and a
    dense one every term at once."""

    def __init__(self, model: typ.Any) -> None:
        from quillon_transpiler.core.pubo.arrays import check_terms

        check_terms(model)
        linear, biases = model.linear, model.quadratic_biases
        if model.reduction is not None:
            linear, biases = _substituted(model)
        n = model.num_binaries
        # an int offset float64 cannot hold (the arrays keep it exact) is added exactly
        offset = model.offset
        self.big_offset = offset if isinstance(offset, int) and float(offset) != offset else None
        self.offset = float(offset)
        # the model's own bias arrays where they are float64 (strided views too), not copies:
        # a caller who scales them in place decodes with the biases they now hold
        self.linear = np.asarray(linear, dtype=np.float64)
        self.rows = np.ascontiguousarray(model.quadratic_rows, dtype=np.intp)
        self.cols = np.ascontiguousarray(model.quadratic_cols, dtype=np.intp)
        self.biases = np.asarray(biases, dtype=np.float64)
        if np.any(np.diff(self.rows) < 0):  # a PuboModel's terms come in its dict's order
            order = np.argsort(self.rows, kind="stable")
            self.rows, self.cols, self.biases = self.rows[order], self.cols[order], self.biases[order]
        self.starts = np.searchsorted(self.rows, np.arange(n + 1))
        self.degree = np.diff(self.starts)
        self.h_offsets = np.asarray(model.higher_offsets, dtype=np.intp)
        self.h_indices = np.ascontiguousarray(model.higher_indices, dtype=np.intp)
        self.h_biases = np.asarray(model.higher_biases, dtype=np.float64)
        # the index arrays as read: laid out above in copies, which a term moved in place
        # (an index edited) would leave stale
        self.read = [np.array(model.__dict__[name], copy=True) for name in _INDEX_FIELDS]

    def indices_unchanged(self, model: typ.Any) -> bool:
        """Whether the model's index arrays still hold what these terms were laid out from."""
        return all(np.array_equal(kept, model.__dict__[name]) for kept, name in zip(self.read, _INDEX_FIELDS))

    def exact(self) -> bool:
        """Whether the biases are integers whose magnitudes sum past 2**53: a sample's terms can
        cancel down to a value float64 holds exactly while the running sum rounds, so each
        sample's sum is taken exactly. Told from the biases as they are at each call."""
        if self.big_offset is not None:
            return True
        every = (self.linear, self.biases, self.h_biases, np.array([self.offset]))
        with np.errstate(over="ignore"):  # magnitudes past float64's range: inf, past 2**53 all the same
            mass = sum(float(np.abs(b).sum()) for b in every)
        return mass >= 2.0**53 and all(bool(np.all(np.floor(b) == b)) for b in every)

    def __call__(self, x: np.ndarray) -> np.ndarray:
        if self.exact():
            return np.array([self._exact(row) for row in x], dtype=np.float64)
        out = np.full(len(x), self.offset)
        sample, binary = np.nonzero(x)
        out += np.bincount(sample, weights=self.linear[binary], minlength=len(x))
        q = len(self.biases)
        if q:
            # per sample, the terms whose row binary is set: read those when they are few
            reached = np.bincount(sample, weights=self.degree[binary], minlength=len(x)).astype(np.int64)
            sparse = reached * 4 < q
            self._sparse(x, np.flatnonzero(sparse), reached, out)
            dense = np.flatnonzero(~sparse)
            # 64 samples at a time, binaries by row: a term reads two runs of 64 bytes
            width = _STEP // 64
            for s in range(0, len(dense), 64):
                chosen = dense[s : s + 64]
                xt = np.ascontiguousarray(x[chosen].T)
                part = np.zeros(len(chosen))
                for t in range(0, q, width):
                    both = xt[self.rows[t : t + width]] & xt[self.cols[t : t + width]]
                    part += self.biases[t : t + width] @ both.astype(np.float64)
                out[chosen] += part
        if len(self.h_biases):
            step = max(1, _STEP // len(self.h_indices))
            for s in range(0, len(x), step):
                every = np.logical_and.reduceat(x[s : s + step][:, self.h_indices], self.h_offsets[:-1], axis=1)
                out[s : s + step] += every.astype(np.float64) @ self.h_biases
        return out

    def _exact(self, row: np.ndarray) -> float:
        """The energy at one sample, its terms summed exactly and rounded once."""
        both = row[self.rows] & row[self.cols]
        values = [*self.linear[row].tolist(), *self.biases[both].tolist()]
        if len(self.h_biases):
            every = np.logical_and.reduceat(row[self.h_indices], self.h_offsets[:-1])
            values += self.h_biases[every].tolist()
        return exact_sum(self.offset if self.big_offset is None else self.big_offset, values)

    def _sparse(self, x: np.ndarray, chosen: np.ndarray, reached: np.ndarray, out: np.ndarray) -> None:
        """The quadratic terms of the chosen samples, read row by row of their set binaries."""
        bounds = np.cumsum(reached[chosen])
        begin = 0
        while begin < len(chosen):
            # samples up to _STEP reached terms together (at least one)
            end = max(begin + 1, int(np.searchsorted(bounds, (bounds[begin - 1] if begin else 0) + _STEP, "right")))
            block = chosen[begin:end]
            begin = end
            xs = x[block]
            sample, binary = np.nonzero(xs)
            counts = self.degree[binary]
            total = int(counts.sum())
            if not total:
                continue
            term = np.arange(total) + np.repeat(self.starts[binary] - (np.cumsum(counts) - counts), counts)
            sample = np.repeat(sample, counts)
            hit = xs.ravel()[sample * xs.shape[1] + self.cols[term]]
            out[block] += np.bincount(sample[hit], weights=self.biases[term[hit]], minlength=len(block))


def _substituted(model: typ.Any) -> tuple[np.ndarray, np.ndarray]:
    """A reduced model's linear and quadratic biases without the reduction's penalties: the
    substituted polynomial, whose value at the right auxiliaries is the original energy."""
    reduction = model.reduction
    written = reduction.__dict__.get("_written")
    if written is not None:
        now = written_entries(
            model.linear, model.quadratic_rows, model.quadratic_cols, model.quadratic_biases, reduction
        )
        if not np.array_equal(now, written):
            raise ValueError(
                "the reduced model's terms of its auxiliary binaries (or of their pairs) were changed after the "
                "reduction: decoding takes the reduction's penalties off them as it wrote them. Change the model "
                "before reducing it (to_qubo_arrays(..., reduction=...) or reduced(arrays, ...)), or decode the "
                "unreduced model"
            )
    shift = np.int64(32)
    codes = model.quadratic_rows.astype(np.int64) << shift | model.quadratic_cols.astype(np.int64)
    pairs = reduction.pairs
    aux = reduction.num_original + np.arange(len(pairs), dtype=np.int64)
    biases = np.array(model.quadratic_biases, dtype=np.float64)
    biases[np.searchsorted(codes, pairs[:, 0] << shift | pairs[:, 1])] = reduction.pair_bias
    biases[np.searchsorted(codes, pairs[:, 0] << shift | aux)] = 0.0
    biases[np.searchsorted(codes, pairs[:, 1] << shift | aux)] = 0.0
    linear = np.array(model.linear, dtype=np.float64)
    linear[reduction.num_original :] = 0.0
    return linear, biases
