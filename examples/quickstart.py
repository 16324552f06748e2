"""Quick start: an assignment problem written with quillon, compiled, solved and decoded.

Four workers, four tasks: each worker does one task, each task is done by one worker, at least
total cost. The model is compiled against the cost matrix, exported as a dimod constrained
quadratic model, solved exactly by dimod's ExactCQMSolver (every one of the 2^16 assignments of
the 16 binary variables) and the sample set is decoded back into quillon's terms: which worker
does which task, the total cost and the violation of every constraint.

usage: python examples/quickstart.py
"""

import itertools
import time

import cqm_solve
import numpy as np

import quillon as ql
from quillon_transpiler.core.compile.compile import compile_model
from quillon_transpiler.core.dimod.dimod_bridge import transpile_dimod_bridge_cqm


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


def main() -> None:
    rng = np.random.default_rng(7)
    cost = rng.integers(1, 20, size=(4, 4)).astype(float)
    print("cost of worker (row) doing task (column):\n", cost)

    start = time.perf_counter()
    compiled = compile_model(assignment_problem(), {"n": 4, "cost": cost})
    builder = transpile_dimod_bridge_cqm(compiled)
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
