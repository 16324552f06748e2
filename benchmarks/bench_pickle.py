"""Pickling cost of what a run sends to another process: a TSP's QuboArrays, PuboModel and
dimod builder (as built, and after get_model, when it also holds the CQM with its objective).

For each case prints the pickle's size (protocol 5: in the stream, and in out-of-band buffers
as Dask sends NumPy arrays), and the median time to pickle and to load it. The encoder's
native table is built again on load; a builder's dimod models travel in dimod's file format.

usage: python benchmarks/bench_pickle.py [--quick] [--pubo]     (needs the dimod extra;
--quick: 30 cities instead of 100; --pubo: the dict PuboModel too, a Python object per term)
"""

import pickle
import sys

from timing import median_time

from quillon_transpiler import testing, to_cqm, to_pubo, to_qubo_arrays


def run(name: str, obj: object, repeat: int) -> None:
    buffers: list[pickle.PickleBuffer] = []
    stream = pickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
    held = sum(b.raw().nbytes for b in buffers)
    dump_s, _ = median_time(lambda: pickle.dumps(obj, protocol=5), repeat)
    data = pickle.dumps(obj, protocol=5)
    load_s, _ = median_time(lambda: pickle.loads(data), repeat)
    print(
        f"{name:26s} {len(data) / 2**20:9.2f} MiB {len(stream) / 2**20:9.2f} + {held / 2**20:6.2f} MiB "
        f"{dump_s:8.3f} s {load_s:8.3f} s"
    )


def main(quick: bool, pubo: bool) -> None:
    n = 30 if quick else 100
    problem, instance = testing.tsp(n, factor_distance=True, seed=n, decimals=None)
    print(f"TSP, {n} cities ({n * n} binaries)")
    print(f"{'case':26s} {'pickle':>13s} {'stream + buffers':>22s} {'dumps':>10s} {'loads':>10s}")
    run("QuboArrays", to_qubo_arrays(problem, instance, constraint_weight=50.0, progress=False), 5)
    if pubo:
        run("PuboModel", to_pubo(problem, instance, constraint_weight=50.0), 3)
    builder = to_cqm(problem, instance, progress=False)
    run("DimodBuilder", builder, 5)
    builder.get_model()
    run("DimodBuilder, get_model", builder, 5)


if __name__ == "__main__":
    main("--quick" in sys.argv[1:], "--pubo" in sys.argv[1:])
