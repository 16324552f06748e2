"""A compiled instance as one binary polynomial (QUBO/HUBO) for binary solvers, and back.

``to_pubo`` adds up, over binary variables: the objective (negated when maximising), every
equality constraint as weight * (lhs)^2, every ``<=`` constraint as weight * (lhs + s)^2 with an
integer slack s in [0, -min(lhs)] (min over the variables' bounds; ``>=`` as -lhs <= 0; left
out when it holds on the whole box of the bounds), every
custom penalty times its weight, and for one-hot encodings weight * (sum of a group - 1)^2.
Constraint weights are chosen from the model's numbers unless given (``weights``).
Integer variables are encoded with the chosen encoder; keys come back sorted and distinct, and
terms of any degree are kept. ``decode_pubo`` turns binary samples back into a quillon record.
"""

from __future__ import annotations

import dataclasses
import time
import typing as typ
from collections import abc

import numpy as np

from quillon_transpiler.core.compile.compile import compile_model
from quillon_transpiler.core.compile.compiled_model import fixed_values
from quillon_transpiler.core.native_compile import Progress, reporter
from quillon_transpiler.core.pubo import _binary, binarize, weights
from quillon_transpiler.core.pubo.int_encoder import IntegerEncoder, make_encoder
from quillon_transpiler.core.route_inputs import (
    check_encoder_for_problem,
    check_weight,
    describe,
    fixed_copy,
    given_compiled,
)

if typ.TYPE_CHECKING:
    import quillon as ql
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance

Weight = typ.Union[float, typ.Mapping[str, float]]
#: a constraint weight may also be "auto": chosen from the model's numbers (see ``weights``)
ConstraintWeight = typ.Union[float, str, typ.Mapping[str, typ.Union[float, str]]]

_KINDS = {"EQUAL": 1, "LESSTHANEQUAL": 2, "GREATERTHANEQUAL": 3}


@dataclasses.dataclass(repr=False)
class PuboModel:
    """A binary polynomial: ``sum(coeff[key] * prod(b[i] for i in key)) + constant``.

    ``num_binaries`` counts the binaries 0 .. num_binaries - 1: the encoder's (variables) then
    the slack binaries, listed in ``slack`` by constraint label and forall key.
    ``fixed_variables`` holds the fixed values the model was built with (a copy: later changes
    to the caller's dict do not reach it); decoding reports them.
    """

    coeff: dict[tuple[int, ...], float]
    constant: float
    num_binaries: int
    encoder: IntegerEncoder
    compiled: CompiledInstance
    slack: dict[str, dict[tuple[int, ...], tuple[int, ...]]]
    fixed_variables: typ.Optional[dict[str, dict[tuple[int, ...], typ.Any]]] = None

    def __post_init__(self) -> None:
        if self.fixed_variables is None:
            self.fixed_variables = fixed_snapshot(self.compiled)

    @property
    def degree(self) -> int:
        return max(map(len, self.coeff), default=0)

    def energy(self, sample: typ.Any) -> float:
        """The polynomial's value for one binary sample, keyed as ``decode_pubo`` reads them."""
        bits = sample_bits(self, sample)
        chosen = [value for key, value in self.coeff.items() if all(bits[i] for i in key)]
        numbers = [self.constant, *chosen]
        if all(type(x) is int or (type(x) is float and x.is_integer()) for x in numbers):
            # ints (and floats of integral value, such as a 0.0 constant) summed exactly, then
            # rounded once: in steps, a float would round every sum past 2**53
            exact = sum(int(x) for x in numbers)
            return float(exact) if any(type(x) is float for x in numbers) else exact
        total = self.constant
        for value in chosen:
            total += value
        return total

    def labels(self) -> list[tuple[str, tuple[int, ...], int]]:
        """Binary index -> (variable label, subscripts, bit), as ``QuboArrays.labels``."""
        return binary_labels(self)

    def __getstate__(self) -> dict[str, typ.Any]:
        return pickled_state(self)

    def __repr__(self) -> str:
        return (
            f"PuboModel({len(self.coeff)} terms, degree {self.degree}, constant {self.constant!r}, "
            f"{self.num_binaries} binaries, {type(self.encoder).__name__})"
        )


def to_pubo(
    compiled: CompiledInstance | ql.Problem,
    instance: dict[str, typ.Any] | None = None,
    fixed_variables: dict[str, dict[tuple[int, ...], float]] | None = None,
    *,
    constraint_weight: ConstraintWeight = "auto",
    penalty_weight: Weight | None = None,
    encoder: str | IntegerEncoder = "log",
    encoding_weight: float | str = 1.0,
    progress: Progress | bool | None = None,
) -> PuboModel:
    """The compiled instance as one binary polynomial to minimise.

    Args:
        compiled: the result of ``compile_model``; or a quillon problem, compiled here by
            ``compile_model(compiled, instance, fixed_variables)``.
        constraint_weight: one weight for every constraint, or a dict label -> weight (missing
            labels weigh 1.0). A zero weight leaves the constraint out. ``"auto"`` (the default;
            for all, or for a label in the dict) chooses the weight from the model's numbers:
            twice the largest change of the objective (custom penalties included, at their
            weights) that flipping one binary can make, divided by the smallest squared
            violation of the constraint (1 for integer data), so that every violating
            assignment costs more than any single flip can buy. It lowers the objective once
            more, alone; see ``quillon_transpiler.core.pubo.weights``.
        penalty_weight: the same for custom penalties; None weighs every penalty 1 (an int: integer
            data stays exact).
        encoder: "log" (or "binary"), "unary", "one-hot", or an encoder built from
            ``compiled.var_map`` (so given with a compiled instance only).
        encoding_weight: weight of the one-hot rule of every one-hot encoded variable; "auto"
            chooses it as for a constraint whose smallest squared violation is 1.
        progress: a callable ``progress(stage, item, seconds)`` told when a problem given here
            is compiled (stage ``"compile"``, item ``"the model"``: the compile runs as a whole);
            None (the default) prints that line to stderr once the call has run for more than a
            second; False is silent.

    Weights are finite, non-negative numbers (constraint and encoding weights may also be "auto").

    Raises:
        SubstituteError: as ``compile_model``.
        TypeError: ``compiled`` is neither a compiled instance nor a problem with its instance
            data; instance data given with a compiled instance; a weight is not a number.
        ValueError: a weight names an unknown label or is negative or not finite; an inequality
            has non-integral coefficients (its integer slack could not close it); bad bounds; an
            encoder built for another instance; a coefficient that is not finite.
    """
    report = reporter(progress, time.perf_counter())
    given = given_compiled("to_pubo", compiled, instance, fixed_variables)
    if given is None:
        check_encoder_for_problem(encoder)
        fixed = fixed_copy(fixed_variables)
        given = compile_model(typ.cast("ql.Problem", compiled), typ.cast(dict, instance), fixed)
        if report is not None:
            report("compile", "the model")
    compiled = given
    encoder, request = pubo_request(compiled, constraint_weight, penalty_weight, encoder, encoding_weight)
    lowered = binarize._lower(request)
    return PuboModel(
        lowered.coeff, lowered.constant, lowered.num_binaries, encoder, compiled, slack_map(lowered.slacks)
    )


def decode_pubo(samples: typ.Any, result: typ.Any) -> ql.Record:
    """Binary samples as a quillon record of the compiled instance.

    ``samples``: one sample or several; a sample is a mapping keyed by binary index (0 ..
    num_binaries - 1) or by the model's ``labels()`` entries (as a BQM relabelled with them
    gives), valued 0 or 1, missing binaries 0; or a sequence of one value per binary. A 2-D
    array holds one sample per row. ``result``: the ``PuboModel`` or ``QuboArrays`` the samples
    solve. Integer variables get their values back through the encoder; the fixed values the
    model was built with are included. A key that names no binary, or a value other than 0 or
    1, is an error: such a sample would decode to a wrong answer.
    """
    from quillon_transpiler.core.decode import decode

    model = binary_model(result, "decode_pubo")
    labels = label_index(model)
    table, nbin = model.encoder._table, model.num_binaries
    values = [_binary._decode(table, sample, nbin, labels) for sample in sample_list(samples, nbin)]
    compiled = model.compiled
    record = decode._record(values, compiled.var_map.var_map, model.fixed_variables, compiled.deci_var_shape)
    if is_sampleset(samples):  # each row stands for as many reads as the set counts
        record.num_occurrences = np.asarray(samples.record.num_occurrences).tolist()
    return record


def fixed_snapshot(compiled: CompiledInstance) -> dict[str, dict[tuple[int, ...], typ.Any]]:
    """A copy of the fixed values the compiled instance was compiled with (label -> subscripts -> value)."""
    return fixed_values(compiled)


def binary_model(obj: typ.Any, route: str) -> typ.Any:
    """``obj`` when it is a binary model (``PuboModel`` or ``QuboArrays``), else a TypeError."""
    from quillon_transpiler.core.pubo.arrays import QuboArrays

    if isinstance(obj, (PuboModel, QuboArrays)):
        return obj
    hint = ""
    if hasattr(obj, "var_map") and hasattr(obj, "deci_var_shape"):
        hint = "; a compiled instance has no binaries yet: pass the model to_pubo or to_qubo_arrays gave"
    raise TypeError(f"{route} takes the PuboModel or QuboArrays the samples solve, got {describe(obj)}{hint}")


def pickled_state(model: typ.Any) -> dict[str, typ.Any]:
    """What a binary model pickles: its fields (the encoder rebuilds its native table when loaded),
    without the caches made from them (the label index, what decoding planned), which a loaded
    model makes again."""
    state = model.__dict__.copy()
    state.pop("_label_index", None)
    state.pop("_decoding", None)
    return state


def binary_labels(model: typ.Any) -> list[tuple[str, tuple[int, ...], int]]:
    """Binary index -> (variable label, subscripts, bit): bit k of an encoded variable is its
    k-th binary (0 for a binary variable); slack binaries get ("slack:" + constraint label,
    forall key, bit); a reduction's auxiliaries ("aux", (a, b), 0). A slack or auxiliary name
    that a variable of the model has already gets one more leading "_" until it is free, so
    that no two binaries share a label."""
    out: list[typ.Any] = [None] * model.num_binaries
    encoder = model.encoder
    variables = model.compiled.var_map.var_map

    def free(name: str) -> str:
        while name in variables:
            name = "_" + name
        return name

    for label, by_subscripts in variables.items():
        for subscripts, index in by_subscripts.items():
            for bit, b in enumerate(encoder.binaries(index)):
                out[b] = (label, subscripts, bit)
    for label, by_key in model.slack.items():
        name = free(f"slack:{label}")
        for key, bits in by_key.items():
            for bit, b in enumerate(bits):
                out[b] = (name, key, bit)
    reduction = getattr(model, "reduction", None)
    if reduction is not None:
        aux = free("aux")
        out[reduction.num_original :] = [(aux, pair, bit) for _, pair, bit in reduction.labels()]
    return out


def label_index(model: typ.Any) -> dict[typ.Any, int]:
    """The model's labels -> binary index, made once per model."""
    index: dict[typ.Any, int] | None = model.__dict__.get("_label_index")
    if index is None:
        index = {label: b for b, label in enumerate(model.labels())}
        model.__dict__["_label_index"] = index
    return index


def sample_bits(model: typ.Any, sample: typ.Any) -> bytes:
    """One sample's binaries as bytes of 0 and 1, read as ``decode_pubo`` reads them."""
    (sample,) = sample_list(sample, model.num_binaries, one=True)
    return _binary._sample_bits(model.encoder._table, sample, model.num_binaries, label_index(model))


def is_sampleset(samples: typ.Any) -> bool:
    """Whether ``samples`` is a dimod SampleSet (read without importing dimod)."""
    return hasattr(samples, "samples") and hasattr(samples, "record")


def sample_list(samples: typ.Any, nbin: int, one: bool = False) -> list[typ.Any]:
    """Samples as a list of mappings or of dense lists (one value per binary), checked for shape."""
    if isinstance(samples, typ.Mapping):
        return [samples]
    if is_sampleset(samples):
        if getattr(getattr(samples, "vartype", None), "name", None) == "SPIN":
            samples = samples.change_vartype("BINARY", inplace=False)
        # in the set's own order (samples() sorts by energy), as its occurrences are counted
        samples = list(samples.samples(sorted_by=None))
    if isinstance(samples, np.ndarray):
        if samples.ndim not in (1, 2):
            raise ValueError(f"a sample array holds one sample (1-D) or one per row (2-D), got {samples.ndim}-D")
        rows = samples.tolist() if samples.ndim == 2 else [samples.tolist()]
    elif isinstance(samples, (str, bytes)) or not hasattr(samples, "__iter__"):
        raise TypeError(
            f"samples must be a mapping {{binary index: 0 or 1}}, a sequence of such mappings or a 2-D array "
            f"with one row per sample, got {describe(samples)}"
        )
    else:
        rows = list(samples)
        if rows and not any(isinstance(row, (typ.Mapping, list, tuple, np.ndarray)) for row in rows):
            rows = [rows]  # one sample, a value per binary
        for k, row in enumerate(rows):
            if isinstance(row, np.ndarray):
                row = rows[k] = row.tolist()
            if not isinstance(row, (typ.Mapping, list, tuple)):
                raise TypeError(f"a sequence of samples must hold samples (mappings or rows), got {describe(row)}")
    if one and not rows and nbin == 0 and isinstance(samples, (list, tuple)):
        rows = [[]]  # the one sample of a model without binaries, a value for each of them
    for row in rows:
        if isinstance(row, (list, tuple)) and len(row) != nbin:
            raise ValueError(
                f"a sample given as a sequence needs one value per binary ({nbin}), got {len(row)}; give a sample "
                "as a dict {binary index: 0 or 1}, or one row per sample in a 2-D array"
            )
    if one and len(rows) != 1:
        raise ValueError(f"one sample expected, got {len(rows)}")
    return rows


def pubo_request(
    compiled: CompiledInstance,
    constraint_weight: ConstraintWeight,
    penalty_weight: Weight | None,
    encoder: str | IntegerEncoder,
    encoding_weight: float | str,
) -> tuple[IntegerEncoder, binarize.PuboRequest]:
    """The encoder, and what the native lowering reads (weights, kinds and encoder checked)."""
    encoder, request, auto_rules = unresolved_request(
        compiled, constraint_weight, penalty_weight, encoder, encoding_weight
    )
    return encoder, weights.resolve(request, compiled, auto_rules)


def unresolved_request(
    compiled: CompiledInstance,
    constraint_weight: ConstraintWeight,
    penalty_weight: Weight | None,
    encoder: str | IntegerEncoder,
    encoding_weight: float | str,
) -> tuple[IntegerEncoder, binarize.PuboRequest, bool]:
    """``pubo_request``'s encoder and request before ``weights.resolve``: "auto" weights left as
    they are, the one-hot rules' weight 0 when automatic (the last item says whether)."""
    if isinstance(encoder, IntegerEncoder):
        encoder.check_registry(compiled.var_map)
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
    constraint_weights = _weights(
        constraint_weight, compiled.constraint, "constraint_weight", auto=True, pinning=pinning_labels(compiled)
    )
    # the int 1: a float would make the integer data of every penalty floats, rounded past 2**53
    penalty_weights = _weights(1 if penalty_weight is None else penalty_weight, compiled.penalty, "penalty_weight")
    auto_rules = weights.is_auto(encoding_weight)
    if not auto_rules:
        check_weight(encoding_weight, "encoding_weight", auto=True)
    request = binarize.PuboRequest(
        table=encoder._table,
        objective=compiled.objective,
        sign=-1 if compiled.sense.name == "MAXIMIZE" else 1,
        constraints=compiled.constraint,
        kinds=kinds,
        constraint_weights=constraint_weights,
        penalties=compiled.penalty,
        penalty_weights=penalty_weights,
        onehot_weight=0.0 if auto_rules else typ.cast(float, encoding_weight),
    )
    return encoder, request, auto_rules


def pinning_labels(compiled: CompiledInstance) -> list[str]:
    """The model's constraints that pin variables (``x[0] == 1``): the compile fixes the variables
    and keeps no polynomial of them."""
    return [label for label in compiled.problem.constraints if label not in compiled.constraint]


def slack_map(
    slacks: list[tuple[str, tuple[int, ...], tuple[int, ...]]],
) -> dict[str, dict[tuple[int, ...], tuple[int, ...]]]:
    """(label, forall key, binaries) records by label and forall key."""
    slack: dict[str, dict[tuple[int, ...], tuple[int, ...]]] = {}
    for label, key, bits in slacks:
        slack.setdefault(label, {})[key] = bits
    return slack


def _weights(
    weight: typ.Any, labels: typ.Iterable[str], what: str, auto: bool = False, pinning: typ.Iterable[str] = ()
) -> dict[str, typ.Any]:
    """Weight by label, checked; with ``auto``, "auto" passes for ``weights.resolve`` to fill in.
    A dict may also name the ``pinning`` constraints (which fix variables and leave no
    polynomial to weigh): their weights are checked and go unused."""
    # a float or "auto", the common cases, skip the abstract class check
    if type(weight) not in (float, str) and isinstance(weight, abc.Mapping):
        labels, pinning = list(labels), list(pinning)
        unknown = [label for label in weight if label not in labels and label not in pinning]
        if unknown:
            raise ValueError(f"{what} names unknown labels {unknown}; the model has {pinning + labels}")
        for label, value in weight.items():
            if not (auto and weights.is_auto(value)):
                check_weight(value, f"{what}[{label!r}]", auto)
        return {label: weight.get(label, 1) for label in labels}
    if not (auto and weights.is_auto(weight)):
        check_weight(weight, what, auto)
    return dict.fromkeys(labels, weight)
