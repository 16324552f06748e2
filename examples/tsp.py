"""Travelling salesman: visit every city once, in the order that minimises the tour length.

x[i, t] = 1 when city i is visited at step t. The tour length sums d[i, j] over consecutive
steps; two one-hot constraints make x a permutation. Cities are random points on a 100 km
square (seeded), distances Euclidean. The model is the package's shared TSP,
quillon_transpiler.testing.tsp, written there with quillon as
``sum_i sum_j d[i, j] * sum_t x[i, t] * x[j, (t + 1) % n]``.

The model is compiled, exported as a dimod CQM and solved: exactly for 4 cities (every
assignment of the 16 variables), by simulated annealing (or tabu search) on dimod.cqm_to_bqm
beyond. The best feasible tour is printed as a route.

usage: python examples/tsp.py [cities] [--sampler exact|sa|tabu] [--reads N]   (default 4)
"""

import argparse
import itertools
import time

import cqm_solve
import numpy as np

from quillon_transpiler import compile_model, testing, to_cqm


def terms_summary(polys: dict) -> str:
    counts = [len(p.coeff) for p in polys.values()]
    if not counts:
        return "no polynomials"
    spread = f"{min(counts)}" if min(counts) == max(counts) else f"{min(counts)}..{max(counts)}"
    return f"{len(counts)} polynomials, {spread} terms each"


def main(n: int, sampler: str, reads: int) -> None:
    problem, instance = testing.tsp(n, factor_distance=True)  # distances rounded to 0.1 km
    d = instance["d"]
    start = time.perf_counter()
    compiled = compile_model(problem, instance)
    seconds = time.perf_counter() - start

    print(f"TSP with {n} cities")
    print(f"  variables:  {compiled.var_map.var_num}")
    print(f"  objective:  {len(compiled.objective.coeff)} terms")
    for label, polys in compiled.constraint.items():
        print(f"  constraint {label!r}: {terms_summary(polys)}")
    print(f"  compile time: {seconds:.3f} s")
    start = time.perf_counter()
    builder = to_cqm(compiled)
    print(f"  CQM export time: {time.perf_counter() - start:.3f} s")

    decoded = cqm_solve.solve(builder, sampler=sampler, reads=reads)
    best = cqm_solve.best(decoded)
    x = best.dense("x")
    route = [int(np.argmax(x[:, t])) if x[:, t].any() else None for t in range(n)]
    print("route:", " -> ".join("?" if c is None else str(c) for c in route + route[:1]))
    if None not in route:
        legs = [d[route[t], route[(t + 1) % n]] for t in range(n)]
        print("legs (km):", " + ".join(f"{leg:g}" for leg in legs), f"= {sum(legs):g}")
    print(f"objective (tour length): {best.evaluation.objective[0]:g}")
    cqm_solve.report_violations(best)
    if n <= 9:
        shortest = min(
            sum(d[p[t], p[(t + 1) % n]] for t in range(n)) for p in itertools.permutations(range(n)) if p[0] == 0
        )
        print(f"shortest tour by trying every permutation: {shortest:g}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cities", type=int, nargs="?", default=4)
    parser.add_argument("--sampler", choices=["auto", "exact", "sa", "tabu"], default="auto")
    parser.add_argument("--reads", type=int, default=64)
    args = parser.parse_args()
    main(args.cities, args.sampler, args.reads)
