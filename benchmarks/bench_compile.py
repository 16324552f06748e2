"""compile_model speed and memory on TSP, knapsack and graph colouring.

For each case prints the variables, the terms of all polynomials (objective, constraints and
penalties), the compile time (median of a few runs), terms per second and the peak of memory
allocated during one compilation (tracemalloc, measured in a separate run since tracing slows
it down).

usage: python benchmarks/bench_compile.py [--quick]     (--quick: the small sizes only)
"""

import statistics
import sys
import time
import tracemalloc

import numpy as np

import quillon as ql
from quillon_transpiler.core.compile.compile import compile_model


def median_time(fn, repeat: int):
    """The median of `repeat` timed calls of fn, and the last result."""
    times, result = [], None
    for _ in range(repeat):
        result = None  # the previous result is freed before the next call
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def tsp(n: int):
    """n cities, n * n binary variables: x[i, t] = 1 when city i is visited at step t."""
    N = ql.Placeholder("N")
    d = ql.Placeholder("d", ndim=2)
    x = ql.BinaryVar("x", shape=(N, N))
    i, j, t = ql.Element("i", N), ql.Element("j", N), ql.Element("t", N)
    problem = ql.Problem("tsp")
    problem += ql.sum(i, ql.sum(j, d[i, j] * ql.sum(t, x[i, t] * x[j, (t + 1) % N])))
    problem += ql.Constraint("one city per step", ql.sum(i, x[i, t]) == 1, forall=t)
    problem += ql.Constraint("one step per city", ql.sum(t, x[i, t]) == 1, forall=i)
    points = np.random.default_rng(n).uniform(0, 100, (n, 2))
    return problem, {"N": n, "d": np.linalg.norm(points[:, None] - points[None], axis=-1)}


def knapsack(n: int):
    """n items, one capacity constraint."""
    N = ql.Placeholder("N")
    v, w = ql.Placeholder("v", ndim=1), ql.Placeholder("w", ndim=1)
    W = ql.Placeholder("W")
    b = ql.BinaryVar("b", shape=(N,))
    i = ql.Element("i", N)
    problem = ql.Problem("knapsack", sense=ql.ProblemSense.MAXIMIZE)
    problem += ql.sum(i, v[i] * b[i])
    problem += ql.Constraint("capacity", ql.sum(i, w[i] * b[i]) <= W)
    rng = np.random.default_rng(n)
    weights = rng.uniform(1, 30, n)
    return problem, {"N": n, "v": rng.uniform(1, 100, n), "w": weights, "W": 0.4 * weights.sum()}


def colouring(nodes: int, colours: int, degree: float):
    """A random graph; one colour per node, a penalty per edge whose ends share a colour."""
    V, K, M = ql.Placeholder("V"), ql.Placeholder("K"), ql.Placeholder("M")
    E = ql.Placeholder("E", ndim=2)
    x = ql.BinaryVar("x", shape=(V, K))
    v, k, e = ql.Element("v", V), ql.Element("k", K), ql.Element("e", M)
    problem = ql.Problem("colouring")
    problem += ql.sum(v, ql.sum(k, k * x[v, k]))  # prefer low colours
    problem += ql.Constraint("one colour", ql.sum(k, x[v, k]) == 1, forall=v)
    problem += ql.CustomPenaltyTerm("conflict", ql.sum(e, ql.sum(k, x[E[e, 0], k] * x[E[e, 1], k])))
    rng = np.random.default_rng(nodes)
    pairs = rng.integers(0, nodes, (int(nodes * degree), 2))
    pairs = np.unique(np.sort(pairs[pairs[:, 0] != pairs[:, 1]], axis=1), axis=0)
    return problem, {"V": nodes, "K": colours, "M": len(pairs), "E": pairs}


def terms(compiled) -> int:
    count = len(compiled.objective.coeff)
    for by_label in (compiled.constraint, compiled.penalty):
        count += sum(len(p.coeff) for polys in by_label.values() for p in polys.values())
    return count


def run(name: str, problem, instance, repeat: int) -> None:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        compiled = compile_model(problem, instance)
        times.append(time.perf_counter() - start)
    seconds = statistics.median(times)
    tracemalloc.start()
    compile_model(problem, instance)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    count = terms(compiled)
    print(
        f"{name:28s} {compiled.var_map.var_num:8d} vars {count:10d} terms {seconds:8.3f} s "
        f"{count / seconds:12,.0f} terms/s {peak / 2**20:9.1f} MiB peak"
    )


def main(quick: bool) -> None:
    cases = [(f"tsp n={n}", *tsp(n)) for n in ((20, 50) if quick else (20, 50, 100))]
    cases.append((f"knapsack n={1000 if quick else 10000}", *knapsack(1000 if quick else 10000)))
    nodes = 200 if quick else 1000
    cases.append((f"colouring V={nodes} K=8", *colouring(nodes, 8, 4.0)))
    for name, problem, instance in cases:
        run(name, problem, instance, repeat=3)


if __name__ == "__main__":
    main("--quick" in sys.argv[1:])
