"""Quick start: an assignment problem written with quillon, compiled, solved and decoded.

Four workers, four tasks: each worker does one task, each task is done by one worker, at least
total cost. The model is the package's shared assignment problem,
quillon_transpiler.testing.assignment, written there with quillon (x[i, j] = 1 when worker i does
task j, cost c[i, j]; constraints "task" and "worker"). to_cqm compiles it against the cost
matrix and exports it as a dimod constrained quadratic model, solved exactly by dimod's
ExactCQMSolver (every one of the 2^16 assignments of the 16 binary variables); the sample set is
decoded back into quillon's terms: which worker does which task, the total cost and the
violation of every constraint.

usage: python examples/quickstart.py
"""

import itertools
import time

import cqm_solve
import numpy as np

from quillon_transpiler import testing, to_cqm


def main() -> None:
    problem, instance = testing.assignment(4, seed=7)
    cost = instance["c"]
    print("cost of worker (row) doing task (column):\n", cost)

    start = time.perf_counter()
    builder = to_cqm(problem, instance)
    cqm = builder.get_model()
    print(
        f"compiled and exported in {time.perf_counter() - start:.4f} s: {cqm.num_variables()} binary variables, "
        f"constraints {list(cqm.constraints)}"
    )

    decoded = cqm_solve.solve(builder, sampler="exact")
    feasible = decoded.feasible()
    print(f"{len(feasible)} of {len(decoded)} assignments are feasible")
    best = cqm_solve.best(decoded)

    x = best.dense("x")
    for worker, task in zip(*np.nonzero(x)):
        print(f"worker {worker} -> task {task} (cost {cost[worker, task]:g})")
    print(f"total cost {best.evaluation.objective[0]:g}")
    cqm_solve.report_violations(best)
    optimum = min(sum(cost[w, p[w]] for w in range(4)) for p in itertools.permutations(range(4)))
    print(f"optimum by trying every permutation: {optimum:g}")


if __name__ == "__main__":
    main()
