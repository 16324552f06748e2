"""Our routes beside the peers' on the same models, ratios taken in one run.

Rows, each timed in turns with its reference (rounds alternate ours and theirs; the best round of
each side, as ``timeit`` advises: on a shared machine a round is only ever slowed by others):

1. orders: ``to_qubo_arrays`` on the TSP (n = 100) written in every order of its nested sums
   and both layouts of x (and twice with the city count read as ``d.len_at(0)``), one-hot rules
   as squared penalties and as constraints (weight 100 either way); ratio to the best writing
   of the same model.
2. constraints: the one-hot rules as ``Constraint(... == 1)`` against the same squares written
   as custom penalties, per writing.
3. dense square: ``(sum_i a[i] x[i] - B)^2`` over n binaries (n = 1,000 and 5,000, int and
   float weights) against the Amplify SDK's ``((a * q).sum() - B) ** 2`` +
   ``to_unconstrained_poly`` (and PyQUBO at n = 1,000); beside it, for information, a knapsack
   (a linear objective and one ``<=`` capacity constraint, int data, weight 10) against
   Amplify's ``less_equal``.
4. small models: the TSP at n = 5, 10, 20 against Amplify's ``einsum`` + ``one_hot`` +
   ``to_unconstrained_poly`` (and PyQUBO); for information, the TSP at n = 10, 20 written out
   term by term as PyQUBO's users write it, built and lowered in each call, against PyQUBO.
5. dimod: the CQM export (``to_cqm`` + ``get_model``) against the fastest fill of dimod's public
   API from arrays already held (the objective by ``BinaryQuadraticModel.from_numpy_vectors``
   with the variables' labels, then ``set_objective``; each constraint by ``from_numpy_vectors``
   and ``add_constraint_from_model``); ``to_bqm`` against ``from_numpy_vectors`` on the same
   arrays.

The peers run in another interpreter (``--peers PYTHON``: a scratch environment with amplify
and pyqubo installed; they are never dependencies of the package), one worker process kept for
the whole run. The table goes to benchmarks/RESULTS.md (``--out`` to change). ``--quick``: small
sizes, one round, no peers, nothing written (so that CI keeps the script working).

usage: python benchmarks/bench_peers.py [--quick] [--peers PYTHON] [--rounds 5] [--out PATH]
"""

from __future__ import annotations

import argparse
import datetime
import itertools
import json
import os
import platform
import subprocess
import time
import typing as typ

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # BLAS threads would spin on the shared cores

import numpy as np  # noqa: E402

RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "RESULTS.md")

# The peers' side: a worker in the scratch interpreter, one JSON request per line, the seconds
# of one call per reply. Models are built as our benchmark's (the same seeds and data).
PEER_WORKER = r"""
import json, sys, time
import numpy as np

def distances(n, seed=7):
    points = np.random.default_rng(seed).uniform(0.0, 100.0, size=(n, 2))
    return np.linalg.norm(points[:, None, :] - points[None, :, :], axis=-1).round(1)

def dense(n, integer, seed=11):
    rng = np.random.default_rng(seed)
    a = rng.integers(1, 100, n) if integer else rng.uniform(1.0, 100.0, n)
    return a, (int(a.sum() // 2) if integer else float(a.sum() / 2))

def amplify_tsp(n):
    from amplify import VariableGenerator, einsum, one_hot
    d = distances(n)
    start = time.perf_counter()
    q = VariableGenerator().array("Binary", shape=(n, n))
    objective = einsum("ij,ti,tj->", d, q, q.roll(-1, axis=0))
    model = objective + 100.0 * (one_hot(q, axis=1) + one_hot(q, axis=0))
    model.to_unconstrained_poly()
    return time.perf_counter() - start

def amplify_dense(n, integer):
    from amplify import Model, VariableGenerator
    a, b = dense(n, integer)
    start = time.perf_counter()
    q = VariableGenerator().array("Binary", n)
    Model(((a * q).sum() - b) ** 2).to_unconstrained_poly()
    return time.perf_counter() - start

def knapsack_data(n, seed=5):
    rng = np.random.default_rng(seed)
    w, v = rng.integers(1, 30, n), rng.integers(1, 100, n)
    return v, w, int(0.4 * w.sum())

def amplify_knapsack(n):
    from amplify import Model, VariableGenerator, less_equal
    v, w, cap = knapsack_data(n)
    start = time.perf_counter()
    q = VariableGenerator().array("Binary", n)
    Model(-(v * q).sum(), 10.0 * less_equal((w * q).sum(), cap)).to_unconstrained_poly()
    return time.perf_counter() - start

def pyqubo_dense(n, integer):
    from pyqubo import Array
    a, b = dense(n, integer)
    a = a.tolist()
    start = time.perf_counter()
    x = Array.create("x", shape=n, vartype="BINARY")
    ((sum(a[k] * x[k] for k in range(n)) - b) ** 2).compile().to_qubo()
    return time.perf_counter() - start

def pyqubo_tsp(n):
    from pyqubo import Array, Constraint
    d = distances(n).tolist()
    start = time.perf_counter()
    x = Array.create("x", shape=(n, n), vartype="BINARY")
    objective = sum(d[i][j] * x[i, t] * x[j, (t + 1) % n] for i in range(n) for j in range(n) for t in range(n))
    rows = sum(Constraint((sum(x[i, t] for i in range(n)) - 1) ** 2, f"step{t}") for t in range(n))
    cols = sum(Constraint((sum(x[i, t] for t in range(n)) - 1) ** 2, f"city{i}") for i in range(n))
    (objective + 100.0 * (rows + cols)).compile().to_qubo()
    return time.perf_counter() - start

def versions():
    from importlib.metadata import version
    return ", ".join(f"{name} {version(name)}" for name in ("amplify", "pyqubo", "dimod"))

TASKS = {"amplify_tsp": amplify_tsp, "amplify_dense": amplify_dense, "amplify_knapsack": amplify_knapsack,
         "pyqubo_dense": pyqubo_dense, "pyqubo_tsp": pyqubo_tsp, "versions": versions}
for line in sys.stdin:
    request = json.loads(line)
    try:
        print(json.dumps({"answer": TASKS[request["task"]](*request["args"])}), flush=True)
    except Exception as error:
        print(json.dumps({"error": f"{type(error).__name__}: {error}"}), flush=True)
"""


class Peers:
    """The worker in the peers' interpreter; None answers when there is none."""

    def __init__(self, python: str | None) -> None:
        self.proc = None
        if python:
            env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
            self.proc = subprocess.Popen(
                [python, "-c", PEER_WORKER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env
            )

    def ask(self, task: str, *args: typ.Any) -> typ.Any:
        if self.proc is None:
            return None
        assert self.proc.stdin and self.proc.stdout
        self.proc.stdin.write(json.dumps({"task": task, "args": args}) + "\n")
        self.proc.stdin.flush()
        reply = json.loads(self.proc.stdout.readline())
        if "error" in reply:
            raise RuntimeError(f"{task}{args}: {reply['error']}")
        return reply["answer"]

    def time(self, task: str, *args: typ.Any) -> float | None:
        """The seconds of one call of `task` in the peers' interpreter."""
        seconds = self.ask(task, *args)
        return None if seconds is None else float(seconds)

    def close(self) -> None:
        if self.proc is not None:
            self.proc.stdin.close()
            self.proc.wait()


def once(fn: typ.Callable[[], typ.Any]) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def in_turns(rounds: int, *timers: typ.Callable[[], float | None]) -> list[float | None]:
    """The best time of each timer, called in turns round after round (a timer giving None: no
    figure); with more than one round, a first one that warms both sides up is left out. The
    least time is the call least disturbed by the rest of the machine, whose noise (up to tens of
    per cent between rounds on a shared VM) would otherwise swamp the ratios compared."""
    seen: list[list[float]] = [[] for _ in timers]
    for r in range(rounds + (rounds > 1)):
        for k, timer in enumerate(timers):
            t = timer()
            if t is not None and (r > 0 or rounds == 1):
                seen[k].append(t)
    return [min(s) if s else None for s in seen]


class Table:
    def __init__(self) -> None:
        self.rows: list[tuple[str, ...]] = []

    def add(self, point: str, model: str, ours: float, what: str, theirs: float | None, target: str) -> None:
        ratio = f"{theirs / ours:.2f}x" if theirs else "-"
        met = "-"
        if theirs and target.startswith(">= "):
            met = "yes" if theirs / ours >= float(target[3:].rstrip("x")) else "no"
        row = (point, model, f"{ours:.3g}", what, "-" if theirs is None else f"{theirs:.3g}", ratio, target, met)
        self.rows.append(row)
        print(" | ".join(row), flush=True)

    def markdown(self) -> str:
        head = ("point", "model", "ours (s)", "reference", "reference (s)", "reference / ours", "target", "met")
        lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        lines += ["| " + " | ".join(row) + " |" for row in self.rows]
        return "\n".join(lines)


PLURAL = {"penalty": "penalties", "constraint": "constraints"}


def tsp_model(n: int, order: str, layout: str, onehot: str, size: str = "placeholder"):
    from quillon_transpiler import testing

    problem, instance = testing.tsp(n, order=order, layout=layout, onehot=onehot, size=size)
    weights = {"penalty_weight": 100.0} if onehot == "penalty" else {"constraint_weight": 100.0}
    return problem, instance, weights


def arrays_timer(problem, instance, weights) -> typ.Callable[[], float]:
    from quillon_transpiler import to_qubo_arrays

    return lambda: once(lambda: to_qubo_arrays(problem, instance, progress=False, **weights))


def writing_name(order: str, layout: str, size: str) -> str:
    return f"sums {order}, x[{layout}]" + (", N = d.len_at(0)" if size == "length" else "")


def orders_and_constraints(table: Table, peers: Peers, n: int, rounds: int) -> None:
    """Points 1 and 2: every writing of the TSP, penalties and constraints timed in turns (the
    city count a placeholder N, and in two writings the distances' length d.len_at(0))."""
    writings = [
        ("".join(order), layout, "placeholder") for order in itertools.permutations("ijt") for layout in ("it", "ti")
    ]
    writings += [("ijt", "it", "length"), ("tji", "ti", "length")]
    timers = {
        (order, layout, size, onehot): arrays_timer(*tsp_model(n, order, layout, onehot, size))
        for order, layout, size in writings
        for onehot in ("penalty", "constraint")
    }
    # every writing in turns, round after round: a machine that drifts over the run moves them all
    seconds = in_turns(rounds, *timers.values())
    times: dict[tuple[str, str, str, str], float] = {key: typ.cast(float, t) for key, t in zip(timers, seconds)}
    amplify = in_turns(rounds, lambda: peers.time("amplify_tsp", n))[0]
    for onehot in ("penalty", "constraint"):
        best = min(times[(*w, onehot)] for w in writings)
        for w in writings:
            name = f"TSP n={n} {writing_name(*w)}, {PLURAL[onehot]}"
            table.add("1", name, times[(*w, onehot)], "best writing", best, ">= 0.80x")
    first = ("ijt", "it", "placeholder", "penalty")
    table.add("1", f"TSP n={n} {writing_name(*first[:3])}, penalties", times[first], "Amplify", amplify, "-")
    for w in writings:
        t, penalty = times[(*w, "constraint")], times[(*w, "penalty")]
        table.add("2", f"TSP n={n} {writing_name(*w)}: constraints", t, "penalties", penalty, ">= 0.91x")


def dense_squares(table: Table, peers: Peers, sizes: list[int], rounds: int) -> None:
    """Point 3: the dense square against Amplify (and PyQUBO at n <= 1000)."""
    from quillon_transpiler import testing

    for n in sizes:
        for integer in (True, False):
            problem, instance = testing.dense_square(n, integer=integer)
            # a few milliseconds at n = 1,000: more rounds for a steady figure
            ours, amplify = in_turns(
                rounds * 4 if n <= 1000 else rounds,
                arrays_timer(problem, instance, {}),
                lambda: peers.time("amplify_dense", n, integer),
            )
            kind = "int" if integer else "float"
            table.add("3", f"dense square n={n}, {kind} weights", ours, "Amplify", amplify, ">= 2x")
            if n <= 1000 and peers.proc is not None:
                pyqubo = in_turns(1, lambda: peers.time("pyqubo_dense", n, integer))[0]
                table.add("3", f"dense square n={n}, {kind} weights", ours, "PyQUBO", pyqubo, "-")


def knapsacks(table: Table, peers: Peers, sizes: list[int], rounds: int) -> None:
    """Beside point 3, for information: a knapsack's capacity constraint, a square of a weighted
    sum and its slack, beside a linear objective (the peer's model built from the same data)."""
    import quillon as ql

    N, C = ql.Placeholder("N"), ql.Placeholder("C")
    v, w = ql.Placeholder("v", ndim=1), ql.Placeholder("w", ndim=1)
    b, i = ql.BinaryVar("b", shape=(N,)), ql.Element("i", N)
    problem = ql.Problem("knapsack", sense=ql.ProblemSense.MAXIMIZE)
    problem += ql.sum(i, v[i] * b[i])
    problem += ql.Constraint("capacity", ql.sum(i, w[i] * b[i]) <= C)
    for n in sizes:
        rng = np.random.default_rng(5)  # as the peer's knapsack_data
        weights, values = rng.integers(1, 30, n), rng.integers(1, 100, n)
        instance = {"N": n, "v": values, "w": weights, "C": int(0.4 * weights.sum())}
        ours, amplify = in_turns(
            rounds * 4 if n <= 1000 else rounds,
            arrays_timer(problem, instance, {"constraint_weight": 10.0}),
            lambda: peers.time("amplify_knapsack", n),
        )
        table.add("3", f"knapsack n={n}, one <= constraint", ours, "Amplify", amplify, "-")


def small_models(table: Table, peers: Peers, sizes: list[int], rounds: int) -> None:
    """Point 4: small TSPs (penalties, the peers' form) against Amplify and PyQUBO."""
    for n in sizes:
        problem, instance, weights = tsp_model(n, "ijt", "it", "penalty")
        timer = arrays_timer(problem, instance, weights)
        ours, amplify = in_turns(rounds * 4, timer, lambda: peers.time("amplify_tsp", n))
        table.add("4", f"TSP n={n}", ours, "Amplify", amplify, ">= 1x")
        if peers.proc is not None:
            pyqubo = in_turns(1, lambda: peers.time("pyqubo_tsp", n))[0]
            table.add("4", f"TSP n={n}", ours, "PyQUBO", pyqubo, "-")


def written_out_timer(n: int) -> typ.Callable[[], float]:
    """The TSP as PyQUBO's users write it, term by term with Python's sum over plain loops, built
    and lowered afresh each call: a model's first compile, as a user's script runs it."""
    from quillon_transpiler import testing, to_qubo_arrays

    def run() -> None:
        problem, instance = testing.written_tsp(n)
        to_qubo_arrays(problem, instance, progress=False, penalty_weight=100.0)

    return lambda: once(run)


def written_out(table: Table, peers: Peers, sizes: list[int], rounds: int) -> None:
    """For information: the TSP written out term by term, built and lowered in each call,
    against PyQUBO's build + compile + to_qubo of its own form of it."""
    for n in sizes:
        ours, pyqubo = in_turns(rounds, written_out_timer(n), lambda: peers.time("pyqubo_tsp", n))
        table.add("4", f"TSP n={n} written out term by term, built + lowered", ours, "PyQUBO", pyqubo, "-")


def dimod_floor(problem, instance, onehot: str) -> typ.Callable[[], float]:
    """The public-API fill of the same CQM from arrays held beforehand: the objective (weighted
    penalties included) and every constraint's left side as arrays, labels as the CQM's."""
    import dimod

    from quillon_transpiler import compile_model, to_qubo_arrays

    arrays = to_qubo_arrays(problem, instance, penalty_weight=100.0, constraint_weight=0, progress=False)
    labels = [(label, subscripts) for label, subscripts, _ in arrays.labels()]
    quadratic = (arrays.quadratic_rows, arrays.quadratic_cols, arrays.quadratic_biases)
    constraints = []
    compiled = compile_model(problem, instance)
    index = {i: (label, subs) for label, by in compiled.var_map.var_map.items() for subs, i in by.items()}
    for label, by_key in compiled.constraint.items():
        for key, poly in by_key.items():
            keys = list(poly.coeff)
            variables = [index[k[0]] for k in keys]
            biases = np.array([poly.coeff[k] for k in keys], dtype=float)
            constraints.append((f"{label}_{key}", variables, biases, -float(poly.constant)))
    empty = (np.zeros(0, np.int32), np.zeros(0, np.int32), np.zeros(0))

    def fill() -> float:
        start = time.perf_counter()
        bqm = dimod.BinaryQuadraticModel.from_numpy_vectors(
            arrays.linear, quadratic, arrays.offset, dimod.BINARY, variable_order=labels
        )
        cqm = dimod.ConstrainedQuadraticModel()
        cqm.set_objective(bqm)
        for label, variables, biases, rhs in constraints:
            lhs = dimod.BinaryQuadraticModel.from_numpy_vectors(
                biases, empty, 0.0, dimod.BINARY, variable_order=variables
            )
            cqm.add_constraint_from_model(lhs, "==", rhs, label=label, copy=False)
        return time.perf_counter() - start

    return fill


def dimod_rows(table: Table, n: int, rounds: int) -> None:
    """Point 5: the CQM export and to_bqm against dimod filled from arrays."""
    try:
        import dimod
    except ImportError:
        print("dimod is not installed: point 5 skipped")
        return
    from quillon_transpiler import to_bqm, to_cqm, to_qubo_arrays

    for onehot in ("penalty", "constraint"):
        problem, instance, _ = tsp_model(n, "ijt", "it", onehot)
        weights = dict.fromkeys(problem.custom_penalty_terms, 100.0)
        export = lambda: once(lambda: to_cqm(problem, instance, progress=False).get_model(weights))  # noqa: E731
        ours, floor = in_turns(rounds, export, dimod_floor(problem, instance, onehot))
        table.add("5", f"CQM export, TSP n={n}, {PLURAL[onehot]}", ours, "dimod from arrays", floor, ">= 0.67x")
    problem, instance, weights = tsp_model(n, "ijt", "it", "penalty")
    arrays = to_qubo_arrays(problem, instance, progress=False, **weights)
    quadratic = (arrays.quadratic_rows, arrays.quadratic_cols, arrays.quadratic_biases)
    ours, floor = in_turns(
        rounds,
        lambda: once(lambda: to_bqm(arrays)),
        lambda: once(
            lambda: dimod.BinaryQuadraticModel.from_numpy_vectors(arrays.linear, quadratic, arrays.offset, "BINARY")
        ),
    )
    table.add("5", f"to_bqm, TSP n={n}", ours, "from_numpy_vectors", floor, ">= 0.83x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, one round, no peers, nothing written")
    parser.add_argument("--peers", metavar="PYTHON", help="an interpreter with amplify and pyqubo installed")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--out", default=RESULTS)
    args = parser.parse_args()
    rounds = 1 if args.quick else args.rounds
    peers = Peers(None if args.quick else args.peers)
    peer_versions = peers.ask("versions") or "none"
    try:
        from importlib.metadata import version

        ours = f"quillon_transpiler with dimod {version('dimod')}"
    except Exception:  # dimod is an extra
        ours = "quillon_transpiler without dimod"
    table = Table()
    try:
        orders_and_constraints(table, peers, 8 if args.quick else 100, rounds)
        dense_squares(table, peers, [200] if args.quick else [1000, 5000], rounds)
        knapsacks(table, peers, [50] if args.quick else [100, 1000], rounds)
        small_models(table, peers, [5] if args.quick else [5, 10, 20], rounds)
        written_out(table, peers, [4] if args.quick else [10, 20], rounds)
        dimod_rows(table, 8 if args.quick else 100, rounds)
    finally:
        peers.close()
    if args.quick:
        return
    with open(args.out, "w") as out:
        out.write(
            "# Speed beside the peers\n\n"
            f"Written by `benchmarks/bench_peers.py` on {datetime.date.today()} ({platform.machine()}, "
            f"{os.cpu_count()} cores, Python {platform.python_version()}); {ours}; peers: {peer_versions}. "
            f"Seconds are the best of {rounds} rounds "
            "timed in turns with the reference; ratios come from this one run. A ratio above 1 means "
            "ours is faster; the target is what the row must show.\n\n"
        )
        out.write(table.markdown() + "\n")
    print(f"table written to {args.out}")


if __name__ == "__main__":
    main()
