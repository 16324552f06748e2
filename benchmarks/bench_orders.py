"""The same model written every way: speed must not depend on how a user writes the TSP.

For each size and one-hot kind (squared custom penalties, or ``Constraint(... == 1)`` with a
constraint weight) times ``to_qubo_arrays`` (the native route) and ``compile_model`` (the dict
route's first step) on the twelve writings of the TSP: the six orders of its nested sums, with
the variable subscripted x[i, t] ("it") or x[t, i] ("ti"). Writings are timed in turns, several
rounds, and each is reported as its median and its ratio to the best writing of the same model.

``--small`` times the small TSPs (n = 5 to 20) instead, best writing and worst, against the
Amplify SDK's einsum + one_hot + to_unconstrained_poly route when ``--amplify PYTHON`` names an
interpreter that has it (a scratch environment: Amplify is a peer, never a dependency).

usage: python benchmarks/bench_orders.py [--sizes 50,100] [--rounds 5] [--quick] [--cpu]
                                         [--routes to_qubo_arrays,compile_model]
       python benchmarks/bench_orders.py --small [--sizes 5,10,20] [--amplify PYTHON]
"""

from __future__ import annotations

import itertools
import json
import os
import statistics
import subprocess
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

ORDERS = ["".join(p) for p in itertools.permutations("ijt")]
LAYOUTS = ["it", "ti"]
WEIGHT = 100.0


def writings():
    return [(order, layout) for layout in LAYOUTS for order in ORDERS]


def routes(problem, instance, onehot: str):
    from quillon_transpiler import compile_model, to_qubo_arrays

    if onehot == "penalty":
        weights = {"penalty_weight": WEIGHT}
    else:
        weights = {"constraint_weight": WEIGHT}
    return {
        "to_qubo_arrays": lambda: to_qubo_arrays(problem, instance, progress=False, **weights),
        "compile_model": lambda: compile_model(problem, instance),
    }


CLOCK = time.perf_counter


def timed(fn, repeat: int = 1) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = CLOCK()
        result = fn()
        best = min(best, CLOCK() - start)
        del result
    return best


def measure(sizes, rounds: int, route_names=("to_qubo_arrays", "compile_model")) -> dict:
    """{(n, onehot, route): {writing: [seconds per round]}}, the writings taken in turns."""
    from quillon_transpiler import testing

    out: dict = {}
    for n in sizes:
        for onehot in ("penalty", "constraint"):
            cases = {}
            for order, layout in writings():
                problem, instance = testing.tsp(n, order=order, layout=layout, onehot=onehot)
                cases[order + "/" + layout] = routes(problem, instance, onehot)
            for route in route_names:
                times: dict = {w: [] for w in cases}
                for w in cases:  # warm up: first calls import and fill caches
                    cases[w][route]()
                for _ in range(rounds):
                    for w in cases:
                        times[w].append(timed(cases[w][route]))
                out[(n, onehot, route)] = times
    return out


def report(results: dict) -> None:
    for (n, onehot, route), times in results.items():
        medians = {w: statistics.median(t) for w, t in times.items()}
        best = min(medians.values())
        print(f"\nn = {n}, one-hot as {onehot}, {route} (best {best:.4f} s)")
        print("| writing | " + " | ".join(w for w in medians) + " |")
        print("|---|" + "---|" * len(medians))
        print("| seconds | " + " | ".join(f"{s:.4f}" for s in medians.values()) + " |")
        print("| ratio | " + " | ".join(f"{s / best:.2f}" for s in medians.values()) + " |")
        worst = max(medians, key=medians.__getitem__)
        print(f"worst {worst}: {medians[worst] / best:.2f}x the best")


AMPLIFY_TSP = """
import json, sys, time
import numpy as np
from amplify import VariableGenerator, einsum, one_hot
n, rounds = int(sys.argv[1]), int(sys.argv[2])
points = np.random.default_rng(7).uniform(0, 100, (n, 2))
d = np.linalg.norm(points[:, None] - points[None], axis=-1).round(1)
times = []
for _ in range(rounds):
    start = time.perf_counter()
    q = VariableGenerator().array("Binary", shape=(n, n))
    q_next = q.roll(-1, axis=0)
    objective = einsum("ij,ti,tj->", d, q, q_next)
    model = objective + 100.0 * (one_hot(q, axis=1) + one_hot(q, axis=0))
    poly = model.to_unconstrained_poly()
    times.append(time.perf_counter() - start)
print(json.dumps(sorted(times)[len(times) // 2]))
"""


def amplify(python: str, n: int, rounds: int) -> float:
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    proc = subprocess.run(
        [python, "-c", AMPLIFY_TSP, str(n), str(rounds)], check=True, capture_output=True, text=True, env=env
    )
    return float(proc.stdout.strip().splitlines()[-1])


def small(sizes, rounds: int, amplify_python: str | None) -> None:
    """Small TSPs: every writing's median over `rounds` calls, against Amplify in turns."""
    from quillon_transpiler import testing

    print("| n | one-hot | best writing | worst writing | ours best (ms) | ours worst (ms) | amplify (ms) | ratio |")
    print("|---|---|---|---|---|---|---|---|")
    for n in sizes:
        for onehot in ("penalty", "constraint"):
            cases = {}
            for order, layout in writings():
                problem, instance = testing.tsp(n, order=order, layout=layout, onehot=onehot)
                cases[order + "/" + layout] = routes(problem, instance, onehot)["to_qubo_arrays"]
            for fn in cases.values():
                fn()
            theirs = []
            ours: dict = {w: [] for w in cases}
            for _ in range(5):
                if amplify_python:
                    theirs.append(amplify(amplify_python, n, rounds))
                for w, fn in cases.items():
                    ours[w].append(statistics.median(timed(fn) for _ in range(rounds)))
            medians = {w: statistics.median(t) for w, t in ours.items()}
            best = min(medians, key=medians.__getitem__)
            worst = max(medians, key=medians.__getitem__)
            peer = statistics.median(theirs) if theirs else float("nan")
            print(
                f"| {n} | {onehot} | {best} | {worst} | {medians[best] * 1e3:.3f} | {medians[worst] * 1e3:.3f} | "
                f"{peer * 1e3:.3f} | {medians[worst] / peer:.2f} |",
                flush=True,
            )


def main(args: list[str]) -> None:
    def option(name, default):
        return args[args.index(name) + 1] if name in args else default

    if "--small" in args:
        sizes = [int(s) for s in option("--sizes", "5,10,20").split(",")]
        small(sizes, int(option("--rounds", "51")), option("--amplify", None))
        return
    quick = "--quick" in args
    sizes = [int(s) for s in option("--sizes", "8" if quick else "50,100").split(",")]
    if "--cpu" in args:  # the process's own time: steadier on a machine others load
        global CLOCK
        CLOCK = time.process_time
    names = option("--routes", "to_qubo_arrays,compile_model").split(",")
    results = measure(sizes, int(option("--rounds", "1" if quick else "5")), names)
    if "--json" in args:
        print(json.dumps({f"{n}/{o}/{r}": t for (n, o, r), t in results.items()}))
    else:
        report(results)


if __name__ == "__main__":
    main(sys.argv[1:])
