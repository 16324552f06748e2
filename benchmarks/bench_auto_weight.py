"""What ``constraint_weight="auto"`` (the default) costs over a weight given as a number.

The TSP with n cities and its one-hot rules as ``Constraint(... == 1)``
(``testing.tsp(n, onehot="constraint")``) through ``to_qubo_arrays``, once with the automatic
weights and once with a number, timed in turns in this process over several rounds. Prints each
median and their ratio; the automatic weights' extra work (the swing of the objective, the
constraints' steps) is the difference.

usage: python benchmarks/bench_auto_weight.py [--sizes 50,100,150] [--rounds 7]
       python benchmarks/bench_auto_weight.py --quick     (n = 20, 3 rounds)
"""

from __future__ import annotations

import argparse
import os
import statistics
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")


def measure(n: int, rounds: int) -> tuple[float, float]:
    """Median seconds of to_qubo_arrays with "auto" and with a number, timed in turns."""
    from quillon_transpiler import testing, to_qubo_arrays

    problem, instance = testing.tsp(n, onehot="constraint")
    ways = {"auto": {}, "number": {"constraint_weight": 10.0}}
    times: dict[str, list[float]] = {way: [] for way in ways}
    for kw in ways.values():  # a first call of each, untimed: imports and caches
        to_qubo_arrays(problem, instance, progress=False, **kw)
    for _ in range(rounds):
        for way, kw in ways.items():
            start = time.perf_counter()
            arrays = to_qubo_arrays(problem, instance, progress=False, **kw)
            times[way].append(time.perf_counter() - start)
            del arrays
    return statistics.median(times["auto"]), statistics.median(times["number"])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="50,100,150")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    sizes = [20] if args.quick else [int(s) for s in args.sizes.split(",")]
    rounds = 3 if args.quick else args.rounds
    print(f"{'n':>5} {'auto s':>9} {'number s':>9} {'ratio':>6}")
    for n in sizes:
        auto, number = measure(n, rounds)
        print(f"{n:>5} {auto:>9.4f} {number:>9.4f} {auto / number:>6.2f}")


if __name__ == "__main__":
    main()
