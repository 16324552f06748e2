"""sweep on a real LocalCluster (worker processes): the same runs as a plain loop here, failures
kept in their records, the models and results unchanged by the trip through a worker."""

import os
import pathlib
import re
import signal
import subprocess
import sys
import threading
import types

import numpy as np
import pytest

dimod = pytest.importorskip("dimod")
distributed = pytest.importorskip("distributed")
dask = pytest.importorskip("dask")

from dwave.samplers import SimulatedAnnealingSampler  # noqa: E402

import quillon as ql  # noqa: E402
from quillon_transpiler import (  # noqa: E402
    SweepError,
    compile_model,
    decode,
    solve,
    sweep,
    testing,
    to_cqm,
    to_pubo,
    to_qubo_arrays,
)
from quillon_transpiler.core.pubo.int_encoder import make_encoder  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")
    with cluster, distributed.Client(cluster) as made:
        yield made


def tsp_instances(count=3):
    problem, _ = testing.tsp(5)
    return problem, {f"seed {k}": testing.tsp(5, seed=k)[1] for k in range(count)}


def knapsack_instances(count=3):
    problem, _ = testing.knapsack()
    return problem, [testing.knapsack(6, seed=k)[1] for k in range(count)]


def loop_here(problem, data, weight, options, seed):
    """What a run must give: solve called in this process on the compiled instance (whose
    objective decodes exactly, where one lowered from the problem may be derived)."""
    sampler = SimulatedAnnealingSampler()
    compiled = compile_model(problem, data)
    return solve(compiled, None, sampler, constraint_weight=weight, seed=seed, progress=False, **options)


@pytest.mark.parametrize("build, sense", [(tsp_instances, min), (knapsack_instances, max)])
def test_runs_equal_the_loop_here(client, build, sense):
    problem, instances = build()
    labels = list(problem.constraints)
    weights = [1.0, "auto", {labels[0]: 5.0, labels[-1]: "auto"}]
    options = {"num_reads": 12, "num_sweeps": 60}
    results = sweep(problem, instances, weights=weights, sample_options=options, seeds=np.arange(3, 5), client=client)
    here = sweep(problem, instances, weights=weights, sample_options=options, seeds=[3, 4], client=False)
    keys = list(instances) if isinstance(instances, dict) else list(range(len(instances)))
    assert results.instances == keys and len(results) == len(keys) * 6
    assert [(s.constraint_weight, s.seed) for s in results.settings] == [(w, seed) for w in weights for seed in (3, 4)]
    for k, run in enumerate(results):
        assert run.ok, run.traceback
        key, setting = keys[k // 6], results.settings[k % 6]
        assert (run.instance, run.setting_index, run.setting) == (key, k % 6, setting)
        want = loop_here(problem, instances[key], setting.constraint_weight, options, setting.seed)
        for got in (run.sampleset, here[k].sampleset):
            assert (got.record, got.evaluation) == (want.record, want.evaluation)
        feasible = want.feasible()
        assert run.feasible_rate == pytest.approx(sum(feasible.record.num_occurrences) / options["num_reads"])
        if len(feasible):
            assert run.objective == sense(feasible.evaluation.objective)
            assert run.best.evaluation.objective == [run.objective] and len(run.best.feasible()) == 1
        else:
            assert run.best is None and run.objective is None
        lowest = int(np.argmin(want.evaluation.energy))
        violations = {label: v[lowest] for label, v in want.evaluation.constraint_violations.items()}
        assert run.broken == {label: v for label, v in violations.items() if v > 1e-9}
        assert 0 < run.sample_seconds <= run.seconds == run.sampleset.measuring_time.total
    assert any(run.objective is not None for run in results) and any(run.broken for run in results)
    assert results.of_setting(1) == results[1::6] and results.of_setting(-1) == results.of_setting(5)
    for outside in (6, 7, -7):
        with pytest.raises(IndexError, match=f"setting index {outside} is out of range: the sweep has 6 settings"):
            results.of_setting(outside)


def test_every_sampler_solve_takes(client):
    # solve's own choice (exact for so few binaries) and a CQM sampler, which gets the CQM
    problem, instances = knapsack_instances(2)
    samplers = {"auto": (None, {"seed": 7}), "cqm": dimod.ExactCQMSolver()}
    results = sweep(problem, instances, samplers=samplers, client=client, progress=False)
    assert [(run.instance, run.setting.sampler) for run in results] == [(i, s) for i in (0, 1) for s in samplers]
    for run in results:
        assert run.ok, run.traceback
        compiled = compile_model(problem, instances[run.instance])
        if run.setting.sampler == "auto":
            want = solve(compiled, seed=7, progress=False)
        else:
            want = solve(compiled, None, samplers["cqm"], progress=False)
        assert (run.sampleset.record, run.sampleset.evaluation) == (want.record, want.evaluation)
    assert results[-1].objective == max(want.feasible().evaluation.objective)  # the exact search's optimum


def test_failures_stay_in_their_records(client):
    problem, instances = tsp_instances(1)
    instances.update({"missing d": {"N": 5}, "not data": 7})
    sa = SimulatedAnnealingSampler()
    samplers = {"sa": (sa, {"num_reads": 4}), "broken": (sa, {"num_sweeps": -1})}
    results = sweep(problem, instances, samplers=samplers, seeds=[1], client=client, progress=False)
    assert [(r.instance, r.setting.sampler, r.ok) for r in results] == [
        ("seed 0", "sa", True),
        ("seed 0", "broken", False),
        ("missing d", "sa", False),
        ("missing d", "broken", False),
        ("not data", "sa", False),
        ("not data", "broken", False),
    ]
    assert results[1].error.startswith("ValueError: ") and "sample" in results[1].traceback
    for run in results[2:4]:
        assert run.error.startswith("compiling instance 'missing d' failed: SubstituteError: ")
        assert "Placeholder `d` is missing" in run.error and run.sampleset is None
    assert "got int 7" in results[4].error and results[4].error == results[5].error
    with pytest.raises(SweepError, match=r"5 of 6 runs failed:\n  instance 'seed 0', setting 1 \(") as raised:
        results.raise_failures()
    assert raised.value.failures == results.failures == [results[k] for k in range(1, 6)]
    assert client.status == "running"  # a given client is left open


def test_a_lost_worker_is_reported_not_raised():
    # a sampler that ends its worker's process: the scheduler gives up on the run at once, and
    # the data scattered to the worker go with it
    crash = types.SimpleNamespace(sample=lambda model, **options: os._exit(3))
    problem, instances = tsp_instances(2)
    samplers = {"sa": (SimulatedAnnealingSampler(), {"num_reads": 2}), "crash": crash}
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        cluster = distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0")
        with cluster, distributed.Client(cluster) as client:
            results = sweep(problem, instances, samplers=samplers, seeds=[1], client=client, progress=False)
    assert [(run.instance, run.setting.sampler) for run in results] == [(i, s) for i in instances for s in samplers]
    assert all(run.error for run in results if run.setting.sampler == "crash")
    # the annealing runs lose their worker too, before or after finishing
    lost = re.compile(r"KilledWorker: |CancelledError: |a worker holding the run or its data was lost")
    assert all(run.ok or lost.search(run.error) for run in results)


def test_ctrl_c_cancels_the_runs_left(client, monkeypatch):
    cancelled, cancel = [], client.cancel
    monkeypatch.setattr(client, "cancel", lambda futures: (cancelled.extend(futures), cancel(futures)))

    def interrupted(futures):
        raise KeyboardInterrupt
        yield

    monkeypatch.setattr(distributed, "as_completed", interrupted)
    problem, instances = tsp_instances(2)
    with pytest.raises(KeyboardInterrupt):
        sweep(problem, instances, weights=[1.0, 2.0], client=client, progress=False)
    names = sorted(f.key.rsplit("-", 1)[0] for f in cancelled)
    assert names == ["sweep-compile"] * 2 + ["sweep-run"] * 4


def test_ctrl_c_here_stops_after_the_run_it_interrupts(monkeypatch):
    """solve keeps the reads sampled before a Ctrl-C and returns them; a sweep run here stops
    after that run and raises, as it does on a cluster."""
    from quillon_transpiler.core import solve as solving

    monkeypatch.setattr(solving, "_BATCH_SECONDS", 0.0)  # a batch per read
    calls = []

    class Interrupted(dimod.RandomSampler):
        def sample(self, bqm, **options):
            calls.append(1)
            if len(calls) == 2:  # the first run's second batch
                os.kill(os.getpid(), signal.SIGINT)
            return super().sample(bqm, **options)

    problem, instances = tsp_instances(2)
    with pytest.warns(RuntimeWarning, match="interrupted"), pytest.raises(KeyboardInterrupt):
        sweep(problem, instances, sampler=Interrupted(), sample_options={"num_reads": 4}, client=False, progress=False)
    assert len(calls) == 2


@pytest.mark.parametrize("handler", [signal.SIG_IGN, lambda signum, frame: None], ids=["ignored", "taken"])
def test_a_ctrl_c_the_process_does_not_raise_on_stops_nothing(handler):
    class Interrupted(dimod.RandomSampler):
        def sample(self, bqm, **options):
            os.kill(os.getpid(), signal.SIGINT)
            return super().sample(bqm, **options)

    problem, instances = tsp_instances(2)
    previous = signal.signal(signal.SIGINT, handler)
    try:
        results = sweep(problem, instances, sampler=Interrupted(), client=False, progress=False)
    finally:
        signal.signal(signal.SIGINT, previous)
    assert len(results) == 2 and all(run.ok for run in results)


class Locked(dimod.RandomSampler):
    """A sampler no pickle can send: it holds a lock."""

    def __init__(self):
        super().__init__()
        self.lock = threading.Lock()


@pytest.mark.parametrize("unsent", ["sampler", "instance"])
def test_what_cannot_be_sent_to_the_workers_is_named(client, unsent):
    problem, instances = tsp_instances(2)
    samplers = {"plain": dimod.RandomSampler()}
    if unsent == "sampler":
        samplers["locked"] = Locked()
    else:
        instances["seed 1"] = dict(instances["seed 1"], lock=threading.Lock())
    name = "sampler 'locked'" if unsent == "sampler" else "instance 'seed 1'"
    with pytest.raises(TypeError, match=f"{name} cannot be sent to the Dask workers .*client=False"):
        sweep(problem, instances, samplers=samplers, client=client, progress=False)


def test_each_model_is_compiled_once_and_shared_by_its_runs(client, monkeypatch):
    submitted, submit = [], client.submit
    monkeypatch.setattr(client, "submit", lambda *args, **kw: submitted.append(args) or submit(*args, **kw))
    problem, instances = tsp_instances(2)
    compiled = compile_model(problem, instances.pop("seed 1"))
    instances["compiled"] = compiled
    results = sweep(problem, instances, weights=[1.0, "auto"], seeds=[5, 6], client=client, progress=False)
    assert all(run.ok for run in results)
    compiles = [args for args in submitted if args[0].__name__ == "compile_instance"]
    runs = [args for args in submitted if args[0].__name__ == "run"]
    assert len(compiles) == 1 and len(runs) == 8
    # every run gets its instance's model as a future: one compile, or one scattered compiled instance
    models = [args[1] for args in runs]
    assert all(isinstance(model, distributed.Future) for model in models)
    assert len({model.key for model in models[:4]}) == len({model.key for model in models[4:]}) == 1
    assert models[0].key != models[4].key and models[0].key.startswith("sweep-compile-")


def identity(x):
    return x


def test_models_and_results_cross_a_worker_unchanged(client):
    problem, data = testing.cover()
    compiled = compile_model(problem, data)
    arrays = to_qubo_arrays(problem, data, constraint_weight=2.0, progress=False)
    pubo = to_pubo(compiled, encoder="unary")
    builder = to_cqm(problem, data, progress=False)
    run = sweep(problem, [data], sample_options={"num_reads": 3}, seeds=[0], client=False)[0]
    objects = [compiled, arrays, pubo, builder, make_encoder("one-hot", compiled), run]
    back = client.gather([client.submit(identity, obj, pure=False) for obj in objects])
    assert [type(obj) for obj in back] == [type(obj) for obj in objects]
    rows = np.random.default_rng(0).integers(0, 2, (5, arrays.num_binaries))
    assert (to_pubo(back[0]).coeff, to_pubo(back[0]).constant) == (to_pubo(compiled).coeff, to_pubo(compiled).constant)
    assert back[1].to_dict() == arrays.to_dict() and decode(rows, back[1]) == decode(rows, arrays)
    assert (back[2].coeff, back[2].constant, back[2].slack) == (pubo.coeff, pubo.constant, pubo.slack)
    assert back[3].get_model().is_equal(builder.get_model())
    assert back[4] == objects[4] and back[5] == run


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"sampler": SimulatedAnnealingSampler(), "samplers": []}, TypeError, "not both"),
        ({"samplers": [object()]}, TypeError, "must have a dimod sampler.s sample method"),
        ({"samplers": [dimod.ExactSolver]}, TypeError, r"got the class ExactSolver: give ExactSolver\(\)"),
        ({"samplers": {"pair": (SimulatedAnnealingSampler(), 3)}}, TypeError, r"\(sampler, options dict\) pair"),
        ({"seeds": [1.5]}, TypeError, "seeds must be ints"),
        ({"seeds": [1], "sample_options": {"seed": 2}}, TypeError, "in its options and in seeds"),
        ({"weights": [1.0, -2.0]}, ValueError, "weights is -2.0: a negative weight"),
        ({"weights": {"weigth": 2.0}}, ValueError, r"^weights names unknown labels \['weigth'\]"),
        ({"sample_options": [{}, 5]}, TypeError, "sample_options must be a dict of options for sample, or a list"),
        ({"sample_options": 5}, TypeError, "sample_options must be a dict .* got int 5"),
        ({"instances": {1, 2}}, TypeError, "as a list, or a dict by name"),
        ({"encoder": make_encoder}, TypeError, "the encoder's name"),
        ({"n_workers": 2}, TypeError, "n_workers sizes the LocalCluster"),
        ({"n_workers": 0, "client": None}, ValueError, "n_workers must be at least 1"),  # no 30 s wait first
        ({"n_workers": 1.5, "client": None}, TypeError, "n_workers must be an int"),
        ({"problem": None}, TypeError, "instance 0 is not a compiled instance"),
        (
            {"instances": {"n": 6, "w": [1, 2]}},
            TypeError,
            r"instance 'n' is int 6, no instance data: put one instance's data in a list",
        ),
        ({"client": "tcp://127.0.0.1:1"}, TypeError, r"got str 'tcp://127.0.0.1:1'; .*distributed.Client\(address\)"),
    ],
)
def test_arguments_refused_before_any_run(kwargs, error, message):
    problem, instances = knapsack_instances(1)
    given = {"problem": problem, "instances": instances, "client": False, **kwargs}
    with pytest.raises(error, match=message):
        sweep(given.pop("problem"), given.pop("instances"), **given)


def test_dask_is_imported_by_sweep_alone(monkeypatch):
    check = (
        "import importlib, pkgutil, sys, quillon_transpiler as q\n"
        "for module in pkgutil.walk_packages(q.__path__, 'quillon_transpiler.'):\n"
        "    importlib.import_module(module.name)\n"
        "assert q.sweep and not {'dask', 'distributed'} & set(sys.modules), sorted(sys.modules)"
    )
    done = subprocess.run([sys.executable, "-c", check], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    monkeypatch.setitem(sys.modules, "distributed", None)  # as if Dask were not installed
    problem, instances = knapsack_instances(1)
    with pytest.raises(ImportError, match=r"pip install 'quillon_transpiler\[dask\]'"):
        sweep(problem, instances)


def test_the_example_scans_and_agrees_with_the_loop_here():
    example = pathlib.Path(__file__).resolve().parents[2] / "examples" / "sweep_tsp.py"
    args = [sys.executable, str(example), "--cities", "5", "--instances", "2", "--workers", "2"]
    done = subprocess.run(args, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "the same samples both ways" in done.stdout
    assert re.search(r"auto\s+2000\s+100%", done.stdout) and "speed-up" in done.stdout


@pytest.mark.parametrize("sampler", ["bqm", "cqm"])
def test_broken_reads_the_answer_of_the_sampler(sampler):
    # a CQM's energy leaves the constraints out: its lowest sample (the unconstrained best)
    # broke constraints whenever the exact solver's answer held them all
    problem, instances = knapsack_instances(1)
    chosen = dimod.ExactSolver() if sampler == "bqm" else dimod.ExactCQMSolver()
    run = sweep(problem, instances, sampler=chosen, client=False)[0]
    assert run.ok and run.objective is not None and run.broken == {}


@pytest.mark.parametrize("fixed", [{}, {"x": {(2,): 0}}])
def test_each_instance_has_its_own_pins(fixed):
    """compile_model adds an instance's pins to the map it is given: the next must not inherit them."""
    N, K = ql.Placeholder("N"), ql.Placeholder("K")
    x, i = ql.BinaryVar("x", shape=(N,)), ql.Element("i", N)
    problem = ql.Problem("p")
    problem += ql.sum(i, x[i])
    problem += ql.Constraint("pin", x[i] == 1, forall=[(i, i == K)])
    given = {label: dict(values) for label, values in fixed.items()}
    results = sweep(
        problem,
        {"K=0": {"N": 3, "K": 0}, "K=1": {"N": 3, "K": 1}},
        sampler=dimod.ExactSolver(),
        fixed_variables=given,
        client=False,
        progress=False,
    )
    assert [r.best.dense("x").tolist() for r in results] == [[1, 0, 0], [0, 1, 0]]
    assert given == fixed


@pytest.mark.parametrize("sense", [ql.ProblemSense.MINIMIZE, ql.ProblemSense.MAXIMIZE])
@pytest.mark.parametrize("sampler", [dimod.ExactSolver(), dimod.ExactCQMSolver()], ids=["bqm", "cqm"])
def test_the_best_run_weighs_the_custom_penalties_in(sampler, sense):
    x = ql.BinaryVar("x", shape=(2,))
    problem = ql.Problem("p", sense=sense)
    problem += (x[0] + 2 * x[1]) * (1 if sense == ql.ProblemSense.MAXIMIZE else -1)
    problem += ql.CustomPenaltyTerm("not both", x[0] * x[1])  # weighed 10: x = (0, 1) is best
    (run,) = sweep(problem, [{}], sampler=sampler, client=False, progress=False, penalty_weight=10.0)
    assert run.best.dense("x", 0).tolist() == [0, 1] and abs(run.objective) == 2
