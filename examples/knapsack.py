"""Knapsack: pack the most valuable items without exceeding the weight limit.

b[i] = 1 when item i is packed. Items are seeded random parcels: weights of 0.5 to 30 kg and
values that grow with the weight, with noise; the limit is 40 % of the total weight. Items come
in pairs of alternatives (the same product from two suppliers), of which at most one is packed,
and a small custom penalty discourages packing many of the heaviest tenth of the items.

usage: python examples/knapsack.py [number of items]     (default 500)
"""

import sys
import time

import numpy as np

import quillon as ql
from quillon_transpiler.core.compile.compile import compile_model


def knapsack_model() -> ql.Problem:
    n = ql.Placeholder("n")
    v = ql.Placeholder("v", ndim=1)
    w = ql.Placeholder("w", ndim=1)
    limit = ql.Placeholder("limit")
    heavy = ql.Placeholder("heavy", ndim=1)
    b = ql.BinaryVar("b", shape=(n,))
    i = ql.Element("i", n)
    p = ql.Element("p", n / 2)
    h = ql.Element("h", heavy)

    problem = ql.Problem("knapsack", sense=ql.ProblemSense.MAXIMIZE)
    problem += ql.sum(i, v[i] * b[i])
    problem += ql.Constraint("weight limit", ql.sum(i, w[i] * b[i]) <= limit)
    problem += ql.Constraint("one of two suppliers", b[2 * p] + b[2 * p + 1] <= 1, forall=p)
    problem += ql.CustomPenaltyTerm("heavy items", ql.sum(h, b[h]) ** 2)
    return problem


def parcel_instance(n: int, seed: int = 11) -> dict:
    rng = np.random.default_rng(seed)
    weights = rng.uniform(0.5, 30.0, size=n).round(1)
    values = (weights * rng.uniform(2.0, 6.0, size=n) + rng.normal(0.0, 5.0, size=n)).clip(1.0).round(0)
    heaviest = np.argsort(weights)[-max(n // 10, 1) :]
    return {
        "n": n,
        "v": values,
        "w": weights,
        "limit": round(0.4 * weights.sum(), 1),
        "heavy": np.sort(heaviest),
    }


def main(n: int) -> None:
    problem = knapsack_model()
    instance = parcel_instance(n)
    start = time.perf_counter()
    compiled = compile_model(problem, instance)
    seconds = time.perf_counter() - start

    print(f"Knapsack with {n} items, weight limit {instance['limit']} kg")
    print(f"  variables:  {compiled.var_map.var_num}")
    print(f"  objective:  {len(compiled.objective.coeff)} terms")
    for kind, by_label in (("constraint", compiled.constraint), ("penalty", compiled.penalty)):
        for label, polys in by_label.items():
            counts = sorted({len(p.coeff) for p in polys.values()})
            print(f"  {kind} {label!r}: {len(polys)} polynomials, terms {counts}")
    print(f"  compile time: {seconds:.3f} s")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 500)
