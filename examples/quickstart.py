"""Quick start: an assignment problem written with quillon, solved in one call and decoded.

Four workers, four tasks: each worker does one task, each task is done by one worker, at least
total cost. The model is the package's shared assignment problem,
quillon_transpiler.testing.assignment, written there with quillon (x[i, j] = 1 when worker i does
task j, cost c[i, j]; constraints "task" and "worker"). `solve` compiles it against the cost
matrix, exports it as a dimod binary quadratic model (the constraints as penalties whose weights
it picks from the data), samples it with dwave-samplers' simulated annealing and decodes the
samples back into quillon's terms: which worker does which task, the total cost and the
violation of every constraint. With `--cqm` the same call hands the constrained model to dimod's
ExactCQMSolver, which tries every one of the 2^16 assignments.

usage: python examples/quickstart.py [--cqm]
"""

import itertools
import sys

import numpy as np

from quillon_transpiler import solve, testing


def main(cqm: bool) -> None:
    problem, instance = testing.assignment(4, seed=7)
    cost = instance["c"]
    print("cost of worker (row) doing task (column):\n", cost)

    if cqm:
        import dimod

        decoded = solve(problem, instance, dimod.ExactCQMSolver())
    else:
        decoded = solve(problem, instance, num_reads=64, seed=1)
    feasible = decoded.feasible()
    print(f"{len(decoded)} samples in {decoded.measuring_time.total:.2f} s, {len(feasible)} of them feasible")
    best = feasible.lowest().take([0])

    x = best.dense("x")
    for worker, task in zip(*np.nonzero(x)):
        print(f"worker {worker} -> task {task} (cost {cost[worker, task]:g})")
    print(f"total cost {best.evaluation.objective[0]:g}")
    violated = {label: v[0] for label, v in best.evaluation.constraint_violations.items() if v[0] > 1e-9}
    print("every constraint holds" if not violated else f"violations: {violated}")
    optimum = min(sum(cost[w, p[w]] for w in range(4)) for p in itertools.permutations(range(4)))
    print(f"optimum by trying every permutation: {optimum:g}")


if __name__ == "__main__":
    main("--cqm" in sys.argv[1:])
