"""Writings of one model that users choose freely: each pair must cost about the same.

Times ``to_qubo_arrays`` on pairs of models that mean the same thing written two ways, in turns
(medians of several rounds), and prints each pair's ratio:

- a dense QUBO sum_i sum_j q[i, j] x[i] x[j] (its diagonal: squares x[i] * x[i]), with two sums
  and with the same two sums inside a third of one value;
- the TSP's objective in one ``problem +=`` statement, and followed by a second statement (a small
  linear cost);
- an assignment's linear cost sum_i sum_j c[i, j] x[i, j] with two sums and with three;
- the TSP's one-hot penalties weighted in the model, 100.0 * (...) ** 2, and by penalty_weight.

usage: python benchmarks/bench_writings.py [--quick] [--rounds 5]
"""

from __future__ import annotations

import argparse
import os
import statistics
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import quillon as ql  # noqa: E402
from quillon_transpiler import testing, to_qubo_arrays  # noqa: E402

N = ql.Placeholder("N")
EI, EJ, EK = ql.Element("i", N), ql.Element("j", N), ql.Element("k", (0, 1))


def dense(nested: bool):
    q = ql.Placeholder("q", ndim=2)
    x = ql.BinaryVar("x", shape=(N,))
    term = ql.sum(EI, ql.sum(EJ, q[EI, EJ] * x[EI] * x[EJ]))
    problem = ql.Problem("dense")
    problem += ql.sum(EK, term) if nested else term
    return problem


def tsp(statements: int, weight_in_model: bool = True):
    d, c = ql.Placeholder("d", ndim=2), ql.Placeholder("c", ndim=1)
    x = ql.BinaryVar("x", shape=(N, N))
    t = ql.Element("t", N)
    problem = ql.Problem("tsp")
    problem += ql.sum(EI, ql.sum(EJ, ql.sum(t, d[EI, EJ] * x[EI, t] * x[EJ, (t + 1) % N])))
    if statements > 1:
        problem += ql.sum(EI, c[EI] * x[EI, 0])
    for label, total, index in (("row", ql.sum(EI, x[EI, t]), t), ("col", ql.sum(t, x[EI, t]), EI)):
        square = (total - 1) ** 2
        problem += ql.CustomPenaltyTerm(label, 100.0 * square if weight_in_model else square, forall=index)
    return problem


def assignment(nested: bool):
    c = ql.Placeholder("c", ndim=2)
    x = ql.BinaryVar("x", shape=(N, N))
    term = ql.sum(EI, ql.sum(EJ, c[EI, EJ] * x[EI, EJ]))
    problem = ql.Problem("assignment")
    problem += ql.sum(EK, term) if nested else term
    return problem


def pairs(quick: bool):
    rng = np.random.default_rng(3)
    n_dense, n_tsp, n_assign = (60, 12, 40) if quick else (1000, 100, 300)
    q = rng.uniform(-1, 1, (n_dense, n_dense))
    d = testing.city_distances(n_tsp, 7, 1)
    c = rng.uniform(0, 1, (n_assign, n_assign))
    cities = {"N": n_tsp, "d": d, "c": np.ones(n_tsp)}
    weighted = {"penalty_weight": 100.0}
    # (model, writing, problem, its options, reference writing, problem, its options, data)
    return [
        (
            f"dense QUBO n={n_dense}",
            "two sums",
            dense(False),
            {},
            "three sums",
            dense(True),
            {},
            {"N": n_dense, "q": q},
        ),
        (f"TSP n={n_tsp}", "two statements", tsp(2), {}, "one statement", tsp(1), {}, cities),
        (f"TSP n={n_tsp}", "weights in the model", tsp(1), {}, "penalty_weight", tsp(1, False), weighted, cities),
        (
            f"assignment n={n_assign}",
            "two sums",
            assignment(False),
            {},
            "three sums",
            assignment(True),
            {},
            {"N": n_assign, "c": c},
        ),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, one round")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    rounds = 1 if args.quick else args.rounds
    print("| model | writing | seconds | reference writing | seconds | ratio |")
    print("|---|---|---|---|---|---|")
    for model, name, problem, options, ref_name, reference, ref_options, data in pairs(args.quick):
        calls = [
            lambda p=p, o=o: to_qubo_arrays(p, data, progress=False, **o)
            for p, o in ((problem, options), (reference, ref_options))
        ]
        for call in calls:  # warm up: first calls import and plan
            call()
        times: list[list[float]] = [[], []]
        for _ in range(rounds):
            for k, call in enumerate(calls):
                start = time.perf_counter()
                call()
                times[k].append(time.perf_counter() - start)
        ours, ref = (statistics.median(t) for t in times)
        print(f"| {model} | {name} | {ours:.4f} | {ref_name} | {ref:.4f} | {ours / ref:.2f} |")


if __name__ == "__main__":
    main()
