"""Quick start: an assignment problem written with quillon, compiled, solved and decoded.

Four workers, four tasks: each worker does one task, each task is done by one worker, at least
total cost. The compiled objective and constraints become one penalised binary polynomial
(a QUBO), which is small enough here to solve exactly by enumerating every assignment.
"""

import itertools
import time

import numpy as np

import quillon as ql
from quillon_transpiler.core.compile.compile import compile_model
from quillon_transpiler.core.substitute import SubstitutedExpression


def assignment_problem() -> ql.Problem:
    n = ql.Placeholder("n")
    cost = ql.Placeholder("cost", ndim=2)
    x = ql.BinaryVar("x", shape=(n, n))
    w = ql.Element("w", n)
    t = ql.Element("t", n)
    problem = ql.Problem("assignment")
    problem += ql.sum(w, ql.sum(t, cost[w, t] * x[w, t]))
    problem += ql.Constraint("one task per worker", ql.sum(t, x[w, t]) == 1, forall=[w])
    problem += ql.Constraint("one worker per task", ql.sum(w, x[w, t]) == 1, forall=[t])
    return problem


def qubo(compiled, weight: float) -> SubstitutedExpression:
    """objective + weight * sum of squared constraint residuals (left - right)."""
    energy = SubstitutedExpression(dict(compiled.objective.coeff), compiled.objective.constant, 1)
    for by_forall in compiled.constraint.values():
        for residual in by_forall.values():
            square = SubstitutedExpression(dict(residual.coeff), residual.constant, residual.order)
            square.power(2)
            square.mul(SubstitutedExpression({}, weight, 0))
            energy.add(square)
    return energy


def solve_exactly(poly: SubstitutedExpression, num_vars: int) -> np.ndarray:
    """The lowest-energy 0/1 assignment, by evaluating the polynomial on all of them."""
    samples = np.array(list(itertools.product((0, 1), repeat=num_vars)), dtype=np.int8)
    energies = np.full(len(samples), float(poly.constant))
    for key, coefficient in poly.coeff.items():
        energies += coefficient * np.prod(samples[:, list(key)], axis=1)
    return samples[int(np.argmin(energies))]


def main() -> None:
    rng = np.random.default_rng(7)
    cost = rng.integers(1, 20, size=(4, 4)).astype(float)
    start = time.perf_counter()
    compiled = compile_model(assignment_problem(), {"n": 4, "cost": cost})
    print(f"compiled in {time.perf_counter() - start:.4f} s: {compiled.var_map.var_num} binary variables, "
          f"{len(compiled.objective.coeff)} objective terms, "
          f"{sum(len(c) for c in compiled.constraint.values())} constraint polynomials")

    best = solve_exactly(qubo(compiled, weight=2 * float(cost.sum())), compiled.var_map.var_num)

    # decode: variable index -> (label, subscripts)
    names = {index: (label, subs) for label, by_subs in compiled.var_map.var_map.items()
             for subs, index in by_subs.items()}
    chosen = sorted(names[i][1] for i in np.flatnonzero(best))
    print("cost matrix:\n", cost)
    for worker, task in chosen:
        print(f"worker {worker} -> task {task} (cost {cost[worker, task]:g})")
    total = sum(cost[w, t] for w, t in chosen)
    _, columns = zip(*chosen)
    optimum = min(sum(cost[w, p[w]] for w in range(4)) for p in itertools.permutations(range(4)))
    print(f"total cost {total:g} (optimum {optimum:g}); every task covered: {sorted(columns) == [0, 1, 2, 3]}")


if __name__ == "__main__":
    main()
