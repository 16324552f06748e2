"""Knapsack: pack the most valuable items without exceeding the weight limit.

b[i] = 1 when item i is packed. Items are seeded random parcels: whole-kg weights of 1 to 30 kg
and values that grow with the weight, with noise; the limit is 40 % of the total weight. Items
come in pairs of alternatives (the same product from two suppliers), of which at most one is
packed, and a custom penalty, weighted when the CQM is made, discourages packing many of the
heaviest tenth of the items.

The model is compiled, exported as a dimod CQM and solved: exactly up to 16 items, by
simulated annealing (or tabu search) on dimod.cqm_to_bqm beyond. Then the best feasible packing
is printed in the model's own terms.

usage: python examples/knapsack.py [items] [--sampler exact|sa|tabu] [--reads N]   (default 14)
"""

import argparse
import time

import cqm_solve
import numpy as np

import quillon as ql
from quillon_transpiler import compile_model, to_cqm

HEAVY_WEIGHT = 5.0  # weight of the heavy-items penalty in the objective


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
    weights = np.ceil(rng.uniform(0.5, 30.0, size=n))  # whole kg: the slack of the limit is exact
    values = (weights * rng.uniform(2.0, 6.0, size=n) + rng.normal(0.0, 5.0, size=n)).clip(1.0).round(0)
    heaviest = np.argsort(weights)[-max(n // 10, 1) :]
    return {
        "n": n,
        "v": values,
        "w": weights,
        "limit": float(np.floor(0.4 * weights.sum())),
        "heavy": np.sort(heaviest),
    }


def main(n: int, sampler: str, reads: int) -> None:
    problem = knapsack_model()
    instance = parcel_instance(n)
    v, w, limit = instance["v"], instance["w"], instance["limit"]
    print(f"Knapsack: {n} items, weight limit {limit:g} kg, heavy items {instance['heavy'].tolist()}")

    start = time.perf_counter()
    compiled = compile_model(problem, instance)
    builder = to_cqm(compiled)
    print(
        f"compiled and exported in {time.perf_counter() - start:.3f} s: {compiled.var_map.var_num} variables, "
        f"{sum(len(c) for c in compiled.constraint.values())} constraints"
    )

    decoded = cqm_solve.solve(builder, penalty_weight={"heavy items": HEAVY_WEIGHT}, sampler=sampler, reads=reads)
    best = cqm_solve.best(decoded)
    packed = np.flatnonzero(best.dense("b"))
    print()
    print(f"{'item':>5s} {'weight kg':>10s} {'value':>7s}")
    for i in packed:
        print(f"{i:5d} {w[i]:10g} {v[i]:7g}{'  (heavy)' if i in instance['heavy'] else ''}")
    heavy = len(set(packed) & set(instance["heavy"].tolist()))
    print(f"packed {len(packed)} items: {w[packed].sum():g} kg of {limit:g} kg, value {v[packed].sum():g}")
    print(f"heavy items packed {heavy}: penalty {HEAVY_WEIGHT:g} * {heavy}^2 = {HEAVY_WEIGHT * heavy**2:g}")
    print(f"objective (value - penalty): {best.evaluation.objective[0]:g}")
    cqm_solve.report_violations(best)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("items", type=int, nargs="?", default=14)
    parser.add_argument("--sampler", choices=["auto", "exact", "sa", "tabu"], default="auto")
    parser.add_argument("--reads", type=int, default=64)
    args = parser.parse_args()
    main(args.items, args.sampler, args.reads)
