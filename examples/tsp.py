"""Travelling salesman: visit every city once, in the order that minimises the tour length.

x[i, t] = 1 when city i is visited at step t. The tour length sums d[i, j] over consecutive
steps; two one-hot constraints make x a permutation. Cities are random points on a 100 km
square (seeded), distances Euclidean.

usage: python examples/tsp.py [number of cities]     (default 30)
"""

import sys
import time

import numpy as np

import quillon as ql
from quillon_transpiler.core.compile.compile import compile_model


def tsp_model() -> ql.Problem:
    n = ql.Placeholder("n")
    d = ql.Placeholder("d", ndim=2)
    x = ql.BinaryVar("x", shape=(n, n))
    i, j, t = ql.Element("i", n), ql.Element("j", n), ql.Element("t", n)

    problem = ql.Problem("tsp")
    problem += ql.sum(i, ql.sum(j, d[i, j] * ql.sum(t, x[i, t] * x[j, (t + 1) % n])))
    problem += ql.Constraint("one city per step", ql.sum(i, x[i, t]) == 1, forall=t)
    problem += ql.Constraint("one step per city", ql.sum(t, x[i, t]) == 1, forall=i)
    return problem


def city_instance(n: int, seed: int = 7) -> dict:
    rng = np.random.default_rng(seed)
    points = rng.uniform(0.0, 100.0, size=(n, 2))
    distances = np.linalg.norm(points[:, None, :] - points[None, :, :], axis=-1)
    return {"n": n, "d": distances.round(1)}


def terms_summary(polys: dict) -> str:
    counts = [len(p.coeff) for p in polys.values()]
    if not counts:
        return "no polynomials"
    spread = f"{min(counts)}" if min(counts) == max(counts) else f"{min(counts)}..{max(counts)}"
    return f"{len(counts)} polynomials, {spread} terms each"


def main(n: int) -> None:
    problem = tsp_model()
    instance = city_instance(n)
    start = time.perf_counter()
    compiled = compile_model(problem, instance)
    seconds = time.perf_counter() - start

    print(f"TSP with {n} cities")
    print(f"  variables:  {compiled.var_map.var_num}")
    print(f"  objective:  {len(compiled.objective.coeff)} terms")
    for label, polys in compiled.constraint.items():
        print(f"  constraint {label!r}: {terms_summary(polys)}")
    print(f"  compile time: {seconds:.3f} s")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 30)
