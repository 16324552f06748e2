"""One call from a model to a decoded answer: compile, export, sample, decode.

A sampler of constrained models (one with ``sample_cqm``) gets the CQM of ``to_cqm``; a sampler
of polynomials (``sample_poly``) a higher-order model as it is; any other the BQM of ``to_bqm``,
its higher-order terms reduced by substitution. Reads are drawn in
batches sized so that each takes a fraction of a second (by the model's size, never by the
clock, so that seeded runs repeat): a Ctrl-C keeps the batches already sampled.
"""

from __future__ import annotations

import math
import numbers
import time
import typing as typ
import warnings

from quillon_transpiler.core.empty_model import with_the_empty_sample
from quillon_transpiler.core.native_compile import Progress, Report, reporter
from quillon_transpiler.core.route_inputs import describe, given_compiled

if typ.TYPE_CHECKING:
    import quillon as ql
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance
    from quillon_transpiler.core.pubo.int_encoder import IntegerEncoder
    from quillon_transpiler.core.pubo.route import ConstraintWeight, Weight

#: the most binaries dimod's ExactSolver is chosen for by default: it enumerates (and decode
#: reads) all 2**n assignments, 0.1 s at 12 but a second or two at 16
EXACT_LIMIT = 12
#: reads of the default annealer (and of any sampler taking num_reads) unless the caller says
DEFAULT_READS = 32
#: seconds one batch of reads is sized for, from the cost estimate below
_BATCH_SECONDS = 0.5
#: seconds per sweep and per variable or interaction of simulated annealing (about half the
#: rate measured on the TSP with dwave-samplers, so that batches err short)
_SWEEP_COST = 2e-9
#: what a read costs besides its model, in variables' worth (small models are dominated by it)
_READ_OVERHEAD = 200
_DEFAULT_SWEEPS = 1000
#: the parameters of dwave-samplers' SimulatedAnnealingSampler
_ANNEALING = frozenset(
    "beta_range num_reads num_sweeps num_sweeps_per_beta beta_schedule_type beta_schedule seed interrupt_function "
    "initial_states initial_states_generator randomize_order proposal_acceptance_criteria".split()
)


def solve(
    problem: ql.Problem | CompiledInstance,
    instance: dict[str, typ.Any] | None = None,
    sampler: typ.Any = None,
    *,
    fixed_variables: dict[str, dict[tuple[int, ...], float]] | None = None,
    constraint_weight: ConstraintWeight = "auto",
    penalty_weight: Weight | None = None,
    encoder: str | IntegerEncoder | None = None,
    encoding_weight: float | str = "auto",
    reduction: str | None = None,
    progress: Progress | bool | None = None,
    **sample_options: typ.Any,
) -> ql.SampleSet:
    """Compiles the model, exports it for the sampler, samples it and decodes the samples.

    Args:
        problem, instance, fixed_variables: a quillon problem with its instance data (and fixed
            variables), or a compiled instance alone.
        sampler: a dimod sampler. One with ``sample_cqm`` is given the CQM of ``to_cqm``
            (constraints kept as constraints, custom penalties in the objective), decoded with
            ``decode_from_cqm_result``; any other the BQM of ``to_bqm``, decoded with
            ``decode`` (a sampler with ``sample_poly`` is given a higher-order model as a
            dimod ``BinaryPolynomial``, and so is one without ``sample``). None: dimod's
            ``ExactSolver`` when the BQM has at most 12 binaries (every assignment, exact),
            else dwave-samplers' ``SimulatedAnnealingSampler``.
        constraint_weight: the weights of the constraints in the BQM ("auto" by default, as
            for ``to_bqm``); a CQM keeps its constraints, so it takes none.
        penalty_weight: the custom penalties' weights, a number or ``{label: weight}`` (1
            each by default), in the BQM and in the CQM's objective alike.
        encoder, encoding_weight: how the BQM encodes integer variables, as for ``to_bqm``
            ("log" by default); the one-hot rules are weighted "auto" by default, as the
            constraints. A CQM keeps integers as integers, so it takes neither.
        reduction: how the BQM route reduces terms of degree 3 or more, as for ``to_bqm``.
            None (the default) reduces a higher-order model with "substitute" (auxiliary
            binaries, which never reach the decoded samples) when the sampler is quadratic.
        progress: None prints a line on stderr per stage (compile, lower, export, sample,
            decode) with the seconds since the call began, once the call has run for more than
            a second; True prints every line; False none; a callable is told
            ``(stage, item, seconds)``.
        sample_options: passed to every ``sample`` (or ``sample_cqm``) call. A sampler that
            takes ``num_reads`` gets 32 unless given, drawn in batches when sampling them at
            once would take long; a ``seed`` given seeds the first batch, and each later one
            with a seed of its own drawn from (seed, k) (``batch_seed``).

    A Ctrl-C while sampling returns the batches finished so far, decoded, with a warning saying
    how many reads were kept; before the first batch finishes it raises KeyboardInterrupt.

    Returns:
        a quillon SampleSet: per sample the record, the energy, the objective (its own sign) and
        every constraint's violation; ``feasible()`` and ``lowest()`` pick the answer.
        ``measuring_time.solve`` holds the sampling's seconds, ``total`` the whole call's.

    Raises:
        ImportError: dimod, or dwave-samplers for the default annealer, is not installed.
        ValueError: ``constraint_weight`` or ``reduction`` given for a CQM sampler; as the routes.
        TypeError, SubstituteError: as ``to_bqm`` and ``to_cqm``.
    """
    start = time.perf_counter()
    report = reporter(progress, start)
    try:
        import dimod
    except ImportError:
        raise ImportError(
            "solve needs dimod (and dwave-samplers for its default sampler): install the package's `dimod` extra, "
            "pip install 'quillon_transpiler[dimod]'"
        ) from None
    _check_sampler(sampler)
    given_compiled("solve", problem, instance, fixed_variables)  # its errors name solve, not a route
    # the routes report through this call's report, timed from its start
    told: Progress | bool = False if report is None else (lambda stage, item, seconds: report(stage, item))
    if takes_cqm(sampler):
        given = [
            name
            for name, unset in (
                ("constraint_weight", constraint_weight == "auto"),
                ("encoder", encoder is None),
                ("encoding_weight", encoding_weight == "auto"),
                ("reduction", reduction is None),
            )
            if not unset
        ]
        if given:
            raise ValueError(
                f"solve was given {', '.join(given)} with a CQM sampler, which keeps constraints as constraints and "
                "integers as integers (and takes no terms above degree 2): leave them out, or pass a sampler of "
                "binary quadratic models"
            )
        return _solve_cqm(
            problem, instance, sampler, fixed_variables, penalty_weight, sample_options, told, report, start
        )

    from quillon_transpiler.core.pubo.arrays import reduced, to_bqm, to_qubo_arrays
    from quillon_transpiler.core.pubo.decoding import decode

    arrays = to_qubo_arrays(
        problem,
        instance,
        fixed_variables,
        constraint_weight=constraint_weight,
        penalty_weight=penalty_weight,
        encoder="log" if encoder is None else encoder,
        encoding_weight=encoding_weight,
        progress=told,
        reduction=reduction,
    )
    higher = reduction is None and len(arrays.higher_biases) > 0
    # a sampler of polynomials takes higher-order terms as they are (and, when it has no other
    # method, quadratic models too)
    poly = hasattr(sampler, "sample_poly") and (higher or not hasattr(sampler, "sample"))
    if higher and not poly:
        arrays = reduced(arrays, "substitute")
    if poly:
        from dimod.higherorder.polynomial import BinaryPolynomial

        model: typ.Any = BinaryPolynomial(_with_offset(arrays.to_dict(), arrays.offset), dimod.BINARY)
        method = "sample_poly"
    else:
        model = to_bqm(arrays, progress=told)
        method = "sample"
    if sampler is None:
        sampler = _default_sampler(model.num_variables)
        if isinstance(sampler, dimod.ExactSolver):
            # the annealer's options (seed, num_sweeps) mean nothing to an exact search
            sample_options = {name: value for name, value in sample_options.items() if name not in _ANNEALING}
    sampled = time.perf_counter()
    sampleset = _sample(getattr(sampler, method), sampler, model, sample_options, report)
    seconds = time.perf_counter() - sampled
    decoded = decode(sampleset, arrays, best_slack=True)
    return _finished(decoded, seconds, start, report)


def _solve_cqm(
    problem: typ.Any,
    instance: typ.Any,
    sampler: typ.Any,
    fixed_variables: typ.Any,
    penalty_weight: typ.Any,
    sample_options: dict[str, typ.Any],
    told: Progress | bool,
    report: Report | None,
    start: float,
) -> ql.SampleSet:
    from quillon_transpiler.core.dimod.cqm_route import to_cqm
    from quillon_transpiler.core.pubo.route import _weights

    builder = to_cqm(problem, instance, fixed_variables, progress=told)
    # get_model leaves out the penalties it is not given: weigh each as the BQM route does
    weight = _weights(1 if penalty_weight is None else penalty_weight, builder.custome_penalties, "penalty_weight")
    cqm = builder.get_model(weight)
    sampled = time.perf_counter()
    sampleset = _sample(sampler.sample_cqm, sampler, cqm, sample_options, report)
    seconds = time.perf_counter() - sampled
    decoded = builder.decode_from_cqm_result(sampleset)
    if any(w != 0 for w in weight.values()) and len(decoded):
        # the decoder reads the objective off the energy, where the weighted penalties are
        # too: the objective alone (a minimisation, negated back for a maximisation) instead
        sign = -1 if builder.compiled_model.sense.name == "MAXIMIZE" else 1
        own = builder._objective.energies(sampleset)
        decoded.evaluation.objective = [sign * float(v) for v in own]
    return _finished(decoded, seconds, start, report)


def _finished(decoded: ql.SampleSet, seconds: float, start: float, report: Report | None) -> ql.SampleSet:
    if report is not None:
        report("decode", f"{len(decoded)} samples")
    decoded.measuring_time.solve = seconds
    decoded.measuring_time.total = time.perf_counter() - start
    return decoded


def _with_offset(terms: dict[tuple[int, ...], float], offset: float) -> dict[tuple[int, ...], float]:
    if offset:
        terms = dict(terms)
        terms[()] = terms.get((), 0.0) + offset
    return terms


def takes_cqm(sampler: typ.Any) -> bool:
    """Whether ``solve`` gives ``sampler`` the CQM (a sampler of constrained models)."""
    return sampler is not None and hasattr(sampler, "sample_cqm")


def _check_sampler(sampler: typ.Any) -> None:
    """Refuses, before any compile, what cannot sample: a class instead of a sampler, or an
    object with none of dimod's sampling methods."""
    if sampler is None:
        return
    methods = ("sample", "sample_cqm", "sample_poly")
    if isinstance(sampler, type):
        raise TypeError(
            f"solve takes a sampler object, got the class {sampler.__name__}: pass an instance, {sampler.__name__}()"
        )
    if not any(callable(getattr(sampler, name, None)) for name in methods):
        raise TypeError(
            f"solve takes a dimod sampler (an object with a sample, sample_cqm or sample_poly method) or None for its "
            f"own choice, got {type(sampler).__name__} {sampler!r:.80}"
        )


def _default_sampler(num_variables: int) -> typ.Any:
    import dimod

    if num_variables <= EXACT_LIMIT:
        return dimod.ExactSolver()
    try:
        from dwave.samplers import SimulatedAnnealingSampler
    except ImportError:
        raise ImportError(
            f"solve anneals models of more than {EXACT_LIMIT} binaries with dwave-samplers, which is not installed: "
            "install the package's `dimod` extra, pip install 'quillon_transpiler[dimod]', or pass a sampler"
        ) from None
    made: typ.Any = SimulatedAnnealingSampler  # dwave-samplers carries no annotations
    return made()


def _sample(
    call: typ.Callable[..., typ.Any],
    sampler: typ.Any,
    model: typ.Any,
    given: dict[str, typ.Any],
    report: Report | None,
) -> typ.Any:
    """The sampler's samples of ``model``, in batches of reads when it takes ``num_reads``; a
    KeyboardInterrupt keeps the batches finished (re-raised when there is none)."""
    import dimod

    options = dict(given)
    accepted = getattr(sampler, "parameters", None)
    batches = [0]
    total = 0
    if isinstance(accepted, typ.Mapping) and "num_reads" in accepted and "initial_states" not in options:
        total = options.setdefault("num_reads", DEFAULT_READS)
        if isinstance(total, numbers.Integral) and not isinstance(total, bool) and int(total) > 1:
            batches = _batches(int(total), model, options.get("num_sweeps"))
    seed = options.get("seed")
    done: list[typ.Any] = []
    reads = 0
    shown = time.perf_counter()
    try:
        for k, size in enumerate(batches):
            if size:
                options["num_reads"] = size
            if k and isinstance(seed, numbers.Integral) and not isinstance(seed, bool):
                options["seed"] = batch_seed(int(seed), k)
            sampleset = call(model, **options)
            if not callable(getattr(sampleset, "resolve", None)):
                raise TypeError(
                    f"the sampler {type(sampler).__name__} returned {describe(sampleset)}, not the dimod SampleSet "
                    "a sampler returns: check the sampler"
                )
            sampleset.resolve()  # a future's samples arrive here, inside the interruptible part
            done.append(sampleset)
            reads += size
            now = time.perf_counter()
            # a line a second at most: batches are short
            if report is not None and (k == len(batches) - 1 or now - shown >= 1.0):
                report("sample", f"{reads} of {total} reads" if size else "the model")
                shown = now
    except KeyboardInterrupt:
        if not done:
            raise
        try:
            warnings.warn(
                f"solve was interrupted while sampling: kept the {reads} of {total} reads sampled before it",
                RuntimeWarning,
                stacklevel=3,
            )
        except Warning:
            # warnings made errors (python -W error): the Ctrl-C goes on as it came, never as an
            # Exception a caller's `except Exception` would take for a failure
            raise KeyboardInterrupt from None
    sampleset = done[0] if len(done) == 1 else dimod.concatenate(done)
    return with_the_empty_sample(sampleset, model)


def batch_seed(seed: int, k: int) -> int:
    """The seed of batch k >= 1 of a run seeded with ``seed``: a stream of its own, drawn from
    (seed, k) by NumPy's SeedSequence. ``seed + k`` made batch 1 of seed 1 batch 0 of seed 2,
    so that runs of neighbouring seeds (a sweep's) shared most of their reads. 31 bits: what
    dwave-samplers' annealer takes."""
    import numpy as np

    return int(np.random.SeedSequence([seed % (1 << 64), k]).generate_state(1)[0]) >> 1


def _batches(total: int, model: typ.Any, sweeps: typ.Any) -> list[int]:
    """``total`` reads split into batches of about ``_BATCH_SECONDS`` each by the annealing cost
    estimate (the model's variables and interactions times the sweeps), sizes differing by at
    most one."""
    # a BQM's interactions, a polynomial's terms; a CQM counts by its variables
    terms = getattr(model, "num_interactions", None)
    if terms is None:
        terms = len(model) if hasattr(model, "degree") else 0
    size = len(model.variables) + terms + _READ_OVERHEAD
    sweeps = int(sweeps) if isinstance(sweeps, numbers.Integral) and int(sweeps) > 0 else _DEFAULT_SWEEPS
    per_batch = max(1, int(_BATCH_SECONDS / (size * sweeps * _SWEEP_COST)))
    count = math.ceil(total / per_batch)
    small, extra = divmod(total, count)
    return [small + 1] * extra + [small] * (count - extra)
