"""Answer quality of constraint_weight="auto" against the weight 1.0, with simulated annealing.

For the models of quillon_transpiler.testing and of the examples, samples the QUBO built with
each weight setting by dwave-samplers' SimulatedAnnealingSampler (fixed seeds, the same sweeps
and reads), decodes the samples and prints, per model and setting, the best feasible objective
over the seeds' samples, the share of feasible samples, and the weights "auto" chose. A setting
is worse on a model when its best feasible objective is worse than the other's (or it found no
feasible sample where the other did). One-hot encoders keep the encoding weight 1.0 in both
settings unless a model's options say otherwise.

usage: python benchmarks/weights_quality.py [--reads N] [--sweeps N] [--seeds N]
"""

import argparse
import os
import sys

import numpy as np

import quillon as ql
from quillon_transpiler import testing
from quillon_transpiler.core.pubo.tune import tune_weights

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))


def example_models():
    import integer_qubo
    import knapsack

    parcels = knapsack.parcel_instance(14)
    yield "examples/knapsack (14 items)", knapsack.knapsack_model(), parcels, {"penalty_weight": {"heavy items": 5.0}}
    yield "examples/integer_qubo (log)", integer_qubo.production_model(), integer_qubo.INSTANCE, {}
    for encoding in (1.0, "auto"):
        yield (
            f"examples/integer_qubo (one-hot, encoding weight {encoding})",
            integer_qubo.production_model(),
            integer_qubo.INSTANCE,
            {"encoder": "one-hot", "encoding_weight": encoding},
        )
    yield (
        "examples/knapsack (40 items)",
        knapsack.knapsack_model(),
        knapsack.parcel_instance(40),
        {"penalty_weight": {"heavy items": 5.0}},
    )
    yield "examples/tsp (4 cities)", *testing.tsp(4, factor_distance=True), {}
    yield "examples/tsp (10 cities)", *testing.tsp(10, factor_distance=True), {}
    yield "examples/quickstart (assignment 4)", *testing.assignment(4, seed=7), {}


def testing_models():
    yield "testing.knapsack(6)", *testing.knapsack(6), {}
    yield "testing.knapsack(12)", *testing.knapsack(12, seed=5), {}
    yield "testing.assignment(3)", *testing.assignment(3), {}
    yield "testing.assignment(6)", *testing.assignment(6), {}
    yield "testing.assignment(10)", *testing.assignment(10), {}
    yield "testing.tsp(5)", *testing.tsp(5), {}
    yield "testing.tsp(8)", *testing.tsp(8), {}
    yield "testing.tsp(12)", *testing.tsp(12), {}
    yield "testing.tsp(6, onehot=mixed)", *testing.tsp(6, onehot="mixed"), {}
    yield "testing.cover() (log)", *testing.cover(), {}
    yield "testing.cover() (unary)", *testing.cover(), {"encoder": "unary"}
    yield "testing.cover() (one-hot, encoding weight 1.0)", *testing.cover(), {"encoder": "one-hot"}
    yield "testing.colouring(10, 3, 1.5)", *testing.colouring(10, 3, 1.5), {}
    yield "testing.colouring(30, 4, 2)", *testing.colouring(30, 4, 2.0), {}
    yield "testing.knapsack(30)", *testing.knapsack(30, seed=8), {}


def run(problem, instance, options, weight, reads, sweeps, seeds):
    """(best feasible objective or None, feasible share, the weights used) over the seeds' samples."""
    best, feasible, total = None, 0, 0
    maximise = problem.sense == ql.ProblemSense.MAXIMIZE
    for seed in range(seeds):
        encoding = options.get("encoding_weight", 1.0)
        result = tune_weights(
            problem,
            instance,
            constraint_weight=weight,
            encoding_weight=encoding,
            rounds=1,
            num_reads=reads,
            seed=seed,
            num_sweeps=sweeps,
            **{k: v for k, v in options.items() if k != "encoding_weight"},
        )
        good = result.sampleset.feasible()
        feasible += len(good)
        total += len(result.sampleset)
        for value in good.evaluation.objective:
            if best is None or (value > best if maximise else value < best):
                best = value
    used = sorted(set(result.constraint_weight.values()))
    return best, feasible / total, used


def main(reads: int, sweeps: int, seeds: int) -> None:
    print(f"SimulatedAnnealingSampler: {reads} reads x {seeds} seeds, {sweeps} sweeps")
    print("| model | sense | 1.0: best feasible | feasible | auto: best feasible | feasible | auto weights |")
    print("|---|---|---|---|---|---|---|")
    worse = []
    for name, problem, instance, options in [*testing_models(), *example_models()]:
        one = run(problem, instance, options, 1.0, reads, sweeps, seeds)
        auto = run(problem, instance, options, "auto", reads, sweeps, seeds)
        maximise = problem.sense == ql.ProblemSense.MAXIMIZE
        sense = "max" if maximise else "min"

        def fmt(value):
            return "none" if value is None else f"{value:g}"

        print(
            f"| {name} | {sense} | {fmt(one[0])} | {one[1]:.0%} | {fmt(auto[0])} | {auto[1]:.0%} | "
            f"{', '.join(f'{w:g}' for w in auto[2])} |",
            flush=True,
        )
        if one[0] is not None and (
            auto[0] is None or (auto[0] < one[0] if maximise else auto[0] > one[0]) and not np.isclose(auto[0], one[0])
        ):
            worse.append(name)
    print()
    print("auto worse than 1.0 on:", ", ".join(worse) if worse else "none")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reads", type=int, default=32)
    parser.add_argument("--sweeps", type=int, default=1000)
    parser.add_argument("--seeds", type=int, default=3)
    args = parser.parse_args()
    main(args.reads, args.sweeps, args.seeds)
