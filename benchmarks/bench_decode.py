"""decode of large sample sets, and the degree reduction of a higher-order model.

decode: TSP with n cities (n * n binaries, one-hot rules as constraints), lowered by
``to_qubo_arrays`` from the problem (the objective then derived), S samples given as a dimod
SampleSet. Two kinds of samples: near-tours (a random permutation, 1% of the bits flipped), as a
sampler returns them, and dense random bits (half set), every quadratic term read. Prints the
seconds of the first decode (which makes the model's plan) and of a second one.

reduction: a random cubic model over 10,000 binaries (distinct keys), ``to_bqm(arrays,
reduction="substitute")``: seconds, auxiliaries made.

usage: python benchmarks/bench_decode.py [--cities 100] [--samples 1000] [--terms 1000000]
"""

from __future__ import annotations

import argparse
import os
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402


def near_tours(n: int, samples: int, rng: np.random.Generator) -> np.ndarray:
    rows = np.zeros((samples, n * n), dtype=np.int8)
    for s in range(samples):
        rows[s, np.arange(n) * n + rng.permutation(n)] = 1
    flip = rng.random(rows.shape) < 0.01
    rows[flip] ^= 1
    return rows


def bench_decode(n: int, samples: int) -> None:
    import dimod

    from quillon_transpiler import decode, testing, to_qubo_arrays

    problem, instance = testing.tsp(n, onehot="constraint", factor_distance=True, seed=n, decimals=None)
    arrays = to_qubo_arrays(problem, instance, constraint_weight=100.0, progress=False)
    rng = np.random.default_rng(n)
    kinds = {"near-tours": near_tours(n, samples, rng), "dense": (rng.random((samples, n * n)) < 0.5).astype(np.int8)}
    terms = len(arrays.quadratic_biases)
    print(f"TSP n={n}: {arrays.num_binaries} binaries, {terms} quadratic terms, {samples} samples")
    for kind, rows in kinds.items():
        sampleset = dimod.SampleSet.from_samples((rows, range(arrays.num_binaries)), "BINARY", np.zeros(samples))
        arrays.__dict__.pop("_decoding", None)  # the plan is made again
        times = []
        for _ in range(2):
            start = time.perf_counter()
            decode(sampleset, arrays)
            times.append(time.perf_counter() - start)
        print(f"  decode {kind}: {times[0]:.2f} s (plan made), {times[1]:.2f} s")


def bench_reduction(terms: int) -> None:
    from quillon_transpiler.core.pubo.reduction import substitute

    rng = np.random.default_rng(0)
    n = 10_000
    keys = np.unique(np.sort(rng.integers(0, n, (terms, 3)), axis=1), axis=0)
    keys = keys[(np.diff(keys, axis=1) > 0).all(axis=1)]
    empty = np.zeros(0, dtype=np.int32)
    start = time.perf_counter()
    made = substitute(
        np.zeros(n),
        empty,
        empty,
        np.zeros(0),
        np.arange(len(keys) + 1, dtype=np.int64) * 3,
        keys.ravel().astype(np.int32),
        rng.normal(size=len(keys)),
    )
    seconds = time.perf_counter() - start
    print(
        f"reduction of {len(keys)} cubic terms: {seconds:.2f} s, {made.reduction.num_auxiliaries} auxiliaries, "
        f"{len(made.biases)} quadratic terms"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cities", type=int, default=100)
    parser.add_argument("--samples", type=int, default=1000)
    parser.add_argument("--terms", type=int, default=1_000_000)
    args = parser.parse_args()
    bench_decode(args.cities, args.samples)
    bench_reduction(args.terms)


if __name__ == "__main__":
    main()
