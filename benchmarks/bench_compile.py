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

from quillon_transpiler import compile_model, testing


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
    # n cities, n * n binaries; the sizes' own seeds place the cities
    sizes = (20, 50) if quick else (20, 50, 100)
    cases = [(f"tsp n={n}", *testing.tsp(n, factor_distance=True, seed=n, decimals=None)) for n in sizes]
    cases.append((f"knapsack n={1000 if quick else 10000}", *testing.single_knapsack(1000 if quick else 10000)))
    nodes = 200 if quick else 1000
    cases.append((f"colouring V={nodes} K=8", *testing.colouring(nodes, 8, 4.0)))
    for name, problem, instance in cases:
        run(name, problem, instance, repeat=3)


if __name__ == "__main__":
    main("--quick" in sys.argv[1:])
