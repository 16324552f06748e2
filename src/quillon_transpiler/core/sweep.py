"""Many independent runs of one model on Dask: ``sweep``.

A run is one instance under one setting (constraint weights, a sampler with its options, a
seed): ``solve``'s loop on the compiled instance (exported for the sampler with the setting's
weights, sampled, decoded). Runs share nothing but their compiled instance, so each is one Dask
task. Every instance is
compiled once, by a task of its own, from data scattered once; the runs of an instance take the
compile's future as an argument, so the compiled model reaches a worker once, whatever number
of the instance's runs that worker executes.

Dask is an optional extra (``quillon_transpiler[dask]``): this module imports it only when a
sweep runs on a client, and nothing else in the package imports it.
"""

from __future__ import annotations

import dataclasses
import importlib
import importlib.util
import itertools
import numbers
import operator
import os
import signal
import sys
import threading
import time
import traceback
import typing as typ

import quillon as ql
from quillon_transpiler.core.route_inputs import describe, fixed_copy

if typ.TYPE_CHECKING:
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance

#: what a sweep's sample set must hold no more than to be feasible (as ``SampleSet.feasible``)
_TOLERANCE = 1e-9
#: what solve samples with, one of them at least
_METHODS = ("sample", "sample_cqm", "sample_poly")


@dataclasses.dataclass
class SweepSetting:
    """What a run varies besides the instance.

    ``constraint_weight`` is passed to ``solve`` (a number, "auto" or a dict by constraint
    label); ``sampler`` names the sampler (its key in a dict of samplers, else its class name;
    "auto" for solve's choice); ``options`` are passed to its ``sample`` calls, and ``seed`` as
    ``seed=`` when it is not None.
    """

    constraint_weight: typ.Any
    sampler: str
    options: dict[str, typ.Any]
    seed: typ.Optional[int] = None

    def __str__(self) -> str:
        parts = [f"weight={self.constraint_weight!r}", self.sampler]
        parts += [f"{name}={value!r}" for name, value in self.options.items()]
        if self.seed is not None:
            parts.append(f"seed={self.seed}")
        return " ".join(parts)


@dataclasses.dataclass
class SweepResult:
    """One run: an instance under a setting.

    ``instance`` is the instance's key (its name in a dict of instances, else its position);
    ``setting_index`` the setting's position in the sweep's settings. ``sampleset`` holds every
    sample decoded (objective, constraint violations; its ``measuring_time`` the run's times),
    ``best`` the feasible sample of best objective, custom penalties weighed in (one sample,
    None when no sample is feasible) and ``objective`` its objective; ``feasible_rate`` the share of reads (their
    occurrences counted) that are feasible; ``broken`` the violation of every constraint that the
    sample of lowest energy breaks (empty when it holds them all; with a sampler of constrained
    models, whose energy leaves the constraints out, the feasible sample of lowest energy when
    there is one: empty then). ``seconds`` is the run's time on its worker (``solve``'s export,
    sampling and decoding), ``sample_seconds`` the sampler's share of it.

    A run that failed has ``error`` ("ExceptionType: message", the failing step named when it
    was the instance's compile) and ``traceback``, and None in the fields above.
    """

    instance: typ.Any
    setting_index: int
    setting: SweepSetting
    # every sample, left out of the repr, which stays a line of numbers
    sampleset: typ.Optional[ql.SampleSet] = dataclasses.field(default=None, repr=False)
    best: typ.Optional[ql.SampleSet] = dataclasses.field(default=None, repr=False)
    objective: typ.Optional[float] = None
    feasible_rate: typ.Optional[float] = None
    broken: typ.Optional[dict[str, float]] = None
    seconds: typ.Optional[float] = None
    sample_seconds: typ.Optional[float] = None
    error: typ.Optional[str] = None
    traceback: typ.Optional[str] = dataclasses.field(default=None, repr=False, compare=False)

    @property
    def ok(self) -> bool:
        return self.error is None


class SweepError(RuntimeError):
    """Raised by ``SweepResults.raise_failures`` when runs failed; ``failures`` lists them."""

    def __init__(self, message: str, failures: list[SweepResult]) -> None:
        super().__init__(message)
        self.failures = failures


class SweepResults(typ.List[SweepResult]):
    """The runs of a sweep, instance by instance, each instance's in the order of ``settings``:
    run ``k`` of instance ``i`` is ``results[i * len(results.settings) + k]``. ``instances``
    holds the instances' keys."""

    def __init__(self, runs: typ.Iterable[SweepResult], instances: list[typ.Any], settings: list[SweepSetting]):
        super().__init__(runs)
        self.instances = instances
        self.settings = settings

    @property
    def failures(self) -> list[SweepResult]:
        return [run for run in self if run.error is not None]

    def of_setting(self, index: int) -> list[SweepResult]:
        """The runs of one setting (by its position in ``settings``, negative from the end as
        for a list), one per instance."""
        width = len(self.settings)
        at = operator.index(index)
        if not -width <= at < width:
            raise IndexError(f"setting index {index} is out of range: the sweep has {width} settings")
        return self[at % width :: width]

    def raise_failures(self) -> None:
        """Raises a ``SweepError`` naming every failed run (instance, setting, error) if any failed."""
        failed = self.failures
        if failed:
            lines = [
                f"  instance {run.instance!r}, setting {run.setting_index} ({run.setting}): {run.error}"
                for run in failed
            ]
            raise SweepError(f"{len(failed)} of {len(self)} runs failed:\n" + "\n".join(lines), failed)


def sweep(
    problem: ql.Problem | None,
    instances: typ.Sequence[typ.Any] | typ.Mapping[typ.Any, typ.Any],
    *,
    weights: typ.Any = "auto",
    sampler: typ.Any = None,
    samplers: typ.Sequence[typ.Any] | typ.Mapping[str, typ.Any] | None = None,
    sample_options: typ.Mapping[str, typ.Any] | typ.Sequence[typ.Mapping[str, typ.Any]] | None = None,
    seeds: typ.Sequence[typ.Optional[int]] | None = None,
    fixed_variables: dict[str, dict[tuple[int, ...], float]] | None = None,
    penalty_weight: typ.Any = None,
    encoder: typ.Any = None,
    encoding_weight: typ.Any = None,
    reduction: str | None = None,
    client: typ.Any = None,
    n_workers: int | None = None,
    progress: bool = True,
) -> SweepResults:
    """Runs every instance under every setting, one Dask task per run; the results in input order.

    Args:
        problem: the quillon problem every instance is compiled against; None when every
            instance is a compiled instance (``compile_model``).
        instances: a list of instance data (dicts of placeholder values) or compiled
            instances, or a dict of them by name (the names key the results).
        weights: the constraint weights to scan: one value or a list of them, each a number,
            "auto" or a dict by constraint label (as ``to_qubo_arrays`` takes it).
        sampler, samplers: one dimod sampler, or several: a list, or a dict by name, of
            samplers or ``(sampler, options)`` pairs; each gets what ``solve`` gives it (a CQM
            sampler the CQM, which takes no constraint weights but "auto"). Neither: solve's
            choice (dimod's ``ExactSolver`` up to 12 binaries, simulated annealing beyond).
        sample_options: a dict of options for ``sample``, or a list of such dicts to scan,
            applied to every sampler (over the options of its pair); as for ``solve``, a
            sampler taking ``num_reads`` gets 32 unless told.
        seeds: seeds to scan, passed as ``seed=`` (None: left out).
        fixed_variables, penalty_weight, encoder, encoding_weight, reduction: as for
            ``solve``, the same for every run.
        client: a ``distributed.Client`` (of a ``LocalCluster`` or of a remote scheduler,
            ``Client("tcp://scheduler:8786")``), used and left open; None starts a
            ``LocalCluster`` of ``n_workers`` processes (default: this machine's cores) of one
            thread each for the call and closes it after; False runs every task here, one
            after another, without Dask.
        progress: print the dashboard's address (of a cluster started here) and a line of
            finished and failed runs to stderr as the runs finish.

    The settings are the product of weights, samplers, sample options and seeds, in that order
    (the last varying fastest); ``results.settings`` lists them. A run gives what
    ``solve(compiled, None, sampler, constraint_weight=..., seed=..., **options)`` gives here. A run
    whose instance fails to compile, or whose export, sampler or decoding raises, is reported
    in its record (``error``,
    ``traceback``) and the other runs' results are kept; ``results.raise_failures()`` raises if
    any failed. A worker lost while the sweep runs fails the runs it held, and those whose data
    or sampler were scattered to it (Dask cannot make scattered data again).

    Ctrl-C cancels the runs not yet finished (and closes a cluster started here) and raises
    KeyboardInterrupt; finished runs are not returned.

    Raises:
        ImportError: Dask's ``distributed`` is not installed (client not False). What a run
            lacks where it runs (dimod, a sampler's package) fails that run, as ``solve`` would.
        TypeError: settings or instances of the wrong kind; a seed for a sampler that takes none;
            an encoder object (give its name); fixed variables with compiled instances;
            n_workers with a client, or not an int.
        ValueError: a constraint weight that every run would refuse (negative, not finite, or
            naming a constraint the problem does not have); n_workers below 1.
    """
    keys, items = _instances(problem, instances)
    if fixed_variables is not None and any(_is_compiled(item) for item in items):
        raise TypeError(
            "sweep was given fixed variables with compiled instances, which carry their own: fix them when compiling"
        )
    if encoder is not None and not isinstance(encoder, str):
        raise TypeError(f"sweep takes the encoder's name (one for every instance's registry), got {describe(encoder)}")
    settings, runners = _settings(weights, sampler, samplers, sample_options, seeds)
    _check_weights(problem, settings)
    options = {
        "fixed_variables": fixed_variables,
        "penalty_weight": penalty_weight,
        "encoder": encoder,
        "encoding_weight": encoding_weight,
        "reduction": reduction,
    }
    export = {name: value for name, value in options.items() if value is not None and name != "fixed_variables"}
    plan = _Plan(problem, keys, items, settings, runners, fixed_variables, export)
    if n_workers is not None and client is not None:
        raise TypeError(
            "n_workers sizes the LocalCluster that sweep starts when client is None; size a given one yourself"
        )
    if n_workers is not None and (isinstance(n_workers, bool) or not isinstance(n_workers, numbers.Integral)):
        raise TypeError(f"n_workers must be an int (the LocalCluster's processes), got {describe(n_workers)}")
    if n_workers is not None and n_workers < 1:
        # a cluster without workers would wait for one, then fail with a scheduler's timeout
        raise ValueError(f"n_workers must be at least 1 (the LocalCluster's processes), got {n_workers}")
    if not (client is None or client is False or callable(getattr(client, "submit", None))):
        raise TypeError(
            f"sweep takes a distributed.Client, None (a LocalCluster started here) or False (every run here), got "
            f"{describe(client)}; for a scheduler's address, pass distributed.Client(address)"
        )
    if client is False:
        return plan.run_here(_Progress(len(plan), progress))
    distributed = _distributed()
    cluster = None
    if client is None:
        workers = n_workers if n_workers is not None else _cores()
        # the dashboard on a free port: a second cluster on this machine would otherwise warn
        cluster = distributed.LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0"
        )
        try:
            client = distributed.Client(cluster)
        except BaseException:
            cluster.close()
            raise
        if progress:
            missing = "" if importlib.util.find_spec("bokeh") else " (install bokeh to view it)"
            print(f"sweep: {workers} workers, dashboard at {client.dashboard_link}{missing}", file=sys.stderr)
    try:
        return plan.run_on(client, distributed, _Progress(len(plan), progress))
    finally:
        if cluster is not None:
            client.close()
            cluster.close()


# ---- the runs ----


class _Interrupts:
    """Notes every Ctrl-C (SIGINT) that raises KeyboardInterrupt while it is entered, and lets it
    raise as before. Signals reach the main thread only: entered elsewhere, it notes nothing; nor where
    the handler was set outside Python (getsignal gives None), which could not be put back."""

    def __init__(self) -> None:
        self.seen = False
        self._previous: typ.Any = None

    def __enter__(self) -> _Interrupts:
        if threading.current_thread() is threading.main_thread():
            previous = signal.getsignal(signal.SIGINT)
            if previous is not None:
                self._previous = previous
                signal.signal(signal.SIGINT, self._noted)
        return self

    def _noted(self, signum: int, frame: typ.Any) -> None:
        # noted only where it raises: an ignored Ctrl-C, or one a handler of the caller's takes
        # without raising, stops nothing
        previous = self._previous
        if previous == signal.SIG_IGN:
            return
        if callable(previous):
            try:
                previous(signum, frame)
            except KeyboardInterrupt:
                self.seen = True
                raise
            return
        self.seen = True
        raise KeyboardInterrupt

    def __exit__(self, *exc: object) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)


def run(
    compiled: CompiledInstance | Failure,
    sampler: typ.Any,
    instance: typ.Any,
    index: int,
    setting: SweepSetting,
    export: dict[str, typ.Any],
) -> SweepResult:
    """One run: ``solve`` on the compiled instance with the setting's weights, sampler, options
    and seed; what fails is reported in the record, not raised (a worker would log every such
    task)."""
    if isinstance(compiled, Failure):
        return SweepResult(instance, index, setting, error=compiled.error, traceback=compiled.traceback)
    try:
        return _run(compiled, sampler, instance, index, setting, export)
    except Exception as error:
        failure = Failure.of(error)
        return SweepResult(instance, index, setting, error=failure.error, traceback=failure.traceback)


def _run(
    compiled: CompiledInstance,
    sampler: typ.Any,
    instance: typ.Any,
    index: int,
    setting: SweepSetting,
    export: dict[str, typ.Any],
) -> SweepResult:
    from quillon_transpiler.core.solve import solve, takes_cqm

    given = dict(setting.options)
    if setting.seed is not None:
        given["seed"] = setting.seed
    weight = setting.constraint_weight
    decoded = solve(compiled, None, sampler, constraint_weight=weight, progress=False, **export, **given)
    feasible = decoded.feasible(_TOLERANCE)
    occurrences = sum(decoded.record.num_occurrences)
    rate = sum(feasible.record.num_occurrences) / occurrences if occurrences else 0.0
    best = objective = None
    if len(feasible):
        values = feasible.evaluation.objective
        sign = -1 if compiled.sense.name == "MAXIMIZE" else 1  # the compile's own enum
        score = _scores(compiled, feasible, sign, export.get("penalty_weight"), takes_cqm(sampler))
        k = min(range(len(values)), key=score.__getitem__)
        best, objective = feasible.take([k]), float(values[k])
    broken: dict[str, float] = {}
    # a constrained model's energy leaves the constraints out: its lowest sample is the best
    # without them, which says nothing of the run; the sampler's answer is its best feasible one
    judged = feasible if takes_cqm(sampler) and len(feasible) else decoded
    if len(judged):
        energy = judged.evaluation.energy
        lowest = min(range(len(energy)), key=energy.__getitem__)
        for label, violation in judged.evaluation.constraint_violations.items():
            if violation[lowest] > _TOLERANCE:
                broken[label] = float(violation[lowest])
    times = decoded.measuring_time
    return SweepResult(instance, index, setting, decoded, best, objective, rate, broken, times.total, times.solve)


def _scores(
    compiled: CompiledInstance, feasible: ql.SampleSet, sign: int, penalty_weight: typ.Any, cqm: bool
) -> list[float]:
    """What the model minimises at each feasible sample: sign * objective plus the weighted
    custom penalties, which the decoded objective leaves out. A CQM's energy is just that; a
    BQM's also holds the constraints' slack, so its penalties are evaluated here."""
    from quillon_transpiler.core.decode.eval_value import _eval_value
    from quillon_transpiler.core.pubo.route import _weights

    weights = _weights(1 if penalty_weight is None else penalty_weight, compiled.penalty, "penalty_weight")
    own = [sign * v for v in feasible.evaluation.objective]
    if not any(weights.values()):
        return own
    if cqm:
        return list(feasible.evaluation.energy)
    var_map = compiled.var_map.var_map
    scores = []
    for k, value in enumerate(own):
        at: dict[int, typ.Any] = {}
        for label, by_sample in feasible.record.solution.items():
            indices = var_map.get(label, {})
            subscripts, entries, _ = by_sample[k]
            for subs, v in zip(zip(*subscripts) if subscripts else [()] * len(entries), entries):
                index = indices.get(tuple(subs))
                if index is not None:
                    at[index] = v
        # the weighted penalties alone: the objective is known, the constraints hold
        penalty = sum(
            w * sum(_eval_value(at, poly) for poly in compiled.penalty[label].values())
            for label, w in weights.items()
            if w
        )
        scores.append(value + penalty)
    return scores


#: what runs import, and what loading their data imports
_MODULES = frozenset(
    {
        "dimod",
        "numpy",
        "quillon",
        "quillon_transpiler.core.compile.compile",
        "quillon_transpiler.core.compile.compiled_model",
        "quillon_transpiler.core.dimod.cqm_route",
        "quillon_transpiler.core.pubo.arrays",
        "quillon_transpiler.core.pubo.decoding",
        "quillon_transpiler.core.solve",
        "quillon_transpiler.core.sweep",
    }
)


def prepare_worker(modules: list[str]) -> None:
    """Imports the modules on a worker; one that fails to import is left for a run to report."""
    for name in modules:
        try:
            importlib.import_module(name)
        except Exception:
            pass


@dataclasses.dataclass(frozen=True)
class Failure:
    """An error as text, which pickles whatever the exception held."""

    error: str
    traceback: str

    @classmethod
    def of(cls, error: BaseException, step: str = "") -> Failure:
        lines = traceback.format_exception(type(error), error, error.__traceback__)
        return cls(f"{step}{type(error).__name__}: {error}", "".join(lines))


def compile_instance(
    problem: ql.Problem, data: typ.Any, fixed_variables: typ.Any, key: typ.Any
) -> CompiledInstance | Failure:
    """The instance compiled, or its failure for its runs to report."""
    from quillon_transpiler.core.compile.compile import compile_model

    try:
        if not isinstance(data, typ.Mapping):
            raise TypeError(
                f"an instance must be a dict of placeholder values or a compiled instance, got {describe(data)}"
            )
        return compile_model(problem, dict(data), fixed_copy(fixed_variables))
    except Exception as error:
        return Failure.of(error, f"compiling instance {key!r} failed: ")


class _Plan:
    """The instances and settings of a sweep, run here or on a client."""

    def __init__(
        self,
        problem: typ.Any,
        keys: list[typ.Any],
        items: list[typ.Any],
        settings: list[SweepSetting],
        runners: list[typ.Any],
        fixed_variables: typ.Any,
        export: dict[str, typ.Any],
    ) -> None:
        self.problem, self.keys, self.items = problem, keys, items
        self.settings, self.runners = settings, runners
        self.fixed_variables, self.export = fixed_variables, export

    def __len__(self) -> int:
        return len(self.items) * len(self.settings)

    def run_here(self, report: _Progress) -> SweepResults:
        out: list[SweepResult] = []
        # solve keeps the reads sampled before a Ctrl-C and returns them: here the sweep stops
        # after that run, as it does on a cluster
        with _Interrupts() as interrupts:
            for key, item in zip(self.keys, self.items):
                compiled = (
                    item if _is_compiled(item) else compile_instance(self.problem, item, self.fixed_variables, key)
                )
                for k, setting in enumerate(self.settings):
                    out.append(run(compiled, self.runners[k], key, k, setting, self.export))
                    report(out[-1])
                    if interrupts.seen:
                        report.finish("cancelled")
                        raise KeyboardInterrupt
        report.finish()
        return SweepResults(out, self.keys, self.settings)

    def _failed(self, i: int, k: int, failure: Failure) -> SweepResult:
        return SweepResult(self.keys[i], k, self.settings[k], error=failure.error, traceback=failure.traceback)

    def run_on(self, client: typ.Any, distributed: typ.Any, report: _Progress) -> SweepResults:
        outstanding: dict[typ.Any, typ.Any] = {}  # by key: the futures not yet finished, to cancel
        try:
            return self._submit_and_collect(client, distributed, report, outstanding)
        except KeyboardInterrupt:
            client.cancel(list(outstanding.values()))
            report.finish("cancelled")
            raise

    def _submit_and_collect(
        self, client: typ.Any, distributed: typ.Any, report: _Progress, outstanding: dict[typ.Any, typ.Any]
    ) -> SweepResults:
        # A worker loads data sent to it on its event loop's thread while a task runs on another:
        # two threads importing one module (dimod, say) can see it half initialised ("module
        # 'dimod' has no attribute ...") or deadlock. Every module a run or its data needs is
        # imported on each worker first, before anything is sent.
        modules = sorted(_MODULES | {type(sampler).__module__ for sampler in self.runners if sampler is not None})
        client.run(prepare_worker, modules)
        # one scatter each: the problem, every instance's data, the samplers; a list is scattered
        # element by element, so a dict of data stays one object
        raw = [i for i, item in enumerate(self.items) if not _is_compiled(item)]
        problem = client.scatter([self.problem], hash=False)[0] if raw else None
        data = _scattered(client, self.items, [f"instance {key!r}" for key in self.keys]) if self.items else []
        # a sampler shared by several settings is sent once
        named = {id(sampler): name for sampler, name in zip(self.runners, (s.sampler for s in self.settings))}
        unique = list({id(sampler): sampler for sampler in self.runners if sampler is not None}.values())
        scattered = _scattered(client, unique, [f"sampler {named[id(u)]!r}" for u in unique]) if unique else []
        sent = dict(zip(map(id, unique), scattered))
        samplers = [None if sampler is None else sent[id(sampler)] for sampler in self.runners]
        compiled = list(data)
        compiling = set(raw)
        for i in raw:
            compiled[i] = client.submit(
                compile_instance,
                problem,
                data[i],
                self.fixed_variables,
                self.keys[i],
                pure=False,
                key=f"sweep-compile-{_token()}",
            )
            outstanding[compiled[i].key] = compiled[i]
        place: dict[typ.Any, tuple[int, int]] = {}
        for i, key in enumerate(self.keys):
            for k, setting in enumerate(self.settings):
                future = client.submit(
                    run, compiled[i], samplers[k], key, k, setting, self.export, pure=False, key=f"sweep-run-{_token()}"
                )
                place[future.key] = (i, k)
                outstanding[future.key] = future
        left = [len(self.settings)] * len(self.items)
        width = len(self.settings)
        out: list[typ.Optional[SweepResult]] = [None] * len(place)
        for future in distributed.as_completed([outstanding[key] for key in place]):
            i, k = place[future.key]
            try:
                if future.status == "finished":
                    result = future.result()
                else:
                    source = compiled[i] if i in compiling else None
                    result = self._failed(i, k, _unreported(future, source, self.keys[i]))
            except Exception as error:  # the result was lost before it was read
                result = self._failed(i, k, Failure.of(error))
            # dropped as soon as read: the result leaves the worker's memory
            del outstanding[future.key]
            out[i * width + k] = result
            report(result)
            left[i] -= 1
            if not left[i]:  # the instance's model and data may leave the workers
                if i in compiling:
                    del outstanding[compiled[i].key]
                compiled[i] = data[i] = None
        report.finish()
        return SweepResults(typ.cast("list[SweepResult]", out), self.keys, self.settings)


def _unreported(future: typ.Any, compiling: typ.Any, key: typ.Any) -> Failure:
    """What failed a run that could not report it: its instance's compile task, an argument that
    did not load, a worker lost while running it (or lost with the data scattered to it)."""
    source = compiling if compiling is not None and compiling.status == "error" else future
    if source.status != "error":
        return Failure(
            f"the run's task was {future.status}: a worker holding the run or its data was lost, or it was cancelled",
            "",
        )
    error = source.exception()
    error.__traceback__ = source.traceback()
    return Failure.of(error, f"compiling instance {key!r} failed: " if source is compiling else "")


# ---- reading the arguments ----


def _instances(problem: typ.Any, instances: typ.Any) -> tuple[list[typ.Any], list[typ.Any]]:
    if isinstance(instances, typ.Mapping):
        keys, items = list(instances.keys()), list(instances.values())
    elif isinstance(instances, (list, tuple)):
        keys, items = list(range(len(instances))), list(instances)
    else:
        raise TypeError(
            f"sweep takes the instances as a list, or a dict by name, of instance data or compiled instances, got "
            f"{describe(instances)}"
        )
    if problem is None:
        raw = [key for key, item in zip(keys, items) if not _is_compiled(item)]
        if raw:
            raise TypeError(
                f"sweep was given no problem, but instance {raw[0]!r} is not a compiled instance: pass the quillon "
                "Problem the instances' data are for, or compiled instances (compile_model(problem, data))"
            )
    elif not isinstance(problem, ql.Problem):
        raise TypeError(f"sweep takes a quillon Problem (or None with compiled instances), got {describe(problem)}")
    # one instance's data where a dict of instances by name goes: every run would fail alike
    # (an instance that is not data fails its own runs only, among others that are)
    if isinstance(instances, typ.Mapping) and items and not any(_is_data(item) for item in items):
        raise TypeError(
            f"sweep read the dict it was given as instances by name, and instance {keys[0]!r} is "
            f"{describe(items[0])}, no instance data: put one instance's data in a list, [data]"
        )
    return keys, items


def _scattered(client: typ.Any, objects: list[typ.Any], names: list[str]) -> list[typ.Any]:
    """``client.scatter(objects)``; one that cannot be sent is named, with what to do."""
    try:
        return typ.cast(list, client.scatter(objects, hash=False))
    except Exception:
        import cloudpickle  # Dask's own serialiser, installed with it

        for obj, name in zip(objects, names):
            try:
                cloudpickle.dumps(obj)
            except Exception as cause:
                raise TypeError(
                    f"{name} cannot be sent to the Dask workers ({type(cause).__name__}: {cause}): make it "
                    "picklable, or run the sweep in this process with client=False"
                ) from cause
        raise


def _is_data(item: typ.Any) -> bool:
    return isinstance(item, typ.Mapping) or _is_compiled(item)


def _listed(value: typ.Any, single: tuple[type, ...]) -> list[typ.Any]:
    """One value (of a type in ``single``) or a list of them, as a list; anything else that is
    not iterable as one value."""
    if value is None or isinstance(value, single) or not isinstance(value, typ.Iterable):
        return [value]
    return list(value)


def _settings(
    weights: typ.Any, sampler: typ.Any, samplers: typ.Any, sample_options: typ.Any, seeds: typ.Any
) -> tuple[list[SweepSetting], list[typ.Any]]:
    """The product of the scans, and the sampler of each setting."""
    weight_list = _listed(weights, (numbers.Number, str, typ.Mapping))
    if sampler is not None and samplers is not None:
        raise TypeError("sweep takes one sampler (sampler=...) or several (samplers=[...]), not both")
    if samplers is None:
        samplers = {"auto": None} if sampler is None else [sampler]
    elif not isinstance(samplers, (list, tuple, typ.Mapping)) or not samplers:
        raise TypeError(f"samplers must be a non-empty list or dict of samplers, got {describe(samplers)}")
    named = list(samplers.items()) if isinstance(samplers, typ.Mapping) else [(None, s) for s in samplers]
    chosen: list[tuple[str, typ.Any, dict[str, typ.Any]]] = []
    for name, given in named:
        own: typ.Any = {}
        if isinstance(given, tuple):
            if len(given) != 2 or not isinstance(given[1], typ.Mapping):
                raise TypeError(f"a sampler's setting is a sampler or a (sampler, options dict) pair, got {given!r}")
            given, own = given
        if isinstance(given, type):  # every run would fail alike
            raise TypeError(
                f"a sampler must be a sampler object, got the class {given.__name__}: give {given.__name__}()"
            )
        if given is not None and not any(callable(getattr(given, m, None)) for m in _METHODS):
            raise TypeError(f"a sampler must have a dimod sampler's sample method, got {describe(given)}")
        default = "auto" if given is None else type(given).__name__  # None: solve's own choice
        chosen.append((default if name is None else str(name), given, dict(own)))
    option_list = _listed(sample_options, (typ.Mapping,))
    for options in option_list:
        if options is not None and not isinstance(options, typ.Mapping):
            raise TypeError(
                "sample_options must be a dict of options for sample, or a list of such dicts to scan, got "
                f"{describe(sample_options)}"
            )
    seed_list = _listed(seeds, (numbers.Number,))
    for k, seed in enumerate(seed_list):
        if seed is not None and (isinstance(seed, bool) or not isinstance(seed, numbers.Integral)):
            raise TypeError(f"seeds must be ints (or None), got {seed!r}")
        seed_list[k] = None if seed is None else int(seed)
    settings: list[SweepSetting] = []
    runners: list[typ.Any] = []
    for weight, (name, given, own), options, seed in itertools.product(weight_list, chosen, option_list, seed_list):
        merged = {**own, **(options or {})}
        accepted = getattr(given, "parameters", None)
        if seed is not None and "seed" in merged:
            raise TypeError(f"sampler {name} was given a seed in its options and in seeds: give it in one place")
        if seed is not None and isinstance(accepted, typ.Mapping) and "seed" not in accepted:
            raise TypeError(f"sampler {name} takes no seed parameter: leave seeds out for it")
        settings.append(SweepSetting(weight, name, merged, seed))
        runners.append(given)
    return settings, runners


def _check_weights(problem: typ.Any, settings: list[SweepSetting]) -> None:
    """Weights that every run would refuse are refused before any runs."""
    from quillon_transpiler.core.pubo.route import _weights

    for setting in settings:
        weight = setting.constraint_weight
        if problem is not None:
            labels = list(problem.constraints)
        else:
            labels = list(weight) if isinstance(weight, typ.Mapping) else []
        _weights(weight, labels, "weights", auto=True)


def _distributed() -> typ.Any:
    try:
        return importlib.import_module("distributed")
    except ImportError:
        raise ImportError(
            "sweep runs on Dask, which is not installed: install the package's `dask` extra, "
            "pip install 'quillon_transpiler[dask]' (or pass client=False to run every task here)"
        ) from None


def _is_compiled(obj: typ.Any) -> bool:
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance

    return isinstance(obj, CompiledInstance)


def _cores() -> int:
    affinity = getattr(os, "sched_getaffinity", None)
    return len(affinity(0)) if affinity is not None else os.cpu_count() or 1


def _token() -> str:
    return os.urandom(8).hex()


class _Progress:
    """A line on stderr of the runs finished and failed, rewritten in place on a terminal."""

    def __init__(self, total: int, on: bool) -> None:
        self.total, self.on = total, on
        self.done = self.failed = 0
        self.tty = on and sys.stderr.isatty()
        self.start = time.perf_counter()
        self.shown = -1.0

    def __call__(self, result: SweepResult) -> None:
        self.done += 1
        self.failed += result.error is not None
        if not self.on:
            return
        # a terminal shows every step; a log one line per tenth of the runs
        if self.tty or self.done * 10 // max(self.total, 1) > self.shown:
            self.shown = self.done * 10 // max(self.total, 1)
            self._write("\r" if self.tty else "\n")

    def _write(self, end: str, note: str = "") -> None:
        seconds = time.perf_counter() - self.start
        failed = f", {self.failed} failed" if self.failed else ""
        line = f"sweep: {self.done}/{self.total} runs done{failed} ({seconds:.1f} s){note}"
        sys.stderr.write(("\r" + line) if end == "\r" else line + "\n")
        sys.stderr.flush()

    def finish(self, note: str = "") -> None:
        if self.on and self.tty:
            self._write("\r", f", {note}" if note else "")
            sys.stderr.write("\n")
        elif self.on and note:
            self._write("\n", f", {note}")
