"""A model as a QUBO/HUBO in NumPy arrays, without a Python object per term.

``to_qubo_arrays`` compiles a model with the native compile (the driver of ``compile_model``,
with every polynomial kept in C++) and lowers it to binaries with the code of ``to_pubo``, so
its terms and coefficients are those of ``to_pubo(compile_model(...))``; only the storage
differs. ``to_bqm`` hands the arrays to dimod's vectorised constructor.
"""

from __future__ import annotations

import dataclasses
import time
import typing as typ

import numpy as np

import quillon as ql
from quillon_transpiler.core.native_compile import Progress, compile_native, reporter
from quillon_transpiler.core.pubo import binarize, weights
from quillon_transpiler.core.pubo.decoding import LoweredParts, exact_sum, fingerprint, keep_for_decoding
from quillon_transpiler.core.pubo.int_encoder import IntegerEncoder
from quillon_transpiler.core.pubo.reduction import Reduction, check_method, substitute
from quillon_transpiler.core.pubo.route import (
    ConstraintWeight,
    PuboModel,
    Weight,
    binary_labels,
    fixed_snapshot,
    pickled_state,
    slack_map,
    unresolved_request,
)
from quillon_transpiler.core.records import replaced
from quillon_transpiler.core.route_inputs import check_encoder_for_problem, describe, given_compiled

if typ.TYPE_CHECKING:
    import dimod

    from quillon_transpiler.core.compile.compiled_model import CompiledInstance


@dataclasses.dataclass(repr=False)
class QuboArrays:
    """``offset + sum(linear[i] b_i) + sum(quadratic_biases[k] b_rows[k] b_cols[k]) + higher terms``.

    Binaries are numbered as in ``to_pubo``: the encoder's (variable by variable; variable ``v``
    has ``binary_starts[v]`` to ``binary_starts[v + 1] - 1``), then the slack binaries of
    inequalities, listed in ``slack``. Quadratic terms have ``row < col``, sorted by row, then
    column; their three arrays may be strided views of one buffer (``np.ascontiguousarray``
    packs one). Term ``k`` of degree 3
    or more is ``higher_indices[higher_offsets[k]:higher_offsets[k + 1]]`` (sorted, distinct)
    with bias ``higher_biases[k]``. ``compiled`` keeps what decoding reads (``decode`` and
    ``decode_pubo`` accept these arrays): the registry, data and shapes, and, lowered from a
    problem, the constraints' polynomials and either the objective's or, in ``lowered``, the
    weights and penalties the objective is derived from (see ``decode``).

    ``reduction``: set when the terms of degree 3 or more were reduced
    (``reduction="substitute"``): binaries ``reduction.num_original`` on are auxiliaries,
    numbered after every other binary and named ("aux", (a, b), 0) in ``labels()``.
    """

    linear: np.ndarray
    quadratic_rows: np.ndarray
    quadratic_cols: np.ndarray
    quadratic_biases: np.ndarray
    higher_offsets: np.ndarray
    higher_indices: np.ndarray
    higher_biases: np.ndarray
    offset: float
    num_binaries: int
    binary_starts: np.ndarray
    encoder: IntegerEncoder
    compiled: CompiledInstance
    slack: dict[str, dict[tuple[int, ...], tuple[int, ...]]]
    fixed_variables: typ.Optional[dict[str, dict[tuple[int, ...], typ.Any]]] = None
    reduction: typ.Optional[Reduction] = None
    lowered: typ.Optional[LoweredParts] = None

    def __post_init__(self) -> None:
        if self.fixed_variables is None:
            self.fixed_variables = fixed_snapshot(self.compiled)

    @property
    def num_terms(self) -> int:
        """Terms of degree 1 (non-zero biases), 2 and more."""
        return int(np.count_nonzero(self.linear)) + len(self.quadratic_biases) + len(self.higher_biases)

    @property
    def degree(self) -> int:
        if len(self.higher_biases):
            return int(np.diff(self.higher_offsets).max())
        if len(self.quadratic_biases):
            return 2
        return 1 if np.any(self.linear) else 0

    def to_dict(self) -> dict[tuple[int, ...], float]:
        """The terms as ``to_pubo``'s coefficient dict holds them; linear biases of 0 are left out."""
        out: dict[tuple[int, ...], float] = {}
        nonzero = np.flatnonzero(self.linear)
        out.update(zip(((int(i),) for i in nonzero), self.linear[nonzero].tolist()))
        rows, cols = self.quadratic_rows.tolist(), self.quadratic_cols.tolist()
        out.update(zip(zip(rows, cols), self.quadratic_biases.tolist()))
        offsets, indices = self.higher_offsets.tolist(), self.higher_indices.tolist()
        keys = (tuple(indices[offsets[k] : offsets[k + 1]]) for k in range(len(self.higher_biases)))
        out.update(zip(keys, self.higher_biases.tolist()))
        return out

    def energies(self, samples: typ.Any) -> np.ndarray:
        """The polynomial at every row of a (samples x num_binaries) array of 0s and 1s."""
        given = np.asarray(samples)
        if given.dtype.kind not in "biuf":  # a dict, None or a string would read as something else
            raise TypeError(f"samples are 0s and 1s in an array or nested lists, got {describe(samples)}")
        x = np.atleast_2d(given.astype(np.float64))
        if x.ndim != 2 or x.shape[1] != self.num_binaries:
            raise ValueError(f"samples need {self.num_binaries} columns (one per binary), got shape {x.shape}")
        if not ((x == 0) | (x == 1)).all():  # a 2 or -1 (a SPIN sample) would give a wrong energy
            bad = x[~((x == 0) | (x == 1))][0].item()
            raise ValueError(f"samples hold binaries of 0 and 1, got {bad!r}; map SPIN samples with (1 + s) / 2")
        # an int offset float64 cannot hold is added to each sum exactly, and rounded once
        big = isinstance(self.offset, int) and float(self.offset) != self.offset
        out = np.full(len(x), 0.0 if big else float(self.offset)) + x @ self.linear
        out += (x[:, self.quadratic_rows] * x[:, self.quadratic_cols]) @ self.quadratic_biases
        if len(self.higher_biases):
            product = np.multiply.reduceat(x[:, self.higher_indices], self.higher_offsets[:-1], axis=1)
            out += product @ self.higher_biases
        if big:
            out = np.array([exact_sum(self.offset, [v]) for v in out.tolist()], dtype=np.float64)
        return out

    def labels(self) -> list[tuple[str, tuple[int, ...], int]]:
        """Binary index -> (variable label, subscripts, bit): bit k of an encoded variable is its
        k-th binary (0 for a binary variable); slack binaries get ("slack:" + constraint label,
        forall key, bit), a reduction's auxiliaries ("aux", (a, b), 0) for the product of
        binaries a and b (a slack or auxiliary name that a variable has takes a leading "_"
        until it is free). ``decode`` and ``decode_pubo`` read samples keyed by these labels too."""
        return binary_labels(self)

    def __getstate__(self) -> dict[str, typ.Any]:
        # Views of one buffer pickle as packed copies: a contiguous array is also what pickle
        # protocol 5 can hand over as an out-of-band buffer, without a copy of its own.
        state = pickled_state(self)
        for name, value in state.items():
            if isinstance(value, np.ndarray) and not value.flags.c_contiguous:
                state[name] = value.copy(order="C")
        return state

    def __repr__(self) -> str:
        return (
            f"QuboArrays({self.num_binaries} binaries, {np.count_nonzero(self.linear)} linear, "
            f"{len(self.quadratic_biases)} quadratic, {len(self.higher_biases)} higher-order terms, "
            f"offset {self.offset!r})"
        )


def to_qubo_arrays(
    problem: ql.Problem | CompiledInstance,
    instance: dict[str, typ.Any] | None = None,
    fixed_variables: dict[str, dict[tuple[int, ...], float]] | None = None,
    *,
    constraint_weight: ConstraintWeight = "auto",
    penalty_weight: Weight | None = None,
    encoder: str | IntegerEncoder = "log",
    encoding_weight: float | str = 1.0,
    progress: Progress | bool | None = None,
    reduction: str | None = None,
    reduction_strength: float | None = None,
) -> QuboArrays:
    """The binary polynomial of ``to_pubo`` as NumPy arrays, compiled without a Python object per term.

    Args:
        problem: a quillon problem (compiled against ``instance`` and ``fixed_variables`` as
            ``compile_model`` does, with the same errors), or a compiled instance.
        constraint_weight, penalty_weight, encoder, encoding_weight: as for ``to_pubo``
            (an encoder object must be built from the compiled registry, so pass one only with
            a compiled instance).
        progress: a callable ``progress(stage, item, seconds)`` told of every item (objective,
            constraint or penalty label) compiled and lowered; None (the default) prints a line
            per item to stderr once the call has run for more than a second; False is silent.
        reduction: None keeps terms of any degree; "substitute" replaces products of degree 3
            or more by auxiliary binaries (Rosenberg's substitution, pairs chosen by how many
            terms share them), each with a penalty weight of twice the magnitudes of the terms
            it enters, so that for every assignment of the other binaries the minimum over the
            auxiliaries is the original energy (see ``reduction.py``).
        reduction_strength: a floor for every auxiliary's penalty weight (it never lowers the
            bound above); None for the bound alone.

    Raises:
        SubstituteError: as ``compile_model``.
        TypeError: as ``to_pubo``; instance data or fixed variables given with a compiled
            instance, or none with a problem.
        ValueError: as ``to_pubo``; a coefficient that a float64 cannot hold exactly; an
            unknown reduction, or a strength that is negative, not finite or without one.
    """
    report = reporter(progress, time.perf_counter())
    check_method(reduction, reduction_strength)
    compiled = given_compiled("to_qubo_arrays", problem, instance, fixed_variables)
    consume = compiled is None
    if compiled is None:
        check_encoder_for_problem(encoder)
        compiled = compile_native(typ.cast("ql.Problem", problem), typ.cast(dict, instance), fixed_variables, report)
    encoder, request, auto_rules = unresolved_request(
        compiled, constraint_weight, penalty_weight, encoder, encoding_weight
    )
    # automatic weights are chosen as the lowering merges the objective when it can; otherwise
    # (None) the objective is lowered once more, alone, for them
    auto = [label for label, weight in request.constraint_weights.items() if weights.is_auto(weight)]
    late = weights.waiting(request, compiled, auto_rules)
    if late is None:
        request = weights.resolve(request, compiled, auto_rules)
    on_lowered = None if report is None else (lambda label: report("lower", label))
    parts = None
    if consume:
        # the lowering empties the polynomials: what decoding reads is taken first
        compiled, parts = keep_for_decoding(compiled, request if late is None else late[0])
    lowered = None
    if late is not None:
        stand_in, steps = late
        swings: list[float] = []

        def weigh(swing: float) -> dict[str, float]:
            swings.append(swing)
            return {label: weights.weight_for(swing, step, label) for label, step in steps.items()}

        try:
            # nothing consumed: weights whose products leave doubles' exact ints give None late
            lowered = binarize._lower_arrays_late(stand_in, False, on_lowered, weigh)
        except ValueError as error:
            if swings:
                request = weights.chosen(request, swings[0], steps)
            raise _naming_weights(error, request, auto, auto_rules) from None
        request = weights.chosen(request, swings[0] if swings else weights.objective_swing(request), steps)
        if parts is not None:
            parts = replaced(parts, constraint_weights=dict(request.constraint_weights))
    if lowered is None:
        try:
            lowered = binarize._lower_arrays(request, consume, on_lowered)
        except ValueError as error:
            raise _naming_weights(error, request, auto, auto_rules) from None
    arrays = QuboArrays(
        lowered.linear,
        lowered.quadratic_rows,
        lowered.quadratic_cols,
        lowered.quadratic_biases,
        lowered.higher_offsets,
        lowered.higher_indices,
        lowered.higher_biases,
        lowered.offset,
        lowered.num_binaries,
        lowered.binary_starts,
        encoder,
        compiled,
        slack_map(lowered.slacks),
        lowered=None if parts is None else parts.sealed(fingerprint(lowered.offset, lowered.linear)),
    )
    return arrays if reduction is None else reduced(arrays, reduction, reduction_strength)


def _naming_weights(error: ValueError, request: binarize.PuboRequest, auto: list[str], auto_rules: bool) -> ValueError:
    """``error``, its message naming the weights "auto" chose when a coefficient past float64's
    exact range was refused: those weights multiply the constraints' squares."""
    chosen = {
        label: request.constraint_weights[label]
        for label in auto
        if not weights.is_auto(request.constraint_weights[label])
    }
    if "exact float64" not in str(error) or not (chosen or auto_rules):
        return error
    named = [f"constraint_weight={chosen!r}"] if chosen else []
    if auto_rules:
        named.append(f"encoding_weight={request.onehot_weight!r}")
    return ValueError(
        f'{error} (the weights "auto" chose: {", ".join(named)}; integer data this large needs to_pubo, or '
        "weights given as smaller numbers, or scaled data)"
    )


def reduced(model: QuboArrays | PuboModel, method: str, strength: float | None = None) -> QuboArrays:
    """The model's arrays with its terms of degree 3 or more reduced by ``method``; the arrays
    themselves when it has none (or is reduced already)."""
    arrays = _pubo_arrays(model) if isinstance(model, PuboModel) else model
    if not len(arrays.higher_biases):
        return arrays
    made = substitute(
        arrays.linear,
        arrays.quadratic_rows,
        arrays.quadratic_cols,
        arrays.quadratic_biases,
        arrays.higher_offsets,
        arrays.higher_indices,
        arrays.higher_biases,
        strength,
    )
    return dataclasses.replace(
        arrays,
        linear=made.linear,
        quadratic_rows=made.rows,
        quadratic_cols=made.cols,
        quadratic_biases=made.biases,
        higher_offsets=np.zeros(1, dtype=np.int64),
        higher_indices=np.zeros(0, dtype=np.int32),
        higher_biases=np.zeros(0, dtype=np.float64),
        num_binaries=len(made.linear),
        reduction=made.reduction,
    )


def to_bqm(
    arrays: QuboArrays | PuboModel | CompiledInstance | ql.Problem,
    instance: dict[str, typ.Any] | None = None,
    fixed_variables: dict[str, dict[tuple[int, ...], float]] | None = None,
    *,
    constraint_weight: ConstraintWeight | None = None,
    penalty_weight: Weight | None = None,
    encoder: str | IntegerEncoder | None = None,
    encoding_weight: float | str | None = None,
    progress: Progress | bool | None = None,
    reduction: str | None = None,
    reduction_strength: float | None = None,
) -> dimod.BinaryQuadraticModel:
    """A ``dimod.BinaryQuadraticModel`` (binary variables 0 .. num_binaries - 1) of a quadratic model.

    ``arrays``: the ``QuboArrays`` of ``to_qubo_arrays`` or the ``PuboModel`` of ``to_pubo``, taken
    alone; or, lowered here by ``to_qubo_arrays`` with the options given (those left at None take
    its defaults), a quillon problem with its instance data (and fixed variables) or a compiled
    instance. ``arrays.labels()`` (``to_qubo_arrays(...).labels()``) names the variables; relabel
    the model with it when needed. ``progress`` is told of the compile, the lowering and the
    export (``"export"``, ``"the model"``), as for ``to_qubo_arrays``.

    ``reduction`` and ``reduction_strength`` reduce terms of degree 3 or more as for
    ``to_qubo_arrays``, a finished model's too: its auxiliaries follow every other binary, as
    ``to_qubo_arrays(..., reduction=...)`` numbers and labels them, and ``decode`` reads such
    samples against the model with or without its reduction.

    Raises:
        TypeError: an object of another kind; instance data, fixed variables, weights or an
            encoder given with a finished model; as ``to_qubo_arrays``.
        ValueError: terms of degree 3 or more without a reduction; an int offset that a float64
            cannot hold exactly; as ``to_qubo_arrays``.
        ImportError: dimod is not installed.
    """
    report = reporter(progress, time.perf_counter())
    check_method(reduction, reduction_strength)
    options = {
        "constraint_weight": constraint_weight,
        "penalty_weight": penalty_weight,
        "encoder": encoder,
        "encoding_weight": encoding_weight,
    }
    finished = isinstance(arrays, (QuboArrays, PuboModel))
    if finished:
        given = [name for name, value in options.items() if value is not None]
        if instance is not None or fixed_variables is not None:
            given[:0] = ["instance data or fixed variables"]
        if given:
            raise TypeError(
                f"to_bqm was given {describe(arrays)} with {', '.join(given)}, but its weights, encoder and data "
                "are fixed: pass them with the problem or the compiled instance, to_bqm(problem, instance, ...)"
            )
    elif not (_is_compiled(arrays) or isinstance(arrays, ql.Problem)):
        raise TypeError(
            "to_bqm takes the QuboArrays of to_qubo_arrays or the PuboModel of to_pubo, or a quillon Problem with "
            f"its instance data, or a compiled instance, got {describe(arrays)}"
        )
    elif given_compiled("to_bqm", arrays, instance, fixed_variables) is None and encoder is not None:
        check_encoder_for_problem(encoder)
    try:
        import dimod
    except ImportError:
        raise ImportError(
            "to_bqm needs dimod; install it with the package's `dimod` extra: pip install 'quillon_transpiler[dimod]'"
        ) from None
    if isinstance(arrays, PuboModel):
        arrays = _pubo_arrays(arrays)
    elif not isinstance(arrays, QuboArrays):
        # the arrays' route reports to this call's report, timed from its start
        told: Progress | bool = False if report is None else (lambda stage, item, seconds: report(stage, item))
        chosen: dict[str, typ.Any] = {name: value for name, value in options.items() if value is not None}
        arrays = to_qubo_arrays(arrays, instance, fixed_variables, progress=told, **chosen)
    if reduction is not None:
        arrays = reduced(arrays, reduction, reduction_strength)
    # terms that cancelled to 0 (x*y*z - z*y*x) hold nothing a BinaryQuadraticModel must take
    higher = int(np.count_nonzero(arrays.higher_biases))
    if higher:
        raise ValueError(
            f"the polynomial has {higher} terms of degree 3 or more (degree {arrays.degree}); a "
            "BinaryQuadraticModel holds quadratic terms only: pass reduction='substitute' to replace them by "
            "auxiliary binaries, or use a HUBO solver"
        )
    offset = arrays.offset
    if isinstance(offset, int) and float(offset) != offset:  # the arrays keep an int offset exact
        raise ValueError(
            f"the offset {offset!r} has no exact float64 value, but a BinaryQuadraticModel holds float64 "
            "numbers; use to_pubo, whose dict keeps Python numbers"
        )
    # the quadratic arrays may be views of one record array: dimod reads contiguous ones faster
    quadratic = tuple(
        np.ascontiguousarray(a) for a in (arrays.quadratic_rows, arrays.quadratic_cols, arrays.quadratic_biases)
    )
    check_terms(arrays)  # dimod reads the indices unchecked: a negative one crashed it
    bqm = dimod.BinaryQuadraticModel.from_numpy_vectors(arrays.linear, quadratic, arrays.offset, dimod.BINARY)
    if report is not None:
        report("export", "the model")
    return bqm


def check_terms(arrays: QuboArrays) -> None:
    """Refuses arrays, changed by their caller, whose terms do not fit together: index arrays
    of other lengths than their biases, or binaries outside 0 .. num_binaries - 1 (NumPy reads a
    negative index from the end, dimod reads it out of bounds)."""
    n = arrays.num_binaries
    sizes = {name: len(getattr(arrays, name)) for name in ("quadratic_rows", "quadratic_cols", "quadratic_biases")}
    if len(set(sizes.values())) > 1 or len(arrays.linear) != n:
        raise ValueError(
            f"the arrays do not fit together: {len(arrays.linear)} linear biases for {n} binaries, quadratic arrays "
            f"of lengths {sizes}; change biases in place, or make the arrays again with to_qubo_arrays"
        )
    for name in ("quadratic_rows", "quadratic_cols", "higher_indices"):
        indices = np.asarray(getattr(arrays, name))
        if len(indices) and (indices.dtype.kind not in "iu" or indices.min() < 0 or indices.max() >= n):
            bad = indices[(indices < 0) | (indices >= n)][:1].tolist() if indices.dtype.kind in "iu" else indices.dtype
            raise ValueError(
                f"{name} holds {bad!r}, which names no binary of the model (0 to {n - 1}); change biases in "
                "place, or make the arrays again with to_qubo_arrays"
            )


def _pubo_arrays(pubo: PuboModel) -> QuboArrays:
    """The dict polynomial in the arrays' form; a coefficient float64 cannot hold is refused."""

    def exact(value: typ.Any, key: tuple[int, ...]) -> float:
        number = float(value)
        if number != value:
            raise ValueError(f"the coefficient {value!r} of the term {key} has no exact float64 value")
        return number

    linear = np.zeros(pubo.num_binaries)
    rows: list[int] = []
    cols: list[int] = []
    biases: list[float] = []
    higher: list[tuple[tuple[int, ...], float]] = []
    constant = pubo.constant
    for key, value in pubo.coeff.items():
        if not key:  # a term of no binaries, as energy() reads it: part of the constant
            constant = constant + value
        elif len(key) == 1:
            linear[key[0]] = exact(value, key)
        elif len(key) == 2:
            rows.append(key[0])
            cols.append(key[1])
            biases.append(exact(value, key))
        else:
            higher.append((key, exact(value, key)))
    offsets = np.cumsum([0] + [len(k) for k, _ in higher], dtype=np.int64)
    return QuboArrays(
        linear,
        np.array(rows, dtype=np.int32),
        np.array(cols, dtype=np.int32),
        np.array(biases, dtype=np.float64),
        offsets,
        np.array([i for k, _ in higher for i in k], dtype=np.int32),
        np.array([v for _, v in higher], dtype=np.float64),
        exact(constant, ()),
        pubo.num_binaries,
        np.array(
            [pubo.encoder.binaries(v).start for v in range(pubo.encoder.num_variables)] + [pubo.encoder.num_binaries],
            dtype=np.int32,
        ),
        pubo.encoder,
        pubo.compiled,
        pubo.slack,
        pubo.fixed_variables,
    )


def _is_compiled(obj: typ.Any) -> bool:
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance

    return isinstance(obj, CompiledInstance)
