"""Decoded solver results.

A solution maps each decision variable label to one sparse triple per sample:
`(indices, values, shape)`, where `indices` is a tuple holding one list of
subscripts per axis, `values` the entries at those positions, and `shape` the
variable's shape. Entries not listed are zero.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Optional, Tuple

if TYPE_CHECKING:
    import numpy as np

Sparse = Tuple[Tuple[List[int], ...], List[float], Tuple[int, ...]]


def to_dense(sparse: Sparse, dtype: Any = None) -> np.ndarray:
    """Expand one sparse triple into a dense array (0-d for a scalar variable)."""
    import numpy as np  # only needed here; modeling works without NumPy

    indices, values, shape = sparse
    shape = tuple(int(n) for n in shape)
    if len(indices) != len(shape):
        raise ValueError(f"{len(indices)} index axes do not match shape {shape}")
    if any(len(axis) != len(values) for axis in indices):
        raise ValueError("every index axis needs one subscript per value")
    if shape == () and len(values) > 1:
        raise ValueError(f"a scalar has at most one value, got {len(values)}")
    if dtype is None:
        # Keeps binary and integer variables integral.
        dtype = np.asarray(values).dtype if len(values) else np.int64
    dense = np.zeros(shape, dtype=dtype)
    if shape == ():
        if len(values):
            dense[()] = values[0]
        return dense
    at = tuple(np.asarray(axis, dtype=np.intp) for axis in indices)
    for k, axis in enumerate(at):
        # NumPy would count a negative subscript from the end, putting the value on another entry
        outside = (axis < 0) | (axis >= shape[k])
        if outside.any():
            entry = tuple(int(a[int(np.argmax(outside))]) for a in at)
            raise ValueError(
                f"the value at {entry} lies outside the shape {shape} (a value fixed outside the variable's "
                "shape?): a dense array has no entry for it; read it from the sparse triple"
            )
    dense[at] = values
    return dense


@dataclass
class Record:
    solution: Dict[str, List[Sparse]]
    num_occurrences: List[int]


@dataclass
class Evaluation:
    """Per sample: energy, objective and each constraint's violation. ``encoding_violations``,
    when a decoder reports it, counts per variable label the elements whose binary encoding
    holds no valid code (e.g. a one-hot group with no bit or several set): such a sample is no
    assignment of the model, whatever its constraint violations say."""

    energy: List[float]
    objective: List[float]
    constraint_violations: Dict[str, List[float]] = field(default_factory=dict)
    encoding_violations: Optional[Dict[str, List[int]]] = None


@dataclass
class MeasuringTime:
    """Wall-clock seconds; None where the solver did not report it."""

    solve: Optional[float] = None
    system: Optional[float] = None
    total: Optional[float] = None


@dataclass
class SampleSet:
    record: Record
    evaluation: Evaluation
    measuring_time: MeasuringTime = field(default_factory=MeasuringTime)

    def __len__(self) -> int:
        return len(self.record.num_occurrences)

    def take(self, samples: Iterable[int]) -> SampleSet:
        """A new SampleSet holding only the given samples, in the given order."""
        chosen = list(samples)

        def pick(values: List[Any]) -> List[Any]:
            return [values[k] for k in chosen]

        evaluation = self.evaluation
        encoding = evaluation.encoding_violations
        return SampleSet(
            Record(
                {label: pick(s) for label, s in self.record.solution.items()},
                pick(self.record.num_occurrences),
            ),
            Evaluation(
                pick(evaluation.energy),
                pick(evaluation.objective),
                {label: pick(v) for label, v in evaluation.constraint_violations.items()},
                None if encoding is None else {label: pick(v) for label, v in encoding.items()},
            ),
            self.measuring_time,
        )

    def feasible(self, tolerance: float = 1e-9) -> SampleSet:
        """The samples violating no constraint and no encoding; `tolerance` absorbs float round-off."""
        violations = list(self.evaluation.constraint_violations.values())
        broken = list((self.evaluation.encoding_violations or {}).values())
        return self.take(
            k for k in range(len(self)) if all(v[k] <= tolerance for v in violations) and not any(b[k] for b in broken)
        )

    def lowest(self) -> SampleSet:
        """The samples of lowest energy (all of them when several tie)."""
        energy = [e for e in self.evaluation.energy if e == e]  # a NaN energy is no lowest one
        if not energy:
            return self.take([])
        best = min(energy)
        return self.take(k for k, e in enumerate(self.evaluation.energy) if e == best)

    def dense(self, label: str, sample: int = 0) -> np.ndarray:
        """The value of variable `label` in one sample, as a dense array."""
        return to_dense(self.record.solution[label][sample])
